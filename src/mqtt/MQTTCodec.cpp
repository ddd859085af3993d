#include "mqtt/MQTTCodec.h"

#include "mqtt/MQTTStack.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

#include <algorithm>
#include <new>
#include <utility>

namespace
{
constexpr uint8_t CONNECT_FIRST = 0x10;
constexpr uint8_t PUBLISH_FIRST = 0x30;
constexpr uint8_t PUBACK_FIRST = 0x40;
constexpr uint8_t PUBREC_FIRST = 0x50;
constexpr uint8_t PUBREL_FIRST = 0x62;
constexpr uint8_t PUBCOMP_FIRST = 0x70;
constexpr uint8_t SUBSCRIBE_FIRST = 0x82;
constexpr uint8_t SUBACK_FIRST = 0x90;
constexpr uint8_t UNSUBSCRIBE_FIRST = 0xA2;
constexpr uint8_t UNSUBACK_FIRST = 0xB0;
constexpr uint8_t PINGREQ_FIRST = 0xC0;
constexpr uint8_t PINGRESP_FIRST = 0xD0;
constexpr uint8_t DISCONNECT_FIRST = 0xE0;

constexpr uint8_t CONNECT_USER = 0x80;
constexpr uint8_t CONNECT_PASSWORD = 0x40;
constexpr uint8_t CONNECT_WILL_QOS1 = 0x0C; // will flag with will QoS 1
constexpr uint8_t CONNECT_CLEAN_SESSION = 0x02;

constexpr uint32_t DISCONNECT_LINGER_MS = 100;
// A body is read in steps that start here and double, so a length field that promises far
// more than the peer sends never costs a huge allocation up front.
constexpr uint32_t FIRST_BODY_STEP = 64 * 1024;

void PutU16(CBuffer& body, uint16_t value)
{
    const uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
    body.Append(bytes, 2);
}

void PutByte(CBuffer& body, uint8_t value)
{
    body.Append(&value, 1);
}
} // namespace

uint32_t MQTTEncodeRemainingLength(uint32_t length, uint8_t* out)
{
    if (length > MQTT_MAX_REMAINING_LENGTH)
        return 0;
    uint32_t count = 0;
    do
    {
        uint8_t digit = uint8_t(length & 0x7F);
        length >>= 7;
        if (length != 0)
            digit |= 0x80;
        out[count++] = digit;
    } while (length != 0);
    return count;
}

CMQTTCodec::CMQTTCodec(IMQTTTransport& transport, IIOLogger* logger, SMQTTSessionSettings settings,
                       Clock clock)
    : m_transport(transport), m_logger(logger), m_settings(std::move(settings)),
      m_clock(clock ? std::move(clock) : Clock(GetTickCount32))
{
    m_keepAliveRef.store(m_clock());
}

uint16_t CMQTTCodec::TakePacketId()
{
    uint16_t id = m_nextId.load();
    // The counter never holds 0, so the taken value is always a valid identifier.
    while (!m_nextId.compare_exchange_weak(id, id == 0xFFFF ? uint16_t(1) : uint16_t(id + 1)))
    {
    }
    return id;
}

void CMQTTCodec::RenewKeepAlive(uint32_t now)
{
    m_keepAliveRef.store(now);
    m_pingOutstanding.store(false);
}

bool CMQTTCodec::AppendField(CBuffer& body, std::string_view field)
{
    if (field.size() > 0xFFFF)
    {
        MQTTLog(Logger(), "Field too long to send (%zu bytes)!", field.size());
        return false;
    }
    PutU16(body, uint16_t(field.size()));
    body.Append(field.data(), uint32_t(field.size()));
    return true;
}

HRESULT CMQTTCodec::Frame(uint8_t first, const CBuffer& body, CBuffer& packet)
{
    uint8_t length[4];
    const uint32_t lengthBytes = MQTTEncodeRemainingLength(body.Length(), length);
    if (lengthBytes == 0)
    {
        MQTTLog(Logger(), "Packet too large to send!");
        return E_FAIL;
    }
    if (body.HasError() || FAILED(packet.Reserve(1 + lengthBytes + body.Length())))
        return E_OUTOFMEMORY;
    packet.Append(&first, 1);
    packet.Append(length, lengthBytes);
    packet.AppendBuffer(body);
    return packet.HasError() ? E_OUTOFMEMORY : S_OK;
}

HRESULT CMQTTCodec::SendPacket(uint8_t first, const CBuffer& body)
{
    CBuffer packet;
    const HRESULT hr = Frame(first, body, packet);
    return FAILED(hr) ? hr : m_transport.Transmit(packet);
}

