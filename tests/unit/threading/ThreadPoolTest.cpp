#include "threading/ThreadPool.h"

#include "core/IOGlobals.h"
#include "platform/Thread.h"
#include "support/TestHelpers.h"
#include "threading/ServiceProvider.h"

#include <atomic>
#include <gtest/gtest.h>

using ThreadPool::CThreadPool;

namespace
{
constexpr uint32_t kWaitMs = uint32_t(kTestWait.count());

// What a job does: optionally waits for its gate, then records where it ran.
struct SJobContext
{
    CEvent gate{CEvent::EReset::Manual, true};
    std::atomic<bool> ran{false};
    std::atomic<uint32_t> threadId{0};
    std::atomic<bool> sawJobThread{false};
    IIOJob* job = nullptr;
};

int32_t RunJob(void* user)
{
    auto* c = static_cast<SJobContext*>(user);
    c->gate.Wait(WAIT_INFINITE);
    c->threadId = CurrentThreadId();
    if (c->job)
        c->sawJobThread = c->job->IsJobThread();
    c->ran = true;
    return 0;
}

TIOPtr<IIOJob> Start(CThreadPool* pool, SJobContext& c, bool suspended = false)
{
    TIOPtr<IIOJob> job;
    EXPECT_EQ(pool->CreateJob(u"test job", RunJob, &c, suspended, job.Out()), S_OK);
    return job;
}

class ThreadPoolTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (m_pool && m_pool->Clients() > 0)
            m_pool->RemoveClient();
    }
    TIOPtr<CThreadPool> m_pool = TIOPtr<CThreadPool>::Adopt(CThreadPool::Create());
};
} // namespace

