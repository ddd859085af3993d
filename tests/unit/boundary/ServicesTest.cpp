// The boundary over a stand-in driver: this test defines CreateDriverFactory itself, so it
// sees every instance the boundary makes and decides what each operation answers.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "boundary/DefaultInstance.h"
#include "core/IOFactory.h"
#include "dravo/IOServices.h"
#include "platform/Thread.h"

namespace
{
std::atomic<int> g_factoriesMade{0};
std::atomic<int> g_factoriesAlive{0};
std::atomic<int> g_unloadCalls{0};
std::atomic<bool> g_failCreation{false};
std::atomic<HRESULT> g_startStatus{S_OK};
std::atomic<bool> g_throwOnStart{false};

class CTestFactory : public CIOFactory
{
public:
    explicit CTestFactory(CIOGlobals* globals) : CIOFactory(globals) { ++g_factoriesAlive; }

    HRESULT StartComm(uint16_t, uint16_t, uint16_t, uint16_t) override
    {
        if (g_throwOnStart)
            throw std::bad_alloc();
        return g_startStatus;
    }
    void OnLibraryUnload() override { ++g_unloadCalls; }

protected:
    ~CTestFactory() override { --g_factoriesAlive; }
};

template <class Fn> Fn Service(const char* name)
{
    ServiceLookup lookup{name, nullptr};
    return reinterpret_cast<Fn>(EnumServices(&lookup));
}
} // namespace

CIOFactory* CreateDriverFactory(CIOGlobals* globals)
{
    if (g_failCreation)
        return nullptr;
    ++g_factoriesMade;
    return new CTestFactory(globals);
}

TEST(Services, StatusesReduceToOneOrMinusOne)
{
    const auto start = Service<PFN_drvStartComm>("drvStartComm");
    ASSERT_NE(start, nullptr);
    struct Case
    {
        HRESULT status;
        int16_t result;
    };
    const Case cases[] = {
        {S_OK, 1},         {S_FALSE, 1},      {IO_S_STARTING, 1},     {0x7FFFFFFF, 1},
        {E_FAIL, -1},      {E_POINTER, -1},   {IO_E_NOT_STARTED, -1}, {DRAVO_HR(0x80000000u), -1},
    };
    for (const Case& c : cases)
    {
        g_startStatus = c.status;
        EXPECT_EQ(start(0, 0, 0, 0), c.result) << std::hex << c.status;
    }
    g_startStatus = S_OK;
}

TEST(Services, AnExceptionInsideBecomesFailure)
{
    g_throwOnStart = true;
    EXPECT_EQ(Service<PFN_drvStartComm>("drvStartComm")(0, 0, 0, 0), -1);
    g_throwOnStart = false;
}

TEST(Services, PlainServicesShareOneDefaultInstance)
{
    IIODriverInstance* first = nullptr;
    ASSERT_EQ(Service<PFN_drvGetDriverObject>("drvGetDriverObject")(&first), 1);
    const int made = g_factoriesMade;
    Service<PFN_drvStartComm>("drvStartComm")(1, 2, 3, 4);
    Service<PFN_drvSetSettingsHandle>("drvSetSettingsHandle")(nullptr);
    EXPECT_EQ(Service<PFN_drvGetCaps>("drvGetCaps")(), 47u);
    EXPECT_STREQ(drvGetDriverName(), DRAVO_DRIVER_NAME);
    EXPECT_EQ(g_factoriesMade, made);
    first->Release();
}

TEST(Services, CreatedInstancesAreNewEachTime)
{
    const auto create = Service<PFN_drvCreateDriverInstance>("drvCreateDriverInstance");
    const int made = g_factoriesMade;
    IIODriverInstance* a = nullptr;
    IIODriverInstance* b = nullptr;
    ASSERT_EQ(create(nullptr, &a), 1);
    ASSERT_EQ(create(nullptr, &b), 1);
    EXPECT_NE(a, b);
    EXPECT_EQ(g_factoriesMade, made + 2);
    const int alive = g_factoriesAlive;
    a->Release();
    b->Release();
    EXPECT_EQ(g_factoriesAlive, alive - 2);

    g_failCreation = true;
    IIODriverInstance* c = reinterpret_cast<IIODriverInstance*>(&g_factoriesMade);
    EXPECT_EQ(create(nullptr, &c), -1);
    EXPECT_EQ(c, nullptr);
    g_failCreation = false;
}

// The two cases below change the process-wide default instance for good, so each runs in
// a fresh process of its own.
class DefaultInstanceLifetime : public testing::Test
{
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DefaultInstanceLifetime, AFailedCreationIsNotRetried)
{
    EXPECT_EXIT(
        {
            g_failCreation = true;
            const auto start = Service<PFN_drvStartComm>("drvStartComm");
            const bool failedFirst = start(0, 0, 0, 0) == -1;
            g_failCreation = false;
            const bool failedAgain = start(0, 0, 0, 0) == -1;
            IIODriverInstance* out = nullptr;
            const bool noObject = Service<PFN_drvGetDriverObject>("drvGetDriverObject")(&out) == -1 && !out;
            // The identity stays available without an instance.
            const bool identity = Service<PFN_drvGetCaps>("drvGetCaps")() == 47 &&
                                  std::string(drvGetDriverName()) == DRAVO_DRIVER_NAME;
            std::exit(failedFirst && failedAgain && noObject && identity && g_factoriesMade == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(DefaultInstanceLifetime, UnloadGivesTheFinalCallAndDropsTheInstance)
{
    EXPECT_EXIT(
        {
            IIODriverInstance* held = nullptr;
            Service<PFN_drvGetDriverObject>("drvGetDriverObject")(&held);
            const bool one = g_factoriesAlive == 1;
            CDefaultInstance::Unload();
            // The caller's reference keeps the object alive; the library's is gone.
            const bool stillHeld = g_factoriesAlive == 1 && g_unloadCalls == 1;
            held->Release();
            const bool destroyed = g_factoriesAlive == 0;
            CDefaultInstance::Unload(); // a second unload has nothing left to do
            const bool gone = !CDefaultInstance::Acquire() && g_unloadCalls == 1 && g_factoriesMade == 1;
            std::exit(one && stillHeld && destroyed && gone ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Eight threads ask for the default instance at once; exits 0 when all got the same one
// and exactly one was made.
void RaceForTheDefaultInstance()
{
    constexpr int kThreads = 8;
    std::array<IIODriverInstance*, kThreads> seen{};
    {
        std::vector<CThread> threads(kThreads);
        for (int i = 0; i < kThreads; ++i)
            threads[i].Start([&seen, i] { Service<PFN_drvGetDriverObject>("drvGetDriverObject")(&seen[i]); });
    }
    bool same = seen[0] != nullptr;
    for (IIODriverInstance* p : seen)
        same = same && p == seen[0];
    std::exit(same && g_factoriesMade == 1 ? 0 : 1);
}

TEST_F(DefaultInstanceLifetime, ConcurrentFirstUseMakesOneInstance)
{
    EXPECT_EXIT(RaceForTheDefaultInstance(), testing::ExitedWithCode(0), "");
}
