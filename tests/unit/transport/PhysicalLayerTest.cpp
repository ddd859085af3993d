// The physical layer's decisions on synthetic ticks, its statistics, the simulator framing
// and settings, creation by type, and manual address selection on a layer that is not
// running.
#include "PhysicalLayerTestSupport.h"
#include "platform/SimulatorSettings.h"

#include <cstring>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace
{
struct AttemptCase
{
    bool attempted;
    uint32_t last;
    uint32_t periodSec;
    uint32_t now;
    bool expected;
};

TEST(PhysicalLayerScheduleTest, MayAttemptOncePerRecoverPeriod)
{
    const AttemptCase cases[] = {
        {false, 0, 30, 0, true},                    // nothing attempted yet
        {false, 5000, 30, 5001, true},              // even right after a start
        {true, 1000, 30, 30999, false},             // one ms short of the period
        {true, 1000, 30, 31000, true},              // exactly one period
        {true, 1000, 0, 1000, true},                // period 0: always
        {true, 0xFFFFF000u, 5, 0x00000388u, true},  // 5000 ms across the wrap
        {true, 0xFFFFF000u, 5, 0x00000387u, false}, // 4999 ms across the wrap
        {true, 0, 5000000, 0xFFFFFFFFu, false},     // a period longer than the tick range
    };
    for (const AttemptCase& c : cases)
        EXPECT_EQ(PhysicalLayerSchedule::MayAttempt(c.attempted, c.last, c.periodSec, c.now), c.expected)
            << c.attempted << " " << c.last << " " << c.periodSec << " " << c.now;
}

TEST(PhysicalLayerScheduleTest, GivesUpOnlyWhenEnabledAndTriesReached)
{
    struct Case
    {
        bool enable;
        uint32_t retries;
        uint32_t tries;
        bool expected;
    } const cases[] = {
        {false, 100, 3, false}, {true, 2, 3, false}, {true, 3, 3, true},
        {true, 1, 1, true},     {true, 0, 0, true},  {true, 4, 3, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PhysicalLayerSchedule::ShouldGiveUp(c.enable, c.retries, c.tries), c.expected)
            << c.enable << " " << c.retries << " " << c.tries;
}

TEST(PhysicalLayerScheduleTest, InactivityAfterMoreThanThePeriod)
{
    struct Case
    {
        bool enable;
        uint32_t periodSec;
        uint32_t since;
        uint32_t now;
        bool expected;
    } const cases[] = {
        {true, 10, 1000, 11000, false}, // exactly the period is not more
        {true, 10, 1000, 11001, true},
        {false, 10, 1000, 99000, false},           // switched off
        {true, 0, 1000, 99000, false},             // period 0 switches the check off
        {true, 1, 0xFFFFFF00u, 0x000002E9u, true}, // 1001 ms across the wrap
    };
    for (const Case& c : cases)
        EXPECT_EQ(PhysicalLayerSchedule::InactivityExpired(c.enable, c.periodSec, c.since, c.now), c.expected)
            << c.periodSec << " " << c.since << " " << c.now;
}

TEST(PhysicalLayerScheduleTest, StatisticsAcrossConnectTrafficAndDisconnect)
{
    PhysicalLayerStats stats;
    stats.lastUpdateTick = 1000;
    PhysicalLayerSchedule::UpdateStatistics(stats, false, 3000); // 2 s disconnected
    EXPECT_EQ(stats.Total.TimeDisconnected, 2000u);
    EXPECT_EQ(stats.Partial.TimeDisconnected, 2000u);

    PhysicalLayerSchedule::UpdateStatistics(stats, true, 3500); // connects
    EXPECT_EQ(stats.Total.ConnectionCount, 1u);
    EXPECT_EQ(stats.Total.TimeDisconnected, 2500u);
    EXPECT_EQ(stats.Partial.TimeDisconnected, 0u) << "restarts when a connection begins";
    EXPECT_EQ(stats.Partial.ConnectionCount, 0u);

    stats.Total.BytesSent = stats.Partial.BytesSent = 10;
    stats.Total.BytesRecv = stats.Partial.BytesRecv = 20;
    PhysicalLayerSchedule::UpdateStatistics(stats, true, 6000); // a reading while connected
    EXPECT_EQ(stats.Partial.TimeConnected, 2500u);
    PhysicalLayerSchedule::UpdateStatistics(stats, false, 8500); // 5 s connected in all, then lost
    EXPECT_EQ(stats.Total.TimeConnected, 5000u);
    EXPECT_EQ(stats.Partial.TimeConnected, 0u);
    EXPECT_EQ(stats.Partial.BytesSent, 0u);
    EXPECT_EQ(stats.Partial.BytesRecv, 0u);
    EXPECT_EQ(stats.Total.BytesSent, 10u);
    EXPECT_EQ(stats.Total.BytesRecv, 20u);
    EXPECT_FALSE(stats.countsAsConnected);

    PhysicalLayerSchedule::UpdateStatistics(stats, false, 9500);
    EXPECT_EQ(stats.Partial.TimeDisconnected, 1000u);
    EXPECT_EQ(stats.Total.TimeDisconnected, 3500u);
    PhysicalLayerSchedule::UpdateStatistics(stats, true, 9500); // a reconnection at the same tick
    EXPECT_EQ(stats.Total.ConnectionCount, 2u);
    PhysicalLayerSchedule::UpdateStatistics(stats, true, 9500); // nothing changed: nothing counted
    EXPECT_EQ(stats.Total.ConnectionCount, 2u);
}

TEST(PhysicalLayerScheduleTest, StatisticsSurviveTheTickWrap)
{
    PhysicalLayerStats stats;
    stats.lastUpdateTick = 0xFFFFFC18u; // 1000 ms before the wrap
    PhysicalLayerSchedule::UpdateStatistics(stats, true, 0);
    PhysicalLayerSchedule::UpdateStatistics(stats, true, 500);
    EXPECT_EQ(stats.Total.TimeDisconnected, 1000u);
    EXPECT_EQ(stats.Total.TimeConnected, 500u);
}

TEST(PhysicalLayerFramingTest, PreamblesCarryMagicAndLittleEndianLength)
{
    CBuffer length;
    ASSERT_EQ(CPhysicalLayer_Ethernet::MakeLengthPreamble(0x01020304u, length), S_OK);
    const uint8_t expectedLength[] = {'S', 'Y', 'M', 'T', 'X', ':', 0x04, 0x03, 0x02, 0x01};
    ASSERT_EQ(length.Length(), sizeof(expectedLength));
    EXPECT_EQ(std::memcmp(length.Data(), expectedLength, sizeof(expectedLength)), 0);

    const uint8_t snapshot[] = {0xAA, 0xBB, 0xCC};
    CBuffer framed;
    ASSERT_EQ(CPhysicalLayer_Ethernet::MakeSnapshotPreamble(snapshot, sizeof(snapshot), framed), S_OK);
    const uint8_t expectedSnapshot[] = {'S', 'Y', 'M', 'X', 'X', ':', 3, 0, 0, 0, 0xAA, 0xBB, 0xCC};
    ASSERT_EQ(framed.Length(), sizeof(expectedSnapshot));
    EXPECT_EQ(std::memcmp(framed.Data(), expectedSnapshot, sizeof(expectedSnapshot)), 0);
}

class SimulatorSettingsTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("DRAVO_SIMULATOR_CONF", m_dir.File("sim.reg").c_str(), 1); }
    void TearDown() override { unsetenv("DRAVO_SIMULATOR_CONF"); }
    bool Write(const std::string& text) { return WriteFileText(m_dir.File("sim.reg"), text); }

    TempDir m_dir{"dravo-sim"};
};

