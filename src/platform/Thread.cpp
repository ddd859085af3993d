#include "platform/Thread.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>


uint32_t CurrentThreadId()
{
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void SleepMs(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR)
    {
    }
}

bool CThread::Start(std::function<void()> body)
{
    if (m_thread.joinable() || !body)
        return false;
    m_id = 0;
    try
    {
        m_thread = std::thread([this, body = std::move(body)] {
            {
                std::lock_guard<std::mutex> guard(m_startLock);
                m_id = CurrentThreadId();
                m_startedCondition.notify_all();
            }
            body();
        });
    }
    catch (const std::system_error&)
    {
        return false;
    }
    // Id() is meaningful as soon as Start returns.
    std::unique_lock<std::mutex> lock(m_startLock);
    m_startedCondition.wait(lock, [this] { return m_id.load() != 0; });
    return true;
}

void CThread::Join()
{
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
    {
        m_thread.detach();
        return;
    }
    m_thread.join();
}
