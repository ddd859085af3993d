// Values between a real mosquitto broker and the tags of a driver loaded like a SCADA host
// loads it: plain payloads, the three QoS levels in both directions, retained writes,
// subscriptions in batches, write deadbands and tags that leave.
#include "MqttTestSupport.h"
#include "support/MosquittoBroker.h"
#include "support/MosquittoClients.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace
{
class MqttDeliveryTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_broker.Start()); }

    ::testing::AssertionResult StartDriver(const std::vector<SSetting>& settings = {})
    {
        const ::testing::AssertionResult loaded = m_driver.Load(m_broker.Port(), settings);
        if (!loaded)
            return loaded;
        const HRESULT hr = m_driver.Start();
        if (FAILED(hr))
            return ::testing::AssertionFailure() << "drvStartComm: " << std::hex << hr;
        return ::testing::AssertionSuccess();
    }

    // Waits until the broker has answered `count` SUBSCRIBE packets of the driver in this run.
    bool WaitForSubAcks(size_t count)
    {
        const std::string line = "Sending SUBACK to " + m_driver.ClientId();
        return WaitUntil([&] {
            const std::string log = m_broker.LogText();
            size_t seen = 0;
            for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
                ++seen;
            return seen >= count;
        });
    }

    // Topics of each SUBSCRIBE packet the broker received from the driver, in order.
    std::vector<std::vector<std::string>> SubscribePackets() const
    {
        std::vector<std::vector<std::string>> packets;
        const std::string log = m_broker.LogText();
        const std::string start = "Received SUBSCRIBE from " + m_driver.ClientId();
        bool inside = false;
        size_t begin = 0;
        while (begin < log.size())
        {
            size_t end = log.find('\n', begin);
            if (end == std::string::npos)
                end = log.size();
            const std::string line = log.substr(begin, end - begin);
            begin = end + 1;
            const size_t tab = line.find('\t');
            if (line.find(start) != std::string::npos)
            {
                packets.emplace_back();
                inside = true;
            }
            else if (inside && tab != std::string::npos)
            {
                const std::string entry = line.substr(tab + 1);
                packets.back().push_back(entry.substr(0, entry.rfind(" (QoS")));
            }
            else if (inside && line.find("Sending SUBACK") != std::string::npos)
            {
                inside = false;
            }
        }
        return packets;
    }

    MosquittoBroker m_broker;
    MqttDriver m_driver;
};

// A write that went through the deadband (or not) shows as the payloads a subscriber saw.
std::vector<std::string> Payloads(const Subscriber& subscriber)
{
    std::vector<std::string> payloads;
    for (const MqttMessage& message : subscriber.Messages())
        payloads.push_back(message.payload);
    return payloads;
}
} // namespace

TEST_F(MqttDeliveryTest, PlainPayloadsReachEveryTagWithGoodQuality)
{
    // Retained, so the order of the driver's SUBSCRIBE and these publishes does not matter.
    ASSERT_TRUE(Publish(m_broker.Client(), "plant/temp", "21,5", 0, true));
    ASSERT_TRUE(Publish(m_broker.Client(), "plant/name", "abc", 0, true));
    ASSERT_TRUE(Publish(m_broker.Client(), "plant/level", "7 units", 0, true));
    ASSERT_TRUE(StartDriver());
    ASSERT_EQ(m_driver.Subscribe(1, "plant/temp"), S_OK);
    ASSERT_EQ(m_driver.Subscribe(2, "plant/name"), S_OK);
    ASSERT_EQ(m_driver.Subscribe(3, "  plant/level  "), S_OK);

    CRecordingCallback& tags = m_driver.Callback();
    EXPECT_TRUE(tags.WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(21.5); }));
    EXPECT_TRUE(tags.WaitFor(2, [](const SNotice& n) { return n.IsGoodText("abc"); }));
    EXPECT_TRUE(tags.WaitFor(3, [](const SNotice& n) { return n.IsGoodNumber(7); }));
    EXPECT_TRUE(m_driver.WaitForLog("ConnAck Result = Connection Accepted!"));
    EXPECT_TRUE(m_driver.WaitForLog("Cache: get station 'MQTTCache' = 00000000"));
}

