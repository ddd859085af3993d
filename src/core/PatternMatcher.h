// The framework's text pattern matcher, used for date texts ("#/#/# #:#[:#]") and for the
// address patterns of the IP filter.
//
// Pattern language:
//   #      a decimal number: an optional '+', then at least one digit
//   $      a hexadecimal number: at least one digit of 0-9, a-f, A-F
//   [ ]    an optional part: tried first; when the rest cannot match with it, the text
//          position and the fields it touched are restored and it is skipped
//   |      separates alternatives of the enclosing level (the whole pattern or a [ ]),
//          tried in order
//   \c     the character c itself
//   other  must equal the text character, ignoring ASCII case
// Every number read goes into the next field (the count of numbers read so far on the
// matching path). A number above its field's maximum fails that path.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

struct SPatternField
{
    uint32_t value = 0;
    uint32_t max = UINT32_MAX;
    bool set = false;
};

class CPatternMatcher
{
public:
    // Matches the pattern against the start of `text`; returns the count of characters
    // consumed, or -1 when it does not match. Numbers beyond the given fields are read and
    // checked against UINT32_MAX only.
    static int MatchPrefix(std::string_view text, std::string_view pattern, std::span<SPatternField> fields);
    // The whole text must match; trailing spaces are allowed.
    static bool MatchWhole(std::string_view text, std::string_view pattern, std::span<SPatternField> fields);
    // True when the pattern's brackets balance and it does not end in an escape.
    static bool IsValidPattern(std::string_view pattern);
};
