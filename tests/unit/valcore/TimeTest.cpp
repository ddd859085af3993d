// Timestamps, TIME <-> TIMEX and the current time.
#include "ValueTestSupport.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace
{
TIMEX MakeTimeX(uint16_t year, uint8_t month, uint8_t day, uint8_t hour = 0, uint8_t minute = 0,
                uint8_t second = 0, uint16_t ms = 0)
{
    TIMEX x{};
    x.year = year;
    x.month = month;
    x.day = day;
    x.hour = hour;
    x.minute = minute;
    x.second = second;
    x.millisecond = ms;
    return x;
}
} // namespace

TEST(ValueTime, RecordsHaveTheirPackedLayout)
{
    EXPECT_EQ(sizeof(TIME), 6u);
    EXPECT_EQ(sizeof(TIMEX), 12u);
}

TEST(ValueTime, TimeToTimeXFillsCalendarDayOfYearAndWeekday)
{
    struct Case
    {
        uint32_t seconds;
        int16_t ms;
        uint16_t year;
        uint8_t month, day, hour, minute, second;
        uint16_t dayOfYear;
        uint8_t weekday;
    };
    const Case cases[] = {
        {0, 0, 1970, 1, 1, 0, 0, 0, 0, 4},                   // a Thursday
        {1700000000, 7, 2023, 11, 14, 22, 13, 20, 317, 2},   // a Tuesday
        {951782400, 0, 2000, 2, 29, 0, 0, 0, 59, 2},         // leap day of a 400-year leap year
        {1735689599, 999, 2024, 12, 31, 23, 59, 59, 365, 2}, // last day of a leap year
        {1709251199, 0, 2024, 2, 29, 23, 59, 59, 59, 4},
        {1709251200, 0, 2024, 3, 1, 0, 0, 0, 60, 5},
        {1704067200, 0, 2024, 1, 1, 0, 0, 0, 0, 1},
        {4107542400u, 0, 2100, 3, 1, 0, 0, 0, 59, 1}, // 2100 is no leap year
        {4294967295u, 0, 2106, 2, 7, 6, 28, 15, 37, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.seconds);
        TIME t{c.seconds, c.ms};
        TIMEX x{};
        ASSERT_TRUE(hvTimeToTimeX(&t, &x));
        EXPECT_EQ(+x.year, c.year);
        EXPECT_EQ(+x.month, c.month);
        EXPECT_EQ(+x.day, c.day);
        EXPECT_EQ(+x.hour, c.hour);
        EXPECT_EQ(+x.minute, c.minute);
        EXPECT_EQ(+x.second, c.second);
        EXPECT_EQ(+x.millisecond, static_cast<uint16_t>(c.ms));
        EXPECT_EQ(+x.dayOfYear, c.dayOfYear);
        EXPECT_EQ(+x.weekday, c.weekday);
        TIME back{};
        ASSERT_TRUE(hvTimeXToTime(&x, &back));
        EXPECT_EQ(+back.seconds, c.seconds);
        EXPECT_EQ(+back.milliseconds, c.ms);
    }
}

TEST(ValueTime, EveryDayRoundTripsAndDaysAdvance)
{
    TIMEX previous{};
    for (uint32_t day = 0; day <= 49710; ++day)
    {
        TIME t{day * 86400u + 21600u, 0}; // 06:00 still exists on the last day of TIME
        TIMEX x{};
        ASSERT_TRUE(hvTimeToTimeX(&t, &x)) << day;
        TIME back{};
        ASSERT_TRUE(hvTimeXToTime(&x, &back)) << day;
        ASSERT_EQ(+back.seconds, +t.seconds);
        if (day > 0)
        {
            ASSERT_EQ(+x.weekday, (+previous.weekday + 1) % 7) << day;
            if (x.year == previous.year)
                ASSERT_EQ(+x.dayOfYear, +previous.dayOfYear + 1) << day;
            else
                ASSERT_EQ(+x.dayOfYear, 0) << day;
        }
        previous = x;
    }
}

