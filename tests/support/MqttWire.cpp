#include "support/MqttWire.h"

namespace MqttWire
{
namespace
{
// Reads fields off a body; any read past the end marks the reader failed.
class Reader
{
public:
    explicit Reader(const Bytes& bytes) : m_bytes(bytes) {}
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_pos >= m_bytes.size(); }
    uint8_t U8()
    {
        if (m_pos >= m_bytes.size())
        {
            m_ok = false;
            return 0;
        }
        return m_bytes[m_pos++];
    }
    uint16_t U16()
    {
        const uint8_t high = U8();
        const uint8_t low = U8();
        return static_cast<uint16_t>(high << 8 | low);
    }
    std::string String()
    {
        const uint16_t length = U16();
        return Raw(length);
    }
    std::string Raw(size_t length)
    {
        if (!m_ok || m_bytes.size() - m_pos < length)
        {
            m_ok = false;
            return {};
        }
        std::string text(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos),
                         m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos + length));
        m_pos += length;
        return text;
    }
    std::string Rest() { return Raw(m_bytes.size() - m_pos); }

private:
    const Bytes& m_bytes;
    size_t m_pos = 0;
    bool m_ok = true;
};
} // namespace

Bytes EncodeLength(uint64_t length)
{
    Bytes out;
    do
    {
        uint8_t digit = static_cast<uint8_t>(length & 0x7F);
        length >>= 7;
        if (length)
            digit |= 0x80;
        out.push_back(digit);
    } while (length);
    return out;
}