TEST_F(SimulatorSettingsTest, MissingFileOrSwitchLeavesItOff)
{
    EXPECT_FALSE(ReadSimulatorSettings().enabled);
    ASSERT_TRUE(Write("[Software\\Velora Software\\Dravo]\n\"SimulatorPort\"=dword:00001000\n"));
    EXPECT_FALSE(ReadSimulatorSettings().enabled);
    ASSERT_TRUE(Write("[Software\\Velora Software\\Dravo]\n\"EnableTCPSimulation\"=dword:0\n"));
    EXPECT_FALSE(ReadSimulatorSettings().enabled);
    ASSERT_TRUE(Write("[Software\\Other]\n\"EnableTCPSimulation\"=dword:1\n"));
    EXPECT_FALSE(ReadSimulatorSettings().enabled);
}

TEST_F(SimulatorSettingsTest, ReadsPortAndHostWhenPresent)
{
    ASSERT_TRUE(Write("[Software\\Velora Software\\Dravo]\n\"EnableTCPSimulation\"=dword:00000001\n"
                      "\"SimulatorPort\"=dword:0000075b\n\"SimulatorIP\"=\"127.0.0.2\"\n"));
    SSimulatorSettings s = ReadSimulatorSettings();
    EXPECT_TRUE(s.enabled);
    EXPECT_TRUE(s.hasPort);
    EXPECT_EQ(s.port, 0x75Bu);
    EXPECT_TRUE(s.hasHost);
    EXPECT_EQ(s.host, "127.0.0.2");

    ASSERT_TRUE(Write("[Software\\Velora Software\\Dravo]\n\"EnableTCPSimulation\"=dword:00000001\n"));
    s = ReadSimulatorSettings();
    EXPECT_TRUE(s.enabled);
    EXPECT_FALSE(s.hasPort);
    EXPECT_FALSE(s.hasHost);
}

