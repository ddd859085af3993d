// The framework end to end through a driver instance, as a SCADA host drives it: the
// line driver's instance receives a stored configuration, starts and stops communication
// and serves reads and writes of framework tags and driver tags through its interfaces.
#include <gtest/gtest.h>

#include <string>

#include "core/BuiltinTags.h"
#include "core/IOGlobals.h"
#include "core/IOHost.h"
#include "support/LineDriver.h"
#include "support/LineDriverServer.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"
#include "unit/valcore/ValueTestSupport.h"

namespace
{
class IOHostInstanceTest : public testing::Test
{
protected:
    IOHostInstanceTest()
    {
        m_factory->QueryInterface(IIODriverInstance::IID, reinterpret_cast<void**>(m_instance.Out()));
        m_factory->QueryInterface(IIOParseTag::IID, reinterpret_cast<void**>(m_parse.Out()));
        EXPECT_TRUE(m_stored.SetI32("IO.Log.Enable", 1));
        EXPECT_TRUE(m_stored.SetText("IO.Log.Filename", LogPath().c_str()));
        EXPECT_TRUE(m_stored.SetU32("IO.TimeoutMs", 1000));
    }
    ~IOHostInstanceTest() override { m_instance->StopComm(0, 0, 0, 0); }

    // Hands the stored configuration to the instance, as drvSetSettingsHandle does.
    void Configure()
    {
        ASSERT_TRUE(m_stored.Save(m_settings));
        m_instance->SetSettingsHandle(m_settings);
    }
    void UseServer()
    {
        ASSERT_TRUE(m_server.Open());
        UsePort(m_server.Port());
    }
    void UsePort(uint16_t port)
    {
        EXPECT_TRUE(m_stored.SetText("IO.Type", "Ethernet"));
        EXPECT_TRUE(m_stored.SetText("IO.Ethernet.MainIP", "127.0.0.1"));
        EXPECT_TRUE(m_stored.SetU32("IO.Ethernet.MainPort", port));
        EXPECT_TRUE(m_stored.SetI32("IO.RecoverEnable", 1));
    }

    std::string LogPath() const { return m_dir.File("instance.log"); }
    bool LogHas(const std::string& fragment) const
    {
        return ReadFileText(LogPath()).find(fragment) != std::string::npos;
    }
    bool WaitLog(const std::string& fragment) const
    {
        return WaitUntil([&] { return LogHas(fragment); });
    }

    // A framework tag addressed by numbers only, as a host sends it before validation.
    HRESULT Framework(uint16_t n4, uint16_t operation, HVALUE field, HVALUE value, HVALUE status = nullptr)
    {
        TagRequest r{};
        r.version = TAG_REQUEST_VERSION_CURRENT;
        r.operation = operation;
        r.count = 1;
        r.size = 1;
        r.n1 = BUILTIN_N1;
        r.n4 = n4;
        r.value = field;
        r.status = status;
        return m_instance->IO(&r, value);
    }
    int32_t ReadI32(uint16_t n4)
    {
        CHeld field, value;
        EXPECT_EQ(Framework(n4, IO_OP_READ_VALUE, field, value), S_OK);
        int32_t x = -1;
        EXPECT_TRUE(hvGetI32(field, &x));
        return x;
    }
    uint32_t Statistic(uint16_t n4)
    {
        CHeld field, value;
        EXPECT_EQ(Framework(n4, IO_OP_READ_VALUE, field, value), S_OK);
        uint32_t x = 0;
        EXPECT_TRUE(hvGetU32(value, &x));
        return x;
    }
    HRESULT WriteWorkOnline(int32_t online)
    {
        CHeld field, value;
        hvSetI32(field, online);
        return Framework(FRAMEWORK_TAG_WORK_ONLINE, IO_OP_WRITE_VALUE, field, value);
    }
    // A tag validated by its item text first, as a host does for named tags.
    HRESULT Named(const char16_t* item, uint16_t operation, HVALUE field, HVALUE value, HVALUE status = nullptr)
    {
        TagInfo info{};
        const HRESULT hr = m_parse->Validate(u"", item, &info);
        if (FAILED(hr))
            return hr;
        TagRequest r{};
        r.version = 5;
        r.operation = operation;
        r.count = 1;
        r.size = 1;
        r.n1 = info.n1;
        r.n2 = info.n2;
        r.n3 = info.n3;
        r.n4 = info.n4;
        r.flags = TAG_REQUEST_VALIDATED;
        r.item = item;
        r.value = field;
        r.status = status;
        return m_instance->IO(&r, value);
    }

