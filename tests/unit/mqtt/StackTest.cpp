// The stack's handshakes, answers and retransmission, driven with synthetic ticks.
#include "CodecTestDoubles.h"
#include "mqtt/MQTTStack.h"
#include "support/TestHelpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace
{
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class CRecordingHost final : public IMQTTStackHost
{
public:
    explicit CRecordingHost(CRecordingTransport& transport) : m_transport(transport) {}

    void OnMessage(CMQTTPacket& publish) override
    {
        SMQTTPublish fields;
        MQTTParsePublish(publish, fields);
        std::lock_guard<std::mutex> guard(m_mutex);
        messages.push_back(fields.topic + "=" +
                           std::string(reinterpret_cast<const char*>(fields.payload), fields.payloadLength));
        sentAtDelivery.push_back(m_transport.Count());
    }
    void OnConnAck(CMQTTPacket& connack) override { connacks.push_back(ToBytes(connack.buffer)); }
    void OnSubAck(CMQTTPacket& suback) override { subacks.push_back(ToBytes(suback.buffer)); }
    void OnUnsubAck(uint16_t packetId) override { unsubacks.push_back(packetId); }
    void OnPingResponse() override { ++pingResponses; }
    uint8_t OnPeerSubscribe(const std::string& topic, uint8_t requestedQoS) override
    {
        peerSubscribed.push_back(topic + "@" + std::to_string(requestedQoS));
        const auto found = granted.find(topic);
        return found == granted.end() ? MQTT_SUBACK_FAILURE : found->second;
    }
    void OnPeerUnsubscribe(const std::string& topic) override { peerUnsubscribed.push_back(topic); }
    void RestartInterface() override { ++restarts; }

    std::vector<std::string> Messages()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return messages;
    }

    std::vector<std::string> messages;
    std::vector<size_t> sentAtDelivery;
    std::vector<Bytes> connacks;
    std::vector<Bytes> subacks;
    std::vector<uint16_t> unsubacks;
    int pingResponses = 0;
    std::map<std::string, uint8_t> granted;
    std::vector<std::string> peerSubscribed;
    std::vector<std::string> peerUnsubscribed;
    int restarts = 0;

private:
    CRecordingTransport& m_transport;
    std::mutex m_mutex;
};

class StackTest : public ::testing::Test
{
protected:
    StackTest() { codec.SetConnected(true); }

    // Queues a packet as the physical layer would and lets the stack work it off at `now`.
    void Receive(const Bytes& wire)
    {
        ASSERT_EQ(stack.Enqueue(MQTTMakeReceivedPacket(ToBuffer(wire), now)), S_OK);
        stack.Process(now);
    }

    // Runs the stack at `tick` and returns what it sent there.
    std::vector<Bytes> At(uint32_t tick)
    {
        now = tick;
        transport.Forget();
        stack.Process(now);
        return transport.Sent();
    }

    uint32_t now = 0;
    CRecordingTransport transport;
    TIOPtr<CRecordingLogger> logger = CRecordingLogger::Create();
    CMQTTCodec codec{transport, logger.Get(), SMQTTSessionSettings{}, [this] { return now; }};
    CRecordingHost host{transport};
    CMQTTStack stack{host, codec, [this] { return now; }};
};

// A QoS 2 PUBLISH on "a/b" with identifier 7.
Bytes QoS2Publish(const std::string& payload)
{
    return Concat({{0x34, uint8_t(7 + payload.size())}, Field("a/b"), {0x00, 0x07}, Text(payload)});
}

TEST_F(StackTest, QoS2IsDeliveredOnceAtPubRel)
{
    Receive(QoS2Publish("1"));
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x50, 0x02, 0x00, 0x07}));
    EXPECT_THAT(host.messages, IsEmpty());
    EXPECT_EQ(stack.IncomingQoS2Count(), 1u);

    // A repeat before PUBREL replaces the held copy and is answered again.
    transport.Forget();
    Bytes repeat = QoS2Publish("2");
    repeat[0] |= MQTT_FLAG_DUP;
    Receive(repeat);
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x50, 0x02, 0x00, 0x07}));
    EXPECT_EQ(stack.IncomingQoS2Count(), 1u);
    EXPECT_THAT(host.messages, IsEmpty());

    transport.Forget();
    Receive({0x62, 0x02, 0x00, 0x07});
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x70, 0x02, 0x00, 0x07}));
    EXPECT_THAT(host.messages, ElementsAre("a/b=2"));
    EXPECT_EQ(stack.IncomingQoS2Count(), 0u);

    // A PUBREL for an identifier no longer held is still completed, and delivers nothing.
    transport.Forget();
    Receive({0x62, 0x02, 0x00, 0x07});
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x70, 0x02, 0x00, 0x07}));
    EXPECT_THAT(host.messages, ElementsAre("a/b=2"));
    EXPECT_TRUE(logger->Has("Publish Release QoS 2, part 2"));
}

