#include "platform/Event.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "platform/Thread.h"

namespace
{
// Generous bound for waits that must be woken by another thread; never reached when correct.
constexpr uint32_t kDeadlineMs = 10000;

struct SocketPair
{
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~SocketPair()
    {
        close(fds[0]);
        close(fds[1]);
    }
};
} // namespace

TEST(Event, ResetModes)
{
    struct Case
    {
        CEvent::EReset mode;
        bool initiallySet;
        bool firstWait;
        bool secondWait;
    };
    const Case cases[] = {
        {CEvent::EReset::Auto, false, false, false},
        {CEvent::EReset::Auto, true, true, false},    // a wait consumes the signal
        {CEvent::EReset::Manual, false, false, false},
        {CEvent::EReset::Manual, true, true, true},   // stays set until Reset
    };
    for (const Case& c : cases)
    {
        CEvent e(c.mode, c.initiallySet);
        ASSERT_TRUE(e.IsValid());
        EXPECT_EQ(e.Wait(0), c.firstWait);
        EXPECT_EQ(e.Wait(0), c.secondWait);
    }
}

TEST(Event, SetTwiceIsOneSignalAndResetClears)
{
    CEvent autoEvent;
    autoEvent.Set();
    autoEvent.Set();
    EXPECT_TRUE(autoEvent.Wait(0));
    EXPECT_FALSE(autoEvent.Wait(0));

    CEvent manual(CEvent::EReset::Manual);
    manual.Set();
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
}

TEST(Event, WaitIsWokenBySetFromAnotherThread)
{
    CEvent go;
    CThread setter;
    ASSERT_TRUE(setter.Start([&] { go.Set(); }));
    EXPECT_TRUE(go.Wait(kDeadlineMs));
}

TEST(Event, WaitForAnyReportsTheSignalledEventAndConsumesOnlyIt)
{
    CEvent first, second;
    std::array<CEvent*, 2> events = {&first, &second};
    second.Set();
    EXPECT_EQ(WaitForAny(events, {}, 0), 1);
    EXPECT_EQ(WaitForAny(events, {}, 0), WAIT_TIMEOUT_RESULT);

    first.Set();
    second.Set();
    EXPECT_EQ(WaitForAny(events, {}, 0), 0); // lowest index first
    EXPECT_EQ(WaitForAny(events, {}, 0), 1);
}

TEST(Event, WaitForAnyWatchesSockets)
{
    SocketPair pair;
    CEvent stop;
    std::array<CEvent*, 1> events = {&stop};
    std::array<SocketWait, 1> sockets = {SocketWait{pair.fds[0], POLLIN, 0}};

    EXPECT_EQ(WaitForAny(events, sockets, 0), WAIT_TIMEOUT_RESULT);

    ASSERT_EQ(write(pair.fds[1], "x", 1), 1);
    EXPECT_EQ(WaitForAny(events, sockets, kDeadlineMs), 1);
    EXPECT_TRUE(sockets[0].ready & POLLIN);

    // A pending stop wins over readable bytes.
    stop.Set();
    EXPECT_EQ(WaitForAny(events, sockets, kDeadlineMs), 0);
}

TEST(Event, WaitForAnyReportsAClosedPeer)
{
    SocketPair pair;
    std::array<SocketWait, 1> sockets = {SocketWait{pair.fds[0], POLLIN, 0}};
    shutdown(pair.fds[1], SHUT_RDWR);
    EXPECT_EQ(WaitForAny({}, sockets, kDeadlineMs), 0);
    EXPECT_NE(sockets[0].ready, 0);
}

TEST(Event, WaitForAnyRejectsAMissingEvent)
{
    std::array<CEvent*, 1> events = {nullptr};
    EXPECT_EQ(WaitForAny(events, {}, 0), WAIT_FAILED_RESULT);
}
