#include "transport/InputStream.h"

#include <gtest/gtest.h>

namespace
{
TIOPtr<CDatagramInputStream> StreamOf(const char* bytes, uint32_t n)
{
    CBuffer b;
    EXPECT_EQ(b.Append(bytes, n), S_OK);
    return CDatagramInputStream::Create(b);
}
} // namespace

TEST(DatagramInputStream, ReadsBytesInOrderThenFailsAtEnd)
{
    auto s = StreamOf("abcd", 4);
    ASSERT_TRUE(s);
    uint8_t c = 0;
    ASSERT_EQ(s->sgetc(&c), S_OK);
    EXPECT_EQ(c, 'a');
    uint8_t two[2];
    ASSERT_EQ(s->sgets(two, 2), S_OK);
    EXPECT_EQ(two[0], 'b');
    EXPECT_EQ(two[1], 'c');
    ASSERT_EQ(s->sgetc(&c), S_OK);
    EXPECT_EQ(c, 'd');
    c = 0x55;
    EXPECT_EQ(s->sgetc(&c), E_FAIL);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(s->Position(), 4u);
}

TEST(DatagramInputStream, SgetsEdgeCases)
{
    auto s = StreamOf("xy", 2);
    uint8_t out[3] = {9, 9, 9};
    EXPECT_EQ(s->sgets(out, 0), S_FALSE);
    EXPECT_EQ(s->Position(), 0u);
    EXPECT_EQ(s->sgets(nullptr, 1), E_POINTER);
    EXPECT_EQ(s->sgetc(nullptr), E_POINTER);
    EXPECT_EQ(s->sgets(out, 3), E_FAIL);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(s->Position(), 2u);
}

TEST(DatagramInputStream, KeepsItsOwnCopyOfTheDatagram)
{
    CBuffer b;
    ASSERT_EQ(b.Append("q", 1), S_OK);
    auto s = CDatagramInputStream::Create(b);
    b.At(0) = 'z';
    uint8_t c = 0;
    ASSERT_EQ(s->sgetc(&c), S_OK);
    EXPECT_EQ(c, 'q');
    void* unknown = nullptr;
    ASSERT_EQ(s->QueryInterface(IIOInputStream::IID, &unknown), S_OK);
    static_cast<IIOInputStream*>(unknown)->Release();
}
