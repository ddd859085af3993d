#include "transport/Buffer.h"

#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace
{
// A minimal peer whose reference count the tests can observe.
class CTestPeer final : public TIOUnknown<IIOPeer>
{
};

std::vector<uint8_t> Sequence(size_t n)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t(1));
    return v;
}
} // namespace

TEST(Buffer, StartsEmptyInline)
{
    CBuffer b;
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(b.Capacity(), 1024u);
    EXPECT_TRUE(b.IsInline());
    EXPECT_FALSE(b.HasError());
    EXPECT_EQ(b.Peer(), nullptr);
}

TEST(Buffer, AppendStaysInlineUpTo1024ThenMovesToHeapKeepingBytes)
{
    const auto bytes = Sequence(1025);
    CBuffer b;
    ASSERT_EQ(b.Append(bytes.data(), 1024), S_OK);
    EXPECT_TRUE(b.IsInline());
    EXPECT_EQ(b.Capacity(), 1024u);
    ASSERT_EQ(b.Append(bytes.data() + 1024, 1), S_OK);
    EXPECT_FALSE(b.IsInline());
    EXPECT_EQ(b.Capacity(), 4096u);
    ASSERT_EQ(b.Length(), 1025u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), b.Data()));
}

TEST(Buffer, ReserveRoundsToGrowthStepAndZeroesNewBytes)
{
    struct Case
    {
        uint32_t request;
        uint32_t capacity;
    };
    for (const Case c : {Case{10, 1024}, Case{1024, 1024}, Case{1025, 4096}, Case{4096, 4096},
                         Case{4097, 8192}, Case{20000, 20480}})
    {
        CBuffer b;
        ASSERT_EQ(b.Reserve(c.request), S_OK) << c.request;
        EXPECT_EQ(b.Capacity(), c.capacity) << c.request;
        for (uint32_t i = 0; i < b.Capacity(); ++i)
            ASSERT_EQ(b.Data()[i], 0) << c.request << " at " << i;
    }
    CBuffer grown;
    const auto bytes = Sequence(5000);
    ASSERT_EQ(grown.Append(bytes.data(), 5000), S_OK);
    ASSERT_EQ(grown.Reserve(9000), S_OK);
    EXPECT_EQ(grown.Capacity(), 12288u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), grown.Data()));
    EXPECT_EQ(grown.Data()[11000], 0);
}

TEST(Buffer, AtAppendsAndGrows)
{
    CBuffer b;
    b.At(1500) = 0x5A;
    EXPECT_FALSE(b.HasError());
    EXPECT_EQ(b.Length(), 1501u);
    EXPECT_EQ(b.Capacity(), 4096u);
    EXPECT_EQ(b.Data()[1500], 0x5A);
    EXPECT_EQ(b.Data()[10], 0);
    b.At(3) = 7; // inside the length: no growth
    EXPECT_EQ(b.Length(), 1501u);
    EXPECT_EQ(b.Data()[3], 7);
}

TEST(Buffer, AtInvalidPositionSetsErrorAndReturnsSpare)
{
    CBuffer b;
    ASSERT_EQ(b.Append("ab", 2), S_OK);
    uint8_t& spare = b.At(-1);
    EXPECT_EQ(spare, 0);
    spare = 9;
    EXPECT_TRUE(b.HasError());
    EXPECT_EQ(b.Length(), 2u);
    EXPECT_EQ(b.At(-5), 0) << "the spare byte is reset on every failing access";
    b.Clear();
    EXPECT_FALSE(b.HasError());
}

TEST(Buffer, FailedGrowthEmptiesBufferAndSetsError)
{
    CBuffer b;
    ASSERT_EQ(b.Append("abc", 3), S_OK);
    EXPECT_EQ(b.Reserve(UINT32_MAX), E_OUTOFMEMORY);
    EXPECT_TRUE(b.HasError());
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(b.Capacity(), 1024u);
    EXPECT_TRUE(b.IsInline());
}

TEST(Buffer, AppendBufferStatuses)
{
    CBuffer empty, a, b;
    ASSERT_EQ(a.Append("xy", 2), S_OK);
    EXPECT_EQ(b.AppendBuffer(empty), S_FALSE);
    EXPECT_EQ(b.AppendBuffer(a), S_OK);
    EXPECT_EQ(b.AppendBuffer(b), S_OK);
    ASSERT_EQ(b.Length(), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.Data()), 4), "xyxy");
    EXPECT_EQ(b.Append(nullptr, 1), E_POINTER);
}

TEST(Buffer, CopyKeepsBytesAndSharesPeer)
{
    auto peer = TIOPtr<CTestPeer>::Adopt(new CTestPeer);
    const auto bytes = Sequence(3000);
    {
        CBuffer original;
        original.SetPeer(peer.Get());
        ASSERT_EQ(original.Append(bytes.data(), 3000), S_OK);
        CBuffer copy(original);
        EXPECT_EQ(peer->RefCount(), 3u);
        EXPECT_EQ(copy.Peer(), peer.Get());
        ASSERT_EQ(copy.Length(), 3000u);
        EXPECT_NE(copy.Data(), original.Data());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), copy.Data()));
        copy.Clear();
        EXPECT_EQ(copy.Peer(), peer.Get()) << "Clear keeps the peer";
        CBuffer assigned;
        assigned = original;
        EXPECT_EQ(assigned.Length(), 3000u);
    }
    EXPECT_EQ(peer->RefCount(), 1u);
}

TEST(Buffer, SwapExchangesInlineAndHeapContents)
{
    const auto big = Sequence(5000);
    CBuffer small, large;
    ASSERT_EQ(small.Append("hi", 2), S_OK);
    ASSERT_EQ(large.Append(big.data(), 5000), S_OK);
    small.Swap(large);
    ASSERT_EQ(small.Length(), 5000u);
    EXPECT_FALSE(small.IsInline());
    EXPECT_TRUE(std::equal(big.begin(), big.end(), small.Data()));
    ASSERT_EQ(large.Length(), 2u);
    EXPECT_TRUE(large.IsInline());
    EXPECT_EQ(large.Data()[1], 'i');
}
