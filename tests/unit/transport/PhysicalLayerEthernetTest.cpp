// The physical layer's thread over the Ethernet medium against loopback servers that the
// tests start, stop and restart: connect, loss, reconnection schedule, give-up, inactivity,
// backup addresses, manual selection, forced disconnection, listen mode, transactions,
// statistics, simulator rerouting and prompt stops.
#include "PhysicalLayerTestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <thread>

namespace
{
using Events = std::vector<int32_t>;

class EthernetLayerTest : public ::testing::Test
{
protected:
    CTestConfig& Config() { return m_config; }
    CLayerRun& Run()
    {
        if (!m_run)
            m_run = std::make_unique<CLayerRun>(m_log.Globals(), m_config);
        return *m_run;
    }
    // Sends one packet through the layer's request handler.
    HRESULT Send(const std::string& bytes, SIORequestCounters* counters = nullptr)
    {
        CBuffer packet;
        packet.Append(bytes.data(), static_cast<uint32_t>(bytes.size()));
        return Run().layer->Transact(&packet, nullptr, counters);
    }
    SPhysicalLayerStatistics Statistics()
    {
        SPhysicalLayerStatistics s;
        EXPECT_EQ(Run().layer->GetStatistics(&s), S_OK);
        return s;
    }

    CSocketLog m_log;
    CTestConfig m_config{m_log.Globals()};
    std::unique_ptr<CLayerRun> m_run;
};

TEST_F(EthernetLayerTest, FirstConnectPostsTheStartEventsAndAcceptsTraffic)
{
    CTcpServer server;
    Config().Main(server.Port());
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_GE(peer.Get(), 0);
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            uint32_t s;
            return Run().layer->GetStatus(&s) == S_OK;
        }));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 6}));
    EXPECT_EQ(Run().host->connects.load(), 1);
    for (const char* line :
         {"INITIALIZING...", "INITIALIZED!", "Request handler enabled", "CONNECTING...", "CONNECTED!"})
        EXPECT_TRUE(m_log.Contains(line)) << line;

    SIORequestCounters counters;
    EXPECT_EQ(Send("hello", &counters), S_OK);
    EXPECT_EQ(counters.sent, 1u);
    EXPECT_EQ(counters.failed, 0u);
    EXPECT_EQ(RecvExactly(peer.Get(), 5), "hello");
    ASSERT_TRUE(SendAll(peer.Get(), "abc", 3));
    EXPECT_TRUE(WaitUntil([&] { return Run().host->Received() == "abc"; }));

    TIOPtr<IIOSocket> socket;
    ASSERT_EQ(Run().layer->QueryInterface(IIOSocket::IID, reinterpret_cast<void**>(socket.Out())), S_OK);
    AddressRecord record{};
    EXPECT_EQ(socket->GetPeerAddress(&record), S_OK);
    TIOPtr<IIOPeerIP> peerObject;
    EXPECT_EQ(socket->GetPeer(peerObject.Out()), S_OK);
    EXPECT_EQ(PeerText(peerObject.Get(), true), "127.0.0.1:" + std::to_string(server.Port()));

    Run().layer->Stop();
    EXPECT_EQ(Run().State(), PLS_STOPPED);
    const Events end = Run().host->FrameworkEvents();
    EXPECT_EQ(Events(end.end() - 3, end.end()), (Events{17, 15, 16}));
    EXPECT_TRUE(Run().host->HasText("Physical layer terminated! (5 bytes sent, 3 bytes received)"));
    EXPECT_TRUE(m_log.Contains("TERMINATED! (5 bytes sent, 3 bytes received)"));
    EXPECT_TRUE(m_log.Contains("Physical layer thread stopped!"));
    EXPECT_EQ(Send("late", &counters), E_FAIL);
    EXPECT_EQ(counters.failed, 1u);
}

