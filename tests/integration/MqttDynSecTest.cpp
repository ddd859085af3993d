// Commands to mosquitto's real dynamic-security plug-in through the "MosqClientCtrl" item.
#include "MqttTestSupport.h"
#include "support/MosquittoBroker.h"
#include "support/MosquittoClients.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace
{
constexpr const char* kResponseTopic = "$CONTROL/dynamic-security/v1/response";

class MqttDynSecTest : public testing::Test
{
protected:
    void SetUp() override
    {
        MosquittoOptions options;
        options.dynamicSecurity = true;
        m_broker = std::make_unique<MosquittoBroker>(options);
        ASSERT_TRUE(m_broker->Start());
        ASSERT_TRUE(m_driver.Load(m_broker->Port(), {{"MQTT.UseMosquittoDynSec", int32_t(1)},
                                                     {"MQTT.User", std::string("admin")},
                                                     {"MQTT.Password", std::string("admin-secret")}}));
    }

    // Starts the driver; with `responses`, a tag on the plug-in's response topic is subscribed
    // first and the subscription is awaited.
    void Start(bool responses)
    {
        if (responses)
        {
            ASSERT_EQ(m_driver.Subscribe(1, kResponseTopic), S_OK);
        }
        ASSERT_EQ(m_driver.Start(), S_OK);
        ASSERT_TRUE(m_driver.WaitForLog("ConnAck Result = Connection Accepted!"));
        if (responses)
        {
            ASSERT_TRUE(m_broker->WaitForLog("Sending SUBACK to " + m_driver.ClientId()));
        }
    }

    HRESULT Command(const std::string& command)
    {
        return m_driver.Write("MosqClientCtrl", CTestValue::Text(R"({"commands":[)" + command + "]}"));
    }

    std::unique_ptr<MosquittoBroker> m_broker;
    MqttDriver m_driver;
};
} // namespace

TEST_F(MqttDynSecTest, CreatedClientExistsAndIsListed)
{
    Start(true);
    EXPECT_EQ(Command(R"({"command":"createClient","username":"line7","password":"pw7"})"), S_OK);
    EXPECT_EQ(Command(R"({"command":"listClients","verbose":false})"), S_OK);
    // The response tag received the plug-in's answer, naming the new client.
    EXPECT_TRUE(m_driver.Callback().WaitFor(
        1, [](const SNotice& n) { return n.IsGoodText(n.text) && n.text.find("\"line7\"") != std::string::npos; }));
    EXPECT_EQ(m_driver.CountLog("Response Error"), 0u);
    // The broker accepts the new client's credentials.
    EXPECT_TRUE(Publish(m_broker->Client("line7", "pw7"), "line7/hello", "1"));
}

TEST_F(MqttDynSecTest, ErrorAnswerIsLoggedAndTheWriteSucceeds)
{
    Start(true);
    const std::string create = R"({"command":"createClient","username":"twice","password":"pw"})";
    ASSERT_EQ(Command(create), S_OK);
    EXPECT_EQ(Command(create), S_OK);
    EXPECT_TRUE(m_driver.WaitForLog("Response Error: Client already exists"));
}

TEST_F(MqttDynSecTest, WithoutAResponseTagTheCommandTimesOut)
{
    Start(false);
    EXPECT_EQ(Command(R"({"command":"listClients"})"), E_FAIL);
    EXPECT_TRUE(m_driver.WaitForLog("Timeout on Mosquitto DynSec Command"));
}

TEST_F(MqttDynSecTest, MalformedCommandIsRefusedBeforePublishing)
{
    Start(true);
    EXPECT_EQ(m_driver.Write("MosqClientCtrl", CTestValue::Text(R"({"commands":[]})")), E_FAIL);
    EXPECT_TRUE(m_driver.WaitForLog("Invalid Array!"));
    EXPECT_EQ(m_driver.Write("MosqClientCtrl", CTestValue::Real(1)), E_FAIL);
    EXPECT_TRUE(m_driver.WaitForLog("Invalid DataType!"));
    EXPECT_EQ(m_broker->LogText().find("Received PUBLISH from " + m_driver.ClientId()), std::string::npos);
}
