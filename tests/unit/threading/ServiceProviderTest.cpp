#include "threading/ServiceProvider.h"

#include <gtest/gtest.h>

namespace
{
struct IIOProbe : IIOUnknown
{
    static constexpr IOGUID IID = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

protected:
    ~IIOProbe() = default;
};

class CProbe final : public TIOUnknown<IIOProbe>
{
};

constexpr IOGUID kServiceA = {0x00000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr IOGUID kServiceB = {0x00000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
} // namespace

TEST(ServiceProvider, RegisterQueryReplaceRevoke)
{
    auto provider = TIOPtr<CIOServiceProvider>::Adopt(CIOServiceProvider::Create());
    auto first = TIOPtr<CProbe>::Adopt(new CProbe);
    auto second = TIOPtr<CProbe>::Adopt(new CProbe);

    void* out = nullptr;
    EXPECT_EQ(provider->QueryService(kServiceA, IIOProbe::IID, &out), E_FAIL);
    EXPECT_EQ(provider->RevokeService(kServiceA), S_FALSE);
    EXPECT_EQ(provider->RegisterService(kServiceA, nullptr), E_POINTER);

    ASSERT_EQ(provider->RegisterService(kServiceA, first.Get()), S_OK);
    EXPECT_EQ(first->RefCount(), 2u);
    ASSERT_EQ(provider->QueryService(kServiceA, IIOProbe::IID, &out), S_OK);
    EXPECT_EQ(out, static_cast<IIOProbe*>(first.Get()));
    static_cast<IIOProbe*>(out)->Release();
    EXPECT_EQ(provider->QueryService(kServiceA, IIOServiceProvider::IID, &out), E_NOINTERFACE);
    EXPECT_EQ(provider->QueryService(kServiceB, IIOProbe::IID, &out), E_FAIL)
        << "identifiers differ in the last word";

    ASSERT_EQ(provider->RegisterService(kServiceA, second.Get()), S_OK);
    EXPECT_EQ(first->RefCount(), 1u) << "a replaced service loses its reference";
    EXPECT_EQ(second->RefCount(), 2u);
    ASSERT_EQ(provider->RegisterService(kServiceB, first.Get()), S_OK);

    EXPECT_EQ(provider->RevokeService(kServiceA), S_OK);
    EXPECT_EQ(second->RefCount(), 1u);
    EXPECT_EQ(provider->RevokeService(kServiceA), S_FALSE);
    provider = nullptr;
    EXPECT_EQ(first->RefCount(), 1u) << "destroying the provider releases every service";
}
