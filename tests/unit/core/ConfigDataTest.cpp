#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/ConfigData.h"
#include "core/IOGlobals.h"
#include "LoggerTestSupport.h"

namespace
{
// Owns one value reference for the length of a test.
class Value
{
public:
    Value() : m_v(hvCreate()) {}
    explicit Value(HVALUE adopted) : m_v(adopted) {}
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    ~Value()
    {
        if (m_v)
            hvRelease(m_v);
    }
    HVALUE get() const { return m_v; }
    operator HVALUE() const { return m_v; }

private:
    HVALUE m_v;
};

HVALUE Text(const char* text)
{
    HVALUE v = hvCreate();
    hvSetText(v, text);
    return v;
}

HVALUE I32(int32_t x)
{
    HVALUE v = hvCreate();
    hvSetI32(v, x);
    return v;
}

// An array of values (type 138) holding copies of `items`; the items are released.
HVALUE Array(std::vector<HVALUE> items)
{
    HVALUE v = hvCreate();
    hvMakeArray(v, HV_HVAL, static_cast<uint16_t>(items.size()));
    for (size_t i = 0; i < items.size(); ++i)
    {
        hvSetElementValue(v, static_cast<uint16_t>(i), items[i]);
        hvRelease(items[i]);
    }
    return v;
}

std::string ElementText(HVALUE array, uint16_t index)
{
    Value element(hvGetElementValue(array, index));
    const char* text = nullptr;
    return hvGetText(element, &text) && text ? text : "<not a text>";
}

std::vector<std::string> Names(const CConfigData& store)
{
    std::vector<std::string> names;
    store.ForEach([&](const std::string& name, HVALUE) { names.push_back(name); });
    return names;
}

class ConfigDataTest : public ::testing::Test
{
protected:
    // What the store logged, without the two file-header lines.
    std::vector<std::string> LogMessages() const
    {
        std::vector<std::string> lines = m_log.Messages("DRIVER");
        return std::vector<std::string>(lines.begin() + std::min<size_t>(2, lines.size()), lines.end());
    }

