// Doubles for the item and subscription tests: a host that records every SUBSCRIBE,
// UNSUBSCRIBE, pause and publish under synthetic time, a cache section whose tags keep the
// values handed to them, and a template that shows what the item layer passes through.
#pragma once
#include "CodecTestDoubles.h"
#include "mqtt/MQTTSubscriptions.h"
#include "mqtt/MQTTTemplate.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What a cache tag was handed, read out of the value.
struct SDelivered
{
    uint8_t type = HV_NULL;
    uint8_t quality = 0;
    double number = 0;
    std::string text;
    double timestamp = 0;
};

inline SDelivered ReadDelivered(HVALUE value)
{
    SDelivered delivered;
    delivered.type = hvGetType(value);
    delivered.quality = hvGetQuality(value);
    hvGetR64(value, &delivered.number);
    const char* text = nullptr;
    size_t length = 0;
    if (hvGetTextN(value, &text, &length))
        delivered.text.assign(text, length);
    hvGetTimestamp(value, &delivered.timestamp);
    return delivered;
}

class CFakeCacheTag final : public TIOUnknown<IIOCacheTag>
{
public:
    explicit CFakeCacheTag(const std::string& key) { m_address.item = key; }

    HRESULT UpdateValues(HVALUE value, uint32_t) override
    {
        values.push_back(ReadDelivered(value));
        return S_OK;
    }
    const SCacheTagAddress* GetAddress() override { return &m_address; }

    std::vector<SDelivered> values;

private:
    ~CFakeCacheTag() override = default;
    SCacheTagAddress m_address;
};

class CFakeSection final : public TIOUnknown<IIOCacheSection>
{
public:
    // A tag of the section under `key` (made on first use).
    CFakeCacheTag& Tag(const std::string& key)
    {
        TIOPtr<CFakeCacheTag>& tag = m_tags[key];
        if (!tag)
            tag = TIOPtr<CFakeCacheTag>::Adopt(new CFakeCacheTag(key));
        return *tag;
    }

    HRESULT FindTag(const char* key, IIOCacheTag** tag) override
    {
        auto found = m_tags.find(key);
        if (found == m_tags.end())
            return E_FAIL;
        found->second->AddRef();
        *tag = found->second.Get();
        return S_OK;
    }
    HRESULT FindOrCreateTag(const char*, const SCacheTagAddress*, IIOCacheTag**) override
    {
        return E_NOTIMPL;
    }
    HRESULT EnumTags(const char*, uint32_t, IIOCacheTagVisitor*) override { return E_NOTIMPL; }

private:
    ~CFakeSection() override = default;
    std::map<std::string, TIOPtr<CFakeCacheTag>> m_tags;
};

// Decodes "bad" as a failure, everything else into the text "<payload>|<filter>"; encodes a
// number n as {"v":n} and fails on anything else.
class CStubTemplate final : public CMQTTTemplate
{
public:
    CStubTemplate() : CMQTTTemplate(nullptr, MQTT_TEMPLATE_JSON) {}

    HRESULT Initialize(const std::string&) override { return S_OK; }
    HRESULT ParseResponse(HVALUE value, const std::string& payload, const std::string& filter, bool) override
    {
        if (payload == "bad")
            return E_FAIL;
        hvSetText(value, (payload + "|" + filter).c_str());
        return S_OK;
    }
    HRESULT ParsePublish(HVALUE value, std::string& payload) override
    {
        int32_t number = 0;
        if (!hvGetI32(value, &number))
            return E_FAIL;
        payload = "{\"v\":" + std::to_string(number) + "}";
        return S_OK;
    }
};

struct SPublished
{
    std::string topic;
    std::string payload;
    uint8_t qos;
};

class CFakeItemHost final : public IMQTTItemHost
{
public:
    CFakeItemHost()
        : logger(CRecordingLogger::Create()), section(TIOPtr<CFakeSection>::Adopt(new CFakeSection))
    {
    }

