// The mqtt-host program without a broker: help, settings, the tag tree and its errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/JsonValue.h"
#include "platform/ModulePath.h"
#include "platform/Text.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

namespace
{
std::string Bin() { return BinDir().empty() ? ModuleFolder() : BinDir(); }

struct SResult
{
    int code = -1;
    std::string output; // stdout and stderr together
};

SResult Host(const std::vector<std::string>& args)
{
    SResult result;
    const auto code = RunProgram(JoinPath(Bin(), "mqtt-host"), args, &result.output, std::chrono::seconds(60));
    result.code = code.value_or(-1);
    return result;
}

} // namespace

TEST(HostProgramTest, HelpOfEachCommandExitsZero)
{
    for (const char* command : {"", "info", "tags", "settings", "run"})
    {
        std::vector<std::string> args;
        if (command[0] != '\0')
            args.emplace_back(command);
        args.emplace_back("--help");
        const SResult r = Host(args);
        EXPECT_EQ(r.code, 0) << command << r.output;
        EXPECT_NE(r.output.find("usage: mqtt-host"), std::string::npos) << r.output;
    }
    const SResult wrong = Host({"run", "--output", "yaml"});
    EXPECT_EQ(wrong.code, 2);
    EXPECT_NE(wrong.output.find("mqtt-host: --output expects text or jsonl"), std::string::npos) << wrong.output;
}

TEST(HostProgramTest, SettingsApplyDefaultsAndMigrationsAndSaveAReadableFile)
{
    TempDir dir;
    ASSERT_TRUE(WriteFileText(dir.File("in.json"),
                              R"({"IO.Ethernet.MainIP": "127.0.0.1", "IO.msTimeout": 3000, "MQTT.KeepAlive": 30})"));
    const SResult r = Host({"settings", "--settings", dir.File("in.json"), "--set", "MQTT.ClientID=42", "--save",
                            dir.File("out.json")});
    ASSERT_EQ(r.code, 0) << r.output;
    JsonValue::Ptr saved = JsonValue::Parse(ReadFileText(dir.File("out.json")));
    ASSERT_TRUE(saved && saved->Is(JsonKind::Object)) << ReadFileText(dir.File("out.json"));
    const struct
    {
        const char16_t* key;
        const char* json;
    } expected[] = {
        {u"IO.Type", "\"Ethernet\""},         // a driver default
        {u"IO.Ethernet.MainPort", "1883"},    // a driver default
        {u"IO.Ethernet.MainIP", "\"127.0.0.1\""},
        {u"IO.TimeoutMs", "3000"},            // migrated from IO.msTimeout
        {u"MQTT.KeepAlive", "30"},            // the file over the default
        {u"MQTT.ClientID", "\"42\""},         // a text key stays text
    };
    for (const auto& e : expected)
    {
        const JsonValue* member = saved->Find(e.key);
        ASSERT_NE(member, nullptr) << Utf16ToUtf8(e.key);
        EXPECT_EQ(member->StringifyNarrow(), e.json) << Utf16ToUtf8(e.key);
    }
    EXPECT_EQ(saved->Find(u"IO.msTimeout"), nullptr);

    // The saved file is a settings file: printing from it gives the same text.
    const SResult again = Host({"settings", "--settings", dir.File("out.json")});
    ASSERT_EQ(again.code, 0) << again.output;
    EXPECT_EQ(again.output, ReadFileText(dir.File("out.json")));
}

TEST(HostProgramTest, ErrorsNameWhatToFix)
{
    TempDir dir;
    ASSERT_TRUE(WriteFileText(dir.File("bad.json"), "{\"IO.Type\": "));
    const struct
    {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"settings", "--settings", dir.File("none.json")}, "cannot read the settings file " + dir.File("none.json")},
        {{"run", "--settings", dir.File("bad.json")}, dir.File("bad.json") + ": the settings file is not valid JSON"},
        {{"info", "--driver", dir.File("MQTT.so")}, "the driver library was not found or could not be loaded"},
        {{"run", "--set", "IO.StartOffline=1", "--tag", "a/b;J1 (Deadband:5%)"}, "is not a valid item string"},
        {{"run", "--set", "IO.Type=Serial"}, "could not start communication"},
    };
    for (const auto& c : cases)
    {
        const SResult r = Host(c.args);
        EXPECT_EQ(r.code, 1) << c.says << "\n" << r.output;
        EXPECT_NE(r.output.find("mqtt-host: "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
}

TEST(HostProgramTest, TagsShowsTheBuiltInTree)
{
    const SResult r = Host({"tags"});
    ASSERT_EQ(r.code, 0) << r.output;
    for (const char* line : {"Dravo/", "  General/", "    IO.DravoEvent  block[4] read-only", "      [3] EventDescription",
                             "    IO.PhysicalLayerStatus  read-only", "    IO.WorkOnline  read/write", "  Statistics/",
                             "IO.Ethernet.MainIP  read/write"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
}

TEST(HostProgramTest, StartingOfflineRunsUntilTheDurationAndExitsZero)
{
    const SResult r = Host({"run", "--set", "IO.StartOffline=1", "--tag", "IO.WorkOnline", "--duration", "0.5",
                            "--output", "jsonl"});
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find(R"({"tag":"IO.WorkOnline","callback":1,"value":0,"type":"I32","quality":192)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("communication stopped"), std::string::npos) << r.output;
}
