// Adapts a driver object to IIOCacheSectionEventSink. The section holds the sink counted,
// so the owner need not outlive its section: it calls Detach before it goes away, after
// which the sink declines every key and ignores every event.
//
// The owner supplies:
//   HRESULT MakeKey(const SCacheTagAddress& address, std::string& key);
//   void OnTagActivated(IIOCacheTag* tag);
//   void OnTagDeactivated(IIOCacheTag* tag, int& keep);
// They run with the cache locked (and this sink's lock held), so Detach must not be called
// while holding a lock that those operations take.
#pragma once
#include "core/IOCacheInterfaces.h"

#include <mutex>
#include <string>

template <class TOwner> class TIOCacheSectionEventSink : public TIOUnknown<IIOCacheSectionEventSink>
{
public:
    explicit TIOCacheSectionEventSink(TOwner* owner) : m_owner(owner) {}

    void Detach()
    {
        std::lock_guard guard(m_lock);
        m_owner = nullptr;
    }

    HRESULT MakeKey(const SCacheTagAddress* address, std::string* key) override
    {
        if (address == nullptr || key == nullptr)
            return E_POINTER;
        std::lock_guard guard(m_lock);
        return m_owner ? m_owner->MakeKey(*address, *key) : E_FAIL;
    }

    void OnTagActivated(IIOCacheTag* tag) override
    {
        std::lock_guard guard(m_lock);
        if (m_owner)
            m_owner->OnTagActivated(tag);
    }

    void OnTagDeactivated(IIOCacheTag* tag, int* keep) override
    {
        std::lock_guard guard(m_lock);
        if (m_owner && keep)
            m_owner->OnTagDeactivated(tag, *keep);
    }

private:
    // Recursive: an owner's operation may reach the cache, which may call the sink again.
    std::recursive_mutex m_lock;
    TOwner* m_owner;
};
