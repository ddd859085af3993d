// One host subscription: the callback, its number and the address it was made for. It
// waits in the cache until a section takes it, then belongs to one cache tag.
#pragma once
#include "core/IOCacheInterfaces.h"
#include "core/IOLog.h"
#include "dravo/IOInterfaces.h"

#include <atomic>
#include <string>

class CIOCacheTag;

class CIOCacheAdvise : public TIOUnknown<IIOCacheAdvise>, public TIOApi
{
public:
    CIOCacheAdvise(CIOGlobals* globals, IIOAdviseCallback* callback, uint32_t number,
                   SCacheTagAddress address);

    const SCacheTagAddress* GetAddress() override { return &m_address; }

    uint32_t Number() const { return m_number; }
    IIOAdviseCallback* Callback() const { return m_callback.Get(); }
    // The address as log lines show it.
    const std::string& AddressText() const { return m_addressText; }

    uint32_t ScanPeriod() const;
    // Logs the change and stores the period atomically.
    void SetScanPeriod(uint32_t periodMs);

private:
    friend class CIOCache;
    friend class CIOCacheTag;

    const uint32_t m_number;
    TIOPtr<IIOAdviseCallback> m_callback; // dropped by Unsubscribe
    SCacheTagAddress m_address;
    const std::string m_addressText;
    // The cache tag holding this subscription while attached; guarded by the cache lock.
    TIOPtr<CIOCacheTag> m_tag;
};
