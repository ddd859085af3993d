// The MQTT host's link to the tag cache: the "MQTTCache" station opened at start, tags
// entering and leaving items through its sink, and the station handed back at stop. No
// physical layer is involved: the host runs offline.
#include "core/ConfigData.h"
#include "core/IOCache.h"
#include "core/IOGlobals.h"
#include "mqtt/MQTTHost.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
class CIgnoringCallback final : public TIOUnknown<IIOAdviseCallback>
{
public:
    HRESULT Notify(uint32_t, HVALUE, uint32_t) override { return S_OK; }
};

class HostStationTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_globals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "MQTT"));
        ASSERT_TRUE(m_globals);
        m_cache = TIOPtr<CIOCache>::Adopt(new CIOCache(m_globals.Get()));
        m_config = std::make_unique<CConfigData>(m_globals.Get());
    }

    void TearDown() override { m_cache->Shutdown(); }

    TIOPtr<CMQTTHost> StartHost()
    {
        HRESULT hr = E_FAIL;
        TIOPtr<CMQTTHost> host = CMQTTHost::Create(m_globals.Get(), *m_config, "station", m_cache.Get(), &hr);
        EXPECT_EQ(hr, S_OK);
        if (host)
        {
            EXPECT_EQ(host->Start(), S_OK);
        }
        return host;
    }

    HRESULT Subscribe(uint32_t number, const std::u16string& item)
    {
        TagRequest request{};
        request.version = TAG_REQUEST_VERSION_CURRENT;
        request.operation = IO_OP_READ_VALUE;
        request.n1 = 1;
        request.size = uint16_t(number);
        request.device = u"";
        request.item = item.c_str();
        return m_cache->Subscribe(&request, m_callback.Get(), number);
    }

    static SMQTTItemStatus Status(CMQTTHost& host, const std::string& topic)
    {
        CMQTTItem* item = host.Subscriptions().FindItem(topic, false);
        EXPECT_NE(item, nullptr) << topic;
        return item ? item->Status() : SMQTTItemStatus{};
    }

    TIOPtr<CIOGlobals> m_globals;
    TIOPtr<CIOCache> m_cache;
    std::unique_ptr<CConfigData> m_config;
    TIOPtr<CIgnoringCallback> m_callback = TIOPtr<CIgnoringCallback>::Adopt(new CIgnoringCallback);
};
} // namespace

TEST_F(HostStationTest, TagsWaitingBeforeTheStartEnterTheirItems)
{
    ASSERT_EQ(Subscribe(1, u"plant/temp"), S_OK);
    ASSERT_EQ(Subscribe(2, u"[\"plant/a\",\"plant/b;J1\"]"), S_OK);
    TIOPtr<CMQTTHost> host = StartHost();
    ASSERT_TRUE(host);
    for (const char* topic : {"plant/temp", "plant/a", "plant/b"})
    {
        const SMQTTItemStatus status = Status(*host, topic);
        EXPECT_TRUE(status.active) << topic;
        EXPECT_EQ(status.state, MQTT_ITEM_TO_SUBSCRIBE) << topic;
    }
    host->Stop();
}

TEST_F(HostStationTest, TagsFollowSubscriptionsWhileRunning)
{
    TIOPtr<CMQTTHost> host = StartHost();
    ASSERT_TRUE(host);
    ASSERT_EQ(Subscribe(3, u"line/speed"), S_OK);
    EXPECT_TRUE(Status(*host, "line/speed").active);
    // Write-only commands never become items.
    ASSERT_EQ(Subscribe(4, u"MosqClientCtrl"), S_OK);
    EXPECT_EQ(host->Subscriptions().FindItem("MosqClientCtrl", false), nullptr);

    ASSERT_EQ(m_cache->Unsubscribe(3), S_OK);
    const SMQTTItemStatus status = Status(*host, "line/speed");
    EXPECT_FALSE(status.active);
    EXPECT_EQ(status.state, MQTT_ITEM_IDLE);
    host->Stop();
}

TEST_F(HostStationTest, StopHandsTheStationToTheNextHost)
{
    ASSERT_EQ(Subscribe(5, u"plant/temp"), S_OK);
    TIOPtr<CMQTTHost> first = StartHost();
    ASSERT_TRUE(first);
    EXPECT_EQ(m_cache->AttachedCount(), 1u);
    first->Stop();
    // The subscription waits again, untouched by the stopped host.
    EXPECT_EQ(m_cache->AttachedCount(), 0u);
    EXPECT_EQ(m_cache->WaitingCount(), 1u);
    first = nullptr;

    TIOPtr<CMQTTHost> second = StartHost();
    ASSERT_TRUE(second);
    EXPECT_EQ(m_cache->AttachedCount(), 1u);
    EXPECT_TRUE(Status(*second, "plant/temp").active);
    second->Stop();
}

TEST_F(HostStationTest, ReadsAreRefusedAndStartWithoutAgentKeywordsFails)
{
    TIOPtr<CMQTTHost> host = StartHost();
    ASSERT_TRUE(host);
    TagRequest request{};
    HVALUE value = hvCreate();
    EXPECT_EQ(host->ReadTag(&request, value), E_FAIL);
    hvRelease(value);
    host->Stop();

    m_config->SetI32("MQTT.UseVeloraAgent", 1);
    HRESULT hr = E_FAIL;
    TIOPtr<CMQTTHost> agents = CMQTTHost::Create(m_globals.Get(), *m_config, "", m_cache.Get(), &hr);
    ASSERT_TRUE(agents);
    EXPECT_EQ(agents->Start(), E_FAIL);
    m_config->SetText("MQTT.AgentKeywords", "agent;velora");
    TIOPtr<CMQTTHost> withKeywords = CMQTTHost::Create(m_globals.Get(), *m_config, "", m_cache.Get(), &hr);
    ASSERT_TRUE(withKeywords);
    EXPECT_EQ(withKeywords->Start(), S_OK);
    withKeywords->Stop();
}
