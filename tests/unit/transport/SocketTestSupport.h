// Loopback peers made with plain system calls, and a driver log read back from a file, for
// the socket tests.
#pragma once
#include "core/IOGlobals.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class CSocketLog
{
public:
    CSocketLog() : m_globals(TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Socket Test")))
    {
        m_globals->Logger()->SetFile(m_dir.File("socket.log").c_str());
    }
    ~CSocketLog() { m_globals->Logger()->Close(); }
    CIOGlobals* Globals() const { return m_globals.Get(); }
    std::string Text() const { return ReadFileText(m_dir.File("socket.log")); }
    bool Contains(const std::string& fragment) const { return Text().find(fragment) != std::string::npos; }
    bool WaitFor(const std::string& fragment) const
    {
        return WaitUntil([&] { return Contains(fragment); });
    }

private:
    TempDir m_dir{"dravo-socket"};
    TIOPtr<CIOGlobals> m_globals;
};

// An owned descriptor.
class CFd
{
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    CFd& operator=(CFd&& o) noexcept
    {
        if (this != &o)
        {
            Reset();
            m_fd = o.m_fd;
            o.m_fd = -1;
        }
        return *this;
    }
    int Get() const { return m_fd; }
    void Reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

inline bool HasIPv6Loopback()
{
    CFd s(::socket(AF_INET6, SOCK_STREAM, 0));
    if (s.Get() < 0)
        return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    return ::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
}

// A loopback socket of the family bound to an ephemeral port.
inline CFd BoundSocket(bool ipv6, int type, uint16_t* port)
{
    CFd s(::socket(ipv6 ? AF_INET6 : AF_INET, type, 0));
    sockaddr_storage st{};
    socklen_t len;
    if (ipv6)
    {
        auto* a = reinterpret_cast<sockaddr_in6*>(&st);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof(sockaddr_in6);
    }
    else
    {
        auto* a = reinterpret_cast<sockaddr_in*>(&st);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(sockaddr_in);
    }
    EXPECT_EQ(::bind(s.Get(), reinterpret_cast<sockaddr*>(&st), len), 0);
    EXPECT_EQ(::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&st), &len), 0);
    *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&st)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&st)->sin_port);
    return s;
}

inline sockaddr_storage LoopbackAddress(bool ipv6, uint16_t port, socklen_t* len)
{
    sockaddr_storage st{};
    if (ipv6)
    {
        auto* a = reinterpret_cast<sockaddr_in6*>(&st);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        *len = sizeof(sockaddr_in6);
    }
    else
    {
        auto* a = reinterpret_cast<sockaddr_in*>(&st);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(port);
        *len = sizeof(sockaddr_in);
    }
    return st;
}

// Waits until the descriptor has something to read (or the test wait ends).
inline bool WaitReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, int(kTestWait.count())) == 1;
}

inline CFd AcceptOne(int listener)
{
    if (!WaitReadable(listener))
        return CFd();
    return CFd(::accept(listener, nullptr, nullptr));
}

inline bool SendAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0)
    {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

inline std::string RecvExactly(int fd, size_t size)
{
    std::string out;
    char buf[4096];
    while (out.size() < size && WaitReadable(fd))
    {
        const ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), size - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buf, size_t(n));
    }
    return out;
}
