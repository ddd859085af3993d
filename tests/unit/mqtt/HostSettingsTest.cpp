// The MQTT host's settings with their defaults and clamps, and its pure session decisions:
// the keep-alive schedule, the CONNACK texts and the agent-topic rule.
#include "core/ConfigData.h"
#include "mqtt/MQTTHost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace
{
SMQTTHostSettings Load(const std::function<void(CConfigData&)>& fill)
{
    CConfigData store(nullptr);
    fill(store);
    SMQTTHostSettings settings;
    EXPECT_EQ(MQTTLoadHostSettings(store, "client-7", settings), S_OK);
    return settings;
}
} // namespace

TEST(HostSettingsTest, EmptyConfigurationGivesTheDefaults)
{
    const SMQTTHostSettings s = Load([](CConfigData&) {});
    EXPECT_EQ(s.session.clientId, "client-7");
    EXPECT_EQ(s.keepAliveSeconds, 5u);
    EXPECT_EQ(s.session.keepAliveSeconds, 5u);
    EXPECT_EQ(s.items.resendSubscriptionSeconds, 40u);
    EXPECT_EQ(s.items.maxRequests, 50u);
    EXPECT_FALSE(s.session.useSession);
    EXPECT_FALSE(s.session.hasWill);
    EXPECT_FALSE(s.session.retain);
    EXPECT_EQ(s.session.publishQoS, 0);
    EXPECT_EQ(s.session.readQoS, 0);
    EXPECT_TRUE(s.session.user.empty());
    EXPECT_FALSE(s.items.useLastWillForQuality);
    EXPECT_EQ(s.items.writeDeadbandFraction, 0.0);
    EXPECT_FALSE(s.useAgents);
    EXPECT_FALSE(s.useDynamicSecurity);
}

struct ClampCase
{
    const char* key;
    int32_t stored;
    uint32_t expected;
};

class HostClampTest : public testing::TestWithParam<ClampCase>
{
};

