// The settings file, --set assignments and the stored configuration form, host side.
#include <gtest/gtest.h>

#include <string>

#include "lib/CommandLine.h"
#include "lib/HostSettings.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

namespace
{
std::string Json(HVALUE value) { return ValueToJson(value)->StringifyNarrow(); }
} // namespace

TEST(HostSettingsTest, MergesAFileKeepingOrderAndLetterCaseOfTheFirstName)
{
    CHostSettings settings;
    std::string error;
    ASSERT_TRUE(settings.MergeJsonText(R"({"B.Key": 1, "a.key": "x", "Gone": 2})", error)) << error;
    ASSERT_TRUE(settings.MergeJsonText(R"({"b.KEY": 2.5, "gone": null, "New": true})", error)) << error;
    ASSERT_EQ(settings.Parameters().size(), 3u);
    EXPECT_EQ(settings.Parameters()[0].name, "B.Key");
    EXPECT_EQ(Json(settings.Parameters()[0].value.Get()), "2.5");
    EXPECT_EQ(settings.Parameters()[1].name, "a.key");
    EXPECT_EQ(settings.Parameters()[2].name, "New");
    EXPECT_EQ(settings.Find("GONE"), nullptr);
}

TEST(HostSettingsTest, RefusesFilesThatAreNotAFlatObjectAndNamesTheProblem)
{
    const struct
    {
        const char* text;
        const char* says;
    } cases[] = {
        {"", "empty"},
        {"  \n", "empty"},
        {"{\"a\": ", "not valid JSON"},
        {"[1, 2]", "one JSON object"},
        {"{\"a\": {\"b\": 1}}", "\"a\" must be a number"},
        {"{\"a\": [1]}", "\"a\" must be a number"},
        {"{\"\": 1}", "empty key"},
    };
    for (const auto& c : cases)
    {
        CHostSettings settings;
        std::string error;
        ASSERT_TRUE(settings.MergeJsonText(R"({"kept": 1})", error));
        EXPECT_FALSE(settings.MergeJsonText(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
        EXPECT_NE(settings.Find("kept"), nullptr) << "a refused file changes nothing: " << c.text;
    }
}

TEST(HostSettingsTest, UnreadableFileNamesTheFile)
{
    TempDir dir;
    CHostSettings settings;
    std::string error;
    EXPECT_FALSE(settings.MergeJsonFile(dir.File("missing.json"), error));
    EXPECT_NE(error.find("cannot read the settings file " + dir.File("missing.json")), std::string::npos) << error;
    ASSERT_TRUE(WriteFileText(dir.File("bad.json"), "{nope"));
    EXPECT_FALSE(settings.MergeJsonFile(dir.File("bad.json"), error));
    EXPECT_NE(error.find(dir.File("bad.json") + ": the settings file is not valid JSON"), std::string::npos) << error;
}

TEST(HostSettingsTest, AssignmentsKeepTextKeysTextAndReadOthersAsJson)
{
    CHostSettings settings;
    std::string error;
    ASSERT_TRUE(settings.MergeJsonText(R"({"Custom.Text": "abc"})", error));
    const struct
    {
        const char* assignment;
        const char* name;
        const char* json;
    } cases[] = {
        {"IO.Ethernet.MainPort=1884", "IO.Ethernet.MainPort", "1884"},
        {"MQTT.WriteDeadBand=2.5", "MQTT.WriteDeadBand", "2.5"},
        {"MQTT.ClientID=123", "MQTT.ClientID", "\"123\""},
        {"mqtt.password=007", "mqtt.password", "\"007\""},
        {"MQTT.TemplateName[0]=42", "MQTT.TemplateName[0]", "\"42\""},
        {"Custom.Text=5", "Custom.Text", "\"5\""},
        {"Other=\"5\"", "Other", "\"5\""},
        {"IO.Ethernet.MainIP=10.0.0.1", "IO.Ethernet.MainIP", "\"10.0.0.1\""},
        {"Flag=true", "Flag", "1"},
        {"Empty=", "Empty", "\"\""},
        {"Has=Equals=Sign", "Has", "\"Equals=Sign\""},
    };
    for (const auto& c : cases)
    {
        ASSERT_TRUE(settings.MergeAssignment(c.assignment, error)) << c.assignment << ": " << error;
        EXPECT_EQ(Json(settings.Find(c.name)), c.json) << c.assignment;
    }
    EXPECT_FALSE(settings.MergeAssignment("NoEquals", error));
    EXPECT_NE(error.find("KEY=VALUE"), std::string::npos);
    EXPECT_FALSE(settings.MergeAssignment("=1", error));
}

TEST(HostSettingsTest, StoredFormRoundTripsAndTheJsonFormReadsBack)
{
    CHostSettings settings;
    std::string error;
    ASSERT_TRUE(settings.MergeJsonText(R"({"IO.Type": "Ethernet", "Port": 1883, "Big": 3000000000, "Real": 0.25})", error));
    CHostValue stored;
    ASSERT_TRUE(settings.ToStored(stored.Get()));
    EXPECT_EQ(hvGetType(stored.Get()), HV_ARRAY | HV_HVAL);
    ASSERT_EQ(hvGetCount(stored.Get()), 9);
    const char* header = nullptr;
    ASSERT_TRUE(hvGetElementText(stored.Get(), 0, &header));
    EXPECT_STREQ(header, kStoredConfigHeader);

    CHostSettings back;
    ASSERT_TRUE(back.FromStored(stored.Get(), error)) << error;
    const std::string text = back.ToJsonText();
    EXPECT_EQ(text, "{\n  \"IO.Type\": \"Ethernet\",\n  \"Port\": 1883,\n  \"Big\": 3000000000,\n  \"Real\": 0.25\n}\n");
    CHostSettings again;
    ASSERT_TRUE(again.MergeJsonText(text, error)) << error;
    EXPECT_EQ(hvGetType(again.Find("Big")), HV_U32);
    EXPECT_EQ(hvGetType(again.Find("Real")), HV_R64);

    CHostValue notStored;
    hvSetText(notStored.Get(), "nope");
    EXPECT_FALSE(back.FromStored(notStored.Get(), error));
    EXPECT_EQ(back.Parameters().size(), 4u) << "a failed read keeps what was there";
    CHostSettings empty;
    EXPECT_EQ(empty.ToJsonText(), "{\n}\n");
}

TEST(HostCommandLineTest, ParsesEachCommandsOptions)
{
    const char* argv[] = {"mqtt-host", "run",   "--settings", "s.json", "--set",      "A=1",     "--tag",
                          "t/1",       "--tag", "t/2",        "--write", "t/1",      "5",        "--duration",
                          "2.5",       "--output", "jsonl",   "--driver", "x/MQTT.so"};
    SHostOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(static_cast<int>(std::size(argv)), argv, options, error)) << error;
    EXPECT_EQ(options.command, "run");
    EXPECT_EQ(options.settingsFile, "s.json");
    EXPECT_EQ(options.assignments, std::vector<std::string>{"A=1"});
    EXPECT_EQ(options.tags, (std::vector<std::string>{"t/1", "t/2"}));
    ASSERT_EQ(options.writes.size(), 1u);
    EXPECT_EQ(options.writes[0], (std::pair<std::string, std::string>{"t/1", "5"}));
    EXPECT_DOUBLE_EQ(options.durationSeconds, 2.5);
    EXPECT_EQ(options.output, EOutputFormat::Jsonl);
    EXPECT_EQ(options.driverPath, "x/MQTT.so");
}

TEST(HostCommandLineTest, RefusesWhatACommandDoesNotTake)
{
    const struct
    {
        std::vector<const char*> args;
        const char* says;
    } cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"info", "--tag", "x"}, "--tag is not an option of \"info\""},
        {{"--save", "f", "run"}, "--save is not an option of \"run\""},
        {{"run", "--tag"}, "--tag needs a value"},
        {{"run", "--write", "x"}, "--write needs an item and a value"},
        {{"run", "--duration", "soon"}, "--duration expects a positive number"},
        {{"run", "--duration", "0"}, "--duration expects a positive number"},
        {{"run", "--output", "xml"}, "--output expects text or jsonl"},
        {{"run", "extra"}, "unexpected argument \"extra\""},
    };
    for (const auto& c : cases)
    {
        std::vector<const char*> argv = {"mqtt-host"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SHostOptions options;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, error)) << c.says;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    const char* help[] = {"mqtt-host", "settings", "--help"};
    SHostOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(3, help, options, error));
    EXPECT_TRUE(options.help);
    EXPECT_EQ(options.command, "settings");
}

TEST(HostCommandLineTest, EveryHelpDescribesEveryOptionOfItsCommand)
{
    const struct
    {
        const char* command;
        std::vector<const char*> options;
    } cases[] = {
        {"", {"--driver", "--settings", "--set", "--save", "--tag", "--write", "--duration", "--output", "--help"}},
        {"info", {"--driver"}},
        {"tags", {"--driver"}},
        {"settings", {"--driver", "--settings", "--set", "--save"}},
        {"run", {"--driver", "--settings", "--set", "--tag", "--write", "--duration", "--output", "\"write\"",
                 "\"status\"", "SIGTERM"}},
    };
    for (const auto& c : cases)
    {
        const std::string text = UsageText(c.command);
        for (const char* option : c.options)
        {
            // Described in the options list (a line that starts with it), or in the text itself.
            EXPECT_NE(text.find(option), std::string::npos) << c.command << " " << option;
        }
    }
}
