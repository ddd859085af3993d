// Feeds arbitrary bytes to the packet reader as the physical layer would, then every packet
// it cuts off to the stack's dispatch, followed by a retransmission pass over whatever the
// packets left in the stores.
#include "mqtt/MQTTCodec.h"
#include "mqtt/MQTTStack.h"
#include "transport/InputStream.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{
class CDiscardingTransport final : public IMQTTTransport
{
public:
    HRESULT Transmit(CBuffer&) override { return S_OK; }
};

// Reads every field a real host would read, so the readers run over each delivered packet.
class CReadingHost final : public IMQTTStackHost
{
public:
    void OnMessage(CMQTTPacket& publish) override
    {
        SMQTTPublish fields;
        MQTTParsePublish(publish, fields);
        for (uint32_t i = 0; i < fields.payloadLength; ++i)
            sink += fields.payload[i];
    }
    void OnConnAck(CMQTTPacket& connack) override
    {
        CMQTTReader reader(connack.buffer);
        reader.SkipRemainingLength();
        reader.ReadByte();
        sink += reader.ReadByte();
    }
    void OnSubAck(CMQTTPacket& suback) override
    {
        CMQTTReader reader(suback.buffer);
        reader.SkipRemainingLength();
        sink += reader.ReadU16();
        while (!reader.AtEnd())
            sink += reader.ReadByte();
    }
    void OnUnsubAck(uint16_t packetId) override { sink += packetId; }
    void OnPingResponse() override {}
    uint8_t OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS) override
    {
        return topic.size() % 2 ? requestedQoS : MQTT_SUBACK_FAILURE;
    }
    void OnPeerUnsubscribe(const std::string& topic) override { sink += uint32_t(topic.size()); }
    void RestartInterface() override {}

    uint32_t sink = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CBuffer wire;
    if (FAILED(wire.Append(data, uint32_t(size))))
        return 0;
    TIOPtr<CDatagramInputStream> stream = CDatagramInputStream::Create(wire);
    if (!stream)
        return 0;

    uint32_t now = 0;
    CDiscardingTransport transport;
    CMQTTCodec codec(transport, nullptr, SMQTTSessionSettings{}, [&now] { return now; });
    CReadingHost host;
    CMQTTStack stack(host, codec, [&now] { return now; });
    codec.SetConnected(true);

    while (stream->Position() < size)
    {
        CBuffer packet;
        if (FAILED(MQTTReadPacket(stream.Get(), packet, nullptr)))
            break;
        stack.Dispatch(MQTTMakeReceivedPacket(packet, now), now);
        now += 3000;
    }
    stack.Retransmit(now + CMQTTStack::RETRANSMIT_AGE_MS);
    return 0;
}
