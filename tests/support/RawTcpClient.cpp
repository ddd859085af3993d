#include "support/RawTcpClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool RawTcpClient::Connect(uint16_t port)
{
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        Close();
        return false;
    }
    return true;
}

bool RawTcpClient::Send(const Bytes& bytes)
{
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size())
    {
        const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return m_fd >= 0;
}

bool RawTcpClient::Fill(std::chrono::steady_clock::time_point deadline)
{
    if (m_fd < 0 || m_closed)
        return false;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{m_fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        uint8_t chunk[4096];
        const ssize_t got = recv(m_fd, chunk, sizeof(chunk), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
        {
            m_closed = true;
            return false;
        }
        m_input.insert(m_input.end(), chunk, chunk + got);
        return true;
    }
}

std::optional<MqttWire::Packet> RawTcpClient::ReadPacket(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        MqttWire::Packet packet;
        switch (MqttWire::TakePacket(m_input, &packet))
        {
        case MqttWire::ParseStatus::Complete:
            return packet;
        case MqttWire::ParseStatus::Malformed:
            return std::nullopt;
        case MqttWire::ParseStatus::NeedMore:
            break;
        }
        if (!Fill(deadline))
            return std::nullopt;
    }
}

bool RawTcpClient::WaitForClose(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_closed)
        if (!Fill(deadline) && !m_closed)
            return false;
    return true;
}

void RawTcpClient::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_closed = false;
    m_input.clear();
}
