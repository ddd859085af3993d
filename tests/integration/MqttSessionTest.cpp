// The MQTT session of a driver loaded like a SCADA host loads it: losing and regaining the
// broker, refused logins, keep-alive against a broker that stops answering, the protocol
// version of CONNECT and the last-will quality rule.
#include "MqttTestSupport.h"
#include "support/FakeBroker.h"
#include "support/MosquittoBroker.h"
#include "support/MosquittoClients.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
::testing::AssertionResult StartDriver(MqttDriver& driver, uint16_t port, const std::vector<SSetting>& settings = {})
{
    const ::testing::AssertionResult loaded = driver.Load(port, settings);
    if (!loaded)
        return loaded;
    const HRESULT hr = driver.Start();
    if (FAILED(hr))
        return ::testing::AssertionFailure() << "drvStartComm: " << std::hex << hr;
    return ::testing::AssertionSuccess();
}

bool IsGood(const SNotice& notice) { return notice.quality == HV_QUALITY_GOOD; }
bool IsNoValue(const SNotice& notice) { return notice.IsNoValue(); }
} // namespace

TEST(MqttSessionTest, BrokerRestartMarksTagsBadThenValuesFlowAgain)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port()));
    ASSERT_EQ(driver.Subscribe(1, "plant/temp"), S_OK);
    ASSERT_TRUE(broker.WaitForLog("Sending SUBACK to " + driver.ClientId()));
    ASSERT_TRUE(Publish(broker.Client(), "plant/temp", "5"));
    ASSERT_TRUE(driver.Callback().WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(5); }));

    ASSERT_TRUE(broker.Restart());
    EXPECT_TRUE(driver.Callback().WaitFor(1, IsNoValue));
    EXPECT_TRUE(driver.WaitForLog("OnInterfaceDisconnected"));
    // The new session subscribes again on its own.
    ASSERT_TRUE(broker.WaitForLog("Sending SUBACK to " + driver.ClientId()));
    ASSERT_TRUE(Publish(broker.Client(), "plant/temp", "6"));
    EXPECT_TRUE(driver.Callback().WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(6); }));
    EXPECT_EQ(driver.CountLog("ConnAck Result = Connection Accepted!"), 2u);
}

TEST(MqttSessionTest, WrongPasswordIsLoggedAndRetried)
{
    MosquittoOptions options;
    options.allowAnonymous = false;
    options.users = {{"operator", "right"}};
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.Start());
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port(),
                            {{"MQTT.User", std::string("operator")}, {"MQTT.Password", std::string("wrong")}}));
    // Mosquitto answers a failed password check with "not authorised" and closes the link;
    // the driver connects and tries again.
    EXPECT_TRUE(driver.WaitForLog("ConnAck Result = Connection Refused, not authorized!", 2));
    EXPECT_EQ(driver.CountLog("ConnAck Result = Connection Accepted!"), 0u);
}

class MqttKeepAliveTest : public testing::TestWithParam<bool>
{
};

// The first link's broker stops answering pings. Whether it closes the link on the
// DISCONNECT that follows or leaves it half-open, the driver ends up on a new link with a new
// session.
TEST_P(MqttKeepAliveTest, SilentBrokerExceedsKeepAliveAndTheDriverReconnects)
{
    const bool brokerCloses = GetParam();
    FakeBroker broker;
    ASSERT_TRUE(broker.Start());
    FakeBrokerScript silent;
    silent.answerPing = false;
    if (!brokerCloses)
        silent.onPacket = [](size_t, const MqttWire::Packet& packet) { return packet.Type() == MqttWire::DISCONNECT; };
    broker.SetScriptFor(0, silent);
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port(), {{"MQTT.KeepAlive", int32_t(2)}}));

    ASSERT_TRUE(broker.WaitForPacket(0, MqttWire::PINGREQ));
    EXPECT_TRUE(driver.WaitForLog("Exceeded KeepAlive Time = "));
    EXPECT_TRUE(broker.WaitForPacket(0, MqttWire::DISCONNECT));
    EXPECT_TRUE(broker.WaitForClosed(0));
    // A new link and a new session, which the broker answers again.
    EXPECT_TRUE(driver.WaitForLog("ConnAck Result = Connection Accepted!", 2));
    const size_t last = broker.ConnectionCount() - 1;
    EXPECT_GE(last, 1u);
    EXPECT_TRUE(broker.WaitForPacket(last, MqttWire::CONNECT));
    EXPECT_TRUE(broker.WaitForPacket(last, MqttWire::PINGREQ));
    EXPECT_TRUE(driver.WaitForLog("Ping Response"));
}

INSTANTIATE_TEST_SUITE_P(Links, MqttKeepAliveTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "BrokerCloses" : "LinkLeftOpen";
                         });

TEST(MqttSessionTest, RefusalsAndUnknownCodesAreLoggedAndConnectIsRepeated)
{
    FakeBroker broker;
    ASSERT_TRUE(broker.Start());
    FakeBrokerScript refuse;
    refuse.connackCode = 7;
    broker.SetScript(refuse);
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port()));
    EXPECT_TRUE(driver.WaitForLog("ConnAck Result = Unknown Code 7!"));
    // Unanswered for five seconds, the session check sends CONNECT again on the same link.
    EXPECT_TRUE(broker.WaitFor([&] { return broker.PacketsOfType(0, MqttWire::CONNECT).size() >= 2; },
                               std::chrono::seconds(15)));
    EXPECT_FALSE(driver.Callback().WaitFor(1, IsGood, std::chrono::milliseconds(0)));
}

