// The encoders, byte for byte, and the packet-identifier counter.
#include "CodecTestDoubles.h"
#include "mqtt/MQTTCodec.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace
{
using ::testing::ElementsAreArray;

class CodecTest : public ::testing::Test
{
protected:
    CMQTTCodec& Make(SMQTTSessionSettings settings = {})
    {
        codec = std::make_unique<CMQTTCodec>(transport, logger.Get(), std::move(settings),
                                             [this] { return now; });
        return *codec;
    }

    uint32_t now = 1000;
    CRecordingTransport transport;
    TIOPtr<CRecordingLogger> logger = CRecordingLogger::Create();
    std::unique_ptr<CMQTTCodec> codec;
};

struct ConnectCase
{
    const char* name;
    int32_t version;
    SMQTTSessionSettings settings;
    Bytes expected;
};

SMQTTSessionSettings Settings(std::function<void(SMQTTSessionSettings&)> edit)
{
    SMQTTSessionSettings s;
    s.clientId = "c1";
    s.keepAliveSeconds = 300;
    edit(s);
    return s;
}

TEST_F(CodecTest, ConnectCarriesTheConfiguredFieldsInOrder)
{
    const std::vector<ConnectCase> cases = {
        {"3.1.1, clean session", 4, Settings([](auto&) {}),
         Concat({{0x10, 14}, Field("MQTT"), {4, 0x02, 0x01, 0x2C}, Field("c1")})},
        {"3.1", 3, Settings([](auto&) {}),
         Concat({{0x10, 16}, Field("MQIsdp"), {3, 0x02, 0x01, 0x2C}, Field("c1")})},
        {"level 5 keeps the 3.1 name", 5, Settings([](auto&) {}),
         Concat({{0x10, 16}, Field("MQIsdp"), {5, 0x02, 0x01, 0x2C}, Field("c1")})},
        {"missing version", 0, Settings([](auto&) {}),
         Concat({{0x10, 16}, Field("MQIsdp"), {0, 0x02, 0x01, 0x2C}, Field("c1")})},
        {"session kept, user and password", 4,
         Settings(
             [](auto& s)
             {
                 s.useSession = true;
                 s.user = "u";
                 s.password = "pw";
             }),
         Concat({{0x10, 21}, Field("MQTT"), {4, 0xC0, 0x01, 0x2C}, Field("c1"), Field("u"), Field("pw")})},
        {"password without user", 4, Settings([](auto& s) { s.password = "pw"; }),
         Concat({{0x10, 18}, Field("MQTT"), {4, 0x42, 0x01, 0x2C}, Field("c1"), Field("pw")})},
        {"will at QoS 1, never retained", 4,
         Settings(
             [](auto& s)
             {
                 s.hasWill = true;
                 s.willTopic = "w/t";
                 s.willMessage = "bye";
             }),
         Concat({{0x10, 24}, Field("MQTT"), {4, 0x0E, 0x01, 0x2C}, Field("c1"), Field("w/t"), Field("bye")})},
        {"everything", 4,
         Settings(
             [](auto& s)
             {
                 s.hasWill = true;
                 s.willTopic = "w/t";
                 s.willMessage = "bye";
                 s.user = "u";
                 s.password = "pw";
             }),
         Concat({{0x10, 31},
                 Field("MQTT"),
                 {4, 0xCE, 0x01, 0x2C},
                 Field("c1"),
                 Field("w/t"),
                 Field("bye"),
                 Field("u"),
                 Field("pw")})},
        {"empty client identifier is still written", 4, Settings([](auto& s) { s.clientId.clear(); }),
         Concat({{0x10, 12}, Field("MQTT"), {4, 0x02, 0x01, 0x2C}, Field("")})},
    };
    for (const ConnectCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        transport.Forget();
        ASSERT_EQ(Make(c.settings).SendConnect(c.version), S_OK);
        EXPECT_THAT(transport.Last(), ElementsAreArray(c.expected));
    }
    EXPECT_TRUE(logger->Has("Connect Request"));
}

TEST_F(CodecTest, ConnectRenewsTheKeepAliveReference)
{
    CMQTTCodec& c = Make();
    c.SetPingOutstanding(true);
    now = 777;
    ASSERT_EQ(c.SendConnect(4), S_OK);
    EXPECT_EQ(c.KeepAliveReference(), 777u);
    EXPECT_FALSE(c.IsPingOutstanding());
}

struct PublishCase
{
    uint8_t qos;
    bool retain;
    uint8_t configuredQoS;
    Bytes expected;
    const char* log;
};

TEST_F(CodecTest, PublishAtEachQoSWithAndWithoutRetain)
{
    const std::vector<PublishCase> cases = {
        {0, false, 0, Concat({{0x30, 7}, Field("t/1"), Text("on")}), "Publish QoS 0"},
        {0, true, 0, Concat({{0x31, 7}, Field("t/1"), Text("on")}), "Publish QoS 0"},
        {1, false, 0, Concat({{0x32, 9}, Field("t/1"), {0, 1}, Text("on")}), "Publish ID=1"},
        {1, true, 0, Concat({{0x33, 9}, Field("t/1"), {0, 1}, Text("on")}), "Publish ID=1"},
        {2, false, 0, Concat({{0x34, 9}, Field("t/1"), {0, 1}, Text("on")}), "Publish ID=1"},
        {2, true, 0, Concat({{0x35, 9}, Field("t/1"), {0, 1}, Text("on")}), "Publish ID=1"},
        {MQTT_QOS_CONFIGURED, false, 2, Concat({{0x34, 9}, Field("t/1"), {0, 1}, Text("on")}),
         "Publish ID=1"},
        {7, false, 1, Concat({{0x32, 9}, Field("t/1"), {0, 1}, Text("on")}), "Publish ID=1"},
    };
    for (const PublishCase& p : cases)
    {
        SCOPED_TRACE(testing::Message() << "qos " << int(p.qos) << " retain " << p.retain);
        transport.Forget();
        logger->Forget();
        SMQTTSessionSettings s;
        s.retain = p.retain;
        s.publishQoS = p.configuredQoS;
        CMQTTCodec& c = Make(s);
        c.SetConnected(true);
        ASSERT_EQ(c.DoPublish("t/1", "on", p.qos), S_OK);
        EXPECT_THAT(transport.Last(), ElementsAreArray(p.expected));
        EXPECT_TRUE(logger->Has(p.log));
        // Only QoS 1 and 2 take an identifier.
        EXPECT_EQ(c.PeekPacketId(), p.expected[0] & 0x06 ? 2 : 1);
    }
}

TEST_F(CodecTest, PublishRefusals)
{
    SMQTTSessionSettings invalid;
    invalid.publishQoS = 3;
    CMQTTCodec& c = Make(invalid);

    EXPECT_EQ(c.DoPublish("t", "x", 1), E_FAIL);
    EXPECT_TRUE(logger->Has("Publish Failed, not connected!"));
    EXPECT_EQ(c.PublishBinary("t", ToBuffer({1, 2})), E_FAIL);

    c.SetConnected(true);
    EXPECT_EQ(c.DoPublish("t", "x", MQTT_QOS_CONFIGURED), E_INVALIDARG);
    EXPECT_TRUE(logger->Has("Invalid QoS!!"));

    EXPECT_EQ(c.DoPublish(std::string(0x10000, 't'), "x", 1), E_INVALIDARG);
    EXPECT_EQ(transport.Count(), 0u);
    EXPECT_EQ(c.PeekPacketId(), 1);

    transport.Refuse(E_FAIL);
    EXPECT_EQ(c.DoPublish("t/9", "x", 0), E_FAIL);
    EXPECT_TRUE(logger->Has("Cannot Publish data to item t/9"));
}

TEST_F(CodecTest, PublishBinaryIsQoS0WithTheRawPayload)
{
    SMQTTSessionSettings s;
    s.retain = true;
    CMQTTCodec& c = Make(s);
    c.SetConnected(true);
    ASSERT_EQ(c.PublishBinary("f", ToBuffer({0x00, 0xFF, 0x10})), S_OK);
    EXPECT_THAT(transport.Last(), ElementsAreArray(Concat({{0x31, 6}, Field("f"), {0x00, 0xFF, 0x10}})));
    EXPECT_EQ(c.PeekPacketId(), 1);
}

TEST_F(CodecTest, SubscribeAndUnsubscribeBatches)
{
    SMQTTSessionSettings s;
    s.readQoS = 1;
    CMQTTCodec& c = Make(s);
    const std::vector<std::string> topics = {"a/b", "c"};

    uint16_t recorded = 0;
    size_t sentBeforeRecord = 99;
    ASSERT_EQ(c.SendSubscribe(topics,
                              [&](uint16_t id)
                              {
                                  recorded = id;
                                  sentBeforeRecord = transport.Count();
                              }),
              S_OK);
    EXPECT_EQ(recorded, 1);
    EXPECT_EQ(sentBeforeRecord, 0u);
    EXPECT_THAT(transport.Last(),
                ElementsAreArray(Concat({{0x82, 12, 0, 1}, Field("a/b"), {1}, Field("c"), {1}})));
    EXPECT_TRUE(logger->Has("Subscribe Request ID=1"));

    ASSERT_EQ(c.SendUnsubscribe(topics), S_OK);
    EXPECT_THAT(transport.Last(), ElementsAreArray(Concat({{0xA2, 10, 0, 2}, Field("a/b"), Field("c")})));
    EXPECT_TRUE(logger->Has("Unsubscribe Request ID=2"));

    // Both advance the counter even when the link refuses the packet.
    transport.Refuse(E_FAIL);
    EXPECT_EQ(c.SendSubscribe(topics), E_FAIL);
    EXPECT_EQ(c.PeekPacketId(), 4);
    EXPECT_EQ(c.SendSubscribe({}), E_INVALIDARG);
    EXPECT_EQ(c.PeekPacketId(), 4);
}

struct AckCase
{
    std::function<HRESULT(CMQTTCodec&)> send;
    Bytes expected;
    const char* log; // empty: no line
};

TEST_F(CodecTest, AcknowledgementsAndEmptyPackets)
{
    const uint8_t codes[] = {1, 0x80};
    const std::vector<AckCase> cases = {
        {[](CMQTTCodec& c) { return c.SendPubAck(0x1234); },
         {0x40, 2, 0x12, 0x34},
         "Publish Ack QoS 1 ID=4660"},
        {[](CMQTTCodec& c) { return c.SendPubRec(0x1234); },
         {0x50, 2, 0x12, 0x34},
         "Publish Rec QoS 2 ID=4660"},
        {[](CMQTTCodec& c) { return c.SendPubRel(0x1234, false); },
         {0x62, 2, 0x12, 0x34},
         "Publish Rel QoS 2 ID=4660"},
        {[](CMQTTCodec& c) { return c.SendPubRel(0x1234, true); },
         {0x6A, 2, 0x12, 0x34},
         "Publish Rel QoS 2 ID=4660"},
        {[](CMQTTCodec& c) { return c.SendPubComp(0x1234); },
         {0x70, 2, 0x12, 0x34},
         "Publish Complete QoS 2 ID = 4660"},
        {[&](CMQTTCodec& c) { return c.SendSubAck(0x1234, codes); },
         {0x90, 4, 0x12, 0x34, 1, 0x80},
         "Subscription Ack ID=4660"},
        {[](CMQTTCodec& c) { return c.SendUnsubAck(0x1234); },
         {0xB0, 2, 0x12, 0x34},
         "Unsubscription Ack ID=4660"},
        {[](CMQTTCodec& c) { return c.SendPingResponse(); }, {0xD0, 0}, "Ping Response"},
        {[](CMQTTCodec& c) { return c.SendPingRequest(); }, {0xC0, 0}, ""},
        {[](CMQTTCodec& c) { return c.SendDisconnect(); }, {0xE0, 0}, "Disconnect Request"},
    };
    CMQTTCodec& c = Make();
    for (const AckCase& a : cases)
    {
        SCOPED_TRACE(a.log);
        transport.Forget();
        logger->Forget();
        ASSERT_EQ(a.send(c), S_OK);
        EXPECT_THAT(transport.Last(), ElementsAreArray(a.expected));
        if (*a.log != '\0')
            EXPECT_THAT(logger->Lines(), ElementsAreArray({std::string(a.log)}));
        else
            EXPECT_TRUE(logger->Lines().empty());
    }
    transport.Refuse(IO_E_NOT_CONNECTED);
    EXPECT_EQ(c.SendPubAck(1), IO_E_NOT_CONNECTED);
}

TEST(CodecLengthTest, RemainingLengthEncodings)
{
    const std::vector<std::pair<uint32_t, Bytes>> cases = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {16383, {0xFF, 0x7F}},
        {16384, {0x80, 0x80, 0x01}},
        {2097151, {0xFF, 0xFF, 0x7F}},
        {2097152, {0x80, 0x80, 0x80, 0x01}},
        {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
        {268435456, {}},
        {0xFFFFFFFFu, {}},
    };
    for (const auto& [length, expected] : cases)
    {
        SCOPED_TRACE(length);
        uint8_t out[4] = {};
        const uint32_t count = MQTTEncodeRemainingLength(length, out);
        EXPECT_THAT(Bytes(out, out + count), ElementsAreArray(expected));
    }
}

TEST_F(CodecTest, SendPacketFramesBodiesAcrossLengthBoundaries)
{
    CMQTTCodec& c = Make();
    for (const uint32_t size : {127u, 128u, 16383u, 16384u})
    {
        SCOPED_TRACE(size);
        CBuffer body;
        body.At(size - 1) = 0xAB;
        ASSERT_EQ(c.SendPacket(0x30, body), S_OK);
        const Bytes sent = transport.Last();
        uint8_t length[4];
        const uint32_t lengthBytes = MQTTEncodeRemainingLength(size, length);
        ASSERT_EQ(sent.size(), 1 + lengthBytes + size);
        EXPECT_EQ(sent[0], 0x30);
        EXPECT_THAT(Bytes(sent.begin() + 1, sent.begin() + 1 + lengthBytes),
                    ElementsAreArray(Bytes(length, length + lengthBytes)));
        EXPECT_EQ(sent.back(), 0xAB);
    }
}

TEST_F(CodecTest, BodyBeyondTheLengthFieldIsRefused)
{
    CMQTTCodec& c = Make();
    CBuffer body;
    body.At(MQTT_MAX_REMAINING_LENGTH) = 1; // one byte more than four length bytes can carry
    ASSERT_FALSE(body.HasError());
    EXPECT_EQ(c.SendPacket(0x30, body), E_FAIL);
    EXPECT_TRUE(logger->Has("Packet too large to send!"));
    EXPECT_EQ(transport.Count(), 0u);
}

TEST_F(CodecTest, IdentifiersWrapFrom65535ToOne)
{
    CMQTTCodec& c = Make();
    c.SetConnected(true);
    for (uint32_t i = 1; i < 65535; ++i)
        ASSERT_EQ(c.TakePacketId(), i);
    ASSERT_EQ(c.DoPublish("t", "", 1), S_OK);
    EXPECT_THAT(transport.Last(), ElementsAreArray(Concat({{0x32, 5}, Field("t"), {0xFF, 0xFF}})));
    ASSERT_EQ(c.DoPublish("t", "", 2), S_OK);
    EXPECT_THAT(transport.Last(), ElementsAreArray(Concat({{0x34, 5}, Field("t"), {0x00, 0x01}})));
    EXPECT_EQ(c.PeekPacketId(), 2);
}
} // namespace