TEST(PhysicalLayerCreateTest, TypeNamesSelectTheMedium)
{
    CSocketLog log;
    CTestConfig config(log.Globals());
    TIOPtr<CTestHost> host = CTestHost::Create();
    struct Case
    {
        const char* type;
        HRESULT expected;
    } const cases[] = {
        {"Ethernet", S_OK},           {"e", S_OK},
        {"ETHERNET", S_OK},           {"None", IO_E_NO_INTERFACE},
        {"n", IO_E_NO_INTERFACE},     {"", IO_E_NO_INTERFACE},
        {nullptr, IO_E_NO_INTERFACE}, {"Serial", E_FAIL},
    };
    for (const Case& c : cases)
    {
        TIOPtr<CPhysicalLayer> layer;
        EXPECT_EQ(CPhysicalLayer::Create(c.type, log.Globals(), host.Get(), config.Store(), &layer),
                  c.expected)
            << (c.type ? c.type : "(null)");
        EXPECT_EQ(static_cast<bool>(layer), c.expected == S_OK);
        if (layer)
        {
            TIOPtr<IIOSocket> socket;
            EXPECT_EQ(layer->QueryInterface(IIOSocket::IID, reinterpret_cast<void**>(socket.Out())), S_OK);
            AddressRecord record{};
            EXPECT_EQ(socket->GetPeerAddress(&record), IO_E_NOT_CONNECTED);
            EXPECT_EQ(socket->GetPeer(nullptr), E_POINTER);
            EXPECT_EQ(socket->GetChannel(), 0u);
        }
    }
}

TEST(PhysicalLayerCreateTest, UnstartedLayerRefusesTransactionsAndReportsStopped)
{
    CSocketLog log;
    CTestConfig config(log.Globals());
    CLayerRun run(log.Globals(), config);
    CBuffer packet;
    packet.Append("x", 1);
    SIORequestCounters counters;
    counters.sent = 7;
    EXPECT_EQ(run.layer->Transact(&packet, nullptr, &counters), E_FAIL);
    EXPECT_EQ(counters.failed, 1u);
    EXPECT_EQ(counters.sent, 0u);
    uint32_t state = 9;
    EXPECT_EQ(run.layer->GetStatus(&state), S_OK);
    EXPECT_EQ(state, PLS_STOPPED);
    EXPECT_EQ(run.layer->ForceDisconnect(true), S_FALSE) << "no data socket: nothing to do";
}

TEST(PhysicalLayerCreateTest, TransportTextSelectsUdpInAnyCase)
{
    CSocketLog log;
    struct Case
    {
        const char* text;
        bool udp;
    } const cases[] = {{"UDP", true},  {"udp", true}, {"uDp", true},
                       {"TCP", false}, {"", false},   {"SCTP", false}};
    for (const Case& c : cases)
    {
        CTestConfig config(log.Globals());
        config.Text("IO.Ethernet.Transport", c.text);
        CLayerRun run(log.Globals(), config);
        EXPECT_EQ(run.layer->IsUdp(), c.udp) << c.text;
    }
}

// Manual selection on a layer whose thread is not running: every answer and log line.
class ManualSelectionTest : public ::testing::Test
{
protected:
    HRESULT Write(uint32_t item, HVALUE value, uint16_t size = 1)
    {
        TagRequest request{};
        request.size = size;
        request.count = size;
        return m_run->layer->WriteParameter(PL_GROUP_ETHERNET, item, &request, value);
    }
    HRESULT WriteNumber(uint32_t item, int32_t number)
    {
        HVALUE v = hvCreate();
        hvSetI32(v, number);
        const HRESULT hr = Write(item, v);
        hvRelease(v);
        return hr;
    }
    void Make(bool withBackups)
    {
        m_config.Main(1001);
        if (withBackups)
            m_config.Backup(1002)
                .Number("IO.Ethernet.BackupEnable3", 1)
                .Text("IO.Ethernet.BackupIP3", "127.0.0.1")
                .Number("IO.Ethernet.BackupPort3", 1004);
        m_run = std::make_unique<CLayerRun>(m_log.Globals(), m_config);
    }

