// Values as a host sees them: an owning handle, and the conversions between value-library
// values and JSON that the settings file, the command line and the output formats share.
#pragma once
#include <string>
#include <string_view>
#include <utility>

#include "dravo/hvalue.h"
#include "json/JsonValue.h"

// Owns one reference to a value; a default-made one holds a new empty value.
class CHostValue
{
public:
    CHostValue() : m_value(hvCreate()) {}
    explicit CHostValue(HVALUE adopted) : m_value(adopted) {}
    ~CHostValue() { hvRelease(m_value); }
    CHostValue(const CHostValue&) = delete;
    CHostValue& operator=(const CHostValue&) = delete;
    CHostValue(CHostValue&& o) noexcept : m_value(std::exchange(o.m_value, nullptr)) {}
    CHostValue& operator=(CHostValue&& o) noexcept
    {
        std::swap(m_value, o.m_value);
        return *this;
    }

    HVALUE Get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }

private:
    HVALUE m_value;
};

// The type name of the value-text notation: "null", "I8" ... "LIST"; an array is its
// element type followed by "[]" ("R64[]"); a null handle is "null".
std::string ValueTypeName(HVALUE value);

// A value as JSON: integers and reals as numbers (NaN and infinities as null), texts as
// strings, TIME as an ISO 8601 UTC string, a nested value as that value, arrays and lists
// as arrays of their elements; null and a null handle as null.
JsonValue::Ptr ValueToJson(HVALUE value);

// A JSON scalar into a value: a whole number in the signed 32-bit range becomes I32, one
// above it up to 4294967295 U32, any other number R64; a string STR; a boolean I32 1 or 0;
// null an empty value. Arrays and objects are refused (false).
bool JsonToValue(const JsonValue& json, HVALUE out);

// Command-line text into a value: text that reads as one JSON number, boolean or quoted
// string takes that JSON meaning; anything else is the text itself.
bool TextToValue(std::string_view text, HVALUE out);

// A value to write, given as text: text that reads as one JSON number is that number (as
// JsonToValue makes it); anything else is the text itself.
bool NumberOrTextToValue(std::string_view text, HVALUE out);

// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SS.mmmZ"; empty when out of the TIME range.
std::string FormatIsoTime(double secondsSince1970);
