#include "support/FakeBroker.h"

#include "support/MosquittoClients.h"
#include "support/RawTcpClient.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace MqttWire;

namespace
{
// The CONNECT of a plain MQTT 3.1.1 client "c1", written out by hand so that neither the
// fake broker's decoder nor MqttWire's encoder checks itself.
const Bytes kConnect{0x10, 0x0E, 0x00, 0x04, 'M',  'Q',  'T', 'T',
                     0x04, 0x02, 0x00, 0x3C, 0x00, 0x02, 'c', '1'};

class FakeBrokerTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(broker.Start()); }

    // Connects a raw client and waits until the broker has seen its CONNECT.
    void Connect(RawTcpClient& client, size_t index = 0)
    {
        ASSERT_TRUE(client.Connect(broker.Port()));
        ASSERT_TRUE(client.Send(kConnect));
        ASSERT_TRUE(broker.WaitForPacket(index, CONNECT));
    }

    FakeBroker broker;
};
} // namespace

TEST_F(FakeBrokerTest, AnswersConnectAsScripted)
{
    struct Case
    {
        FakeBrokerScript::OnConnect onConnect;
        uint8_t code;
        std::optional<Bytes> reply; // nullopt: no CONNACK
        bool closes;
    };
    const Case cases[] = {
        {FakeBrokerScript::OnConnect::Accept, 0, Bytes{0x20, 0x02, 0x00, 0x00}, false},
        {FakeBrokerScript::OnConnect::Accept, 5, Bytes{0x20, 0x02, 0x00, 0x05}, false},
        {FakeBrokerScript::OnConnect::Silent, 0, std::nullopt, false},
        {FakeBrokerScript::OnConnect::Close, 0, std::nullopt, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        SCOPED_TRACE(i);
        FakeBrokerScript script;
        script.onConnect = cases[i].onConnect;
        script.connackCode = cases[i].code;
        broker.SetScriptFor(i, script);
        RawTcpClient client;
        ASSERT_TRUE(client.Connect(broker.Port()));
        // CONNECT and PINGREQ in one write: replies come in order, so a PINGRESP read first
        // proves the CONNACK was never sent.
        Bytes both = kConnect;
        const Bytes ping = Pingreq();
        both.insert(both.end(), ping.begin(), ping.end());
        ASSERT_TRUE(client.Send(both));
        if (cases[i].closes)
        {
            EXPECT_TRUE(client.WaitForClose());
            EXPECT_TRUE(broker.WaitForClosed(i));
            continue;
        }
        auto first = client.ReadPacket();
        ASSERT_TRUE(first);
        if (cases[i].reply)
        {
            EXPECT_EQ(Frame(first->header, first->body), *cases[i].reply);
            first = client.ReadPacket();
            ASSERT_TRUE(first);
        }
        EXPECT_EQ(first->Type(), PINGRESP);
    }
    EXPECT_EQ(broker.ConnectionCount(), std::size(cases));
    const auto fields = ParseConnect(broker.PacketsOfType(0, CONNECT).at(0));
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->protocolName, "MQTT");
    EXPECT_EQ(fields->level, 4);
    EXPECT_EQ(fields->keepAlive, 60);
    EXPECT_EQ(fields->clientId, "c1");
}

TEST_F(FakeBrokerTest, AnswersSubscribeWithScriptedCodesAndCanIgnorePings)
{
    FakeBrokerScript script;
    script.grantedQos = {0x80};
    script.answerPing = false;
    broker.SetScript(script);
    RawTcpClient client;
    Connect(client);
    ASSERT_TRUE(client.ReadPacket()); // CONNACK

    Bytes subscribe{0x82, 0x0C, 0x12, 0x34, 0x00, 0x03, 'a', '/', 'b', 0x01, 0x00, 0x01, 'c', 0x02};
    Bytes both = Pingreq();
    both.insert(both.end(), subscribe.begin(), subscribe.end());
    ASSERT_TRUE(client.Send(both));
    const auto suback = client.ReadPacket();
    ASSERT_TRUE(suback);
    // First topic refused as scripted, the second granted what it asked for; no PINGRESP before.
    EXPECT_EQ(Frame(suback->header, suback->body), (Bytes{0x90, 0x04, 0x12, 0x34, 0x80, 0x02}));
    ASSERT_EQ(broker.PacketsOfType(0, PINGREQ).size(), 1u);
    const auto fields = ParseSubscribe(broker.PacketsOfType(0, SUBSCRIBE).at(0));
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->topics, (std::vector<std::pair<std::string, uint8_t>>{{"a/b", 1}, {"c", 2}}));
}

