// Lifetime, quality, type predicates and the null handle.
#include "ValueTestSupport.h"

#include <thread>

TEST(ValueLifetime, NewValueIsNullGoodAndUntimed)
{
    CHeld v;
    ASSERT_NE(v.get(), nullptr);
    EXPECT_EQ(hvGetType(v), HV_NULL);
    EXPECT_EQ(hvGetQuality(v), HV_QUALITY_GOOD);
    double ts = -1;
    ASSERT_TRUE(hvGetTimestamp(v, &ts));
    EXPECT_EQ(ts, 0.0);
    EXPECT_EQ(hvGetCount(v), 0);
    EXPECT_EQ(hvGetPropertyCount(v), 0);
}

TEST(ValueLifetime, ReferencesFromManyThreadsBalance)
{
    // Unbalanced or torn counts show up as a leak or a use after free under the sanitizers.
    HVALUE v = hvCreate();
    hvSetText(v, "shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [v]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    hvAddRef(v);
                    hvRelease(v);
                }
                hvAddRef(v);
            });
    for (auto& t : threads)
        t.join();
    for (int t = 0; t < 4; ++t)
        hvRelease(v);
    EXPECT_EQ(TextOf(v), "shared");
    hvRelease(v);
}

TEST(ValueLifetime, AddRefReturnsTheSameHandle)
{
    HVALUE v = hvCreate();
    EXPECT_EQ(hvAddRef(v), v);
    hvRelease(v);
    hvSetI32(v, 5); // still alive: one reference left
    int32_t x = 0;
    EXPECT_TRUE(hvGetI32(v, &x));
    EXPECT_EQ(x, 5);
    hvRelease(v);
}

TEST(ValueLifetime, DuplicateKeepsPayloadQualityAndPropertiesButNotTimestamp)
{
    CHeld v, tag;
    hvSetText(v, "abc");
    hvSetQuality(v, 0x40);
    hvSetTimestamp(v, 1700000000.5);
    hvSetU16(tag, 7);
    hvSetProperty(v, 138, tag);
    CHeld d(hvDuplicate(v));
    ASSERT_NE(d.get(), nullptr);
    EXPECT_NE(d.get(), v.get());
    EXPECT_EQ(TextOf(d), "abc");
    EXPECT_EQ(hvGetQuality(d), 0x40);
    double ts = -1;
    hvGetTimestamp(d, &ts);
    EXPECT_EQ(ts, 0.0);
    CHeld p(hvGetProperty(d, 138));
    uint16_t n = 0;
    EXPECT_TRUE(hvGetU16(p, &n));
    EXPECT_EQ(n, 7);
    // Own payload: changing the copy leaves the original alone.
    hvSetText(d, "xyz");
    EXPECT_EQ(TextOf(v), "abc");
}

TEST(ValueLifetime, CopyTakesEverythingAndIsDeep)
{
    CHeld src, dst;
    hvMakeArray(src, HV_HVAL, 1);
    hvSetElementText(src, 0, "inner");
    hvSetQuality(src, 0);
    hvSetTimestamp(src, 12.25);
    hvSetI32(dst, 1);
    ASSERT_TRUE(hvCopy(dst, src));
    ExpectSameValue(src, dst);
    CHeld inner(hvGetElementValue(dst, 0));
    hvSetText(inner, "changed");
    EXPECT_EQ(TextOf(CHeld(hvGetElementValue(src, 0))), "inner");
    EXPECT_TRUE(hvCopy(dst, dst));
    EXPECT_EQ(TextOf(CHeld(hvGetElementValue(dst, 0))), "changed");
}

TEST(ValueLifetime, CopyFromOwnNestedValue)
{
    CHeld outer;
    hvMakeArray(outer, HV_HVAL, 2);
    hvSetElementI32(outer, 1, 42);
    CHeld inner(hvGetElementValue(outer, 1));
    ASSERT_TRUE(hvCopy(outer, inner));
    int32_t x = 0;
    EXPECT_EQ(hvGetType(outer), HV_I32);
    EXPECT_TRUE(hvGetI32(outer, &x));
    EXPECT_EQ(x, 42);
}

