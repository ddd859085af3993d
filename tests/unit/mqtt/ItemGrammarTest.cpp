// The item-string grammar: deadband clauses, trimming, fields, validation and JSON-array items,
// and the write deadband check.
#include "mqtt/MQTTItem.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace
{
struct SGrammarCase
{
    const char* item;
    bool prepared;    // MQTTPrepareItem's answer
    const char* text; // the item after preparation
    uint32_t deadbandFlags;
    double fraction;
    double absolute;
    HRESULT validation;
};

const SGrammarCase kGrammar[] = {
    {"plant/temp;J1;V2", true, "plant/temp;J1;V2", 0, 0, 0, S_OK},
    {" \tplant/temp  ", true, "plant/temp", 0, 0, 0, S_OK},
    {"plant/temp (Deadband:5%)", true, "plant/temp", SMQTTDeadband::PERCENT, 0.05, 0, S_OK},
    {"(Deadband:-2.5)plant/temp", true, "plant/temp", SMQTTDeadband::ABSOLUTE, 0, 2.5, S_OK},
    {"plant/temp(Deadband: 1 )(Deadband:10 %)", true, "plant/temp",
     SMQTTDeadband::PERCENT | SMQTTDeadband::ABSOLUTE, 0.10, 1, S_OK},
    {"plant/temp;J1 (Deadband:5%)", true, "plant/temp;J1", SMQTTDeadband::PERCENT, 0.05, 0,
     IO_E_INVALID_ITEM},
    // A bad value is cut out, but the rest is left untrimmed and the item is refused.
    {"plant/temp (Deadband:0)", false, "plant/temp ", 0, 0, 0, IO_E_INVALID_ITEM},
    {"plant/temp (Deadband:abc)", false, "plant/temp ", 0, 0, 0, IO_E_INVALID_ITEM},
    {"plant/temp (Deadband:5x%)", false, "plant/temp ", 0, 0, 0, IO_E_INVALID_ITEM},
    // Without ")" the clause stays where it is.
    {" plant/temp (Deadband:5", false, " plant/temp (Deadband:5", 0, 0, 0, IO_E_INVALID_ITEM},
    // The marker is case-sensitive: anything else is part of the topic.
    {"plant/temp(deadband:5)", true, "plant/temp(deadband:5)", 0, 0, 0, S_OK},
    {"a;;b;", true, "a;;b;", 0, 0, 0, S_OK},
    {"", true, "", 0, 0, 0, IO_E_INVALID_ITEM},
    {"   ", true, "", 0, 0, 0, IO_E_INVALID_ITEM},
};

class ItemGrammar : public ::testing::TestWithParam<SGrammarCase>
{
};
} // namespace

TEST_P(ItemGrammar, PreparesAndValidates)
{
    const SGrammarCase& c = GetParam();
    std::string item = c.item;
    SMQTTDeadband deadband;
    EXPECT_EQ(MQTTPrepareItem(item, &deadband), c.prepared);
    EXPECT_EQ(item, c.text);
    if (c.prepared)
    {
        EXPECT_EQ(deadband.flags, c.deadbandFlags);
        EXPECT_DOUBLE_EQ(deadband.fraction, c.fraction);
        EXPECT_DOUBLE_EQ(deadband.absolute, c.absolute);
    }
    EXPECT_EQ(MQTTValidateItem(c.item), c.validation);
}

INSTANTIATE_TEST_SUITE_P(Table, ItemGrammar, ::testing::ValuesIn(kGrammar));

TEST(ItemFields, SplitKeepsEveryEmptyField)
{
    using Fields = std::vector<std::string>;
    EXPECT_EQ(MQTTSplitFields("plant/temp;J1;V2;extra"), (Fields{"plant/temp", "J1", "V2", "extra"}));
    EXPECT_EQ(MQTTSplitFields("a;;b;"), (Fields{"a", "", "b", ""}));
    EXPECT_EQ(MQTTSplitFields(""), (Fields{""}));
    EXPECT_EQ(MQTTSplitFields(";"), (Fields{"", ""}));
}

