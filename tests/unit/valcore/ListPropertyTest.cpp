// Lists and numbered properties.
#include "ValueTestSupport.h"

TEST(ValueList, AppendKeepsCopiesInOrder)
{
    CHeld list, item;
    ASSERT_TRUE(hvMakeList(list, 4));
    EXPECT_EQ(hvGetType(list), HV_LIST);
    EXPECT_EQ(hvGetListCount(list), 0);
    uintptr_t pos = 0;
    EXPECT_EQ(hvListFirst(list, &pos), nullptr);
    for (int32_t i = 0; i < 3; ++i)
    {
        hvSetI32(item, i * 10);
        hvSetTimestamp(item, i);
        hvSetQuality(item, static_cast<uint8_t>(i));
        ASSERT_TRUE(hvListAppend(list, item));
    }
    hvSetI32(item, 99); // the list holds copies
    EXPECT_EQ(hvGetListCount(list), 3);
    EXPECT_EQ(hvGetCount(list), 3);
    int32_t expected = 0;
    int seen = 0;
    for (HVALUE e = hvListFirst(list, &pos); e; e = hvListNext(list, &pos), expected += 10, ++seen)
    {
        int32_t x = -1;
        ASSERT_TRUE(hvGetI32(e, &x));
        EXPECT_EQ(x, expected);
        EXPECT_EQ(hvGetQuality(e), seen);
        double ts = -1;
        hvGetTimestamp(e, &ts);
        EXPECT_EQ(ts, seen);
    }
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(hvListNext(list, &pos), nullptr); // stays at the end
    // First restarts whatever the position held.
    ASSERT_NE(hvListFirst(list, &pos), nullptr);
}

TEST(ValueList, ListsNestAndAppendingAListToItselfCopiesIt)
{
    CHeld list, inner;
    hvMakeList(list, 0);
    hvMakeList(inner, 0);
    CHeld text;
    hvSetText(text, "leaf");
    hvListAppend(inner, text);
    ASSERT_TRUE(hvListAppend(list, inner));
    ASSERT_TRUE(hvListAppend(list, list));
    EXPECT_EQ(hvGetListCount(list), 2);
    uintptr_t pos = 0;
    HVALUE first = hvListFirst(list, &pos);
    HVALUE second = hvListNext(list, &pos);
    EXPECT_EQ(hvGetListCount(first), 1);
    EXPECT_EQ(hvGetListCount(second), 1); // the copy was taken before the append
    uintptr_t p2 = 0;
    EXPECT_EQ(TextOf(hvListFirst(first, &p2)), "leaf");
}

TEST(ValueList, AnyOtherValueReadsAsAListOfItself)
{
    CHeld v;
    hvSetR32(v, 1.5f);
    EXPECT_EQ(hvGetListCount(v), 1);
    EXPECT_EQ(hvGetCount(v), 0);
    uintptr_t pos = 0;
    EXPECT_EQ(hvListFirst(v, &pos), v.get());
    EXPECT_EQ(hvListNext(v, &pos), nullptr);
    pos = 0;
    EXPECT_EQ(hvListNext(v, &pos), v.get());
    EXPECT_FALSE(hvListAppend(v, v)); // appending needs a real list
}

TEST(ValueList, HoldsAtMost65535Entries)
{
    CHeld list, item;
    hvMakeList(list, 0);
    for (int i = 0; i < 65535; ++i)
        ASSERT_TRUE(hvListAppend(list, item));
    EXPECT_FALSE(hvListAppend(list, item));
    EXPECT_EQ(hvGetListCount(list), 65535);
}

TEST(ValueProperty, SetGetReplaceRemove)
{
    CHeld v, number, text;
    hvSetU16(number, 17);
    hvSetText(text, "t");
    EXPECT_EQ(hvGetProperty(v, 138), nullptr);
    ASSERT_TRUE(hvSetProperty(v, 138, number));
    ASSERT_TRUE(hvSetProperty(v, 5, text));
    hvSetU16(number, 18); // stored as a copy
    {
        CHeld p(hvGetProperty(v, 138));
        uint16_t x = 0;
        ASSERT_TRUE(hvGetU16(p, &x));
        EXPECT_EQ(x, 17);
    }
    ASSERT_EQ(hvGetPropertyCount(v), 2);
    uint16_t id = 0;
    ASSERT_TRUE(hvGetPropertyId(v, 0, &id));
    EXPECT_EQ(id, 5);
    ASSERT_TRUE(hvGetPropertyId(v, 1, &id));
    EXPECT_EQ(id, 138);
    EXPECT_FALSE(hvGetPropertyId(v, 2, &id));

    ASSERT_TRUE(hvSetProperty(v, 138, number));
    CHeld replaced(hvGetProperty(v, 138));
    uint16_t x = 0;
    hvGetU16(replaced, &x);
    EXPECT_EQ(x, 18);
    EXPECT_EQ(hvGetPropertyCount(v), 2);

    ASSERT_TRUE(hvSetProperty(v, 138, nullptr));
    EXPECT_EQ(hvGetProperty(v, 138), nullptr);
    EXPECT_EQ(hvGetPropertyCount(v), 1);
    EXPECT_TRUE(hvSetProperty(v, 999, nullptr)); // removing an absent property is fine
    // The payload does not touch properties.
    hvSetI32(v, 1);
    hvClear(v);
    EXPECT_EQ(hvGetPropertyCount(v), 1);
}

TEST(ValueProperty, CopiesCarryProperties)
{
    CHeld v, tag, list;
    hvSetU16(tag, 3);
    hvSetProperty(v, 138, tag);
    hvMakeList(list, 0);
    hvListAppend(list, v);
    uintptr_t pos = 0;
    CHeld p(hvGetProperty(hvListFirst(list, &pos), 138));
    EXPECT_NE(p.get(), nullptr);
    CHeld copy;
    hvCopy(copy, v);
    ExpectSameValue(v, copy);
}
