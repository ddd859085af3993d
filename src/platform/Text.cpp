#include "platform/Text.h"

#include <array>

namespace
{
constexpr char16_t REPLACEMENT = 0xFFFD;

void AppendUtf16(std::u16string& out, uint32_t cp)
{
    if (cp < 0x10000)
    {
        out.push_back(static_cast<char16_t>(cp));
        return;
    }
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80)
        out.push_back(static_cast<char>(cp));
    else if (cp < 0x800)
    {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else if (cp < 0x10000)
    {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else
    {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one well-formed UTF-8 sequence at `pos` (RFC 3629: no overlongs, no surrogates,
// nothing above U+10FFFF). Returns the length consumed, or 0 when ill-formed; on failure the
// caller skips one byte.
size_t DecodeUtf8(std::string_view s, size_t pos, uint32_t& cp)
{
    const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t lead = b(pos);
    size_t len;
    uint32_t min;
    if (lead < 0x80)
    {
        cp = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0)
    {
        len = 2;
        cp = lead & 0x1F;
        min = 0x80;
    }
    else if ((lead & 0xF0) == 0xE0)
    {
        len = 3;
        cp = lead & 0x0F;
        min = 0x800;
    }
    else if ((lead & 0xF8) == 0xF0)
    {
        len = 4;
        cp = lead & 0x07;
        min = 0x10000;
    }
    else
        return 0;
    if (pos + len > s.size())
        return 0;
    for (size_t i = 1; i < len; ++i)
    {
        if ((b(pos + i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(pos + i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// 0x80-0x9F of Windows-1252; the five undefined bytes map to the C1 control of the same value.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
} // namespace

std::u16string Utf8ToUtf16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();)
    {
        uint32_t cp = 0;
        const size_t len = DecodeUtf8(utf8, pos, cp);
        if (len == 0)
        {
            out.push_back(REPLACEMENT);
            ++pos;
            continue;
        }
        AppendUtf16(out, cp);
        pos += len;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i)
    {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF)
        {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = REPLACEMENT; // unpaired surrogate
        AppendUtf8(out, cp);
    }
    return out;
}

bool IsValidUtf8(std::string_view utf8)
{
    for (size_t pos = 0; pos < utf8.size();)
    {
        uint32_t cp = 0;
        const size_t len = DecodeUtf8(utf8, pos, cp);
        if (len == 0)
            return false;
        pos += len;
    }
    return true;
}

char16_t Cp1252ToUnicode(uint8_t byte)
{
    if (byte >= 0x80 && byte <= 0x9F)
        return kCp1252High[byte - 0x80];
    return byte;
}

bool UnicodeToCp1252(char16_t ch, uint8_t& byte)
{
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
    {
        byte = static_cast<uint8_t>(ch);
        return true;
    }
    for (size_t i = 0; i < kCp1252High.size(); ++i)
    {
        if (kCp1252High[i] == ch)
        {
            byte = static_cast<uint8_t>(0x80 + i);
            return true;
        }
    }
    return false;
}

std::u16string Cp1252ToUtf16(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (char c : bytes)
        out.push_back(Cp1252ToUnicode(static_cast<uint8_t>(c)));
    return out;
}

std::string Utf16ToCp1252(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        uint8_t byte = 0;
        if (UnicodeToCp1252(text[i], byte))
            out.push_back(static_cast<char>(byte));
        else
        {
            out.push_back('?');
            // A surrogate pair is one character: one '?' for both halves.
            if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF)
                ++i;
        }
    }
    return out;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int CompareNoCase(std::string_view a, std::string_view b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
    {
        const auto x = static_cast<uint8_t>(AsciiLower(a[i]));
        const auto y = static_cast<uint8_t>(AsciiLower(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareNoCase(a, b) == 0; }

std::string ToLowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

std::string ToUpperAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = AsciiUpper(c);
    return out;
}
