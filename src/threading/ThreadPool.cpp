#include "threading/ThreadPool.h"

#include "core/IOGlobals.h"
#include "platform/Lock.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "threading/ServiceProvider.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>

namespace ThreadPool
{
// ---- CJob ----

CJob* CJob::Create(const char16_t* name, IOJobCallback callback, void* userData)
{
    CJob* job = new (std::nothrow) CJob();
    if (job == nullptr)
        return nullptr;
    try
    {
        job->m_name = name ? Utf16ToUtf8(name) : std::string();
    }
    catch (const std::bad_alloc&)
    {
        job->Release();
        return nullptr;
    }
    job->m_callback = callback;
    job->m_userData = userData;
    if (!job->m_start.IsValid() || !job->m_done.IsValid())
    {
        job->Release();
        return nullptr;
    }
    return job;
}

HRESULT CJob::StartJob()
{
    m_start.Set();
    return S_OK;
}

uint32_t CJob::WaitJob(uint32_t timeoutMs)
{
    return m_done.Wait(timeoutMs) ? IO_WAIT_OBJECT_0 : IO_WAIT_TIMEOUT;
}

bool CJob::IsJobThread()
{
    return m_threadId.load() == CurrentThreadId();
}

uint32_t CJob::GetJobThreadId()
{
    return m_threadId.load();
}

int32_t CJob::Run()
{
    m_threadId = CurrentThreadId();
    m_start.Wait(WAIT_INFINITE);
    return m_callback(m_userData);
}

// ---- CThread ----

CThread::CThread(CThreadPool* pool, uint32_t serial) : m_pool(pool), m_serial(serial) {}

HRESULT CThread::Start(CThreadPool* pool, uint32_t serial, TIOPtr<CThread>* out)
{
    CThread* raw = new (std::nothrow) CThread(pool, serial);
    if (raw == nullptr)
        return E_OUTOFMEMORY;
    auto thread = TIOPtr<CThread>::Adopt(raw);
    if (!raw->m_work.IsValid() || !raw->m_started.IsValid() || !raw->m_exited.IsValid())
        return E_FAIL;
    raw->m_lastJobTick = GetTickCount32();
    try
    {
        // The running loop holds its own reference, so whoever drops the last one, the loop
        // included, never destroys a running thread. The pool joins the thread later.
        TIOPtr<CThread> self = thread;
        pool->AdoptWorker(thread, std::thread([self]() { self->Loop(); }));
    }
    catch (const std::system_error& e)
    {
        return HRESULT_FROM_SYSTEM(e.code().value());
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    raw->m_started.Wait(WAIT_INFINITE);
    *out = std::move(thread);
    return S_OK;
}

HRESULT CThread::Assign(CJob* job, bool startSuspended)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_job)
            return E_UNEXPECTED;
        m_job = TIOPtr<CJob>(job);
    }
    m_work.Set();
    if (!startSuspended)
        job->StartJob();
    return S_OK;
}

void CThread::RequestStop()
{
    m_stop = true;
    m_work.Set();
}

void CThread::Loop()
{
    m_pool->ThreadStarted();
    m_started.Set();
    while (!m_stop)
    {
        m_work.Wait(std::min(CThreadPool::IDLE_CHECK_MS, m_pool->IdleLifetime()));
        TIOPtr<CJob> job;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            job = m_job;
        }
        if (job)
        {
            const uint64_t began = GetMicroseconds();
            job->Run();
            m_pool->AddStats(job->Name(), (GetMicroseconds() - began) / 1000);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_job = nullptr;
            }
            m_lastJobTick = GetTickCount32();
            // Back in the idle list before the job reports its end, so that a job created
            // after WaitJob returned finds this thread.
            if (m_serial == 0 || !m_pool->ReturnIdle(this))
                m_stop = true;
            job->SignalDone();
            continue;
        }
        if (TickElapsed(m_lastJobTick, GetTickCount32()) >= m_pool->IdleLifetime() &&
            m_pool->RetireIdle(this))
            m_stop = true;
    }
    m_pool->ThreadEnded();
    m_exited.Set();
}

