#include "transport/Socket.h"

#include "SocketTestSupport.h"
#include "platform/Thread.h"

#include <atomic>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

namespace
{
struct CountingSpy final : ISocketSpy
{
    std::atomic<uint32_t> sent{0}, received{0}, raw{0};
    void OnBytesSent(uint32_t n) override { sent += n; }
    void OnBytesReceived(uint32_t n) override { received += n; }
    void OnRawData(const uint8_t*, uint32_t n) override { raw += n; }
};

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char(i * 7 + i / 251);
    return s;
}

CBuffer BufferOf(const std::string& bytes)
{
    CBuffer b;
    EXPECT_EQ(b.Append(bytes.data(), uint32_t(bytes.size())), S_OK);
    return b;
}

std::string ReadString(CSocket& s, uint32_t n, HRESULT expected = S_OK)
{
    std::string out(n, '\0');
    EXPECT_EQ(s.ReadExact(reinterpret_cast<uint8_t*>(out.data()), n, false), expected);
    return out;
}

class SocketTest : public ::testing::Test
{
protected:
    // A TCP client CSocket connected to a loopback listener; returns the accepted peer.
    CFd ConnectTcp(bool ipv6 = false, uint32_t timeoutMs = 2000)
    {
        uint16_t port = 0;
        m_listener = BoundSocket(ipv6, SOCK_STREAM, &port);
        EXPECT_EQ(::listen(m_listener.Get(), 4), 0);
        EXPECT_EQ(m_socket.Initialize(timeoutMs, IO_PROTOCOL_TCP, nullptr, ipv6), S_OK);
        EXPECT_EQ(m_socket.Connect(ipv6 ? "::1" : "127.0.0.1", port, 0, nullptr, 0), S_OK);
        m_port = port;
        return AcceptOne(m_listener.Get());
    }

    CSocketLog m_log;
    CSocket m_socket{m_log.Globals()};
    CountingSpy m_spy;
    CFd m_listener;
    uint16_t m_port = 0;
};

class SocketFamilyTest : public SocketTest, public ::testing::WithParamInterface<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam() && !HasIPv6Loopback())
            GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
};
} // namespace

TEST_P(SocketFamilyTest, ExactReadsAcrossChunkBoundariesAndSendBack)
{
    const bool ipv6 = GetParam();
    m_socket.SetSpy(&m_spy);
    CFd peer = ConnectTcp(ipv6);
    ASSERT_GE(peer.Get(), 0);
    EXPECT_TRUE(m_log.Contains(ipv6 ? "socket connected to '::1' on port "
                                    : "socket connected to '127.0.0.1' on port "));
    EXPECT_TRUE(m_log.Contains("(local port "));

    const std::string data = Pattern(10000);
    ASSERT_TRUE(SendAll(peer.Get(), data.data(), data.size()));
    std::string got = ReadString(m_socket, 1);
    got += ReadString(m_socket, 5000);
    got += ReadString(m_socket, 4999);
    EXPECT_EQ(got, data);
    EXPECT_EQ(m_spy.received.load(), 10000u);

    CBuffer reply = BufferOf("pong");
    ASSERT_EQ(m_socket.Send(reply, false), S_OK);
    EXPECT_EQ(RecvExactly(peer.Get(), 4), "pong");
    EXPECT_EQ(m_spy.sent.load(), 4u);

    AddressRecord local, remote;
    ASSERT_EQ(m_socket.GetLocalAddress(&local), S_OK);
    ASSERT_EQ(m_socket.GetPeerAddress(&remote), S_OK);
    EXPECT_EQ(remote.port, m_port);
    EXPECT_EQ(remote.protocol, uint32_t(IO_PROTOCOL_TCP));
    EXPECT_EQ(remote.isIPv6, ipv6 ? 1u : 0u);
    EXPECT_EQ(PeerText(remote, false), ipv6 ? "::1" : "127.0.0.1");
    TIOPtr<IIOPeerIP> peerObject;
    ASSERT_EQ(m_socket.GetPeer(peerObject.Out()), S_OK);
    EXPECT_EQ(peerObject->TestFlags(PEER_FLAG_IPV6), ipv6);
    EXPECT_EQ(peerObject->GetAddressRecord().port, m_port);
}

