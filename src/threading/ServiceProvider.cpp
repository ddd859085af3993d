#include "threading/ServiceProvider.h"

#include <cstring>
#include <new>

CIOServiceProvider* CIOServiceProvider::Create()
{
    return new (std::nothrow) CIOServiceProvider();
}

CIOServiceProvider::~CIOServiceProvider()
{
    std::map<IOGUID, TIOPtr<IIOUnknown>, SGuidLess> services;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        services.swap(m_services);
    }
}

bool CIOServiceProvider::SGuidLess::operator()(const IOGUID& a, const IOGUID& b) const
{
    uint32_t wa[4], wb[4];
    std::memcpy(wa, &a, sizeof(wa));
    std::memcpy(wb, &b, sizeof(wb));
    for (int i = 0; i < 4; ++i)
        if (wa[i] != wb[i])
            return wa[i] < wb[i];
    return false;
}

HRESULT CIOServiceProvider::QueryService(const IOGUID& service, const IOGUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    TIOPtr<IIOUnknown> object;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_services.find(service);
        if (it == m_services.end())
            return E_FAIL;
        object = it->second;
    }
    return object->QueryInterface(iid, out);
}

HRESULT CIOServiceProvider::RegisterService(const IOGUID& service, IIOUnknown* object)
{
    if (object == nullptr)
        return E_POINTER;
    TIOPtr<IIOUnknown> replaced;
    try
    {
        std::lock_guard<std::mutex> guard(m_lock);
        TIOPtr<IIOUnknown>& slot = m_services[service];
        replaced = std::move(slot);
        slot = TIOPtr<IIOUnknown>(object);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CIOServiceProvider::RevokeService(const IOGUID& service)
{
    TIOPtr<IIOUnknown> removed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_services.find(service);
        if (it == m_services.end())
            return S_FALSE;
        removed = std::move(it->second);
        m_services.erase(it);
    }
    return S_OK;
}
