// The MQTT 3.1 / 3.1.1 wire codec: the encoders of every packet the client sends, the
// packet-identifier counter, the session flags the encoders share with the host and the
// stack, and the reader that cuts one packet off an input stream.
//
// Encoders build each packet in a fresh buffer and hand the framed bytes to one seam,
// IMQTTTransport, which the host implements on top of the physical layer. They hold no lock
// while sending and start no thread, so every packet can be checked byte for byte.
#pragma once
#include "core/IOLog.h"
#include "mqtt/MQTTPacket.h"
#include "transport/InputStream.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

class CMQTTStack;

// Hands one framed packet to the physical layer and returns its status. Implementations take
// a counted reference to the current interface and send through it (E_FAIL when there is
// none); the call may block until the physical-layer thread has written the packet.
struct IMQTTTransport
{
    virtual HRESULT Transmit(CBuffer& packet) = 0;

protected:
    ~IMQTTTransport() = default;
};

// The session settings the encoders use, loaded by the host from the configuration.
struct SMQTTSessionSettings
{
    std::string clientId;
    std::string user;
    std::string password;
    std::string willTopic;
    std::string willMessage;
    uint16_t keepAliveSeconds = 5;
    bool useSession = false;
    bool hasWill = false;
    bool retain = false;
    uint8_t readQoS = 0;
    uint8_t publishQoS = 0;
};

// Requested QoS of DoPublish that selects the configured publish QoS.
constexpr uint8_t MQTT_QOS_CONFIGURED = 0xFF;

class CMQTTCodec
{
public:
    using Clock = std::function<uint32_t()>;

    // `logger` may be null (nothing is logged). `clock` gives the millisecond tick; the
    // default is the system's monotonic tick.
    CMQTTCodec(IMQTTTransport& transport, IIOLogger* logger, SMQTTSessionSettings settings, Clock clock = {});
    CMQTTCodec(const CMQTTCodec&) = delete;
    CMQTTCodec& operator=(const CMQTTCodec&) = delete;

    // Outgoing QoS 1 and QoS 2 PUBLISH copies go to this stack's stores. The stack must
    // outlive every publish made while it is attached.
    void AttachStack(CMQTTStack* stack) { m_stack.store(stack); }

    const SMQTTSessionSettings& Settings() const { return m_settings; }
    IIOLogger* Logger() const { return m_logger.Get(); }
    uint32_t Now() const { return m_clock(); }

    // Packet identifiers: one atomic take-and-advance; after 65535 comes 1, never 0.
    uint16_t TakePacketId();
    uint16_t PeekPacketId() const { return m_nextId.load(); }

    // Session flags shared with the host's session thread and the stack.
    bool IsConnected() const { return m_connected.load(); }
    void SetConnected(bool connected) { m_connected.store(connected); }
    bool IsPingOutstanding() const { return m_pingOutstanding.load(); }
    void SetPingOutstanding(bool outstanding) { m_pingOutstanding.store(outstanding); }
    uint32_t KeepAliveReference() const { return m_keepAliveRef.load(); }
    // Marks the session as heard from at `now`: a CONNECT sent or a PINGRESP received.
    void RenewKeepAlive(uint32_t now);

    // Frames `body` behind `first` and sends it. A body longer than the four-byte length
    // field can carry is refused with "Packet too large to send!" and E_FAIL.
    HRESULT SendPacket(uint8_t first, const CBuffer& body);

    // CONNECT; `versionNumber` 4 selects "MQTT", anything else "MQIsdp", and its low byte
    // is the protocol level.
    HRESULT SendConnect(int32_t versionNumber);
    // DISCONNECT; returns no sooner than 100 ms after the packet was handed over, so the
    // broker reads it before the link is closed.
    HRESULT SendDisconnect();
    HRESULT SendPingRequest();
    // SUBSCRIBE / UNSUBSCRIBE of a batch of topics under a freshly taken identifier.
    // `beforeSend` runs with that identifier before the packet leaves (the host records it in
    // its items and pending-subscription map there, so a SUBACK always finds it).
    HRESULT SendSubscribe(std::span<const std::string> topics,
                          const std::function<void(uint16_t)>& beforeSend = {});
    HRESULT SendUnsubscribe(std::span<const std::string> topics,
                            const std::function<void(uint16_t)>& beforeSend = {});
    // PUBLISH of a text payload at `qos` 0, 1 or 2 (MQTT_QOS_CONFIGURED, or any value above
    // 2, selects the configured publish QoS). QoS 1 and 2 copies are kept by the stack.
    HRESULT DoPublish(std::string_view topic, std::string_view payload, uint8_t qos);
    // PUBLISH at QoS 0 of a binary payload.
    HRESULT PublishBinary(std::string_view topic, const CBuffer& payload);

    // Acknowledgements and answers sent by the stack.
    HRESULT SendPubAck(uint16_t id);
    HRESULT SendPubRec(uint16_t id);
    HRESULT SendPubRel(uint16_t id, bool dup);
    HRESULT SendPubComp(uint16_t id);
    HRESULT SendSubAck(uint16_t id, std::span<const uint8_t> returnCodes);
    HRESULT SendUnsubAck(uint16_t id);
    HRESULT SendPingResponse();

private:
    HRESULT Frame(uint8_t first, const CBuffer& body, CBuffer& packet);
    HRESULT SendIdOnly(uint8_t first, uint16_t id);
    HRESULT SendTopicBatch(uint8_t first, std::span<const std::string> topics, bool withQoS,
                           const char* logFormat, const std::function<void(uint16_t)>& beforeSend);
    bool AppendField(CBuffer& body, std::string_view field);

    IMQTTTransport& m_transport;
    TIOPtr<IIOLogger> m_logger;
    const SMQTTSessionSettings m_settings;
    Clock m_clock;
    std::atomic<CMQTTStack*> m_stack{nullptr};
    std::atomic<uint16_t> m_nextId{1};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_pingOutstanding{false};
    std::atomic<uint32_t> m_keepAliveRef{0};
};

// Writes the remaining-length field of `length` into `out` (room for four bytes) and returns
// the number of bytes written; 0 when the length does not fit the field.
uint32_t MQTTEncodeRemainingLength(uint32_t length, uint8_t* out);

// Reads one whole packet from `stream` into `packet`: the fixed-header byte, the
// remaining-length bytes and the body, all kept in the buffer. Returns the stream's status;
// E_FAIL with "MQTT Packet Size is too big!" when the length field runs past four bytes.
HRESULT MQTTReadPacket(IIOInputStream* stream, CBuffer& packet, IIOLogger* logger);
