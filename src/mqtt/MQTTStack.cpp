#include "mqtt/MQTTStack.h"

#include "platform/Tick.h"

#include <new>
#include <utility>
#include <vector>

namespace
{
constexpr uint32_t THREAD_WAIT_MS = 500;
} // namespace

CMQTTStack::CMQTTStack(IMQTTStackHost& host, CMQTTCodec& codec, Clock clock)
    : m_host(host), m_codec(codec), m_clock(clock ? std::move(clock) : Clock(GetTickCount32)),
      m_wake(CEvent::EReset::Auto), m_lastPass(m_clock())
{
    m_codec.AttachStack(this);
}

CMQTTStack::~CMQTTStack()
{
    m_codec.AttachStack(nullptr);
    ClearAll();
    m_threadState.store(THREAD_STOP);
    m_wake.Set();
    m_thread.Join();
}

HRESULT CMQTTStack::Start()
{
    if (!m_thread.IsRunning() && !m_thread.Start([this] { ThreadLoop(); }))
        return E_FAIL;
    if (m_threadState.exchange(THREAD_RUNNING) != THREAD_RUNNING)
        m_wake.Set();
    return S_OK;
}

void CMQTTStack::ThreadLoop()
{
    for (;;)
    {
        const int state = m_threadState.load();
        if (state == THREAD_STOP)
            return;
        if (state == THREAD_RUNNING)
            Process(m_clock());
        m_wake.Wait(THREAD_WAIT_MS);
    }
}

