#include "platform/Net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static_assert(sizeof(SSocketAddress::bytes) >= sizeof(sockaddr_in6));
static_assert(sizeof(SSocketAddress::bytes) >= sizeof(sockaddr_in));

namespace
{
thread_local int t_lastError = 0;

int Fail(int code)
{
    t_lastError = code;
    return -1;
}

const sockaddr* Raw(const SSocketAddress& a)
{
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

bool Store(SSocketAddress* out, const sockaddr* address, socklen_t length)
{
    if (length > sizeof(out->bytes))
        return false;
    *out = SSocketAddress{};
    std::memcpy(out->bytes, address, length);
    out->length = length;
    return true;
}

bool SetIntOption(SocketHandle s, int level, int name)
{
    const int one = 1;
    if (setsockopt(s, level, name, &one, sizeof(one)) == 0)
        return true;
    Fail(errno);
    return false;
}

struct SErrorName
{
    int code;
    const char* name;
};

// errno values first, then the resolver codes (negative on glibc).
constexpr SErrorName kErrorNames[] = {
    {ENOMEM, "WSA_NOT_ENOUGH_MEMORY"},
    {EBADF, "WSA_INVALID_HANDLE"},
    {ECANCELED, "WSA_OPERATION_ABORTED"},
    {EINTR, "WSAEINTR"},
    {EACCES, "WSAEACCES"},
    {EPERM, "WSAEACCES"},
    {EFAULT, "WSAEFAULT"},
    {EINVAL, "WSAEINVAL"},
    {EMFILE, "WSAEMFILE"},
    {ENFILE, "WSAEMFILE"},
    {EWOULDBLOCK, "WSAEWOULDBLOCK"},
    {EAGAIN, "WSAEWOULDBLOCK"},
    {EINPROGRESS, "WSAEINPROGRESS"},
    {EALREADY, "WSAEALREADY"},
    {ENOTSOCK, "WSAENOTSOCK"},
    {EDESTADDRREQ, "WSAEDESTADDRREQ"},
    {EMSGSIZE, "WSAEMSGSIZE"},
    {EPROTOTYPE, "WSAEPROTOTYPE"},
    {ENOPROTOOPT, "WSAENOPROTOOPT"},
    {EPROTONOSUPPORT, "WSAEPROTONOSUPPORT"},
    {ESOCKTNOSUPPORT, "WSAESOCKTNOSUPPORT"},
    {EOPNOTSUPP, "WSAEOPNOTSUPP"},
    {EPFNOSUPPORT, "WSAEPFNOSUPPORT"},
    {EAFNOSUPPORT, "WSAEAFNOSUPPORT"},
    {EADDRINUSE, "WSAEADDRINUSE"},
    {EADDRNOTAVAIL, "WSAEADDRNOTAVAIL"},
    {ENETDOWN, "WSAENETDOWN"},
    {ENETUNREACH, "WSAENETUNREACH"},
    {ENETRESET, "WSAENETRESET"},
    {ECONNABORTED, "WSAECONNABORTED"},
    {ECONNRESET, "WSAECONNRESET"},
    {EPIPE, "WSAECONNRESET"},
    {ENOBUFS, "WSAENOBUFS"},
    {EISCONN, "WSAEISCONN"},
    {ENOTCONN, "WSAENOTCONN"},
    {ESHUTDOWN, "WSAESHUTDOWN"},
    {ETIMEDOUT, "WSAETIMEDOUT"},
    {ECONNREFUSED, "WSAECONNREFUSED"},
    {EHOSTDOWN, "WSAEHOSTDOWN"},
    {EHOSTUNREACH, "WSAEHOSTUNREACH"},
    {EUSERS, "WSAEPROCLIM"},
    {EAI_NONAME, "WSAHOST_NOT_FOUND"},
    {EAI_AGAIN, "WSATRY_AGAIN"},
    {EAI_FAIL, "WSANO_RECOVERY"},
    {EAI_NODATA, "WSANO_DATA"},
    {EAI_ADDRFAMILY, "WSANO_DATA"},
    {EAI_FAMILY, "WSAEAFNOSUPPORT"},
    {EAI_SOCKTYPE, "WSAESOCKTNOSUPPORT"},
    {EAI_SERVICE, "WSATYPE_NOT_FOUND"},
    {EAI_MEMORY, "WSA_NOT_ENOUGH_MEMORY"},
    {EAI_BADFLAGS, "WSAEINVAL"},
};
} // namespace

int NetFailWith(int code)
{
    return Fail(code);
}

int NetLastError()
{
    return t_lastError;
}

ENetError NetClassifyError(int code)
{
    if (code == 0)
        return ENetError::None;
    if (code == EWOULDBLOCK || code == EAGAIN)
        return ENetError::WouldBlock;
    if (code == EMSGSIZE)
        return ENetError::MessageTooLong;
    if (code == ECONNRESET || code == ECONNREFUSED)
        return ENetError::ConnectionReset;
    return ENetError::Other;
}

const char* NetErrorName(int code)
{
    for (const SErrorName& e : kErrorNames)
        if (e.code == code)
            return e.name;
    return "(unknown)";
}

SocketHandle NetSocket(bool ipv6, bool stream)
{
    const SocketHandle s =
        socket(ipv6 ? AF_INET6 : AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (s < 0)
        return Fail(errno);
    return s;
}

void NetClose(SocketHandle s)
{
    if (s >= 0)
        close(s);
}

bool NetSetNonBlocking(SocketHandle s)
{
    const int flags = fcntl(s, F_GETFL, 0);
    if (flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0)
        return true;
    Fail(errno);
    return false;
}

bool NetSetReuseAddress(SocketHandle s)
{
    return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR);
}

bool NetSetBroadcast(SocketHandle s)
{
    return SetIntOption(s, SOL_SOCKET, SO_BROADCAST);
}

bool NetSetNoDelay(SocketHandle s)
{
    return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY);
}

