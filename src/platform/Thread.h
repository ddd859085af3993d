// Threads and process identity.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// A small per-thread number (the kernel thread id), suitable for "%04X" in log lines.
uint32_t CurrentThreadId();
uint32_t CurrentProcessId();
void SleepMs(uint32_t ms);

// A started thread that is joined by Join or by the destructor.
class CThread
{
public:
    CThread() = default;
    ~CThread() { Join(); }
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts `body` on a new thread; false when already running or the start failed.
    bool Start(std::function<void()> body);
    // Waits for the thread to end; a no-op when it is not running or on itself.
    void Join();
    bool IsRunning() const { return m_thread.joinable(); }
    // The CurrentThreadId() value of the started thread (0 before it runs).
    uint32_t Id() const { return m_id; }

private:
    std::thread m_thread;
    std::atomic<uint32_t> m_id{0};
    // Start waits on these until the new thread has published its id. They are members, not
    // locals of Start, because the new thread still touches them after Start may have
    // returned; the object outlives the thread (the destructor joins it).
    std::mutex m_startLock;
    std::condition_variable m_startedCondition;
};