class MqttQoSTest : public MqttDeliveryTest, public testing::WithParamInterface<int>
{
};

// The broker delivers at the QoS the driver subscribed with, and the driver publishes its
// writes at the configured QoS; both handshakes complete.
TEST_P(MqttQoSTest, ValuesFlowInBothDirectionsAtTheConfiguredQoS)
{
    const int qos = GetParam();
    ASSERT_TRUE(StartDriver({{"MQTT.ReadQoS", int32_t(qos)}, {"MQTT.PublishQoS", int32_t(qos)}}));
    ASSERT_EQ(m_driver.Subscribe(1, "qos/in"), S_OK);
    ASSERT_TRUE(WaitForSubAcks(1));
    EXPECT_NE(m_broker.LogText().find("\tqos/in (QoS " + std::to_string(qos) + ")"), std::string::npos);

    ASSERT_TRUE(Publish(m_broker.Client(), "qos/in", std::to_string(40 + qos), qos));
    EXPECT_TRUE(m_driver.Callback().WaitFor(1, [&](const SNotice& n) { return n.IsGoodNumber(40 + qos); }));

    Subscriber out(m_broker.Client(), {"qos/out"}, 2);
    ASSERT_TRUE(out.Start());
    ASSERT_EQ(m_driver.Write("qos/out", CTestValue::Real(qos + 0.5)), S_OK);
    const std::optional<MqttMessage> message = out.WaitForMessage("qos/out");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->payload, std::to_string(qos) + ".500000");
    EXPECT_EQ(message->qos, qos);
    EXPECT_FALSE(message->retain);
    if (qos == 2)
    {
        // Incoming: held until PUBREL; outgoing: PUBREC, PUBREL, PUBCOMP.
        EXPECT_TRUE(m_driver.WaitForLog("Publish Release QoS 2, part 2"));
        EXPECT_TRUE(m_broker.WaitForLog("Received PUBREL from " + m_driver.ClientId()));
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, MqttQoSTest, testing::Values(0, 1, 2));

TEST_F(MqttDeliveryTest, WritesCarryTheRetainFlagWhenConfigured)
{
    ASSERT_TRUE(StartDriver({{"MQTT.Retain", int32_t(1)}}));
    ASSERT_TRUE(m_driver.WaitForLog("ConnAck Result = Connection Accepted!"));
    ASSERT_EQ(m_driver.Write("plant/mode", CTestValue::Text("auto")), S_OK);
    ASSERT_TRUE(m_broker.WaitForLog("Received PUBLISH from " + m_driver.ClientId()));

    // A subscriber that arrives later still receives the value, marked as retained.
    Subscriber late(m_broker.Client(), {"plant/mode"});
    ASSERT_TRUE(late.Start());
    const std::optional<MqttMessage> message = late.WaitForMessage("plant/mode");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->payload, "auto");
    EXPECT_TRUE(message->retain);
}

TEST_F(MqttDeliveryTest, ManyTopicsGoOutInBatchesAndAllReceiveData)
{
    const std::vector<std::string> topics = NumberedTopics("bulk", 120);
    // Subscribed before the start, so the first subscription pass finds all of them.
    ASSERT_TRUE(m_driver.Load(m_broker.Port(), {}));
    for (size_t i = 0; i < topics.size(); ++i)
        ASSERT_EQ(m_driver.Subscribe(uint32_t(i + 1), topics[i]), S_OK);
    ASSERT_EQ(m_driver.Start(), S_OK);

    ASSERT_TRUE(WaitForSubAcks(3));
    std::vector<size_t> sizes;
    std::set<std::string> subscribed;
    for (const std::vector<std::string>& packet : SubscribePackets())
    {
        sizes.push_back(packet.size());
        subscribed.insert(packet.begin(), packet.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{50, 50, 20}));
    EXPECT_EQ(subscribed, std::set<std::string>(topics.begin(), topics.end()));

    // A second client feeds every topic; its publishes all come back through the broker.
    MqttDriver feeder;
    ASSERT_TRUE(feeder.Load(m_broker.Port(), {}));
    ASSERT_EQ(feeder.Start(), S_OK);
    ASSERT_TRUE(feeder.WaitForLog("ConnAck Result = Connection Accepted!"));
    for (size_t i = 0; i < topics.size(); ++i)
        ASSERT_EQ(feeder.Write(topics[i], CTestValue::Real(double(i))), S_OK);
    for (size_t i = 0; i < topics.size(); ++i)
        EXPECT_TRUE(m_driver.Callback().WaitFor(uint32_t(i + 1), [&](const SNotice& n) {
            return n.IsGoodNumber(double(i));
        })) << topics[i];
}