TEST_F(EthernetLayerTest, LossReconnectsAtOnceWhenTheRecoverPeriodHasPassed)
{
    CTcpServer server;
    Config().Main(server.Port()).Number("IO.RecoverEnable", 1).Number("IO.RecoverPeriodSec", 0);
    ASSERT_TRUE(Run().Start());
    CFd first = server.Accept();
    ASSERT_GE(first.Get(), 0);
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    first.Reset();
    CFd second = server.Accept();
    ASSERT_GE(second.Get(), 0) << "reconnected";
    ASSERT_TRUE(Run().host->WaitEvent(10));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 6, 7, 8, 10}));
    EXPECT_TRUE(m_log.Contains("CONNECTION LOST!"));
    EXPECT_TRUE(m_log.Contains("RECONNECTED!"));
    EXPECT_EQ(Run().host->disconnects.load(), 1);
    EXPECT_EQ(Run().host->connects.load(), 2);
}

TEST_F(EthernetLayerTest, LossInsideTheRecoverPeriodIsPostponed)
{
    auto server = std::make_unique<CTcpServer>();
    const uint16_t port = server->Port();
    Config().Main(port).Number("IO.RecoverEnable", 1).Number("IO.RecoverPeriodSec", 3600);
    ASSERT_TRUE(Run().Start());
    CFd first = server->Accept();
    ASSERT_GE(first.Get(), 0);
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    server->Close();
    first.Reset();
    ASSERT_TRUE(m_log.WaitFor("RECONNECT POSTPONED!"));
    EXPECT_EQ(Run().State(), PLS_DISCONNECTED);
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 6, 7}));
}

TEST_F(EthernetLayerTest, GivesUpAfterTheConfiguredTries)
{
    Config()
        .Main(FreeTcpPort())
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 0)
        .Number("IO.GiveUpEnable", 1)
        .Number("IO.GiveUpTries", 3);
    ASSERT_TRUE(Run().Start());
    ASSERT_TRUE(Run().host->WaitEvent(18));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 5, 12, 13, 12, 13, 17, 18}));
    EXPECT_TRUE(Run().host->HasText("Failed to reconnect physical layer (retry #1)!"));
    EXPECT_TRUE(Run().host->HasText("Failed to reconnect physical layer (retry #2)!"));
    EXPECT_EQ(Run().host->CountEvents(PL_EVENT_SOURCE_ETHERNET, 0), 3u) << "one error per attempt";
    EXPECT_TRUE(m_log.Contains("ABORTING... (maximum number of reconnections was exceeded)"));
    EXPECT_TRUE(m_log.Contains("ABORTED!"));
    EXPECT_TRUE(Run().WaitState(PLS_STOPPED));
    uint32_t state;
    EXPECT_EQ(Run().layer->GetStatus(&state), S_OK);
    EXPECT_EQ(Send("x"), E_FAIL);

    Run().layer->Stop(); // returns although the thread idles after giving up
    EXPECT_TRUE(m_log.Contains("Physical layer thread stopped!"));
    EXPECT_EQ(Run().host->FrameworkEvents().back(), 16);
}

TEST_F(EthernetLayerTest, RecoverOffGivesUpAtTheFirstFailure)
{
    Config().Main(FreeTcpPort());
    ASSERT_TRUE(Run().Start());
    ASSERT_TRUE(Run().host->WaitEvent(18));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 5, 17, 18}));
}

TEST_F(EthernetLayerTest, RecoverOffGivesUpAfterALoss)
{
    CTcpServer server;
    Config().Main(server.Port());
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    peer.Reset();
    ASSERT_TRUE(Run().host->WaitEvent(18));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 6, 7, 17, 18}));
    EXPECT_FALSE(server.HasCaller(0));
}

TEST_F(EthernetLayerTest, InactivityDisconnectsASilentLink)
{
    CTcpServer server;
    Config()
        .Main(server.Port())
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 3600)
        .Number("IO.InactivityEnable", 1)
        .Number("IO.InactivityPeriodSec", 1);
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    ASSERT_TRUE(Run().host->WaitEvent(19));
    EXPECT_TRUE(Run().host->HasText("Physical layer non-responsive for 1 seconds, disconnecting..."));
    EXPECT_TRUE(m_log.Contains("Closing connection, the channel is inactive for '"));
    EXPECT_TRUE(m_log.Contains("msec (max=1000)!"));
    EXPECT_EQ(Run().State(), PLS_DISCONNECTED);
    EXPECT_EQ(Run().host->disconnects.load(), 1);
}