INSTANTIATE_TEST_SUITE_P(Families, SocketFamilyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6" : "IPv4"; });

TEST_F(SocketTest, TimedOutReadKeepsConsumedBytes)
{
    CFd peer = ConnectTcp(false, 200);
    ASSERT_TRUE(SendAll(peer.Get(), "abc", 3));
    ReadString(m_socket, 5, IO_E_READ_TIMEOUT);
    EXPECT_TRUE(m_log.Contains(" TIMEOUT"));
    EXPECT_TRUE(m_socket.IsOpen()) << "a timeout keeps the connection";
    ASSERT_TRUE(SendAll(peer.Get(), "de", 2));
    EXPECT_EQ(ReadString(m_socket, 2), "de");
}

TEST_F(SocketTest, SteadySlowArrivalsNeverTimeOut)
{
    // Each byte comes well inside the timeout, the whole read takes several timeouts.
    CFd peer = ConnectTcp(false, 250);
    std::thread writer(
        [&]
        {
            for (char c : std::string("slowly"))
            {
                SleepMs(100);
                SendAll(peer.Get(), &c, 1);
            }
        });
    EXPECT_EQ(ReadString(m_socket, 6), "slowly");
    writer.join();
}

TEST_F(SocketTest, GracefulCloseKeepsBytesSentBeforeIt)
{
    CFd peer = ConnectTcp();
    ASSERT_TRUE(SendAll(peer.Get(), "last words", 10));
    peer.Reset();
    // On loopback the end of the stream is queued behind the bytes when close returns, so
    // one receive sees both.
    ASSERT_TRUE(WaitUntil([&] { return m_socket.DataReady(); }));
    ASSERT_EQ(m_socket.ReceiveAvailable(CSocket::STAGING_SIZE), S_OK);
    EXPECT_EQ(ReadString(m_socket, 10), "last words");
    EXPECT_TRUE(WaitUntil(
        [&]
        {
            EXPECT_EQ(m_socket.ReceiveAvailable(CSocket::STAGING_SIZE), S_OK);
            return !m_socket.IsOpen();
        }));
    EXPECT_TRUE(m_log.Contains("socket gracefully closed by the remote partner"));
    EXPECT_FALSE(m_log.Contains("Discarded"));
    EXPECT_FALSE(m_socket.DataReady());
}

TEST_F(SocketTest, CloseReportsDiscardedBytes)
{
    CFd peer = ConnectTcp();
    ASSERT_TRUE(SendAll(peer.Get(), "0123456789", 10));
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            m_socket.ReceiveAvailable(CSocket::STAGING_SIZE);
            return m_socket.BufferedBytes() == 10;
        }));
    EXPECT_EQ(ReadString(m_socket, 3), "012");
    EXPECT_TRUE(m_socket.DataReady()) << "buffered bytes are ready data";
    m_socket.Close();
    EXPECT_TRUE(m_log.Contains("socket closed"));
    EXPECT_TRUE(m_log.Contains("Discarded 7 received bytes"));
    EXPECT_EQ(m_socket.ReadExact(reinterpret_cast<uint8_t*>(&peer), 1, false), IO_E_NOT_CONNECTED);
}

