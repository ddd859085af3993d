#include "platform/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace
{
// Sets the time zone for one test and restores the previous one.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* tz)
    {
        if (const char* old = getenv("TZ"))
            m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_old;
};
} // namespace

TEST(Time, UtcBreakdown)
{
    struct Case
    {
        int64_t unixMs;
        LocalTime expected;
    };
    const Case cases[] = {
        {0, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {951782400123, {2000, 2, 2, 29, 0, 0, 0, 123}},     // leap day, a Tuesday
        {-1, {1969, 12, 3, 31, 23, 59, 59, 999}},           // milliseconds stay non-negative
        {4102444799999, {2099, 12, 4, 31, 23, 59, 59, 999}},
    };
    for (const Case& c : cases)
    {
        const LocalTime t = ToUtcTime(c.unixMs);
        EXPECT_EQ(t.year, c.expected.year) << c.unixMs;
        EXPECT_EQ(t.month, c.expected.month) << c.unixMs;
        EXPECT_EQ(t.dayOfWeek, c.expected.dayOfWeek) << c.unixMs;
        EXPECT_EQ(t.day, c.expected.day) << c.unixMs;
        EXPECT_EQ(t.hour, c.expected.hour) << c.unixMs;
        EXPECT_EQ(t.minute, c.expected.minute) << c.unixMs;
        EXPECT_EQ(t.second, c.expected.second) << c.unixMs;
        EXPECT_EQ(t.milliseconds, c.expected.milliseconds) << c.unixMs;
    }
}

TEST(Time, LocalTimeAndBiasFollowTheTimeZone)
{
    ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    const int64_t winter = 1704067200000; // 2024-01-01 00:00:00 UTC
    const int64_t summer = 1719792000000; // 2024-07-01 00:00:00 UTC
    EXPECT_EQ(LocalBiasMinutes(winter), -60);
    EXPECT_EQ(LocalBiasMinutes(summer), -120);
    EXPECT_EQ(ToLocalTime(winter).hour, 1);
    EXPECT_EQ(ToLocalTime(summer).hour, 2);

    ScopedTimeZone west("EST5");
    EXPECT_EQ(LocalBiasMinutes(winter), 300);
    EXPECT_EQ(ToLocalTime(winter).day, 31);
}

TEST(Time, CurrentTimeIsConsistent)
{
    ScopedTimeZone tz("UTC0");
    const int64_t before = UnixTimeMs();
    const LocalTime now = GetLocalTime();
    const int64_t after = UnixTimeMs();
    EXPECT_GT(before, 1600000000000); // after September 2020
    EXPECT_GE(now.year, ToUtcTime(before).year);
    EXPECT_LE(now.year, ToUtcTime(after).year);
    EXPECT_EQ(LocalBiasMinutes(), 0);
}
