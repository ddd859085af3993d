#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ValueTestSupport.h"
#include "core/ValueText.h"

namespace
{

constexpr TIMEX Today{2026, 12, 9, 0, 0, 0, 0, 0, 0};

TIME At(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute, uint8_t second, uint16_t ms)
{
    TIMEX x{year, month, day, hour, minute, second, ms, 0, 0};
    TIME t{};
    EXPECT_TRUE(hvTimeXToTime(&x, &t));
    return t;
}

std::string TextOf(HVALUE v, uint32_t options)
{
    CTextBuilder out(ValueTextCapacity, options);
    out.SetToday(Today);
    AppendValueText(out, v);
    return out.Finish();
}

struct SBodyCase
{
    const char* expected;
    std::function<void(HVALUE)> fill;
};

TEST(ValueTextTest, EveryScalarTypeHasItsNotation)
{
    const SBodyCase cases[] = {
        {"null", [](HVALUE) {}},
        {"-5", [](HVALUE v) { hvSetI8(v, -5); }},
        {"200", [](HVALUE v) { hvSetU8(v, 200); }},
        {"-300", [](HVALUE v) { hvSetI16(v, -300); }},
        {"65535", [](HVALUE v) { hvSetU16(v, 65535); }},
        {"-2147483648", [](HVALUE v) { hvSetI32(v, INT32_MIN); }},
        {"4000000000", [](HVALUE v) { hvSetU32(v, 4000000000u); }},
        {"0.1", [](HVALUE v) { hvSetR32(v, 0.1f); }},
        {"0.1", [](HVALUE v) { hvSetR64(v, 0.1); }},
        {"3.14159265358979", [](HVALUE v) { hvSetR64(v, 3.14159265358979323); }},
        {"'abc'", [](HVALUE v) { hvSetText(v, "abc"); }},
        {"''", [](HVALUE v) { hvSetText(v, ""); }},
        {"'x'",
         [](HVALUE v) {
             Value inner;
             hvSetText(inner, "x");
             hvSetNestedValue(v, inner);
         }},
        {"12:30:00.250",
         [](HVALUE v) {
             const TIME t = At(2026, 12, 9, 12, 30, 0, 250);
             hvSetTimeValue(v, &t);
         }},
        {"list(0) { }", [](HVALUE v) { hvMakeList(v, 0); }},
        {"list(2) { 1, 'two' }",
         [](HVALUE v) {
             hvMakeList(v, 2);
             Value a, b;
             hvSetI32(a, 1);
             hvSetText(b, "two");
             hvListAppend(v, a);
             hvListAppend(v, b);
         }},
    };
    for (const SBodyCase& c : cases)
    {
        Value v;
        c.fill(v);
        EXPECT_EQ(c.expected, TextOf(v, VALUE_TEXT_PLAIN)) << c.expected;
    }
}

TEST(ValueTextTest, NullHandleIsNullEverywhere)
{
    for (uint32_t options : {0u, VALUE_TEXT_PLAIN, VALUE_TEXT_PLAIN | VALUE_TEXT_COMPACT})
        EXPECT_EQ("<null>", TextOf(nullptr, options));
    EXPECT_EQ("<null>", ValueText(nullptr));
}

TEST(ValueTextTest, ArraysInTheThreeOptionForms)
{
    Value array;
    hvMakeArray(array, HV_I32, 3);
    for (uint16_t i = 0; i < 3; ++i)
        hvSetElementI32(array, i, i + 1);
    const TIME t = At(2026, 12, 9, 8, 0, 0, 0);
    hvSetTimestampTime(array, &t);
    EXPECT_EQ("(08:00:00) array(3;I32) {1,2,3}", TextOf(array, 0));
    EXPECT_EQ("array(3;I32) {1,2,3}", TextOf(array, VALUE_TEXT_PLAIN));
    EXPECT_EQ("{1,2,3}", TextOf(array, VALUE_TEXT_PLAIN | VALUE_TEXT_COMPACT));

    Value texts;
    hvMakeArray(texts, HV_STR, 2);
    hvSetElementText(texts, 0, "a");
    EXPECT_EQ("array(2;STR) {'a',''}", TextOf(texts, VALUE_TEXT_PLAIN));

    Value values;
    hvMakeArray(values, HV_HVAL, 2);
    Value r;
    hvSetR64(r, 2.5);
    hvSetElementValue(values, 0, r);
    EXPECT_EQ("array(2;HVAL) {2.5,null}", TextOf(values, VALUE_TEXT_PLAIN));
}

TEST(ValueTextTest, ListEntriesCarryTheirOwnPrefix)
{
    Value list;
    hvMakeList(list, 1);
    Value entry;
    hvSetU32(entry, 9);
    hvSetQuality(entry, 0);
    const TIME t = At(2025, 1, 2, 3, 4, 5, 6);
    hvSetTimestampTime(entry, &t);
    hvListAppend(list, entry);
    const TIME now = At(2026, 12, 9, 1, 0, 0, 0);
    hvSetTimestampTime(list, &now);
    EXPECT_EQ("(01:00:00) list(1) { (0; 2025.01.02 03:04:05.006) 9 }", TextOf(list, 0));
}

TEST(ValueTextTest, QualityAndTimePrefix)
{
    struct
    {
        uint8_t quality;
        TIME time;
        const char* expected;
    } cases[] = {
        {192, At(2026, 12, 9, 10, 0, 0, 0), "(10:00:00) 'abc'"},
        {0, At(2026, 12, 9, 10, 0, 0, 0), "(0; 10:00:00) 'abc'"},
        {64, At(2026, 12, 9, 23, 59, 59, 999), "(64; 23:59:59.999) 'abc'"},
        {192, At(2026, 12, 8, 10, 0, 0, 0), "(2026.12.08 10:00:00) 'abc'"},
        {192, At(1999, 1, 2, 3, 4, 5, 60), "(1999.01.02 03:04:05.060) 'abc'"},
    };
    for (const auto& c : cases)
    {
        Value v;
        hvSetText(v, "abc");
        hvSetQuality(v, c.quality);
        hvSetTimestampTime(v, &c.time);
        EXPECT_EQ(c.expected, TextOf(v, 0));
    }
}

TEST(ValueTextTest, TimestampIsRoundedToTheMillisecond)
{
    Value v;
    hvSetI32(v, 1);
    const TIME t = At(2026, 12, 9, 10, 0, 0, 0);
    hvSetTimestamp(v, t.seconds + 0.1236);
    EXPECT_EQ("(10:00:00.124) 1", TextOf(v, 0));
}

TEST(ValueTextTest, OverlongTextEndsInEllipsis)
{
    Value v;
    const std::string big(3000, 'x');
    hvSetText(v, big.c_str());
    const std::string text = ValueText(v, VALUE_TEXT_PLAIN);
    ASSERT_EQ(ValueTextCapacity - 1, text.size());
    EXPECT_EQ("'" + std::string(ValueTextCapacity - 5, 'x') + "...", text);

    const std::string fits(ValueTextCapacity - 3, 'y'); // exactly fills with the two quotes
    hvSetText(v, fits.c_str());
    EXPECT_EQ("'" + fits + "'", ValueText(v, VALUE_TEXT_PLAIN));
}

TEST(TextBuilderTest, AppendThatDoesNotFitFillsAndFails)
{
    CTextBuilder out(6);
    EXPECT_TRUE(out.Append("ab"));
    EXPECT_TRUE(out.Format("%d", 12));
    EXPECT_FALSE(out.Append("xyz"));
    EXPECT_FALSE(out.Append("more"));
    EXPECT_TRUE(out.Truncated());
    EXPECT_EQ("ab...", out.Finish());

    CTextBuilder tiny(3);
    tiny.Append("abc");
    EXPECT_EQ("ab", tiny.Finish()) << "two characters are too few for the ellipsis";
}

TEST(ValueTextTest, TypeNames)
{
    const char* names[] = {"null", "I8", "U8", "I16", "U16", "I32", "U32", "R32", "R64", "STR", "HVAL", "TIME", "LIST"};
    for (uint32_t t = 0; t < std::size(names); ++t)
        EXPECT_STREQ(names[t], ValueTypeName(t));
    EXPECT_STREQ("?TYPE?", ValueTypeName(13));
}
} // namespace
