#include "core/PatternMatcher.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{
constexpr std::string_view kDatePatterns[] = {"#/#/# #:#[:#]", "#-#-#T#:#[:#]Z", "#/#/# #:#:#[:#]"};

struct WholeCase
{
    const char* text;
    const char* pattern;
    bool matches;
    std::vector<uint32_t> values; // fields 0.. (unset fields read 0)
};
} // namespace

TEST(PatternMatcher, MatchWholeTable)
{
    const WholeCase cases[] = {
        {"2023/11/14 22:13", "#/#/# #:#[:#]", true, {2023, 11, 14, 22, 13}},
        {"2023/11/14 22:13:20", "#/#/# #:#[:#]", true, {2023, 11, 14, 22, 13, 20}},
        {"2023/11/14 22:13:20   ", "#/#/# #:#[:#]", true, {2023, 11, 14, 22, 13, 20}},
        {"2023-11-14T22:13:20Z", "#-#-#T#:#[:#]Z", true, {2023, 11, 14, 22, 13, 20}},
        {"2023-11-14t22:13z", "#-#-#T#:#[:#]Z", true, {2023, 11, 14, 22, 13}},
        {"+2023/+1/2 3:4", "#/#/# #:#[:#]", true, {2023, 1, 2, 3, 4}},
        {"14.11.2023 22:13", "#/#/# #:#[:#]", false, {}},
        {"2023/11/14  22:13", "#/#/# #:#[:#]", false, {}},
        {"2023/11/14 22:", "#/#/# #:#[:#]", false, {}},
        {"2023/11/14 22:13:", "#/#/# #:#[:#]", false, {}},
        {"2023/11/14 22:13:20:250", "#/#/# #:#[:#]", false, {}},
        {"2023/11/14 22:13:20:250", "#/#/# #:#:#[:#]", true, {2023, 11, 14, 22, 13, 20, 250}},
        {"ab", "A|AB", true, {}},
        {"x7", "x#|y#", true, {7}},
        {"y7", "x#|y#", true, {7}},
        {"z7", "x#|y#", false, {}},
        {"5-9", "*|#-#|#", true, {5, 9}},
        {"5", "*|#-#|#", true, {5}},
        {"*", "*|#-#|#", true, {}},
        {"ff", "$", true, {255}},
        {"a[b", "a\\[b", true, {}},
        {"1:2", "#[:#[:#]]", true, {1, 2}},
        {"1:2:3", "#[:#[:#]]", true, {1, 2, 3}},
        {"", "", true, {}},
        {"1", "#[", false, {}},
    };
    for (const WholeCase& c : cases)
    {
        SPatternField fields[8];
        const bool got = CPatternMatcher::MatchWhole(c.text, c.pattern, fields);
        EXPECT_EQ(got, c.matches) << '"' << c.text << "\" with " << c.pattern;
        if (!got || !c.matches)
            continue;
        for (size_t i = 0; i < 8; ++i)
        {
            const uint32_t expected = i < c.values.size() ? c.values[i] : 0;
            EXPECT_EQ(fields[i].value, expected) << c.text << " field " << i;
            EXPECT_EQ(fields[i].set, i < c.values.size()) << c.text << " field " << i;
        }
    }
}

TEST(PatternMatcher, NumberAboveFieldMaximumFailsThePath)
{
    SPatternField fields[3];
    fields[0].max = 255;
    fields[1].max = 255;
    EXPECT_FALSE(CPatternMatcher::MatchWhole("256", "#", fields));
    EXPECT_FALSE(fields[0].set) << "a failed match leaves the fields as they were";
    // The optional part's number is too large: the part is skipped and its field restored.
    fields[1].max = 59;
    EXPECT_EQ(CPatternMatcher::MatchPrefix("12:75", "#[:#]", fields), 2);
    EXPECT_EQ(fields[0].value, 12u);
    EXPECT_FALSE(fields[1].set);
    EXPECT_EQ(fields[1].value, 0u);
}

TEST(PatternMatcher, PrefixReportsConsumedCharacters)
{
    SPatternField fields[2];
    EXPECT_EQ(CPatternMatcher::MatchPrefix("10-20.x", "*|#-#|#", fields), 5);
    EXPECT_EQ(CPatternMatcher::MatchPrefix("10-.x", "*|#-#|#", fields), 2)
        << "falls back to the single number";
    EXPECT_EQ(CPatternMatcher::MatchPrefix(".x", "*|#-#|#", fields), -1);
}

TEST(PatternMatcher, DatePatternsInOrderPickTheFirstWholeMatch)
{
    struct Case
    {
        const char* text;
        int pattern; // index of the first pattern matching, -1 for none
    };
    for (const Case c : {Case{"2023/11/14 22:13", 0}, Case{"2023-11-14T22:13:20Z", 1},
                         Case{"2023/11/14 22:13:20:250", 2}, Case{"14.11.2023 22:13", -1}})
    {
        int matched = -1;
        for (int i = 0; i < 3 && matched < 0; ++i)
        {
            SPatternField fields[7];
            if (CPatternMatcher::MatchWhole(c.text, kDatePatterns[i], fields))
                matched = i;
        }
        EXPECT_EQ(matched, c.pattern) << c.text;
    }
}