TEST(ItemFields, ReservedNamesIgnoreCase)
{
    EXPECT_TRUE(MQTTIsReservedItem("mosqclientctrl"));
    EXPECT_TRUE(MQTTIsReservedItem("ACCEPTDEVICEENROLLMENT"));
    EXPECT_FALSE(MQTTIsReservedItem("MosqClientCtrl/x"));
}

TEST(ItemArray, OnlyNonEmptyArraysOfStringsAreItems)
{
    struct SCase
    {
        const char* item;
        HRESULT result;
        std::vector<std::string> elements;
    };
    const SCase cases[] = {
        {R"(["plant/a", "plant/b;J1;V2"])", S_OK, {"plant/a", "plant/b;J1;V2"}},
        {R"(["caf\u00e9"])", S_OK, {"caf\xc3\xa9"}},
        {"plant/temp", S_FALSE, {}},
        {"plant/temp;J1", S_FALSE, {}},
        {"12", E_FAIL, {}},
        {"true", E_FAIL, {}},
        {R"({"a":"b"})", E_FAIL, {}},
        {"[]", E_FAIL, {}},
        {R"(["a", 1])", E_FAIL, {}},
    };
    for (const SCase& c : cases)
    {
        std::vector<std::string> elements{"stale"};
        EXPECT_EQ(MQTTSplitArrayItem(c.item, elements), c.result) << c.item;
        EXPECT_EQ(elements, c.elements) << c.item;
    }
}

namespace
{
MQTTValuePtr Number(double x, uint8_t quality = HV_QUALITY_GOOD)
{
    MQTTValuePtr value(hvCreate());
    hvSetR64(value.get(), x);
    hvSetQuality(value.get(), quality);
    return value;
}
} // namespace

TEST(WriteDeadband, PassesOnlyChangesThatReachALimit)
{
    SMQTTDeadband percent;
    percent.flags = SMQTTDeadband::PERCENT;
    percent.fraction = 0.05;
    SMQTTDeadband absolute;
    absolute.flags = SMQTTDeadband::ABSOLUTE;
    absolute.absolute = 2;
    const SMQTTDeadband none;
    const double nan = std::numeric_limits<double>::quiet_NaN();

    struct SCase
    {
        const SMQTTDeadband& deadband;
        double old;
        double next;
        bool passes;
    };
    const SCase cases[] = {
        {percent, 98, 100, false}, // 2 < 4.9
        {percent, 98, 104, true},  // 6 >= 4.9
        {percent, 100, 95, true},  // exactly the limit passes
        {percent, 0, 0, true},     // 5 % of nothing is no limit
        {absolute, 10, 11.5, false}, {absolute, 10, 7.9, true}, {none, 1, 1, true},
        {percent, nan, 1, true},     {percent, 1, nan, true},
    };
    for (const SCase& c : cases)
        EXPECT_EQ(c.deadband.Passes(Number(c.old).get(), Number(c.next).get()), c.passes)
            << c.old << " -> " << c.next;
}

TEST(WriteDeadband, DifferentTypeOrQualityAlwaysPasses)
{
    SMQTTDeadband percent;
    percent.flags = SMQTTDeadband::PERCENT;
    percent.fraction = 0.5;
    const MQTTValuePtr empty(hvCreate());
    MQTTValuePtr integer(hvCreate());
    hvSetI32(integer.get(), 100);
    MQTTValuePtr text(hvCreate());
    hvSetText(text.get(), "100");

    EXPECT_TRUE(percent.Passes(empty.get(), Number(100).get()));
    EXPECT_TRUE(percent.Passes(integer.get(), Number(100).get()));
    EXPECT_TRUE(percent.Passes(Number(100, HV_QUALITY_BAD).get(), Number(100).get()));
    EXPECT_TRUE(percent.Passes(text.get(), text.get()));
    EXPECT_FALSE(percent.Passes(Number(100).get(), Number(100).get()));
}
