#include "platform/Time.h"

#include <time.h>

namespace
{
LocalTime FromTm(const tm& t, int64_t unixMs)
{
    int64_t ms = unixMs % 1000;
    if (ms < 0)
        ms += 1000;
    return LocalTime{static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
                     static_cast<uint16_t>(t.tm_wday),        static_cast<uint16_t>(t.tm_mday),
                     static_cast<uint16_t>(t.tm_hour),        static_cast<uint16_t>(t.tm_min),
                     static_cast<uint16_t>(t.tm_sec),         static_cast<uint16_t>(ms)};
}

// Whole seconds rounded towards minus infinity, so that times before 1970 keep a
// non-negative millisecond part.
time_t FloorSeconds(int64_t unixMs)
{
    int64_t s = unixMs / 1000;
    if (unixMs % 1000 < 0)
        --s;
    return static_cast<time_t>(s);
}
} // namespace

int64_t UnixTimeMs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LocalTime ToLocalTime(int64_t unixMs)
{
    const time_t s = FloorSeconds(unixMs);
    tm t{};
    localtime_r(&s, &t);
    return FromTm(t, unixMs);
}

LocalTime ToUtcTime(int64_t unixMs)
{
    const time_t s = FloorSeconds(unixMs);
    tm t{};
    gmtime_r(&s, &t);
    return FromTm(t, unixMs);
}

LocalTime GetLocalTime() { return ToLocalTime(UnixTimeMs()); }

LocalTime GetUtcTime() { return ToUtcTime(UnixTimeMs()); }

int32_t LocalBiasMinutes(int64_t unixMs)
{
    const time_t s = FloorSeconds(unixMs);
    tm t{};
    localtime_r(&s, &t);
    return static_cast<int32_t>(-t.tm_gmtoff / 60);
}

int32_t LocalBiasMinutes() { return LocalBiasMinutes(UnixTimeMs()); }
