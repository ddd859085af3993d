#include "transport/CircularBuffer.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{
std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t((i + seed) * 31 + 7);
    return v;
}
} // namespace

TEST(ReceiveBuffer, PushSplitsIntoChunksAndDrainedHeadBecomesSpare)
{
    CReceiveBuffer rb;
    const auto in = Pattern(5000);
    ASSERT_EQ(rb.Push(in.data(), 5000), S_OK);
    EXPECT_EQ(rb.ChunkCount(), 2u);
    EXPECT_EQ(rb.Total(), 5000u);

    std::vector<uint8_t> out(4096);
    EXPECT_EQ(rb.Pop(out.data(), 4096), 4096u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin()));
    EXPECT_EQ(rb.ChunkCount(), 1u);
    EXPECT_TRUE(rb.HasSpare());
    EXPECT_EQ(rb.Total(), 904u);
}

TEST(ReceiveBuffer, PopReturnsFewerWhenRunningEmpty)
{
    CReceiveBuffer rb;
    ASSERT_EQ(rb.Push("abc", 3), S_OK);
    char out[8] = {};
    EXPECT_EQ(rb.Pop(out, 8), 3u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(rb.Pop(out, 8), 0u);
    EXPECT_TRUE(rb.IsEmpty());
}

TEST(ReceiveBuffer, InterleavedPushPopKeepsFifoOrderAcrossWrapAndChunks)
{
    // Sizes chosen so writes wrap inside a partly drained chunk and span chunk borders.
    CReceiveBuffer rb;
    std::vector<uint8_t> expected, got;
    uint32_t seed = 0;
    for (const auto& [push, pop] :
         {std::pair{3000u, 2000u}, {3000u, 3500u}, {6000u, 100u}, {4096u, 9000u}, {1u, 0u}, {8191u, 8192u}})
    {
        const auto chunk = Pattern(push, seed++);
        ASSERT_EQ(rb.Push(chunk.data(), push), S_OK);
        expected.insert(expected.end(), chunk.begin(), chunk.end());
        std::vector<uint8_t> out(pop);
        const uint32_t n = rb.Pop(out.data(), pop);
        got.insert(got.end(), out.begin(), out.begin() + n);
        ASSERT_EQ(rb.Total(), expected.size() - got.size());
        ASSERT_LE(rb.ChunkCount(), rb.Total() / 4096 + 2);
    }
    std::vector<uint8_t> rest(rb.Total());
    EXPECT_EQ(rb.Pop(rest.data(), uint32_t(rest.size())), rest.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, expected);
}

TEST(ReceiveBuffer, DiscardReturnsBufferedCountAndFreesEverything)
{
    CReceiveBuffer rb;
    const auto in = Pattern(10000);
    ASSERT_EQ(rb.Push(in.data(), 10000), S_OK);
    uint8_t out[100];
    rb.Pop(out, 100);
    EXPECT_EQ(rb.Discard(), 9900u);
    EXPECT_EQ(rb.ChunkCount(), 0u);
    EXPECT_FALSE(rb.HasSpare());
    EXPECT_EQ(rb.Discard(), 0u);
}
