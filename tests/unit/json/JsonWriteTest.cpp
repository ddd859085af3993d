#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json/JsonValue.h"

namespace
{

struct EscapeCase
{
    std::u16string value;
    std::string written;
};

class JsonEscapes : public testing::TestWithParam<EscapeCase>
{
};

TEST_P(JsonEscapes, WritePureAsciiAndReadBackTheSameUnits)
{
    const JsonValue::Ptr value = JsonValue::MakeString(GetParam().value);
    const std::string written = value->StringifyNarrow();
    EXPECT_EQ(written, GetParam().written);
    for (char c : written)
        EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << static_cast<int>(c);
    EXPECT_EQ(value->Stringify(), std::u16string(written.begin(), written.end()));

    const JsonValue::Ptr reread = JsonValue::Parse(written);
    ASSERT_NE(reread, nullptr);
    EXPECT_EQ(reread->AsString(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    CodeUnits, JsonEscapes,
    testing::Values(EscapeCase{u"", "\"\""}, EscapeCase{u"a/b", "\"a\\/b\""},
                    EscapeCase{u"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o\\/\""},
                    EscapeCase{u"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
                    EscapeCase{std::u16string{0, 1, 0x0B, 0x1F}, "\"\\u0000\\u0001\\u000B\\u001F\""},
                    EscapeCase{u" ~\x7F", "\" ~\\u007F\""}, EscapeCase{u"\u00e9", "\"\\u00E9\""},
                    EscapeCase{u"\u20ac\uFFFF", "\"\\u20AC\\uFFFF\""},
                    EscapeCase{u"\U0001F600", "\"\\uD83D\\uDE00\""},
                    EscapeCase{std::u16string{0xDC00, u'a', 0xD800}, "\"\\uDC00a\\uD800\""}));

struct NumberText
{
    JsonValue::Ptr (*make)();
    std::string written;
};

class JsonNumberText : public testing::TestWithParam<NumberText>
{
};

TEST_P(JsonNumberText, WritesTheValueSoItReadsBackUnchanged)
{
    const JsonValue::Ptr value = GetParam().make();
    const std::string written = value->StringifyNarrow();
    EXPECT_EQ(written, GetParam().written);
    const double number = value->NumberValue();
    if (std::isfinite(number))
    {
        const JsonValue::Ptr reread = JsonValue::Parse(written);
        ASSERT_NE(reread, nullptr);
        EXPECT_EQ(reread->NumberValue(), number);
    }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Kinds, JsonNumberText,
    testing::Values(NumberText{[] { return JsonValue::MakeInt(0); }, "0"},
                    NumberText{[] { return JsonValue::MakeInt(-2147483647 - 1); }, "-2147483648"},
                    NumberText{[] { return JsonValue::MakeInt(2147483647); }, "2147483647"},
                    NumberText{[] { return JsonValue::MakeFloat(21.5f); }, "21.5"},
                    NumberText{[] { return JsonValue::MakeFloat(-0.25f); }, "-0.25"},
                    NumberText{[] { return JsonValue::MakeFloat(1e10f); }, "1e+10"},
                    NumberText{[] { return JsonValue::MakeFloat(2147483648.0f); }, "2147483648"},
                    NumberText{[] { return JsonValue::MakeFloat(16777216.0f * 3); }, "50331648"},
                    NumberText{[] { return JsonValue::MakeDouble(0.1); }, "0.1"},
                    NumberText{[] { return JsonValue::MakeDouble(12.5); }, "12.5"},
                    NumberText{[] { return JsonValue::MakeDouble(123456.789); }, "123456.789"},
                    NumberText{[] { return JsonValue::MakeDouble(1e300); }, "1e+300"},
                    NumberText{[] { return JsonValue::MakeDouble(1e-7); }, "1e-07"},
                    NumberText{[] { return JsonValue::MakeDouble(0.1 + 0.2); }, "0.30000000000000004"},
                    NumberText{[] { return JsonValue::MakeDouble(1700000000123456.0); }, "1700000000123456"},
                    NumberText{[] { return JsonValue::MakeDouble(1.7976931348623157e308); },
                               "1.7976931348623157e+308"},
                    NumberText{[] { return JsonValue::MakeDouble(kNaN); }, "null"},
                    NumberText{[] { return JsonValue::MakeDouble(-kInf); }, "null"},
                    NumberText{[] { return JsonValue::MakeFloat(static_cast<float>(kInf)); }, "null"}));

TEST(JsonWrite, IndentedFormPutsEachContainerOnItsOwnLines)
{
    const JsonValue::Ptr root = JsonValue::Parse("{\"a\":[1,2],\"b\":{},\"c\":\"x\"}");
    ASSERT_NE(root, nullptr);
    struct Case
    {
        unsigned depth;
        std::string text;
    };
    for (const Case& c :
         {Case{0, "{\"a\":[1,2],\"b\":{},\"c\":\"x\"}"},
          Case{1, "{\n  \"a\":[\n    1,2\n  ],\"b\":{\n    \n  },\"c\":\"x\"\n}"},
          Case{2, "{\n    \"a\":[\n      1,2\n    ],\"b\":{\n      \n    },\"c\":\"x\"\n  }"}})
    {
        EXPECT_EQ(root->StringifyNarrow(c.depth), c.text) << c.depth;
        const JsonValue::Ptr reread = JsonValue::Parse(c.text);
        ASSERT_NE(reread, nullptr) << c.depth;
        EXPECT_EQ(reread->StringifyNarrow(), root->StringifyNarrow());
    }
}

TEST(JsonWrite, ScalarsIgnoreTheDepth)
{
    EXPECT_EQ(JsonValue::MakeString(u"s")->StringifyNarrow(3), "\"s\"");
    EXPECT_EQ(JsonValue::MakeBool(true)->StringifyNarrow(1), "true");
    EXPECT_EQ(JsonValue::MakeNull()->StringifyNarrow(1), "null");
}

TEST(JsonWrite, WriteThenParseKeepsEveryValueAndKind)
{
    const std::string documents[] = {
        "{\"device\":\"d7\",\"ts\":1700000000,\"values\":{\"t\":21,\"h\":55.5,\"p\":0.1},\"q\":true,\"n\":"
        "null}",
        "[2147483648,-2147483648,1.00000011920928955078125,3.4028234663852886e38,0.30000000000000004]",
        "[\"\\u00e9\\uD83D\\uDE00\\u0001\",\"a/b\",[[],{}],{\"k\":1,\"k\":2}]",
    };
    for (const std::string& text : documents)
    {
        const JsonValue::Ptr first = JsonValue::Parse(text);
        ASSERT_NE(first, nullptr) << text;
        const std::string written = first->StringifyNarrow();
        const JsonValue::Ptr second = JsonValue::Parse(written);
        ASSERT_NE(second, nullptr) << written;
        EXPECT_EQ(second->StringifyNarrow(), written);
        for (size_t i = 0; i < first->Count(); ++i)
        {
            EXPECT_EQ(second->At(i)->Kind(), first->At(i)->Kind()) << written << " #" << i;
            EXPECT_EQ(second->At(i)->NumberValue(), first->At(i)->NumberValue()) << written << " #" << i;
        }
    }
}

} // namespace
