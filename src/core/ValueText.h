// The fixed notation in which the framework writes values into the log: a bounded text
// builder, value texts with quality and time prefixes, and time texts relative to today.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/IOLog.h"
#include "dravo/hvalue.h"

// Options of a text builder.
constexpr uint32_t VALUE_TEXT_PLAIN = 1;   // no "(quality; time) " prefix
constexpr uint32_t VALUE_TEXT_COMPACT = 2; // arrays as "{...}" without the "array(n;TYPE) " head

constexpr size_t ValueTextCapacity = 2048;
constexpr size_t AddressTextCapacity = 1024;
constexpr size_t TraceTextCapacity = 1024;

// Holds at most capacity - 1 characters. An append that does not fit fills the text to the
// end, drops the rest and reports false; a text cut that way ends in "..." once finished.
class CTextBuilder
{
public:
    explicit CTextBuilder(size_t capacity, uint32_t options = 0);

    bool Append(std::string_view text);
    bool Format(const char* format, ...) DRAVO_PRINTF(2, 3);

    uint32_t Options() const { return m_options; }
    // The date that time texts compare with, taken when the builder is made.
    const TIMEX& Today() const { return m_today; }
    void SetToday(const TIMEX& today) { m_today = today; }

    bool Truncated() const { return m_truncated; }
    // The text, its last three characters replaced by "..." when something was dropped.
    std::string Finish() const;

private:
    std::string m_text;
    size_t m_limit;
    uint32_t m_options;
    TIMEX m_today{};
    bool m_truncated = false;
};

// Name of a type code ("I32", "STR", ...; "?TYPE?" for unknown codes).
const char* ValueTypeName(uint32_t type);

// Appends the full value text (prefix unless plain, then the body) of `value`.
void AppendValueText(CTextBuilder& out, HVALUE value);
// Appends "hh:mm:ss[.mmm]" for a time of today, else "yyyy.mm.dd hh:mm:ss[.mmm]".
void AppendTimeText(CTextBuilder& out, const TIME& time);

// The value text in a builder of ValueTextCapacity.
std::string ValueText(HVALUE value, uint32_t options = 0);
