#include "platform/NetIcmp.h"

#include "platform/Tick.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;

uint16_t Checksum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += uint32_t(data[i] << 8 | data[i + 1]);
    if (size & 1)
        sum += uint32_t(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

int OpenKind(EIcmpKind kind)
{
    return socket(AF_INET, (kind == EIcmpKind::Datagram ? SOCK_DGRAM : SOCK_RAW) | SOCK_CLOEXEC,
                  IPPROTO_ICMP);
}

// The identifier raw replies are matched on; datagram sockets get theirs from the kernel.
uint16_t RawIdentifier()
{
    return uint16_t(getpid());
}
} // namespace

EIcmpKind NetIcmpAvailableKind()
{
    static std::once_flag probed;
    static EIcmpKind kind = EIcmpKind::None;
    std::call_once(probed,
                   []
                   {
                       for (EIcmpKind k : {EIcmpKind::Datagram, EIcmpKind::Raw})
                       {
                           const int s = OpenKind(k);
                           if (s >= 0)
                           {
                               close(s);
                               kind = k;
                               return;
                           }
                       }
                   });
    return kind;
}

SocketHandle NetIcmpOpen(EIcmpKind kind)
{
    if (kind == EIcmpKind::None)
    {
        errno = EPROTONOSUPPORT;
    }
    else
    {
        const int s = OpenKind(kind);
        if (s >= 0)
            return s;
    }
    return NetFailWith(errno);
}

EEchoResult NetIcmpEcho(SocketHandle s, EIcmpKind kind, const uint8_t address[4], uint16_t sequence,
                        uint32_t timeoutMs)
{
    const uint16_t id = RawIdentifier();
    uint8_t request[8] = {kEchoRequest,     0, 0, 0, uint8_t(id >> 8), uint8_t(id), uint8_t(sequence >> 8),
                          uint8_t(sequence)};
    const uint16_t sum = Checksum(request, sizeof(request));
    request[2] = uint8_t(sum >> 8);
    request[3] = uint8_t(sum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, address, 4);
    if (sendto(s, request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0)
    {
        NetFailWith(errno);
        return EEchoResult::Failed;
    }
    const uint32_t started = GetTickCount32();
    for (;;)
    {
        const uint32_t elapsed = TickElapsed(started, GetTickCount32());
        if (elapsed >= timeoutMs)
            break;
        pollfd p{s, POLLIN, 0};
        const int r = poll(&p, 1, int(timeoutMs - elapsed));
        if (r < 0 && errno != EINTR)
        {
            NetFailWith(errno);
            return EEchoResult::Failed;
        }
        if (r <= 0)
            continue;
        uint8_t reply[1500];
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        const ssize_t n =
            recvfrom(s, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0)
        {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            NetFailWith(errno);
            return EEchoResult::Failed;
        }
        size_t offset = 0;
        if (kind == EIcmpKind::Raw)
        {
            // Raw sockets deliver the IP header too, and every ICMP message of the host.
            if (n < 1)
                continue;
            offset = size_t(reply[0] & 0x0F) * 4;
        }
        if (size_t(n) < offset + 8 || std::memcmp(&from.sin_addr, address, 4) != 0)
            continue;
        const uint8_t* icmp = reply + offset;
        const uint16_t gotSequence = uint16_t(icmp[6] << 8 | icmp[7]);
        const uint16_t gotId = uint16_t(icmp[4] << 8 | icmp[5]);
        if (icmp[0] != kEchoReply || gotSequence != sequence || (kind == EIcmpKind::Raw && gotId != id))
            continue;
        return EEchoResult::Reply;
    }
    NetFailWith(ETIMEDOUT);
    return EEchoResult::TimedOut;
}
