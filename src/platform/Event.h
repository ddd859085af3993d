// Waitable events: auto-reset (a successful wait consumes the signal) and manual-reset
// (stays signalled until Reset). On Linux each event is an eventfd, so events and socket
// descriptors can be waited on together in one poll.
//
// An event orders memory like a lock: whatever a thread wrote before Set is visible to a
// thread whose wait (Wait, TryConsume, WaitForAny) reports that event as set.
#pragma once
#include <atomic>
#include <cstdint>
#include <span>

class CEvent
{
public:
    enum class EReset
    {
        Auto,
        Manual
    };

    explicit CEvent(EReset reset = EReset::Auto, bool initiallySet = false);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    bool IsValid() const { return m_fd >= 0; }
    bool IsManualReset() const { return m_reset == EReset::Manual; }

    void Set();
    void Reset();
    // Waits until set or until timeoutMs elapses (WAIT_INFINITE waits forever).
    // Returns true when the event was set; an auto-reset event is consumed.
    bool Wait(uint32_t timeoutMs);
    // Non-blocking: true if set (and consumes an auto-reset event).
    bool TryConsume();

    // The descriptor to poll for readability; owned by the event.
    int Handle() const { return m_fd; }

private:
    // The kernel orders the eventfd's counter, but a wait that only polls (a manual-reset
    // event is never read) gives the memory model no edge from the setter; this counter
    // carries it: Set releases before it writes the descriptor, a satisfied wait acquires.
    void Acquired() const { (void)m_published.load(std::memory_order_acquire); }

    int m_fd = -1;
    EReset m_reset;
    std::atomic<uint32_t> m_published{0};
};

constexpr uint32_t WAIT_INFINITE = 0xFFFFFFFFu;
// WaitForAny results beyond the index of a ready object.
constexpr int WAIT_TIMEOUT_RESULT = -1;
constexpr int WAIT_FAILED_RESULT = -2;

// One socket descriptor to watch alongside events. `events` takes the poll(2) bits
// (POLLIN/POLLOUT); `ready` receives what poll reported (POLLIN, POLLOUT, POLLERR, POLLHUP).
struct SocketWait
{
    int fd = -1;
    short events = 0;
    short ready = 0;
};

// Waits in one poll() for any of the events or sockets, at most timeoutMs.
// Returns the index of the first signalled event (an auto-reset event is consumed), or
// events.size() + i for the first ready socket i (every socket's `ready` is filled), or
// WAIT_TIMEOUT_RESULT, or WAIT_FAILED_RESULT. Events take priority over sockets so a stop
// request is never starved by incoming bytes.
int WaitForAny(std::span<CEvent* const> events, std::span<SocketWait> sockets, uint32_t timeoutMs);
