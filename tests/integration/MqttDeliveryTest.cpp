// Values between a real mosquitto broker and the tags of a driver loaded like a SCADA host
// loads it: plain payloads, the three QoS levels in both directions, retained writes,
// subscriptions in batches, write deadbands and tags that leave.
#include "MqttTestSupport.h"
#include "support/MosquittoBroker.h"
#include "support/MosquittoClients.h"

#include <gtest/gtest.h>

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

    MosquittoBroker m_broker;
    MqttDriver m_driver;
};
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