bool NetBind(SocketHandle s, const SSocketAddress& address)
{
    if (bind(s, Raw(address), address.length) == 0)
        return true;
    Fail(errno);
    return false;
}

bool NetListen(SocketHandle s, int backlog)
{
    if (listen(s, backlog) == 0)
        return true;
    Fail(errno);
    return false;
}

SocketHandle NetAccept(SocketHandle s, SSocketAddress* from)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    const SocketHandle accepted = accept4(s, reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC);
    if (accepted < 0)
        return Fail(errno);
    if (from && !Store(from, reinterpret_cast<sockaddr*>(&storage), length))
        *from = SSocketAddress{};
    return accepted;
}

EConnectStart NetConnectStart(SocketHandle s, const SSocketAddress& address)
{
    if (connect(s, Raw(address), address.length) == 0)
        return EConnectStart::Connected;
    if (errno == EINPROGRESS || errno == EINTR)
        return EConnectStart::InProgress;
    Fail(errno);
    return EConnectStart::Failed;
}

bool NetConnectFinished(SocketHandle s)
{
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == 0)
        return true;
    Fail(error);
    return false;
}

long NetSend(SocketHandle s, const void* data, uint32_t size)
{
    const ssize_t n = send(s, data, size, MSG_NOSIGNAL);
    return n < 0 ? Fail(errno) : long(n);
}

long NetSendTo(SocketHandle s, const void* data, uint32_t size, const SSocketAddress& to)
{
    const ssize_t n = sendto(s, data, size, MSG_NOSIGNAL, Raw(to), to.length);
    return n < 0 ? Fail(errno) : long(n);
}

long NetRecvFrom(SocketHandle s, void* data, uint32_t size, SSocketAddress* from, bool* truncated)
{
    sockaddr_storage storage{};
    iovec io{data, size};
    msghdr msg{};
    msg.msg_name = &storage;
    msg.msg_namelen = sizeof(storage);
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    const ssize_t n = recvmsg(s, &msg, 0);
    if (n < 0)
        return Fail(errno);
    if (truncated)
        *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    if (from &&
        (msg.msg_namelen == 0 || !Store(from, reinterpret_cast<sockaddr*>(&storage), msg.msg_namelen)))
        *from = SSocketAddress{};
    return long(n);
}

long NetRecv(SocketHandle s, void* data, uint32_t size, bool* truncated)
{
    return NetRecvFrom(s, data, size, nullptr, truncated);
}

bool NetLocalAddress(SocketHandle s, SSocketAddress* address)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
        Store(address, reinterpret_cast<sockaddr*>(&storage), length))
        return true;
    Fail(errno);
    return false;
}

bool NetPeerAddress(SocketHandle s, SSocketAddress* address)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    if (getpeername(s, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
        Store(address, reinterpret_cast<sockaddr*>(&storage), length))
        return true;
    Fail(errno);
    return false;
}

int NetPollReadable(SocketHandle s)
{
    pollfd p{s, POLLIN, 0};
    const int r = poll(&p, 1, 0);
    if (r < 0)
        return Fail(errno);
    return (r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) ? 1 : 0;
}

