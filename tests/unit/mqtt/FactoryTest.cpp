// The MQTT factory's driver slots: the defaults of a new configuration, which tags belong to
// the driver, and item validation.
#include "core/ConfigData.h"
#include "core/IOGlobals.h"
#include "dravo/IORecords.h"
#include "mqtt/MQTTFactory.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace
{
class FactoryTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_globals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "MQTT"));
        ASSERT_TRUE(m_globals);
        m_factory = TIOPtr<CIOFactory>::Adopt(CreateDriverFactory(m_globals.Get()));
        ASSERT_TRUE(m_factory);
    }

    int IsDriverTag(const char16_t* item)
    {
        TagRequest request{};
        request.item = item;
        return m_factory->IsDriverTag(&request);
    }

    TIOPtr<CIOGlobals> m_globals;
    TIOPtr<CIOFactory> m_factory;
};

std::string Text(HVALUE value)
{
    const char* text = nullptr;
    return value && hvGetText(value, &text) && text ? text : "";
}
} // namespace

TEST_F(FactoryTest, NewConfigurationHoldsExactlyTheSevenDefaults)
{
    CConfigData store(m_globals.Get());
    store.SetI32("IO.TimeoutMs", 250);
    store.Clear();
    m_factory->WriteDefaults(&store);

    std::map<std::string, std::string> written;
    store.ForEach([&](const std::string& name, HVALUE value) {
        char text[128] = {};
        hvGetTextAs(value, text, sizeof text);
        written[name] = text;
    });
    const std::map<std::string, std::string> expected = {
        {"IO.Type", "Ethernet"},       {"IO.Ethernet.MainPort", "1883"},
        {"IO.TimeoutMs", "1000"},      {"MQTT.VersionNumber", "4"},
        {"MQTT.KeepAlive", "5"},       {"MQTT.MaxRequests", "50"},
        {"IO.Log.Filename", "kxLogs/MQTT_%DATE%.log"},
    };
    EXPECT_EQ(written, expected);
    CLockGuard guard(store.Lock());
    EXPECT_TRUE(hvIsText(store.Find("IO.Type")));
    EXPECT_EQ(Text(store.Find("IO.Log.Filename")), "kxLogs/MQTT_%DATE%.log");
    EXPECT_TRUE(hvIsInteger(store.Find("MQTT.KeepAlive")));
}

TEST_F(FactoryTest, DefaultsOverwriteWhatIsStored)
{
    CConfigData store(m_globals.Get());
    store.SetI32("MQTT.KeepAlive", 60);
    store.SetText("IO.Type", "None");
    m_factory->WriteDefaults(&store);
    EXPECT_EQ(store.GetInteger("MQTT.KeepAlive"), 5);
    CLockGuard guard(store.Lock());
    EXPECT_EQ(Text(store.Find("IO.Type")), "Ethernet");
}

TEST_F(FactoryTest, FrameworkItemsAreNotDriverTags)
{
    const struct
    {
        const char16_t* item;
        int driver;
    } cases[] = {
        {u"IO.WorkOnline", 0},  {u"io.stats.bytessent", 0}, {u"  Io.DravoEvent", 0},
        {u"\tiO.x", 0},         {u"IOX.value", 1},          {u"plant/IO.temp", 1},
        {u"IO", 1},             {u"plant/temp", 1},         {u"", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDriverTag(c.item), c.driver);
    EXPECT_EQ(IsDriverTag(nullptr), 1);
}

TEST_F(FactoryTest, ValidationFollowsTheItemGrammar)
{
    const struct
    {
        const char16_t* item;
        HRESULT status;
    } cases[] = {
        {u"plant/temp", S_OK},
        {u"  plant/temp  ", S_OK},
        {u"plant/temp;J1;V2", S_OK},
        {u"plant/temp (Deadband:5%)", S_OK},
        {u"plant/temp (Deadband:0.5)", S_OK},
        {u"plant/temp;J1 (Deadband:5%)", IO_E_INVALID_ITEM},
        {u"plant/temp (Deadband:0)", IO_E_INVALID_ITEM},
        {u"plant/temp (Deadband:5%", IO_E_INVALID_ITEM},
        {u"", IO_E_INVALID_ITEM},
    };
    TagInfo info{};
    for (const auto& c : cases)
        EXPECT_EQ(m_factory->ValidateItem(u"", c.item, &info), c.status);
    EXPECT_EQ(m_factory->ValidateItem(nullptr, nullptr, &info), IO_E_INVALID_ITEM);
}

TEST_F(FactoryTest, NoConfigurationPagesOnThisPlatform)
{
    CConfigData store(m_globals.Get());
    for (uint32_t index = 0; index < 4; ++index)
        EXPECT_EQ(m_factory->CreatePage(&store, index), nullptr);
}
