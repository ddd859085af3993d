// The framework's own side of MQTT.so seen from a host that loads it with dlopen and uses
// the plain services: starting with and without an interface, the online switch and the
// statistics across restarts, the event block, parameters by name and in bulk, and
// drvStopComm in the states a link can be in.
#include "MqttTestSupport.h"
#include "lib/DriverSession.h"
#include "lib/HostSettings.h"
#include "support/LineDriverServer.h"
#include "support/MosquittoBroker.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
class FrameworkTest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        const std::string bin = BinDir();
        ASSERT_TRUE(m_library.Load(JoinPath(bin.empty() ? ModuleFolder() : bin, "MQTT.so"), error)) << error;
        ASSERT_TRUE(m_session.Open(error)) << error;
        Set("IO.Log.Enable", 1);
        Set("IO.Log.Filename", LogPath());
        Set("IO.TimeoutMs", 1000);
    }
    void TearDown() override
    {
        if (m_library.IsLoaded())
            m_library.StopComm();
    }

    void Set(const std::string& name, int32_t number)
    {
        CTestValue v;
        hvSetI32(v.Get(), number);
        EXPECT_TRUE(m_settings.Set(name, v.Get()));
    }
    void Set(const std::string& name, const std::string& text) { EXPECT_TRUE(m_settings.Set(name, CTestValue::Text(text).Get())); }
    void UsePort(uint16_t port)
    {
        Set("IO.Type", "Ethernet");
        Set("IO.Ethernet.MainIP", "127.0.0.1");
        Set("IO.Ethernet.MainPort", port);
        Set("IO.RecoverEnable", 1);
    }
    // Exactly these parameters, without the driver's defaults: what is not set is absent.
    void Configure()
    {
        ASSERT_TRUE(m_settings.ToStored(m_stored.Get()));
        m_library.SetSettingsHandle(m_stored.Get());
    }

    std::string LogPath() const { return m_dir.File("framework.log"); }
    bool LogHas(const std::string& text) const { return ReadFileText(LogPath()).find(text) != std::string::npos; }
    bool WaitLog(const std::string& text) const
    {
        return WaitUntil([&] { return LogHas(text); });
    }

    int64_t ReadInteger(const char* item)
    {
        CTestValue v;
        std::string error;
        EXPECT_TRUE(m_session.Read(item, v.Get(), error)) << error;
        double x = -1;
        EXPECT_TRUE(hvGetR64(v.Get(), &x)) << item;
        return static_cast<int64_t>(x);
    }
    bool WriteInteger(const char* item, int32_t number, std::string& error)
    {
        CTestValue v;
        hvSetI32(v.Get(), number);
        return m_session.Write(item, v.Get(), error);
    }
    bool WaitState(int64_t state)
    {
        return WaitUntil([&] { return ReadInteger("IO.PhysicalLayerStatus") == state; });
    }

    TempDir m_dir{"dravo-framework"};
    CDriverLibrary m_library;
    CDriverSession m_session{m_library};
    CHostSettings m_settings;
    CTestValue m_stored;
};

TEST_F(FrameworkTest, WithoutAnInterfaceTypeTheDriverStartsOffline)
{
    Configure();
    EXPECT_EQ(m_library.StartComm(1, 2, 3, 4), 1);
    EXPECT_TRUE(LogHas("drvStartComm(1,2,3,4)"));
    EXPECT_TRUE(LogHas("Current configuration (3 parameters):"));
    EXPECT_TRUE(LogHas("I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"));
    EXPECT_EQ(ReadInteger("IO.WorkOnline"), 0);
    EXPECT_EQ(ReadInteger("IO.PhysicalLayerStatus"), 0);
    EXPECT_EQ(m_library.StopComm(1, 2, 3, 4), 1);
    EXPECT_TRUE(LogHas("drvStopComm(1,2,3,4)"));
}

TEST_F(FrameworkTest, AnInterfaceTypeWithoutImplementationFailsTheStart)
{
    Set("IO.Type", "Serial");
    Configure();
    EXPECT_EQ(m_library.StartComm(), -1);
    EXPECT_TRUE(LogHas("Failed do create I/O Interface (hr = 80004005)"));
    CTestValue v;
    std::string error;
    EXPECT_FALSE(m_session.Read("IO.WorkOnline", v.Get(), error));
}

TEST_F(FrameworkTest, WorkOnlineRestartsTheLayerAndTotalsKeepCounting)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    UsePort(broker.Port());
    Configure();
    ASSERT_EQ(m_library.StartComm(), 1);
    ASSERT_TRUE(WaitState(2));
    // The session's CONNECT has gone out and its CONNACK has come back.
    ASSERT_TRUE(WaitUntil([&] { return ReadInteger("IO.Stats.Total.BytesRecv") >= 4; }));
    EXPECT_EQ(ReadInteger("IO.Stats.Total.ConnectionCount"), 1);
    const int64_t sentFirst = ReadInteger("IO.Stats.Total.BytesSent");
    EXPECT_GT(sentFirst, 0);

    std::string error;
    ASSERT_TRUE(WriteInteger("IO.WorkOnline", 0, error)) << error;
    EXPECT_EQ(ReadInteger("IO.WorkOnline"), 0);
    EXPECT_EQ(ReadInteger("IO.PhysicalLayerStatus"), 0);
    const int64_t sentOffline = ReadInteger("IO.Stats.Total.BytesSent");
    EXPECT_GE(sentOffline, sentFirst);
    EXPECT_EQ(ReadInteger("IO.Stats.Partial.BytesSent"), 0);
    EXPECT_EQ(ReadInteger("IO.Stats.Total.ConnectionCount"), 1);

    ASSERT_TRUE(WriteInteger("IO.WorkOnline", 1, error)) << error;
    ASSERT_TRUE(WaitState(2));
    EXPECT_TRUE(WaitUntil([&] { return ReadInteger("IO.Stats.Total.BytesSent") > sentOffline; }));
    EXPECT_EQ(ReadInteger("IO.Stats.Total.ConnectionCount"), 2);
    EXPECT_EQ(ReadInteger("IO.WorkOnline"), 1);
}