struct VersionCase
{
    int32_t version;
    std::string protocol;
    uint8_t level;
};

class MqttVersionTest : public testing::TestWithParam<VersionCase>
{
};

TEST_P(MqttVersionTest, ConnectCarriesTheConfiguredProtocol)
{
    const VersionCase& c = GetParam();
    FakeBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port(), {{"MQTT.VersionNumber", c.version}}));
    const std::optional<MqttWire::Packet> connect = broker.WaitForPacket(0, MqttWire::CONNECT);
    ASSERT_TRUE(connect);
    Bytes expected = {0, uint8_t(c.protocol.size())};
    expected.insert(expected.end(), c.protocol.begin(), c.protocol.end());
    expected.push_back(c.level);
    ASSERT_GE(connect->body.size(), expected.size());
    EXPECT_EQ(Bytes(connect->body.begin(), connect->body.begin() + long(expected.size())), expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, MqttVersionTest,
                         testing::Values(VersionCase{4, "MQTT", 4}, VersionCase{3, "MQIsdp", 3}));

// With the rule on, the will message on a topic marks that topic's subtree bad (and every
// topic that merely extends it); the next other payload on the topic releases it.
TEST(MqttSessionTest, LastWillMarksTheSubtreeBadUntilTheNextPayload)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<std::pair<std::string, std::string>> topics = {
        {"site/a", "1"}, {"site/a/b", "2"}, {"site/ab", "3"}, {"other/x", "4"}};
    for (const auto& [topic, payload] : topics)
        ASSERT_TRUE(Publish(broker.Client(), topic, payload, 0, true));
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port(),
                            {{"MQTT.UseLastWillForQuality", int32_t(1)}, {"MQTT.WillMessage", std::string("offline")}}));
    for (size_t i = 0; i < topics.size(); ++i)
        ASSERT_EQ(driver.Subscribe(uint32_t(i + 1), topics[i].first), S_OK);
    for (size_t i = 0; i < topics.size(); ++i)
        ASSERT_TRUE(driver.Callback().WaitFor(uint32_t(i + 1), IsGood)) << topics[i].first;

    ASSERT_TRUE(Publish(broker.Client(), "site/a", "offline"));
    for (uint32_t number : {1u, 2u, 3u})
        EXPECT_TRUE(driver.Callback().WaitFor(number, IsNoValue)) << number;
    EXPECT_FALSE(driver.Callback().WaitFor(4, IsNoValue, std::chrono::milliseconds(0)));

    driver.Callback().Forget();
    ASSERT_TRUE(Publish(broker.Client(), "site/a", "2.5"));
    EXPECT_TRUE(driver.Callback().WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(2.5); }));
    // Released, the subtree subscribes again and its retained values come back good.
    EXPECT_TRUE(driver.Callback().WaitFor(2, [](const SNotice& n) { return n.IsGoodNumber(2); }));
    EXPECT_TRUE(driver.Callback().WaitFor(3, [](const SNotice& n) { return n.IsGoodNumber(3); }));
}

TEST(MqttSessionTest, AgentsWithoutKeywordsFailTheStart)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttDriver driver;
    ASSERT_TRUE(driver.Load(broker.Port(), {{"MQTT.UseVeloraAgent", int32_t(1)}}));
    EXPECT_TRUE(FAILED(driver.Start()));
    EXPECT_EQ(driver.CountLog("Error: Agent Keyword can\xB4t be empty!"), 1u);
}

TEST(MqttSessionTest, MessagesOfUnknownTopicsAndTemplatesWithoutAFormatAreLogged)
{
    FakeBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port(),
                            {{"MQTT.TemplateCount", int32_t(2)},
                             {"MQTT.TemplateName[0]", std::string("J1")},
                             {"MQTT.TemplateFormat[0]", std::string("{\"v\":V1}")},
                             {"MQTT.TemplateName[1]", std::string("Q9")},
                             {"MQTT.TemplateType[1]", int32_t(9)}}));
    ASSERT_TRUE(driver.WaitForLog("ConnAck Result = Connection Accepted!"));
    ASSERT_TRUE(broker.SendPublish(0, "nobody/listens", "1"));
    EXPECT_TRUE(driver.WaitForLog("Item nobody/listens does not exist!"));
    EXPECT_EQ(driver.CountLog("Invalid Template J1"), 1u);
    EXPECT_EQ(driver.CountLog("Invalid Template Type"), 1u);
    EXPECT_EQ(driver.CountLog("Invalid Template Q9"), 1u);
}

TEST(MqttSessionTest, PeerDisconnectLeadsToANewLinkAndANewSubscription)
{
    FakeBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttDriver driver;
    ASSERT_TRUE(StartDriver(driver, broker.Port()));
    ASSERT_EQ(driver.Subscribe(1, "plant/temp"), S_OK);
    ASSERT_TRUE(broker.WaitForPacket(0, MqttWire::SUBSCRIBE));
    ASSERT_TRUE(broker.SendPublish(0, "plant/temp", "1"));
    ASSERT_TRUE(driver.Callback().WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(1); }));

    ASSERT_TRUE(broker.SendDisconnect(0));
    EXPECT_TRUE(broker.WaitForClosed(0));
    const std::optional<MqttWire::Packet> again = broker.WaitForPacket(1, MqttWire::SUBSCRIBE);
    ASSERT_TRUE(again);
    ASSERT_TRUE(broker.SendPublish(1, "plant/temp", "2"));
    EXPECT_TRUE(driver.Callback().WaitFor(1, [](const SNotice& n) { return n.IsGoodNumber(2); }));
}
