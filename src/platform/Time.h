// Wall-clock time: broken-down local and UTC time with milliseconds, and the local bias.
#pragma once
#include <cstdint>

struct LocalTime
{
    uint16_t year;
    uint16_t month;     // 1..12
    uint16_t dayOfWeek; // 0 = Sunday
    uint16_t day;       // 1..31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// Milliseconds since 1970-01-01 UTC.
int64_t UnixTimeMs();
LocalTime GetLocalTime();
LocalTime GetUtcTime();
LocalTime ToLocalTime(int64_t unixMs);
LocalTime ToUtcTime(int64_t unixMs);
// Minutes to add to local time to obtain UTC (UTC = local + bias), the Windows sign
// convention: positive west of Greenwich. Includes daylight saving in force at `unixMs`.
int32_t LocalBiasMinutes(int64_t unixMs);
int32_t LocalBiasMinutes();