    TempDir m_dir{"dravo-instance"};
    TIOPtr<CIOGlobals> m_globals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Driver Test"));
    TIOPtr<CLineFactory> m_factory = CLineFactory::Create(m_globals.Get());
    TIOPtr<IIODriverInstance> m_instance;
    TIOPtr<IIOParseTag> m_parse;
    CConfigData m_stored{m_globals.Get()};
    CHeld m_settings;
    CLineServer m_server;
};

TEST_F(IOHostInstanceTest, WithoutAnInterfaceTypeTheDriverStaysOfflineAndStarts)
{
    Configure();
    EXPECT_EQ(m_instance->StartComm(1, 2, 3, 4), S_OK);
    EXPECT_TRUE(LogHas("drvStartComm(1,2,3,4)"));
    EXPECT_TRUE(LogHas("Current configuration ("));
    EXPECT_TRUE(LogHas("I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"));
    EXPECT_EQ(ReadI32(FRAMEWORK_TAG_WORK_ONLINE), 0);
    EXPECT_EQ(ReadI32(FRAMEWORK_TAG_LAYER_STATUS), static_cast<int32_t>(PLS_STOPPED));

    EXPECT_EQ(m_instance->StopComm(5, 6, 7, 8), S_OK);
    EXPECT_TRUE(LogHas("drvStopComm(5,6,7,8)"));
    // Stopping ends the run's log with its footer.
    EXPECT_TRUE(LogHas(std::string(78, '=')));
    CHeld field, value;
    EXPECT_EQ(Framework(FRAMEWORK_TAG_WORK_ONLINE, IO_OP_READ_VALUE, field, value), IO_E_NOT_STARTED);
}

TEST_F(IOHostInstanceTest, AnUnsupportedInterfaceTypeFailsTheStart)
{
    EXPECT_TRUE(m_stored.SetText("IO.Type", "Serial"));
    Configure();
    EXPECT_EQ(m_instance->StartComm(0, 0, 0, 0), E_FAIL);
    EXPECT_TRUE(LogHas("Failed do create I/O Interface (hr = 80004005)"));
    CHeld field, value;
    EXPECT_EQ(Framework(FRAMEWORK_TAG_WORK_ONLINE, IO_OP_READ_VALUE, field, value), IO_E_NOT_STARTED);
    EXPECT_EQ(m_instance->StopComm(0, 0, 0, 0), S_FALSE);
}

TEST_F(IOHostInstanceTest, WorkOnlineRestartsTheLayerAndTotalsKeepCounting)
{
    UseServer();
    Configure();
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    ASSERT_TRUE(m_server.Accept());

    // A driver tag both ways: a write goes out as a line, a line comes back as the value.
    CHeld out, unusedField;
    hvSetText(out, "on");
    EXPECT_EQ(Named(u"pump", IO_OP_WRITE_VALUE, unusedField, out), S_OK);
    EXPECT_EQ(m_server.ReadLine(), std::optional<std::string>("pump=on"));
    ASSERT_TRUE(m_server.SendLine("pump=off"));
    ASSERT_TRUE(WaitUntil([&] {
        CHeld in;
        return Named(u"pump", IO_OP_READ_VALUE, unusedField, in) == S_OK && TextOf(in) == "off";
    }));
    EXPECT_EQ(Statistic(1000), 8u); // "pump=on\n"
    EXPECT_EQ(Statistic(1001), 9u); // "pump=off\n"
    EXPECT_EQ(Statistic(1004), 1u);

    EXPECT_EQ(WriteWorkOnline(0), S_OK);
    EXPECT_EQ(ReadI32(FRAMEWORK_TAG_WORK_ONLINE), 0);
    EXPECT_EQ(ReadI32(FRAMEWORK_TAG_LAYER_STATUS), static_cast<int32_t>(PLS_STOPPED));
    EXPECT_EQ(Statistic(1001), 9u);
    EXPECT_EQ(Statistic(1101), 0u);

    EXPECT_EQ(WriteWorkOnline(1), S_OK);
    ASSERT_TRUE(m_server.Accept());
    ASSERT_TRUE(m_server.SendLine("level=3"));
    ASSERT_TRUE(WaitUntil([&] { return Statistic(1001) == 17u; }));
    EXPECT_EQ(Statistic(1101), 8u);
    EXPECT_EQ(Statistic(1000), 8u);
    EXPECT_EQ(Statistic(1004), 2u);
    EXPECT_EQ(ReadI32(FRAMEWORK_TAG_WORK_ONLINE), 1);
    EXPECT_EQ(ReadI32(FRAMEWORK_TAG_LAYER_STATUS), static_cast<int32_t>(PLS_CONNECTED));
}

TEST_F(IOHostInstanceTest, EventsReadThroughTheBlockTagAreTheLastHundred)
{
    Configure();
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    TIOPtr<CIOHost> host = m_factory->Host();
    ASSERT_TRUE(host);
    for (int i = 0; i < 150; ++i)
        host->PostEventF(IO_EVENT_INFORMATION, IO_EVENT_SOURCE_DRIVER, i, "event %d", i);

    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = IO_OP_READ_BLOCK;
    r.count = 4;
    r.size = 4;
    r.n1 = BUILTIN_N1;
    r.n4 = FRAMEWORK_TAG_EVENT;
    CHeld events;
    ASSERT_EQ(m_instance->IO(&r, events), S_OK);
    ASSERT_EQ(hvGetListCount(events), 100);
    uintptr_t position = 0;
    int32_t first = -1;
    EXPECT_TRUE(hvGetElementI32(hvListFirst(events, &position), 2, &first));
    EXPECT_EQ(first, 50);
    CHeld again;
    ASSERT_EQ(m_instance->IO(&r, again), S_OK);
    EXPECT_EQ(hvGetListCount(again), 0);
}

TEST_F(IOHostInstanceTest, ParametersByNameChangeTheRunningSnapshotOnly)
{
    Configure();
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    CHeld field, status, unused;
    EXPECT_EQ(Named(u"IO.TimeoutMs", IO_OP_READ_VALUE, field, unused, status), S_OK);
    uint32_t timeout = 0;
    EXPECT_TRUE(hvGetU32(field, &timeout));
    EXPECT_EQ(timeout, 1000u);

    hvSetU32(field, 3000);
    EXPECT_EQ(Named(u"IO.TimeoutMs", IO_OP_WRITE_VALUE, field, unused, status), S_OK);
    EXPECT_EQ(TextOf(status), "");
    hvClear(field);
    EXPECT_EQ(Named(u"io.timeoutms", IO_OP_READ_VALUE, field, unused, status), S_OK);
    EXPECT_TRUE(hvGetU32(field, &timeout));
    EXPECT_EQ(timeout, 3000u);

    // Neither the instance's store nor the host's settings value changed.
    EXPECT_EQ(m_factory->Config().GetInteger("IO.TimeoutMs"), 1000);
    CConfigData saved(m_globals.Get());
    ASSERT_TRUE(saved.Load(m_settings));
    EXPECT_EQ(saved.GetInteger("IO.TimeoutMs"), 1000);

    // The next run starts from the stored value again.
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(Named(u"IO.TimeoutMs", IO_OP_READ_VALUE, field, unused, status), S_OK);
    EXPECT_TRUE(hvGetU32(field, &timeout));
    EXPECT_EQ(timeout, 1000u);
}

TEST_F(IOHostInstanceTest, BulkParametersAreRefusedWhileOnline)
{
    UseServer();
    Configure();
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    CHeld array, status, unused;
    ASSERT_TRUE(hvMakeArray(array, HV_HVAL, 2));
    hvSetElementText(array, 0, "IO.RecoverPeriodSec");
    hvSetElementU32(array, 1, 5);
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = IO_OP_WRITE_VALUE;
    r.n1 = BUILTIN_N1;
    r.n4 = FRAMEWORK_TAG_SET_PARAMETERS;
    r.value = array;
    r.status = status;
    EXPECT_EQ(m_instance->IO(&r, unused), E_FAIL);
    EXPECT_EQ(TextOf(status), "Cannot set configuration parameters while the driver is ONLINE");

    EXPECT_EQ(WriteWorkOnline(0), S_OK);
    EXPECT_EQ(m_instance->IO(&r, unused), S_OK);
    EXPECT_EQ(TextOf(status), "");
    EXPECT_EQ(m_factory->Host()->Config().GetInteger("IO.RecoverPeriodSec"), 5);
}

// The states in which a host calls drvStopComm.
enum class EStopState
{
    Offline,     // started offline by configuration
    Connected,   // linked to the peer
    Connecting,  // an attempt to an unresponsive peer is under way
    GaveUp,      // the layer gave up after a failed attempt
};

class IOHostStopTest : public IOHostInstanceTest, public testing::WithParamInterface<EStopState>
{
};

TEST_P(IOHostStopTest, StopCommReturnsInEveryState)
{
    switch (GetParam())
    {
    case EStopState::Offline:
        UseServer();
        EXPECT_TRUE(m_stored.SetI32("IO.StartOffline", 1));
        break;
    case EStopState::Connected:
        UseServer();
        break;
    case EStopState::Connecting:
        ASSERT_TRUE(m_server.OpenStalled());
        UsePort(m_server.Port());
        EXPECT_TRUE(m_stored.SetU32("IO.TimeoutMs", 600000));
        break;
    case EStopState::GaveUp:
        UsePort(FreeTcpPort());
        EXPECT_TRUE(m_stored.SetI32("IO.RecoverEnable", 0));
        break;
    }
    Configure();
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    switch (GetParam())
    {
    case EStopState::Offline:
        EXPECT_TRUE(LogHas("I/O Interface not activated, the driver is OFFLINE!!!"));
        break;
    case EStopState::Connected:
        ASSERT_TRUE(m_server.Accept());
        ASSERT_TRUE(WaitLog("CONNECTED!"));
        break;
    case EStopState::Connecting:
        ASSERT_TRUE(WaitLog("CONNECTING..."));
        EXPECT_FALSE(LogHas("CONNECTED!"));
        break;
    case EStopState::GaveUp:
        ASSERT_TRUE(WaitLog("ABORTED!"));
        break;
    }

    EXPECT_EQ(m_instance->StopComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(LogHas("Physical layer thread stopped!"), GetParam() != EStopState::Offline);
    EXPECT_EQ(m_instance->StopComm(0, 0, 0, 0), S_FALSE);
}

std::string StopStateName(const testing::TestParamInfo<EStopState>& info)
{
    switch (info.param)
    {
    case EStopState::Offline:
        return "Offline";
    case EStopState::Connected:
        return "Connected";
    case EStopState::Connecting:
        return "Connecting";
    case EStopState::GaveUp:
        return "GaveUp";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(States, IOHostStopTest,
                         testing::Values(EStopState::Offline, EStopState::Connected, EStopState::Connecting,
                                         EStopState::GaveUp),
                         StopStateName);
} // namespace
