// Serialisation round trips and the handling of malformed bytes.
#include "ValueTestSupport.h"

#include <cmath>
#include <cstring>

namespace
{
// A value that uses every kind of payload: scalars of each type, arrays of each element
// type, nested arrays of values, lists inside arrays and arrays inside lists, properties
// on nested values, timestamps and qualities.
CHeld MakeRichValue()
{
    CHeld root;
    hvMakeArray(root, HV_HVAL, 6);
    hvSetTimestamp(root, 1700000000.125);
    hvSetQuality(root, 0xC0);
    hvSetElementText(root, 0, "Generic Config Data v1.00");

    CHeld scalars;
    hvMakeList(scalars, 0);
    auto append = [&](auto set)
    {
        CHeld item;
        set(item.get());
        hvSetQuality(item, 0x18);
        hvSetTimestamp(item, 42.5);
        hvListAppend(scalars, item);
    };
    append([](HVALUE v) { (void)v; });
    append([](HVALUE v) { hvSetI8(v, -8); });
    append([](HVALUE v) { hvSetU8(v, 250); });
    append([](HVALUE v) { hvSetI16(v, -1600); });
    append([](HVALUE v) { hvSetU16(v, 65000); });
    append([](HVALUE v) { hvSetI32(v, -2147483647 - 1); });
    append([](HVALUE v) { hvSetU32(v, 4294967295u); });
    append([](HVALUE v) { hvSetR32(v, -1.25f); });
    append([](HVALUE v) { hvSetR64(v, 6.02214076e23); });
    append([](HVALUE v) { hvSetR64(v, std::nan("")); });
    append([](HVALUE v) { hvSetTextN(v, "a\0b\xFF", 4); });
    append(
        [](HVALUE v)
        {
            TIME t{1700000000, 999};
            hvSetTimeValue(v, &t);
        });
    append(
        [](HVALUE v)
        {
            CHeld inner;
            hvSetText(inner, "nested");
            hvSetQuality(inner, 3);
            hvSetNestedValue(v, inner);
        });
    CHeld slot(hvGetElementValue(root, 1));
    hvCopy(slot, scalars);

    for (uint8_t type = HV_I8; type <= HV_TIME; ++type)
    {
        if (type == HV_HVAL)
            continue;
        CHeld array;
        hvMakeArray(array, type, 3);
        hvSetQuality(array, type);
        for (uint16_t i = 0; i < 3; ++i)
        {
            if (type == HV_STR)
                hvSetElementText(array, i, i == 1 ? "" : "text\xC3\xA9");
            else if (type == HV_TIME)
            {
                TIME t{1000u * i, static_cast<int16_t>(i * 7)};
                hvSetElementTime(array, i, &t);
            }
            else
                hvSetElementR64(array, i, -3.5 + 100 * i);
        }
        hvListAppend(slot, array);
    }

    // Three levels of arrays of values, with a property and a list at the bottom.
    CHeld deep(hvGetElementValue(root, 2));
    hvMakeArray(deep, HV_HVAL, 2);
    CHeld level2(hvGetElementValue(deep, 1));
    hvMakeArray(level2, HV_HVAL, 1);
    CHeld level3(hvGetElementValue(level2, 0));
    hvMakeList(level3, 0);
    CHeld tag, leaf;
    hvSetU16(tag, 12);
    hvSetI32(leaf, 7);
    hvSetProperty(leaf, 138, tag);
    hvListAppend(level3, leaf);
    CHeld empty;
    hvMakeArray(empty, HV_HVAL, 0);
    hvListAppend(level3, empty);
    hvSetProperty(deep, 1, leaf);

    hvSetElementEmpty(root, 3);
    CHeld emptyList(hvGetElementValue(root, 4));
    hvMakeList(emptyList, 0);
    hvSetElementTime(root, 5, nullptr); // refused, element stays null
    hvSetProperty(root, 138, tag);
    return root;
}
} // namespace

TEST(ValueSerialize, RoundTripKeepsEverything)
{
    CHeld original = MakeRichValue();
    const std::vector<uint8_t> bytes = Serialized(original);
    ASSERT_FALSE(bytes.empty());
    CHeld back;
    hvSetText(back, "to be replaced");
    ASSERT_TRUE(hvDeserialize(back, bytes.data(), static_cast<uint32_t>(bytes.size())));
    ExpectSameValue(original, back, "root");
    EXPECT_EQ(Serialized(back), bytes);
}

TEST(ValueSerialize, RoundTripOfEachSimpleValue)
{
    CHeld list;
    hvMakeList(list, 0);
    void (*const setters[])(HVALUE) = {
        [](HVALUE) {},
        [](HVALUE v) { hvSetText(v, ""); },
        [](HVALUE v) { hvSetI8(v, 1); },
        [](HVALUE v) { hvMakeArray(v, HV_R64, 0); },
        [](HVALUE v) { hvMakeList(v, 0); },
        [](HVALUE v) { hvSetTimestamp(v, -5.5); },
    };
    for (auto set : setters)
    {
        CHeld v, back;
        set(v);
        const auto bytes = Serialized(v);
        ASSERT_TRUE(hvDeserialize(back, bytes.data(), static_cast<uint32_t>(bytes.size())));
        ExpectSameValue(v, back);
    }
}

TEST(ValueSerialize, SerializeNeedsRoomAndABuffer)
{
    CHeld v;
    hvSetText(v, "hello");
    const uint32_t size = hvSerializeSize(v);
    ASSERT_GT(size, 5u);
    std::vector<uint8_t> buffer(size + 10, 0xEE);
    EXPECT_EQ(hvSerialize(v, buffer.data(), size - 1), 0u);
    EXPECT_EQ(hvSerialize(v, nullptr, size), 0u);
    EXPECT_EQ(hvSerialize(v, buffer.data(), static_cast<uint32_t>(buffer.size())), size);
    EXPECT_EQ(buffer[size], 0xEE); // nothing written past the value
}