    uint32_t Now() override { return now; }
    IIOLogger* Logger() override { return logger.Get(); }
    HRESULT SendSubscribe(std::span<const std::string> topics,
                          const std::function<void(uint16_t)>& beforeSend) override
    {
        return Send(subscribes, topics, beforeSend, subscribeResult);
    }
    HRESULT SendUnsubscribe(std::span<const std::string> topics,
                            const std::function<void(uint16_t)>& beforeSend) override
    {
        return Send(unsubscribes, topics, beforeSend, unsubscribeResult);
    }
    bool Pause(uint32_t ms) override
    {
        pauses.push_back(ms);
        now += ms;
        return !stopping;
    }
    HRESULT Publish(std::string_view topic, std::string_view payload, uint8_t qos) override
    {
        if (FAILED(publishResult))
            return publishResult;
        published.push_back({std::string(topic), std::string(payload), qos});
        return S_OK;
    }
    TIOPtr<IIOCacheSection> CacheSection() override
    {
        if (!sectionOpen)
            return TIOPtr<IIOCacheSection>();
        return realSection ? realSection : TIOPtr<IIOCacheSection>(section.Get());
    }
    CMQTTTemplate* FindTemplate(const std::string& name) override { return templates.Find(name); }
    bool RouteWrite(const std::string& topic, HVALUE, HRESULT& status) override
    {
        if (topic != routedTopic)
            return false;
        status = S_OK;
        ++routed;
        return true;
    }

    struct SSent
    {
        uint16_t id;
        uint32_t at;
        std::vector<std::string> topics;
    };

    uint32_t now = 1000;
    TIOPtr<CRecordingLogger> logger;
    TIOPtr<CFakeSection> section;
    bool sectionOpen = true;
    TIOPtr<IIOCacheSection> realSection; // replaces the fake section when set
    CMQTTTemplateRegistry templates;
    std::vector<SSent> subscribes;
    std::vector<SSent> unsubscribes;
    std::vector<uint32_t> pauses;
    std::vector<SPublished> published;
    HRESULT subscribeResult = S_OK;
    HRESULT unsubscribeResult = S_OK;
    HRESULT publishResult = S_OK;
    bool stopping = false;
    std::string routedTopic = "MosqClientCtrl";
    int routed = 0;
    uint16_t nextId = 1;

private:
    HRESULT Send(std::vector<SSent>& log, std::span<const std::string> topics,
                 const std::function<void(uint16_t)>& beforeSend, HRESULT result)
    {
        const uint16_t id = nextId++;
        if (beforeSend)
            beforeSend(id);
        if (SUCCEEDED(result))
            log.push_back({id, now, std::vector<std::string>(topics.begin(), topics.end())});
        return result;
    }
};

// A tag address as the cache hands it to the section's sink.
inline SCacheTagAddress TagAddress(const std::string& item, uint16_t size = 1)
{
    SCacheTagAddress address;
    address.item = item;
    address.size = size;
    return address;
}

// A received SUBACK for `packetId` with one return code per topic.
inline CMQTTPacket SubAck(uint16_t packetId, const std::vector<uint8_t>& codes)
{
    CMQTTPacket packet;
    packet.header = 0x90;
    const uint8_t head[4] = {0x90, uint8_t(2 + codes.size()), uint8_t(packetId >> 8), uint8_t(packetId)};
    // Appended piecewise: GCC 12 reports a false array-bounds error for vector::insert here.
    packet.buffer.Append(head, sizeof head);
    packet.buffer.Append(codes.data(), uint32_t(codes.size()));
    return packet;
}

// An item registry over a fake host.
class ItemFixture : public ::testing::Test
{
protected:
    explicit ItemFixture(SMQTTItemSettings settings = {}) : subs(host, std::move(settings)) {}

    EMQTTItemState StateOf(const std::string& topic)
    {
        CMQTTItem* item = subs.FindItem(topic, false);
        EXPECT_NE(item, nullptr) << topic;
        return item ? item->State() : MQTT_ITEM_IDLE;
    }
    bool Logged(const std::string& line) { return host.logger->Has(line); }

    CFakeItemHost host;
    CMQTTSubscriptions subs;
};