TEST_F(EthernetLayerTest, MainDownSwitchesToTheBackupAndStaysThere)
{
    CTcpServer backup;
    const uint16_t mainPort = FreeTcpPort();
    Config()
        .Main(mainPort)
        .Backup(backup.Port())
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 3600);
    ASSERT_TRUE(Run().Start());
    CFd first = backup.Accept();
    ASSERT_GE(first.Get(), 0);
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    EXPECT_TRUE(
        Run().host->HasText("Error connecting to 127.0.0.1 on port " + std::to_string(mainPort) + ": "));
    EXPECT_TRUE(m_log.Contains("trying connection with alternate IP"));
    EXPECT_TRUE(m_log.Contains("Main IP switched to 127.0.0.1 (port " + std::to_string(backup.Port()) + ")"));
    EXPECT_EQ(Run().layer->ActiveIndex(), 1u);

    // A reconnection that may not switch starts from the backup, not from the main address.
    EXPECT_EQ(Run().layer->ForceDisconnect(false), S_OK);
    EXPECT_TRUE(m_log.Contains("Driver forced socket disconnection (switchover NOT allowed)!"));
    CFd second = backup.Accept();
    ASSERT_GE(second.Get(), 0);
    ASSERT_TRUE(Run().host->WaitEvent(10));
    EXPECT_EQ(Run().host->CountEvents(PL_EVENT_SOURCE_ETHERNET, 0), 1u)
        << "the main address was not tried again";
    EXPECT_EQ(Run().layer->ActiveIndex(), 1u);
}

TEST_F(EthernetLayerTest, AllAddressesDownTriesEachOnceAndKeepsTheIndex)
{
    Config().Main(FreeTcpPort()).Backup(FreeTcpPort());
    ASSERT_TRUE(Run().Start());
    ASSERT_TRUE(Run().host->WaitEvent(18));
    EXPECT_EQ(Run().host->CountEvents(PL_EVENT_SOURCE_ETHERNET, 0), 2u);
    EXPECT_TRUE(Run().host->HasText("(backup IP): "));
    EXPECT_EQ(Run().layer->ActiveIndex(), 0u);
}

TEST_F(EthernetLayerTest, RemoteCloseSwitchesAutomaticallyToTheBackup)
{
    CTcpServer main;
    CTcpServer backup;
    Config()
        .Main(main.Port())
        .Backup(backup.Port())
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 3600);
    ASSERT_TRUE(Run().Start());
    CFd first = main.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    first.Reset();
    CFd second = backup.Accept();
    ASSERT_GE(second.Get(), 0);
    EXPECT_TRUE(m_log.WaitFor("Automatic switchover to backup IP ('127.0.0.1')!"));
    ASSERT_TRUE(Run().host->WaitEvent(10));
    EXPECT_EQ(Run().layer->ActiveIndex(), 1u);
}

TEST_F(EthernetLayerTest, ManualSelectionReconnectsAtOnceToTheSelectedAddress)
{
    CTcpServer main;
    CTcpServer backup;
    Config()
        .Main(main.Port())
        .Backup(backup.Port())
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 3600);
    ASSERT_TRUE(Run().Start());
    CFd first = main.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    HVALUE v = hvCreate();
    hvSetI32(v, 1);
    TagRequest request{};
    request.size = 1;
    EXPECT_EQ(Run().layer->WriteParameter(PL_GROUP_ETHERNET, PL_ITEM_IP_SELECT, &request, v), S_OK);
    hvRelease(v);
    EXPECT_TRUE(m_log.Contains("Manual select backup IP ('127.0.0.1:" + std::to_string(backup.Port()) +
                               "') as active!"));
    EXPECT_TRUE(m_log.Contains("Forcing reconnection to apply new active IP"));
    CFd second = backup.Accept();
    ASSERT_GE(second.Get(), 0);
    ASSERT_TRUE(Run().host->WaitEvent(10));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 4, 6, 7, 8, 10}));
}

