// Helpers shared by the value library tests.
#pragma once
#include "dravo/hvalue.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

// Owns one reference.
class CHeld
{
public:
    CHeld() : m_v(hvCreate()) {}
    explicit CHeld(HVALUE adopted) : m_v(adopted) {}
    CHeld(const CHeld&) = delete;
    CHeld& operator=(const CHeld&) = delete;
    CHeld(CHeld&& other) noexcept : m_v(std::exchange(other.m_v, nullptr)) {}
    ~CHeld() { hvRelease(m_v); }
    HVALUE get() const { return m_v; }
    operator HVALUE() const { return m_v; }

private:
    HVALUE m_v;
};

inline std::string TextOf(HVALUE v)
{
    const char* text = nullptr;
    size_t length = 0;
    if (!hvGetTextN(v, &text, &length))
        return "<no text>";
    return std::string(text, length);
}

inline std::vector<uint8_t> Serialized(HVALUE v)
{
    std::vector<uint8_t> bytes(hvSerializeSize(v));
    if (bytes.empty() || hvSerialize(v, bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size())
        ADD_FAILURE() << "serialisation failed";
    return bytes;
}

// Compares two values through the public API, recursing into nested values, list entries
// and properties.
inline void ExpectSameValue(HVALUE a, HVALUE b, const std::string& where = "value")
{
    SCOPED_TRACE(where);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const uint8_t type = hvGetType(a);
    ASSERT_EQ(type, hvGetType(b));
    EXPECT_EQ(hvGetQuality(a), hvGetQuality(b));
    double ta = 0, tb = 0;
    hvGetTimestamp(a, &ta);
    hvGetTimestamp(b, &tb);
    EXPECT_EQ(ta, tb);
    ASSERT_EQ(hvGetPropertyCount(a), hvGetPropertyCount(b));
    for (uint16_t n = 0; n < hvGetPropertyCount(a); ++n)
    {
        uint16_t ida = 0, idb = 0;
        ASSERT_TRUE(hvGetPropertyId(a, n, &ida));
        ASSERT_TRUE(hvGetPropertyId(b, n, &idb));
        ASSERT_EQ(ida, idb);
        CHeld pa(hvGetProperty(a, ida)), pb(hvGetProperty(b, idb));
        ExpectSameValue(pa, pb, where + ".property" + std::to_string(ida));
    }
    if (type == HV_LIST)
    {
        ASSERT_EQ(hvGetListCount(a), hvGetListCount(b));
        uintptr_t pa = 0, pb = 0;
        int i = 0;
        for (HVALUE ea = hvListFirst(a, &pa), eb = hvListFirst(b, &pb); ea || eb;
             ea = hvListNext(a, &pa), eb = hvListNext(b, &pb), ++i)
            ExpectSameValue(ea, eb, where + ".list[" + std::to_string(i) + "]");
        return;
    }
    if (type == HV_HVAL)
    {
        CHeld na(hvGetNestedValue(a)), nb(hvGetNestedValue(b));
        ExpectSameValue(na, nb, where + ".nested");
        return;
    }
    if (type & HV_ARRAY)
    {
        ASSERT_EQ(hvGetCount(a), hvGetCount(b));
        for (uint16_t i = 0; i < hvGetCount(a); ++i)
        {
            CHeld ea(hvGetElementValue(a, i)), eb(hvGetElementValue(b, i));
            ExpectSameValue(ea, eb, where + "[" + std::to_string(i) + "]");
        }
        return;
    }
    if (type == HV_STR)
    {
        EXPECT_EQ(TextOf(a), TextOf(b));
    }
    else if (type == HV_TIME)
    {
        TIME x{}, y{};
        ASSERT_TRUE(hvGetTimeValue(a, &x));
        ASSERT_TRUE(hvGetTimeValue(b, &y));
        EXPECT_EQ(+x.seconds, +y.seconds);
        EXPECT_EQ(+x.milliseconds, +y.milliseconds);
    }
    else if (type != HV_NULL)
    {
        double x = 0, y = 0;
        ASSERT_TRUE(hvGetR64(a, &x));
        ASSERT_TRUE(hvGetR64(b, &y));
        if (x == x)
            EXPECT_EQ(x, y);
        else
            EXPECT_NE(y, y); // both NaN
    }
}