HRESULT CMQTTCodec::SendConnect(int32_t versionNumber)
{
    CBuffer body;
    AppendField(body, versionNumber == 4 ? "MQTT" : "MQIsdp");
    PutByte(body, uint8_t(versionNumber));

    uint8_t flags = 0;
    if (!m_settings.user.empty())
        flags |= CONNECT_USER;
    if (!m_settings.password.empty())
        flags |= CONNECT_PASSWORD;
    if (m_settings.hasWill)
        flags |= CONNECT_WILL_QOS1;
    if (!m_settings.useSession)
        flags |= CONNECT_CLEAN_SESSION;
    PutByte(body, flags);
    PutU16(body, m_settings.keepAliveSeconds);

    bool fits = AppendField(body, m_settings.clientId);
    if (m_settings.hasWill)
        fits = fits && AppendField(body, m_settings.willTopic) && AppendField(body, m_settings.willMessage);
    if (!m_settings.user.empty())
        fits = fits && AppendField(body, m_settings.user);
    if (!m_settings.password.empty())
        fits = fits && AppendField(body, m_settings.password);
    if (!fits)
        return E_INVALIDARG;

    RenewKeepAlive(m_clock());
    MQTTLog(Logger(), "Connect Request");
    return SendPacket(CONNECT_FIRST, body);
}

HRESULT CMQTTCodec::SendDisconnect()
{
    MQTTLog(Logger(), "Disconnect Request");
    const HRESULT hr = SendPacket(DISCONNECT_FIRST, CBuffer());
    SleepMs(DISCONNECT_LINGER_MS);
    return hr;
}

HRESULT CMQTTCodec::SendPingRequest()
{
    return SendPacket(PINGREQ_FIRST, CBuffer());
}

HRESULT CMQTTCodec::SendTopicBatch(uint8_t first, std::span<const std::string> topics, bool withQoS,
                                   const char* logFormat, const std::function<void(uint16_t)>& beforeSend)
{
    // A packet without topics is a protocol violation the broker answers by disconnecting.
    if (topics.empty())
        return E_INVALIDARG;
    const uint16_t id = TakePacketId();
    CBuffer body;
    PutU16(body, id);
    for (const std::string& topic : topics)
    {
        if (!AppendField(body, topic))
            return E_INVALIDARG;
        if (withQoS)
            PutByte(body, m_settings.readQoS);
    }
    if (beforeSend)
        beforeSend(id);
    MQTTLog(Logger(), logFormat, unsigned(id));
    return SendPacket(first, body);
}

HRESULT CMQTTCodec::SendSubscribe(std::span<const std::string> topics,
                                  const std::function<void(uint16_t)>& beforeSend)
{
    return SendTopicBatch(SUBSCRIBE_FIRST, topics, true, "Subscribe Request ID=%u", beforeSend);
}

HRESULT CMQTTCodec::SendUnsubscribe(std::span<const std::string> topics,
                                    const std::function<void(uint16_t)>& beforeSend)
{
    return SendTopicBatch(UNSUBSCRIBE_FIRST, topics, false, "Unsubscribe Request ID=%u", beforeSend);
}

HRESULT CMQTTCodec::DoPublish(std::string_view topic, std::string_view payload, uint8_t qos)
{
    if (!IsConnected())
    {
        MQTTLog(Logger(), "Publish Failed, not connected!");
        return E_FAIL;
    }
    const uint8_t effective = qos <= 2 ? qos : m_settings.publishQoS;
    // QoS 3 is reserved: a broker closes the connection on such a PUBLISH.
    if (effective > 2)
    {
        MQTTLog(Logger(), "Invalid QoS!!");
        return E_INVALIDARG;
    }
    if (payload.size() > MQTT_MAX_REMAINING_LENGTH)
    {
        MQTTLog(Logger(), "Packet too large to send!");
        return E_FAIL;
    }
    const uint8_t first =
        uint8_t(PUBLISH_FIRST | (effective << 1) | (m_settings.retain ? MQTT_FLAG_RETAIN : 0));

    // The copy kept for retransmission is made before anything is sent, so a message that
    // cannot be kept is never sent without its copy.
    MQTTPacketPtr record(new (std::nothrow) CMQTTPacket);
    if (!record)
    {
        MQTTLog(Logger(), "Out of Memory");
        return E_OUTOFMEMORY;
    }
    CBuffer& body = record->buffer;
    if (!AppendField(body, topic))
        return E_INVALIDARG;
    const uint16_t id = effective != 0 ? TakePacketId() : 0;
    if (effective != 0)
        PutU16(body, id);
    body.Append(payload.data(), uint32_t(payload.size()));
    record->header = first;

    CBuffer packet;
    const HRESULT framed = Frame(first, body, packet);
    if (framed == E_OUTOFMEMORY)
        MQTTLog(Logger(), "Out of Memory");
    if (FAILED(framed))
        return framed;

    // Stored before it leaves: the acknowledgement can arrive on the stack thread before
    // Transmit returns here, and must find the record.
    CMQTTStack* stack = effective != 0 ? m_stack.load() : nullptr;
    if (stack != nullptr)
    {
        const HRESULT stored = effective == 1 ? stack->StoreQoS1(std::move(record), id)
                                              : stack->StoreQoS2(std::move(record), id);
        if (FAILED(stored))
            return stored;
    }

    if (effective != 0)
        MQTTLog(Logger(), "Publish ID=%u", unsigned(id));
    else
        MQTTLog(Logger(), "Publish QoS 0");
    const HRESULT hr = m_transport.Transmit(packet);
    if (FAILED(hr))
    {
        if (stack != nullptr)
            (void)(effective == 1 ? stack->TakeQoS1(id) : stack->TakeQoS2(id));
        MQTTLog(Logger(), "Cannot Publish data to item %.*s", int(topic.size()), topic.data());
        return hr;
    }
    return S_OK;
}

