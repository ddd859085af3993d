// The per-instance global services every object of a driver instance holds through TIOApi:
// the logger, the host's services object, the service provider and the thread pool.
#pragma once
#include <string>

#include "core/IOLog.h"
#include "dravo/IOUnknown.h"
#include "platform/Lock.h"

class CIOLogger;
struct IIOThreadPool;

class CIOGlobals : public TIOUnknown<IIOUnknown>
{
public:
    // Identifier under which the host's services object offers its service provider.
    static constexpr IOGUID ServiceProviderIID = {
        0x493AC57A, 0x6EDA, 0x45E1, {0x8B, 0xD5, 0x20, 0xD6, 0xF4, 0x93, 0xBA, 0x7B}};

    // Called once when the globals die, with the cached pool, before its reference is dropped;
    // it lets the pool's owner detach this client (RemoveClient).
    using PoolDetach = void (*)(IIOUnknown* pool);

    // Returns the globals with one reference, or null when the logger cannot be made.
    // `services` (may be null) gains a reference and is asked for its service provider;
    // when it offers none the caller installs a private one with SetServiceProvider.
    static CIOGlobals* Create(IIOUnknown* services, const char* driverName);

    IIOLogger* Logger() const;
    CIOLogger* LoggerObject() const { return m_logger; }
    IIOUnknown* Services() const { return m_services.Get(); }

    // Lock order: taken before the logger's lock, never while holding a store or cache lock.
    CRecursiveLock& GlobalsLock() const { return m_lock; }

    IIOUnknown* ServiceProvider() const;
    void SetServiceProvider(IIOUnknown* provider);

    // The cached thread pool (no reference added), or null before the first request.
    IIOUnknown* ThreadPool() const;
    // Caches `pool` (gaining a reference) when none is cached yet; `detach` runs at destruction.
    // Returns the pool cached after the call.
    IIOUnknown* SetThreadPool(IIOUnknown* pool, PoolDetach detach);
    // The instance's thread pool with a new reference, shared through the service provider.
    HRESULT GetThreadPool(IIOThreadPool** pool);

protected:
    ~CIOGlobals() override;

private:
    CIOGlobals() = default;

    mutable CRecursiveLock m_lock;
    CIOLogger* m_logger = nullptr; // owned: one reference
    TIOPtr<IIOUnknown> m_services;
    TIOPtr<IIOUnknown> m_provider;
    TIOPtr<IIOUnknown> m_threadPool;
    PoolDetach m_poolDetach = nullptr;
};
