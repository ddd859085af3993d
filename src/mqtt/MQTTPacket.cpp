#include "mqtt/MQTTPacket.h"

#include <cstdarg>
#include <new>

void MQTTLog(IIOLogger* logger, const char* format, ...)
{
    if (logger == nullptr)
        return;
    va_list args;
    va_start(args, format);
    LogV(logger, LOG_DRIVER, format, args);
    va_end(args);
}

MQTTPacketPtr MQTTMakeReceivedPacket(const CBuffer& wire, uint32_t now)
{
    MQTTPacketPtr packet(new (std::nothrow) CMQTTPacket);
    if (!packet)
        return nullptr;
    if (FAILED(packet->buffer.AppendBuffer(wire)) || packet->buffer.HasError())
        return nullptr;
    packet->header = wire.IsEmpty() ? 0 : wire.Data()[0];
    packet->stamp = now;
    return packet;
}

void CMQTTReader::Fail()
{
    // A negative position is the buffer's documented way to raise its sticky error flag
    // without touching its bytes.
    (void)m_buffer.At(-1);
    m_position = m_buffer.Length();
}

void CMQTTReader::SkipRemainingLength()
{
    m_position = 1;
    for (int i = 0; i < 4; ++i)
    {
        if (AtEnd())
        {
            Fail();
            return;
        }
        if ((m_buffer.Data()[m_position++] & 0x80) == 0)
            return;
    }
}

uint8_t CMQTTReader::ReadByte()
{
    if (AtEnd())
    {
        Fail();
        return 0;
    }
    return m_buffer.Data()[m_position++];
}

uint16_t CMQTTReader::ReadU16()
{
    if (uint64_t(m_position) + 1 >= m_buffer.Length())
    {
        (void)m_buffer.At(-1);
        return 0;
    }
    const uint8_t* p = m_buffer.Data() + m_position;
    m_position += 2;
    return uint16_t((p[0] << 8) | p[1]);
}

std::string CMQTTReader::ReadString()
{
    const uint32_t before = m_position;
    const uint16_t length = ReadU16();
    if (m_position == before)
    {
        Fail();
        return {};
    }
    // A length that runs past the end keeps only the bytes that are there: padding the text
    // would invent bytes the peer never sent.
    const uint32_t available = Remaining();
    const uint32_t take = length <= available ? length : available;
    std::string text(reinterpret_cast<const char*>(Current()), take);
    m_position += take;
    if (take < length)
        Fail();
    return text;
}

bool MQTTParsePublish(CMQTTPacket& packet, SMQTTPublish& out)
{
    CMQTTReader reader(packet.buffer);
    reader.SkipRemainingLength();
    out.topic = reader.ReadString();
    out.packetId = 0;
    if ((packet.header & MQTT_FLAG_QOS_MASK) != 0)
        out.packetId = reader.ReadU16();
    const bool complete = !reader.Failed();
    out.payloadLength = reader.Remaining();
    out.payload = reader.Current();
    return complete;
}

uint16_t MQTTReadPacketId(CMQTTPacket& packet)
{
    CMQTTReader reader(packet.buffer);
    reader.SkipRemainingLength();
    return reader.ReadU16();
}
