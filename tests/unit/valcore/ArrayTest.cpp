// Arrays: creation, typed element access with conversion, nested values.
#include "ValueTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>

TEST(ValueArray, MakeZeroesEveryElementType)
{
    for (uint8_t type = HV_I8; type <= HV_TIME; ++type)
    {
        SCOPED_TRACE(int(type));
        CHeld v;
        hvSetText(v, "previous");
        ASSERT_TRUE(hvMakeArray(v, type, 3));
        EXPECT_EQ(hvGetType(v), HV_ARRAY | type);
        EXPECT_EQ(hvGetCount(v), 3);
        for (uint16_t i = 0; i < 3; ++i)
        {
            CHeld e(hvGetElementValue(v, i));
            ASSERT_NE(e.get(), nullptr);
            if (type == HV_HVAL)
                EXPECT_EQ(hvGetType(e), HV_NULL);
            else
                EXPECT_EQ(hvGetType(e), type);
            double r = -1;
            const char* text = nullptr;
            TIME t{9, 9};
            if (hvIsNumeric(v))
            {
                EXPECT_TRUE(hvGetElementR64(v, i, &r) && r == 0.0);
            }
            else if (type == HV_STR)
            {
                EXPECT_TRUE(hvGetElementText(v, i, &text) && std::strcmp(text, "") == 0);
            }
            else if (type == HV_TIME)
            {
                EXPECT_TRUE(hvGetElementTime(v, i, &t) && t.seconds == 0 && t.milliseconds == 0);
            }
        }
        EXPECT_EQ(hvGetElementValue(v, 3), nullptr);
    }
}

TEST(ValueArray, MakeAcceptsTheArrayBitAndEmptyArrays)
{
    CHeld v;
    ASSERT_TRUE(hvMakeArray(v, HV_ARRAY | HV_STR, 0));
    EXPECT_EQ(hvGetType(v), 137);
    EXPECT_EQ(hvGetCount(v), 0);
    EXPECT_TRUE(hvIsArray(v));
    EXPECT_EQ(hvGetElementValue(v, 0), nullptr);
    ASSERT_TRUE(hvMakeArray(v, HV_U8, 65535));
    EXPECT_EQ(hvGetCount(v), 65535);
    for (uint8_t refused : {uint8_t{HV_NULL}, uint8_t{HV_LIST}, uint8_t{13}, uint8_t{0x7F}})
        EXPECT_FALSE(hvMakeArray(v, refused, 1)) << int(refused);
    EXPECT_EQ(hvGetType(v), 130);
}

TEST(ValueArray, NumericElementsConvertBetweenTypes)
{
    struct Case
    {
        uint8_t type;
        double stored;   // what setting R64 -1.9 then reading R64 gives
        int32_t fromBig; // I32 read after setting U32 4000000000
    };
    const Case cases[] = {
        {HV_I8, -1, 127},
        {HV_U8, 0, 255},
        {HV_I16, -1, 32767},
        {HV_U16, 0, 65535},
        {HV_I32, -1, 2147483647},
        {HV_U32, 0, 2147483647},
        {HV_R32, -1.9f, 2147483647},
        {HV_R64, -1.9, 2147483647},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(int(c.type));
        CHeld v;
        ASSERT_TRUE(hvMakeArray(v, c.type, 2));
        ASSERT_TRUE(hvSetElementR64(v, 0, -1.9));
        double r = 0;
        ASSERT_TRUE(hvGetElementR64(v, 0, &r));
        EXPECT_EQ(r, c.stored);
        ASSERT_TRUE(hvSetElementU32(v, 1, 4000000000u));
        int32_t i = 0;
        ASSERT_TRUE(hvGetElementI32(v, 1, &i));
        EXPECT_EQ(i, c.fromBig);
        ASSERT_TRUE(hvSetElementI8(v, 0, -7) && hvSetElementI16(v, 1, 300));
        int8_t i8 = 0;
        int16_t i16 = 0;
        uint16_t u16 = 0;
        uint8_t u8 = 0;
        float f = 0;
        uint32_t u32 = 0;
        ASSERT_TRUE(hvGetElementI8(v, 1, &i8) && hvGetElementI16(v, 1, &i16) && hvGetElementU16(v, 1, &u16) &&
                    hvGetElementU8(v, 1, &u8) && hvGetElementR32(v, 1, &f) && hvGetElementU32(v, 0, &u32));
        const bool narrow8 = c.type == HV_I8 || c.type == HV_U8;
        EXPECT_EQ(i16, narrow8 ? (c.type == HV_I8 ? 127 : 255) : 300);
        EXPECT_EQ(i8, 127);
        EXPECT_EQ(u8, std::min<int>(i16, 255));
        EXPECT_EQ(u16, static_cast<uint16_t>(i16));
        EXPECT_EQ(f, static_cast<float>(i16));
        EXPECT_EQ(u32, 0u); // -7, or 0 where unsigned, reads as 0 unsigned
        EXPECT_TRUE(hvSetElementU16(v, 0, 5));
        EXPECT_TRUE(hvSetElementU8(v, 0, 1));
        EXPECT_TRUE(hvGetElementI32(v, 0, &i) && i == 1);
    }
}

