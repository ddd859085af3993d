// A registry of shared services keyed by service identifier. The framework globals hold one
// (the loading process's own, or a private one), and the thread pool is shared through it.
#pragma once
#include "dravo/IOInterfaces.h"

#include <map>
#include <mutex>

class CIOServiceProvider final : public TIOUnknown<IIOServiceProvider>
{
public:
    // A new provider with one reference, or null when memory runs out.
    static CIOServiceProvider* Create();

    HRESULT QueryService(const IOGUID& service, const IOGUID& iid, void** out) override;
    HRESULT RegisterService(const IOGUID& service, IIOUnknown* object) override;
    HRESULT RevokeService(const IOGUID& service) override;

private:
    CIOServiceProvider() = default;
    ~CIOServiceProvider() override;

    // Identifiers ordered as four unsigned 32-bit words compared one after the other.
    struct SGuidLess
    {
        bool operator()(const IOGUID& a, const IOGUID& b) const;
    };

    std::mutex m_lock; // guards m_services; never held while a service is called or released
    std::map<IOGUID, TIOPtr<IIOUnknown>, SGuidLess> m_services;
};