struct DeadbandCase
{
    const char* name;
    const char* item;
    double hostDeadband;
};

class MqttDeadbandTest : public MqttDeliveryTest, public testing::WithParamInterface<DeadbandCase>
{
};

// 5 %: after 98, a write of 100 changes by 2 < 4.9 and publishes nothing; 104 goes out.
TEST_P(MqttDeadbandTest, SmallChangesAreNotPublished)
{
    const DeadbandCase& c = GetParam();
    ASSERT_TRUE(StartDriver({{"MQTT.WriteDeadBand", c.hostDeadband}}));
    Subscriber out(m_broker.Client(), {"plant/setpoint"});
    ASSERT_TRUE(out.Start());
    ASSERT_TRUE(m_driver.WaitForLog("ConnAck Result = Connection Accepted!"));

    ASSERT_EQ(m_driver.Write(c.item, CTestValue::Real(98)), S_OK);
    ASSERT_EQ(m_driver.Write(c.item, CTestValue::Real(100)), S_OK);
    ASSERT_EQ(m_driver.Write(c.item, CTestValue::Real(104)), S_OK);
    ASSERT_TRUE(out.WaitFor([](const std::vector<MqttMessage>& messages) {
        return !messages.empty() && messages.back().payload == "104.000000";
    }));
    EXPECT_EQ(Payloads(out), (std::vector<std::string>{"98.000000", "104.000000"}));
}

INSTANTIATE_TEST_SUITE_P(Sources, MqttDeadbandTest,
                         testing::Values(DeadbandCase{"ItemClause", "plant/setpoint (Deadband:5%)", 0},
                                         DeadbandCase{"HostSetting", "plant/setpoint", 5}),
                         [](const testing::TestParamInfo<DeadbandCase>& info) { return info.param.name; });

TEST_F(MqttDeliveryTest, ARemovedTagsTopicStopsArriving)
{
    ASSERT_TRUE(StartDriver());
    ASSERT_EQ(m_driver.Subscribe(1, "plant/leaving"), S_OK);
    ASSERT_EQ(m_driver.Subscribe(2, "plant/staying"), S_OK);
    ASSERT_TRUE(WaitForSubAcks(1));
    ASSERT_TRUE(Publish(m_broker.Client(), "plant/leaving", "1"));
    ASSERT_TRUE(m_driver.Callback().WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(1); }));

    ASSERT_EQ(m_driver.Unsubscribe(1), S_OK);
    ASSERT_TRUE(m_broker.WaitForLog("Received UNSUBSCRIBE from " + m_driver.ClientId()));
    ASSERT_TRUE(m_broker.WaitForLog("Sending UNSUBACK to " + m_driver.ClientId()));
    ASSERT_TRUE(Publish(m_broker.Client(), "plant/leaving", "2"));
    // The broker keeps the order of one link: once the later message arrived, the earlier
    // one would have been there too.
    ASSERT_TRUE(Publish(m_broker.Client(), "plant/staying", "3"));
    ASSERT_TRUE(m_driver.Callback().WaitFor(2, [](const SNotice& n) { return n.IsGoodNumber(3); }));
    EXPECT_EQ(m_driver.CountLog("Parsing from plant/leaving.."), 1u);
    const std::string log = m_broker.LogText();
    const size_t unsubscribed = log.find("Received UNSUBSCRIBE from " + m_driver.ClientId());
    const std::string sent = "Sending PUBLISH to " + m_driver.ClientId();
    for (size_t at = log.find(sent, unsubscribed); at != std::string::npos; at = log.find(sent, at + 1))
        EXPECT_EQ(log.substr(at, log.find('\n', at) - at).find("'plant/leaving'"), std::string::npos);
}
