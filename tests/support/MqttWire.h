// MQTT 3.1/3.1.1 packets built and taken apart byte by byte for the test peers. Written
// apart from the driver's codec on purpose, so that tests check one against the other.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace MqttWire
{
enum PacketType : uint8_t
{
    CONNECT = 1,
    CONNACK = 2,
    PUBLISH = 3,
    PUBACK = 4,
    PUBREC = 5,
    PUBREL = 6,
    PUBCOMP = 7,
    SUBSCRIBE = 8,
    SUBACK = 9,
    UNSUBSCRIBE = 10,
    UNSUBACK = 11,
    PINGREQ = 12,
    PINGRESP = 13,
    DISCONNECT = 14,
};

// Remaining-length field: seven bits per byte, least significant first. Values of 2^28
// and more give a fifth byte, which a receiver must refuse (useful for malformed input).
Bytes EncodeLength(uint64_t length);
// Fixed-header byte, remaining length, body.
Bytes Frame(uint8_t header, const Bytes& body);
// 2-byte big-endian length and the bytes.
void AppendString(Bytes& out, const std::string& text);
void AppendU16(Bytes& out, uint16_t value);

Bytes Connack(uint8_t returnCode, bool sessionPresent = false);
Bytes Publish(const std::string& topic, const std::string& payload, int qos = 0, bool retain = false,
              uint16_t packetId = 0, bool dup = false);
// PUBACK, PUBREC, PUBREL (flags 0x2 as the standard wants), PUBCOMP, UNSUBACK.
Bytes Ack(PacketType type, uint16_t packetId);
Bytes Suback(uint16_t packetId, const std::vector<uint8_t>& returnCodes);
Bytes Pingreq();
Bytes Pingresp();
Bytes Disconnect();

// One whole packet as it came from the wire.
struct Packet
{
    uint8_t header = 0; // type in the upper four bits, flags in the lower four
    Bytes body;         // variable header and payload
    uint8_t Type() const { return static_cast<uint8_t>(header >> 4); }
    uint8_t Flags() const { return static_cast<uint8_t>(header & 0x0F); }
};

enum class ParseStatus
{
    Complete,  // one packet taken off the front of the input
    NeedMore,  // the input ends inside a packet
    Malformed, // remaining length longer than four bytes
};
// Takes one packet off the front of `input` (erasing its bytes) when it is complete.
ParseStatus TakePacket(Bytes& input, Packet* packet);

struct ConnectFields
{
    std::string protocolName = "MQTT";
    uint8_t level = 4;
    uint8_t flags = 0x02; // as received; for Connect() only bit 1 (clean session) counts
    uint16_t keepAlive = 60;
    std::string clientId;
    std::optional<std::string> willTopic, willMessage, user, password;
};
// A CONNECT whose flags are derived from which optional fields are set (will QoS 1 when a will
// is given); `flags` contributes only the clean-session bit.
Bytes Connect(const ConnectFields& fields);
// Reads a CONNECT body; nullopt when it is cut short or the fields contradict the flags.
std::optional<ConnectFields> ParseConnect(const Packet& packet);

struct PublishFields
{
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    bool dup = false;
    uint16_t packetId = 0; // 0 for QoS 0
};
std::optional<PublishFields> ParsePublish(const Packet& packet);

struct SubscribeFields
{
    uint16_t packetId = 0;
    std::vector<std::pair<std::string, uint8_t>> topics; // topic, requested QoS
};
std::optional<SubscribeFields> ParseSubscribe(const Packet& packet);

struct UnsubscribeFields
{
    uint16_t packetId = 0;
    std::vector<std::string> topics;
};
std::optional<UnsubscribeFields> ParseUnsubscribe(const Packet& packet);

// Packet identifier of PUBACK, PUBREC, PUBREL, PUBCOMP, SUBACK, UNSUBACK.
std::optional<uint16_t> PacketId(const Packet& packet);
// SUBACK return codes after the identifier.
std::optional<std::vector<uint8_t>> SubackCodes(const Packet& packet);
} // namespace MqttWire
