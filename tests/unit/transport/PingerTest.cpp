#include "transport/Pinger.h"

#include "SocketTestSupport.h"

#include <gtest/gtest.h>

namespace
{
// Counts attempts and fails each of them as an unanswered request would.
class CUnansweredPinger final : public CPinger
{
public:
    using CPinger::CPinger;
    int attempts = 0;

protected:
    HRESULT EchoOnce(SocketHandle, EIcmpKind, const uint8_t*, uint16_t, uint32_t) override
    {
        ++attempts;
        return HRESULT_FROM_SYSTEM(ETIMEDOUT);
    }
    EIcmpKind AvailableKind() override { return EIcmpKind::Datagram; }
    // Any descriptor will do: the attempts never use it.
    SocketHandle OpenSocket(EIcmpKind) override { return NetSocket(false, false); }
};

size_t Count(const std::string& text, const std::string& fragment)
{
    size_t n = 0;
    for (size_t p = text.find(fragment); p != std::string::npos; p = text.find(fragment, p + 1))
        ++n;
    return n;
}
} // namespace

TEST(Pinger, LoopbackAnswersOrIcmpIsReportedUnavailable)
{
    CSocketLog log;
    CPinger pinger(log.Globals());
    const HRESULT hr = pinger.Ping("127.0.0.1", 2000, 1);
    if (NetIcmpAvailableKind() == EIcmpKind::None)
    {
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_TRUE(log.Contains("PING: error, ICMP not available!"));
        return;
    }
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(log.Contains("PING '127.0.0.1' (IP 127.0.0.1) SUCCEEDED ("));
}

TEST(Pinger, InvalidArguments)
{
    CSocketLog log;
    CPinger pinger(log.Globals());
    EXPECT_EQ(pinger.Ping("", 500, 0), E_INVALIDARG);
    EXPECT_EQ(pinger.Ping(nullptr, 500, 0), E_INVALIDARG);
    EXPECT_EQ(pinger.Ping("127.0.0.1", 0, 0), E_INVALIDARG);
    EXPECT_EQ(Count(log.Text(), "PING: invalid arguments"), 3u);
}

TEST(Pinger, UnresolvableNameIsADnsError)
{
    CSocketLog log;
    CUnansweredPinger pinger(log.Globals());
    EXPECT_EQ(pinger.Ping("no-such-host.invalid", 500, 2), E_FAIL);
    EXPECT_TRUE(log.Contains("PING: DNS error resolving address 'no-such-host.invalid' (error = "));
    EXPECT_EQ(pinger.attempts, 0);
}

TEST(Pinger, AttemptsFollowTheTriesRule)
{
    for (const uint32_t tries : {0u, 2u, 3u})
    {
        CSocketLog log;
        CUnansweredPinger pinger(log.Globals());
        EXPECT_EQ(pinger.Ping("127.0.0.1", 500, tries), HRESULT_FROM_SYSTEM(ETIMEDOUT));
        EXPECT_EQ(pinger.attempts, int(tries + 1));
        EXPECT_EQ(Count(log.Text(), "PING '127.0.0.1' (IP 127.0.0.1) FAILED ("), tries + 1);
        EXPECT_TRUE(log.Contains("msec, hr=8007006E)"));
    }
}