// ---- CThreadPool ----

CThreadPool* CThreadPool::Create()
{
    return new (std::nothrow) CThreadPool();
}

HRESULT CThreadPool::CreateJob(const char16_t* name, IOJobCallback callback, void* userData,
                               bool startSuspended, IIOJob** job)
{
    if (job == nullptr)
        return E_POINTER;
    *job = nullptr;
    if (callback == nullptr)
        return E_POINTER;
    auto created = TIOPtr<CJob>::Adopt(CJob::Create(name, callback, userData));
    if (!created)
        return E_OUTOFMEMORY;

    TIOPtr<CThread> thread;
    uint32_t serial = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_idle.empty())
        {
            thread = std::move(m_idle.front());
            m_idle.pop_front();
        }
        else
        {
            serial = m_clients >= 1 ? ++m_serialCounter : 0;
            ++m_threadsCreated;
        }
    }
    if (!thread)
    {
        const HRESULT hr = CThread::Start(this, serial, &thread);
        if (FAILED(hr))
            return hr;
    }
    const HRESULT hr = thread->Assign(created.Get(), startSuspended);
    if (FAILED(hr))
        return hr;
    *job = created.Detach();
    return S_OK;
}

HRESULT CThreadPool::AddClient()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_clients;
    return S_OK;
}

HRESULT CThreadPool::RemoveClient()
{
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_clients == 0)
            return S_FALSE;
        last = --m_clients == 0;
    }
    if (last)
        Shutdown();
    return S_OK;
}

void CThreadPool::Shutdown()
{
    // Keeps the pool alive while its threads end: each of them drops a reference on the way.
    TIOPtr<CThreadPool> keep(this);
    for (;;)
    {
        TIOPtr<CThread> thread;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_idle.empty())
                break;
            thread = std::move(m_idle.front());
            m_idle.pop_front();
        }
        thread->RequestStop();
    }
    std::list<SWorker> workers;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        workers.swap(m_workers);
    }
    JoinEnded(workers, SHUTDOWN_WAIT_MS);
}

void CThreadPool::AdoptWorker(const TIOPtr<CThread>& thread, std::thread&& os)
{
    std::list<SWorker> ended;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // Reaps threads that retired since the last start, so the list stays short.
        for (auto it = m_workers.begin(); it != m_workers.end();)
        {
            auto next = std::next(it);
            if (it->thread->Exited().Wait(0))
                ended.splice(ended.end(), m_workers, it);
            it = next;
        }
        std::list<SWorker> node;
        if (m_clients == 0)
        {
            // The pool is already shut down: no later shutdown will join this thread, and
            // keeping it here would keep the pool alive for ever.
            os.detach();
        }
        else
        {
            try
            {
                node.emplace_back();
            }
            catch (const std::bad_alloc&)
            {
                // Without a place in the list the thread cannot be joined; letting it go is
                // the only choice left.
                os.detach();
            }
        }
        if (!node.empty())
        {
            node.back().thread = thread;
            node.back().os = std::move(os);
            m_workers.splice(m_workers.end(), node);
        }
    }
    JoinEnded(ended, 0);
}

void CThreadPool::JoinEnded(std::list<SWorker>& workers, uint32_t deadlineMs)
{
    const uint32_t started = GetTickCount32();
    for (SWorker& worker : workers)
    {
        if (!worker.os.joinable())
            continue;
        // A thread cannot join itself (the last client may leave from a pool thread).
        if (worker.os.get_id() == std::this_thread::get_id())
        {
            worker.os.detach();
            continue;
        }
        const uint32_t elapsed = TickElapsed(started, GetTickCount32());
        const bool ended = worker.thread->Exited().Wait(elapsed >= deadlineMs ? 0 : deadlineMs - elapsed);
        if (ended)
            worker.os.join();
        else
            worker.os.detach();
    }
    workers.clear();
}