TEST_F(SocketTest, ArgumentAndStateErrors)
{
    CFd peer = ConnectTcp();
    uint8_t byte;
    EXPECT_EQ(m_socket.ReadExact(&byte, 0, false), E_FAIL);
    EXPECT_EQ(m_socket.Send(CBuffer(), false), E_FAIL);
    EXPECT_EQ(m_socket.Connect("127.0.0.1", m_port, 0, nullptr, 0), E_FAIL);
    EXPECT_EQ(m_socket.LastError(), "tried to connect socket twice");
    EXPECT_TRUE(m_socket.IsOpen());
    CBuffer datagram;
    EXPECT_EQ(m_socket.WaitDatagram(datagram), E_UNEXPECTED);
    EXPECT_EQ(m_socket.Connect(nullptr, 1, 0, nullptr, 0), E_POINTER);
    EXPECT_EQ(m_socket.LastError(), "null address");
}

TEST_F(SocketTest, WrongPeerIsRefusedBeforeSending)
{
    CFd peer = ConnectTcp();
    TIOPtr<IIOPeerIP> own;
    ASSERT_EQ(m_socket.GetPeer(own.Out()), S_OK);

    auto otherChannel = CIOPeerIP::Create(own->GetRawAddress(), IO_PROTOCOL_TCP, 0, 3);
    CBuffer packet = BufferOf("x");
    packet.SetPeer(otherChannel.Get());
    EXPECT_EQ(m_socket.Send(packet, false), IO_E_PEER_MISMATCH);
    EXPECT_TRUE(m_log.Contains("ERROR: cannot send packet, the packet is destined to another channel"));

    SSocketAddress moved = own->GetRawAddress();
    reinterpret_cast<sockaddr_in*>(moved.bytes)->sin_port = htons(uint16_t(m_port + 1));
    auto otherPort = CIOPeerIP::Create(moved, IO_PROTOCOL_TCP, 0, 0);
    packet.SetPeer(otherPort.Get());
    EXPECT_EQ(m_socket.Send(packet, false), IO_E_PEER_MISMATCH);
    EXPECT_TRUE(
        m_log.Contains("ERROR: cannot send packet, the specified peer does not match the current socket"));

    auto wrongProtocol = CIOPeerIP::Create(own->GetRawAddress(), IO_PROTOCOL_UDP, 0, 0);
    packet.SetPeer(wrongProtocol.Get());
    EXPECT_EQ(m_socket.Send(packet, false), IO_E_PEER_MISMATCH);

    packet.SetPeer(own.Get());
    EXPECT_EQ(m_socket.Send(packet, false), S_OK) << "the socket's own peer is accepted";
    EXPECT_EQ(RecvExactly(peer.Get(), 1), "x");
}

TEST_F(SocketTest, SendToFullSocketFailsAfterTimeoutOfWouldBlock)
{
    CFd peer = ConnectTcp(false, 300);
    // Far more than the loopback socket buffers of both ends hold while nobody reads.
    const std::string big(48u << 20, 'z');
    EXPECT_EQ(m_socket.Send(BufferOf(big), true), E_FAIL);
    EXPECT_TRUE(m_log.Contains("send() returned error WSAEWOULDBLOCK (11)"));
    EXPECT_TRUE(m_log.Contains(" return WOULDBLOCK "));
    EXPECT_FALSE(m_socket.IsOpen());
    EXPECT_NE(m_socket.LastError().find("calling send()"), std::string::npos);
}

