#include "platform/Text.h"

#include <gtest/gtest.h>

#include <map>

TEST(Text, Utf8AndUtf16RoundTrip)
{
    struct Case
    {
        const char* utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"", u""},
        {"MQTT/topic", u"MQTT/topic"},
        {"caf\xC3\xA9", u"caf\u00E9"},
        {"\xE2\x82\xAC 5", u"\u20AC 5"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"}, // outside the BMP: a surrogate pair
        {"\xEF\xBF\xBF", u"\uFFFF"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
        EXPECT_TRUE(IsValidUtf8(c.utf8)) << c.utf8;
    }
}

TEST(Text, IllFormedUtf8BecomesReplacementCharacters)
{
    struct Case
    {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"a\x80z", u"a\uFFFDz"},                   // stray continuation byte
        {"\xC0\x80", u"\uFFFD\uFFFD"},             // overlong NUL
        {"\xE2\x82", u"\uFFFD\uFFFD"},             // truncated sequence
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},   // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
        EXPECT_FALSE(IsValidUtf8(c.utf8));
    }
}

TEST(Text, UnpairedSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
}

TEST(Text, Windows1252Table)
{
    struct Case
    {
        uint8_t byte;
        char16_t unicode;
    };
    const Case cases[] = {
        {0x41, u'A'},    {0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160}, {0x8D, 0x008D},
        {0x99, 0x2122}, {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xE9, 0x00E9}, {0xFF, 0x00FF},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Cp1252ToUnicode(c.byte), c.unicode) << int(c.byte);
        uint8_t back = 0;
        EXPECT_TRUE(UnicodeToCp1252(c.unicode, back));
        EXPECT_EQ(back, c.byte);
    }
    // Every byte survives the round trip.
    for (int b = 0; b < 256; ++b)
    {
        uint8_t back = 0;
        ASSERT_TRUE(UnicodeToCp1252(Cp1252ToUnicode(static_cast<uint8_t>(b)), back));
        EXPECT_EQ(back, b);
    }
}

TEST(Text, Windows1252StringsAndUnmappableCharacters)
{
    EXPECT_EQ(Cp1252ToUtf16("\x80\xE9"), u"\u20AC\u00E9");
    EXPECT_EQ(Utf16ToCp1252(u"\u20AC\u00E9"), "\x80\xE9");
    EXPECT_EQ(Utf16ToCp1252(u"a\u4E2D\U0001F600b"), "a??b");
    uint8_t byte = 0;
    EXPECT_FALSE(UnicodeToCp1252(0x0100, byte));
}

TEST(Text, CaseInsensitiveComparison)
{
    struct Case
    {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"drvIO", "DRVIO", 0},  {"IO.TimeoutMs", "io.timeoutms", 0}, {"", "", 0},
        {"abc", "abd", -1},     {"ABD", "abc", 1},                   {"ab", "abc", -1},
        {"[", "a", -1},  // '[' sorts after 'A' but before 'a': letters fold to lower case
        {"\xC3\xA9", "\xC3\x89", 1}, // bytes outside ASCII compare as they are
    };
    for (const Case& c : cases)
    {
        const int r = CompareNoCase(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(EqualsNoCase(c.a, c.b), c.order == 0);
        EXPECT_EQ(LessNoCase{}(c.a, c.b), c.order < 0);
    }
    EXPECT_EQ(ToLowerAscii("MQTT.ClientID"), "mqtt.clientid");
    EXPECT_EQ(ToUpperAscii("drvIO\xC3\xA9"), "DRVIO\xC3\xA9");
}

TEST(Text, LessNoCaseKeysAMap)
{
    std::map<std::string, int, LessNoCase> m;
    m["IO.Type"] = 1;
    m["io.type"] = 2;
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(m.find(std::string_view("IO.TYPE"))->second, 2);
}
