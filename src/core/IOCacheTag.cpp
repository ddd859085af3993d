#include "core/IOCacheTag.h"

#include "core/IOCache.h"

#include <algorithm>

CIOCacheTag::CIOCacheTag(CIOCache* cache, CIOCacheSection* section, std::string key,
                         const SCacheTagAddress& address)
    : m_cache(cache), m_section(section), m_key(std::move(key)), m_address(address),
      m_addressText(CacheAddressText(m_address))
{
}

CIOCacheTag::~CIOCacheTag()
{
    if (m_value)
        hvRelease(m_value);
}

void CIOCacheTag::DropValue()
{
    if (m_value)
        hvRelease(m_value);
    m_value = nullptr;
    m_hasValue = false;
    m_flags = 0;
}

HRESULT CIOCacheTag::UpdateValues(HVALUE value, uint32_t flags)
{
    try
    {
        CIOCacheLock lock(m_cache.Get());
        if (value == nullptr || hvGetType(value) != HV_LIST)
            return UpdateOne(value, flags);
        HRESULT result = S_FALSE;
        uintptr_t position = 0;
        for (HVALUE entry = hvListFirst(value, &position); entry != nullptr;
             entry = hvListNext(value, &position))
            result = UpdateOne(entry, flags);
        return result;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOCacheTag::UpdateOne(HVALUE entry, uint32_t flags)
{
    CIOCacheLock lock(m_cache.Get());
    m_flags = flags;
    m_hasValue = true;
    HVALUE copy = CopyCacheValue(entry);
    if (m_value)
        hvRelease(m_value);
    m_value = copy;

    HRESULT result = S_FALSE;
    bool queued = false;
    for (const TIOPtr<CIOCacheAdvise>& subscription : m_subscriptions)
    {
        const HRESULT hr = subscription->Callback()
                               ? m_cache->Queue(subscription.Get(), subscription->Callback(),
                                                subscription->Number(), entry, flags, false)
                               : E_FAIL;
        if (SUCCEEDED(hr))
            queued = true;
        else if (result == S_FALSE)
            result = hr;
    }
    if (queued)
        result = S_OK;
    if (result != S_OK)
        Log(m_cache.Get(), LOG_TAG, "Tag(%s).CachedValue = %s", m_addressText.c_str(),
            CacheValueText(entry).c_str());
    return result;
}