bool CThreadPool::ReturnIdle(CThread* thread)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_clients == 0)
        return false;
    try
    {
        m_idle.push_back(TIOPtr<CThread>(thread));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    return true;
}

bool CThreadPool::RetireIdle(CThread* thread)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it =
        std::find_if(m_idle.begin(), m_idle.end(), [&](const auto& t) { return t.Get() == thread; });
    if (it == m_idle.end())
        return false;
    m_idle.erase(it);
    return true;
}

void CThreadPool::AddStats(const std::string& name, uint64_t busyMs)
{
    std::lock_guard<std::mutex> guard(m_lock);
    try
    {
        SJobStats& stats = m_stats[name];
        ++stats.runs;
        stats.busyMs += busyMs;
    }
    catch (const std::bad_alloc&)
    {
        // Statistics are diagnostics only.
    }
}

size_t CThreadPool::IdleCount()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_idle.size();
}

uint32_t CThreadPool::ThreadsCreated()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_threadsCreated;
}

uint32_t CThreadPool::Clients()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_clients;
}

void CThreadPool::SetIdleLifetime(uint32_t ms)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_idleLifetimeMs = ms == 0 ? 1 : ms;
}

uint32_t CThreadPool::IdleLifetime()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_idleLifetimeMs;
}

CThreadPool::SJobStats CThreadPool::JobStats(const std::string& name)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_stats.find(name);
    return it == m_stats.end() ? SJobStats{} : it->second;
}
} // namespace ThreadPool

namespace
{
void DetachPool(IIOUnknown* pool)
{
    static_cast<IIOThreadPool*>(pool)->RemoveClient();
}
} // namespace

HRESULT GetThreadPool(CIOGlobals* globals, IIOThreadPool** pool)
{
    if (pool == nullptr)
        return E_POINTER;
    *pool = nullptr;
    if (globals == nullptr)
        return E_UNEXPECTED;
    CLockGuard guard(globals->GlobalsLock());
    IIOUnknown* cached = globals->ThreadPool();
    if (cached == nullptr)
    {
        IIOUnknown* providerObject = globals->ServiceProvider();
        TIOPtr<IIOServiceProvider> provider;
        if (providerObject == nullptr ||
            FAILED(providerObject->QueryInterface(IIOServiceProvider::IID,
                                                  reinterpret_cast<void**>(provider.Out()))))
            return E_UNEXPECTED;
        TIOPtr<IIOThreadPool> shared;
        if (SUCCEEDED(provider->QueryService(SID_IOThreadPool, IIOThreadPool::IID,
                                             reinterpret_cast<void**>(shared.Out()))) &&
            shared)
        {
            shared->AddClient();
        }
        else
        {
            shared = TIOPtr<IIOThreadPool>::Adopt(ThreadPool::CThreadPool::Create());
            if (!shared)
                return E_OUTOFMEMORY;
            const HRESULT hr = provider->RegisterService(SID_IOThreadPool, shared.Get());
            if (FAILED(hr))
            {
                shared->RemoveClient();
                return hr;
            }
        }
        cached = globals->SetThreadPool(shared.Get(), DetachPool);
    }
    return cached->QueryInterface(IIOThreadPool::IID, reinterpret_cast<void**>(pool));
}

HRESULT EnsureServiceProvider(CIOGlobals* globals)
{
    if (globals == nullptr)
        return E_POINTER;
    CLockGuard guard(globals->GlobalsLock());
    if (globals->ServiceProvider() != nullptr)
        return S_FALSE;
    auto provider = TIOPtr<CIOServiceProvider>::Adopt(CIOServiceProvider::Create());
    if (!provider)
        return E_OUTOFMEMORY;
    globals->SetServiceProvider(provider.Get());
    return S_OK;
}
