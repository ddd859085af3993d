#include "core/IOCache.h"

#include "core/IOTrace.h"
#include "core/ValueText.h"
#include "platform/Text.h"
#include "platform/Tick.h"

#include <algorithm>
#include <new>
#include <vector>

SCacheNotification::SCacheNotification(SCacheNotification&& other) noexcept
    : queuedAt(other.queuedAt), subscription(std::move(other.subscription)),
      callback(std::move(other.callback)), number(other.number), value(std::exchange(other.value, nullptr)),
      flags(other.flags), current(other.current)
{
}

SCacheNotification& SCacheNotification::operator=(SCacheNotification&& other) noexcept
{
    if (this != &other)
    {
        if (value)
            hvRelease(value);
        queuedAt = other.queuedAt;
        subscription = std::move(other.subscription);
        callback = std::move(other.callback);
        number = other.number;
        value = std::exchange(other.value, nullptr);
        flags = other.flags;
        current = other.current;
    }
    return *this;
}

SCacheNotification::~SCacheNotification()
{
    if (value)
        hvRelease(value);
}

HVALUE CopyCacheValue(HVALUE value)
{
    if (value == nullptr)
        return nullptr;
    HVALUE copy = hvDuplicate(value);
    if (copy == nullptr)
        return nullptr;
    TIME stamp{};
    if (hvGetTimestampTime(value, &stamp))
        hvSetTimestampTime(copy, &stamp);
    return copy;
}

std::string CacheValueText(HVALUE value)
{
    return ValueText(value);
}

std::string CacheAddressText(const SCacheTagAddress& address)
{
    STagAddress numbers;
    numbers.n1 = address.n1;
    numbers.n2 = address.n2;
    numbers.n3 = address.n3;
    numbers.n4 = address.n4;
    numbers.tagObject = address.tagObject.Get();
    return SubscriptionAddressText(address.device.c_str(), address.item.c_str(), numbers, address.size);
}

CIOCache::CIOCache(CIOGlobals* globals) : TIOApi(globals) {}

CIOCache::~CIOCache()
{
    Shutdown();
}

// ---------------------------------------------------------------------------------------
// Lock and delivery

void CIOCache::Enter()
{
    {
        std::lock_guard guard(m_bookkeeping);
        ++m_depth[std::this_thread::get_id()];
    }
    m_lock.Lock();
}

void CIOCache::Leave()
{
    m_lock.Unlock();
    std::unique_lock guard(m_bookkeeping);
    const auto it = m_depth.find(std::this_thread::get_id());
    if (--it->second != 0)
        return;
    m_depth.erase(it);
    // Only one thread delivers at a time, so the host sees the notifications in queue
    // order; a thread that finds a deliverer at work leaves its notifications to it.
    if (m_delivering || m_queue.empty())
        return;
    m_delivering = true;
    while (!m_queue.empty())
    {
        {
            SCacheNotification notification = std::move(m_queue.front());
            m_queue.pop_front();
            guard.unlock();
            Deliver(notification);
        } // Destroyed with no lock held: the last release of a callback may run host code.
        guard.lock();
    }
    m_delivering = false;
}

void CIOCache::Deliver(const SCacheNotification& n)
{
    const HRESULT hr = n.callback->Notify(n.number, n.value, n.flags);
    try
    {
        const double seconds = static_cast<double>(GetHighResCounter() - n.queuedAt) /
                               static_cast<double>(GetHighResFrequency());
        const char* current = n.current ? " (CurrentValue!)" : "";
        const std::string& address = n.subscription->AddressText();
        if (SUCCEEDED(hr))
            Log(this, LOG_TAG, "<== (%.03lf) Tag(%s).Callback[%u] = %s%s", seconds, address.c_str(), n.number,
                CacheValueText(n.value).c_str(), current);
        else
            Log(this, LOG_TAG, "<== (%.03lf) Tag(%s).Callback[%u] = ERROR(%08X), dropped %s%s", seconds,
                address.c_str(), n.number, static_cast<uint32_t>(hr), CacheValueText(n.value).c_str(),
                current);
    }
    catch (const std::bad_alloc&)
    {
        // Only the log line is lost; the delivery itself has happened.
    }
}