TEST_F(StackTest, IncomingPublishByQoS)
{
    Receive(Concat({{0x30, 0x06}, Field("q0"), Text("xy")}));
    EXPECT_THAT(transport.Sent(), IsEmpty());

    Receive(Concat({{0x32, 0x08}, Field("q1"), {0x01, 0x02}, Text("xy")}));
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x40, 0x02, 0x01, 0x02}));
    EXPECT_TRUE(logger->Has("Publish Ack QoS 1 ID=258"));

    // QoS bits 3 are neither acknowledged nor delivered.
    Receive(Concat({{0x36, 0x08}, Field("q3"), {0x01, 0x03}, Text("xy")}));

    EXPECT_THAT(host.messages, ElementsAre("q0=xy", "q1=xy"));
    // The QoS 1 message reached the host only after its PUBACK had gone out.
    EXPECT_THAT(host.sentAtDelivery, ElementsAre(0u, 1u));
    EXPECT_EQ(transport.Count(), 1u);
    EXPECT_TRUE(logger->Has("Data Publish"));
}

TEST_F(StackTest, OutgoingQoS1IsResentWithDupOnceTwentySecondsOld)
{
    ASSERT_EQ(codec.DoPublish("t", "v", 1), S_OK);
    const Bytes first = transport.Last();
    EXPECT_EQ(first[0], 0x32);
    EXPECT_EQ(stack.OutgoingQoS1Count(), 1u);

    EXPECT_THAT(At(10000), IsEmpty()) << "10 s old: not yet";
    Bytes resent = first;
    resent[0] |= MQTT_FLAG_DUP;
    EXPECT_THAT(At(15000), IsEmpty()) << "between beats";
    EXPECT_THAT(At(20000), ElementsAre(resent));
    EXPECT_THAT(At(30000), ElementsAre(resent)) << "every beat while unanswered";

    Receive({0x40, 0x02, 0x00, 0x01});
    EXPECT_EQ(stack.OutgoingQoS1Count(), 0u);
    EXPECT_THAT(At(40000), IsEmpty());
}

TEST_F(StackTest, OutgoingQoS2WithoutPubRecIsSentFiveTimesThenTheSessionDrops)
{
    ASSERT_EQ(codec.DoPublish("t", "v", 2), S_OK);
    Bytes dup = transport.Last();
    dup[0] |= MQTT_FLAG_DUP;
    ASSERT_EQ(dup[0], 0x3C);
    for (uint32_t tick : {20000u, 30000u, 40000u, 50000u})
    {
        SCOPED_TRACE(tick);
        EXPECT_THAT(At(tick), ElementsAre(dup));
    }
    EXPECT_EQ(host.restarts, 0);
    EXPECT_THAT(At(60000), ElementsAre(Bytes{0xE0, 0x00}));
    EXPECT_EQ(host.restarts, 1);
    EXPECT_EQ(stack.OutgoingQoS2Count(), 0u);
}

TEST_F(StackTest, PubRecLeadsToPubRelAndItsDupRetransmission)
{
    ASSERT_EQ(codec.DoPublish("t", "v", 2), S_OK);
    now = 5000;
    transport.Forget();
    Receive({0x50, 0x02, 0x00, 0x01});
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x62, 0x02, 0x00, 0x01}));

    EXPECT_THAT(At(20000), IsEmpty()) << "the PUBREL was stored again at 5 s";
    EXPECT_THAT(At(30000), ElementsAre(Bytes{0x6A, 0x02, 0x00, 0x01}));

    Receive({0x70, 0x02, 0x00, 0x01});
    EXPECT_EQ(stack.OutgoingQoS2Count(), 0u);
    EXPECT_THAT(At(40000), IsEmpty());

    // A PUBREC nobody waits for is ignored.
    Receive({0x50, 0x02, 0x00, 0x09});
    EXPECT_THAT(transport.Sent(), IsEmpty());
}

TEST_F(StackTest, HeldIncomingQoS2IsAnsweredAgainWhenOld)
{
    Receive(QoS2Publish("1"));
    EXPECT_THAT(At(10000), IsEmpty());
    EXPECT_THAT(At(20000), ElementsAre(Bytes{0x50, 0x02, 0x00, 0x07}));
}

TEST_F(StackTest, FailedPublishKeepsNoCopy)
{
    transport.Refuse(E_FAIL);
    EXPECT_EQ(codec.DoPublish("t", "v", 1), E_FAIL);
    EXPECT_EQ(codec.DoPublish("t", "v", 2), E_FAIL);
    EXPECT_EQ(stack.OutgoingQoS1Count(), 0u);
    EXPECT_EQ(stack.OutgoingQoS2Count(), 0u);
}

TEST_F(StackTest, UnsubAckIsPassedOnWithItsIdentifier)
{
    Receive({0xB0, 0x02, 0x01, 0x09});
    EXPECT_THAT(host.unsubacks, ElementsAre(0x0109));
    EXPECT_TRUE(logger->Has("Unsubscribe Ack From ID=265"));
}

