// The record of one MQTT control packet, shared by the codec, the stack and the host, and the
// readers that take fields out of a received packet.
#pragma once
#include "core/IOLog.h"
#include "transport/Buffer.h"

#include <cstdint>
#include <memory>
#include <string>

// Control packet types: the upper four bits of the fixed-header byte.
enum EMQTTPacketType : uint8_t
{
    MQTT_CONNECT = 1,
    MQTT_CONNACK = 2,
    MQTT_PUBLISH = 3,
    MQTT_PUBACK = 4,
    MQTT_PUBREC = 5,
    MQTT_PUBREL = 6,
    MQTT_PUBCOMP = 7,
    MQTT_SUBSCRIBE = 8,
    MQTT_SUBACK = 9,
    MQTT_UNSUBSCRIBE = 10,
    MQTT_UNSUBACK = 11,
    MQTT_PINGREQ = 12,
    MQTT_PINGRESP = 13,
    MQTT_DISCONNECT = 14,
};

// Fixed-header flag bits of a PUBLISH.
constexpr uint8_t MQTT_FLAG_DUP = 0x08;
constexpr uint8_t MQTT_FLAG_QOS_MASK = 0x06;
constexpr uint8_t MQTT_FLAG_RETAIN = 0x01;

// State byte of a stored QoS 2 record.
enum EMQTTQoS2State : uint8_t
{
    MQTT_QOS2_SENT = 0,        // outgoing PUBLISH sent, PUBREC awaited
    MQTT_QOS2_PUBREC_SENT = 1, // incoming PUBLISH answered, PUBREL awaited
    MQTT_QOS2_PUBREL_SENT = 2, // outgoing PUBREL sent, PUBCOMP awaited
};

// Largest remaining length the four-byte length field can carry.
constexpr uint32_t MQTT_MAX_REMAINING_LENGTH = 268435455;

// One packet. A received packet keeps the whole wire image in `buffer` (fixed-header byte,
// length bytes, body); a stored outgoing PUBLISH keeps only its body there, with the
// fixed-header byte that was sent in `header`.
class CMQTTPacket
{
public:
    uint8_t header = 0;
    uint8_t state = 0;
    uint8_t retries = 0;
    CBuffer buffer;
    uint32_t stamp = 0; // tick of the last time the record was stored or queued

    uint8_t Type() const { return uint8_t(header >> 4); }
    uint8_t QoS() const { return uint8_t((header & MQTT_FLAG_QOS_MASK) >> 1); }
};

using MQTTPacketPtr = std::unique_ptr<CMQTTPacket>;

// A record holding a copy of a received wire image; the header byte is taken from its first
// byte. Null when memory runs out.
MQTTPacketPtr MQTTMakeReceivedPacket(const CBuffer& wire, uint32_t now);

// Sequential reader over a received packet. A read past the end yields 0 (or the bytes that
// were there, for a text), sets the buffer's sticky error flag and never throws; the buffer
// itself is never grown by reading.
class CMQTTReader
{
public:
    explicit CMQTTReader(CBuffer& buffer, uint32_t position = 0) : m_buffer(buffer), m_position(position) {}

    // Moves past the fixed-header byte and the remaining-length field (at most four bytes).
    void SkipRemainingLength();
    uint8_t ReadByte();
    // Big-endian; when the second byte would lie at or beyond the end, 0 and no move.
    uint16_t ReadU16();
    // A 16-bit length and that many bytes.
    std::string ReadString();

    uint32_t Position() const { return m_position; }
    bool AtEnd() const { return m_position >= m_buffer.Length(); }
    uint32_t Remaining() const { return AtEnd() ? 0 : m_buffer.Length() - m_position; }
    const uint8_t* Current() const { return m_buffer.Data() + m_position; }
    bool Failed() const { return m_buffer.HasError(); }

private:
    void Fail();

    CBuffer& m_buffer;
    uint32_t m_position;
};

// Fields of a received PUBLISH. The payload points into the packet's buffer.
struct SMQTTPublish
{
    std::string topic;
    uint16_t packetId = 0; // 0 for QoS 0
    const uint8_t* payload = nullptr;
    uint32_t payloadLength = 0;
};

// Reads topic, identifier (when the QoS bits are not 0) and payload of a received PUBLISH.
// False when the packet ended before its variable header did.
bool MQTTParsePublish(CMQTTPacket& packet, SMQTTPublish& out);

// The packet identifier that follows the remaining length (PUBACK, PUBREC, PUBREL, PUBCOMP,
// SUBACK, UNSUBACK); 0 when the packet is too short.
uint16_t MQTTReadPacketId(CMQTTPacket& packet);

// One line in the driver category of `logger`; nothing when there is no logger.
void MQTTLog(IIOLogger* logger, const char* format, ...) DRAVO_PRINTF(2, 3);
