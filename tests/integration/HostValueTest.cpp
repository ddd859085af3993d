// The host's value conversions: settings-file JSON into values, values into JSON output.
#include <gtest/gtest.h>

#include <string>

#include "lib/HostValue.h"
#include "lib/OutputFormat.h"

namespace
{
struct SJsonCase
{
    const char* json;
    uint8_t type;
    const char* back; // the value written as JSON again
};

class HostJsonToValueTest : public testing::TestWithParam<SJsonCase>
{
};

std::string Json(HVALUE value) { return ValueToJson(value)->StringifyNarrow(); }
} // namespace

TEST_P(HostJsonToValueTest, ConvertsScalarsByTheirKind)
{
    const SJsonCase& c = GetParam();
    JsonValue::Ptr json = JsonValue::Parse(std::string(c.json));
    ASSERT_TRUE(json);
    CHostValue value;
    ASSERT_TRUE(JsonToValue(*json, value.Get()));
    EXPECT_EQ(hvGetType(value.Get()), c.type);
    EXPECT_EQ(Json(value.Get()), c.back);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostJsonToValueTest,
                         testing::Values(SJsonCase{"1883", HV_I32, "1883"}, SJsonCase{"-5", HV_I32, "-5"},
                                         SJsonCase{"2147483647", HV_I32, "2147483647"},
                                         SJsonCase{"2147483648", HV_U32, "2147483648"},
                                         SJsonCase{"4294967295", HV_U32, "4294967295"},
                                         SJsonCase{"4294967296", HV_R64, "4294967296"},
                                         SJsonCase{"-3000000000", HV_R64, "-3000000000"},
                                         SJsonCase{"2.5", HV_R64, "2.5"}, SJsonCase{"true", HV_I32, "1"},
                                         SJsonCase{"false", HV_I32, "0"}, SJsonCase{"\"abc\"", HV_STR, "\"abc\""},
                                         SJsonCase{"\"\\u00e9t\\u00e9\"", HV_STR, "\"\\u00E9t\\u00E9\""},
                                         SJsonCase{"null", HV_NULL, "null"}));

TEST(HostValueTest, JsonContainersAreNotScalars)
{
    CHostValue value;
    EXPECT_FALSE(JsonToValue(*JsonValue::Parse(std::string("[1]")), value.Get()));
    EXPECT_FALSE(JsonToValue(*JsonValue::Parse(std::string("{}")), value.Get()));
}

TEST(HostValueTest, CommandLineTextTakesItsJsonMeaningOrStaysText)
{
    const struct
    {
        const char* text;
        uint8_t anyType;    // TextToValue
        uint8_t writeType;  // NumberOrTextToValue
    } cases[] = {
        {"42", HV_I32, HV_I32},       {"4.5", HV_R64, HV_R64},      {"true", HV_I32, HV_STR},
        {"\"42\"", HV_STR, HV_STR},   {"127.0.0.1", HV_STR, HV_STR}, {"", HV_STR, HV_STR},
        {"[1,2]", HV_STR, HV_STR},    {"null", HV_STR, HV_STR},     {"21,5", HV_STR, HV_STR},
    };
    for (const auto& c : cases)
    {
        CHostValue any;
        CHostValue write;
        ASSERT_TRUE(TextToValue(c.text, any.Get())) << c.text;
        ASSERT_TRUE(NumberOrTextToValue(c.text, write.Get())) << c.text;
        EXPECT_EQ(hvGetType(any.Get()), c.anyType) << c.text;
        EXPECT_EQ(hvGetType(write.Get()), c.writeType) << c.text;
    }
    CHostValue quoted;
    ASSERT_TRUE(TextToValue("\"42\"", quoted.Get()));
    EXPECT_EQ(Json(quoted.Get()), "\"42\"");
}