TEST_F(FakeBrokerTest, SendsWhatTheTestAsksAndDropsTheLink)
{
    RawTcpClient client;
    Connect(client);
    ASSERT_TRUE(client.ReadPacket());

    ASSERT_TRUE(broker.SendPublish(0, "x/y", "42", 1, true, 9));
    const auto publish = client.ReadPacket();
    ASSERT_TRUE(publish);
    EXPECT_EQ(Frame(publish->header, publish->body),
              (Bytes{0x33, 0x09, 0x00, 0x03, 'x', '/', 'y', 0x00, 0x09, '4', '2'}));
    ASSERT_TRUE(broker.SendDisconnect(0));
    const auto disconnect = client.ReadPacket();
    ASSERT_TRUE(disconnect);
    EXPECT_EQ(disconnect->Type(), DISCONNECT);

    // A length field of five bytes cannot be parsed.
    ASSERT_TRUE(broker.Send(0, {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
    EXPECT_FALSE(client.ReadPacket());

    // Half a packet, then the link goes.
    RawTcpClient second;
    Connect(second, 1);
    ASSERT_TRUE(second.ReadPacket());
    ASSERT_TRUE(broker.SendPartialAndDrop(1, Publish("t", "payload"), 4));
    EXPECT_TRUE(second.WaitForClose());
    EXPECT_EQ(second.Pending(), (Bytes{0x30, 0x0A, 0x00, 0x01}));
    EXPECT_FALSE(broker.IsOpen(1));
    EXPECT_FALSE(broker.Send(1, Pingresp()));
    EXPECT_TRUE(broker.IsOpen(0));
}

TEST_F(FakeBrokerTest, ClosesOnMalformedLengthAndOnDisconnect)
{
    RawTcpClient client;
    Connect(client);
    ASSERT_TRUE(client.Send({0x30, 0x80, 0x80, 0x80, 0x80, 0x01}));
    EXPECT_TRUE(broker.WaitForClosed(0));
    EXPECT_TRUE(broker.SawMalformed(0));
    EXPECT_TRUE(client.WaitForClose());

    RawTcpClient polite;
    Connect(polite, 1);
    ASSERT_TRUE(polite.Send(Disconnect()));
    EXPECT_TRUE(broker.WaitForClosed(1));
    EXPECT_FALSE(broker.SawMalformed(1));
}

TEST_F(FakeBrokerTest, HookSeesPacketsFirstAndMayReplaceTheReaction)
{
    FakeBrokerScript script;
    script.onPacket = [this](size_t connection, const Packet& packet)
    {
        if (packet.Type() != PUBLISH)
            return false;
        broker.Drop(connection, true);
        return true;
    };
    broker.SetScript(script);
    RawTcpClient client;
    Connect(client);
    ASSERT_TRUE(client.ReadPacket()); // CONNACK: the hook passed CONNECT on
    ASSERT_TRUE(client.Send(Publish("t", "v", 1, false, 3)));
    EXPECT_TRUE(client.WaitForClose()) << "dropped instead of PUBACK";
}

TEST_F(FakeBrokerTest, RealClientPublishesThroughIt)
{
    // mosquitto_pub as an independent client: QoS 2 needs PUBREC and PUBCOMP from the fake.
    MqttClientOptions client;
    client.port = broker.Port();
    client.clientId = "pub-tool";
    client.user = "u";
    client.password = "pw";
    ASSERT_TRUE(Publish(client, "sensors/1", "17.25", 2, true));
    ASSERT_TRUE(broker.WaitForClosed(0));
    const auto connect = ParseConnect(broker.PacketsOfType(0, CONNECT).at(0));
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->clientId, "pub-tool");
    EXPECT_EQ(connect->user, "u");
    EXPECT_EQ(connect->password, "pw");
    const auto publish = ParsePublish(broker.PacketsOfType(0, PUBLISH).at(0));
    ASSERT_TRUE(publish);
    EXPECT_EQ(publish->topic, "sensors/1");
    EXPECT_EQ(publish->payload, "17.25");
    EXPECT_EQ(publish->qos, 2);
    EXPECT_TRUE(publish->retain);
    EXPECT_EQ(broker.PacketsOfType(0, PUBREL).size(), 1u);
    EXPECT_EQ(broker.PacketsOfType(0, DISCONNECT).size(), 1u);
}