TEST_F(SocketTest, SendCompletesWhenThePeerStartsReading)
{
    CFd peer = ConnectTcp(false, 20000);
    // Small buffers on both ends so that the send backs up after a few kilobytes.
    const int small = 65536;
    ::setsockopt(m_socket.DataHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ::setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    const std::string big(4u << 20, 'q');
    std::atomic<size_t> drained{0};
    std::thread reader(
        [&]
        {
            // Start draining only once the sender's socket has stayed full for a few checks: the
            // sender then sits in its would-block wait.
            int fullChecks = 0;
            WaitUntil(
                [&]
                {
                    pollfd p{m_socket.DataHandle(), POLLOUT, 0};
                    fullChecks = (::poll(&p, 1, 0) == 0) ? fullChecks + 1 : 0;
                    return fullChecks >= 3;
                });
            std::vector<char> buf(1 << 16);
            while (drained < big.size() && WaitReadable(peer.Get()))
            {
                const ssize_t n = ::recv(peer.Get(), buf.data(), buf.size(), 0);
                if (n <= 0)
                    break;
                drained += size_t(n);
            }
        });
    m_socket.SetSpy(&m_spy);
    EXPECT_EQ(m_socket.Send(BufferOf(big), true), S_OK);
    reader.join();
    EXPECT_EQ(drained.load(), big.size());
    EXPECT_EQ(m_spy.sent.load(), 0u) << "raw packets are not counted";
    EXPECT_TRUE(m_log.Contains("send(0) return WOULDBLOCK "));
}

TEST_F(SocketTest, ConnectRefusedIsASocketError)
{
    uint16_t port = 0;
    {
        CFd unused = BoundSocket(false, SOCK_STREAM, &port);
    } // bound, never listening, then closed
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_TCP, nullptr, false), S_OK);
    EXPECT_EQ(m_socket.Connect("127.0.0.1", port, 0, nullptr, 2), E_FAIL);
    EXPECT_EQ(m_socket.LastError(), "socket error WSAECONNREFUSED(111) calling connect()");
    EXPECT_TRUE(m_log.Contains("connect() returned error WSAECONNREFUSED (111)"));
    EXPECT_TRUE(
        m_log.Contains("failed to connect socket to '127.0.0.1' on port " + std::to_string(port) + "!"));
    EXPECT_FALSE(m_socket.IsOpen());
}

TEST_F(SocketTest, UnresolvableHostIsAResolverError)
{
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_TCP, nullptr, false), S_OK);
    EXPECT_EQ(m_socket.Connect("no-such-host.invalid", 1883, 0, nullptr, 0), E_FAIL);
    EXPECT_NE(m_socket.LastError().find("calling getaddrinfo()"), std::string::npos) << m_socket.LastError();
}

TEST_F(SocketTest, AbortEndsABlockedReadFromAnotherThread)
{
    CFd peer = ConnectTcp(false, 600000);
    std::thread aborter(
        [&]
        {
            m_log.WaitFor("socket connected");
            m_socket.Abort();
        });
    ReadString(m_socket, 4, IO_E_READ_TIMEOUT);
    aborter.join();
    EXPECT_FALSE(m_socket.IsOpen());
}

TEST_F(SocketTest, AbortEndsAConnectThatDoesNotComplete)
{
    // A listener whose accept queue is full drops further connection requests, so the
    // connect stays in progress until it is aborted.
    uint16_t port = 0;
    CFd listener = BoundSocket(false, SOCK_STREAM, &port);
    ASSERT_EQ(::listen(listener.Get(), 0), 0);
    std::vector<CFd> fillers;
    socklen_t len;
    const sockaddr_storage target = LoopbackAddress(false, port, &len);
    for (int i = 0; i < 3; ++i)
    {
        CFd c(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(c.Get(), reinterpret_cast<const sockaddr*>(&target), len);
        fillers.push_back(std::move(c));
    }
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_TCP, nullptr, false), S_OK);
    std::thread aborter(
        [&]
        {
            m_log.WaitFor("connecting socket to");
            m_socket.Abort();
        });
    EXPECT_EQ(m_socket.Connect("127.0.0.1", port, 0, nullptr, 0), IO_E_NOT_CONNECTED);
    aborter.join();
    EXPECT_FALSE(m_socket.IsOpen());
    EXPECT_TRUE(m_log.Contains("failed to connect socket to '127.0.0.1'"));
}