TEST_F(EthernetLayerTest, ForceDisconnectWithSwitchMovesToTheNextAddress)
{
    CTcpServer main;
    CTcpServer backup;
    Config()
        .Main(main.Port())
        .Backup(backup.Port())
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 3600);
    ASSERT_TRUE(Run().Start());
    CFd first = main.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    EXPECT_EQ(Run().layer->ForceDisconnect(true), S_OK);
    EXPECT_TRUE(m_log.Contains("Driver forced socket disconnection (switchover allowed)!"));
    CFd second = backup.Accept();
    ASSERT_GE(second.Get(), 0);
    ASSERT_TRUE(Run().host->WaitEvent(10));
    EXPECT_EQ(Run().layer->ActiveIndex(), 1u);
}

TEST_F(EthernetLayerTest, ManualConnectionModeNeverConnects)
{
    CTcpServer server;
    Config()
        .Main(server.Port())
        .Number("IO.ConnectionMode", 1)
        .Number("IO.RecoverEnable", 1)
        .Number("IO.RecoverPeriodSec", 0);
    ASSERT_TRUE(Run().Start());
    uint32_t state = 0;
    EXPECT_TRUE(WaitUntil([&] { return Run().layer->GetStatus(&state) == S_OK; }));
    EXPECT_EQ(state, PLS_DISCONNECTED);
    EXPECT_FALSE(server.HasCaller(300));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3}));
}

TEST_F(EthernetLayerTest, ListenModeAcceptsACaller)
{
    const uint16_t port = FreeTcpPort();
    Config()
        .Number("IO.Ethernet.AcceptConnection", 1)
        .Number("IO.Ethernet.ListenPort", port)
        .Text("IO.Ethernet.ListenIP", "127.0.0.1");
    ASSERT_TRUE(Run().Start());
    socklen_t len;
    const sockaddr_storage target = LoopbackAddress(false, port, &len);
    CFd caller(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(caller.Get(), reinterpret_cast<const sockaddr*>(&target), len), 0);
    ASSERT_TRUE(Run().host->WaitEvent(11));
    EXPECT_TRUE(m_log.Contains("CONNECTED AUTOMATICALLY!"));
    ASSERT_TRUE(SendAll(caller.Get(), "q", 1));
    EXPECT_TRUE(WaitUntil([&] { return Run().host->Received() == "q"; }));
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 3, 11}));
}

TEST_F(EthernetLayerTest, UdpListenModeHandsDatagramsToTheHost)
{
    uint16_t port = 0;
    {
        CFd probe = BoundSocket(false, SOCK_DGRAM, &port);
    }
    Config()
        .Number("IO.Ethernet.AcceptConnection", 1)
        .Number("IO.Ethernet.ListenPort", port)
        .Text("IO.Ethernet.ListenIP", "127.0.0.1")
        .Text("IO.Ethernet.Transport", "uDp");
    ASSERT_TRUE(Run().Start());
    EXPECT_TRUE(Run().layer->IsUdp());
    ASSERT_TRUE(Run().host->WaitEvent(11));
    CFd sender(::socket(AF_INET, SOCK_DGRAM, 0));
    socklen_t len;
    const sockaddr_storage target = LoopbackAddress(false, port, &len);
    ASSERT_EQ(::sendto(sender.Get(), "xyz", 3, 0, reinterpret_cast<const sockaddr*>(&target), len), 3);
    EXPECT_TRUE(WaitUntil([&] { return Run().host->Received() == "x"; }));
    EXPECT_TRUE(m_log.WaitFor("Discarding 2 trailing bytes on UDP datagram"));
}

