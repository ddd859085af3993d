#include <gtest/gtest.h>

#include <atomic>

#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

namespace
{
constexpr uint32_t kDeadlineMs = 10000;
}

TEST(Thread, RunsTheBodyOnItsOwnThread)
{
    const uint32_t self = CurrentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_EQ(self, CurrentThreadId());
    EXPECT_NE(CurrentProcessId(), 0u);

    std::atomic<uint32_t> seen{0};
    CThread t;
    ASSERT_TRUE(t.Start([&] { seen = CurrentThreadId(); }));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_FALSE(t.Start([] {})); // one body per start
    t.Join();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(seen.load(), t.Id());
    EXPECT_NE(t.Id(), self);
    t.Join(); // a second join does nothing

    EXPECT_FALSE(t.Start(nullptr));
    ASSERT_TRUE(t.Start([] {})); // restartable once joined
}

TEST(Lock, IsRecursiveAndExcludesOtherThreads)
{
    CRecursiveLock lock;
    CLockGuard outer(lock);
    {
        CLockGuard inner(lock);
        EXPECT_TRUE(lock.TryLock());
        lock.Unlock();
    }
    std::atomic<int> otherGot{-1};
    CEvent tried;
    CThread other;
    ASSERT_TRUE(other.Start([&] {
        otherGot = lock.TryLock() ? 1 : 0;
        if (otherGot == 1)
            lock.Unlock();
        tried.Set();
    }));
    ASSERT_TRUE(tried.Wait(kDeadlineMs));
    EXPECT_EQ(otherGot.load(), 0);
}

TEST(Tick, UnsignedArithmeticSurvivesTheWrap)
{
    struct Case
    {
        uint32_t since;
        uint32_t now;
        uint32_t elapsed;
    };
    const Case cases[] = {
        {1000, 1500, 500},
        {0xFFFFFF00u, 0x00000100u, 0x200},
        {0xFFFFFFFFu, 0, 1},
        {42, 42, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TickElapsed(c.since, c.now), c.elapsed);

    EXPECT_TRUE(TickReached(0xFFFFFFF0u, 0x10u));  // deadline before the wrap, now after
    EXPECT_FALSE(TickReached(0x10u, 0xFFFFFFF0u)); // now before the wrap, deadline after
    EXPECT_TRUE(TickReached(5, 5));
}

TEST(Tick, ClocksAreMonotonic)
{
    const uint32_t t0 = GetTickCount32();
    const uint64_t c0 = GetHighResCounter();
    const uint64_t u0 = GetMicroseconds();
    EXPECT_LT(TickElapsed(t0, GetTickCount32()), 0x80000000u);
    EXPECT_GE(GetHighResCounter(), c0);
    EXPECT_GE(GetMicroseconds(), u0);
    EXPECT_EQ(GetHighResFrequency(), 1000000000u);
}
