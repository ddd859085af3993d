// A recursive lock and its RAII guard.
#pragma once
#include <mutex>

class CRecursiveLock
{
public:
    void Lock() { m_mutex.lock(); }
    bool TryLock() { return m_mutex.try_lock(); }
    void Unlock() { m_mutex.unlock(); }

    // BasicLockable, so std::unique_lock and std::scoped_lock accept it too.
    void lock() { Lock(); }
    bool try_lock() { return TryLock(); }
    void unlock() { Unlock(); }

private:
    std::recursive_mutex m_mutex;
};

class CLockGuard
{
public:
    explicit CLockGuard(CRecursiveLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CLockGuard() { m_lock.Unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CRecursiveLock& m_lock;
};