TEST_F(EthernetLayerTest, StatisticsFollowConnectTrafficAndDisconnect)
{
    CTcpServer server;
    Config().Main(server.Port()).Number("IO.RecoverEnable", 1).Number("IO.RecoverPeriodSec", 3600);
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    ASSERT_TRUE(SendAll(peer.Get(), "12345", 5));
    ASSERT_TRUE(WaitUntil([&] { return Run().host->Received().size() == 5; }));
    ASSERT_EQ(Send("abc"), S_OK);
    SPhysicalLayerStatistics s = Statistics();
    EXPECT_EQ(s.Total.ConnectionCount, 1u);
    EXPECT_EQ(s.Total.BytesRecv, 5u);
    EXPECT_EQ(s.Total.BytesSent, 3u);
    EXPECT_EQ(s.Partial.BytesRecv, 5u);
    EXPECT_EQ(s.Partial.BytesSent, 3u);
    EXPECT_EQ(s.Partial.TimeDisconnected, 0u);
    EXPECT_EQ(s.Partial.ConnectionCount, 0u);

    peer.Reset();
    ASSERT_TRUE(m_log.WaitFor("RECONNECT POSTPONED!"));
    s = Statistics();
    EXPECT_EQ(s.Total.ConnectionCount, 1u);
    EXPECT_EQ(s.Total.BytesRecv, 5u);
    EXPECT_EQ(s.Total.BytesSent, 3u);
    EXPECT_EQ(s.Partial.BytesRecv, 0u);
    EXPECT_EQ(s.Partial.BytesSent, 0u);
    EXPECT_EQ(s.Partial.TimeConnected, 0u);
    EXPECT_GE(s.Total.TimeConnected + s.Total.TimeDisconnected, s.Partial.TimeDisconnected);
}

TEST_F(EthernetLayerTest, HostWithoutUnsolicitedDataLeavesBytesUnread)
{
    CTcpServer server;
    Config().Main(server.Port());
    Run().host->receiveUnsolicited = false;
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    ASSERT_TRUE(SendAll(peer.Get(), "zz", 2));
    // A request still runs while unread bytes wait on the socket.
    EXPECT_EQ(Send("ok"), S_OK);
    EXPECT_EQ(RecvExactly(peer.Get(), 2), "ok");
    EXPECT_EQ(Run().host->Received(), "");
}

TEST_F(EthernetLayerTest, ConcurrentTransactionsAreSerialised)
{
    CTcpServer server;
    Config().Main(server.Port());
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> senders;
    std::atomic<int> ok{0};
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back(
            [&, t]
            {
                for (int i = 0; i < kEach; ++i)
                    ok += Send(std::string(1, char('a' + t))) == S_OK ? 1 : 0;
            });
    for (std::thread& t : senders)
        t.join();
    EXPECT_EQ(ok.load(), kThreads * kEach);
    EXPECT_EQ(RecvExactly(peer.Get(), kThreads * kEach).size(), size_t(kThreads * kEach));
}

TEST_F(EthernetLayerTest, StopReturnsDuringAConnectThatDoesNotComplete)
{
    // A listener whose accept queue is full leaves further connects in progress.
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
    Config().Main(port).Number("IO.RecoverEnable", 1).Number("IO.RecoverPeriodSec", 0);
    ASSERT_TRUE(Run().Start());
    ASSERT_TRUE(m_log.WaitFor("CONNECTING..."));
    uint32_t state;
    EXPECT_EQ(Run().layer->GetStatus(&state), IO_S_STARTING);
    Run().layer->Stop();
    EXPECT_EQ(Run().State(), PLS_STOPPED);
    EXPECT_TRUE(m_log.Contains("Physical layer thread stopped!"));
}

TEST_F(EthernetLayerTest, FailedInitialisationEndsTheThreadAndStartReportsIt)
{
    // Without a TLS session in the build a layer configured for TLS must not run in plain.
    Config().Main(FreeTcpPort()).Number("IO.Ethernet.UseSSL", 1);
    EXPECT_FALSE(Run().Start());
    EXPECT_EQ(Run().host->FrameworkEvents(), (Events{1, 2}));
    EXPECT_TRUE(m_log.Contains("INITIALIZATION FAILED!"));
    EXPECT_EQ(Run().State(), PLS_STOPPED);
    EXPECT_EQ(Send("x"), E_FAIL);
    Run().layer->Stop();
}

