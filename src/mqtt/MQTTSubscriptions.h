// The item registry of an MQTT host and everything that moves items through their
// subscription states: tag entry and removal, the subscription pass of the session tick,
// SUBACK and UNSUBACK handling, marking items bad after a link loss or a last will, delivery
// of received payloads to the tags, and writes through an item.
//
// The host implements IMQTTItemHost and owns one CMQTTSubscriptions. Every decision that
// depends on elapsed time reads the host's tick (IMQTTItemHost::Now), so tests drive it with
// synthetic time.
//
// How the host drives it:
//   cache sink OnTagActivated / OnTagDeactivated -> OnTagAdded / OnTagRemoved (tag address)
//   message handler, after agents and the controller  -> OnPublish (topic, payload text)
//   stack OnSubAck / OnUnsubAck / OnPeerSubscribe / OnPeerUnsubscribe -> the same names
//   session tick: disconnect handling -> MarkAllItemsBad; after CheckSession -> SubscriptionPass
//   write operation -> WriteTag (item string, value); item check -> MQTTValidateItem
// The entry points the host calls from its threads never throw: running out of memory is
// logged "Out of Memory!" and, where there is a status, reported as E_OUTOFMEMORY.
#pragma once
#include "core/IOCacheInterfaces.h"
#include "mqtt/MQTTItem.h"
#include "mqtt/MQTTPacket.h"
#include "platform/Lock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CMQTTTemplate;

// What subscription management needs from the MQTT host. Called with no registry or item
// lock held.
struct IMQTTItemHost
{
    // Millisecond tick.
    virtual uint32_t Now() = 0;
    // May be null (nothing is logged).
    virtual IIOLogger* Logger() = 0;
    // CMQTTCodec::SendSubscribe / SendUnsubscribe: `beforeSend` must run with the packet
    // identifier before the packet leaves, so an answer always finds its items.
    virtual HRESULT SendSubscribe(std::span<const std::string> topics,
                                  const std::function<void(uint16_t)>& beforeSend) = 0;
    virtual HRESULT SendUnsubscribe(std::span<const std::string> topics,
                                    const std::function<void(uint16_t)>& beforeSend) = 0;
    // The gap between SUBSCRIBE batches. False when the host is stopping: the pass ends and
    // the remaining items stay to be subscribed.
    virtual bool Pause(uint32_t ms) = 0;
    // CMQTTCodec::DoPublish (MQTT_QOS_CONFIGURED selects the configured publish QoS).
    virtual HRESULT Publish(std::string_view topic, std::string_view payload, uint8_t qos) = 0;
    // The open "MQTTCache" section, or none. Tags are found by their item string, so the
    // section's MakeKey must use the item text unchanged as the key.
    virtual TIOPtr<IIOCacheSection> CacheSection() = 0;
    // The registered template of this name, or none.
    virtual CMQTTTemplate* FindTemplate(const std::string& name) = 0;
    // Writes that do not go to an item ("MosqClientCtrl" with dynamic security,
    // "AcceptDeviceEnrollment" and agent topics with agents). True when the host took the
    // write, with its result in `status`.
    virtual bool RouteWrite(const std::string& topic, HVALUE value, HRESULT& status) = 0;

protected:
    ~IMQTTItemHost() = default;
};

// Settings the items use, loaded and clamped by the host.
struct SMQTTItemSettings
{
    uint32_t maxRequests = 50;               // topics per SUBSCRIBE, 1 to 50
    uint32_t resendSubscriptionSeconds = 40; // "MQTT.ResendSubscripionTimeout", at least 10
    bool useLastWillForQuality = false;
    std::string willMessage;
    bool applyLocalTZ = false;
    double writeDeadbandFraction = 0; // |"MQTT.WriteDeadBand" / 100|; 0 = none
};

