#include "platform/Event.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

#include "platform/Tick.h"

namespace
{
// Reads the counter without blocking; true when it was non-zero (and is now zero).
bool Drain(int fd)
{
    uint64_t count = 0;
    for (;;)
    {
        const ssize_t n = read(fd, &count, sizeof(count));
        if (n == static_cast<ssize_t>(sizeof(count)))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// A manual-reset event stays readable: check it with a zero-timeout poll instead of reading.
bool IsReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    for (;;)
    {
        const int r = poll(&p, 1, 0);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 && (p.revents & POLLIN) != 0;
    }
}

// Remaining milliseconds of a poll timeout after EINTR, or -1 for an infinite wait.
int RemainingMs(uint32_t timeoutMs, uint32_t started)
{
    if (timeoutMs == WAIT_INFINITE)
        return -1;
    const uint32_t elapsed = TickElapsed(started, GetTickCount32());
    return elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
}
} // namespace

CEvent::CEvent(EReset reset, bool initiallySet) : m_reset(reset)
{
    m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (initiallySet)
        Set();
}

CEvent::~CEvent()
{
    if (m_fd >= 0)
        close(m_fd);
}

void CEvent::Set()
{
    if (m_fd < 0)
        return;
    m_published.fetch_add(1, std::memory_order_release);
    const uint64_t one = 1;
    // The counter only needs to be non-zero; a full counter (EAGAIN) is still signalled.
    while (write(m_fd, &one, sizeof(one)) < 0 && errno == EINTR)
    {
    }
}

void CEvent::Reset()
{
    if (m_fd >= 0)
        Drain(m_fd);
}

bool CEvent::TryConsume()
{
    if (m_fd < 0)
        return false;
    const bool set = m_reset == EReset::Manual ? IsReadable(m_fd) : Drain(m_fd);
    if (set)
        Acquired();
    return set;
}

bool CEvent::Wait(uint32_t timeoutMs)
{
    CEvent* self = this;
    return WaitForAny({&self, 1}, {}, timeoutMs) == 0;
}

int WaitForAny(std::span<CEvent* const> events, std::span<SocketWait> sockets, uint32_t timeoutMs)
{
    std::vector<pollfd> fds;
    fds.reserve(events.size() + sockets.size());
    for (CEvent* e : events)
    {
        if (e == nullptr || !e->IsValid())
            return WAIT_FAILED_RESULT;
        fds.push_back({e->Handle(), POLLIN, 0});
    }
    for (SocketWait& s : sockets)
    {
        s.ready = 0;
        fds.push_back({s.fd, s.events, 0});
    }

    const uint32_t started = GetTickCount32();
    for (;;)
    {
        const int r = poll(fds.data(), fds.size(), RemainingMs(timeoutMs, started));
        if (r < 0)
        {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED_RESULT;
        }
        if (r == 0)
            return WAIT_TIMEOUT_RESULT;

        for (size_t i = 0; i < events.size(); ++i)
        {
            if ((fds[i].revents & POLLIN) == 0)
                continue;
            // Another waiter may have consumed an auto-reset event between poll and read.
            if (events[i]->TryConsume())
                return static_cast<int>(i);
        }
        int firstSocket = -1;
        for (size_t i = 0; i < sockets.size(); ++i)
        {
            sockets[i].ready = fds[events.size() + i].revents;
            if (sockets[i].ready != 0 && firstSocket < 0)
                firstSocket = static_cast<int>(events.size() + i);
        }
        if (firstSocket >= 0)
            return firstSocket;
        if (RemainingMs(timeoutMs, started) == 0)
            return WAIT_TIMEOUT_RESULT;
    }
}