TEST_F(SocketTest, EchoSuppressionReadsBackEveryByte)
{
    m_socket.SetSuppressEcho(true);
    m_socket.SetSpy(&m_spy);
    CFd peer = ConnectTcp(false, 300);
    std::thread echo(
        [&]
        {
            const std::string got = RecvExactly(peer.Get(), 3);
            SendAll(peer.Get(), got.data(), got.size());
            RecvExactly(peer.Get(), 2);
            SendAll(peer.Get(), "o!", 2);
        });
    EXPECT_EQ(m_socket.Send(BufferOf("abc"), false), S_OK);
    EXPECT_EQ(m_socket.Send(BufferOf("ok"), false), E_FAIL);
    echo.join();
    EXPECT_TRUE(m_log.Contains("ERROR receiving echo for byte 2 of 2 (received '21' instead of '6B')"));
    EXPECT_EQ(m_spy.received.load(), 0u) << "echoes are not received data";

    EXPECT_EQ(m_socket.Send(BufferOf("x"), false), IO_E_READ_TIMEOUT);
    EXPECT_TRUE(m_log.Contains(" TIMEOUT supressing echo"));
    EXPECT_TRUE(m_log.Contains("ERROR receiving echo for byte 1 of 1 (receive failed, hr = 8004E000)"));
}

TEST_F(SocketTest, ListenModeAdmitsOrBlocksCallersThroughTheFilter)
{
    struct Case
    {
        const char* filter;
        bool admitted;
    };
    for (const Case c : {Case{"127.0.0.1", true}, Case{"~127.*.*.*", false}, Case{"10.0.0.*", false}})
    {
        CSocket server(m_log.Globals());
        const uint16_t port = FreeTcpPort();
        ASSERT_EQ(server.Initialize(1000, IO_PROTOCOL_TCP, nullptr, false), S_OK);
        ASSERT_EQ(server.Listen("127.0.0.1", port, true, c.filter), S_OK) << c.filter;
        EXPECT_TRUE(server.IsListening());
        EXPECT_EQ(server.Accept(false), E_FAIL) << "nothing pending";

        socklen_t len;
        const sockaddr_storage target = LoopbackAddress(false, port, &len);
        CFd client(::socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&target), len), 0);
        SocketWait waits[2];
        ASSERT_EQ(server.GetReadinessWaits(waits, 2), 1u);
        ASSERT_TRUE(WaitReadable(waits[0].fd));
        sockaddr_in local{};
        socklen_t localLen = sizeof(local);
        ::getsockname(client.Get(), reinterpret_cast<sockaddr*>(&local), &localLen);
        const std::string caller = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
        if (c.admitted)
        {
            ASSERT_EQ(server.Accept(true), S_OK);
            EXPECT_TRUE(m_log.Contains("accepted socket connection from " + caller + "!"));
            EXPECT_FALSE(server.IsListening()) << "stop listening after accept";
            EXPECT_TRUE(m_log.Contains("listen socket closed"));
            ASSERT_TRUE(SendAll(client.Get(), "hi", 2));
            std::string got(2, '\0');
            EXPECT_EQ(server.ReadExact(reinterpret_cast<uint8_t*>(got.data()), 2, false), S_OK);
            EXPECT_EQ(got, "hi");
        }
        else
        {
            EXPECT_EQ(server.Accept(false), E_FAIL);
            EXPECT_TRUE(m_log.Contains("blocked incoming socket connection from " + caller + "!"));
            EXPECT_TRUE(server.IsListening());
            EXPECT_FALSE(server.IsOpen());
            char byte;
            EXPECT_TRUE(WaitReadable(client.Get()));
            EXPECT_LE(::recv(client.Get(), &byte, 1, 0), 0) << "the blocked caller is disconnected";
        }
    }
    EXPECT_TRUE(m_log.Contains("Port is being shared"));
    EXPECT_TRUE(m_log.Contains("listening on port "));
}