    CLogCapture m_log;
    TIOPtr<CIOGlobals> m_globals{m_log.Globals()};
};

TEST_F(ConfigDataTest, NamesIgnoreCaseKeepFirstSpellingAndSortedOrder)
{
    CConfigData store(m_globals.Get());
    EXPECT_TRUE(store.SetI32("b", 1));
    EXPECT_TRUE(store.SetU32("A", 2));
    EXPECT_TRUE(store.SetText("B", "three"));
    EXPECT_TRUE(store.SetI32("IO.Zeta", 4));
    EXPECT_EQ((std::vector<std::string>{"A", "b", "IO.Zeta"}), Names(store));
    const char* text = nullptr;
    ASSERT_TRUE(hvGetText(store.Find("B"), &text));
    EXPECT_STREQ("three", text);
    EXPECT_EQ(store.Find("io.zeta"), store.Find("IO.ZETA"));
    EXPECT_EQ(nullptr, store.Find("missing"));
}

TEST_F(ConfigDataTest, GetIntegerReadsNumbersAndGivesZeroOtherwise)
{
    CConfigData store(m_globals.Get());
    store.SetI32("Signed", -5);
    store.SetU32("Unsigned", 7);
    store.SetText("Text", "12");
    HVALUE real = store.FindOrCreate("Real");
    hvSetR64(real, 3.7);
    const struct
    {
        const char* name;
        int32_t expected;
    } cases[] = {{"signed", -5}, {"UNSIGNED", 7}, {"Text", 0}, {"Real", 3}, {"Absent", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, store.GetInteger(c.name)) << c.name;
}

TEST_F(ConfigDataTest, PutDuplicatesAndSetValueCopies)
{
    CConfigData store(m_globals.Get());
    Value source(I32(10));
    EXPECT_TRUE(store.Put("P", source));
    EXPECT_NE(source.get(), store.Find("P"));
    hvSetI32(source, 11);
    EXPECT_EQ(10, store.GetInteger("P"));
    EXPECT_TRUE(store.Put("p", source));
    EXPECT_EQ(11, store.GetInteger("P"));
    EXPECT_TRUE(store.SetValue("S", source));
    EXPECT_EQ(11, store.GetInteger("S"));
    EXPECT_FALSE(store.Put("N", nullptr));
    EXPECT_FALSE(store.SetValue("N", nullptr));
    EXPECT_EQ(nullptr, store.Find("N"));
}

TEST_F(ConfigDataTest, SaveWritesHeaderThenNamesAndValuesInOrder)
{
    CConfigData store(m_globals.Get());
    Value settings;
    ASSERT_TRUE(store.Save(settings));
    EXPECT_EQ(HV_ARRAY | HV_HVAL, hvGetType(settings));
    ASSERT_EQ(1u, hvGetCount(settings));
    EXPECT_EQ("Generic Config Data v1.00", ElementText(settings, 0));

    store.SetI32("b", 2);
    store.SetText("A", "one");
    ASSERT_TRUE(store.Save(settings));
    ASSERT_EQ(5u, hvGetCount(settings));
    EXPECT_EQ("A", ElementText(settings, 1));
    EXPECT_EQ("one", ElementText(settings, 2));
    EXPECT_EQ("b", ElementText(settings, 3));
    Value second(hvGetElementValue(settings, 4));
    EXPECT_EQ(HV_I32, hvGetType(second));

    EXPECT_FALSE(store.Save(nullptr));
}

TEST_F(ConfigDataTest, LoadRestoresWhatSaveWrote)
{
    CConfigData store(m_globals.Get());
    store.SetU32("IO.TimeoutMs", 2000);
    store.SetText("IO.Type", "Ethernet");
    Value settings;
    ASSERT_TRUE(store.Save(settings));

    CConfigData loaded(m_globals.Get());
    loaded.SetI32("Stale", 1);
    ASSERT_TRUE(loaded.Load(settings));
    EXPECT_EQ((std::vector<std::string>{"IO.TimeoutMs", "IO.Type"}), Names(loaded));
    EXPECT_EQ(HV_U32, hvGetType(loaded.Find("IO.TimeoutMs")));
    EXPECT_EQ(2000, loaded.GetInteger("IO.TimeoutMs"));
}

TEST_F(ConfigDataTest, LoadRejectsForeignValuesAndSkipsBrokenPairs)
{
    struct SCase
    {
        const char* name;
        HVALUE settings;
        bool loads;
        std::vector<std::string> names;
    };
    HVALUE notArray = I32(1);
    std::vector<SCase> cases = {
        {"not an array", notArray, false, {}},
        {"empty array", Array({}), false, {}},
        {"header in other case", Array({Text("generic config data v1.00"), Text("X"), I32(1)}), false, {}},
        {"header only", Array({Text("Generic Config Data v1.00")}), true, {}},
        {"lone name at the end", Array({Text("Generic Config Data v1.00"), Text("X"), I32(1), Text("Y")}), true,
         {"X"}},
        {"name that is no text", Array({Text("Generic Config Data v1.00"), I32(5), I32(1), Text("Z"), I32(2)}),
         true, {"Z"}},
    };
    for (SCase& c : cases)
    {
        CConfigData store(m_globals.Get());
        store.SetI32("Before", 1);
        EXPECT_EQ(c.loads, store.Load(c.settings)) << c.name;
        EXPECT_EQ(c.names, Names(store)) << c.name;
        hvRelease(c.settings);
    }
    CConfigData untouched(m_globals.Get());
    untouched.SetI32("Kept", 1);
    EXPECT_FALSE(untouched.Load(nullptr));
    EXPECT_EQ(1u, untouched.Count());
}

TEST_F(ConfigDataTest, RenameMovesTheValueAndLogsTheDelete)
{
    CConfigData store(m_globals.Get());
    EXPECT_FALSE(store.Rename("Absent", "Other"));
    store.SetU32("IO.msTimeout", 3000);
    store.SetU32("IO.TimeoutMs", 1);
    store.SetU32("Old", 5);
    EXPECT_TRUE(store.Rename("IO.msTimeout", "IO.TimeoutMs"));
    EXPECT_TRUE(store.Rename("Old", "New"));
    EXPECT_EQ(3000, store.GetInteger("IO.TimeoutMs"));
    EXPECT_EQ(5, store.GetInteger("New"));
    EXPECT_EQ(nullptr, store.Find("IO.msTimeout"));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE_PARAMETER:  IO.TimeoutMs (success)",
                  "RENAME_PARAMETER:  IO.msTimeout to IO.TimeoutMs",
                  "DELETE_PARAMETER:  New (failed, does not exist)",
                  "RENAME_PARAMETER:  Old to New",
              }),
              LogMessages());
}

TEST_F(ConfigDataTest, LegacyKeysAreRenamedOnlyWhenTheOldTimeoutIsPresent)
{
    CConfigData old(m_globals.Get());
    old.SetU32("IO.msTimeout", 1500);
    old.SetU32("IO.RecoverPeriod", 30);
    old.SetU32("IO.Ethernet.PingTimeout", 700);
    EXPECT_TRUE(old.MigrateLegacyKeys());
    EXPECT_EQ((std::vector<std::string>{"IO.Ethernet.PingTimeoutMs", "IO.RecoverPeriodSec", "IO.TimeoutMs"}),
              Names(old));
    EXPECT_EQ(1500, old.GetInteger("IO.TimeoutMs"));
    EXPECT_EQ(700, old.GetInteger("IO.Ethernet.PingTimeoutMs"));

    CConfigData current(m_globals.Get());
    current.SetU32("IO.RecoverPeriod", 30);
    EXPECT_FALSE(current.MigrateLegacyKeys());
    EXPECT_EQ((std::vector<std::string>{"IO.RecoverPeriod"}), Names(current));
}

