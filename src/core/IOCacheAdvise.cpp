#include "core/IOCacheAdvise.h"

#include "core/IOCache.h"

#include <atomic>

CIOCacheAdvise::CIOCacheAdvise(CIOGlobals* globals, IIOAdviseCallback* callback, uint32_t number,
                               SCacheTagAddress address)
    : TIOApi(globals), m_number(number), m_callback(callback), m_address(std::move(address)),
      m_addressText(CacheAddressText(m_address))
{
}

uint32_t CIOCacheAdvise::ScanPeriod() const
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(m_address.scan)).load();
}

void CIOCacheAdvise::SetScanPeriod(uint32_t periodMs)
{
    Log(this, LOG_TAG, "Tag(%s).Callback[%u].SetScan %ums", m_addressText.c_str(), m_number, periodMs);
    std::atomic_ref<uint32_t>(m_address.scan).exchange(periodMs);
}