TEST_F(SocketTest, ListenRefusesABadFilter)
{
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_TCP, nullptr, false), S_OK);
    EXPECT_EQ(m_socket.Listen(nullptr, FreeTcpPort(), false, "10.0.0.1, 10.0.0.2"), E_FAIL);
    EXPECT_TRUE(m_log.Contains(
        "ERROR: cannot listen for connections, failed parsing IP Filter '10.0.0.1, 10.0.0.2'"));
    EXPECT_FALSE(m_socket.IsListening());
}

namespace
{
// A TLS seam that reports itself enabled and records what the socket asks of it.
struct EnabledTls final : ISocketTls
{
    bool IsEnabled() const override { return true; }
    HRESULT InitLibrary(CSocket&) override { return S_OK; }
    HRESULT InitContext(CSocket&, bool) override { return S_OK; }
    bool Connect(CSocket&) override { return false; }
    bool Accept(CSocket&) override { return false; }
    HRESULT Write(CSocket&, const uint8_t*, uint32_t, bool) override { return E_FAIL; }
    HRESULT ReceiveAvailable(CSocket&, uint32_t) override { return S_OK; }
    void Disconnect(CSocket&) override {}
};
} // namespace

TEST_F(SocketTest, TlsIsRefusedForUdp)
{
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_UDP, std::make_unique<EnabledTls>(), false), S_OK);
    EXPECT_EQ(m_socket.Connect("127.0.0.1", 9, 0, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(m_socket.Listen(nullptr, 9, false, ""), E_INVALIDARG);
    EXPECT_TRUE(m_log.Contains("Cannot Use SSL with UDP!"));
}

TEST_F(SocketTest, FailedTlsHandshakeClosesTheConnection)
{
    uint16_t port = 0;
    m_listener = BoundSocket(false, SOCK_STREAM, &port);
    ASSERT_EQ(::listen(m_listener.Get(), 4), 0);
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_TCP, std::make_unique<EnabledTls>(), false), S_OK);
    EXPECT_EQ(m_socket.Connect("127.0.0.1", port, 0, nullptr, 0), E_FAIL);
    EXPECT_FALSE(m_socket.IsOpen());
}

class UdpTest : public SocketTest
{
protected:
    // A CSocket in UDP listen mode on a loopback port.
    uint16_t ListenUdp(const char* filter, uint32_t timeoutMs = 2000, bool ipv6 = false)
    {
        const uint16_t port = FreeTcpPort();
        EXPECT_EQ(m_socket.Initialize(timeoutMs, IO_PROTOCOL_UDP, nullptr, ipv6), S_OK);
        EXPECT_EQ(m_socket.Listen(ipv6 ? "::1" : "127.0.0.1", port, false, filter), S_OK);
        EXPECT_EQ(m_socket.Accept(false), S_OK);
        return port;
    }
    static void SendDatagram(int fd, uint16_t port, const std::string& bytes, bool ipv6 = false)
    {
        socklen_t len;
        const sockaddr_storage target = LoopbackAddress(ipv6, port, &len);
        ASSERT_EQ(
            ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target), len),
            ssize_t(bytes.size()));
    }
};

class UdpFamilyTest : public UdpTest, public ::testing::WithParamInterface<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam() && !HasIPv6Loopback())
            GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
};

