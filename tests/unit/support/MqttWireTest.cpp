#include "support/MqttWire.h"

#include <gtest/gtest.h>

using namespace MqttWire;

TEST(MqttWireTest, RemainingLengthUsesSevenBitGroupsLeastSignificantFirst)
{
    const std::pair<uint64_t, Bytes> cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {16383, {0xFF, 0x7F}},
        {16384, {0x80, 0x80, 0x01}},
        {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
        {268435456, {0x80, 0x80, 0x80, 0x80, 0x01}},
    };
    for (const auto& [length, encoded] : cases)
        EXPECT_EQ(EncodeLength(length), encoded) << length;
}

TEST(MqttWireTest, TakePacketWaitsForWholePacketsAndRefusesFiveLengthBytes)
{
    Bytes input = Publish("a/b", "hello", 1, true, 7);
    const Bytes whole = input;
    const Bytes next = Pingresp();
    input.insert(input.end(), next.begin(), next.end());

    for (size_t cut = 0; cut < whole.size(); ++cut)
    {
        Bytes partial(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        Packet packet;
        EXPECT_EQ(TakePacket(partial, &packet), ParseStatus::NeedMore) << cut;
    }
    Packet packet;
    ASSERT_EQ(TakePacket(input, &packet), ParseStatus::Complete);
    const auto publish = ParsePublish(packet);
    ASSERT_TRUE(publish);
    EXPECT_EQ(publish->topic, "a/b");
    EXPECT_EQ(publish->payload, "hello");
    EXPECT_EQ(publish->qos, 1);
    EXPECT_TRUE(publish->retain);
    EXPECT_EQ(publish->packetId, 7);
    ASSERT_EQ(TakePacket(input, &packet), ParseStatus::Complete);
    EXPECT_EQ(packet.Type(), PINGRESP);
    EXPECT_TRUE(packet.body.empty());
    EXPECT_TRUE(input.empty());

    Bytes malformed{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    EXPECT_EQ(TakePacket(malformed, &packet), ParseStatus::Malformed);
}

TEST(MqttWireTest, ConnectFieldsFollowTheFlags)
{
    ConnectFields fields;
    fields.protocolName = "MQIsdp";
    fields.level = 3;
    fields.flags = 0; // keep the session
    fields.keepAlive = 0x1234;
    fields.clientId = "client";
    fields.willTopic = "will/topic";
    fields.willMessage = "gone";
    fields.password = "secret"; // without a user name
    Bytes wire = Connect(fields);
    Packet packet;
    ASSERT_EQ(TakePacket(wire, &packet), ParseStatus::Complete);
    // Flags: password (bit 6) and will with QoS 1 (0x0C); no user, no clean session.
    ASSERT_GE(packet.body.size(), 10u);
    EXPECT_EQ(packet.body[9], 0x4C);
    const auto parsed = ParseConnect(packet);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->protocolName, "MQIsdp");
    EXPECT_EQ(parsed->level, 3);
    EXPECT_EQ(parsed->keepAlive, 0x1234);
    EXPECT_EQ(parsed->clientId, "client");
    EXPECT_EQ(parsed->willTopic, "will/topic");
    EXPECT_EQ(parsed->willMessage, "gone");
    EXPECT_FALSE(parsed->user);
    EXPECT_EQ(parsed->password, "secret");

    packet.body.pop_back();
    EXPECT_FALSE(ParseConnect(packet)) << "a cut-short body is refused";
}

TEST(MqttWireTest, AcknowledgementsCarryTheirIdentifier)
{
    const std::pair<PacketType, uint8_t> cases[] = {
        {PUBACK, 0x40}, {PUBREC, 0x50}, {PUBREL, 0x62}, {PUBCOMP, 0x70}, {UNSUBACK, 0xB0},
    };
    for (const auto& [type, header] : cases)
    {
        EXPECT_EQ(Ack(type, 0x0102), (Bytes{header, 0x02, 0x01, 0x02})) << int(type);
        Bytes wire = Ack(type, 0xBEEF);
        Packet packet;
        ASSERT_EQ(TakePacket(wire, &packet), ParseStatus::Complete);
        EXPECT_EQ(PacketId(packet), 0xBEEF);
    }
    EXPECT_EQ(Suback(5, {0, 1, 0x80}), (Bytes{0x90, 0x05, 0x00, 0x05, 0x00, 0x01, 0x80}));
    EXPECT_EQ(Connack(5), (Bytes{0x20, 0x02, 0x00, 0x05}));
}
