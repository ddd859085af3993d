// Timestamps, TIME and TIMEX, and the text form of a TIME.
#include "ValueRecord.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace
{
constexpr int64_t kSecondsPerDay = 86400;
constexpr uint16_t kFirstYear = 1970;
constexpr uint16_t kLastYear = 2106; // TIME ends on 2106-02-07 06:28:15

bool IsLeapYear(unsigned year) noexcept
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) noexcept
{
    static constexpr unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) noexcept
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, unsigned& year, unsigned& month, unsigned& day) noexcept
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<unsigned>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

bool ReadDigits(const char*& p, const char* end, unsigned count, unsigned& value) noexcept
{
    value = 0;
    for (unsigned i = 0; i < count; ++i, ++p)
    {
        if (p == end || *p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    return true;
}

bool Expect(const char*& p, const char* end, char c) noexcept
{
    if (p == end || *p != c)
        return false;
    ++p;
    return true;
}
} // namespace

bool IsValidTime(const TIME& t) noexcept
{
    return t.milliseconds >= 0 && t.milliseconds <= 999;
}

bool SecondsToTime(double seconds, TIME& t) noexcept
{
    const double rounded = seconds + 0.0005;
    if (!(rounded >= 0.0) || rounded >= 4294967296.0)
        return false;
    const double whole = std::floor(rounded);
    double ms = std::floor((rounded - whole) * 1000.0);
    if (ms > 999.0)
        ms = 999.0;
    t.seconds = static_cast<uint32_t>(whole);
    t.milliseconds = static_cast<int16_t>(ms);
    return true;
}

double TimeToSeconds(const TIME& t) noexcept
{
    return static_cast<double>(t.seconds) + t.milliseconds / 1000.0;
}

bool FormatTimeText(const TIME& t, std::string& text)
{
    TIMEX x{};
    if (!hvTimeToTimeX(&t, &x))
        return false;
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ",
                                unsigned{x.year}, unsigned{x.month}, unsigned{x.day}, unsigned{x.hour},
                                unsigned{x.minute}, unsigned{x.second}, unsigned{x.millisecond});
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer)
        return false;
    text.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool ParseTimeText(const char* text, size_t length, TIME& t) noexcept
{
    const char* p = text;
    const char* end = text + length;
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!ReadDigits(p, end, 4, year) || !Expect(p, end, '-') || !ReadDigits(p, end, 2, month) ||
        !Expect(p, end, '-') || !ReadDigits(p, end, 2, day))
        return false;
    if (p == end || (*p != 'T' && *p != ' '))
        return false;
    ++p;
    if (!ReadDigits(p, end, 2, hour) || !Expect(p, end, ':') || !ReadDigits(p, end, 2, minute) ||
        !Expect(p, end, ':') || !ReadDigits(p, end, 2, second))
        return false;
    if (p != end && *p == '.')
    {
        ++p;
        unsigned digits = 0;
        for (; p != end && *p >= '0' && *p <= '9' && digits < 3; ++p, ++digits)
            ms = ms * 10 + static_cast<unsigned>(*p - '0');
        if (digits == 0)
            return false;
        for (; digits < 3; ++digits)
            ms *= 10;
    }
    if (p != end && *p == 'Z')
        ++p;
    if (p != end)
        return false;
    TIMEX x{};
    x.year = static_cast<uint16_t>(year);
    x.month = static_cast<uint8_t>(month);
    x.day = static_cast<uint8_t>(day);
    x.hour = static_cast<uint8_t>(hour);
    x.minute = static_cast<uint8_t>(minute);
    x.second = static_cast<uint8_t>(second);
    x.millisecond = static_cast<uint16_t>(ms);
    return hvTimeXToTime(&x, &t) != 0;
}

int hvTimeToTimeX(const TIME* t, TIMEX* x)
{
    if (!x)
        return 0;
    *x = TIMEX{};
    if (!t || !IsValidTime(*t))
        return 0;
    const int64_t seconds = t->seconds;
    const int64_t days = seconds / kSecondsPerDay;
    const int64_t rest = seconds % kSecondsPerDay;
    unsigned year = 0, month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    x->year = static_cast<uint16_t>(year);
    x->month = static_cast<uint8_t>(month);
    x->day = static_cast<uint8_t>(day);
    x->hour = static_cast<uint8_t>(rest / 3600);
    x->minute = static_cast<uint8_t>(rest / 60 % 60);
    x->second = static_cast<uint8_t>(rest % 60);
    x->millisecond = static_cast<uint16_t>(t->milliseconds);
    x->dayOfYear = static_cast<uint16_t>(days - DaysFromCivil(year, 1, 1));
    // 1970-01-01 was a Thursday.
    x->weekday = static_cast<uint8_t>((days + 4) % 7);
    return 1;
}

int hvTimeXToTime(const TIMEX* x, TIME* t)
{
    if (!t)
        return 0;
    *t = TIME{};
    if (!x)
        return 0;
    const TIMEX in = *x;
    if (in.year < kFirstYear || in.year > kLastYear || in.month < 1 || in.month > 12 || in.day < 1 ||
        in.day > DaysInMonth(in.year, in.month) || in.hour > 23 || in.minute > 59 || in.second > 59 ||
        in.millisecond > 999)
        return 0;
    const int64_t seconds = DaysFromCivil(in.year, in.month, in.day) * kSecondsPerDay + in.hour * 3600 +
                            in.minute * 60 + in.second;
    if (seconds > static_cast<int64_t>(UINT32_MAX))
        return 0;
    t->seconds = static_cast<uint32_t>(seconds);
    t->milliseconds = static_cast<int16_t>(in.millisecond);
    return 1;
}

int hvGetTimestamp(HVALUE v, double* secondsSince1970)
{
    if (!v || !secondsSince1970)
        return 0;
    *secondsSince1970 = v->timestamp;
    return 1;
}

int hvGetTimestampTime(HVALUE v, TIME* t)
{
    if (!v || !t)
        return 0;
    TIME result{};
    if (!SecondsToTime(v->timestamp, result))
        return 0;
    *t = result;
    return 1;
}

int hvSetTimestamp(HVALUE v, double secondsSince1970)
{
    if (!v || !std::isfinite(secondsSince1970))
        return 0;
    v->timestamp = secondsSince1970;
    return 1;
}

int hvSetTimestampTime(HVALUE v, const TIME* t)
{
    if (!v || !t || !IsValidTime(*t))
        return 0;
    v->timestamp = TimeToSeconds(*t);
    return 1;
}

int hvSetTimestampTimeX(HVALUE v, const TIMEX* x)
{
    TIME t{};
    if (!v || !hvTimeXToTime(x, &t))
        return 0;
    v->timestamp = TimeToSeconds(t);
    return 1;
}

double hvNow(void)
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void hvNowTime(TIME* t)
{
    if (!t)
        return;
    if (!SecondsToTime(hvNow(), *t))
        *t = TIME{};
}