class CMQTTSubscriptions
{
public:
    static constexpr uint32_t SUBSCRIBE_GAP_MS = 100;
    static constexpr uint32_t UNSUBSCRIBE_BATCH = 50;
    static constexpr uint32_t SUBSCRIPTION_RESPONSE_MS = 30000;

    CMQTTSubscriptions(IMQTTItemHost& host, SMQTTItemSettings settings);
    ~CMQTTSubscriptions();
    CMQTTSubscriptions(const CMQTTSubscriptions&) = delete;
    CMQTTSubscriptions& operator=(const CMQTTSubscriptions&) = delete;

    const SMQTTItemSettings& Settings() const { return m_settings; }

    // The item of exactly this topic; with `create`, a new idle item when there is none.
    // Null when absent (or when memory runs out). Items live as long as this object.
    CMQTTItem* FindItem(const std::string& topic, bool create);
    // All items in topic order.
    std::vector<CMQTTItem*> Items();

    // Cache events of the host's section (the sink forwards them).
    HRESULT OnTagAdded(const SCacheTagAddress& tag);
    HRESULT ParseEnterItem(const SCacheTagAddress& tag, const std::string& itemText);
    HRESULT OnTagRemoved(const SCacheTagAddress& tag);

    // The host's write operation for the tag with item string `itemString`.
    HRESULT WriteTag(const std::string& itemString, HVALUE value);
    // Publishes `value` once per reference of `item`.
    HRESULT WriteItem(CMQTTItem& item, HVALUE value, const SMQTTDeadband& deadband);

    // A received PUBLISH that no agent or controller took: hands the payload to the item of
    // the topic, then applies the last-will rule.
    void OnPublish(const std::string& topic, const std::string& payload);
    // Every reference of `item` takes the payload.
    void OnMessage(CMQTTItem& item, const std::string& payload);
    // Hands `value` to the cache tag whose key is `address`.
    void SendCallBack(const std::string& address, HVALUE value);

    // One pass of the session tick: SUBSCRIBE and UNSUBSCRIBE batches and both expiry rules.
    void SubscriptionPass();
    void OnSubAck(CMQTTPacket& suback);
    void OnUnsubAck(uint16_t packetId);
    // A peer's SUBSCRIBE / UNSUBSCRIBE naming a topic; the SUBACK return code is returned.
    uint8_t OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS);
    void OnPeerUnsubscribe(const std::string& topic);

    void MarkItemBad(CMQTTItem& item, EMQTTBadReason reason);
    // The disconnect handling of the session tick: every item is marked bad for the
    // connection and no SUBSCRIBE is awaited any more.
    void MarkAllItemsBad();
    // Items whose topic begins with `prefix` and that are (being) subscribed subscribe again.
    void Resubscribe(const std::string& prefix);

    // Packet identifiers of SUBSCRIBEs whose SUBACK is awaited.
    size_t PendingCount();

private:
    struct SBatchItem
    {
        CMQTTItem* item;
        std::string topic;
    };

    HRESULT OutOfMemory();
    void ApplyLastWill(const std::string& topic, const std::string& payload);
    void ReleaseLastWill(CMQTTItem& item, const std::string& payload);
    void SendSubscribeBatch(std::span<const SBatchItem> batch);
    void SendUnsubscribeBatch(std::span<const SBatchItem> batch);
    HRESULT WriteReference(CMQTTItem& item, CMQTTTagReference& reference, HVALUE value,
                           const SMQTTDeadband& deadband, bool& published);

    IMQTTItemHost& m_host;
    const SMQTTItemSettings m_settings;

    // Lock order: registry lock, then an item's own lock. Never held while calling the host.
    CRecursiveLock m_itemLock;
    std::vector<std::unique_ptr<CMQTTItem>> m_items; // creation order
    std::map<std::string, CMQTTItem*> m_topics;

    // Taken alone.
    CRecursiveLock m_pendingLock;
    std::map<uint16_t, std::vector<CMQTTItem*>> m_pending;
};