TEST(ValueArray, ElementAccessChecksIndexAndKind)
{
    CHeld numbers, texts, times;
    hvMakeArray(numbers, HV_I32, 2);
    hvMakeArray(texts, HV_STR, 2);
    hvMakeArray(times, HV_TIME, 2);
    int32_t i = 0;
    const char* text = nullptr;
    TIME t{1, 1};
    EXPECT_FALSE(hvSetElementI32(numbers, 2, 1));
    EXPECT_FALSE(hvGetElementI32(numbers, 2, &i));
    EXPECT_FALSE(hvSetElementText(numbers, 0, "1"));
    EXPECT_FALSE(hvGetElementText(numbers, 0, &text));
    EXPECT_FALSE(hvSetElementTime(numbers, 0, &t));
    EXPECT_FALSE(hvSetElementI32(texts, 0, 1));
    EXPECT_FALSE(hvGetElementI32(texts, 0, &i));
    EXPECT_FALSE(hvGetElementI32(times, 0, &i));
    EXPECT_FALSE(hvGetElementTime(texts, 0, &t));
    EXPECT_FALSE(hvSetElementR64(numbers, 0, std::nan("")));
    EXPECT_FALSE(hvSetElementText(texts, 0, nullptr));
    TIME bad{1, 1000};
    EXPECT_FALSE(hvSetElementTime(times, 0, &bad));
    EXPECT_FALSE(hvSetElementEmpty(texts, 2));
    CHeld scalar;
    hvSetI32(scalar, 1);
    EXPECT_FALSE(hvSetElementI32(scalar, 0, 1));
    EXPECT_EQ(hvGetElementValue(scalar, 0), nullptr);

    ASSERT_TRUE(hvSetElementText(texts, 1, "b"));
    ASSERT_TRUE(hvGetElementText(texts, 1, &text));
    EXPECT_STREQ(text, "b");
    ASSERT_TRUE(hvSetElementEmpty(texts, 1));
    ASSERT_TRUE(hvGetElementText(texts, 1, &text));
    EXPECT_STREQ(text, "");
    TIME good{1700000000, 5};
    ASSERT_TRUE(hvSetElementTime(times, 1, &good));
    ASSERT_TRUE(hvGetElementTime(times, 1, &t));
    EXPECT_EQ(+t.seconds, 1700000000u);
    EXPECT_EQ(+t.milliseconds, 5);
}

TEST(ValueArray, ElementValueOfPlainArraysIsANewScalarWithTheArraysStamp)
{
    CHeld v;
    hvMakeArray(v, HV_U16, 2);
    hvSetElementU16(v, 1, 513);
    hvSetQuality(v, 0x44);
    hvSetTimestamp(v, 77.5);
    CHeld e(hvGetElementValue(v, 1));
    EXPECT_EQ(hvGetType(e), HV_U16);
    uint16_t x = 0;
    EXPECT_TRUE(hvGetU16(e, &x));
    EXPECT_EQ(x, 513);
    EXPECT_EQ(hvGetQuality(e), 0x44);
    double ts = 0;
    hvGetTimestamp(e, &ts);
    EXPECT_EQ(ts, 77.5);
    hvSetU16(e, 1); // a copy: the array keeps its element
    EXPECT_TRUE(hvGetElementU16(v, 1, &x));
    EXPECT_EQ(x, 513);
}

