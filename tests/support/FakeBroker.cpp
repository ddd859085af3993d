#include "support/FakeBroker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

using MqttWire::Packet;

struct FakeBroker::Connection
{
    explicit Connection(int socket, FakeBrokerScript s) : fd(socket), script(std::move(s)) {}

    std::mutex mutex; // guards fd: sends from any thread, the close, the broker's recv
    int fd;
    const FakeBrokerScript script;
    Bytes input; // touched by the broker thread only

    // Guarded by FakeBroker::m_mutex.
    std::vector<Packet> packets;
    bool open = true;
    bool malformed = false;
};

FakeBroker::FakeBroker() = default;

FakeBroker::~FakeBroker()
{
    Stop();
}

::testing::AssertionResult FakeBroker::Start()
{
    if (m_thread.joinable())
        return ::testing::AssertionFailure() << "fake broker already started";
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (m_listen < 0 || m_wake < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(m_listen, 16) != 0 || getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    {
        const int err = errno;
        Stop();
        return ::testing::AssertionFailure() << "fake broker cannot listen: " << std::strerror(err);
    }
    m_port = ntohs(addr.sin_port);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    m_thread = std::thread([this] { Run(); });
    return ::testing::AssertionSuccess();
}

void FakeBroker::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    std::vector<std::shared_ptr<Connection>> links;
    {
        std::lock_guard lock(m_mutex);
        links = m_links;
    }
    for (const auto& link : links)
        CloseLink(*link, false);
    if (m_listen >= 0)
        close(m_listen);
    if (m_wake >= 0)
        close(m_wake);
    m_listen = m_wake = -1;
}

void FakeBroker::SetScript(FakeBrokerScript script)
{
    std::lock_guard lock(m_mutex);
    m_script = std::move(script);
}

void FakeBroker::SetScriptFor(size_t connection, FakeBrokerScript script)
{
    std::lock_guard lock(m_mutex);
    m_scriptFor[connection] = std::move(script);
}

std::shared_ptr<FakeBroker::Connection> FakeBroker::Find(size_t connection) const
{
    std::lock_guard lock(m_mutex);
    return connection < m_links.size() ? m_links[connection] : nullptr;
}

size_t FakeBroker::ConnectionCount() const
{
    std::lock_guard lock(m_mutex);
    return m_links.size();
}

bool FakeBroker::IsOpen(size_t connection) const
{
    std::lock_guard lock(m_mutex);
    return connection < m_links.size() && m_links[connection]->open;
}

bool FakeBroker::SawMalformed(size_t connection) const
{
    std::lock_guard lock(m_mutex);
    return connection < m_links.size() && m_links[connection]->malformed;
}

std::vector<Packet> FakeBroker::Packets(size_t connection) const
{
    std::lock_guard lock(m_mutex);
    return connection < m_links.size() ? m_links[connection]->packets : std::vector<Packet>();
}

std::vector<Packet> FakeBroker::PacketsOfType(size_t connection, uint8_t type) const
{
    std::vector<Packet> found;
    for (auto& packet : Packets(connection))
        if (packet.Type() == type)
            found.push_back(std::move(packet));
    return found;
}

bool FakeBroker::SendTo(Connection& link, const Bytes& bytes)
{
    std::lock_guard lock(link.mutex);
    size_t sent = 0;
    while (link.fd >= 0 && sent < bytes.size())
    {
        const ssize_t n = send(link.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return link.fd >= 0;
}

bool FakeBroker::Send(size_t connection, const Bytes& bytes)
{
    const auto link = Find(connection);
    return link && SendTo(*link, bytes);
}

bool FakeBroker::SendPublish(size_t connection, const std::string& topic, const std::string& payload, int qos,
                             bool retain, uint16_t packetId)
{
    return Send(connection, MqttWire::Publish(topic, payload, qos, retain, packetId));
}

bool FakeBroker::SendDisconnect(size_t connection)
{
    return Send(connection, MqttWire::Disconnect());
}

void FakeBroker::CloseLink(Connection& link, bool reset)
{
    {
        std::lock_guard lock(link.mutex);
        if (link.fd >= 0)
        {
            if (reset)
            {
                const linger abortive{1, 0};
                setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
            }
            close(link.fd);
            link.fd = -1;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        link.open = false;
    }
    Changed();
    Wake(); // the broker thread drops the link from its poll set
}

void FakeBroker::Drop(size_t connection, bool reset)
{
    if (const auto link = Find(connection))
        CloseLink(*link, reset);
}

bool FakeBroker::SendPartialAndDrop(size_t connection, const Bytes& packet, size_t count)
{
    const Bytes head(packet.begin(),
                     packet.begin() + static_cast<std::ptrdiff_t>(std::min(count, packet.size())));
    const bool sent = Send(connection, head);
    Drop(connection);
    return sent;
}

void FakeBroker::Changed()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_generation;
    }
    m_changed.notify_all();
}

void FakeBroker::Wake() const
{
    if (m_wake >= 0)
    {
        const uint64_t one = 1;
        (void)!write(m_wake, &one, sizeof(one));
    }
}

bool FakeBroker::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        const uint64_t seen = m_generation;
        lock.unlock();
        const bool holds = condition();
        lock.lock();
        if (holds)
            return true;
        if (!m_changed.wait_until(lock, deadline, [&] { return m_generation != seen; }))
        {
            lock.unlock();
            return condition();
        }
    }
}

