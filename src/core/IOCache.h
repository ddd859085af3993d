// The tag cache of a driver instance: the host's subscriptions, the driver's sections and
// cache tags, and the delivery of values to the host's callbacks.
//
// Delivery rule: notifications are queued while the cache is locked and handed to the
// host only by a thread that has left the cache lock completely (its depth is 0), one at a
// time and in queue order. So a callback may call back into the cache or the driver.
#pragma once
#include "core/IOCacheAdvise.h"
#include "core/IOCacheInterfaces.h"
#include "core/IOCacheSection.h"
#include "core/IOCacheTag.h"
#include "core/IOLog.h"
#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"
#include "platform/Lock.h"
#include "platform/Text.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

// One value on its way to a host callback.
struct SCacheNotification
{
    uint64_t queuedAt = 0; // high-resolution counter
    TIOPtr<CIOCacheAdvise> subscription;
    TIOPtr<IIOAdviseCallback> callback;
    uint32_t number = 0;
    HVALUE value = nullptr; // own copy with timestamp, or none
    uint32_t flags = 0;
    bool current = false; // the cached value handed to a new subscription

    SCacheNotification() = default;
    SCacheNotification(SCacheNotification&& other) noexcept;
    SCacheNotification& operator=(SCacheNotification&& other) noexcept;
    ~SCacheNotification();
};

class CIOCache : public TIOUnknown<IIOUnknown>, public TIOApi
{
public:
    explicit CIOCache(CIOGlobals* globals);

    // Opens the section `name` (unique without regard to case) and offers it every waiting
    // subscription in number order. The caller owns the returned section.
    HRESULT OpenSection(const char* name, IIOCacheSectionEventSink* sink, IIOCacheSection** section);
    // E_FAIL when `number` is already subscribed. A subscription no section takes waits.
    HRESULT Subscribe(const TagRequest* request, IIOAdviseCallback* callback, uint32_t number);
    // E_FAIL when `number` is not subscribed.
    HRESULT Unsubscribe(uint32_t number);
    // The subscription of `number` (waiting ones first), or null. Call with the cache locked
    // (CIOCacheLock) when the result is used beyond this call.
    TIOPtr<CIOCacheAdvise> FindSubscription(uint32_t number);
    // Drops every subscription and detaches every section; the instance calls it when it
    // goes away so that no subscription outlives it.
    void Shutdown();

    // The cache lock. Leave delivers the queued notifications when the calling thread's
    // depth returns to 0 and no other thread is delivering. Prefer CIOCacheLock.
    void Enter();
    void Leave();

    // Counts for tests and diagnostics (taken under the cache lock).
    size_t WaitingCount();
    size_t AttachedCount();

protected:
    ~CIOCache() override;

private:
    friend class CIOCacheSection;
    friend class CIOCacheTag;

    HRESULT Attach(CIOCacheSection* section, CIOCacheAdvise* subscription);
    void AddToTag(CIOCacheTag* tag, CIOCacheAdvise* subscription);
    void RemoveFromTag(CIOCacheTag* tag, CIOCacheAdvise* subscription);
    HRESULT Queue(CIOCacheAdvise* subscription, IIOAdviseCallback* callback, uint32_t number, HVALUE value,
                  uint32_t flags, bool current);
    void Deliver(const SCacheNotification& notification);
    void CloseSection(CIOCacheSection* section);

    // Lock order: the cache lock before the bookkeeping lock; neither is held while a
    // host callback runs, and the bookkeeping lock is never held while calling out.
    CRecursiveLock m_lock;
    std::mutex m_bookkeeping;

    // Guarded by m_bookkeeping.
    std::unordered_map<std::thread::id, uint32_t> m_depth;
    std::deque<SCacheNotification> m_queue;
    bool m_delivering = false;

    // Guarded by m_lock.
    std::map<std::string, CIOCacheSection*, LessNoCase> m_sections; // not counted
    std::map<uint32_t, TIOPtr<CIOCacheAdvise>> m_waiting;
    std::map<uint32_t, TIOPtr<CIOCacheAdvise>> m_attached;
};

// A copy of `value` with its timestamp; null for null or when the copy fails.
HVALUE CopyCacheValue(HVALUE value);
// The value with quality and time, as cache log lines show it.
std::string CacheValueText(HVALUE value);
// A subscription's or cache tag's address as log lines show it.
std::string CacheAddressText(const SCacheTagAddress& address);

// Holds the cache lock for a scope.
class CIOCacheLock
{
public:
    explicit CIOCacheLock(CIOCache* cache) : m_cache(cache) { m_cache->Enter(); }
    ~CIOCacheLock() { m_cache->Leave(); }
    CIOCacheLock(const CIOCacheLock&) = delete;
    CIOCacheLock& operator=(const CIOCacheLock&) = delete;

private:
    CIOCache* m_cache;
};