EParseResult NetParseLiteral(const char* text, bool ipv6, uint16_t port, SSocketAddress* out)
{
    *out = SSocketAddress{};
    const bool wildcard = text == nullptr || *text == '\0';
    if (ipv6)
    {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_any;
        if (!wildcard)
        {
            // A scope suffix ("fe80::1%eth0") is accepted as the platform's text form does.
            std::string address(text);
            const size_t percent = address.find('%');
            if (percent != std::string::npos)
            {
                const std::string scope = address.substr(percent + 1);
                address.resize(percent);
                char* end = nullptr;
                const unsigned long number = std::strtoul(scope.c_str(), &end, 10);
                a.sin6_scope_id =
                    (!scope.empty() && *end == '\0') ? uint32_t(number) : if_nametoindex(scope.c_str());
                if (a.sin6_scope_id == 0)
                {
                    Fail(EINVAL);
                    return EParseResult::Invalid;
                }
            }
            if (inet_pton(AF_INET6, address.c_str(), &a.sin6_addr) != 1)
                return EParseResult::NotLiteral;
        }
        Store(out, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        return EParseResult::Parsed;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!wildcard && inet_pton(AF_INET, text, &a.sin_addr) != 1)
        return EParseResult::NotLiteral;
    Store(out, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    return EParseResult::Parsed;
}

bool NetResolve(const char* host, bool ipv6, uint16_t port, SSocketAddress* out, bool* hasAddress)
{
    *hasAddress = false;
    addrinfo hints{};
    hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
    addrinfo* results = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &results);
    if (rc != 0)
    {
        Fail(rc == EAI_SYSTEM ? errno : rc);
        return false;
    }
    if (results && results->ai_addr && Store(out, results->ai_addr, results->ai_addrlen))
    {
        *hasAddress = true;
        if (ipv6)
            reinterpret_cast<sockaddr_in6*>(out->bytes)->sin6_port = htons(port);
        else
            reinterpret_cast<sockaddr_in*>(out->bytes)->sin_port = htons(port);
    }
    freeaddrinfo(results);
    return true;
}

uint16_t NetFamily(const SSocketAddress& address)
{
    return address.length >= sizeof(sa_family_t) ? Raw(address)->sa_family : AF_UNSPEC;
}

uint16_t NetFamilyIPv6()
{
    return AF_INET6;
}

bool NetIsIPv6(const SSocketAddress& address)
{
    return NetFamily(address) == AF_INET6 && address.length >= sizeof(sockaddr_in6);
}

bool NetIsIPv4(const SSocketAddress& address)
{
    return NetFamily(address) == AF_INET && address.length >= sizeof(sockaddr_in);
}

uint16_t NetPort(const SSocketAddress& address)
{
    // Both families keep the port at the same offset.
    if (address.length < sizeof(sockaddr_in))
        return 0;
    return ntohs(reinterpret_cast<const sockaddr_in*>(address.bytes)->sin_port);
}

void NetIPv4Bytes(const SSocketAddress& address, uint8_t bytes[4])
{
    std::memset(bytes, 0, 4);
    if (address.length >= sizeof(sockaddr_in))
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(address.bytes)->sin_addr, 4);
}

void NetDecodeAddress(const SSocketAddress& address, AddressRecord* record)
{
    record->isIPv6 = NetIsIPv6(address) ? 1 : 0;
    std::memset(record->ipv4, 0, sizeof(record->ipv4));
    std::memset(record->ipv6, 0, sizeof(record->ipv6));
    record->port = NetPort(address);
    if (record->isIPv6)
    {
        const uint8_t* b = reinterpret_cast<const sockaddr_in6*>(address.bytes)->sin6_addr.s6_addr;
        for (int i = 0; i < 8; ++i)
            record->ipv6[i] = uint16_t((b[2 * i] << 8) | b[2 * i + 1]);
    }
    else if (NetIsIPv4(address))
    {
        NetIPv4Bytes(address, record->ipv4);
    }
}

bool NetIPv6Text(const SSocketAddress& address, std::string* text)
{
    if (!NetIsIPv6(address))
        return false;
    const auto* a = reinterpret_cast<const sockaddr_in6*>(address.bytes);
    char buffer[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &a->sin6_addr, buffer, sizeof(buffer)) == nullptr)
        return false;
    *text = "[";
    *text += buffer;
    if (a->sin6_scope_id != 0)
        *text += "%" + std::to_string(a->sin6_scope_id);
    *text += "]:" + std::to_string(ntohs(a->sin6_port));
    return true;
}

bool NetLocalInterfaceAddresses(bool ipv6, std::vector<SSocketAddress>* out)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
    {
        Fail(errno);
        return false;
    }
    const int family = ipv6 ? AF_INET6 : AF_INET;
    for (ifaddrs* i = list; i; i = i->ifa_next)
    {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != family || !(i->ifa_flags & IFF_UP))
            continue;
        SSocketAddress a;
        if (Store(&a, i->ifa_addr, ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)))
            out->push_back(a);
    }
    freeifaddrs(list);
    return true;
}