bool FakeBroker::WaitForConnections(size_t count, std::chrono::milliseconds timeout) const
{
    return WaitFor([&] { return ConnectionCount() >= count; }, timeout);
}

std::optional<Packet> FakeBroker::WaitForPacket(size_t connection, uint8_t type, size_t nth,
                                                std::chrono::milliseconds timeout) const
{
    std::optional<Packet> found;
    WaitFor(
        [&]
        {
            const auto packets = PacketsOfType(connection, type);
            if (packets.size() <= nth)
                return false;
            found = packets[nth];
            return true;
        },
        timeout);
    return found;
}

bool FakeBroker::WaitForClosed(size_t connection, std::chrono::milliseconds timeout) const
{
    return WaitFor([&] { return connection < ConnectionCount() && !IsOpen(connection); }, timeout);
}

void FakeBroker::Run()
{
    for (;;)
    {
        std::vector<pollfd> fds{{m_wake, POLLIN, 0}, {m_listen, POLLIN, 0}};
        std::vector<std::pair<size_t, std::shared_ptr<Connection>>> polled;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            for (size_t i = 0; i < m_links.size(); ++i)
            {
                if (!m_links[i]->open)
                    continue;
                std::lock_guard linkLock(m_links[i]->mutex);
                if (m_links[i]->fd < 0)
                    continue;
                fds.push_back({m_links[i]->fd, POLLIN, 0});
                polled.emplace_back(i, m_links[i]);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0)
        {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
        {
            uint64_t count;
            (void)!read(m_wake, &count, sizeof(count));
        }
        if (fds[1].revents)
            Accept();
        for (size_t i = 0; i < polled.size(); ++i)
            if (fds[i + 2].revents)
                Receive(polled[i].first, polled[i].second);
    }
}

void FakeBroker::Accept()
{
    const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    // A client that stops reading must not hang a test in send().
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    {
        std::lock_guard lock(m_mutex);
        const size_t index = m_links.size();
        const auto scripted = m_scriptFor.find(index);
        m_links.push_back(
            std::make_shared<Connection>(fd, scripted != m_scriptFor.end() ? scripted->second : m_script));
    }
    Changed();
}

void FakeBroker::Receive(size_t index, const std::shared_ptr<Connection>& link)
{
    uint8_t chunk[65536];
    ssize_t got;
    {
        std::lock_guard lock(link->mutex);
        if (link->fd < 0)
            return; // closed by another thread while polled
        do
            got = recv(link->fd, chunk, sizeof(chunk), 0);
        while (got < 0 && errno == EINTR);
    }
    if (got <= 0)
    {
        CloseLink(*link, false);
        return;
    }
    link->input.insert(link->input.end(), chunk, chunk + got);
    for (;;)
    {
        Packet packet;
        const MqttWire::ParseStatus status = MqttWire::TakePacket(link->input, &packet);
        if (status == MqttWire::ParseStatus::NeedMore)
            return;
        if (status == MqttWire::ParseStatus::Malformed)
        {
            {
                std::lock_guard lock(m_mutex);
                link->malformed = true;
            }
            CloseLink(*link, false);
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            link->packets.push_back(packet);
        }
        Changed();
        React(index, link, packet);
    }
}

void FakeBroker::React(size_t index, const std::shared_ptr<Connection>& link, const Packet& packet)
{
    const FakeBrokerScript& script = link->script;
    if (script.onPacket && script.onPacket(index, packet))
        return;
    using namespace MqttWire;
    switch (packet.Type())
    {
    case CONNECT:
        if (script.onConnect == FakeBrokerScript::OnConnect::Accept)
            SendTo(*link, Connack(script.connackCode, script.sessionPresent));
        else if (script.onConnect == FakeBrokerScript::OnConnect::Close)
            CloseLink(*link, false);
        break;
    case PUBLISH:
        if (const auto publish = ParsePublish(packet);
            publish && script.acknowledgePublish && publish->qos > 0)
            SendTo(*link, Ack(publish->qos == 1 ? PUBACK : PUBREC, publish->packetId));
        break;
    case PUBREC:
    case PUBREL:
        if (const auto id = PacketId(packet); id && script.acknowledgePublish)
            SendTo(*link, Ack(packet.Type() == PUBREC ? PUBREL : PUBCOMP, *id));
        break;
    case SUBSCRIBE:
        if (const auto subscribe = ParseSubscribe(packet); subscribe && script.answerSubscribe)
        {
            std::vector<uint8_t> codes;
            for (size_t i = 0; i < subscribe->topics.size(); ++i)
                codes.push_back(i < script.grantedQos.size() ? script.grantedQos[i]
                                                             : subscribe->topics[i].second);
            SendTo(*link, Suback(subscribe->packetId, codes));
        }
        break;
    case UNSUBSCRIBE:
        if (const auto unsubscribe = ParseUnsubscribe(packet); unsubscribe && script.answerUnsubscribe)
            SendTo(*link, Ack(UNSUBACK, unsubscribe->packetId));
        break;
    case PINGREQ:
        if (script.answerPing)
            SendTo(*link, Pingresp());
        break;
    case DISCONNECT:
        CloseLink(*link, false);
        break;
    default:
        break;
    }
}
