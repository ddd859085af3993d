// A named section of the tag cache, owned by one driver host. Its last release closes it.
#pragma once
#include "core/IOCacheInterfaces.h"

#include <map>
#include <string>

class CIOCache;
class CIOCacheTag;

class CIOCacheSection : public TIOUnknown<IIOCacheSection>
{
public:
    CIOCacheSection(CIOCache* cache, std::string name, IIOCacheSectionEventSink* sink);

    HRESULT FindTag(const char* key, IIOCacheTag** tag) override;
    HRESULT FindOrCreateTag(const char* key, const SCacheTagAddress* address, IIOCacheTag** tag) override;
    HRESULT EnumTags(const char* filter, uint32_t options, IIOCacheTagVisitor* visitor) override;

    const std::string& Name() const { return m_name; }
    IIOCacheSectionEventSink* Sink() const { return m_sink.Get(); }

protected:
    ~CIOCacheSection() override;

private:
    friend class CIOCache;

    const std::string m_name;
    TIOPtr<IIOCacheSectionEventSink> m_sink;
    const TIOPtr<CIOCache> m_cache;
    // Guarded by the cache lock. A detached section is no longer in the cache's map and
    // refuses new tags.
    bool m_attached = true;
    std::map<std::string, TIOPtr<CIOCacheTag>> m_tags;
};