TEST(ValueLifetime, ClearKeepsTimestampAndQuality)
{
    CHeld v;
    hvSetR64(v, 1.5);
    hvSetQuality(v, 24);
    hvSetTimestamp(v, 100.0);
    hvClear(v);
    EXPECT_EQ(hvGetType(v), HV_NULL);
    EXPECT_EQ(hvGetQuality(v), 24);
    double ts = 0;
    hvGetTimestamp(v, &ts);
    EXPECT_EQ(ts, 100.0);
}

TEST(ValueType, PredicatesFollowTheScalarOrElementType)
{
    struct Case
    {
        uint8_t type;
        bool numeric, integer, isSigned, real, text;
    };
    const Case cases[] = {
        {HV_NULL, false, false, false, false, false}, {HV_I8, true, true, true, false, false},
        {HV_U8, true, true, false, false, false},     {HV_I16, true, true, true, false, false},
        {HV_U16, true, true, false, false, false},    {HV_I32, true, true, true, false, false},
        {HV_U32, true, true, false, false, false},    {HV_R32, true, false, true, true, false},
        {HV_R64, true, false, true, true, false},     {HV_STR, false, false, false, false, true},
        {HV_HVAL, false, false, false, false, false}, {HV_TIME, false, false, false, false, false},
    };
    for (const Case& c : cases)
    {
        for (bool array : {false, true})
        {
            SCOPED_TRACE(testing::Message() << "type " << int(c.type) << (array ? " array" : ""));
            CHeld v, one;
            hvSetU8(one, 1);
            if (array)
            {
                if (c.type == HV_NULL)
                    continue;
                ASSERT_TRUE(hvMakeArray(v, c.type, 2));
                EXPECT_EQ(hvGetType(v), c.type | HV_ARRAY);
                EXPECT_EQ(hvGetCount(v), 2);
            }
            else if (c.type == HV_HVAL)
            {
                ASSERT_TRUE(hvSetNestedValue(v, one));
            }
            else if (c.type == HV_TIME)
            {
                TIME t{1, 2};
                ASSERT_TRUE(hvSetTimeValue(v, &t));
            }
            else if (c.type == HV_STR)
            {
                ASSERT_TRUE(hvSetText(v, "x"));
            }
            else if (c.type != HV_NULL)
            {
                ASSERT_TRUE(hvSetU8(one, 0));
                ASSERT_TRUE(hvCopy(v, one));
                ASSERT_TRUE(hvChangeType(v, c.type));
            }
            EXPECT_EQ(hvGetType(v) & 0x7F, c.type);
            EXPECT_EQ(!!hvIsArray(v), array);
            EXPECT_EQ(!!hvIsNumeric(v), c.numeric);
            EXPECT_EQ(!!hvIsInteger(v), c.integer);
            EXPECT_EQ(!!hvIsSigned(v), c.isSigned);
            EXPECT_EQ(!!hvIsReal(v), c.real);
            EXPECT_EQ(!!hvIsText(v), c.text);
        }
    }
}