HRESULT CMQTTStack::Enqueue(MQTTPacketPtr packet)
{
    if (!packet)
        return E_POINTER;
    try
    {
        CLockGuard guard(m_queueLock);
        m_queue.push_back(std::move(packet));
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    m_wake.Set();
    return S_OK;
}

MQTTPacketPtr CMQTTStack::Dequeue()
{
    CLockGuard guard(m_queueLock);
    if (m_queue.empty())
        return nullptr;
    MQTTPacketPtr packet = std::move(m_queue.front());
    m_queue.pop_front();
    return packet;
}

size_t CMQTTStack::QueuedCount()
{
    CLockGuard guard(m_queueLock);
    return m_queue.size();
}

HRESULT CMQTTStack::Put(Store& store, MQTTPacketPtr packet, uint16_t packetId, uint32_t now)
{
    if (!packet)
        return E_POINTER;
    packet->stamp = now;
    try
    {
        CLockGuard guard(m_storeLock);
        store[packetId] = std::move(packet);
    }
    catch (const std::bad_alloc&)
    {
        MQTTLog(m_codec.Logger(), "Out of Memory");
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

MQTTPacketPtr CMQTTStack::Take(Store& store, uint16_t packetId)
{
    CLockGuard guard(m_storeLock);
    const auto found = store.find(packetId);
    if (found == store.end())
        return nullptr;
    MQTTPacketPtr packet = std::move(found->second);
    store.erase(found);
    return packet;
}

size_t CMQTTStack::Count(const Store& store)
{
    CLockGuard guard(m_storeLock);
    return store.size();
}

HRESULT CMQTTStack::StoreQoS1(MQTTPacketPtr packet, uint16_t packetId)
{
    return Put(m_outgoingQoS1, std::move(packet), packetId, m_clock());
}

HRESULT CMQTTStack::StoreQoS2(MQTTPacketPtr packet, uint16_t packetId)
{
    return Put(m_outgoingQoS2, std::move(packet), packetId, m_clock());
}

MQTTPacketPtr CMQTTStack::TakeQoS1(uint16_t packetId)
{
    return Take(m_outgoingQoS1, packetId);
}

MQTTPacketPtr CMQTTStack::TakeQoS2(uint16_t packetId)
{
    return Take(m_outgoingQoS2, packetId);
}

MQTTPacketPtr CMQTTStack::TakeIncoming(uint16_t packetId)
{
    return Take(m_incomingQoS2, packetId);
}

size_t CMQTTStack::OutgoingQoS1Count()
{
    return Count(m_outgoingQoS1);
}

size_t CMQTTStack::OutgoingQoS2Count()
{
    return Count(m_outgoingQoS2);
}

size_t CMQTTStack::IncomingQoS2Count()
{
    return Count(m_incomingQoS2);
}

void CMQTTStack::ClearAll()
{
    CLockGuard guard(m_storeLock);
    m_incomingQoS2.clear();
    m_outgoingQoS1.clear();
    m_outgoingQoS2.clear();
}

void CMQTTStack::Process(uint32_t now)
{
    for (;;)
    {
        if (TickElapsed(m_lastPass, now) >= RETRANSMIT_BEAT_MS)
        {
            m_lastPass = now;
            Retransmit(now);
        }
        MQTTPacketPtr packet = Dequeue();
        if (!packet)
            return;
        try
        {
            Dispatch(std::move(packet), now);
        }
        catch (const std::bad_alloc&)
        {
            // The packet is lost; the peer's own retransmission brings it again.
            MQTTLog(m_codec.Logger(), "Out of Memory");
        }
    }
}

void CMQTTStack::Dispatch(MQTTPacketPtr packet, uint32_t now)
{
    if (!packet || packet->buffer.IsEmpty())
        return;
    packet->header = packet->buffer.Data()[0];
    IIOLogger* logger = m_codec.Logger();
    switch (packet->Type())
    {
    case MQTT_PUBLISH:
        MQTTLog(logger, "Data Publish");
        OnPublish(std::move(packet), now);
        break;
    case MQTT_PUBACK:
        MQTTLog(logger, "Publish Ack QoS 1");
        TakeQoS1(MQTTReadPacketId(*packet));
        break;
    case MQTT_PUBREC:
        MQTTLog(logger, "Publish Received QoS 2, part 1");
        OnPubRec(MQTTReadPacketId(*packet), now);
        break;
    case MQTT_PUBREL:
    {
        MQTTLog(logger, "Publish Release QoS 2, part 2");
        const uint16_t id = MQTTReadPacketId(*packet);
        MQTTPacketPtr stored = TakeIncoming(id);
        m_codec.SendPubComp(id);
        if (stored)
            m_host.OnMessage(*stored);
        break;
    }
    case MQTT_PUBCOMP:
        MQTTLog(logger, "Publish Received QoS 2, part 3");
        TakeQoS2(MQTTReadPacketId(*packet));
        break;
    case MQTT_CONNACK:
        m_host.OnConnAck(*packet);
        break;
    case MQTT_SUBSCRIBE:
        MQTTLog(logger, "Subscribe From");
        AnswerSubscribe(*packet);
        break;
    case MQTT_SUBACK:
        m_host.OnSubAck(*packet);
        break;
    case MQTT_UNSUBSCRIBE:
        MQTTLog(logger, "Unsubscribe From");
        AnswerUnsubscribe(*packet);
        break;
    case MQTT_UNSUBACK:
    {
        const uint16_t id = MQTTReadPacketId(*packet);
        MQTTLog(logger, "Unsubscribe Ack From ID=%u", unsigned(id));
        m_host.OnUnsubAck(id);
        break;
    }
    case MQTT_PINGREQ:
        MQTTLog(logger, "Ping Request");
        m_codec.SendPingResponse();
        break;
    case MQTT_PINGRESP:
        MQTTLog(logger, "Ping Response");
        m_codec.RenewKeepAlive(now);
        m_host.OnPingResponse();
        break;
    case MQTT_DISCONNECT:
        MQTTLog(logger, "Disconnect From");
        m_codec.SetConnected(false);
        ClearAll();
        m_host.RestartInterface();
        break;
    default:
        // CONNECT and the reserved types are never sent to a client.
        break;
    }
}

void CMQTTStack::OnPublish(MQTTPacketPtr packet, uint32_t now)
{
    const uint8_t qos = packet->QoS();
    if (qos == 0)
    {
        m_host.OnMessage(*packet);
        return;
    }
    if (qos > 2)
        return;
    SMQTTPublish publish;
    MQTTParsePublish(*packet, publish);
    if (qos == 1)
    {
        m_codec.SendPubAck(publish.packetId);
        m_host.OnMessage(*packet);
        return;
    }
    // Held before it is acknowledged: a PUBREC for a message that could not be kept would
    // lose it, since the peer never sends it again.
    packet->state = MQTT_QOS2_PUBREC_SENT;
    if (SUCCEEDED(Put(m_incomingQoS2, std::move(packet), publish.packetId, now)))
        m_codec.SendPubRec(publish.packetId);
}

void CMQTTStack::OnPubRec(uint16_t packetId, uint32_t now)
{
    // Held across the send so a ClearAll cannot slip between taking and storing again.
    CLockGuard guard(m_storeLock);
    MQTTPacketPtr packet = Take(m_outgoingQoS2, packetId);
    if (!packet)
        return;
    m_codec.SendPubRel(packetId, false);
    packet->state = MQTT_QOS2_PUBREL_SENT;
    Put(m_outgoingQoS2, std::move(packet), packetId, now);
}

void CMQTTStack::AnswerSubscribe(CMQTTPacket& packet)
{
    CMQTTReader reader(packet.buffer);
    reader.SkipRemainingLength();
    const uint16_t id = (packet.header & MQTT_FLAG_QOS_MASK) != 0 ? reader.ReadU16() : 0;
    std::vector<uint8_t> codes;
    while (!reader.AtEnd())
    {
        const std::string topic = reader.ReadString();
        const uint8_t requested = reader.ReadByte();
        // A pair cut short by the end of the packet is not a request.
        if (reader.Failed())
            break;
        codes.push_back(topic.empty() ? 0 : m_host.OnPeerSubscribe(topic, requested));
    }
    if (!codes.empty())
        m_codec.SendSubAck(id, codes);
}

void CMQTTStack::AnswerUnsubscribe(CMQTTPacket& packet)
{
    CMQTTReader reader(packet.buffer);
    reader.SkipRemainingLength();
    const uint16_t id = (packet.header & MQTT_FLAG_QOS_MASK) != 0 ? reader.ReadU16() : 0;
    while (!reader.AtEnd())
    {
        const std::string topic = reader.ReadString();
        if (reader.Failed())
            break;
        if (!topic.empty())
            m_host.OnPeerUnsubscribe(topic);
    }
    m_codec.SendUnsubAck(id);
}

void CMQTTStack::Retransmit(uint32_t now)
{
    bool giveUp = false;
    {
        CLockGuard guard(m_storeLock);
        giveUp = RetransmitLocked(now);
    }
    if (giveUp)
        DropSession();
}

bool CMQTTStack::RetransmitLocked(uint32_t now)
{
    auto isOld = [now](const MQTTPacketPtr& packet)
    { return TickElapsed(packet->stamp, now) >= RETRANSMIT_AGE_MS; };

    // Time stamps are not renewed: an unanswered message goes out again on every pass.
    for (const auto& [id, packet] : m_incomingQoS2)
    {
        if (isOld(packet) && packet->state == MQTT_QOS2_PUBREC_SENT)
            m_codec.SendPubRec(id);
    }
    for (const auto& [id, packet] : m_outgoingQoS1)
    {
        if (isOld(packet))
            m_codec.SendPacket(uint8_t(packet->header | MQTT_FLAG_DUP), packet->buffer);
    }
    for (const auto& [id, packet] : m_outgoingQoS2)
    {
        if (!isOld(packet))
            continue;
        if (packet->retries >= QOS2_MAX_RETRIES)
        {
            ClearAll();
            return true;
        }
        if (packet->state == MQTT_QOS2_SENT)
        {
            ++packet->retries;
            m_codec.SendPacket(uint8_t(packet->header | MQTT_FLAG_DUP), packet->buffer);
        }
        else if (packet->state == MQTT_QOS2_PUBREL_SENT)
        {
            ++packet->retries;
            m_codec.SendPubRel(id, true);
        }
    }
    return false;
}

void CMQTTStack::DropSession()
{
    m_codec.SendDisconnect();
    m_host.RestartInterface();
}