HRESULT CMQTTCodec::PublishBinary(std::string_view topic, const CBuffer& payload)
{
    if (!IsConnected())
    {
        MQTTLog(Logger(), "Publish Failed, not connected!");
        return E_FAIL;
    }
    CBuffer body;
    if (!AppendField(body, topic))
        return E_INVALIDARG;
    body.AppendBuffer(payload);
    MQTTLog(Logger(), "Publish QoS 0");
    const HRESULT hr = SendPacket(uint8_t(PUBLISH_FIRST | (m_settings.retain ? MQTT_FLAG_RETAIN : 0)), body);
    if (FAILED(hr))
        MQTTLog(Logger(), "Cannot Publish data to item %.*s", int(topic.size()), topic.data());
    return hr;
}

HRESULT CMQTTCodec::SendIdOnly(uint8_t first, uint16_t id)
{
    CBuffer body;
    PutU16(body, id);
    return SendPacket(first, body);
}

HRESULT CMQTTCodec::SendPubAck(uint16_t id)
{
    MQTTLog(Logger(), "Publish Ack QoS 1 ID=%u", unsigned(id));
    return SendIdOnly(PUBACK_FIRST, id);
}

HRESULT CMQTTCodec::SendPubRec(uint16_t id)
{
    MQTTLog(Logger(), "Publish Rec QoS 2 ID=%u", unsigned(id));
    return SendIdOnly(PUBREC_FIRST, id);
}

HRESULT CMQTTCodec::SendPubRel(uint16_t id, bool dup)
{
    MQTTLog(Logger(), "Publish Rel QoS 2 ID=%u", unsigned(id));
    return SendIdOnly(uint8_t(PUBREL_FIRST | (dup ? MQTT_FLAG_DUP : 0)), id);
}

HRESULT CMQTTCodec::SendPubComp(uint16_t id)
{
    MQTTLog(Logger(), "Publish Complete QoS 2 ID = %u", unsigned(id));
    return SendIdOnly(PUBCOMP_FIRST, id);
}

HRESULT CMQTTCodec::SendSubAck(uint16_t id, std::span<const uint8_t> returnCodes)
{
    CBuffer body;
    PutU16(body, id);
    body.Append(returnCodes.data(), uint32_t(returnCodes.size()));
    MQTTLog(Logger(), "Subscription Ack ID=%u", unsigned(id));
    return SendPacket(SUBACK_FIRST, body);
}

HRESULT CMQTTCodec::SendUnsubAck(uint16_t id)
{
    MQTTLog(Logger(), "Unsubscription Ack ID=%u", unsigned(id));
    return SendIdOnly(UNSUBACK_FIRST, id);
}

HRESULT CMQTTCodec::SendPingResponse()
{
    MQTTLog(Logger(), "Ping Response");
    return SendPacket(PINGRESP_FIRST, CBuffer());
}

HRESULT MQTTReadPacket(IIOInputStream* stream, CBuffer& packet, IIOLogger* logger)
{
    if (stream == nullptr)
    {
        MQTTLog(logger, "sgetc failed, input stream is not available (hr=%08X)!", unsigned(E_POINTER));
        return E_POINTER;
    }
    auto readByte = [&](uint8_t& byte) -> HRESULT
    {
        const HRESULT hr = stream->sgetc(&byte);
        if (FAILED(hr))
            return hr;
        packet.At(packet.Length()) = byte;
        return packet.HasError() ? E_OUTOFMEMORY : S_OK;
    };

    uint8_t byte = 0;
    HRESULT hr = readByte(byte);
    if (FAILED(hr))
        return hr;

    uint32_t remaining = 0;
    for (uint32_t index = 0;; ++index)
    {
        hr = readByte(byte);
        if (FAILED(hr))
            return hr;
        if (index == 4)
        {
            MQTTLog(logger, "MQTT Packet Size is too big!");
            return E_FAIL;
        }
        remaining |= uint32_t(byte & 0x7F) << (7 * index);
        if ((byte & 0x80) == 0)
            break;
    }

    uint32_t done = 0;
    while (done < remaining)
    {
        const uint32_t step = std::min(remaining - done, std::max(FIRST_BODY_STEP, done));
        const uint32_t start = packet.Length();
        if (FAILED(packet.Reserve(start + step)))
            return E_OUTOFMEMORY;
        (void)packet.At(int64_t(start) + step - 1);
        hr = stream->sgets(packet.Data() + start, step);
        if (FAILED(hr))
            return hr;
        done += step;
    }
    return S_OK;
}