TEST(ValueSerialize, EveryTruncationFailsAndLeavesTheValueAlone)
{
    CHeld original = MakeRichValue();
    const auto bytes = Serialized(original);
    CHeld target;
    hvSetText(target, "kept");
    for (uint32_t n = 0; n < bytes.size(); ++n)
    {
        // A copy of exactly n bytes, so the sanitizer catches a read past the end.
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
        ASSERT_FALSE(hvDeserialize(target, cut.data(), n)) << n;
    }
    EXPECT_EQ(TextOf(target), "kept");
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(hvDeserialize(target, longer.data(), static_cast<uint32_t>(longer.size())));
    EXPECT_FALSE(hvDeserialize(target, nullptr, 10));
    EXPECT_EQ(TextOf(target), "kept");
}

TEST(ValueSerialize, CorruptedBytesNeverCrash)
{
    CHeld original = MakeRichValue();
    const auto bytes = Serialized(original);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}})
        {
            std::vector<uint8_t> bad = bytes;
            bad[i] ^= flip;
            CHeld target;
            if (hvDeserialize(target, bad.data(), static_cast<uint32_t>(bad.size())))
            {
                // Whatever was accepted is a sound value that serialises again.
                EXPECT_GT(hvSerializeSize(target), 0u);
            }
        }
    }
}

TEST(ValueSerialize, MalformedHeadersAndCountsAreRefused)
{
    CHeld v;
    hvMakeList(v, 0);
    const auto list = Serialized(v);
    ASSERT_GE(list.size(), 17u);
    // magic(3) type(1) quality(1) timestamp(8) properties(2) count(2)
    auto with = [&](size_t at, std::initializer_list<uint8_t> patch)
    {
        std::vector<uint8_t> b = list;
        std::copy(patch.begin(), patch.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    struct Case
    {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const double nan = std::nan("");
    uint8_t nanBytes[8];
    std::memcpy(nanBytes, &nan, 8);
    const Case cases[] = {
        {"bad magic", with(0, {'X'})},
        {"unknown version", with(2, {2})},
        {"unknown type", with(3, {13})},
        {"array of null", with(3, {0x80})},
        {"array of lists", with(3, {0x8C})},
        {"NaN timestamp", with(5, {nanBytes[0], nanBytes[1], nanBytes[2], nanBytes[3], nanBytes[4],
                                   nanBytes[5], nanBytes[6], nanBytes[7]})},
        {"property count beyond the data", with(13, {0xFF, 0xFF})},
        {"list count beyond the data", with(15, {0xFF, 0xFF})},
        {"one list entry missing", with(15, {1, 0})},
    };
    for (const Case& c : cases)
    {
        CHeld target;
        EXPECT_FALSE(hvDeserialize(target, c.bytes.data(), static_cast<uint32_t>(c.bytes.size()))) << c.what;
        EXPECT_EQ(hvGetType(target), HV_NULL) << c.what;
    }

    // A text whose length claims more bytes than there are.
    CHeld text;
    hvSetText(text, "abc");
    auto t = Serialized(text);
    t[15] = 0xFF; // low byte of the 32-bit length
    t[18] = 0x7F; // high byte
    CHeld target;
    EXPECT_FALSE(hvDeserialize(target, t.data(), static_cast<uint32_t>(t.size())));

    // A TIME with impossible milliseconds.
    CHeld time;
    TIME good{1, 999};
    hvSetTimeValue(time, &good);
    auto tb = Serialized(time);
    tb[tb.size() - 2] = 0xE8; // 1000
    tb[tb.size() - 1] = 0x03;
    EXPECT_FALSE(hvDeserialize(target, tb.data(), static_cast<uint32_t>(tb.size())));
}

TEST(ValueSerialize, PropertiesMustBeInAscendingOrder)
{
    CHeld v, p;
    hvSetProperty(v, 1, p);
    hvSetProperty(v, 2, p);
    auto bytes = Serialized(v);
    // First property id at offset 15, the second follows a 12-byte null value.
    ASSERT_EQ(bytes[15], 1);
    ASSERT_EQ(bytes[15 + 2 + 12], 2);
    bytes[15 + 2 + 12] = 1;
    CHeld target;
    EXPECT_FALSE(hvDeserialize(target, bytes.data(), static_cast<uint32_t>(bytes.size())));
}

TEST(ValueSerialize, NestingDepthIsBounded)
{
    // 64 levels of nested values serialise; one more is refused on both sides.
    auto nest = [](int levels)
    {
        CHeld v;
        for (int i = 0; i < levels; ++i)
        {
            CHeld outer;
            hvSetNestedValue(outer, v);
            hvCopy(v, outer);
        }
        return v;
    };
    CHeld ok = nest(64);
    const auto bytes = Serialized(ok);
    CHeld back;
    ASSERT_TRUE(hvDeserialize(back, bytes.data(), static_cast<uint32_t>(bytes.size())));
    ExpectSameValue(ok, back);
    CHeld tooDeep = nest(65);
    EXPECT_EQ(hvSerializeSize(tooDeep), 0u);

    // Hand-made bytes: a long chain of HVAL headers must fail cleanly, not exhaust the stack.
    std::vector<uint8_t> chain = {'H', 'V', 1};
    for (int i = 0; i < 100000; ++i)
        chain.insert(chain.end(), {HV_HVAL, 192, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    chain.insert(chain.end(), {HV_NULL, 192, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(hvDeserialize(back, chain.data(), static_cast<uint32_t>(chain.size())));
}