TEST(ValueArray, SetElementValueOnPlainArraysConvertsScalars)
{
    CHeld numbers, texts, item;
    hvMakeArray(numbers, HV_U8, 1);
    hvMakeArray(texts, HV_STR, 1);
    hvSetR64(item, 300.5);
    ASSERT_TRUE(hvSetElementValue(numbers, 0, item));
    uint8_t u8 = 0;
    hvGetElementU8(numbers, 0, &u8);
    EXPECT_EQ(u8, 255);
    EXPECT_FALSE(hvSetElementValue(texts, 0, item));
    hvSetText(item, "t");
    ASSERT_TRUE(hvSetElementValue(texts, 0, item));
    EXPECT_FALSE(hvSetElementValue(numbers, 0, item));
    hvMakeList(item, 0);
    EXPECT_FALSE(hvSetElementValue(texts, 0, item));
    const char* text = nullptr;
    hvGetElementText(texts, 0, &text);
    EXPECT_STREQ(text, "t");
}

// The settings layout: names and values of any type in one array of values.
TEST(ValueArray, ArrayOfValuesHoldsNestedValuesChangedInPlace)
{
    CHeld settings;
    ASSERT_TRUE(hvMakeArray(settings, HV_HVAL, 3));
    ASSERT_TRUE(hvSetElementText(settings, 0, "Generic Config Data v1.00"));
    ASSERT_TRUE(hvSetElementText(settings, 1, "IO.TimeoutMs"));
    {
        CHeld slot(hvGetElementValue(settings, 2));
        CHeld param;
        hvSetU32(param, 2000);
        hvSetQuality(param, 0x40);
        ASSERT_TRUE(hvCopy(slot, param));
    }
    const char* text = nullptr;
    ASSERT_TRUE(hvGetElementText(settings, 0, &text));
    EXPECT_STREQ(text, "Generic Config Data v1.00");
    uint32_t timeout = 0;
    ASSERT_TRUE(hvGetElementU32(settings, 2, &timeout));
    EXPECT_EQ(timeout, 2000u);
    CHeld slot(hvGetElementValue(settings, 2));
    EXPECT_EQ(hvGetType(slot), HV_U32);
    EXPECT_EQ(hvGetQuality(slot), 0x40);
    CHeld same(hvGetElementValue(settings, 2));
    EXPECT_EQ(slot.get(), same.get());

    // Typed sets replace the nested payload; Empty resets the nested value.
    ASSERT_TRUE(hvSetElementR64(settings, 2, 2.5));
    EXPECT_EQ(hvGetType(slot), HV_R64);
    ASSERT_TRUE(hvSetElementEmpty(settings, 2));
    EXPECT_EQ(hvGetType(slot), HV_NULL);
    EXPECT_EQ(hvGetQuality(slot), HV_QUALITY_GOOD);

    // SetElementValue keeps a copy, also of a value that contains the array itself.
    ASSERT_TRUE(hvSetElementValue(settings, 2, settings));
    hvSetElementText(settings, 1, "renamed");
    CHeld inner(hvGetElementValue(settings, 2));
    EXPECT_EQ(hvGetType(inner), HV_ARRAY | HV_HVAL);
    ASSERT_TRUE(hvGetElementText(inner, 1, &text));
    EXPECT_STREQ(text, "IO.TimeoutMs");
    ASSERT_TRUE(hvGetElementText(settings, 1, &text));
    EXPECT_STREQ(text, "renamed");
}

TEST(ValueArray, NestedElementsFollowScalarRules)
{
    CHeld v;
    hvMakeArray(v, HV_HVAL, 1);
    TIME t{3, 4}, out{};
    ASSERT_TRUE(hvSetElementTime(v, 0, &t));
    ASSERT_TRUE(hvGetElementTime(v, 0, &out));
    EXPECT_EQ(+out.seconds, 3u);
    int32_t i = 0;
    const char* text = nullptr;
    EXPECT_FALSE(hvGetElementI32(v, 0, &i));
    EXPECT_FALSE(hvGetElementText(v, 0, &text));
    ASSERT_TRUE(hvSetElementU8(v, 0, 1));
    ASSERT_TRUE(hvGetElementI32(v, 0, &i));
    EXPECT_EQ(i, 1);
    EXPECT_FALSE(hvGetElementTime(v, 0, &out));
}
