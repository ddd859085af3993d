// Items behind the framework's tag cache, wired as the MQTT host wires them: the item text is
// the key, activation enters the item, deactivation removes it, and values reach the host's
// callback.
#include "SubscriptionTestSupport.h"
#include "core/IOCache.h"
#include "core/IOCacheSectionEventSink.h"
#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"
#include "platform/Text.h"

#include <gtest/gtest.h>
#include <mutex>

namespace
{
class CItemSink
{
public:
    explicit CItemSink(CMQTTSubscriptions& subs) : m_subs(subs) {}

    HRESULT MakeKey(const SCacheTagAddress& address, std::string& key)
    {
        key = address.item;
        return S_OK;
    }
    void OnTagActivated(IIOCacheTag* tag) { m_subs.OnTagAdded(*tag->GetAddress()); }
    void OnTagDeactivated(IIOCacheTag* tag, int&) { m_subs.OnTagRemoved(*tag->GetAddress()); }

private:
    CMQTTSubscriptions& m_subs;
};

class CHostCallback final : public TIOUnknown<IIOAdviseCallback>
{
public:
    HRESULT Notify(uint32_t number, HVALUE value, uint32_t) override
    {
        std::lock_guard guard(m_mutex);
        m_calls.push_back({number, value ? ReadDelivered(value) : SDelivered{}, value != nullptr});
        return S_OK;
    }

    struct SCall
    {
        uint32_t number;
        SDelivered value;
        bool hasValue;
    };
    std::vector<SCall> Calls()
    {
        std::lock_guard guard(m_mutex);
        return m_calls;
    }

private:
    ~CHostCallback() override = default;
    std::mutex m_mutex;
    std::vector<SCall> m_calls;
};

using CSink = TIOCacheSectionEventSink<CItemSink>;

class ItemCache : public ItemFixture
{
protected:
    ItemCache() { EXPECT_EQ(cache->OpenSection("MQTTCache", sink.Get(), host.realSection.Out()), S_OK); }
    ~ItemCache() override
    {
        sink->Detach();
        host.realSection = nullptr;
        cache->Shutdown();
    }

    HRESULT Subscribe(const std::string& item, uint32_t number, uint16_t size = 1)
    {
        const std::u16string item16 = Utf8ToUtf16(item);
        TagRequest request{};
        request.version = TAG_REQUEST_VERSION_CURRENT;
        request.item = item16.c_str();
        request.device = u"";
        request.size = size;
        return cache->Subscribe(&request, callback.Get(), number);
    }

    CItemSink driver{subs};
    TIOPtr<CSink> sink = TIOPtr<CSink>::Adopt(new CSink(&driver));
    TIOPtr<CIOCache> cache = TIOPtr<CIOCache>::Adopt(new CIOCache(nullptr));
    TIOPtr<CHostCallback> callback = TIOPtr<CHostCallback>::Adopt(new CHostCallback);
};
} // namespace

TEST_F(ItemCache, SubscribedTagReceivesPayloadsAndLinkLoss)
{
    ASSERT_EQ(Subscribe("plant/temp", 7, 12), S_OK);
    ASSERT_EQ(Subscribe("plant/temp (Deadband:5%)", 8), S_OK);
    EXPECT_EQ(subs.FindItem("plant/temp", false)->Status().activeTags, 2u);

    subs.SubscriptionPass();
    ASSERT_EQ(host.subscribes.size(), 1u);
    CMQTTPacket ack = SubAck(host.subscribes[0].id, {0x00});
    subs.OnSubAck(ack);

    subs.OnPublish("plant/temp", "21,5");
    std::vector<CHostCallback::SCall> calls = callback->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].number, 7u);
    EXPECT_DOUBLE_EQ(calls[0].value.number, 21.5);
    EXPECT_EQ(calls[0].value.quality, HV_QUALITY_GOOD);
    EXPECT_EQ(calls[1].number, 8u);

    subs.MarkAllItemsBad();
    calls = callback->Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].value.quality, HV_QUALITY_BAD);
    EXPECT_EQ(calls[2].value.type, HV_NULL);
    EXPECT_EQ(StateOf("plant/temp"), MQTT_ITEM_TO_SUBSCRIBE);
}

TEST_F(ItemCache, UnsubscribingTheLastTagUnsubscribesTheTopic)
{
    ASSERT_EQ(Subscribe("plant/temp", 1), S_OK);
    ASSERT_EQ(Subscribe("plant/temp", 2), S_OK); // same cache tag: enters once
    subs.SubscriptionPass();
    CMQTTPacket ack = SubAck(host.subscribes[0].id, {0x00});
    subs.OnSubAck(ack);

    ASSERT_EQ(cache->Unsubscribe(1), S_OK);
    EXPECT_EQ(StateOf("plant/temp"), MQTT_ITEM_SUBSCRIBED);
    ASSERT_EQ(cache->Unsubscribe(2), S_OK);
    EXPECT_EQ(StateOf("plant/temp"), MQTT_ITEM_TO_UNSUBSCRIBE);
    subs.SubscriptionPass();
    ASSERT_EQ(host.unsubscribes.size(), 1u);
    EXPECT_EQ(host.unsubscribes[0].topics, std::vector<std::string>{"plant/temp"});
}
