// Scalars, numeric conversion, texts and type changes.
#include "ValueTestSupport.h"

#include <cmath>
#include <cstring>
#include <limits>

TEST(ValueScalar, NumericGetsConvertTruncateAndClamp)
{
    struct Case
    {
        const char* what;
        void (*set)(HVALUE);
        int32_t i32;
        uint32_t u32;
        uint8_t u8;
        int8_t i8;
        int16_t i16;
        uint16_t u16;
        double r64;
    };
    const Case cases[] = {
        {"I32 -1", [](HVALUE v) { hvSetI32(v, -1); }, -1, 0, 0, -1, -1, 0, -1.0},
        {"U32 max", [](HVALUE v) { hvSetU32(v, 4294967295u); }, 2147483647, 4294967295u, 255, 127, 32767,
         65535, 4294967295.0},
        {"R64 -2.9", [](HVALUE v) { hvSetR64(v, -2.9); }, -2, 0, 0, -2, -2, 0, -2.9},
        {"R64 300.7", [](HVALUE v) { hvSetR64(v, 300.7); }, 300, 300, 255, 127, 300, 300, 300.7},
        {"R64 1e20", [](HVALUE v) { hvSetR64(v, 1e20); }, 2147483647, 4294967295u, 255, 127, 32767, 65535,
         1e20},
        {"R64 -1e20", [](HVALUE v) { hvSetR64(v, -1e20); }, -2147483647 - 1, 0, 0, -128, -32768, 0, -1e20},
        {"R32 2.5", [](HVALUE v) { hvSetR32(v, 2.5f); }, 2, 2, 2, 2, 2, 2, 2.5},
        {"I8 -128", [](HVALUE v) { hvSetI8(v, -128); }, -128, 0, 0, -128, -128, 0, -128.0},
        {"U16 40000", [](HVALUE v) { hvSetU16(v, 40000); }, 40000, 40000, 255, 127, 32767, 40000, 40000.0},
        {"I16 -300", [](HVALUE v) { hvSetI16(v, -300); }, -300, 0, 0, -128, -300, 0, -300.0},
        {"U8 200", [](HVALUE v) { hvSetU8(v, 200); }, 200, 200, 200, 127, 200, 200, 200.0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        CHeld v;
        c.set(v);
        int32_t i32 = 0;
        uint32_t u32 = 0;
        uint8_t u8 = 0;
        int8_t i8 = 0;
        int16_t i16 = 0;
        uint16_t u16 = 0;
        double r64 = 0;
        float r32 = 0;
        ASSERT_TRUE(hvGetI32(v, &i32) && hvGetU32(v, &u32) && hvGetU8(v, &u8) && hvGetI8(v, &i8) &&
                    hvGetI16(v, &i16) && hvGetU16(v, &u16) && hvGetR64(v, &r64) && hvGetR32(v, &r32));
        EXPECT_EQ(i32, c.i32);
        EXPECT_EQ(u32, c.u32);
        EXPECT_EQ(u8, c.u8);
        EXPECT_EQ(i8, c.i8);
        EXPECT_EQ(i16, c.i16);
        EXPECT_EQ(u16, c.u16);
        EXPECT_DOUBLE_EQ(r64, c.r64);
        EXPECT_FLOAT_EQ(r32, static_cast<float>(c.r64));
    }
}

TEST(ValueScalar, NumericGetsFailOnOtherTypesAndNaN)
{
    CHeld text, time, nan, big;
    hvSetText(text, "12");
    TIME t{10, 0};
    hvSetTimeValue(time, &t);
    hvSetR64(nan, std::nan(""));
    int32_t x = 77;
    EXPECT_FALSE(hvGetI32(text, &x));
    EXPECT_FALSE(hvGetI32(time, &x));
    EXPECT_FALSE(hvGetI32(nan, &x));
    EXPECT_FALSE(hvGetI32(big, &x)); // null type
    EXPECT_EQ(x, 77);
    double r = 0;
    EXPECT_TRUE(hvGetR64(nan, &r));
    EXPECT_TRUE(std::isnan(r));
    hvSetR64(big, 1e300);
    float f = 0;
    ASSERT_TRUE(hvGetR32(big, &f));
    EXPECT_EQ(f, std::numeric_limits<float>::max());
}

TEST(ValueScalar, TextKeepsBytesAndLength)
{
    CHeld v;
    ASSERT_TRUE(hvSetText(v, "h\xC3\xA9llo"));
    EXPECT_EQ(hvGetType(v), HV_STR);
    EXPECT_EQ(TextOf(v), "h\xC3\xA9llo");
    const char binary[] = {'a', '\0', 'b'};
    ASSERT_TRUE(hvSetTextN(v, binary, sizeof binary));
    EXPECT_EQ(TextOf(v), std::string(binary, sizeof binary));
    ASSERT_TRUE(hvSetTextN(v, nullptr, 0));
    EXPECT_EQ(TextOf(v), "");
    EXPECT_FALSE(hvSetTextN(v, nullptr, 3));
    const char* text = nullptr;
    hvSetI32(v, 1);
    EXPECT_FALSE(hvGetText(v, &text));
}

TEST(ValueScalar, TimeValueChecksMilliseconds)
{
    CHeld v;
    TIME t{1700000000, 999};
    ASSERT_TRUE(hvSetTimeValue(v, &t));
    TIME out{};
    ASSERT_TRUE(hvGetTimeValue(v, &out));
    EXPECT_EQ(+out.seconds, 1700000000u);
    EXPECT_EQ(+out.milliseconds, 999);
    for (int16_t bad : {int16_t{1000}, int16_t{-1}})
    {
        TIME b{1, bad};
        EXPECT_FALSE(hvSetTimeValue(v, &b));
    }
    EXPECT_EQ(hvGetType(v), HV_TIME);
}

TEST(ValueScalar, NestedValueIsACopyReachableInPlace)
{
    CHeld v, item;
    hvSetText(item, "in");
    hvSetQuality(item, 8);
    ASSERT_TRUE(hvSetNestedValue(v, item));
    EXPECT_EQ(hvGetType(v), HV_HVAL);
    hvSetText(item, "changed later");
    CHeld nested(hvGetNestedValue(v));
    EXPECT_EQ(TextOf(nested), "in");
    EXPECT_EQ(hvGetQuality(nested), 8);
    hvSetI32(nested, 3);
    CHeld again(hvGetNestedValue(v));
    EXPECT_EQ(hvGetType(again), HV_I32);
    EXPECT_EQ(hvGetNestedValue(item), nullptr);
}

// ---- type changes ---------------------------------------------------------------------

namespace
{
CHeld MakeText(const char* s)
{
    CHeld v;
    hvSetText(v, s);
    return v;
}
} // namespace

TEST(ValueConversion, TextToNumbers)
{
    struct Case
    {
        const char* text;
        uint8_t type;
        bool ok;
        double expected;
    };
    const Case cases[] = {
        {"42", HV_I32, true, 42},
        {"  -17 \t", HV_I32, true, -17},
        {"+8", HV_U8, true, 8},
        {"3.7", HV_I32, true, 3},
        {"-3.7", HV_I16, true, -3},
        {"2.5e3", HV_U16, true, 2500},
        {"1e10", HV_I32, true, 2147483647},
        {"-5", HV_U32, true, 0},
        {"99999999999999999999", HV_U32, true, 4294967295.0},
        {"0.1", HV_R64, true, 0.1},
        {"0.1", HV_R32, true, static_cast<double>(0.1f)},
        {"", HV_I32, false, 0},
        {"   ", HV_I32, false, 0},
        {"abc", HV_I32, false, 0},
        {"12abc", HV_R64, false, 0},
        {"1 2", HV_I32, false, 0},
        {"+-1", HV_I32, false, 0},
        {"++1", HV_I32, false, 0},
        {"0x10", HV_I32, false, 0},
        {"nan", HV_I32, false, 0},
        {"1e999", HV_R64, false, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "'" << c.text << "' to " << int(c.type));
        CHeld v = MakeText(c.text);
        hvSetQuality(v, 5);
        hvSetTimestamp(v, 9.0);
        ASSERT_EQ(!!hvChangeType(v, c.type), c.ok);
        if (!c.ok)
        {
            EXPECT_EQ(hvGetType(v), HV_STR);
            EXPECT_EQ(TextOf(v), c.text);
            continue;
        }
        EXPECT_EQ(hvGetType(v), c.type);
        double r = 0;
        ASSERT_TRUE(hvGetR64(v, &r));
        EXPECT_EQ(r, c.expected);
        EXPECT_EQ(hvGetQuality(v), 5);
        double ts = 0;
        hvGetTimestamp(v, &ts);
        EXPECT_EQ(ts, 9.0);
    }
}

TEST(ValueConversion, NumbersAndTimesToText)
{
    struct Case
    {
        const char* what;
        void (*set)(HVALUE);
        const char* text;
    };
    const Case cases[] = {
        {"I32", [](HVALUE v) { hvSetI32(v, -2147483647 - 1); }, "-2147483648"},
        {"U32", [](HVALUE v) { hvSetU32(v, 4294967295u); }, "4294967295"},
        {"I8", [](HVALUE v) { hvSetI8(v, -5); }, "-5"},
        {"U8", [](HVALUE v) { hvSetU8(v, 200); }, "200"},
        {"R64 0.1", [](HVALUE v) { hvSetR64(v, 0.1); }, "0.1"},
        {"R64 1e20", [](HVALUE v) { hvSetR64(v, 1e20); }, "1e+20"},
        {"R64 -2.5", [](HVALUE v) { hvSetR64(v, -2.5); }, "-2.5"},
        {"R32 0.1", [](HVALUE v) { hvSetR32(v, 0.1f); }, "0.1"},
        {"TIME",
         [](HVALUE v)
         {
             TIME t{1700000000, 7};
             hvSetTimeValue(v, &t);
         },
         "2023-11-14T22:13:20.007Z"},
        {"STR", [](HVALUE v) { hvSetText(v, "same"); }, "same"},
        {"HVAL",
         [](HVALUE v)
         {
             CHeld inner;
             hvSetU16(inner, 65535);
             hvSetNestedValue(v, inner);
         },
         "65535"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        CHeld v;
        c.set(v);
        char buffer[64];
        ASSERT_TRUE(hvGetTextAs(v, buffer, sizeof buffer));
        EXPECT_STREQ(buffer, c.text);
        ASSERT_TRUE(hvChangeType(v, HV_STR));
        EXPECT_EQ(TextOf(v), c.text);
    }
}

TEST(ValueConversion, TextFormOfNumbersReadsBackExactly)
{
    for (double x : {0.1, 1.0 / 3.0, -123456.789, 1e-300, 6.02214076e23})
    {
        CHeld v;
        hvSetR64(v, x);
        ASSERT_TRUE(hvChangeType(v, HV_STR));
        ASSERT_TRUE(hvChangeType(v, HV_R64));
        double back = 0;
        hvGetR64(v, &back);
        EXPECT_EQ(back, x);
    }
}

TEST(ValueConversion, GetTextAsRefusesWhatDoesNotFit)
{
    CHeld v;
    hvSetI32(v, 12345);
    char buffer[5] = "zzzz";
    EXPECT_FALSE(hvGetTextAs(v, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
    char exact[6];
    EXPECT_TRUE(hvGetTextAs(v, exact, sizeof exact));
    EXPECT_STREQ(exact, "12345");
    CHeld list, null;
    hvMakeList(list, 0);
    EXPECT_FALSE(hvGetTextAs(list, exact, sizeof exact));
    EXPECT_FALSE(hvGetTextAs(null, exact, sizeof exact));
    EXPECT_FALSE(hvGetTextAs(v, nullptr, 10));
}

TEST(ValueConversion, TimeTextAndNumbers)
{
    struct Case
    {
        const char* text;
        bool ok;
        uint32_t seconds;
        int16_t ms;
    };
    const Case cases[] = {
        {"2023-11-14T22:13:20Z", true, 1700000000, 0},
        {"2023-11-14 22:13:20.5", true, 1700000000, 500},
        {" 2023-11-14T22:13:20.123Z ", true, 1700000000, 123},
        {"1970-01-01T00:00:00.000Z", true, 0, 0},
        {"2024-02-29T00:00:00Z", true, 1709164800, 0},
        {"2023-02-29T00:00:00Z", false, 0, 0},
        {"2023-11-14", false, 0, 0},
        {"2023-11-14T22:13:20.1234Z", false, 0, 0},
        {"2023-11-14T22:13:20.Z", false, 0, 0},
        {"2023-11-14T24:00:00Z", false, 0, 0},
        {"1969-12-31T23:59:59Z", false, 0, 0},
        {"2023-11-14T22:13:20Zjunk", false, 0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        CHeld v = MakeText(c.text);
        ASSERT_EQ(!!hvChangeType(v, HV_TIME), c.ok);
        if (!c.ok)
            continue;
        TIME t{};
        ASSERT_TRUE(hvGetTimeValue(v, &t));
        EXPECT_EQ(+t.seconds, c.seconds);
        EXPECT_EQ(+t.milliseconds, c.ms);
    }

    CHeld v;
    hvSetR64(v, 1700000000.25);
    ASSERT_TRUE(hvChangeType(v, HV_TIME));
    TIME t{};
    hvGetTimeValue(v, &t);
    EXPECT_EQ(+t.seconds, 1700000000u);
    EXPECT_EQ(+t.milliseconds, 250);
    CHeld copy;
    hvCopy(copy, v);
    ASSERT_TRUE(hvChangeType(v, HV_R64));
    double r = 0;
    hvGetR64(v, &r);
    EXPECT_EQ(r, 1700000000.25);
    ASSERT_TRUE(hvChangeType(copy, HV_U32));
    uint32_t s = 0;
    hvGetU32(copy, &s);
    EXPECT_EQ(s, 1700000000u);
    hvSetI32(v, -1);
    EXPECT_FALSE(hvChangeType(v, HV_TIME));
}

TEST(ValueConversion, WhatHasNoConversionFailsUnchanged)
{
    CHeld null, list, array, scalar;
    hvMakeList(list, 0);
    hvMakeArray(array, HV_I32, 2);
    hvSetI32(scalar, 3);
    EXPECT_FALSE(hvChangeType(null, HV_I32));
    EXPECT_FALSE(hvChangeType(null, HV_STR));
    EXPECT_FALSE(hvChangeType(list, HV_I32));
    EXPECT_FALSE(hvChangeType(scalar, HV_LIST));
    EXPECT_FALSE(hvChangeType(scalar, HV_ARRAY | HV_I32));
    EXPECT_FALSE(hvChangeType(array, HV_I32));
    EXPECT_FALSE(hvChangeType(array, HV_ARRAY | HV_LIST));
    EXPECT_FALSE(hvChangeType(array, 99));
    EXPECT_EQ(hvGetType(list), HV_LIST);
    EXPECT_EQ(hvGetType(array), HV_ARRAY | HV_I32);
    EXPECT_EQ(hvGetType(scalar), HV_I32);
    EXPECT_TRUE(hvChangeType(scalar, HV_I32));
    EXPECT_TRUE(hvChangeType(list, HV_NULL));
    EXPECT_EQ(hvGetType(list), HV_NULL);
}

TEST(ValueConversion, ArraysConvertElementwiseOrNotAtAll)
{
    CHeld v;
    hvMakeArray(v, HV_STR, 3);
    hvSetElementText(v, 0, "1");
    hvSetElementText(v, 1, "2.5");
    hvSetElementText(v, 2, "-3");
    ASSERT_TRUE(hvChangeType(v, HV_ARRAY | HV_R64));
    double r = 0;
    ASSERT_TRUE(hvGetElementR64(v, 1, &r));
    EXPECT_EQ(r, 2.5);
    ASSERT_TRUE(hvChangeType(v, HV_ARRAY | HV_HVAL));
    CHeld nested(hvGetElementValue(v, 2));
    EXPECT_EQ(hvGetType(nested), HV_R64);
    ASSERT_TRUE(hvChangeType(v, HV_ARRAY | HV_STR));
    const char* text = nullptr;
    ASSERT_TRUE(hvGetElementText(v, 1, &text));
    EXPECT_STREQ(text, "2.5");

    hvSetElementText(v, 1, "oops");
    EXPECT_FALSE(hvChangeType(v, HV_ARRAY | HV_I32));
    EXPECT_EQ(hvGetType(v), HV_ARRAY | HV_STR);
    ASSERT_TRUE(hvGetElementText(v, 0, &text));
    EXPECT_STREQ(text, "1");
}