TEST_P(UdpFamilyTest, DatagramQueueKeepsSourcesAndRepliesGoToThem)
{
    const bool ipv6 = GetParam();
    const std::string host = ipv6 ? "::1" : "127.0.0.1";
    auto sourceText = [&](uint16_t p) { return (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(p); };
    m_socket.SetSpy(&m_spy);
    const uint16_t port = ListenUdp("", 2000, ipv6);
    EXPECT_TRUE(m_log.Contains("Listening on UDP socket on port " + std::to_string(port) + " on interface " +
                               host + "!"));
    EXPECT_TRUE(m_log.Contains("accepted UDP socket connection (by default)!"));
    uint16_t portA = 0, portB = 0;
    CFd a = BoundSocket(ipv6, SOCK_DGRAM, &portA);
    CFd b = BoundSocket(ipv6, SOCK_DGRAM, &portB);
    SendDatagram(a.Get(), port, "from a", ipv6);
    SendDatagram(b.Get(), port, "from b!", ipv6);

    uint8_t byte;
    EXPECT_EQ(m_socket.ReadExact(&byte, 1, false), E_UNEXPECTED);
    for (const auto& [text, source] :
         {std::pair{std::string("from a"), portA}, {std::string("from b!"), portB}})
    {
        CBuffer datagram;
        ASSERT_EQ(m_socket.WaitDatagram(datagram), S_OK);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(datagram.Data()), datagram.Length()), text);
        EXPECT_EQ(PeerText(datagram.Peer(), true), sourceText(source));
        CBuffer reply = BufferOf("re:" + text);
        reply.SetPeer(datagram.Peer());
        ASSERT_EQ(m_socket.Send(reply, false), S_OK);
    }
    EXPECT_EQ(RecvExactly(a.Get(), 9), "re:from a");
    EXPECT_EQ(RecvExactly(b.Get(), 10), "re:from b!");
    EXPECT_EQ(m_spy.received.load(), 13u);
    EXPECT_TRUE(m_log.Contains(" (" + sourceText(portA) + ")"));
    EXPECT_EQ(m_socket.Send(BufferOf("nobody"), false), E_FAIL);
    EXPECT_TRUE(m_log.Contains("ERROR: cannot send packet to unspecified peer in UDP mode"));
}

INSTANTIATE_TEST_SUITE_P(Families, UdpFamilyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6" : "IPv4"; });

TEST_F(UdpTest, ConnectedClientSendsAndReadsDatagramBytes)
{
    uint16_t serverPort = 0;
    CFd server = BoundSocket(false, SOCK_DGRAM, &serverPort);
    ASSERT_EQ(m_socket.Initialize(1000, IO_PROTOCOL_UDP, nullptr, false), S_OK);
    ASSERT_EQ(m_socket.Connect("127.0.0.1", serverPort, 0, nullptr, 1), S_OK);
    EXPECT_EQ(m_socket.Channel(), 1u);
    ASSERT_EQ(m_socket.Send(BufferOf("ping"), false), S_OK);
    ASSERT_TRUE(WaitReadable(server.Get()));
    char got[16];
    sockaddr_storage from{};
    socklen_t fromLen = sizeof(from);
    ASSERT_EQ(::recvfrom(server.Get(), got, sizeof(got), 0, reinterpret_cast<sockaddr*>(&from), &fromLen), 4);
    ASSERT_EQ(::sendto(server.Get(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), fromLen), 4);
    EXPECT_EQ(ReadString(m_socket, 4), "pong");
}

TEST_F(UdpTest, LongDatagramArrivesTruncatedWithWarning)
{
    const uint16_t port = ListenUdp("");
    uint16_t clientPort = 0;
    CFd client = BoundSocket(false, SOCK_DGRAM, &clientPort);
    const std::string big = Pattern(6000);
    SendDatagram(client.Get(), port, big);
    CBuffer datagram;
    ASSERT_EQ(m_socket.WaitDatagram(datagram), S_OK);
    EXPECT_EQ(datagram.Length(), CSocket::MIN_DATAGRAM_READ);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(datagram.Data()), datagram.Length()),
              big.substr(0, CSocket::MIN_DATAGRAM_READ));
    EXPECT_TRUE(m_log.Contains("warning: recv returned WSAEMSGSIZE"));
}

TEST_F(UdpTest, FilterDropsBlockedSourcesAndWaitTimesOut)
{
    const uint16_t port = ListenUdp("~127.0.0.1", 200);
    uint16_t clientPort = 0;
    CFd client = BoundSocket(false, SOCK_DGRAM, &clientPort);
    SendDatagram(client.Get(), port, "spam");
    CBuffer datagram;
    EXPECT_EQ(m_socket.WaitDatagram(datagram), IO_E_READ_TIMEOUT);
    EXPECT_TRUE(m_log.Contains("blocked incoming packet from 127.0.0.1:" + std::to_string(clientPort) +
                               " (discarding 4 bytes)!"));
}

