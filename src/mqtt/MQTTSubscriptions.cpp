#include "mqtt/MQTTSubscriptions.h"

#include "mqtt/MQTTStack.h"
#include "mqtt/MQTTTemplate.h"
#include "platform/Tick.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>

namespace
{
// The items a JSON-array item string names, or the item string itself.
HRESULT PlainItems(const std::string& address, std::vector<std::string>& items)
{
    const HRESULT hr = MQTTSplitArrayItem(address, items);
    if (hr == S_FALSE)
        items.assign(1, address);
    return FAILED(hr) ? hr : S_OK;
}

// The topic field of a plain item; the deadband clauses are cut whether or not they are valid.
std::string TopicOf(const std::string& item)
{
    std::string prepared = item;
    MQTTPrepareItem(prepared, nullptr);
    return MQTTSplitFields(prepared).front();
}

std::string FormatReal(double value)
{
    char text[400];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return error == std::errc() ? std::string(text, end) : std::string();
}
} // namespace

CMQTTSubscriptions::CMQTTSubscriptions(IMQTTItemHost& host, SMQTTItemSettings settings)
    : m_host(host), m_settings(std::move(settings))
{
}

CMQTTSubscriptions::~CMQTTSubscriptions() = default;

// The operations the host calls from its threads end where they stand when memory runs out:
// no exception reaches the cache, the stack or the session thread.
HRESULT CMQTTSubscriptions::OutOfMemory()
{
    Log(m_host.Logger(), LOG_DRIVER, "Out of Memory!");
    return E_OUTOFMEMORY;
}

