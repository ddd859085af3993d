#include "transport/Pinger.h"

#include "platform/Tick.h"

#include <cstdlib>

EIcmpKind CPinger::AvailableKind()
{
    return NetIcmpAvailableKind();
}

SocketHandle CPinger::OpenSocket(EIcmpKind kind)
{
    return NetIcmpOpen(kind);
}

HRESULT CPinger::EchoOnce(SocketHandle s, EIcmpKind kind, const uint8_t address[4], uint16_t sequence,
                          uint32_t timeoutMs)
{
    if (NetIcmpEcho(s, kind, address, sequence, timeoutMs) == EEchoResult::Reply)
        return S_OK;
    return HRESULT_FROM_SYSTEM(NetLastError());
}

HRESULT CPinger::Ping(const char* host, uint32_t timeoutMs, uint32_t tries)
{
    if (host == nullptr || *host == '\0' || timeoutMs == 0)
    {
        Log(&m_api, LOG_SOCKET, "PING: invalid arguments");
        return E_INVALIDARG;
    }
    const EIcmpKind kind = AvailableKind();
    if (kind == EIcmpKind::None)
    {
        Log(&m_api, LOG_SOCKET, "PING: error, ICMP not available!");
        return E_FAIL;
    }
    const SocketHandle s = OpenSocket(kind);
    if (s == INVALID_SOCKET_HANDLE)
    {
        Log(&m_api, LOG_SOCKET, "PING: Error on ICMPCreateFile (%u)", unsigned(NetLastError()));
        return E_FAIL;
    }

    SSocketAddress resolved;
    if (NetParseLiteral(host, false, 0, &resolved) != EParseResult::Parsed)
    {
        bool hasAddress = false;
        if (!NetResolve(host, false, 0, &resolved, &hasAddress))
        {
            // Resolver codes are negative; the line shows their magnitude.
            Log(&m_api, LOG_SOCKET, "PING: DNS error resolving address '%s' (error = %u)", host,
                unsigned(std::abs(NetLastError())));
            NetClose(s);
            return E_FAIL;
        }
        if (!hasAddress)
        {
            Log(&m_api, LOG_SOCKET, "PING: DNS error resolving address '%s' (unspecified error)", host);
            NetClose(s);
            return E_FAIL;
        }
    }
    uint8_t ip[4];
    NetIPv4Bytes(resolved, ip);

    HRESULT result = E_FAIL;
    uint32_t failures = 0;
    uint16_t sequence = 0;
    while (failures <= tries)
    {
        const uint64_t started = GetMicroseconds();
        result = EchoOnce(s, kind, ip, ++sequence, timeoutMs);
        const unsigned elapsedMs = unsigned((GetMicroseconds() - started) / 1000);
        if (SUCCEEDED(result))
        {
            Log(&m_api, LOG_SOCKET, "PING '%s' (IP %u.%u.%u.%u) SUCCEEDED (%u msec)", host, ip[0], ip[1],
                ip[2], ip[3], elapsedMs);
            break;
        }
        Log(&m_api, LOG_SOCKET, "PING '%s' (IP %u.%u.%u.%u) FAILED (%u msec, hr=%08X)", host, ip[0], ip[1],
            ip[2], ip[3], elapsedMs, uint32_t(result));
        ++failures;
    }
    NetClose(s);
    return result;
}