TEST(ValueNullHandle, EveryCallFailsOrDoesNothing)
{
    HVALUE n = nullptr;
    int32_t i32 = 0;
    double r64 = 0;
    const char* text = nullptr;
    TIME t{5, 0};
    uintptr_t pos = 0;
    char buffer[8] = "x";
    EXPECT_EQ(hvAddRef(n), nullptr);
    hvRelease(n);
    hvClear(n);
    hvSetQuality(n, 1);
    EXPECT_EQ(hvDuplicate(n), nullptr);
    EXPECT_FALSE(hvCopy(n, n));
    EXPECT_EQ(hvGetQuality(n), HV_QUALITY_BAD);
    EXPECT_EQ(hvGetType(n), HV_NULL);
    EXPECT_EQ(hvGetCount(n), 0);
    EXPECT_FALSE(hvIsArray(n) || hvIsNumeric(n) || hvIsInteger(n) || hvIsSigned(n) || hvIsReal(n) ||
                 hvIsText(n));
    EXPECT_FALSE(hvSetI32(n, 1));
    EXPECT_FALSE(hvGetI32(n, &i32));
    EXPECT_FALSE(hvGetR64(n, &r64));
    EXPECT_FALSE(hvSetText(n, "a"));
    EXPECT_FALSE(hvGetText(n, &text));
    EXPECT_FALSE(hvSetTimeValue(n, &t));
    EXPECT_FALSE(hvGetTimeValue(n, &t));
    EXPECT_FALSE(hvSetNestedValue(n, n));
    EXPECT_EQ(hvGetNestedValue(n), nullptr);
    EXPECT_FALSE(hvChangeType(n, HV_I32));
    EXPECT_FALSE(hvGetTextAs(n, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(hvMakeArray(n, HV_I32, 1));
    EXPECT_FALSE(hvSetElementI32(n, 0, 1));
    EXPECT_FALSE(hvGetElementI32(n, 0, &i32));
    EXPECT_FALSE(hvSetElementValue(n, 0, n));
    EXPECT_EQ(hvGetElementValue(n, 0), nullptr);
    EXPECT_FALSE(hvMakeList(n, 0));
    EXPECT_EQ(hvGetListCount(n), 0);
    EXPECT_EQ(hvListFirst(n, &pos), nullptr);
    EXPECT_EQ(hvListNext(n, &pos), nullptr);
    EXPECT_FALSE(hvListAppend(n, n));
    EXPECT_FALSE(hvSetProperty(n, 1, n));
    EXPECT_EQ(hvGetProperty(n, 1), nullptr);
    EXPECT_EQ(hvGetPropertyCount(n), 0);
    EXPECT_FALSE(hvGetTimestamp(n, &r64));
    EXPECT_FALSE(hvGetTimestampTime(n, &t));
    EXPECT_FALSE(hvSetTimestamp(n, 1.0));
    EXPECT_FALSE(hvSetTimestampTime(n, &t));
    EXPECT_EQ(hvSerializeSize(n), 0u);
    EXPECT_EQ(hvSerialize(n, buffer, sizeof buffer), 0u);
    EXPECT_FALSE(hvDeserialize(n, buffer, sizeof buffer));

    // Null out-pointers and items on a real value fail too.
    CHeld v;
    hvSetI32(v, 1);
    EXPECT_FALSE(hvGetI32(v, nullptr));
    EXPECT_FALSE(hvGetText(v, nullptr));
    EXPECT_FALSE(hvSetText(v, nullptr));
    EXPECT_FALSE(hvCopy(v, nullptr));
    EXPECT_FALSE(hvListAppend(v, nullptr));
    EXPECT_EQ(hvListFirst(v, nullptr), nullptr);
    EXPECT_FALSE(hvGetTimestamp(v, nullptr));
    EXPECT_EQ(hvGetType(v), HV_I32);
}

TEST(ValueLifetime, NestedReferenceOutlivesItsArray)
{
    HVALUE array = hvCreate();
    hvMakeArray(array, HV_HVAL, 1);
    hvSetElementText(array, 0, "survivor");
    HVALUE nested = hvGetElementValue(array, 0);
    hvRelease(array);
    EXPECT_EQ(TextOf(nested), "survivor");
    hvRelease(nested);
}

TEST(ValueLifetime, SeveralThreadsReadOneValue)
{
    CHeld v;
    hvMakeArray(v, HV_HVAL, 8);
    for (uint16_t i = 0; i < 8; ++i)
        hvSetElementU32(v, i, i);
    const std::vector<uint8_t> expected = Serialized(v);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 500; ++i)
                {
                    CHeld element(hvGetElementValue(v, static_cast<uint16_t>(i % 8)));
                    CHeld copy(hvDuplicate(v));
                    std::vector<uint8_t> bytes(hvSerializeSize(copy));
                    hvSerialize(copy, bytes.data(), static_cast<uint32_t>(bytes.size()));
                    uint32_t x = 99;
                    if (bytes != expected || !hvGetU32(element, &x) || x != static_cast<uint32_t>(i % 8))
                        ++mismatches[t];
                }
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}
