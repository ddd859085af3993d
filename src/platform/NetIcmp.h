// ICMP echo over IPv4: an unprivileged datagram ICMP socket where the system allows one,
// otherwise a raw socket. Errors are left in NetLastError().
#pragma once
#include "platform/Net.h"

#include <cstdint>

enum class EIcmpKind
{
    None,
    Datagram,
    Raw,
};

// Which kind of ICMP socket this process can open; probed once, on first use.
EIcmpKind NetIcmpAvailableKind();
SocketHandle NetIcmpOpen(EIcmpKind kind);

enum class EEchoResult
{
    Reply,
    TimedOut,
    Failed,
};
// Sends one echo request without payload to `address` (network-order bytes) and waits up
// to timeoutMs for its reply.
EEchoResult NetIcmpEcho(SocketHandle s, EIcmpKind kind, const uint8_t address[4], uint16_t sequence,
                        uint32_t timeoutMs);
