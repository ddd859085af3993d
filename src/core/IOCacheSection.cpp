#include "core/IOCacheSection.h"

#include "core/IOCache.h"

#include <string_view>

CIOCacheSection::CIOCacheSection(CIOCache* cache, std::string name, IIOCacheSectionEventSink* sink)
    : m_name(std::move(name)), m_sink(sink), m_cache(cache)
{
}

CIOCacheSection::~CIOCacheSection()
{
    m_cache->CloseSection(this);
}

HRESULT CIOCacheSection::FindTag(const char* key, IIOCacheTag** tag)
{
    if (tag == nullptr)
        return E_POINTER;
    *tag = nullptr;
    if (key == nullptr)
        return E_POINTER;
    try
    {
        CIOCacheLock lock(m_cache.Get());
        if (!m_attached)
            return E_FAIL;
        const auto it = m_tags.find(key);
        if (it == m_tags.end())
            return E_FAIL;
        *tag = TIOPtr<IIOCacheTag>(it->second.Get()).Detach();
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOCacheSection::FindOrCreateTag(const char* key, const SCacheTagAddress* address, IIOCacheTag** tag)
{
    if (tag == nullptr)
        return E_POINTER;
    *tag = nullptr;
    if (key == nullptr || address == nullptr)
        return E_POINTER;
    try
    {
        CIOCacheLock lock(m_cache.Get());
        if (!m_attached)
            return E_FAIL;
        auto [it, made] = m_tags.try_emplace(key);
        if (made)
            it->second = TIOPtr<CIOCacheTag>::Adopt(new CIOCacheTag(m_cache.Get(), this, key, *address));
        *tag = TIOPtr<IIOCacheTag>(it->second.Get()).Detach();
        return made ? S_OK : S_FALSE;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

namespace
{
bool Selected(const CIOCacheTag& tag, std::string_view filter, uint32_t options)
{
    const std::string& key = tag.Key();
    if ((options & CACHE_ENUM_ACTIVE_ONLY) && !tag.IsActive())
        return false;
    if ((options & CACHE_ENUM_EXACT) && key != filter)
        return false;
    if ((options & CACHE_ENUM_PREFIX) && !filter.empty() && !std::string_view(key).starts_with(filter))
        return false;
    if ((options & CACHE_ENUM_CONTAINS) && !filter.empty() && key.find(filter) == std::string::npos)
        return false;
    return true;
}
} // namespace

HRESULT CIOCacheSection::EnumTags(const char* filter, uint32_t options, IIOCacheTagVisitor* visitor)
{
    if (visitor == nullptr)
        return E_POINTER;
    const std::string_view wanted = filter ? filter : "";
    CIOCacheLock lock(m_cache.Get());
    visitor->Begin(static_cast<uint32_t>(m_tags.size()));
    HRESULT result = S_FALSE;
    // The visitor may add tags; a snapshot keeps the walk valid.
    for (const auto& [key, tag] : std::map(m_tags))
    {
        if (!Selected(*tag, wanted, options))
            continue;
        result = visitor->Visit(tag.Get());
        if (FAILED(result))
            return result;
    }
    return result;
}