HRESULT CIOCache::Queue(CIOCacheAdvise* subscription, IIOAdviseCallback* callback, uint32_t number,
                        HVALUE value, uint32_t flags, bool current)
{
    if (subscription == nullptr || callback == nullptr)
        return E_POINTER;
    try
    {
        SCacheNotification n;
        n.queuedAt = GetHighResCounter();
        n.subscription = subscription;
        n.callback = callback;
        n.number = number;
        n.flags = flags;
        n.current = current;
        if (value)
        {
            n.value = CopyCacheValue(value);
            if (n.value == nullptr)
                return E_OUTOFMEMORY;
        }
        std::lock_guard guard(m_bookkeeping);
        m_queue.push_back(std::move(n));
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

// ---------------------------------------------------------------------------------------
// Sections

HRESULT CIOCache::OpenSection(const char* name, IIOCacheSectionEventSink* sink, IIOCacheSection** section)
{
    if (section == nullptr || sink == nullptr)
        return E_POINTER;
    *section = nullptr;
    const std::string sectionName = name ? name : "";
    try
    {
        CIOCacheLock lock(this);
        if (m_sections.contains(sectionName))
            return E_FAIL;
        TIOPtr<CIOCacheSection> made =
            TIOPtr<CIOCacheSection>::Adopt(new CIOCacheSection(this, sectionName, sink));
        m_sections.emplace(sectionName, made.Get());
        // Taken in number order; a subscription that the section declines keeps waiting.
        for (auto it = m_waiting.begin(); it != m_waiting.end();)
        {
            if (SUCCEEDED(Attach(made.Get(), it->second.Get())))
            {
                m_attached.insert_or_assign(it->first, std::move(it->second));
                it = m_waiting.erase(it);
            }
            else
                ++it;
        }
        *section = made.Detach();
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOCache::Attach(CIOCacheSection* section, CIOCacheAdvise* subscription)
{
    CIOCacheLock lock(this);
    if (!section->m_attached)
        return E_FAIL;
    std::string key;
    const HRESULT hr = section->Sink()->MakeKey(subscription->GetAddress(), &key);
    if (FAILED(hr))
        return hr;
    auto [it, made] = section->m_tags.try_emplace(key);
    if (made)
        it->second =
            TIOPtr<CIOCacheTag>::Adopt(new CIOCacheTag(this, section, key, *subscription->GetAddress()));
    AddToTag(it->second.Get(), subscription);
    return hr;
}

void CIOCache::CloseSection(CIOCacheSection* section)
{
    std::map<std::string, TIOPtr<CIOCacheTag>> tags;
    {
        CIOCacheLock lock(this);
        tags.swap(section->m_tags);
        if (section->m_attached)
        {
            m_sections.erase(section->Name());
            section->m_attached = false;
        }
    }
    for (auto& [key, tag] : tags)
    {
        CIOCacheLock lock(this);
        tag->m_section = nullptr;
        std::vector<TIOPtr<CIOCacheAdvise>> subscriptions;
        subscriptions.swap(tag->m_subscriptions);
        if (!subscriptions.empty())
        {
            int keep = 0;
            section->Sink()->OnTagDeactivated(tag.Get(), &keep);
            if (keep == 0)
                tag->DropValue();
        }
        // Back to waiting: the next section that takes them attaches them again.
        for (const TIOPtr<CIOCacheAdvise>& subscription : subscriptions)
        {
            if (subscription->m_tag.Get() != tag.Get())
                continue;
            subscription->m_tag = nullptr;
            const auto it = m_attached.find(subscription->Number());
            if (it != m_attached.end() && it->second == subscription)
            {
                m_waiting.insert_or_assign(it->first, std::move(it->second));
                m_attached.erase(it);
            }
        }
        tag = nullptr;
    }
}

// ---------------------------------------------------------------------------------------
// Subscriptions

namespace
{
std::string Narrow(const char16_t* text)
{
    return text ? Utf16ToUtf8(text) : std::string();
}
} // namespace

HRESULT CIOCache::Subscribe(const TagRequest* request, IIOAdviseCallback* callback, uint32_t number)
{
    if (callback == nullptr || request == nullptr)
        return E_POINTER;
    try
    {
        CIOCacheLock lock(this);
        if (m_waiting.contains(number) || m_attached.contains(number))
            return E_FAIL;
        SCacheTagAddress address;
        address.device = Narrow(request->device);
        address.item = Narrow(request->item);
        address.tagObject = request->tagObject;
        address.n1 = request->n1;
        address.n2 = request->n2;
        address.n3 = request->n3;
        address.n4 = request->n4;
        address.size = request->size;
        address.scan = request->scan;
        TIOPtr<CIOCacheAdvise> subscription = TIOPtr<CIOCacheAdvise>::Adopt(
            new CIOCacheAdvise(Globals(), callback, number, std::move(address)));
        for (const auto& [name, section] : m_sections)
        {
            if (SUCCEEDED(Attach(section, subscription.Get())))
            {
                m_attached.emplace(number, std::move(subscription));
                return S_OK;
            }
        }
        m_waiting.emplace(number, std::move(subscription));
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOCache::Unsubscribe(uint32_t number)
{
    // Released after the lock is left: the last release of a host callback runs host code.
    TIOPtr<IIOAdviseCallback> callback;
    TIOPtr<CIOCacheAdvise> subscription;
    CIOCacheLock lock(this);
    for (auto* map : {&m_waiting, &m_attached})
    {
        const auto it = map->find(number);
        if (it != map->end())
        {
            subscription = std::move(it->second);
            map->erase(it);
            break;
        }
    }
    if (!subscription)
        return E_FAIL;
    Log(this, LOG_TAG, "Tag(%s).Callback[%u].Stop", subscription->AddressText().c_str(), number);
    callback = std::move(subscription->m_callback);
    if (TIOPtr<CIOCacheTag> tag = std::move(subscription->m_tag))
        RemoveFromTag(tag.Get(), subscription.Get());
    return S_OK;
}

TIOPtr<CIOCacheAdvise> CIOCache::FindSubscription(uint32_t number)
{
    CIOCacheLock lock(this);
    for (auto* map : {&m_waiting, &m_attached})
    {
        const auto it = map->find(number);
        if (it != map->end())
            return it->second;
    }
    return nullptr;
}

void CIOCache::AddToTag(CIOCacheTag* tag, CIOCacheAdvise* subscription)
{
    CIOCacheLock lock(this);
    if (tag->m_hasValue && subscription->Callback())
        Queue(subscription, subscription->Callback(), subscription->Number(), tag->m_value, tag->m_flags,
              true);
    tag->m_subscriptions.emplace_back(subscription);
    subscription->m_tag = tag;
    if (tag->m_subscriptions.size() == 1 && tag->m_section)
        tag->m_section->Sink()->OnTagActivated(tag);
}

void CIOCache::RemoveFromTag(CIOCacheTag* tag, CIOCacheAdvise* subscription)
{
    CIOCacheLock lock(this);
    auto& set = tag->m_subscriptions;
    const auto it =
        std::find_if(set.begin(), set.end(), [&](const auto& s) { return s.Get() == subscription; });
    if (it == set.end())
        return;
    set.erase(it);
    if (!set.empty() || tag->m_section == nullptr)
        return;
    int keep = 0;
    tag->m_section->Sink()->OnTagDeactivated(tag, &keep);
    if (keep == 0)
        tag->DropValue();
}

void CIOCache::Shutdown()
{
    // Destroyed after the lock is left, releasing the host callbacks they hold.
    std::map<uint32_t, TIOPtr<CIOCacheAdvise>> dropped;
    CIOCacheLock lock(this);
    for (auto& [name, section] : m_sections)
        section->m_attached = false;
    m_sections.clear();
    dropped.merge(m_waiting);
    dropped.merge(m_attached);
    for (auto& [number, subscription] : dropped)
        if (TIOPtr<CIOCacheTag> tag = std::move(subscription->m_tag))
            RemoveFromTag(tag.Get(), subscription.Get());
}

size_t CIOCache::WaitingCount()
{
    CIOCacheLock lock(this);
    return m_waiting.size();
}

size_t CIOCache::AttachedCount()
{
    CIOCacheLock lock(this);
    return m_attached.size();
}
