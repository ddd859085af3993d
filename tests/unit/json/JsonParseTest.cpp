#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json/JsonValue.h"

namespace
{

struct Accepted
{
    std::string text;
    std::string compact; // the same document written back at depth 0
};

class JsonAccepts : public testing::TestWithParam<Accepted>
{
};

TEST_P(JsonAccepts, ParsesAndWritesCompactText)
{
    const JsonValue::Ptr root = JsonValue::Parse(GetParam().text);
    ASSERT_NE(root, nullptr) << GetParam().text;
    EXPECT_EQ(root->StringifyNarrow(), GetParam().compact);
    EXPECT_TRUE(root->Name().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Documents, JsonAccepts,
    testing::Values(Accepted{"  {\"a\":1}  ", "{\"a\":1}"}, Accepted{" \r\n\t[ 1 ,\t2 ]\n", "[1,2]"},
                    Accepted{"TRUE", "true"}, Accepted{"False", "false"}, Accepted{"NULL", "null"},
                    Accepted{"[tRuE,fAlSe,nUlL]", "[true,false,null]"}, Accepted{"[]", "[]"},
                    Accepted{"{}", "{}"}, Accepted{"[ ]", "[]"}, Accepted{"{ }", "{}"},
                    Accepted{"\"\"", "\"\""}, Accepted{"{\"k\":1,\"k\":2}", "{\"k\":1,\"k\":2}"},
                    Accepted{"{\"a\":[1,{\"b\":[]}],\"c\":{\"d\":\"e\"}}",
                             "{\"a\":[1,{\"b\":[]}],\"c\":{\"d\":\"e\"}}"},
                    Accepted{"{ \"a\" : 1 , \"b\" : [ true ] }", "{\"a\":1,\"b\":[true]}"},
                    Accepted{"\"\\u00e9\"", "\"\\u00E9\""}, Accepted{"\"a/b\"", "\"a\\/b\""},
                    Accepted{"\"a\tb\"", "\"a\\tb\""}, Accepted{"1.0", "1"}, Accepted{"1.5", "1.5"},
                    Accepted{"0.1", "0.1"}, Accepted{"-0", "0"}, Accepted{"1e10", "1e+10"},
                    Accepted{"2147483648", "2147483648"}, Accepted{"-2147483648", "-2147483648"},
                    Accepted{"0.30000000000000004", "0.30000000000000004"},
                    Accepted{"1700000000123456", "1700000000123456"}, Accepted{"1e400", "null"},
                    Accepted{"{\"\":0}", "{\"\":0}"},
                    Accepted{"\"caf\xC3\xA9 \xE2\x82\xAC\"", "\"caf\\u00E9 \\u20AC\""}));

class JsonRejects : public testing::TestWithParam<std::string>
{
};

TEST_P(JsonRejects, FailsWithoutAResult)
{
    EXPECT_EQ(JsonValue::Parse(GetParam()), nullptr) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Malformed, JsonRejects,
                         testing::Values(
                             // no document, or more than one
                             "", "   \r\n\t", "{\"a\":1} x", "{}{}", "[1]]", "1 2",
                             // containers
                             "[", "]", "{", "}", "[1,]", "{\"a\":1,}", "[,1]", "[1 2]", "[1,", "[1",
                             "{\"a\":1", "{\"a\"}", "{\"a\":}", "{\"a\" 1}", "{\"a\"", "{\"a\":1 \"b\":2}",
                             "{,}",
                             // keys must be quoted strings
                             "{a:1}", "{'a':1}", "{xa\":1}", "{1:1}", "{null:1}",
                             // numbers
                             "[01]", "012", "-01", "-", "-a", "1.", "1.e5", ".5", "+1", "1e", "1e+", "1E-",
                             "0x10", "1.5.2", "--1", "Infinity", "NaN",
                             // words
                             "nul", "tru", "fals", "nullx", "[nullx]", "truefalse", "undefined",
                             // strings
                             "\"abc", "\"a\nb\"", "\"a\rb\"", std::string("\"a\0b\"", 5), "\"\x01\"",
                             "\"\\x\"", "\"\\u12\"", "\"\\u12G4\"", "\"\\U0041\"", "\"\\\"", "\"\\", "'a'",
                             // ill-formed UTF-8 in the narrow text
                             "\"\xFF\"", "\"\xC3\"", "\"\xC3(\"", "[\"ok\",\"\xE2\x82\"]"));

struct NumberCase
{
    std::string text;
    JsonKind kind;
    double value;
};

class JsonNumbers : public testing::TestWithParam<NumberCase>
{
};

TEST_P(JsonNumbers, TakeTheNarrowestExactKind)
{
    const NumberCase& c = GetParam();
    const JsonValue::Ptr number = JsonValue::Parse(c.text);
    ASSERT_NE(number, nullptr) << c.text;
    EXPECT_EQ(number->Kind(), c.kind) << c.text;
    EXPECT_TRUE(number->IsNumber());
    EXPECT_EQ(number->NumberValue(), c.value) << c.text;
    switch (c.kind)
    {
    case JsonKind::Int:
        EXPECT_EQ(number->AsInt(), static_cast<int32_t>(c.value));
        break;
    case JsonKind::Float:
        EXPECT_EQ(number->AsFloat(), static_cast<float>(c.value));
        break;
    default:
        EXPECT_EQ(number->AsDouble(), c.value);
        break;
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Kinds, JsonNumbers,
    testing::Values(NumberCase{"7", JsonKind::Int, 7}, NumberCase{"-0", JsonKind::Int, 0},
                    NumberCase{"-0.0e5", JsonKind::Int, 0}, NumberCase{"0", JsonKind::Int, 0},
                    NumberCase{"1.0", JsonKind::Int, 1}, NumberCase{"1E2", JsonKind::Int, 100},
                    NumberCase{"2.5e+1", JsonKind::Int, 25}, NumberCase{"-42", JsonKind::Int, -42},
                    NumberCase{"2147483647", JsonKind::Int, 2147483647},
                    NumberCase{"-2147483647", JsonKind::Int, -2147483647},
                    NumberCase{"2147483648", JsonKind::Float, 2147483648.0},
                    NumberCase{"-2147483648", JsonKind::Float, -2147483648.0},
                    NumberCase{"2147483649", JsonKind::Double, 2147483649.0},
                    NumberCase{"0.5", JsonKind::Float, 0.5}, NumberCase{"1.5", JsonKind::Float, 1.5},
                    NumberCase{"-0.25", JsonKind::Float, -0.25}, NumberCase{"1e10", JsonKind::Float, 1e10},
                    NumberCase{"0.1", JsonKind::Double, 0.1}, NumberCase{"1e-2", JsonKind::Double, 0.01},
                    NumberCase{"21.7", JsonKind::Double, 21.7},
                    NumberCase{"1700000000.25", JsonKind::Double, 1700000000.25},
                    NumberCase{"1.7976931348623157e308", JsonKind::Double, 1.7976931348623157e308},
                    NumberCase{"1e400", JsonKind::Float, kInf}, NumberCase{"-1e400", JsonKind::Float, -kInf},
                    NumberCase{"123456789e99999999999999999999", JsonKind::Float, kInf},
                    NumberCase{"1e-400", JsonKind::Int, 0}, NumberCase{"-0.000001e-99999", JsonKind::Int, 0},
                    NumberCase{"0.0000000000000000000000000000000000000000000000000001e400", JsonKind::Float,
                               kInf}));

TEST(JsonNumbers, DigitsBeyondDoublePrecisionRoundCorrectly)
{
    // Decimal digits accumulated one by one drift; the parser rounds the whole token once.
    const JsonValue::Ptr value = JsonValue::Parse("[0.3, 0.7, 123.456, 9007199254740993]");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->At(0)->NumberValue(), 0.3);
    EXPECT_EQ(value->At(1)->NumberValue(), 0.7);
    EXPECT_EQ(value->At(2)->NumberValue(), 123.456);
    // 2^53 + 1 lies halfway between two doubles and rounds to the even one.
    EXPECT_EQ(value->At(3)->NumberValue(), 9007199254740992.0);
}

struct StringCase
{
    std::string text;
    std::u16string value;
};

class JsonStrings : public testing::TestWithParam<StringCase>
{
};

TEST_P(JsonStrings, DecodeToCodeUnits)
{
    const JsonValue::Ptr value = JsonValue::Parse(GetParam().text);
    ASSERT_NE(value, nullptr) << GetParam().text;
    ASSERT_EQ(value->Kind(), JsonKind::String);
    EXPECT_EQ(value->AsString(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Escapes, JsonStrings,
                         testing::Values(StringCase{"\"plain text\"", u"plain text"},
                                         StringCase{"\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", u"\"/\\\b\f\n\r\t"},
                                         StringCase{"\"\\u00e9\\u00C9\"", u"\u00e9\u00c9"},
                                         StringCase{"\"\\u0000\"", std::u16string(1, 0)},
                                         StringCase{"\"\\uD83D\\uDE00\"", u"\U0001F600"},
                                         StringCase{"\"\xF0\x9F\x98\x80\"", u"\U0001F600"},
                                         StringCase{"\"\\uD800x\"", std::u16string{0xD800, u'x'}},
                                         StringCase{"\"\\uDE00\\uD83D\"", std::u16string{0xDE00, 0xD83D}},
                                         StringCase{"\"tab\there\"", u"tab\there"},
                                         StringCase{"\"\x7F\"", u"\x7F"},
                                         StringCase{"\"\xC3\xA9\"", u"\u00e9"}));

TEST(JsonParse, WideTextSkipsTheNarrowConversion)
{
    const JsonValue::Ptr value = JsonValue::Parse(std::u16string_view(u"{\"\u00e9\":\"\U0001F600\"}"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->StringifyNarrow(), "{\"\\u00E9\":\"\\uD83D\\uDE00\"}");
}

TEST(JsonParse, ObjectMembersKeepTextOrderAndDuplicates)
{
    const JsonValue::Ptr root = JsonValue::Parse("{\"z\":1,\"a\":2,\"k\":3,\"k\":4}");
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->Kind(), JsonKind::Object);
    ASSERT_EQ(root->Count(), 4u);
    const char16_t* const names[] = {u"z", u"a", u"k", u"k"};
    for (size_t i = 0; i < root->Count(); ++i)
    {
        EXPECT_EQ(root->At(i)->Name(), names[i]);
        EXPECT_EQ(root->At(i)->AsInt(), static_cast<int32_t>(i + 1));
    }
    // Lookups search from the first member, so the first of two equal keys wins.
    EXPECT_EQ(root->Find(u"k")->AsInt(), 3);
}

TEST(JsonParse, ArrayElementsHaveNoName)
{
    const JsonValue::Ptr root = JsonValue::Parse("{\"a\":[{\"b\":1}]}");
    ASSERT_NE(root, nullptr);
    const JsonValue* array = root->Find(u"a");
    ASSERT_NE(array, nullptr);
    EXPECT_TRUE(array->At(0)->Name().empty());
    EXPECT_EQ(array->At(0)->Find(u"b")->Name(), u"b");
}

std::string Nested(unsigned depth, const std::string& open, const std::string& close)
{
    std::string text;
    for (unsigned i = 0; i < depth; ++i)
        text += open;
    text += "0";
    for (unsigned i = 0; i < depth; ++i)
        text += close;
    return text;
}

TEST(JsonParse, NestingIsLimited)
{
    struct Case
    {
        unsigned depth;
        bool accepted;
    };
    for (const Case c : {Case{1, true}, Case{JsonValue::kMaxDepth, true},
                         Case{JsonValue::kMaxDepth + 1, false}, Case{200000, false}})
    {
        EXPECT_EQ(JsonValue::Parse(Nested(c.depth, "[", "]")) != nullptr, c.accepted) << c.depth;
        EXPECT_EQ(JsonValue::Parse(Nested(c.depth, "{\"k\":", "}")) != nullptr, c.accepted) << c.depth;
    }
    // Arrays and objects count alike.
    EXPECT_NE(JsonValue::Parse(Nested(JsonValue::kMaxDepth / 2, "[{\"k\":", "}]")), nullptr);
    EXPECT_EQ(JsonValue::Parse(Nested(JsonValue::kMaxDepth / 2, "[{\"k\":", "}]") + "x"), nullptr);
    EXPECT_EQ(JsonValue::Parse("[" + Nested(JsonValue::kMaxDepth / 2, "[{\"k\":", "}]") + "]"), nullptr);
}

TEST(JsonParse, HostileDeepPayloadWithoutClosingFailsCleanly)
{
    EXPECT_EQ(JsonValue::Parse(std::string(1'000'000, '[')), nullptr);
    EXPECT_EQ(JsonValue::Parse(std::string(1'000'000, '{')), nullptr);
}

} // namespace
