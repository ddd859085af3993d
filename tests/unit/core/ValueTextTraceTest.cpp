#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "LoggerTestSupport.h"
#include "ValueTestSupport.h"
#include "core/IOTrace.h"

namespace
{

// A value stamped on a fixed past day, so its text does not depend on today.
void Stamp(HVALUE v)
{
    TIMEX x{2020, 1, 2, 3, 4, 5, 0, 0, 0};
    TIME t{};
    hvTimeXToTime(&x, &t);
    hvSetTimestampTime(v, &t);
}
constexpr const char* StampText = "(2020.01.02 03:04:05) ";

TagRequest Request(uint16_t operation, uint16_t n1, uint16_t n2, uint16_t n3, uint16_t n4)
{
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = operation;
    r.n1 = n1;
    r.n2 = n2;
    r.n3 = n3;
    r.n4 = n4;
    return r;
}

TEST(RequestAddressTest, Notation)
{
    struct SCase
    {
        const char* expected;
        TagRequest request;
        const char16_t* device;
        const char16_t* item;
    };
    TagRequest block = Request(IO_OP_READ_BLOCK, 1, 0, 0, 0);
    block.size = 10;
    TagRequest element = Request(IO_OP_WRITE_BLOCK_ELEMENT, 1, 0, 0, 0);
    element.size = 10;
    element.first = 3;
    TagRequest masked = Request(IO_OP_MASK_WRITE_BLOCK_ELEMENT, 1, 2, 3, 4);
    masked.size = 4;
    masked.first = 1;
    masked.andMask = 0xFF;
    masked.orMask = 0x1;
    const SCase cases[] = {
        {"1.2.3.4", Request(IO_OP_READ_VALUE, 1, 2, 3, 4), nullptr, nullptr},
        {"0.0.0.0", Request(IO_OP_READ_VALUE, 0, 0, 0, 0), u"", u""},
        {"65535.0.0.0", Request(IO_OP_READ_VALUE, 0xFFFF, 0, 0, 0), nullptr, nullptr},
        {"'a/b'", Request(IO_OP_READ_VALUE, 0, 0, 0, 0), nullptr, u"a/b"},
        {"'a/b'0.0.0.7", Request(IO_OP_READ_VALUE, 0, 0, 0, 7), nullptr, u"a/b"},
        {"{dev}''", Request(IO_OP_READ_VALUE, 0, 0, 0, 0), u"dev", nullptr},
        {"{dev}'t\u00e9'", Request(IO_OP_READ_VALUE, 0, 0, 0, 0), u"dev", u"t\u00e9"},
        {"1.0.0.0[10]", block, nullptr, nullptr},
        {"1.0.0.0[10].3", element, nullptr, nullptr},
        {"1.2.3.4[4].1;and=00FF;or=0001", masked, nullptr, nullptr},
    };
    for (SCase c : cases)
    {
        c.request.device = c.device;
        c.request.item = c.item;
        EXPECT_EQ(c.expected, RequestAddressText(c.request));
    }

    TagRequest withObject = Request(IO_OP_READ_VALUE, 1, 0, 0, 0);
    int object = 0;
    withObject.tagObject = reinterpret_cast<IIOUnknown*>(&object);
    char expected[64];
    std::snprintf(expected, sizeof(expected), "1.0.0.0.Blob:%p", static_cast<void*>(&object));
    EXPECT_EQ(expected, RequestAddressText(withObject));
}

TEST(RequestAddressTest, ValidatedTagsAndSubscriptions)
{
    TagInfo info{};
    info.n1 = 2;
    info.size = 1;
    EXPECT_EQ("{d}'i'2.0.0.0", TagAddressText(u"d", u"i", info));
    info.size = 8;
    EXPECT_EQ("{d}'i'2.0.0.0[8]", TagAddressText(u"d", u"i", info));
    EXPECT_EQ("'topic/x'", SubscriptionAddressText("", "topic/x", STagAddress{}, 0));
    EXPECT_EQ("{dev}'x'[3]", SubscriptionAddressText("dev", "x", STagAddress{}, 3));
}

TEST(RequestAddressTest, OperationNames)
{
    EXPECT_STREQ("ReadValue", OperationName(IO_OP_READ_VALUE));
    EXPECT_STREQ("MaskWriteBlockElement", OperationName(IO_OP_MASK_WRITE_BLOCK_ELEMENT));
    EXPECT_EQ(nullptr, OperationName(99));
}

class IOTraceTest : public ::testing::Test
{
protected:
    std::vector<std::string> Trace(const TagRequest& request, HRESULT status, double seconds)
    {
        CIOTrace trace(&m_owner, request);
        trace.Finish(status, seconds);
        std::vector<std::string> lines = m_log.Messages("TAG");
        std::vector<std::string> fresh(lines.begin() + long(m_seen), lines.end());
        m_seen = lines.size();
        return fresh;
    }