TEST_F(ThreadPoolTest, ConcurrentJobsGetTheirOwnThreadsAndEndedThreadsAreReusedInOrder)
{
    SJobContext first, second, third;
    first.gate.Reset();
    second.gate.Reset();
    auto j1 = Start(m_pool.Get(), first);
    auto j2 = Start(m_pool.Get(), second);
    EXPECT_EQ(m_pool->ThreadsCreated(), 2u);

    first.gate.Set();
    ASSERT_EQ(j1->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    second.gate.Set();
    ASSERT_EQ(j2->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_NE(first.threadId.load(), second.threadId.load());
    EXPECT_EQ(m_pool->IdleCount(), 2u);

    auto j3 = Start(m_pool.Get(), third);
    ASSERT_EQ(j3->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_EQ(third.threadId.load(), first.threadId.load()) << "the longest idle thread is taken first";
    EXPECT_EQ(m_pool->ThreadsCreated(), 2u);
    EXPECT_EQ(m_pool->JobStats("test job").runs, 3u);
    EXPECT_EQ(j3->WaitJob(0), IO_WAIT_OBJECT_0) << "a finished job stays finished for every wait";
}

TEST_F(ThreadPoolTest, SuspendedJobRunsOnlyAfterStart)
{
    SJobContext c;
    auto job = Start(m_pool.Get(), c, true);
    c.job = job.Get();
    EXPECT_EQ(job->WaitJob(0), IO_WAIT_TIMEOUT);
    EXPECT_FALSE(c.ran.load());
    EXPECT_FALSE(job->IsJobThread());
    ASSERT_EQ(job->StartJob(), S_OK);
    ASSERT_EQ(job->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_TRUE(c.ran.load());
    EXPECT_TRUE(c.sawJobThread.load());
    EXPECT_EQ(job->GetJobThreadId(), c.threadId.load());
}

TEST_F(ThreadPoolTest, CreateJobArguments)
{
    TIOPtr<IIOJob> job;
    EXPECT_EQ(m_pool->CreateJob(u"x", RunJob, nullptr, false, nullptr), E_POINTER);
    EXPECT_EQ(m_pool->CreateJob(u"x", nullptr, nullptr, false, job.Out()), E_POINTER);
    EXPECT_FALSE(job);
}

TEST_F(ThreadPoolTest, LastClientStopsIdleThreads)
{
    SJobContext a, b, c;
    a.gate.Reset();
    b.gate.Reset();
    auto ja = Start(m_pool.Get(), a);
    auto jb = Start(m_pool.Get(), b);
    auto jc = Start(m_pool.Get(), c);
    ASSERT_EQ(jc->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    a.gate.Set();
    b.gate.Set();
    ASSERT_EQ(ja->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    ASSERT_EQ(jb->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    ASSERT_EQ(m_pool->LiveThreads(), 3u);

    ASSERT_EQ(m_pool->AddClient(), S_OK);
    ASSERT_EQ(m_pool->RemoveClient(), S_OK);
    EXPECT_EQ(m_pool->LiveThreads(), 3u) << "another client remains";
    ASSERT_EQ(m_pool->RemoveClient(), S_OK);
    // The shutdown waits for the idle threads to end before it returns.
    EXPECT_EQ(m_pool->LiveThreads(), 0u);
    EXPECT_EQ(m_pool->IdleCount(), 0u);
}

TEST_F(ThreadPoolTest, BusyThreadEndsAfterItsJobOnceThePoolIsShutDown)
{
    SJobContext c;
    c.gate.Reset();
    auto job = Start(m_pool.Get(), c);
    ASSERT_EQ(m_pool->RemoveClient(), S_OK);
    EXPECT_EQ(m_pool->LiveThreads(), 1u);
    c.gate.Set();
    ASSERT_EQ(job->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_TRUE(WaitUntil([&] { return m_pool->LiveThreads() == 0; }));

    // Without clients a job still runs, on a thread that ends with it.
    SJobContext late;
    auto lateJob = Start(m_pool.Get(), late);
    ASSERT_EQ(lateJob->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_TRUE(WaitUntil([&] { return m_pool->LiveThreads() == 0; }));
    EXPECT_EQ(m_pool->IdleCount(), 0u);
    // No later shutdown will join that thread: once it has ended nothing of it holds the
    // pool any more, so the test's reference is the last one.
    EXPECT_TRUE(WaitUntil([&] {
        m_pool->AddRef();
        return m_pool->Release() == 1;
    }));
}

TEST_F(ThreadPoolTest, IdleThreadsRetireAfterTheirLifetime)
{
    m_pool->SetIdleLifetime(30);
    SJobContext c;
    auto job = Start(m_pool.Get(), c);
    ASSERT_EQ(job->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_TRUE(WaitUntil([&] { return m_pool->LiveThreads() == 0; }));
    EXPECT_EQ(m_pool->IdleCount(), 0u);
    SJobContext again;
    auto next = Start(m_pool.Get(), again);
    ASSERT_EQ(next->WaitJob(kWaitMs), IO_WAIT_OBJECT_0);
    EXPECT_EQ(m_pool->ThreadsCreated(), 2u);
}

TEST(GlobalsThreadPool, SharedThroughTheServiceProvider)
{
    auto provider = TIOPtr<CIOServiceProvider>::Adopt(CIOServiceProvider::Create());
    // Globals made without a provider from the loading process keep a private one.
    auto privateGlobals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Pool Test"));
    EXPECT_NE(privateGlobals->ServiceProvider(), nullptr);
    EXPECT_EQ(EnsureServiceProvider(privateGlobals.Get()), S_FALSE);
    TIOPtr<IIOThreadPool> pool;
    ASSERT_EQ(privateGlobals->GetThreadPool(pool.Out()), S_OK);
    EXPECT_TRUE(pool);

    auto bare = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Bare"));
    bare->SetServiceProvider(nullptr);
    TIOPtr<IIOThreadPool> none;
    EXPECT_EQ(GetThreadPool(bare.Get(), none.Out()), E_UNEXPECTED);
    ASSERT_EQ(EnsureServiceProvider(bare.Get()), S_OK);
    EXPECT_EQ(GetThreadPool(bare.Get(), none.Out()), S_OK);

    // Two instances whose loading process offers one provider share one pool.
    auto a = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(provider.Get(), "A"));
    auto b = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(provider.Get(), "B"));
    TIOPtr<IIOThreadPool> poolA, poolA2, poolB;
    ASSERT_EQ(GetThreadPool(a.Get(), poolA.Out()), S_OK);
    ASSERT_EQ(GetThreadPool(a.Get(), poolA2.Out()), S_OK);
    ASSERT_EQ(GetThreadPool(b.Get(), poolB.Out()), S_OK);
    EXPECT_EQ(poolA.Get(), poolA2.Get());
    EXPECT_EQ(poolA.Get(), poolB.Get());
    EXPECT_NE(poolA.Get(), pool.Get());
    auto* shared = static_cast<CThreadPool*>(poolA.Get());
    EXPECT_EQ(shared->Clients(), 2u);
    a = nullptr;
    EXPECT_EQ(shared->Clients(), 1u) << "destroying the globals removes their client";
    b = nullptr;
    EXPECT_EQ(shared->Clients(), 0u);
}