TEST_F(ConfigDataTest, FrameworkDefaults)
{
    CConfigData store(m_globals.Get());
    store.SetFrameworkDefaults();
    const struct
    {
        const char* name;
        uint8_t type;
        int32_t value;
    } expected[] = {
        {"IO.Serial.Baudrate", HV_U32, 9600}, {"IO.Serial.DataBits", HV_U32, 8}, {"IO.Serial.Parity", HV_U32, 0},
        {"IO.Serial.Port", HV_U32, 1},        {"IO.Serial.StopBits", HV_U32, 0}, {"IO.RecoverEnable", HV_I32, 1},
        {"IO.RecoverPeriodSec", HV_U32, 20},  {"IO.TimeoutMs", HV_U32, 2000},
    };
    EXPECT_EQ(std::size(expected), store.Count());
    for (const auto& e : expected)
    {
        EXPECT_EQ(e.type, hvGetType(store.Find(e.name))) << e.name;
        EXPECT_EQ(e.value, store.GetInteger(e.name)) << e.name;
    }
}

TEST_F(ConfigDataTest, CopyConstructionCopiesEveryParameter)
{
    CConfigData store(m_globals.Get());
    store.SetI32("b", 1);
    store.SetText("A", "x");
    CConfigData copy(store);
    EXPECT_EQ(Names(store), Names(copy));
    EXPECT_NE(store.Find("b"), copy.Find("b"));
    store.SetI32("b", 2);
    EXPECT_EQ(1, copy.GetInteger("b"));
    EXPECT_EQ(m_globals.Get(), copy.Globals());
}

struct SApplyCase
{
    const char* name;
    std::function<HVALUE()> make;
    bool ok;
    const char* error;
    std::vector<std::string> changed;
};

TEST_F(ConfigDataTest, ApplyParameterArrayReportsEachFailure)
{
    const std::vector<SApplyCase> cases = {
        {"null", [] { return HVALUE(nullptr); }, false, "NULL HVALUE passed", {}},
        {"scalar", [] { return I32(4); }, false, "HVALUE is not a valid array (type is 5)", {}},
        {"array of I32",
         [] {
             HVALUE v = hvCreate();
             hvMakeArray(v, HV_I32, 2);
             return v;
         },
         false, "HVALUE is not a valid array (type is 133)", {}},
        {"empty", [] { return Array({}); }, true, "", {}},
        {"pairs", [] { return Array({Text("IO.Log.Enable"), I32(1), Text("IO.TimeoutMs"), I32(900)}); }, true, "",
         {"IO.Log.Enable", "IO.TimeoutMs"}},
        {"nulls are skipped", [] { return Array({hvCreate(), Text("IO.Debug"), I32(1), hvCreate()}); }, true, "",
         {"IO.Debug"}},
        {"ends after a name", [] { return Array({Text("IO.Log.Enable"), I32(1), Text("IO.Type")}); }, false,
         "Array ended after string 'IO.Type' (element 2)", {"IO.Log.Enable"}},
        {"number where a name belongs", [] { return Array({I32(3), Text("x")}); }, false, "Element 0 type is 5",
         {}},
        {"nested", [] { return Array({Array({Text("IO.TimeoutMs"), I32(1234)})}); }, true, "", {"IO.TimeoutMs"}},
        {"nested failure",
         [] { return Array({Array({Text("IO.TimeoutMs"), I32(1), I32(7)}), Text("IO.Never"), I32(1)}); }, false,
         "[element 0] Element 2 type is 5", {"IO.TimeoutMs"}},
        {"array of texts", [] {
             HVALUE v = hvCreate();
             hvMakeArray(v, HV_STR, 2);
             hvSetElementText(v, 0, "IO.Type");
             hvSetElementText(v, 1, "Ethernet");
             return v;
         },
         true, "", {"IO.Type"}},
    };
    for (const SApplyCase& c : cases)
    {
        CConfigData store(m_globals.Get());
        Value array(c.make());
        std::string error = "stale";
        std::vector<std::string> changed;
        EXPECT_EQ(c.ok, store.ApplyParameterArray(array, error, changed)) << c.name;
        EXPECT_EQ(c.error, error) << c.name;
        EXPECT_EQ(c.changed, changed) << c.name;
        for (const std::string& name : c.changed)
            EXPECT_NE(nullptr, store.Find(name)) << c.name;
        EXPECT_EQ(nullptr, store.Find("IO.Never")) << c.name;
    }
}

TEST_F(ConfigDataTest, ApplyParameterArrayLogsEachSetting)
{
    CConfigData store(m_globals.Get());
    Value array(Array({Text("IO.Log.Enable"), I32(1), Text("IO.Type"), Text("Ethernet")}));
    std::string error;
    std::vector<std::string> changed;
    ASSERT_TRUE(store.ApplyParameterArray(array, error, changed));
    EXPECT_EQ(1, store.GetInteger("IO.Log.Enable"));
    EXPECT_EQ((std::vector<std::string>{"SET_PARAMETER: IO.Log.Enable = 1", "SET_PARAMETER: IO.Type = 'Ethernet'"}),
              LogMessages());
}
} // namespace