    CSocketLog m_log;
    CTestConfig m_config{m_log.Globals()};
    std::unique_ptr<CLayerRun> m_run;
};

TEST_F(ManualSelectionTest, SelectValidatesIndexEnableAndTagShape)
{
    Make(true);
    struct Case
    {
        int32_t index;
        HRESULT expected;
        const char* line;
        uint32_t activeAfter;
    } const cases[] = {
        {2, E_FAIL, "Cannot select active IP (the backup2 IP is not enabled)", 0},
        {7, E_INVALIDARG, "Cannot select active IP (invalid parameter (7), must be in the range from 0 to 3)",
         0},
        {-1, E_INVALIDARG,
         "Cannot select active IP (invalid parameter (-1), must be in the range from 0 to 3)", 0},
        {0, S_OK, "No change (the main IP is currently active)", 0},
        {3, S_OK, "Manual select backup3 IP ('127.0.0.1:1004') as active!", 3},
        {1, S_OK, "Manual select backup IP ('127.0.0.1:1002') as active!", 1},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(WriteNumber(PL_ITEM_IP_SELECT, c.index), c.expected) << c.index;
        EXPECT_TRUE(m_log.Contains(c.line)) << c.line;
        EXPECT_EQ(m_run->layer->ActiveIndex(), c.activeAfter) << c.index;
    }
    EXPECT_FALSE(m_log.Contains("Forcing reconnection")) << "nothing is connected";

    HVALUE text = hvCreate();
    hvSetText(text, "abc");
    EXPECT_EQ(Write(PL_ITEM_IP_SELECT, text), E_INVALIDARG);
    EXPECT_TRUE(m_log.Contains("Invalid argument, cannot convert value (abc) to an integer"));
    hvSetText(text, "0");
    EXPECT_EQ(Write(PL_ITEM_IP_SELECT, text), S_OK) << "a text holding a number converts";
    EXPECT_EQ(m_run->layer->ActiveIndex(), 0u);
    EXPECT_EQ(Write(PL_ITEM_IP_SELECT, text, 4), IO_E_INVALID_TAG_TYPE);
    EXPECT_TRUE(m_log.Contains("Invalid tag type, only simple I/O Tags or one-element blocks are supported"));
    EXPECT_EQ(Write(5, text), IO_E_INVALID_PARAMETER);
    EXPECT_TRUE(m_log.Contains("Unknown N4 parameter (5), must be 0 or 1"));
    hvRelease(text);

    TagRequest other{};
    EXPECT_EQ(m_run->layer->WriteParameter(PL_GROUP_GENERAL, PL_ITEM_STATUS, &other, 0), E_FAIL);
}

TEST_F(ManualSelectionTest, SwitchCyclesOverEnabledAddresses)
{
    Make(true);
    HVALUE v = hvCreate();
    hvSetI32(v, 1);
    const uint32_t expected[] = {1, 3, 0, 1};
    for (uint32_t next : expected)
    {
        EXPECT_EQ(Write(PL_ITEM_IP_SWITCH, v), S_OK);
        EXPECT_EQ(m_run->layer->ActiveIndex(), next);
    }
    HVALUE read = hvCreate();
    TagRequest request{};
    request.size = 1;
    EXPECT_EQ(m_run->layer->ReadParameter(PL_GROUP_ETHERNET, PL_ITEM_IP_SELECT, &request, read), S_OK);
    int32_t index = -1;
    EXPECT_TRUE(hvGetI32(read, &index));
    EXPECT_EQ(index, 1);
    EXPECT_EQ(m_run->layer->ReadParameter(PL_GROUP_ETHERNET, PL_ITEM_IP_SWITCH, &request, read), E_FAIL);
    EXPECT_EQ(m_run->layer->ReadParameter(PL_GROUP_GENERAL, PL_ITEM_STATUS, &request, read), S_OK);
    EXPECT_TRUE(hvGetI32(read, &index));
    EXPECT_EQ(index, static_cast<int32_t>(PLS_STOPPED));
    hvRelease(read);
    hvRelease(v);
}

TEST_F(ManualSelectionTest, SwitchWithOnlyTheMainAddressFails)
{
    Make(false);
    HVALUE v = hvCreate();
    hvSetI32(v, 1);
    EXPECT_EQ(Write(PL_ITEM_IP_SWITCH, v), E_FAIL);
    EXPECT_TRUE(m_log.Contains("There are no other IPs enabled to switch to"));
    EXPECT_EQ(m_run->layer->ActiveIndex(), 0u);
    hvRelease(v);
}
} // namespace