TEST_F(StackTest, PeerSubscribeAndUnsubscribeAreAnswered)
{
    host.granted["a"] = 1;
    Receive(Concat({{0x82, 0x0E, 0x00, 0x05}, Field("a"), {2}, Field(""), {1}, Field("bc"), {0}}));
    EXPECT_THAT(host.peerSubscribed, ElementsAre("a@2", "bc@0"));
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x90, 0x05, 0x00, 0x05, 0x01, 0x00, 0x80}));
    EXPECT_TRUE(logger->Has("Subscribe From"));

    // A pair cut short is not answered; nothing collected means no SUBACK.
    transport.Forget();
    Receive({0x82, 0x05, 0x00, 0x06, 0x00, 0x01, 'a'});
    EXPECT_THAT(transport.Sent(), IsEmpty());

    Receive(Concat({{0xA2, 0x0A, 0x00, 0x07}, Field("a"), Field(""), Field("x")}));
    EXPECT_THAT(host.peerUnsubscribed, ElementsAre("a", "x"));
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0xB0, 0x02, 0x00, 0x07}));
    EXPECT_TRUE(logger->Has("Unsubscribe From"));
}

TEST_F(StackTest, PingsAndSessionPackets)
{
    Receive({0xC0, 0x00});
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0xD0, 0x00}));
    EXPECT_TRUE(logger->Has("Ping Request"));

    codec.SetPingOutstanding(true);
    now = 4321;
    Receive({0xD0, 0x00});
    EXPECT_EQ(codec.KeepAliveReference(), 4321u);
    EXPECT_FALSE(codec.IsPingOutstanding());
    EXPECT_EQ(host.pingResponses, 1);

    Receive({0x20, 0x02, 0x00, 0x00});
    EXPECT_THAT(host.connacks, ElementsAre(Bytes{0x20, 0x02, 0x00, 0x00}));
    Receive({0x90, 0x03, 0x00, 0x01, 0x01});
    EXPECT_THAT(host.subacks, ElementsAre(Bytes{0x90, 0x03, 0x00, 0x01, 0x01}));

    // CONNECT and the reserved types are dropped without a word.
    transport.Forget();
    for (const Bytes& dropped : {Bytes{0x10, 0x00}, Bytes{0x00, 0x00}, Bytes{0xF0, 0x00}})
        Receive(dropped);
    EXPECT_THAT(transport.Sent(), IsEmpty());
    EXPECT_EQ(host.restarts, 0);
}

TEST_F(StackTest, PeerDisconnectEndsTheSession)
{
    ASSERT_EQ(codec.DoPublish("t", "v", 1), S_OK);
    Receive(QoS2Publish("1"));
    Receive({0xE0, 0x00});
    EXPECT_FALSE(codec.IsConnected());
    EXPECT_EQ(stack.OutgoingQoS1Count(), 0u);
    EXPECT_EQ(stack.IncomingQoS2Count(), 0u);
    EXPECT_EQ(host.restarts, 1);
    EXPECT_TRUE(logger->Has("Disconnect From"));
}

TEST_F(StackTest, ShortAcknowledgementsActOnIdentifierZero)
{
    ASSERT_EQ(codec.DoPublish("t", "v", 1), S_OK);
    transport.Forget();
    for (const Bytes& shortAck : {Bytes{0x40, 0x00}, Bytes{0x50, 0x01, 0x00}, Bytes{0x70, 0x00}})
        Receive(shortAck);
    EXPECT_THAT(transport.Sent(), IsEmpty());
    EXPECT_EQ(stack.OutgoingQoS1Count(), 1u);
    Receive({0x62, 0x00});
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0x70, 0x02, 0x00, 0x00}));
}

TEST_F(StackTest, StoringUnderAHeldIdentifierReplacesTheRecord)
{
    for (int i = 0; i < 2; ++i)
        stack.StoreQoS1(std::make_unique<CMQTTPacket>(), 42);
    EXPECT_EQ(stack.OutgoingQoS1Count(), 1u);
    EXPECT_TRUE(stack.TakeQoS1(42));
    EXPECT_FALSE(stack.TakeQoS1(42));
}

TEST(StackThreadTest, TheThreadWorksOffTheQueue)
{
    CRecordingTransport transport;
    CMQTTCodec codec(transport, nullptr, SMQTTSessionSettings{});
    CRecordingHost host(transport);
    CMQTTStack stack(host, codec);
    ASSERT_EQ(stack.Start(), S_OK);
    EXPECT_TRUE(stack.IsRunning());
    ASSERT_EQ(stack.Enqueue(MQTTMakeReceivedPacket(ToBuffer({0xC0, 0x00}), 0)), S_OK);
    ASSERT_EQ(
        stack.Enqueue(MQTTMakeReceivedPacket(ToBuffer(Concat({{0x30, 0x04}, Field("t"), Text("1")})), 0)),
        S_OK);
    EXPECT_TRUE(WaitUntil([&] { return host.Messages().size() == 1; }));
    EXPECT_THAT(transport.Sent(), ElementsAre(Bytes{0xD0, 0x00}));
    EXPECT_THAT(host.Messages(), ElementsAre("t=1"));
    EXPECT_EQ(stack.QueuedCount(), 0u);
}
} // namespace
