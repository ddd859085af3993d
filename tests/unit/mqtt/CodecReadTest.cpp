// Cutting packets off an input stream, and the field readers over received packets.
#include "CodecTestDoubles.h"
#include "mqtt/MQTTCodec.h"
#include "mqtt/MQTTPacket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
using ::testing::ElementsAreArray;

Bytes WithBody(Bytes head, uint32_t size)
{
    Bytes packet = std::move(head);
    for (uint32_t i = 0; i < size; ++i)
        packet.push_back(uint8_t(i * 7));
    return packet;
}

struct ReadCase
{
    const char* name;
    Bytes wire;
};

TEST(CodecReadTest, WholePacketsStayInTheBuffer)
{
    const std::vector<ReadCase> cases = {
        {"PINGRESP, no body", {0xD0, 0x00}},
        {"PUBACK", {0x40, 0x02, 0x00, 0x07}},
        {"PUBLISH", Concat({{0x30, 0x05}, Field("t"), Text("on")})},
        {"127-byte body", WithBody({0x30, 0x7F}, 127)},
        {"two length bytes", WithBody({0x30, 0x80, 0x01}, 128)},
        {"three length bytes", WithBody({0x30, 0x80, 0x80, 0x01}, 16384)},
        {"body larger than the first read step", WithBody({0x30, 0xA0, 0x8D, 0x06}, 100000)},
    };
    TIOPtr<CRecordingLogger> logger = CRecordingLogger::Create();
    for (const ReadCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        // A trailing packet must stay unread: the reader never takes more than one packet.
        TIOPtr<CDryingStream> stream = CDryingStream::Create(Concat({c.wire, {0xC0, 0x00}}));
        CBuffer packet;
        ASSERT_EQ(MQTTReadPacket(stream.Get(), packet, logger.Get()), S_OK);
        EXPECT_EQ(ToBytes(packet), c.wire);
        EXPECT_EQ(stream->Position(), c.wire.size());
    }
    EXPECT_TRUE(logger->Lines().empty());
}

TEST(CodecReadTest, DatagramStreamServesOnePacket)
{
    const Bytes wire = Concat({{0x32, 0x07}, Field("a/b"), {0x00, 0x05}});
    TIOPtr<CDatagramInputStream> stream = CDatagramInputStream::Create(ToBuffer(wire));
    ASSERT_TRUE(stream);
    CBuffer packet;
    ASSERT_EQ(MQTTReadPacket(stream.Get(), packet, nullptr), S_OK);
    EXPECT_EQ(ToBytes(packet), wire);
    EXPECT_EQ(stream->Position(), wire.size());
}

TEST(CodecReadTest, FiveLengthBytesAreRefused)
{
    TIOPtr<CRecordingLogger> logger = CRecordingLogger::Create();
    TIOPtr<CDryingStream> stream = CDryingStream::Create({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x55});
    CBuffer packet;
    EXPECT_EQ(MQTTReadPacket(stream.Get(), packet, logger.Get()), E_FAIL);
    EXPECT_TRUE(logger->Has("MQTT Packet Size is too big!"));
    EXPECT_EQ(stream->Position(), 6u);
}

TEST(CodecReadTest, StreamFailuresAreReturnedAsTheyAre)
{
    const std::vector<ReadCase> cases = {
        {"nothing at all", {}},
        {"header byte only", {0x30}},
        {"length field cut short", {0x30, 0x80}},
        {"body cut short", {0x30, 0x05, 0x00, 0x01, 't'}},
    };
    for (const ReadCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        TIOPtr<CDryingStream> stream = CDryingStream::Create(c.wire);
        CBuffer packet;
        EXPECT_EQ(MQTTReadPacket(stream.Get(), packet, nullptr), IO_E_READ_TIMEOUT);
    }
}

TEST(CodecReadTest, MissingStreamIsLogged)
{
    TIOPtr<CRecordingLogger> logger = CRecordingLogger::Create();
    CBuffer packet;
    EXPECT_EQ(MQTTReadPacket(nullptr, packet, logger.Get()), E_POINTER);
    EXPECT_TRUE(logger->Has("sgetc failed, input stream is not available (hr=80004003)!"));
}

TEST(CodecReadTest, FieldReadersStopAtTheEnd)
{
    CBuffer buffer = ToBuffer(Concat({{0x30, 0x80, 0x01}, Field("ab"), {0x12}}));
    CMQTTReader reader(buffer);
    reader.SkipRemainingLength();
    EXPECT_EQ(reader.Position(), 3u);
    EXPECT_EQ(reader.ReadString(), "ab");
    // One byte left: a 16-bit read yields 0 and does not move.
    EXPECT_EQ(reader.ReadU16(), 0);
    EXPECT_EQ(reader.Position(), 7u);
    EXPECT_TRUE(buffer.HasError());
    EXPECT_EQ(reader.ReadByte(), 0x12);
    EXPECT_EQ(reader.ReadByte(), 0);
    EXPECT_EQ(buffer.Length(), 8u) << "reading never grows the buffer";
}

TEST(CodecReadTest, TextLongerThanThePacketKeepsWhatIsThere)
{
    CBuffer buffer = ToBuffer({0x00, 0x09, 'a', 'b'});
    CMQTTReader reader(buffer);
    EXPECT_EQ(reader.ReadString(), "ab");
    EXPECT_TRUE(reader.Failed());
    EXPECT_TRUE(reader.AtEnd());
}

TEST(CodecReadTest, SkipRemainingLengthStepsOverAtMostFourBytes)
{
    CBuffer buffer = ToBuffer({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02});
    CMQTTReader reader(buffer);
    reader.SkipRemainingLength();
    EXPECT_EQ(reader.Position(), 5u);
}

TEST(CodecReadTest, PublishFields)
{
    struct Case
    {
        Bytes wire;
        bool complete;
        std::string topic;
        uint16_t id;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {Concat({{0x30, 0x05}, Field("t"), Text("on")}), true, "t", 0, "on"},
        {Concat({{0x3B, 0x07}, Field("t"), {0x01, 0x02}, Text("on")}), true, "t", 0x0102, "on"},
        {Concat({{0x34, 0x03}, Field("t")}), false, "t", 0, ""},
        {{0x30, 0x00}, false, "", 0, ""},
    };
    for (const Case& c : cases)
    {
        CMQTTPacket packet;
        packet.buffer = ToBuffer(c.wire);
        packet.header = c.wire[0];
        SMQTTPublish publish;
        EXPECT_EQ(MQTTParsePublish(packet, publish), c.complete);
        EXPECT_EQ(publish.topic, c.topic);
        EXPECT_EQ(publish.packetId, c.id);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(publish.payload), publish.payloadLength),
                  c.payload);
    }
}
} // namespace