TEST_F(FrameworkTest, TheEventBlockHoldsTheLastHundredEvents)
{
    // Every start and stop of a layer whose peer refuses posts several events.
    UsePort(FreeTcpPort());
    Set("IO.StartOffline", 1);
    Configure();
    ASSERT_EQ(m_library.StartComm(), 1);
    std::string error;
    for (int cycle = 0; cycle < 25; ++cycle)
    {
        ASSERT_TRUE(WriteInteger("IO.WorkOnline", 1, error)) << error;
        ASSERT_TRUE(WriteInteger("IO.WorkOnline", 0, error)) << error;
    }

    CTestValue events;
    ASSERT_TRUE(m_session.Read("IO.DravoEvent", events.Get(), error)) << error;
    ASSERT_EQ(hvGetListCount(events.Get()), 100);
    // Oldest first: the list ends with the last layer's termination.
    uintptr_t position = 0;
    HVALUE last = nullptr;
    for (HVALUE e = hvListFirst(events.Get(), &position); e != nullptr; e = hvListNext(events.Get(), &position))
        last = e;
    int32_t number = 0;
    const char* text = nullptr;
    ASSERT_TRUE(hvGetElementI32(last, 2, &number));
    ASSERT_TRUE(hvGetElementText(last, 3, &text));
    EXPECT_EQ(number, 16);
    EXPECT_EQ(std::string(text).rfind("Physical layer terminated!", 0), 0u) << text;

    CTestValue again;
    ASSERT_TRUE(m_session.Read("IO.DravoEvent", again.Get(), error)) << error;
    EXPECT_EQ(hvGetListCount(again.Get()), 0);
}

TEST_F(FrameworkTest, ParametersByNameChangeTheRunningConfigurationOnly)
{
    Configure();
    ASSERT_EQ(m_library.StartComm(), 1);
    EXPECT_EQ(ReadInteger("IO.TimeoutMs"), 1000);
    std::string error;
    ASSERT_TRUE(WriteInteger("IO.TimeoutMs", 2500, error)) << error;
    EXPECT_EQ(ReadInteger("io.timeoutms"), 2500);

    CHostSettings stored;
    ASSERT_TRUE(stored.FromStored(m_stored.Get(), error)) << error;
    int32_t timeout = 0;
    ASSERT_TRUE(hvGetI32(stored.Find("IO.TimeoutMs"), &timeout));
    EXPECT_EQ(timeout, 1000);

    ASSERT_EQ(m_library.StartComm(), 1);
    EXPECT_EQ(ReadInteger("IO.TimeoutMs"), 1000);
}

TEST_F(FrameworkTest, BulkParametersAreRefusedWhileOnline)
{
    UsePort(FreeTcpPort());
    Configure();
    ASSERT_EQ(m_library.StartComm(), 1);
    CTestValue array;
    ASSERT_TRUE(hvMakeArray(array.Get(), HV_HVAL, 2));
    hvSetElementText(array.Get(), 0, "IO.RecoverPeriodSec");
    hvSetElementU32(array.Get(), 1, 5);
    std::string error;
    EXPECT_FALSE(m_session.Write("IO.SetConfigurationParameters", array.Get(), error));
    EXPECT_NE(error.find("Cannot set configuration parameters while the driver is ONLINE"), std::string::npos)
        << error;

    ASSERT_TRUE(WriteInteger("IO.WorkOnline", 0, error)) << error;
    EXPECT_TRUE(m_session.Write("IO.SetConfigurationParameters", array.Get(), error)) << error;
    EXPECT_EQ(ReadInteger("IO.RecoverPeriodSec"), 5);
}

TEST_F(FrameworkTest, StopCommEndsAConnectionAttemptThatHangs)
{
    CLineServer stalled;
    ASSERT_TRUE(stalled.OpenStalled());
    UsePort(stalled.Port());
    Set("IO.TimeoutMs", 600000);
    Configure();
    ASSERT_EQ(m_library.StartComm(), 1);
    ASSERT_TRUE(WaitLog("CONNECTING..."));
    EXPECT_EQ(m_library.StopComm(), 1);
    EXPECT_TRUE(LogHas("Physical layer thread stopped!"));
    EXPECT_EQ(m_library.StopComm(), 1);
}

TEST_F(FrameworkTest, StopCommEndsALayerThatGaveUp)
{
    UsePort(FreeTcpPort());
    Set("IO.RecoverEnable", 0);
    Configure();
    ASSERT_EQ(m_library.StartComm(), 1);
    ASSERT_TRUE(WaitLog("ABORTED!"));
    EXPECT_EQ(m_library.StopComm(), 1);
    EXPECT_TRUE(LogHas("Physical layer thread stopped!"));
}
} // namespace