    CLogCapture m_log;
    TIOApi m_owner{m_log.Globals()};
    size_t m_seen = 0;
};

TEST_F(IOTraceTest, RequestTextNamesTheOperationAndTheWrittenValue)
{
    TagRequest read = Request(IO_OP_READ_VALUE, 1, 2, 3, 4);
    EXPECT_EQ("Tag(1.2.3.4).ReadValue", CIOTrace(&m_owner, read).RequestText());
    TagRequest unknown = Request(64, 1, 2, 3, 4);
    EXPECT_EQ("Tag(1.2.3.4).<unknown driver service(64,0040)>", CIOTrace(&m_owner, unknown).RequestText());
    Value v;
    hvSetI32(v, 7);
    Stamp(v);
    TagRequest write = Request(IO_OP_WRITE_VALUE, 1, 2, 3, 4);
    write.value = v;
    EXPECT_EQ(std::string("Tag(1.2.3.4).WriteValue ") + StampText + "7", CIOTrace(&m_owner, write).RequestText());
}

TEST_F(IOTraceTest, ReadsAndTheirErrors)
{
    Value v;
    hvSetR64(v, 2.5);
    Stamp(v);
    TagRequest read = Request(IO_OP_READ_VALUE, 1, 2, 3, 4);
    read.value = v;
    EXPECT_EQ(std::vector<std::string>{std::string("<== (0.012) Tag(1.2.3.4).ReadValue = ") + StampText + "2.5"},
              Trace(read, S_OK, 0.0123));
    EXPECT_EQ(std::vector<std::string>{"<== (1.500) Tag(1.2.3.4).ReadValue = ERROR (hr=80004005)"},
              Trace(read, E_FAIL, 1.5));

    TagRequest framework = Request(IO_OP_READ_VALUE, 0xFFFF, 0, 0, 0);
    framework.value = v;
    EXPECT_TRUE(Trace(framework, S_OK, 0.01).empty()) << "a quick framework read leaves no line";
    EXPECT_EQ(1u, Trace(framework, S_OK, 0.1).size());
}

TEST_F(IOTraceTest, ListReads)
{
    Value list;
    hvMakeList(list, 3);
    TagRequest read = Request(IO_OP_READ_VALUE, 0xFFFF, 0, 5, 0);
    read.value = list;
    EXPECT_TRUE(Trace(read, S_OK, 0).empty()) << "an empty list leaves no line";

    Value entry;
    Stamp(entry);
    hvSetText(entry, "e0");
    hvListAppend(list, entry);
    EXPECT_EQ(std::vector<std::string>{std::string("<== (0.000) Tag(65535.0.5.0).ReadValue = list(1) ") + StampText +
                                       "'e0'"},
              Trace(read, S_OK, 0));

    hvSetText(entry, "e1");
    hvListAppend(list, entry);
    EXPECT_EQ((std::vector<std::string>{"<== (0.000) Tag(65535.0.5.0).ReadValue = list(2)",
                                        std::string("    - list[0] ") + StampText + "'e0'",
                                        std::string("    - list[1] ") + StampText + "'e1'"}),
              Trace(read, S_OK, 0));
}

TEST_F(IOTraceTest, WritesWithAndWithoutStatusText)
{
    Value v, status;
    hvSetI32(v, 7);
    Stamp(v);
    TagRequest write = Request(IO_OP_WRITE_VALUE, 1, 0, 0, 0);
    write.value = v;
    const std::string head = std::string("Tag(1.0.0.0).WriteValue ") + StampText + "7";
    write.status = status; // null-typed: no status text
    EXPECT_EQ(std::vector<std::string>{"==> (0.000) " + head + " = SUCCESS"}, Trace(write, S_OK, 0));
    EXPECT_EQ(std::vector<std::string>{"==> (0.000) " + head + " = ERROR (hr=8004E012)"},
              Trace(write, IO_E_NOT_CONNECTED, 0));

    hvSetText(status, "done");
    Stamp(status);
    EXPECT_EQ(std::vector<std::string>{"==> (0.000) " + head + " = SUCCESS (status = " + StampText + "'done')"},
              Trace(write, S_OK, 0));
    EXPECT_EQ(std::vector<std::string>{"==> (2.000) " + head + " = ERROR (hr=80070057) (status = " + StampText +
                                       "'done')"},
              Trace(write, E_INVALIDARG, 2));
}
} // namespace
