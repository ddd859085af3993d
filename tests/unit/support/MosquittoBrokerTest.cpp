#include "support/MosquittoBroker.h"

#include "support/MosquittoClients.h"
#include "support/RawTcpClient.h"

#include <gtest/gtest.h>

TEST(MosquittoBrokerTest, StartsStopsAndRestartsOnTheSamePort)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    const uint16_t port = broker.Port();
    ASSERT_NE(port, 0);
    EXPECT_NE(port, 1883) << "never the system broker's port";
    EXPECT_NE(broker.LogText().find("running"), std::string::npos);

    // Any bytes survive the trip, spaces in the topic too.
    const std::string payload("21.5 \x01\x00\xFF\n end", 12);
    {
        Subscriber subscriber(broker.Client(), {"plant/#"}, 1);
        ASSERT_TRUE(subscriber.Start());
        EXPECT_EQ(subscriber.Granted(), std::vector<int>{1});
        ASSERT_TRUE(Publish(broker.Client(), "plant/line 1/temp", payload, 1));
        ASSERT_TRUE(Publish(broker.Client(), "plant/empty", "", 0, true));
        ASSERT_TRUE(subscriber.WaitFor([](const auto& messages) { return messages.size() == 2; }));
        const auto messages = subscriber.Messages();
        EXPECT_EQ(messages[0].topic, "plant/line 1/temp");
        EXPECT_EQ(messages[0].payload, payload);
        EXPECT_EQ(messages[0].qos, 1);
        EXPECT_FALSE(messages[0].retain);
        EXPECT_EQ(messages[1].topic, "plant/empty");
        EXPECT_EQ(messages[1].payload, "");
    }

    ASSERT_TRUE(broker.Stop());
    EXPECT_FALSE(broker.IsRunning());
    EXPECT_FALSE(CanConnect(port));
    EXPECT_FALSE(Publish(broker.Client(), "plant/x", "1"));

    ASSERT_TRUE(broker.Restart());
    EXPECT_EQ(broker.Port(), port);
    EXPECT_FALSE(broker.WaitForLog("New client connected", std::chrono::milliseconds{0}))
        << "the current run's log starts empty of clients";
    Subscriber subscriber(broker.Client(), {"plant/x"});
    ASSERT_TRUE(subscriber.Start());
    ASSERT_TRUE(Publish(broker.Client(), "plant/x", "after restart"));
    const auto message = subscriber.WaitForMessage("plant/x");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->payload, "after restart");
    EXPECT_TRUE(broker.WaitForLog("New client connected"));
}

// Credentials made by the broker's tools, or written directly when the tools are missing.
class MosquittoCredentialsTest : public ::testing::TestWithParam<bool>
{
};
INSTANTIATE_TEST_SUITE_P(ByTools, MosquittoCredentialsTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Tools" : "Direct"; });

TEST_P(MosquittoCredentialsTest, PasswordFileAdmitsOnlyKnownUsers)
{
    MosquittoOptions options;
    options.useBrokerTools = GetParam();
    options.allowAnonymous = false;
    options.users = {{"alice", "secret"}, {"bob", "p@ss word"}};
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.Start());

    struct Case
    {
        const char* user;
        const char* password;
        bool admitted;
    };
    const Case cases[] = {
        {"alice", "secret", true}, {"bob", "p@ss word", true},
        {"alice", "wrong", false}, {"mallory", "secret", false},
        {"", "", false},
    };
    for (const auto& c : cases)
    {
        const auto published = Publish(broker.Client(c.user, c.password), "t", "v", 1);
        EXPECT_EQ(static_cast<bool>(published), c.admitted) << c.user << ": " << published.message();
        if (!c.admitted)
        {
            EXPECT_NE(std::string(published.message()).find("not authorised"), std::string::npos)
                << published.message();
        }
    }
    Subscriber refused(broker.Client("alice", "wrong"), {"t"});
    const auto started = refused.Start();
    EXPECT_FALSE(started);
    EXPECT_NE(std::string(started.message()).find("not authorised"), std::string::npos) << started.message();
}

TEST_P(MosquittoCredentialsTest, DynamicSecurityPluginAnswersItsAdministrator)
{
    MosquittoOptions options;
    options.useBrokerTools = GetParam();
    options.dynamicSecurity = true;
    MosquittoBroker broker(options);
    ASSERT_TRUE(broker.Start());

    Subscriber responses(broker.Admin(), {"$CONTROL/dynamic-security/v1/response"});
    ASSERT_TRUE(responses.Start());
    ASSERT_TRUE(Publish(broker.Admin(), "$CONTROL/dynamic-security/v1",
                        R"({"commands":[{"command":"listClients"}]})"));
    const auto answer = responses.WaitForMessage("$CONTROL/dynamic-security/v1/response");
    ASSERT_TRUE(answer) << broker.LogText();
    EXPECT_NE(answer->payload.find(R"("command":"listClients")"), std::string::npos) << answer->payload;
    EXPECT_NE(answer->payload.find(R"("admin")"), std::string::npos) << answer->payload;
    EXPECT_EQ(answer->payload.find("error"), std::string::npos) << answer->payload;

    // Clients the plug-in does not know are turned away.
    EXPECT_FALSE(Publish(broker.Client("stranger", "x"), "t", "v"));
}

TEST(MosquittoBrokerTest, FrozenBrokerKeepsLinksButAnswersNothingUntilThawed)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(broker.Freeze());
    RawTcpClient client;
    ASSERT_TRUE(client.Connect(broker.Port())) << "the kernel still accepts the link";
    MqttWire::ConnectFields connect;
    connect.clientId = "frozen";
    ASSERT_TRUE(client.Send(MqttWire::Connect(connect)));
    EXPECT_FALSE(client.ReadPacket(std::chrono::milliseconds{200}));
    ASSERT_TRUE(broker.Thaw());
    const auto connack = client.ReadPacket();
    ASSERT_TRUE(connack);
    EXPECT_EQ(connack->Type(), MqttWire::CONNACK);

    broker.Kill();
    EXPECT_FALSE(broker.IsRunning());
    EXPECT_TRUE(client.WaitForClose());
}