TEST_F(EthernetLayerTest, TransactionReadsTheResponseOrCountsATimeout)
{
    CTcpServer server;
    Config().Main(server.Port()).Number("IO.TimeoutMs", 200);
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    std::thread answer(
        [&]
        {
            if (RecvExactly(peer.Get(), 1) == "?")
                SendAll(peer.Get(), "!", 1);
        });
    CBuffer request;
    request.Append("?", 1);
    CBuffer response;
    SIORequestCounters counters;
    EXPECT_EQ(Run().layer->Transact(&request, &response, &counters), S_OK);
    answer.join();
    ASSERT_EQ(response.Length(), 1u);
    EXPECT_EQ(response.Data()[0], '!');
    EXPECT_EQ(counters.sent, 1u);

    EXPECT_EQ(Run().layer->Transact(&request, &response, &counters), IO_E_READ_TIMEOUT);
    EXPECT_EQ(counters.sent, 1u);
    EXPECT_EQ(counters.timeouts, 1u);
    EXPECT_EQ(counters.receiveErrors, 0u);
    EXPECT_EQ(Run().State(), PLS_CONNECTED) << "a silent answer is not a loss";
}

TEST_F(EthernetLayerTest, PingBeforeConnectLetsAnAnsweringHostThrough)
{
    CTcpServer server;
    Config()
        .Main(server.Port())
        .Number("IO.Ethernet.PingEnable", 1)
        .Number("IO.Ethernet.PingTimeoutMs", 1000)
        .Number("IO.Ethernet.PingTries", 1);
    ASSERT_TRUE(Run().Start());
    CFd peer = server.Accept();
    ASSERT_GE(peer.Get(), 0);
    EXPECT_TRUE(Run().WaitState(PLS_CONNECTED));
}

class SimulatedEthernetTest : public EthernetLayerTest
{
protected:
    void SetUp() override { setenv("DRAVO_SIMULATOR_CONF", m_dir.File("sim.reg").c_str(), 1); }
    void TearDown() override { unsetenv("DRAVO_SIMULATOR_CONF"); }

    TempDir m_dir{"dravo-simlayer"};
};

TEST_F(SimulatedEthernetTest, ConnectionsGoToTheSimulatorWithPreambles)
{
    CTcpServer simulator;
    const std::string settings = "[Software\\Velora Software\\Dravo]\n\"EnableTCPSimulation\"=dword:1\n"
                                 "\"SimulatorIP\"=\"127.0.0.1\"\n\"SimulatorPort\"=dword:" +
                                 [&]
    {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "%x", simulator.Port());
        return std::string(hex);
    }() + "\n";
    ASSERT_TRUE(WriteFileText(m_dir.File("sim.reg"), settings));
    Config().Text("IO.Ethernet.MainIP", "127.0.0.9").Number("IO.Ethernet.MainPort", 1883);
    ASSERT_TRUE(Run().Start());
    CFd peer = simulator.Accept();
    ASSERT_GE(peer.Get(), 0);
    ASSERT_TRUE(Run().WaitState(PLS_CONNECTED));
    EXPECT_TRUE(m_log.Contains(
        "Simulation ENABLED (127.0.0.9:1883 routed to 127.0.0.1:" + std::to_string(simulator.Port()) + ")"));

    ASSERT_EQ(Send("abc"), S_OK);
    const std::string head = RecvExactly(peer.Get(), 10);
    ASSERT_EQ(head.substr(0, 6), "SYMXX:");
    const uint32_t size = uint8_t(head[6]) | uint32_t(uint8_t(head[7])) << 8 |
                          uint32_t(uint8_t(head[8])) << 16 | uint32_t(uint8_t(head[9])) << 24;
    EXPECT_GT(size, 0u);
    EXPECT_EQ(RecvExactly(peer.Get(), size).size(), size);
    EXPECT_EQ(RecvExactly(peer.Get(), 13), std::string("SYMTX:\x03\0\0\0abc", 13));

    ASSERT_EQ(Send("de"), S_OK) << "the snapshot goes once per peer";
    EXPECT_EQ(RecvExactly(peer.Get(), 12), std::string("SYMTX:\x02\0\0\0de", 12));
}
} // namespace
