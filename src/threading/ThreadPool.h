// The framework's thread pool: long-lived workers (the physical-layer thread among them) run
// as jobs on threads that are reused in FIFO order after a job ends and retire after a long
// idle time. The pool is shared between driver instances through the service provider.
#pragma once
#include "dravo/IOInterfaces.h"
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CIOGlobals;

namespace ThreadPool
{
class CThreadPool;
struct SWorker;

class CJob final : public TIOUnknown<IIOJob>
{
public:
    static CJob* Create(const char16_t* name, IOJobCallback callback, void* userData);

    HRESULT StartJob() override;
    uint32_t WaitJob(uint32_t timeoutMs) override;
    bool IsJobThread() override;
    uint32_t GetJobThreadId() override;

    const std::string& Name() const { return m_name; }
    // Runs the job on the calling thread: waits for the start, calls back, returns the
    // callback's result. The done event is signalled separately (see CThread).
    int32_t Run();
    void SignalDone() { m_done.Set(); }

private:
    CJob() = default;
    ~CJob() override = default;

    std::string m_name;
    IOJobCallback m_callback = nullptr;
    void* m_userData = nullptr;
    std::atomic<uint32_t> m_threadId{0};
    CEvent m_start{CEvent::EReset::Auto};
    // A job runs once, so its end stays signalled for every later wait.
    CEvent m_done{CEvent::EReset::Manual};
};

class CThread final : public TIOUnknown<IIOUnknown>
{
public:
    // Starts the operating-system thread and waits until it runs.
    static HRESULT Start(CThreadPool* pool, uint32_t serial, TIOPtr<CThread>* out);

    // E_UNEXPECTED when a job is already assigned.
    HRESULT Assign(CJob* job, bool startSuspended);
    // Asks an idle thread to end; `exited` is signalled when its loop has ended.
    void RequestStop();
    CEvent& Exited() { return m_exited; }
    uint32_t Serial() const { return m_serial; }

private:
    CThread(CThreadPool* pool, uint32_t serial);
    ~CThread() override = default;
    void Loop();

    TIOPtr<CThreadPool> m_pool;
    const uint32_t m_serial;
    std::mutex m_lock; // guards m_job
    TIOPtr<CJob> m_job;
    std::atomic<bool> m_stop{false};
    CEvent m_work{CEvent::EReset::Auto};
    CEvent m_started{CEvent::EReset::Auto};
    CEvent m_exited{CEvent::EReset::Manual};
    uint32_t m_lastJobTick = 0;
};

class CThreadPool final : public TIOUnknown<IIOThreadPool>
{
public:
    static constexpr uint32_t DEFAULT_IDLE_LIFETIME_MS = 7200000;
    static constexpr uint32_t IDLE_CHECK_MS = 5000;
    static constexpr uint32_t SHUTDOWN_WAIT_MS = 2000;

    // A new pool with one reference and one client (its creator), or null.
    static CThreadPool* Create();

    HRESULT CreateJob(const char16_t* name, IOJobCallback callback, void* userData, bool startSuspended,
                      IIOJob** job) override;
    HRESULT AddClient() override;
    HRESULT RemoveClient() override;

    // Diagnostics and tests.
    size_t IdleCount();
    uint32_t ThreadsCreated();
    uint32_t LiveThreads() const { return m_liveThreads.load(); }
    uint32_t Clients();
    void SetIdleLifetime(uint32_t ms);
    uint32_t IdleLifetime();
    struct SJobStats
    {
        uint32_t runs = 0;
        uint64_t busyMs = 0;
    };
    SJobStats JobStats(const std::string& name);

private:
    friend class CThread;
    CThreadPool() = default;
    ~CThreadPool() override = default;

    void Shutdown();
    // Joins the operating-system threads whose loops have ended, so no thread is still
    // running the library's code when the last client is gone (the library may be unloaded
    // right after). A thread that is still busy after the deadline is let go.
    void JoinEnded(std::list<SWorker>& workers, uint32_t deadlineMs);
    void AdoptWorker(const TIOPtr<CThread>& thread, std::thread&& os);
    // Called by a thread after its job: back to the end of the idle list, unless the pool
    // has no clients left (then false: the thread ends).
    bool ReturnIdle(CThread* thread);
    // Called by an idle thread whose lifetime ran out: true when it was still idle and has
    // been taken off the list (a thread already handed a job keeps running).
    bool RetireIdle(CThread* thread);
    void AddStats(const std::string& name, uint64_t busyMs);
    void ThreadStarted() { ++m_liveThreads; }
    void ThreadEnded() { --m_liveThreads; }

    std::mutex m_lock; // guards everything below; never held while a job runs or a thread is waited for
    std::deque<TIOPtr<CThread>> m_idle;
    uint32_t m_serialCounter = 0;
    uint32_t m_clients = 1;
    uint32_t m_idleLifetimeMs = DEFAULT_IDLE_LIFETIME_MS;
    uint32_t m_threadsCreated = 0;
    std::map<std::string, SJobStats> m_stats;
    std::atomic<uint32_t> m_liveThreads{0};
    // Every started thread until it is joined; holding the CThread here keeps its exited
    // event readable. The pool/thread reference cycle is broken by Shutdown.
    std::list<SWorker> m_workers;
};

struct SWorker
{
    TIOPtr<CThread> thread;
    std::thread os;
};
} // namespace ThreadPool

// The instance's shared pool: the one cached in the globals, else the one registered with
// the service provider (joining it as a client), else a new one registered there.
// E_UNEXPECTED when the globals have no service provider.
HRESULT GetThreadPool(CIOGlobals* globals, IIOThreadPool** pool);
// Installs a private service provider in the globals when they have none.
HRESULT EnsureServiceProvider(CIOGlobals* globals);