TEST(HostValueTest, ArraysListsNestedValuesAndTimesBecomeJson)
{
    CHostValue array;
    ASSERT_TRUE(hvMakeArray(array.Get(), HV_R64, 3));
    hvSetElementR64(array.Get(), 0, 1.5);
    hvSetElementR64(array.Get(), 2, -2);
    EXPECT_EQ(Json(array.Get()), "[1.5,0,-2]");
    EXPECT_EQ(ValueTypeName(array.Get()), "R64[]");

    CHostValue list;
    ASSERT_TRUE(hvMakeList(list.Get(), 2));
    CHostValue text;
    hvSetText(text.Get(), "a");
    hvListAppend(list.Get(), text.Get());
    hvListAppend(list.Get(), array.Get());
    EXPECT_EQ(Json(list.Get()), "[\"a\",[1.5,0,-2]]");
    EXPECT_EQ(ValueTypeName(list.Get()), "LIST");

    CHostValue nested;
    ASSERT_TRUE(hvSetNestedValue(nested.Get(), text.Get()));
    EXPECT_EQ(Json(nested.Get()), "\"a\"");
    EXPECT_EQ(ValueTypeName(nested.Get()), "HVAL");

    CHostValue time;
    const TIME t{1700000000, 5};
    ASSERT_TRUE(hvSetTimeValue(time.Get(), &t));
    EXPECT_EQ(Json(time.Get()), "\"2023-11-14T22:13:20.005Z\"");

    CHostValue nan;
    hvSetR64(nan.Get(), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(Json(nan.Get()), "null");
    EXPECT_EQ(Json(nullptr), "null");
    EXPECT_EQ(ValueTypeName(nullptr), "null");
}

TEST(HostValueTest, IsoTimesAreUtcWithMilliseconds)
{
    EXPECT_EQ(FormatIsoTime(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatIsoTime(1700000000.1234), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(FormatIsoTime(1700000000.9996), "2023-11-14T22:13:21.000Z");
    EXPECT_EQ(FormatIsoTime(-1), "");
    EXPECT_EQ(FormatIsoTime(std::numeric_limits<double>::infinity()), "");
}

TEST(HostOutputTest, NotificationsCarryTagCallbackValueTypeQualityAndTime)
{
    CHostValue value;
    hvSetR64(value.Get(), 21.5);
    hvSetTimestamp(value.Get(), 1700000000.25);
    EXPECT_EQ(FormatNotification(EOutputFormat::Jsonl, "plant/temp", 3, value.Get(), 1.0),
              R"({"tag":"plant\/temp","callback":3,"value":21.5,"type":"R64","quality":192,"time":"2023-11-14T22:13:20.250Z"})");
    EXPECT_EQ(FormatNotification(EOutputFormat::Text, "plant/temp", 3, value.Get(), 1.0),
              "2023-11-14T22:13:20.250Z  plant/temp = 21.5  [R64, good 192, #3]");

    // A tag without a valid value: an empty bad value without timestamp shows the arrival.
    CHostValue bad;
    hvSetQuality(bad.Get(), HV_QUALITY_BAD);
    EXPECT_EQ(FormatNotification(EOutputFormat::Jsonl, "t", 1, bad.Get(), 1700000000.0),
              R"({"tag":"t","callback":1,"value":null,"type":"null","quality":0,"time":"2023-11-14T22:13:20.000Z"})");
    EXPECT_EQ(FormatNotification(EOutputFormat::Text, "t", 1, bad.Get(), 1700000000.0),
              "2023-11-14T22:13:20.000Z  t = (no value)  [null, bad 0, #1]");
}

TEST(HostOutputTest, EventsAndResults)
{
    CHostValue event;
    ASSERT_TRUE(hvMakeArray(event.Get(), HV_HVAL, 4));
    hvSetElementI32(event.Get(), 0, 2);
    hvSetElementI32(event.Get(), 1, -1);
    hvSetElementI32(event.Get(), 2, 5);
    hvSetElementText(event.Get(), 3, "Failed to connect physical layer!");
    hvSetTimestamp(event.Get(), 1700000000.0);
    EXPECT_EQ(FormatEvent(EOutputFormat::Jsonl, event.Get(), 0),
              R"({"event":"Failed to connect physical layer!","eventType":2,"source":-1,"number":5,"time":"2023-11-14T22:13:20.000Z"})");
    EXPECT_EQ(FormatEvent(EOutputFormat::Text, event.Get(), 0),
              "2023-11-14T22:13:20.000Z  event error (framework #5): Failed to connect physical layer!");

    CHostValue number;
    hvSetI32(number.Get(), 7);
    EXPECT_EQ(FormatResult(EOutputFormat::Jsonl, "status", "LOG", true, "ok", number.Get()),
              R"({"status":"LOG","ok":true,"message":"ok","value":7})");
    EXPECT_EQ(FormatResult(EOutputFormat::Text, "write", "a/b", false, "failed"), "write a/b: failed");
    EXPECT_STREQ(QualityWord(192), "good");
    EXPECT_STREQ(QualityWord(0x44), "uncertain");
    EXPECT_STREQ(QualityWord(0x18), "bad");
}