CMQTTItem* CMQTTSubscriptions::FindItem(const std::string& topic, bool create)
{
    const uint32_t now = create ? m_host.Now() : 0;
    CLockGuard guard(m_itemLock);
    auto found = m_topics.find(topic);
    if (found != m_topics.end())
        return found->second;
    if (!create)
        return nullptr;
    try
    {
        m_items.push_back(std::make_unique<CMQTTItem>(topic, now));
        CMQTTItem* item = m_items.back().get();
        try
        {
            m_topics.emplace(topic, item);
        }
        catch (const std::bad_alloc&)
        {
            m_items.pop_back();
            return nullptr;
        }
        return item;
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

std::vector<CMQTTItem*> CMQTTSubscriptions::Items()
{
    CLockGuard guard(m_itemLock);
    std::vector<CMQTTItem*> items;
    items.reserve(m_topics.size());
    for (const auto& [topic, item] : m_topics)
        items.push_back(item);
    return items;
}

HRESULT CMQTTSubscriptions::OnTagAdded(const SCacheTagAddress& tag)
try
{
    std::vector<std::string> items;
    if (FAILED(PlainItems(tag.item, items)))
    {
        Log(m_host.Logger(), LOG_DRIVER, "Error: Invalid Item format = %s!", tag.item.c_str());
        return E_FAIL;
    }
    for (const std::string& item : items)
    {
        const HRESULT hr = ParseEnterItem(tag, item);
        if (FAILED(hr))
        {
            Log(m_host.Logger(), LOG_DRIVER, "Error: Invalid Item format = %s!", item.c_str());
            return hr;
        }
    }
    return S_OK;
}
catch (const std::bad_alloc&)
{
    return OutOfMemory();
}

HRESULT CMQTTSubscriptions::ParseEnterItem(const SCacheTagAddress& tag, const std::string& itemText)
{
    std::string prepared = itemText;
    MQTTPrepareItem(prepared, nullptr);
    const std::vector<std::string> fields = MQTTSplitFields(prepared);
    if (MQTTIsReservedItem(fields[0]))
        return S_OK;
    // An empty topic is a protocol error that would make the broker drop the session.
    if (fields[0].empty())
        return IO_E_INVALID_ITEM;

    CMQTTItem* item = FindItem(fields[0], true);
    if (item == nullptr)
    {
        Log(m_host.Logger(), LOG_DRIVER, "Error: Out of memory on ParseEnterItem!");
        return E_OUTOFMEMORY;
    }
    const std::string templateName = fields.size() > 1 ? fields[1] : std::string();
    const std::string filter = fields.size() > 2 ? fields[2] : std::string();
    CMQTTTemplate* tmpl = fields.size() > 1 ? m_host.FindTemplate(templateName) : nullptr;
    if (item->AddReference(tag.item, templateName, filter, tmpl, m_host.Logger()) == E_OUTOFMEMORY)
        return E_OUTOFMEMORY;
    item->Enter(tag.item, tag.size);
    return S_OK;
}

HRESULT CMQTTSubscriptions::OnTagRemoved(const SCacheTagAddress& tag)
try
{
    // Mirrors OnTagAdded item for item, JSON arrays included, so every entry is undone.
    std::vector<std::string> items;
    if (FAILED(PlainItems(tag.item, items)))
        return E_FAIL;
    HRESULT result = S_OK;
    for (const std::string& itemText : items)
    {
        const std::string topic = TopicOf(itemText);
        if (MQTTIsReservedItem(topic) || topic.empty())
            continue;
        CMQTTItem* item = FindItem(topic, false);
        if (item)
            item->Leave();
        else
            result = E_FAIL;
    }
    return result;
}
catch (const std::bad_alloc&)
{
    return OutOfMemory();
}

HRESULT CMQTTSubscriptions::WriteTag(const std::string& itemString, HVALUE value)
try
{
    std::string prepared = itemString;
    SMQTTDeadband deadband;
    if (!MQTTPrepareItem(prepared, &deadband))
    {
        Log(m_host.Logger(), LOG_DRIVER, "Failed to extract deadband from Item parameter");
        return E_UNEXPECTED;
    }
    if (deadband.flags == 0 && m_settings.writeDeadbandFraction != 0)
    {
        deadband.flags = SMQTTDeadband::PERCENT;
        deadband.fraction = std::fabs(m_settings.writeDeadbandFraction);
    }
    const std::vector<std::string> fields = MQTTSplitFields(prepared);
    const std::string& topic = fields[0];

    HRESULT routed = S_OK;
    if (m_host.RouteWrite(topic, value, routed))
        return routed;

    CMQTTItem* item = FindItem(topic, false);
    if (item == nullptr)
    {
        // Publishing to an empty topic is a protocol error that would end the session.
        item = topic.empty() ? nullptr : FindItem(topic, true);
        if (item == nullptr)
        {
            Log(m_host.Logger(), LOG_DRIVER, "Invalid Item %s!", topic.c_str());
            return E_FAIL;
        }
        // A write-only item: never active, so never subscribed.
        const std::string templateName = fields.size() > 1 ? fields[1] : std::string();
        CMQTTTemplate* tmpl = fields.size() > 1 ? m_host.FindTemplate(templateName) : nullptr;
        item->AddReference(itemString, templateName, std::string(), tmpl, m_host.Logger());
    }
    return WriteItem(*item, value, deadband);
}
catch (const std::bad_alloc&)
{
    return OutOfMemory();
}

HRESULT CMQTTSubscriptions::WriteItem(CMQTTItem& item, HVALUE value, const SMQTTDeadband& deadband)
{
    const std::vector<CMQTTTagReference*> references = item.References();
    if (references.empty())
        return E_FAIL;
    for (CMQTTTagReference* reference : references)
    {
        bool published = false;
        const HRESULT hr = WriteReference(item, *reference, value, deadband, published);
        if (FAILED(hr))
            return hr;
        // A change inside the deadband ends the write: none of the references publishes it.
        if (!published)
            return S_OK;
    }
    return S_OK;
}

HRESULT CMQTTSubscriptions::WriteReference(CMQTTItem& item, CMQTTTagReference& reference, HVALUE value,
                                           const SMQTTDeadband& deadband, bool& published)
{
    published = false;
    IIOLogger* logger = m_host.Logger();
    std::string payload;
    {
        CLockGuard guard(item.Lock());
        if (reference.tmpl && !reference.templateName.empty())
        {
            const HRESULT hr = reference.tmpl->ParsePublish(value, payload);
            if (FAILED(hr))
            {
                Log(logger, LOG_DRIVER, "Failed parsing write data against template %s",
                    reference.templateName.c_str());
                return hr;
            }
        }
        else if (hvIsText(value))
        {
            const char* text = nullptr;
            size_t length = 0;
            if (!hvGetTextN(value, &text, &length))
            {
                Log(logger, LOG_DRIVER, "Cannot Get String Value");
                return E_FAIL;
            }
            payload.assign(text, length);
        }
        else if (hvIsNumeric(value) && !hvIsArray(value))
        {
            double number = 0;
            if (!hvGetR64(value, &number))
            {
                Log(logger, LOG_DRIVER, "Cannot Get Numeric Value");
                return E_FAIL;
            }
            if (!deadband.Passes(reference.Value(), value))
                return S_OK;
            payload = FormatReal(number);
        }
        else if (hvGetType(value) != HV_NULL)
        {
            // An empty payload would silently replace the topic's data (and a retained
            // message): other scalars go out in their text form, the rest is refused.
            char text[256];
            if (!hvGetTextAs(value, text, sizeof text))
            {
                Log(logger, LOG_DRIVER, "Invalid DataType!");
                return IO_E_INVALID_TAG_TYPE;
            }
            payload = text;
        }
    }
    const HRESULT hr = m_host.Publish(item.Topic(), payload, MQTT_QOS_CONFIGURED);
    if (FAILED(hr))
        return hr;
    item.StoreWritten(reference, value);
    published = true;
    return S_OK;
}

void CMQTTSubscriptions::OnPublish(const std::string& topic, const std::string& payload)
try
{
    IIOLogger* logger = m_host.Logger();
    CMQTTItem* item = FindItem(topic, false);
    if (item == nullptr)
    {
        Log(logger, LOG_DRIVER, "Item %s does not exist!", topic.c_str());
    }
    else
    {
        Log(logger, LOG_DRIVER, "Parsing from %s..", topic.c_str());
        Log(logger, LOG_DRIVER, "Msg: %s", payload.c_str());
        OnMessage(*item, payload);
    }
    ApplyLastWill(topic, payload);
}
catch (const std::bad_alloc&)
{
    OutOfMemory();
}

void CMQTTSubscriptions::OnMessage(CMQTTItem& item, const std::string& payload)
{
    {
        CLockGuard guard(item.Lock());
        item.m_gotData = true;
    }
    for (CMQTTTagReference* reference : item.References())
    {
        const MQTTValuePtr value = item.Decode(*reference, payload, m_settings.applyLocalTZ);
        if (!value)
        {
            if (reference->tmpl)
                MarkItemBad(item, MQTT_BAD_CONNECTION);
            continue;
        }
        SendCallBack(reference->address, value.get());
        {
            CLockGuard guard(item.Lock());
            item.m_bad = false;
        }
        ReleaseLastWill(item, payload);
    }
}

void CMQTTSubscriptions::SendCallBack(const std::string& address, HVALUE value)
{
    if (address.empty())
    {
        Log(m_host.Logger(), LOG_DRIVER, "SendCallBack: empty address");
        return;
    }
    const TIOPtr<IIOCacheSection> section = m_host.CacheSection();
    if (!section)
        return;
    IIOCacheTag* found = nullptr;
    const HRESULT hr = section->FindTag(address.c_str(), &found);
    if (FAILED(hr) || found == nullptr)
    {
        Log(m_host.Logger(), LOG_DRIVER, "SendCallBack: failed to get tag '%s'(%08X)", address.c_str(),
            static_cast<unsigned>(hr));
        return;
    }
    TIOPtr<IIOCacheTag> tag;
    tag.Attach(found);
    tag->UpdateValues(value, 0);
}

void CMQTTSubscriptions::ApplyLastWill(const std::string& topic, const std::string& payload)
{
    if (!m_settings.useLastWillForQuality || payload != m_settings.willMessage)
        return;
    for (CMQTTItem* item : Items())
    {
        if (!item->Topic().starts_with(topic))
            continue;
        MarkItemBad(*item, MQTT_BAD_LAST_WILL);
        if (item->Topic() == topic)
        {
            CLockGuard guard(item->Lock());
            item->m_lastWillHolder = true;
        }
    }
}

void CMQTTSubscriptions::ReleaseLastWill(CMQTTItem& item, const std::string& payload)
{
    {
        CLockGuard guard(item.Lock());
        if (!item.m_lastWillHolder || payload == m_settings.willMessage)
            return;
        item.m_lastWillHolder = false;
    }
    Resubscribe(item.Topic());
}

void CMQTTSubscriptions::SubscriptionPass()
try
{
    IIOLogger* logger = m_host.Logger();
    const uint32_t now = m_host.Now();
    const uint32_t resendMs = m_settings.resendSubscriptionSeconds * 1000;
    std::vector<SBatchItem> subscribe;
    std::vector<SBatchItem> unsubscribe;
    {
        CLockGuard registry(m_itemLock);
        for (const auto& [topic, item] : m_topics)
        {
            CLockGuard guard(item->Lock());
            // Only a tag that left makes an item due for UNSUBSCRIBE, so it is due although
            // no tag is active any more.
            if (item->m_state == MQTT_ITEM_TO_UNSUBSCRIBE)
            {
                unsubscribe.push_back({item, topic});
                continue;
            }
            if (item->m_activeTags == 0)
                continue;
            switch (item->m_state)
            {
            case MQTT_ITEM_TO_SUBSCRIBE:
                subscribe.push_back({item, topic});
                break;
            case MQTT_ITEM_SUBSCRIBE_SENT:
                if (TickElapsed(item->m_stateTime, now) >= SUBSCRIPTION_RESPONSE_MS)
                {
                    Log(logger, LOG_DRIVER, "Subscription Response Expired for %s", topic.c_str());
                    item->m_state = MQTT_ITEM_TO_SUBSCRIBE;
                }
                break;
            case MQTT_ITEM_SUBSCRIBED:
                if (!item->m_gotData && TickElapsed(item->m_firstResponseTime, now) >= resendMs)
                {
                    Log(logger, LOG_DRIVER, "First Response Expired for %s", topic.c_str());
                    item->m_state = MQTT_ITEM_TO_SUBSCRIBE;
                }
                break;
            default:
                break;
            }
        }
    }

    const size_t perSubscribe = std::clamp<uint32_t>(m_settings.maxRequests, 1, 50);
    for (size_t first = 0; first < subscribe.size(); first += perSubscribe)
    {
        if (first != 0 && !m_host.Pause(SUBSCRIBE_GAP_MS))
            return;
        const size_t count = std::min(perSubscribe, subscribe.size() - first);
        SendSubscribeBatch(std::span<const SBatchItem>(subscribe).subspan(first, count));
    }
    for (size_t first = 0; first < unsubscribe.size(); first += UNSUBSCRIBE_BATCH)
    {
        const size_t count = std::min<size_t>(UNSUBSCRIBE_BATCH, unsubscribe.size() - first);
        SendUnsubscribeBatch(std::span<const SBatchItem>(unsubscribe).subspan(first, count));
    }
}
catch (const std::bad_alloc&)
{
    OutOfMemory();
}

void CMQTTSubscriptions::SendSubscribeBatch(std::span<const SBatchItem> batch)
{
    std::vector<std::string> topics;
    std::vector<CMQTTItem*> items;
    for (const SBatchItem& entry : batch)
    {
        topics.push_back(entry.topic);
        items.push_back(entry.item);
    }
    const uint32_t now = m_host.Now();
    bool recorded = false;
    uint16_t packetId = 0;
    // The items move to "sent" before the packet leaves: a SUBACK may be handled on the stack
    // thread before SendSubscribe returns.
    const auto beforeSend = [&](uint16_t id)
    {
        packetId = id;
        {
            CLockGuard pending(m_pendingLock);
            m_pending[id] = items;
        }
        recorded = true;
        for (CMQTTItem* item : items)
        {
            CLockGuard guard(item->Lock());
            if (item->m_state != MQTT_ITEM_TO_SUBSCRIBE)
                continue;
            item->m_state = MQTT_ITEM_SUBSCRIBE_SENT;
            item->m_stateTime = now;
            item->m_requestId = id;
        }
    };
    if (SUCCEEDED(m_host.SendSubscribe(topics, beforeSend)) || !recorded)
        return;
    {
        CLockGuard pending(m_pendingLock);
        m_pending.erase(packetId);
    }
    for (CMQTTItem* item : items)
    {
        CLockGuard guard(item->Lock());
        if (item->m_state == MQTT_ITEM_SUBSCRIBE_SENT && item->m_requestId == packetId)
            item->m_state = MQTT_ITEM_TO_SUBSCRIBE;
    }
}

void CMQTTSubscriptions::SendUnsubscribeBatch(std::span<const SBatchItem> batch)
{
    std::vector<std::string> topics;
    for (const SBatchItem& entry : batch)
        topics.push_back(entry.topic);
    const uint32_t now = m_host.Now();
    bool recorded = false;
    uint16_t packetId = 0;
    const auto beforeSend = [&](uint16_t id)
    {
        packetId = id;
        recorded = true;
        for (const SBatchItem& entry : batch)
        {
            CLockGuard guard(entry.item->Lock());
            if (entry.item->m_state != MQTT_ITEM_TO_UNSUBSCRIBE)
                continue;
            entry.item->m_state = MQTT_ITEM_UNSUBSCRIBE_SENT;
            entry.item->m_stateTime = now;
            entry.item->m_requestId = id;
        }
    };
    if (SUCCEEDED(m_host.SendUnsubscribe(topics, beforeSend)) || !recorded)
        return;
    for (const SBatchItem& entry : batch)
    {
        CLockGuard guard(entry.item->Lock());
        if (entry.item->m_state == MQTT_ITEM_UNSUBSCRIBE_SENT && entry.item->m_requestId == packetId)
            entry.item->m_state = MQTT_ITEM_TO_UNSUBSCRIBE;
    }
}

void CMQTTSubscriptions::OnSubAck(CMQTTPacket& suback)
try
{
    IIOLogger* logger = m_host.Logger();
    CMQTTReader reader(suback.buffer);
    reader.SkipRemainingLength();
    const uint16_t packetId = reader.ReadU16();
    Log(logger, LOG_DRIVER, "Subscription Ack ID=%u", unsigned(packetId));

    std::vector<CMQTTItem*> items;
    {
        CLockGuard pending(m_pendingLock);
        auto found = m_pending.find(packetId);
        if (found == m_pending.end())
            return;
        items = std::move(found->second);
        m_pending.erase(found);
    }
    const uint32_t now = m_host.Now();
    for (CMQTTItem* item : items)
    {
        const uint8_t code = reader.AtEnd() ? 0 : reader.ReadByte();
        CLockGuard guard(item->Lock());
        if (item->m_state != MQTT_ITEM_SUBSCRIBE_SENT || item->m_requestId != packetId)
            continue;
        if (code <= 2)
        {
            item->m_firstResponseTime = now;
            // Every tag left while the SUBSCRIBE was on its way: give the subscription back.
            item->m_state = item->m_activeTags != 0 ? MQTT_ITEM_SUBSCRIBED : MQTT_ITEM_TO_UNSUBSCRIBE;
        }
        else if (code == MQTT_SUBACK_FAILURE)
        {
            item->m_state = MQTT_ITEM_IDLE;
            Log(logger, LOG_DRIVER, "Item %s not found at the broker", item->Topic().c_str());
        }
    }
}
catch (const std::bad_alloc&)
{
    OutOfMemory();
}

void CMQTTSubscriptions::OnUnsubAck(uint16_t packetId)
{
    CLockGuard registry(m_itemLock);
    for (const auto& [topic, item] : m_topics)
    {
        CLockGuard guard(item->Lock());
        if (item->m_state != MQTT_ITEM_UNSUBSCRIBE_SENT || item->m_requestId != packetId)
            continue;
        // A tag that entered while the UNSUBSCRIBE was on its way needs the topic again.
        item->m_state = item->m_activeTags != 0 ? MQTT_ITEM_TO_SUBSCRIBE : MQTT_ITEM_IDLE;
    }
}

uint8_t CMQTTSubscriptions::OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS)
{
    CMQTTItem* item = FindItem(topic, false);
    if (item == nullptr)
        return MQTT_SUBACK_FAILURE;
    CLockGuard guard(item->Lock());
    item->m_state = MQTT_ITEM_SUBSCRIBED;
    item->m_grantedQoS = std::min<uint8_t>(requestedQoS, 2);
    return item->m_grantedQoS;
}

void CMQTTSubscriptions::OnPeerUnsubscribe(const std::string& topic)
{
    if (CMQTTItem* item = FindItem(topic, false))
        item->SetState(MQTT_ITEM_IDLE);
}

void CMQTTSubscriptions::MarkItemBad(CMQTTItem& item, EMQTTBadReason reason)
try
{
    bool wasBad = false;
    {
        CLockGuard guard(item.Lock());
        if (item.m_bad && item.m_badReason == reason)
            return;
        wasBad = item.m_bad;
    }
    const uint32_t now = m_host.Now();
    const TIOPtr<IIOCacheSection> section = m_host.CacheSection();
    MQTTValuePtr empty(hvCreate());
    if (empty)
    {
        hvSetQuality(empty.get(), HV_QUALITY_BAD);
        hvSetTimestamp(empty.get(), hvNow());
    }
    for (CMQTTTagReference* reference : item.References())
    {
        if (reference->address.empty())
        {
            Log(m_host.Logger(), LOG_DRIVER, "Error: Callback Reference String is Empty!");
            break;
        }
        IIOCacheTag* found = nullptr;
        if (section && empty && SUCCEEDED(section->FindTag(reference->address.c_str(), &found)) && found)
        {
            TIOPtr<IIOCacheTag> tag;
            tag.Attach(found);
            tag->UpdateValues(empty.get(), 0);
        }
    }
    // The item's fields change even when no tag could be told, so that a lost connection
    // always leads to a new SUBSCRIBE.
    CLockGuard guard(item.Lock());
    if (!wasBad)
    {
        item.m_gotData = false;
        item.m_firstResponseTime = now;
    }
    item.m_bad = true;
    item.m_badReason = reason;
    if (reason == MQTT_BAD_CONNECTION &&
        (item.m_state == MQTT_ITEM_SUBSCRIBE_SENT || item.m_state == MQTT_ITEM_SUBSCRIBED))
        item.m_state = MQTT_ITEM_TO_SUBSCRIBE;
}
catch (const std::bad_alloc&)
{
    OutOfMemory();
}

void CMQTTSubscriptions::MarkAllItemsBad()
try
{
    for (CMQTTItem* item : Items())
    {
        MarkItemBad(*item, MQTT_BAD_CONNECTION);
        // A new session has none of the old subscriptions and answers none of the old
        // requests, whatever the item was told before.
        CLockGuard guard(item->Lock());
        switch (item->m_state)
        {
        case MQTT_ITEM_SUBSCRIBE_SENT:
        case MQTT_ITEM_SUBSCRIBED:
            item->m_state = MQTT_ITEM_TO_SUBSCRIBE;
            break;
        case MQTT_ITEM_UNSUBSCRIBE_SENT:
            item->m_state = item->m_activeTags != 0 ? MQTT_ITEM_TO_SUBSCRIBE : MQTT_ITEM_TO_UNSUBSCRIBE;
            break;
        default:
            break;
        }
    }
    CLockGuard pending(m_pendingLock);
    m_pending.clear();
}
catch (const std::bad_alloc&)
{
    OutOfMemory();
}

void CMQTTSubscriptions::Resubscribe(const std::string& prefix)
try
{
    for (CMQTTItem* item : Items())
    {
        if (!item->Topic().starts_with(prefix))
            continue;
        CLockGuard guard(item->Lock());
        if (item->m_state == MQTT_ITEM_SUBSCRIBE_SENT || item->m_state == MQTT_ITEM_SUBSCRIBED)
            item->m_state = MQTT_ITEM_TO_SUBSCRIBE;
    }
}
catch (const std::bad_alloc&)
{
    OutOfMemory();
}

size_t CMQTTSubscriptions::PendingCount()
{
    CLockGuard pending(m_pendingLock);
    return m_pending.size();
}
