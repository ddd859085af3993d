#include "core/IOGlobals.h"

#include <new>

#include "core/IOLogger.h"
#include "threading/ServiceProvider.h"
#include "threading/ThreadPool.h"

CIOGlobals* CIOGlobals::Create(IIOUnknown* services, const char* driverName)
{
    try
    {
        TIOPtr<CIOGlobals> globals = TIOPtr<CIOGlobals>::Adopt(new CIOGlobals());
        globals->m_services = services;
        globals->m_logger = new CIOLogger(driverName ? driverName : "");
        if (services)
        {
            IIOUnknown* provider = nullptr;
            if (SUCCEEDED(services->QueryInterface(ServiceProviderIID, reinterpret_cast<void**>(&provider))) &&
                provider)
                globals->m_provider.Attach(provider);
        }
        // Without a provider from the loading process the instance keeps a private one.
        if (!globals->m_provider)
            globals->m_provider.Attach(CIOServiceProvider::Create());
        return globals.Detach();
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

CIOGlobals::~CIOGlobals()
{
    if (m_threadPool && m_poolDetach)
        m_poolDetach(m_threadPool.Get());
    m_threadPool = nullptr;
    m_provider = nullptr;
    m_services = nullptr;
    if (m_logger)
        m_logger->Release();
}

IIOLogger* CIOGlobals::Logger() const
{
    return m_logger;
}

IIOUnknown* CIOGlobals::ServiceProvider() const
{
    CLockGuard guard(m_lock);
    return m_provider.Get();
}

void CIOGlobals::SetServiceProvider(IIOUnknown* provider)
{
    CLockGuard guard(m_lock);
    m_provider = provider;
}

IIOUnknown* CIOGlobals::ThreadPool() const
{
    CLockGuard guard(m_lock);
    return m_threadPool.Get();
}

IIOUnknown* CIOGlobals::SetThreadPool(IIOUnknown* pool, PoolDetach detach)
{
    CLockGuard guard(m_lock);
    if (!m_threadPool && pool)
    {
        m_threadPool = pool;
        m_poolDetach = detach;
    }
    return m_threadPool.Get();
}

HRESULT CIOGlobals::GetThreadPool(IIOThreadPool** pool)
{
    return ::GetThreadPool(this, pool);
}