TEST_P(HostClampTest, IntegerSettingsAreClamped)
{
    const ClampCase& c = GetParam();
    const SMQTTHostSettings s = Load([&](CConfigData& store) { store.SetI32(c.key, c.stored); });
    const std::string key = c.key;
    if (key == "MQTT.KeepAlive")
    {
        EXPECT_EQ(s.keepAliveSeconds, c.expected);
        EXPECT_EQ(s.session.keepAliveSeconds, c.expected);
    }
    else if (key == "MQTT.ResendSubscripionTimeout")
        EXPECT_EQ(s.items.resendSubscriptionSeconds, c.expected);
    else if (key == "MQTT.MaxRequests")
        EXPECT_EQ(s.items.maxRequests, c.expected);
    else if (key == "MQTT.PublishQoS")
        EXPECT_EQ(s.session.publishQoS, c.expected);
    else
        EXPECT_EQ(s.session.readQoS, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clamps, HostClampTest,
    testing::Values(ClampCase{"MQTT.KeepAlive", 1, 2}, ClampCase{"MQTT.KeepAlive", 0, 2},
                    ClampCase{"MQTT.KeepAlive", 2, 2}, ClampCase{"MQTT.KeepAlive", 60, 60},
                    // Negative values compare as large unsigned ones; the 16-bit CONNECT field caps them.
                    ClampCase{"MQTT.KeepAlive", -1, 65535}, ClampCase{"MQTT.KeepAlive", 70000, 65535},
                    ClampCase{"MQTT.ResendSubscripionTimeout", 5, 10},
                    ClampCase{"MQTT.ResendSubscripionTimeout", 10, 10},
                    ClampCase{"MQTT.ResendSubscripionTimeout", 90, 90}, ClampCase{"MQTT.MaxRequests", 0, 1},
                    ClampCase{"MQTT.MaxRequests", 1, 1}, ClampCase{"MQTT.MaxRequests", 20, 20},
                    ClampCase{"MQTT.MaxRequests", 80, 50}, ClampCase{"MQTT.MaxRequests", -3, 50},
                    ClampCase{"MQTT.PublishQoS", 1, 1}, ClampCase{"MQTT.PublishQoS", 2, 2},
                    ClampCase{"MQTT.PublishQoS", 3, 2}, ClampCase{"MQTT.ReadQoS", 2, 2},
                    ClampCase{"MQTT.ReadQoS", 9, 2}));

TEST(HostSettingsTest, TextsSwitchesAndDeadbandAreRead)
{
    const SMQTTHostSettings s = Load([](CConfigData& store) {
        store.SetText("MQTT.User", "operator");
        store.SetText("MQTT.Password", "secret");
        store.SetText("MQTT.WillTopic", "plant/status");
        store.SetText("MQTT.WillMessage", "offline");
        store.SetI32("MQTT.HasWill", 1);
        store.SetI32("MQTT.Retain", 1);
        store.SetI32("MQTT.UseSession", 1);
        store.SetI32("MQTT.UseLastWillForQuality", 1);
        store.SetI32("MQTT.UseMosquittoDynSec", 1);
        HVALUE deadband = hvCreate();
        hvSetR64(deadband, -5.0);
        store.Put("MQTT.WriteDeadBand", deadband);
        hvRelease(deadband);
    });
    EXPECT_EQ(s.session.user, "operator");
    EXPECT_EQ(s.session.password, "secret");
    EXPECT_EQ(s.session.willTopic, "plant/status");
    EXPECT_EQ(s.session.willMessage, "offline");
    EXPECT_EQ(s.items.willMessage, "offline");
    EXPECT_TRUE(s.session.hasWill);
    EXPECT_TRUE(s.session.retain);
    EXPECT_TRUE(s.session.useSession);
    EXPECT_TRUE(s.items.useLastWillForQuality);
    EXPECT_TRUE(s.useDynamicSecurity);
    EXPECT_DOUBLE_EQ(s.items.writeDeadbandFraction, 0.05);
}

TEST(HostSettingsTest, UnconvertibleValuesKeepTheirDefaults)
{
    const SMQTTHostSettings s = Load([](CConfigData& store) {
        store.SetText("MQTT.KeepAlive", "soon");
        store.SetText("MQTT.MaxRequests", "many");
        store.SetText("MQTT.WriteDeadBand", "wide");
    });
    EXPECT_EQ(s.keepAliveSeconds, 5u);
    EXPECT_EQ(s.items.maxRequests, 50u);
    EXPECT_EQ(s.items.writeDeadbandFraction, 0.0);
}

struct KeepAliveCase
{
    bool pingOutstanding;
    uint32_t reference;
    uint32_t now;
    EMQTTKeepAlive expected;
};

class HostKeepAliveTest : public testing::TestWithParam<KeepAliveCase>
{
};

// Keep-alive 10 s: a ping at 10 s after the reference, the session dead at 15 s.
TEST_P(HostKeepAliveTest, ScheduleFollowsTheReferenceTime)
{
    const KeepAliveCase& c = GetParam();
    EXPECT_EQ(MQTTKeepAliveStep(c.pingOutstanding, c.reference, c.now, 10), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Schedule, HostKeepAliveTest,
    testing::Values(KeepAliveCase{false, 1000, 1000, EMQTTKeepAlive::Alive},
                    KeepAliveCase{false, 1000, 10999, EMQTTKeepAlive::Alive},
                    KeepAliveCase{false, 1000, 11000, EMQTTKeepAlive::SendPing},
                    KeepAliveCase{true, 1000, 11000, EMQTTKeepAlive::Alive},
                    KeepAliveCase{true, 1000, 15999, EMQTTKeepAlive::Alive},
                    KeepAliveCase{true, 1000, 16000, EMQTTKeepAlive::Expired},
                    // Across the wrap of the 32-bit tick.
                    KeepAliveCase{false, 0xFFFFF000u, 0x00001000u, EMQTTKeepAlive::Alive},
                    KeepAliveCase{false, 0xFFFFF000u, 0x00002000u, EMQTTKeepAlive::SendPing},
                    KeepAliveCase{true, 0xFFFFF000u, 0x00003A98u, EMQTTKeepAlive::Expired}));

TEST(HostSessionTest, ConnAckTextsFollowTheReturnCode)
{
    const struct
    {
        uint8_t code;
        const char* text;
    } cases[] = {
        {0, "Connection Accepted!"},
        {1, "Connection Refused, unacceptable protocol version!"},
        {2, "Connection Refused, identifier rejected!"},
        {3, "Connection Refused, server unavailable!"},
        {4, "Connection Refused, bad user name or password!"},
        {5, "Connection Refused, not authorized!"},
        {7, "Unknown Code 7!"},
        {255, "Unknown Code 255!"},
    };
    for (const auto& c : cases)
    {
        char buffer[32];
        EXPECT_STREQ(MQTTConnAckText(c.code, buffer), c.text) << int(c.code);
    }
}

TEST(HostSessionTest, AgentTopicsNeedAKeywordFollowedByASlash)
{
    const std::vector<std::string> keywords = {"agent", "velora"};
    const struct
    {
        const char* topic;
        bool agent;
    } cases[] = {
        {"pump7/agent/orders", true},
        {"agent/orders", true},
        {"plant/agent", false},     // nothing after the keyword
        {"plant/temp", false},      // no keyword at all
        {"veloraX/files", true},    // the slash need not follow at once
        {"agentless", false},       // the first keyword occurs and decides: no slash after it
        {"agentless/velora/x", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MQTTIsAgentTopic(keywords, c.topic), c.agent) << c.topic;
    EXPECT_FALSE(MQTTIsAgentTopic({}, "agent/orders"));
}