TEST_F(UdpTest, CloseCountsQueuedDatagramBytes)
{
    const uint16_t port = ListenUdp("");
    uint16_t clientPort = 0;
    CFd client = BoundSocket(false, SOCK_DGRAM, &clientPort);
    SendDatagram(client.Get(), port, "12345");
    SendDatagram(client.Get(), port, "678");
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            m_socket.ReceiveAvailable(4096);
            return m_socket.QueuedDatagrams() == 2;
        }));
    EXPECT_TRUE(m_socket.DataReady());
    m_socket.Close();
    EXPECT_TRUE(m_log.Contains("Discarded 8 received bytes"));
    EXPECT_FALSE(m_socket.IsListenMode());
}

TEST(SocketTexts, AddressAndPeerTexts)
{
    struct Case
    {
        const char* address;
        uint16_t port;
        const char* formatted;
        const char* peer;
    };
    for (const Case c : {Case{"192.168.1.7", 502, "192.168.1.7:502", "192.168.1.7:502"},
                         Case{"::1", 1883, "[::1]:1883", "[::1]:1883"},
                         Case{"2001:db8:0:0:1:0:0:1", 80, "[2001:db8::1:0:0:1]:80", "[2001:db8::1:0:0:1]:80"},
                         Case{"fe80:0:0:1::", 1, "[fe80:0:0:1::]:1", "[fe80:0:0:1::]:1"},
                         Case{"1:2:3:4:5:6:7:8", 2, "[1:2:3:4:5:6:7:8]:2", "[1:2:3:4:5:6:7:8]:2"},
                         Case{"1:0:2:3:4:5:6:7", 3, "[1:0:2:3:4:5:6:7]:3", "[1:0:2:3:4:5:6:7]:3"}})
    {
        SSocketAddress a;
        const bool v6 = std::strchr(c.address, ':') != nullptr;
        ASSERT_EQ(NetParseLiteral(c.address, v6, c.port, &a), EParseResult::Parsed) << c.address;
        EXPECT_EQ(CSocket::FormatAddress(a), c.formatted);
        AddressRecord r;
        NetDecodeAddress(a, &r);
        EXPECT_EQ(PeerText(r, true), c.peer);
    }
    SSocketAddress unknown;
    unknown.length = 16;
    unknown.bytes[0] = 1; // AF_UNIX
    EXPECT_EQ(CSocket::FormatAddress(unknown), "<fam=1;0.0.0.0:0>");
    EXPECT_EQ(PeerText(static_cast<IIOPeer*>(nullptr), true), "");
}

TEST(SocketTexts, ListLocalAddressesIncludesLoopback)
{
    std::vector<std::string> addresses;
    ASSERT_EQ(CSocket::ListLocalAddresses(false, addresses), S_OK);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
}

TEST(SocketErrors, LinuxCodesCarryWindowsNames)
{
    struct Case
    {
        int code;
        const char* name;
    };
    for (const Case c :
         {Case{ECONNREFUSED, "WSAECONNREFUSED"}, Case{EWOULDBLOCK, "WSAEWOULDBLOCK"},
          Case{ECONNRESET, "WSAECONNRESET"}, Case{ETIMEDOUT, "WSAETIMEDOUT"},
          Case{EADDRINUSE, "WSAEADDRINUSE"}, Case{EHOSTUNREACH, "WSAEHOSTUNREACH"},
          Case{EAI_NONAME, "WSAHOST_NOT_FOUND"}, Case{EAI_AGAIN, "WSATRY_AGAIN"}, Case{12345, "(unknown)"}})
        EXPECT_STREQ(NetErrorName(c.code), c.name) << c.code;
}