TEST(ValueTime, OutOfRangeTimeXIsRefused)
{
    const TIMEX refused[] = {
        TIMEX{}, // all zero: no time
        MakeTimeX(1969, 12, 31, 23, 59, 59),
        MakeTimeX(2106, 2, 7, 6, 28, 16), // one second past TIME
        MakeTimeX(2107, 1, 1),
        MakeTimeX(2023, 0, 1),
        MakeTimeX(2023, 13, 1),
        MakeTimeX(2023, 1, 0),
        MakeTimeX(2023, 1, 32),
        MakeTimeX(2023, 4, 31),
        MakeTimeX(2023, 2, 29),
        MakeTimeX(2100, 2, 29),
        MakeTimeX(2023, 1, 1, 24),
        MakeTimeX(2023, 1, 1, 0, 60),
        MakeTimeX(2023, 1, 1, 0, 0, 60),
        MakeTimeX(2023, 1, 1, 0, 0, 0, 1000),
    };
    for (const TIMEX& x : refused)
    {
        SCOPED_TRACE(testing::Message()
                     << int(x.year) << "-" << int(x.month) << "-" << int(x.day) << " " << int(x.hour) << ":"
                     << int(x.minute) << ":" << int(x.second) << "." << int(x.millisecond));
        TIME t{123, 4};
        EXPECT_FALSE(hvTimeXToTime(&x, &t));
        EXPECT_EQ(+t.seconds, 0u);
        EXPECT_EQ(+t.milliseconds, 0);
        CHeld v;
        EXPECT_FALSE(hvSetTimestampTimeX(v, &x));
    }
    // Leap days that exist, and fields the conversion derives itself.
    for (TIMEX x : {MakeTimeX(2024, 2, 29), MakeTimeX(2000, 2, 29), MakeTimeX(1972, 2, 29)})
    {
        x.dayOfYear = 400;
        x.weekday = 9;
        TIME t{};
        EXPECT_TRUE(hvTimeXToTime(&x, &t)) << int(x.year);
    }
}

TEST(ValueTime, TimeToTimeXRefusesBadMillisecondsWithAZeroRecord)
{
    for (int16_t ms : {int16_t{-1}, int16_t{1000}})
    {
        TIME t{5, ms};
        TIMEX x = MakeTimeX(2000, 1, 1);
        EXPECT_FALSE(hvTimeToTimeX(&t, &x));
        EXPECT_EQ(+x.year, 0);
        EXPECT_EQ(+x.month, 0);
    }
    TIMEX x{};
    EXPECT_FALSE(hvTimeToTimeX(nullptr, &x));
    TIME t{};
    EXPECT_FALSE(hvTimeToTimeX(&t, nullptr));
    EXPECT_FALSE(hvTimeXToTime(nullptr, &t));
}

TEST(ValueTime, TimestampAsSecondsAndTimeRoundsToTheMillisecond)
{
    struct Case
    {
        double seconds;
        bool ok;
        uint32_t s;
        int16_t ms;
    };
    const Case cases[] = {
        {0.0, true, 0, 0},
        {1700000000.1234, true, 1700000000, 123},
        {1700000000.9996, true, 1700000001, 0},
        {12.0016, true, 12, 2},
        {-0.0004, true, 0, 0},
        {-0.001, false, 0, 0},
        {4294967295.999, true, 4294967295u, 999},
        {4294967295.9996, false, 0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::fixed << c.seconds);
        CHeld v;
        ASSERT_TRUE(hvSetTimestamp(v, c.seconds));
        double back = 0;
        ASSERT_TRUE(hvGetTimestamp(v, &back));
        EXPECT_EQ(back, c.seconds);
        TIME t{77, 7};
        ASSERT_EQ(!!hvGetTimestampTime(v, &t), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(+t.seconds, c.s);
            EXPECT_EQ(+t.milliseconds, c.ms);
        }
    }
}

TEST(ValueTime, TimestampSetters)
{
    CHeld v;
    TIME t{1700000000, 250};
    ASSERT_TRUE(hvSetTimestampTime(v, &t));
    double s = 0;
    hvGetTimestamp(v, &s);
    EXPECT_EQ(s, 1700000000.25);
    TIMEX x = MakeTimeX(2023, 11, 14, 22, 13, 20, 500);
    ASSERT_TRUE(hvSetTimestampTimeX(v, &x));
    TIME back{};
    ASSERT_TRUE(hvGetTimestampTime(v, &back));
    EXPECT_EQ(+back.seconds, 1700000000u);
    EXPECT_EQ(+back.milliseconds, 500);
    TIME bad{1, 1000};
    EXPECT_FALSE(hvSetTimestampTime(v, &bad));
    EXPECT_FALSE(hvSetTimestamp(v, std::nan("")));
    EXPECT_FALSE(hvSetTimestamp(v, std::numeric_limits<double>::infinity()));
    hvGetTimestamp(v, &s);
    EXPECT_EQ(s, 1700000000.5);
    // Pre-1970 timestamps are kept as seconds but have no TIME.
    ASSERT_TRUE(hvSetTimestamp(v, -86400.0));
    EXPECT_FALSE(hvGetTimestampTime(v, &back));
}

TEST(ValueTime, NowFollowsTheSystemClock)
{
    using namespace std::chrono;
    const double before = duration<double>(system_clock::now().time_since_epoch()).count();
    const double now = hvNow();
    TIME t{};
    hvNowTime(&t);
    const double after = duration<double>(system_clock::now().time_since_epoch()).count();
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
    EXPECT_GE(+t.seconds + t.milliseconds / 1000.0, std::floor(before * 1000) / 1000);
    EXPECT_LE(+t.seconds + t.milliseconds / 1000.0, after + 0.001);
    EXPECT_GE(+t.milliseconds, 0);
    EXPECT_LE(+t.milliseconds, 999);
    hvNowTime(nullptr);
}
