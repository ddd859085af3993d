#include "support/LineDriverServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, RemainingMs(deadline)) == 1;
}
} // namespace

CLineServer::~CLineServer() { Close(); }

bool CLineServer::Open(uint16_t port)
{
    return Listen(port, 8);
}

bool CLineServer::OpenStalled()
{
    if (!Listen(0, 0))
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    for (int i = 0; i < 3; ++i)
    {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (filler < 0)
            return false;
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        m_fillers.push_back(filler);
    }
    return true;
}

bool CLineServer::Listen(uint16_t port, int backlog)
{
    Close();
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return false;
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listener, backlog) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        CloseFd(m_listener);
        return false;
    }
    m_port = ntohs(address.sin_port);
    return true;
}

void CLineServer::Close()
{
    DropClient();
    CloseFd(m_listener);
    for (int& filler : m_fillers)
        CloseFd(filler);
    m_fillers.clear();
}

bool CLineServer::Accept(std::chrono::milliseconds timeout)
{
    if (m_listener < 0 || !WaitReadable(m_listener, std::chrono::steady_clock::now() + timeout))
        return false;
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return false;
    DropClient();
    m_client = client;
    return true;
}

void CLineServer::DropClient()
{
    CloseFd(m_client);
    m_input.clear();
}

bool CLineServer::SendLine(const std::string& line)
{
    const std::string bytes = line + "\n";
    size_t sent = 0;
    while (m_client >= 0 && sent < bytes.size())
    {
        const ssize_t n = ::send(m_client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return m_client >= 0;
}

std::optional<std::string> CLineServer::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_client >= 0)
    {
        if (const size_t end = m_input.find('\n'); end != std::string::npos)
        {
            std::string line = m_input.substr(0, end);
            m_input.erase(0, end + 1);
            return line;
        }
        if (!WaitReadable(m_client, deadline))
            return std::nullopt;
        char chunk[512];
        const ssize_t n = ::recv(m_client, chunk, sizeof(chunk), 0);
        if (n <= 0)
            return std::nullopt;
        m_input.append(chunk, static_cast<size_t>(n));
    }
    return std::nullopt;
}
