// Text conversions and comparisons. Narrow text is UTF-8; wide text is UTF-16.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Invalid input never fails: ill-formed sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Strict check: true when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view utf8);

// Windows-1252: every byte maps to a code point (the five undefined bytes map to the
// C1 control of the same value, as the Windows conversion does).
char16_t Cp1252ToUnicode(uint8_t byte);
// Returns false when the code point has no Windows-1252 byte.
bool UnicodeToCp1252(char16_t ch, uint8_t& byte);
std::u16string Cp1252ToUtf16(std::string_view bytes);
// Unmappable characters become '?'.
std::string Utf16ToCp1252(std::u16string_view text);

// ASCII case-insensitive comparison (other bytes compare as they are).
char AsciiLower(char c);
char AsciiUpper(char c);
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);

struct LessNoCase
{
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return CompareNoCase(a, b) < 0; }
};
