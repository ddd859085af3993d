// Checks that a host answers ICMP echo requests before a connection attempt, so that an
// address that does not answer can be skipped quickly. Made for each attempt.
#pragma once
#include "core/IOLog.h"
#include "platform/NetIcmp.h"

#include <cstdint>

class CPinger
{
public:
    explicit CPinger(CIOGlobals* globals) : m_api(globals) {}
    virtual ~CPinger() = default;

    // S_OK when one echo request was answered; E_INVALIDARG for an empty host or a timeout
    // of 0; E_FAIL when ICMP is unavailable or the host cannot be resolved; otherwise the
    // failure of the last attempt. Attempts continue while the failures do not exceed
    // `tries`, so there are at most tries + 1.
    HRESULT Ping(const char* host, uint32_t timeoutMs, uint32_t tries);

protected:
    // One echo request and the wait for its reply; S_OK or the failure as an HRESULT.
    virtual HRESULT EchoOnce(SocketHandle s, EIcmpKind kind, const uint8_t address[4], uint16_t sequence,
                             uint32_t timeoutMs);
    // The socket kind this process can use.
    virtual EIcmpKind AvailableKind();
    virtual SocketHandle OpenSocket(EIcmpKind kind);

private:
    TIOApi m_api;
};
