// A cache tag: the last value of one key of a section and the subscriptions it feeds.
#pragma once
#include "core/IOCacheInterfaces.h"
#include "core/IOLog.h"

#include <string>
#include <vector>

class CIOCache;
class CIOCacheAdvise;
class CIOCacheSection;

class CIOCacheTag : public TIOUnknown<IIOCacheTag>
{
public:
    CIOCacheTag(CIOCache* cache, CIOCacheSection* section, std::string key, const SCacheTagAddress& address);

    HRESULT UpdateValues(HVALUE value, uint32_t flags) override;
    const SCacheTagAddress* GetAddress() override { return &m_address; }

    const std::string& Key() const { return m_key; }
    // Under the cache lock: whether any subscription is attached.
    bool IsActive() const { return !m_subscriptions.empty(); }

protected:
    ~CIOCacheTag() override;

private:
    friend class CIOCache;
    friend class CIOCacheSection;

    HRESULT UpdateOne(HVALUE entry, uint32_t flags);
    void DropValue();

    TIOPtr<CIOCache> m_cache;
    // Everything below is guarded by the cache lock.
    CIOCacheSection* m_section; // not counted: the section owns this tag; null once detached
    const std::string m_key;
    const SCacheTagAddress m_address;
    const std::string m_addressText;
    HVALUE m_value = nullptr; // one reference, or none
    uint32_t m_flags = 0;
    bool m_hasValue = false;
    // In the order they were added.
    std::vector<TIOPtr<CIOCacheAdvise>> m_subscriptions;
};