Bytes Frame(uint8_t header, const Bytes& body)
{
    Bytes out{header};
    const Bytes length = EncodeLength(body.size());
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void AppendU16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void AppendString(Bytes& out, const std::string& text)
{
    AppendU16(out, static_cast<uint16_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

Bytes Connack(uint8_t returnCode, bool sessionPresent)
{
    return Frame(CONNACK << 4, {static_cast<uint8_t>(sessionPresent ? 1 : 0), returnCode});
}

Bytes Publish(const std::string& topic, const std::string& payload, int qos, bool retain, uint16_t packetId,
              bool dup)
{
    Bytes body;
    AppendString(body, topic);
    if (qos > 0)
        AppendU16(body, packetId);
    body.insert(body.end(), payload.begin(), payload.end());
    const uint8_t header =
        static_cast<uint8_t>(PUBLISH << 4 | (dup ? 0x08 : 0) | (qos & 3) << 1 | (retain ? 0x01 : 0));
    return Frame(header, body);
}

Bytes Ack(PacketType type, uint16_t packetId)
{
    Bytes body;
    AppendU16(body, packetId);
    return Frame(static_cast<uint8_t>(type << 4 | (type == PUBREL ? 0x02 : 0)), body);
}

Bytes Suback(uint16_t packetId, const std::vector<uint8_t>& returnCodes)
{
    Bytes body;
    AppendU16(body, packetId);
    body.insert(body.end(), returnCodes.begin(), returnCodes.end());
    return Frame(SUBACK << 4, body);
}

Bytes Pingreq()
{
    return Frame(PINGREQ << 4, {});
}

Bytes Pingresp()
{
    return Frame(PINGRESP << 4, {});
}

Bytes Disconnect()
{
    return Frame(DISCONNECT << 4, {});
}

Bytes Connect(const ConnectFields& fields)
{
    Bytes body;
    AppendString(body, fields.protocolName);
    body.push_back(fields.level);
    uint8_t flags = fields.flags & 0x02;
    if (fields.user)
        flags |= 0x80;
    if (fields.password)
        flags |= 0x40;
    if (fields.willTopic)
        flags |= 0x0C;
    body.push_back(flags);
    AppendU16(body, fields.keepAlive);
    AppendString(body, fields.clientId);
    if (fields.willTopic)
    {
        AppendString(body, *fields.willTopic);
        AppendString(body, fields.willMessage.value_or(""));
    }
    if (fields.user)
        AppendString(body, *fields.user);
    if (fields.password)
        AppendString(body, *fields.password);
    return Frame(CONNECT << 4, body);
}

ParseStatus TakePacket(Bytes& input, Packet* packet)
{
    if (input.size() < 2)
        return ParseStatus::NeedMore;
    uint64_t length = 0;
    size_t pos = 1;
    for (int shift = 0;; shift += 7)
    {
        if (pos - 1 == 4)
            return ParseStatus::Malformed;
        if (pos >= input.size())
            return ParseStatus::NeedMore;
        const uint8_t digit = input[pos++];
        length |= static_cast<uint64_t>(digit & 0x7F) << shift;
        if (!(digit & 0x80))
            break;
    }
    if (input.size() - pos < length)
        return ParseStatus::NeedMore;
    packet->header = input[0];
    packet->body.assign(input.begin() + static_cast<std::ptrdiff_t>(pos),
                        input.begin() + static_cast<std::ptrdiff_t>(pos + length));
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(pos + length));
    return ParseStatus::Complete;
}

std::optional<ConnectFields> ParseConnect(const Packet& packet)
{
    if (packet.Type() != CONNECT)
        return std::nullopt;
    Reader in(packet.body);
    ConnectFields fields;
    fields.protocolName = in.String();
    fields.level = in.U8();
    fields.flags = in.U8();
    fields.keepAlive = in.U16();
    fields.clientId = in.String();
    if (fields.flags & 0x04)
    {
        fields.willTopic = in.String();
        fields.willMessage = in.String();
    }
    if (fields.flags & 0x80)
        fields.user = in.String();
    if (fields.flags & 0x40)
        fields.password = in.String();
    if (!in.Ok() || !in.AtEnd())
        return std::nullopt;
    return fields;
}

std::optional<PublishFields> ParsePublish(const Packet& packet)
{
    if (packet.Type() != PUBLISH)
        return std::nullopt;
    Reader in(packet.body);
    PublishFields fields;
    fields.qos = (packet.header >> 1) & 3;
    fields.retain = packet.header & 0x01;
    fields.dup = packet.header & 0x08;
    fields.topic = in.String();
    if (fields.qos > 0)
        fields.packetId = in.U16();
    fields.payload = in.Rest();
    if (!in.Ok())
        return std::nullopt;
    return fields;
}

std::optional<SubscribeFields> ParseSubscribe(const Packet& packet)
{
    if (packet.Type() != SUBSCRIBE)
        return std::nullopt;
    Reader in(packet.body);
    SubscribeFields fields;
    fields.packetId = in.U16();
    while (in.Ok() && !in.AtEnd())
    {
        std::string topic = in.String();
        const uint8_t qos = in.U8();
        fields.topics.emplace_back(std::move(topic), qos);
    }
    if (!in.Ok())
        return std::nullopt;
    return fields;
}

std::optional<UnsubscribeFields> ParseUnsubscribe(const Packet& packet)
{
    if (packet.Type() != UNSUBSCRIBE)
        return std::nullopt;
    Reader in(packet.body);
    UnsubscribeFields fields;
    fields.packetId = in.U16();
    while (in.Ok() && !in.AtEnd())
        fields.topics.push_back(in.String());
    if (!in.Ok())
        return std::nullopt;
    return fields;
}

std::optional<uint16_t> PacketId(const Packet& packet)
{
    switch (packet.Type())
    {
    case PUBACK:
    case PUBREC:
    case PUBREL:
    case PUBCOMP:
    case SUBACK:
    case UNSUBACK:
        break;
    default:
        return std::nullopt;
    }
    Reader in(packet.body);
    const uint16_t id = in.U16();
    return in.Ok() ? std::optional<uint16_t>(id) : std::nullopt;
}

std::optional<std::vector<uint8_t>> SubackCodes(const Packet& packet)
{
    if (packet.Type() != SUBACK || packet.body.size() < 2)
        return std::nullopt;
    return std::vector<uint8_t>(packet.body.begin() + 2, packet.body.end());
}
} // namespace MqttWire
