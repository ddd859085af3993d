// The I/O host over the line driver and a loopback line server: going online and offline,
// the framework tags, the event queue, the status names and the request dispatch.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

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
// A validated request of the current layout for a framework tag (N1 = -1, N2 = 0).
TagRequest FrameworkRequest(uint16_t n3, uint16_t n4, uint16_t operation, uint16_t size = 1, uint16_t count = 1)
{
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = operation;
    r.count = count;
    r.size = size;
    r.n1 = BUILTIN_N1;
    r.n2 = BUILTIN_N2;
    r.n3 = n3;
    r.n4 = n4;
    r.flags = TAG_REQUEST_VALIDATED;
    return r;
}

int32_t I32Of(HVALUE v)
{
    int32_t x = -12345;
    EXPECT_TRUE(hvGetI32(v, &x));
    return x;
}

// A host that is stopped before its last reference goes, as the factory does.
class CHostHolder
{
public:
    explicit CHostHolder(TIOPtr<CLineHost> host) : m_host(std::move(host)) {}
    ~CHostHolder()
    {
        if (m_host)
            m_host->Stop();
    }
    CLineHost* operator->() const { return m_host.Get(); }
    CLineHost* Get() const { return m_host.Get(); }

private:
    TIOPtr<CLineHost> m_host;
};

class IOHostTest : public testing::Test
{
protected:
    IOHostTest()
    {
        EXPECT_TRUE(m_config.SetI32("IO.Log.Enable", 1));
        EXPECT_TRUE(m_config.SetText("IO.Log.Filename", LogPath().c_str()));
    }

    CHostHolder MakeHost() { return CHostHolder(CLineHost::Create(m_globals.Get(), m_config)); }

    // The Ethernet layer towards the line server, reconnecting at once after a loss.
    void UseServer()
    {
        ASSERT_TRUE(m_server.Open());
        EXPECT_TRUE(m_config.SetText("IO.Type", "Ethernet"));
        EXPECT_TRUE(m_config.SetText("IO.Ethernet.MainIP", "127.0.0.1"));
        EXPECT_TRUE(m_config.SetU32("IO.Ethernet.MainPort", m_server.Port()));
        EXPECT_TRUE(m_config.SetI32("IO.RecoverEnable", 1));
    }

    std::string LogPath() const { return m_dir.File("host.log"); }
    bool LogHas(const std::string& fragment) const
    {
        return ReadFileText(LogPath()).find(fragment) != std::string::npos;
    }

    // Framework tags that answer through the request's value field.
    static HRESULT ReadThroughField(CIOHost* host, uint16_t n4, int32_t* out)
    {
        CHeld field;
        TagRequest r = FrameworkRequest(0, n4, IO_OP_READ_VALUE);
        r.value = field;
        const HRESULT hr = host->ProcessRequest(&r, field);
        *out = I32Of(field);
        return hr;
    }
    static HRESULT WriteWorkOnline(CIOHost* host, int32_t online)
    {
        CHeld field;
        hvSetI32(field, online);
        TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_WORK_ONLINE, IO_OP_WRITE_VALUE);
        r.value = field;
        return host->ProcessRequest(&r, field);
    }
    static uint32_t U32Statistic(CIOHost* host, uint16_t n4)
    {
        CHeld v;
        TagRequest r = FrameworkRequest(0, n4, IO_OP_READ_VALUE);
        EXPECT_EQ(host->ProcessRequest(&r, v), S_OK);
        uint32_t x = 0;
        EXPECT_TRUE(hvGetU32(v, &x));
        return x;
    }

    TempDir m_dir{"dravo-iohost"};
    TIOPtr<CIOGlobals> m_globals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Driver Test"));
    CConfigData m_config{m_globals.Get()};
    CLineServer m_server;
};

struct SInterfaceTypeCase
{
    const char* type; // null: the key is absent
    HRESULT status;
    const char* logLine;
};

void PrintTo(const SInterfaceTypeCase& c, std::ostream* os) { *os << "IO.Type " << (c.type ? c.type : "absent"); }

class IOHostTypeTest : public IOHostTest, public testing::WithParamInterface<SInterfaceTypeCase>
{
};

TEST_P(IOHostTypeTest, GoOnlineFollowsTheInterfaceType)
{
    const SInterfaceTypeCase& c = GetParam();
    UseServer();
    if (c.type == nullptr)
        EXPECT_TRUE(m_config.Rename("IO.Type", "Unused.Type"));
    else
        EXPECT_TRUE(m_config.SetText("IO.Type", c.type));
    CHostHolder host = MakeHost();

    EXPECT_EQ(host->GoOnline(true), c.status);
    EXPECT_EQ(host->IsOnline(), c.status == S_OK);
    EXPECT_TRUE(LogHas(c.logLine)) << c.logLine;
    // The configuration is written before the interface is made.
    EXPECT_TRUE(LogHas("Current configuration ("));
    EXPECT_TRUE(LogHas("  - IO.Ethernet.MainIP = '127.0.0.1'"));
    EXPECT_TRUE(LogHas("  - IO.RecoverEnable = 1"));
}

INSTANTIATE_TEST_SUITE_P(
    Types, IOHostTypeTest,
    testing::Values(SInterfaceTypeCase{nullptr, S_FALSE, "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"},
                    SInterfaceTypeCase{"None", S_FALSE, "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"},
                    SInterfaceTypeCase{"n", S_FALSE, "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"},
                    SInterfaceTypeCase{"Serial", E_FAIL, "Failed do create I/O Interface (hr = 80004005)"},
                    SInterfaceTypeCase{"e", S_OK, "INITIALIZED!"},
                    SInterfaceTypeCase{"ETHERNET", S_OK, "INITIALIZED!"}));

TEST_F(IOHostTest, ZeroParametersAreCountedInTheDump)
{
    EXPECT_TRUE(m_config.SetI32("IO.StartOffline", 0));
    EXPECT_TRUE(m_config.SetU32("IO.GiveUpTries", 0));
    CHostHolder host = MakeHost();
    host->DumpConfiguration();
    EXPECT_TRUE(LogHas("Current configuration (4 parameters):"));
    EXPECT_TRUE(LogHas("  - IO.Log.Enable = 1"));
    EXPECT_TRUE(LogHas("  - 2 parameters with value = 0 were omitted"));
    EXPECT_FALSE(LogHas("IO.StartOffline ="));
}

TEST_F(IOHostTest, StartOfflineWaitsForWorkOnline)
{
    UseServer();
    EXPECT_TRUE(m_config.SetI32("IO.StartOffline", 1));
    CHostHolder host = MakeHost();

    EXPECT_EQ(host->GoOnline(true), S_FALSE);
    EXPECT_TRUE(LogHas("I/O Interface not activated, the driver is OFFLINE!!!"));
    int32_t online = -1;
    EXPECT_EQ(ReadThroughField(host.Get(), FRAMEWORK_TAG_WORK_ONLINE, &online), S_OK);
    EXPECT_EQ(online, 0);

    // The switch skips the start-offline check.
    EXPECT_EQ(WriteWorkOnline(host.Get(), 1), S_OK);
    EXPECT_TRUE(host->IsOnline());
    EXPECT_EQ(ReadThroughField(host.Get(), FRAMEWORK_TAG_WORK_ONLINE, &online), S_OK);
    EXPECT_EQ(online, 1);
    EXPECT_TRUE(m_server.Accept());
    // A second start while online is refused.
    EXPECT_EQ(host->GoOnline(false), E_FAIL);
}

TEST_F(IOHostTest, WorkOnlineRestartsTheLayerAndTotalsKeepCounting)
{
    UseServer();
    CHostHolder host = MakeHost();
    ASSERT_EQ(host->GoOnline(true), S_OK);
    ASSERT_TRUE(m_server.Accept());
    ASSERT_TRUE(m_server.SendLine("a=1"));
    ASSERT_TRUE(WaitUntil([&] { return host->Received("a").has_value(); }));
    EXPECT_EQ(U32Statistic(host.Get(), 1001), 4u);
    EXPECT_EQ(U32Statistic(host.Get(), 1101), 4u);
    EXPECT_EQ(U32Statistic(host.Get(), 1004), 1u);

    EXPECT_EQ(WriteWorkOnline(host.Get(), 0), S_OK);
    EXPECT_FALSE(host->IsOnline());
    int32_t state = -1;
    EXPECT_EQ(ReadThroughField(host.Get(), FRAMEWORK_TAG_LAYER_STATUS, &state), S_OK);
    EXPECT_EQ(state, static_cast<int32_t>(PLS_STOPPED));
    EXPECT_EQ(U32Statistic(host.Get(), 1001), 4u);
    EXPECT_EQ(U32Statistic(host.Get(), 1101), 0u);
    // Writing 0 again while offline changes nothing.
    EXPECT_EQ(WriteWorkOnline(host.Get(), 0), S_OK);

    EXPECT_EQ(WriteWorkOnline(host.Get(), 1), S_OK);
    ASSERT_TRUE(m_server.Accept());
    ASSERT_TRUE(m_server.SendLine("b=22"));
    ASSERT_TRUE(WaitUntil([&] { return host->Received("b").has_value(); }));
    EXPECT_EQ(U32Statistic(host.Get(), 1001), 9u);
    EXPECT_EQ(U32Statistic(host.Get(), 1101), 5u);
    EXPECT_EQ(U32Statistic(host.Get(), 1004), 2u);
    EXPECT_EQ(ReadThroughField(host.Get(), FRAMEWORK_TAG_LAYER_STATUS, &state), S_OK);
    EXPECT_EQ(state, static_cast<int32_t>(PLS_CONNECTED));

    // The framework's events of both layers are kept: two connections.
    CHeld events;
    TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_EVENT, IO_OP_READ_BLOCK, 4, 4);
    ASSERT_EQ(host->ProcessRequest(&r, events), S_OK);
    int connected = 0;
    uintptr_t position = 0;
    for (HVALUE e = hvListFirst(events, &position); e != nullptr; e = hvListNext(events, &position))
    {
        int32_t number = 0;
        EXPECT_TRUE(hvGetElementI32(e, 2, &number));
        connected += number == 6 ? 1 : 0;
    }
    EXPECT_EQ(connected, 2);
}

TEST_F(IOHostTest, WritingTheSwitchWithoutAnInterfaceTypeFails)
{
    CHostHolder host = MakeHost();
    EXPECT_EQ(host->GoOnline(true), S_FALSE);
    EXPECT_EQ(WriteWorkOnline(host.Get(), 1), E_FAIL);
    EXPECT_FALSE(host->IsOnline());
}

TEST_F(IOHostTest, LinesTravelBothWays)
{
    UseServer();
    CHostHolder host = MakeHost();
    ASSERT_EQ(host->GoOnline(true), S_OK);
    ASSERT_TRUE(m_server.Accept());

    CHeld v;
    hvSetI32(v, 42);
    TagRequest w{};
    w.version = TAG_REQUEST_VERSION_CURRENT;
    w.operation = IO_OP_WRITE_VALUE;
    w.count = 1;
    w.n1 = 1;
    w.flags = TAG_REQUEST_VALIDATED;
    w.item = u"speed";
    EXPECT_EQ(host->ProcessRequest(&w, v), S_OK);
    EXPECT_EQ(m_server.ReadLine(), std::optional<std::string>("speed=42"));

    ASSERT_TRUE(m_server.SendLine("speed=7"));
    ASSERT_TRUE(WaitUntil([&] { return host->Received("speed") == std::optional<std::string>("7"); }));
    TagRequest r = w;
    r.operation = IO_OP_READ_VALUE;
    CHeld read;
    EXPECT_EQ(host->ProcessRequest(&r, read), S_OK);
    EXPECT_EQ(TextOf(read), "7");
}

TEST_F(IOHostTest, FirstRequestWaitsForTheFirstConnectionAttempt)
{
    UseServer();
    CHostHolder host = MakeHost();
    ASSERT_EQ(host->GoOnline(true), S_OK);
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = IO_OP_READ_VALUE;
    r.count = 1;
    r.n1 = 1;
    r.item = u"nothing";
    CHeld v;
    EXPECT_EQ(host->ProcessRequest(&r, v), E_FAIL);
    // The listening server completes the handshake, so the attempt has succeeded by now.
    EXPECT_TRUE(host->IsConnected());
}

TEST_F(IOHostTest, EventQueueKeepsTheLastHundred)
{
    CHostHolder host = MakeHost();
    for (int32_t i = 0; i < 150; ++i)
        EXPECT_EQ(host->PostEventF(IO_EVENT_WARNING, IO_EVENT_SOURCE_DRIVER, i, "event %d", static_cast<int>(i)), S_OK);
    EXPECT_EQ(host->QueuedEventCount(), IO_EVENT_QUEUE_LIMIT);

    CHeld events;
    TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_EVENT, IO_OP_READ_BLOCK, 4, 4);
    ASSERT_EQ(host->ProcessRequest(&r, events), S_OK);
    ASSERT_EQ(hvGetListCount(events), 100);
    uintptr_t position = 0;
    int32_t expected = 50;
    for (HVALUE e = hvListFirst(events, &position); e != nullptr; e = hvListNext(events, &position), ++expected)
    {
        ASSERT_EQ(hvGetType(e), HV_ARRAY | HV_HVAL);
        ASSERT_EQ(hvGetCount(e), 4);
        int32_t type = -1, source = -1, number = -1;
        const char* text = nullptr;
        EXPECT_TRUE(hvGetElementI32(e, 0, &type));
        EXPECT_TRUE(hvGetElementI32(e, 1, &source));
        EXPECT_TRUE(hvGetElementI32(e, 2, &number));
        EXPECT_TRUE(hvGetElementText(e, 3, &text));
        EXPECT_EQ(type, IO_EVENT_WARNING);
        EXPECT_EQ(source, IO_EVENT_SOURCE_DRIVER);
        EXPECT_EQ(number, expected);
        EXPECT_STREQ(text, ("event " + std::to_string(expected)).c_str());
        double stamp = 0;
        EXPECT_TRUE(hvGetTimestamp(e, &stamp));
        EXPECT_GT(stamp, 0.0);
    }
    EXPECT_EQ(expected, 150);

    // Read events are gone.
    CHeld again;
    ASSERT_EQ(host->ProcessRequest(&r, again), S_OK);
    EXPECT_EQ(hvGetType(again), HV_LIST);
    EXPECT_EQ(hvGetListCount(again), 0);
    EXPECT_EQ(host->QueuedEventCount(), 0u);
}

TEST_F(IOHostTest, PostEventWithoutFormatFails)
{
    CHostHolder host = MakeHost();
    va_list none{};
    EXPECT_EQ(host->PostEvent(0, 0, 0, nullptr, none), E_POINTER);
    EXPECT_EQ(host->QueuedEventCount(), 0u);
}

struct SShapeCase
{
    uint16_t n4;
    uint16_t operation;
    uint16_t size;
    uint16_t count;
    uint16_t first;
    HRESULT status;
};

void PrintTo(const SShapeCase& c, std::ostream* os)
{
    *os << "N4 " << c.n4 << " operation " << c.operation << " size " << c.size << " count " << c.count << " first "
        << c.first;
}

class IOHostShapeTest : public IOHostTest, public testing::WithParamInterface<SShapeCase>
{
};

TEST_P(IOHostShapeTest, FrameworkTagsCheckTheRequestShape)
{
    const SShapeCase& c = GetParam();
    CHostHolder host = MakeHost();
    host->PostEventF(0, 0, 1, "kept unless read");
    CHeld field, v;
    TagRequest r = FrameworkRequest(0, c.n4, c.operation, c.size, c.count);
    r.first = c.first;
    r.value = field;
    EXPECT_EQ(host->ProcessRequest(&r, v), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, IOHostShapeTest,
    testing::Values(SShapeCase{FRAMEWORK_TAG_EVENT, IO_OP_READ_BLOCK, 4, 4, 0, S_OK},
                    SShapeCase{FRAMEWORK_TAG_EVENT, IO_OP_READ_BLOCK, 4, 4, 1, E_FAIL},
                    SShapeCase{FRAMEWORK_TAG_EVENT, IO_OP_READ_BLOCK, 4, 2, 0, E_FAIL},
                    SShapeCase{FRAMEWORK_TAG_EVENT, IO_OP_READ_VALUE, 4, 4, 0, E_FAIL},
                    SShapeCase{FRAMEWORK_TAG_LAYER_STATUS, IO_OP_READ_VALUE, 1, 1, 0, S_OK},
                    SShapeCase{FRAMEWORK_TAG_LAYER_STATUS, IO_OP_READ_VALUE, 0, 1, 0, S_OK},
                    SShapeCase{FRAMEWORK_TAG_LAYER_STATUS, IO_OP_WRITE_VALUE, 1, 1, 0, E_FAIL},
                    SShapeCase{FRAMEWORK_TAG_LAYER_STATUS, IO_OP_READ_BLOCK, 2, 2, 0, E_FAIL},
                    SShapeCase{FRAMEWORK_TAG_WORK_ONLINE, IO_OP_READ_VALUE, 1, 1, 0, S_OK},
                    SShapeCase{FRAMEWORK_TAG_WORK_ONLINE, IO_OP_READ_BLOCK_ELEMENT, 1, 1, 0, E_FAIL},
                    SShapeCase{FRAMEWORK_TAG_WORK_ONLINE, IO_OP_WRITE_BLOCK, 2, 2, 0, E_FAIL},
                    SShapeCase{6, IO_OP_READ_VALUE, 1, 1, 0, E_NOTIMPL},
                    SShapeCase{999, IO_OP_READ_VALUE, 1, 1, 0, E_NOTIMPL},
                    SShapeCase{1005, IO_OP_READ_VALUE, 1, 1, 0, E_NOTIMPL},
                    SShapeCase{1100, IO_OP_WRITE_VALUE, 1, 1, 0, S_OK}));

TEST_F(IOHostTest, FrameworkAddressesOutsideTheTableAreNotImplemented)
{
    CHostHolder host = MakeHost();
    CHeld v;
    TagRequest badN2 = FrameworkRequest(0, FRAMEWORK_TAG_WORK_ONLINE, IO_OP_READ_VALUE);
    badN2.n2 = 1;
    EXPECT_EQ(host->ProcessRequest(&badN2, v), E_NOTIMPL);
    TagRequest badN3 = FrameworkRequest(1, 0, IO_OP_READ_VALUE);
    EXPECT_EQ(host->ProcessRequest(&badN3, v), E_NOTIMPL);
    // The layer's own parameters need a layer.
    TagRequest ipSelect = FrameworkRequest(PL_GROUP_ETHERNET, PL_ITEM_IP_SELECT, IO_OP_READ_VALUE);
    EXPECT_EQ(host->ProcessRequest(&ipSelect, v), E_FAIL);
}

TEST_F(IOHostTest, LayerParametersReachTheEthernetLayer)
{
    UseServer();
    CHostHolder host = MakeHost();
    ASSERT_EQ(host->GoOnline(true), S_OK);
    CHeld v;
    TagRequest read = FrameworkRequest(PL_GROUP_ETHERNET, PL_ITEM_IP_SELECT, IO_OP_READ_VALUE);
    EXPECT_EQ(host->ProcessRequest(&read, v), S_OK);
    EXPECT_EQ(I32Of(v), 0);
    TagRequest masked = read;
    masked.operation = IO_OP_MASK_WRITE_VALUE;
    EXPECT_EQ(host->ProcessRequest(&masked, v), E_NOTIMPL);
    // Only the main address is enabled: nothing to switch to.
    TagRequest toggle = FrameworkRequest(PL_GROUP_ETHERNET, PL_ITEM_IP_SWITCH, IO_OP_WRITE_VALUE);
    hvSetI32(v, 1);
    EXPECT_EQ(host->ProcessRequest(&toggle, v), E_FAIL);
    EXPECT_TRUE(WaitUntil([&] { return LogHas("There are no other IPs enabled to switch to"); }));
}

TEST_F(IOHostTest, StatisticsOfflineAreZero)
{
    CHostHolder host = MakeHost();
    for (uint16_t n4 : {1000, 1001, 1004, 1100, 1101})
        EXPECT_EQ(U32Statistic(host.Get(), n4), 0u) << n4;
    for (uint16_t n4 : {1002, 1003, 1102, 1103})
    {
        CHeld v;
        TagRequest r = FrameworkRequest(0, n4, IO_OP_READ_VALUE);
        EXPECT_EQ(host->ProcessRequest(&r, v), S_OK);
        double seconds = -1;
        EXPECT_EQ(hvGetType(v), HV_R64);
        EXPECT_TRUE(hvGetR64(v, &seconds));
        EXPECT_EQ(seconds, 0.0);
    }
}

// --- Parameters ---------------------------------------------------------------------------

class CRecordingLineHost : public CLineHost
{
public:
    static TIOPtr<CRecordingLineHost> Create(CIOGlobals* globals, const CConfigData& config)
    {
        return TIOPtr<CRecordingLineHost>::Adopt(new CRecordingLineHost(globals, config));
    }
    std::vector<std::string> changed;
    void OnParameterChanged(const char* name) override { changed.push_back(name); }

private:
    CRecordingLineHost(CIOGlobals* globals, const CConfigData& config) : CLineHost(globals, config) {}
};

TagRequest ByName(uint16_t operation, const char16_t* item, HVALUE field, HVALUE status)
{
    TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_PARAMETER_BY_NAME, operation);
    r.version = 5;
    r.item = item;
    r.value = field;
    r.status = status;
    return r;
}

TEST_F(IOHostTest, ParametersByNameReadAndWriteTheSnapshotOnly)
{
    EXPECT_TRUE(m_config.SetU32("IO.TimeoutMs", 1000));
    TIOPtr<CRecordingLineHost> host = CRecordingLineHost::Create(m_globals.Get(), m_config);
    CHeld field, status, unused;

    TagRequest read = ByName(IO_OP_READ_VALUE, u"io.timeoutms", field, status);
    EXPECT_EQ(host->ProcessRequest(&read, unused), S_OK);
    EXPECT_EQ(I32Of(field), 1000);
    EXPECT_EQ(TextOf(status), "");

    hvSetU32(field, 2500);
    TagRequest write = ByName(IO_OP_WRITE_VALUE, u"IO.TimeoutMs", field, status);
    EXPECT_EQ(host->ProcessRequest(&write, unused), S_OK);
    EXPECT_EQ(host->changed, std::vector<std::string>{"IO.TimeoutMs"});
    EXPECT_EQ(host->Config().GetInteger("IO.TimeoutMs"), 2500);
    EXPECT_EQ(m_config.GetInteger("IO.TimeoutMs"), 1000);

    hvClear(field);
    EXPECT_EQ(host->ProcessRequest(&read, unused), S_OK);
    EXPECT_EQ(I32Of(field), 2500);

    // A missing key reads as nothing.
    hvSetI32(field, 9);
    TagRequest missing = ByName(IO_OP_READ_VALUE, u"IO.NoSuchKey", field, status);
    EXPECT_EQ(host->ProcessRequest(&missing, unused), S_OK);
    EXPECT_EQ(hvGetType(field), HV_NULL);
    host->Stop();
}

TEST_F(IOHostTest, WritingALogKeyByNameRedirectsTheLog)
{
    CHostHolder host = MakeHost();
    const std::string other = m_dir.File("other.log");
    CHeld field, status, unused;
    hvSetText(field, other.c_str());
    TagRequest write = ByName(IO_OP_WRITE_VALUE, u"IO.Log.Filename", field, status);
    EXPECT_EQ(host->ProcessRequest(&write, unused), S_OK);
    EXPECT_TRUE(LogHas("Log redirected to '" + other + "'."));
    EXPECT_NE(ReadFileText(other).find("Current configuration ("), std::string::npos);
}

struct SByNameErrorCase
{
    uint16_t version;
    uint16_t operation;
    const char16_t* item;
    const char* text;
};

void PrintTo(const SByNameErrorCase& c, std::ostream* os) { *os << c.text; }

class IOHostByNameErrorTest : public IOHostTest, public testing::WithParamInterface<SByNameErrorCase>
{
};

TEST_P(IOHostByNameErrorTest, RefusalsCarryTheirText)
{
    const SByNameErrorCase& c = GetParam();
    CHostHolder host = MakeHost();
    CHeld field, status, unused;
    hvSetI32(field, 1);
    TagRequest r = ByName(c.operation, c.item, field, status);
    r.version = c.version;
    EXPECT_EQ(host->ProcessRequest(&r, unused), E_FAIL);
    EXPECT_EQ(TextOf(status), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, IOHostByNameErrorTest,
    testing::Values(SByNameErrorCase{4, IO_OP_READ_VALUE, u"IO.TimeoutMs", "String parameters not supported in this version"},
                    SByNameErrorCase{3, IO_OP_WRITE_VALUE, u"IO.TimeoutMs", "String parameters not supported in this version"},
                    SByNameErrorCase{5, IO_OP_READ_BLOCK, u"IO.TimeoutMs", "Unsupported tag operation"},
                    SByNameErrorCase{5, IO_OP_MASK_WRITE_VALUE, u"IO.TimeoutMs", "Unsupported tag operation"},
                    SByNameErrorCase{5, IO_OP_READ_VALUE, nullptr, "String parameter not provided"},
                    SByNameErrorCase{6, IO_OP_WRITE_VALUE, u"", "String parameter not provided"}));

// A bulk array: name, value, name, value.
void MakeParameterArray(HVALUE array, const char* name, uint32_t number)
{
    ASSERT_TRUE(hvMakeArray(array, HV_HVAL, 2));
    ASSERT_TRUE(hvSetElementText(array, 0, name));
    ASSERT_TRUE(hvSetElementU32(array, 1, number));
}

TEST_F(IOHostTest, SetConfigurationParametersAppliesOnlyWhileOffline)
{
    UseServer();
    TIOPtr<CRecordingLineHost> host = CRecordingLineHost::Create(m_globals.Get(), m_config);
    CHeld array, status, unused;
    MakeParameterArray(array, "IO.TimeoutMs", 4321);
    TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_SET_PARAMETERS, IO_OP_WRITE_VALUE, 0, 0);
    r.value = array;
    r.status = status;

    ASSERT_EQ(host->GoOnline(true), S_OK);
    EXPECT_EQ(host->ProcessRequest(&r, unused), E_FAIL);
    EXPECT_EQ(TextOf(status), "Cannot set configuration parameters while the driver is ONLINE");
    EXPECT_EQ(host->Config().GetInteger("IO.TimeoutMs"), 0);

    host->GoOffline();
    EXPECT_EQ(host->ProcessRequest(&r, unused), S_OK);
    EXPECT_EQ(TextOf(status), "");
    EXPECT_EQ(host->Config().GetInteger("IO.TimeoutMs"), 4321);
    EXPECT_EQ(m_config.Find("IO.TimeoutMs"), nullptr);
    EXPECT_EQ(host->changed, std::vector<std::string>{"IO.TimeoutMs"});
    host->Stop();
}

struct SBulkErrorCase
{
    uint16_t version;
    uint16_t operation;
    uint16_t size;
    uint16_t count;
    uint16_t first;
    const char* text; // null: the status value stays untouched
};

void PrintTo(const SBulkErrorCase& c, std::ostream* os) { *os << (c.text ? c.text : "no status value"); }

class IOHostBulkErrorTest : public IOHostTest, public testing::WithParamInterface<SBulkErrorCase>
{
};

TEST_P(IOHostBulkErrorTest, RefusalsCarryTheirText)
{
    const SBulkErrorCase& c = GetParam();
    CHostHolder host = MakeHost();
    CHeld array, status, unused;
    MakeParameterArray(array, "IO.TimeoutMs", 1);
    hvSetText(status, "untouched");
    TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_SET_PARAMETERS, c.operation, c.size, c.count);
    r.version = c.version;
    r.first = c.first;
    r.value = array;
    r.status = status;
    EXPECT_EQ(host->ProcessRequest(&r, unused), E_FAIL);
    EXPECT_EQ(TextOf(status), c.text ? c.text : "untouched");
    EXPECT_EQ(host->Config().Find("IO.TimeoutMs"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, IOHostBulkErrorTest,
    testing::Values(SBulkErrorCase{3, IO_OP_READ_VALUE, 1, 1, 0, "Unsupported tag operation"},
                    SBulkErrorCase{3, IO_OP_WRITE_BLOCK_ELEMENT, 2, 2, 0, "Unsupported tag operation"},
                    SBulkErrorCase{3, IO_OP_WRITE_BLOCK, 4, 2, 0, "Block element write not supported"},
                    SBulkErrorCase{3, IO_OP_WRITE_BLOCK, 2, 2, 1, "Block element write not supported"},
                    // Layouts before version 2 have no status value.
                    SBulkErrorCase{1, IO_OP_READ_VALUE, 1, 1, 0, nullptr}));

TEST_F(IOHostTest, BulkFailuresReportTheStoreText)
{
    CHostHolder host = MakeHost();
    CHeld notAnArray, status, unused;
    hvSetI32(notAnArray, 5);
    TagRequest r = FrameworkRequest(0, FRAMEWORK_TAG_SET_PARAMETERS, IO_OP_WRITE_VALUE, 0, 0);
    r.value = notAnArray;
    r.status = status;
    EXPECT_EQ(host->ProcessRequest(&r, unused), E_FAIL);
    EXPECT_EQ(TextOf(status), "HVALUE is not a valid array (type is 5)");
}

// --- Status names -----------------------------------------------------------------------------

TEST_F(IOHostTest, StatusNamesReadTheLogSettings)
{
    CHostHolder host = MakeHost();
    for (const char* name : {"LOG", "IO.Log.Enable"})
    {
        CHeld v;
        EXPECT_EQ(host->GetStatus(name, v), S_OK);
        EXPECT_EQ(I32Of(v), 1);
        EXPECT_TRUE(LogHas(std::string("drvGetStatus('") + name + "') = 1 (ON)"));
    }
    for (const char* name : {"LOGFILE", "IO.Log.Filename"})
    {
        CHeld v;
        EXPECT_EQ(host->GetStatus(name, v), S_OK);
        EXPECT_EQ(TextOf(v), LogPath());
        EXPECT_TRUE(LogHas(std::string("drvGetStatus('") + name + "') = '" + LogPath() + "'"));
    }
    CHeld v;
    EXPECT_EQ(host->GetStatus("log", v), E_INVALIDARG);
    EXPECT_TRUE(LogHas("drvGetStatus('log') = error, invalid parameter"));
    EXPECT_EQ(host->SetStatus("Unknown", v), E_INVALIDARG);
    EXPECT_TRUE(LogHas("drvSetStatus('Unknown') = error, invalid parameter"));
    EXPECT_EQ(host->GetStatus(nullptr, v), E_POINTER);
    EXPECT_EQ(host->SetStatus("LOG", nullptr), E_POINTER);
}

TEST_F(IOHostTest, StatusNamesChangeTheLogOfTheSnapshotOnly)
{
    CHostHolder host = MakeHost();
    const std::string other = m_dir.File("second.log");
    CHeld name;
    hvSetText(name, other.c_str());
    EXPECT_EQ(host->SetStatus("LOGFILE", name), S_OK);
    EXPECT_TRUE(LogHas("drvSetStatus('LOGFILE') = '" + other + "' (before apply)"));
    const std::string second = ReadFileText(other);
    EXPECT_NE(second.find("Current configuration ("), std::string::npos);
    EXPECT_NE(second.find("drvSetStatus('LOGFILE') = '" + other + "' (after apply)"), std::string::npos);
    EXPECT_EQ(TextOf(m_config.Find("IO.Log.Filename")), LogPath());

    CHeld off;
    hvSetI32(off, 0);
    EXPECT_EQ(host->SetStatus("LOG", off), S_OK);
    EXPECT_NE(ReadFileText(other).find("drvSetStatus('LOG') = OFF"), std::string::npos);
    EXPECT_NE(ReadFileText(other).find(std::string(78, '=')), std::string::npos);
    EXPECT_EQ(m_config.GetInteger("IO.Log.Enable"), 1);

    CHeld on;
    hvSetI32(on, 1);
    EXPECT_EQ(host->SetStatus("LOG", on), S_OK);
    EXPECT_NE(ReadFileText(other).find("drvSetStatus('LOG') = ON"), std::string::npos);

    CHeld notText;
    EXPECT_EQ(host->SetStatus("LOGFILE", notText), E_INVALIDARG);
    EXPECT_EQ(host->SetStatus("LOG", notText), E_INVALIDARG);
}

TEST_F(IOHostTest, EnablingTheLogWithoutAFileNameClosesIt)
{
    EXPECT_TRUE(m_config.SetI32("IO.Log.Enable", 0));
    EXPECT_TRUE(m_config.SetText("IO.Log.Filename", ""));
    CHostHolder host = MakeHost();
    const std::string capture = m_dir.File("capture.log");
    m_globals->Logger()->SetFile(capture.c_str());

    CHeld on;
    hvSetI32(on, 1);
    EXPECT_EQ(host->SetStatus("LOG", on), S_OK);
    const std::string text = ReadFileText(capture);
    EXPECT_NE(text.find(std::string(78, '=')), std::string::npos);
    EXPECT_EQ(text.find("drvSetStatus('LOG') = ON"), std::string::npos);
    CHeld file;
    EXPECT_EQ(host->GetStatus("LOGFILE", file), S_OK);
    EXPECT_EQ(TextOf(file), "");
}

// --- Dispatch to the driver's operations ------------------------------------------------------

// Records the slots a request passes through; the write end of every chain succeeds.
class CDispatchHost : public CIOHost
{
public:
    static TIOPtr<CDispatchHost> Create(CIOGlobals* globals, const CConfigData& config)
    {
        return TIOPtr<CDispatchHost>::Adopt(new CDispatchHost(globals, config));
    }
    static constexpr HRESULT kRefusal = DRAVO_HR(0x80070005u);
    std::vector<std::string> calls;
    bool refuse = false;

#define DRAVO_RECORD_SLOT(slot)                                                                                        \
    HRESULT slot(TagRequest* r, HVALUE v) override                                                                     \
    {                                                                                                                  \
        calls.push_back(#slot);                                                                                        \
        return CIOHost::slot(r, v);                                                                                    \
    }
    DRAVO_RECORD_SLOT(ReadValue)
    DRAVO_RECORD_SLOT(WriteValue)
    DRAVO_RECORD_SLOT(ReadBlock)
    DRAVO_RECORD_SLOT(WriteBlock)
    DRAVO_RECORD_SLOT(ReadBlockElement)
    DRAVO_RECORD_SLOT(WriteBlockElement)
    DRAVO_RECORD_SLOT(MaskWriteValue)
    DRAVO_RECORD_SLOT(MaskWriteBlockElement)
    DRAVO_RECORD_SLOT(MaskWrite)
    DRAVO_RECORD_SLOT(ReadTag)
#undef DRAVO_RECORD_SLOT

    HRESULT WriteTag(TagRequest*, HVALUE) override
    {
        calls.push_back("WriteTag");
        return S_OK;
    }
    HRESULT BeforeIO(TagRequest* r, HVALUE v) override
    {
        calls.push_back("BeforeIO");
        return refuse ? kRefusal : CIOHost::BeforeIO(r, v);
    }
    HRESULT ReadPacket(CBuffer*, CBuffer*) override { return E_NOTIMPL; }

private:
    CDispatchHost(CIOGlobals* globals, const CConfigData& config) : CIOHost(globals, config) {}
};

struct SDispatchCase
{
    uint16_t operation;
    HRESULT status;
    std::vector<std::string> calls;
};

void PrintTo(const SDispatchCase& c, std::ostream* os) { *os << "operation " << c.operation; }

class IOHostDispatchTest : public IOHostTest, public testing::WithParamInterface<SDispatchCase>
{
};

TEST_P(IOHostDispatchTest, OperationsReachTheDriverInSlotOrder)
{
    const SDispatchCase& c = GetParam();
    TIOPtr<CDispatchHost> host = CDispatchHost::Create(m_globals.Get(), m_config);
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = c.operation;
    r.n1 = 7;
    CHeld v;
    EXPECT_EQ(host->ProcessRequest(&r, v), c.status);
    EXPECT_EQ(host->calls, c.calls);
    host->Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Operations, IOHostDispatchTest,
    testing::Values(SDispatchCase{IO_OP_READ_VALUE, E_NOTIMPL, {"BeforeIO", "ReadValue", "ReadTag"}},
                    SDispatchCase{IO_OP_WRITE_VALUE, S_OK, {"BeforeIO", "WriteValue", "WriteTag"}},
                    SDispatchCase{IO_OP_READ_BLOCK, E_NOTIMPL, {"BeforeIO", "ReadBlock", "ReadTag"}},
                    SDispatchCase{IO_OP_WRITE_BLOCK, S_OK, {"BeforeIO", "WriteBlock", "WriteTag"}},
                    SDispatchCase{IO_OP_READ_BLOCK_ELEMENT, E_NOTIMPL, {"BeforeIO", "ReadBlockElement", "ReadTag"}},
                    SDispatchCase{IO_OP_WRITE_BLOCK_ELEMENT, S_OK, {"BeforeIO", "WriteBlockElement", "WriteTag"}},
                    SDispatchCase{IO_OP_MASK_WRITE_VALUE, S_OK, {"BeforeIO", "MaskWriteValue", "MaskWrite", "WriteTag"}},
                    SDispatchCase{IO_OP_MASK_WRITE_BLOCK_ELEMENT,
                                  S_OK,
                                  {"BeforeIO", "MaskWriteBlockElement", "MaskWrite", "WriteTag"}},
                    SDispatchCase{7, E_NOTIMPL, {"BeforeIO"}}));

TEST_F(IOHostTest, ARefusalBeforeIOStopsTheRequest)
{
    TIOPtr<CDispatchHost> host = CDispatchHost::Create(m_globals.Get(), m_config);
    host->refuse = true;
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = IO_OP_WRITE_VALUE;
    r.n1 = 7;
    CHeld v;
    EXPECT_EQ(host->ProcessRequest(&r, v), CDispatchHost::kRefusal);
    EXPECT_EQ(host->calls, std::vector<std::string>{"BeforeIO"});
    EXPECT_EQ(host->ProcessRequest(nullptr, v), E_POINTER);
    host->Stop();
}

// --- Stopping ----------------------------------------------------------------------------------

TEST_F(IOHostTest, GoingOfflineEndsALayerThatGaveUp)
{
    UseServer();
    m_server.Close(); // nobody listens: the first attempt fails
    EXPECT_TRUE(m_config.SetI32("IO.RecoverEnable", 0));
    CHostHolder host = MakeHost();
    ASSERT_EQ(host->GoOnline(true), S_OK);
    EXPECT_TRUE(WaitUntil([&] {
        int32_t state = -1;
        return ReadThroughField(host.Get(), FRAMEWORK_TAG_LAYER_STATUS, &state) == S_OK && state == PLS_STOPPED &&
               LogHas("ABORTED!");
    }));
    EXPECT_EQ(host->GoOffline(), S_OK);
    EXPECT_FALSE(host->IsOnline());
    EXPECT_TRUE(LogHas("Physical layer thread stopped!"));
}

TEST_F(IOHostTest, StoppingTwiceAndOfflineIsHarmless)
{
    CHostHolder host = MakeHost();
    EXPECT_EQ(host->GoOffline(), S_OK);
    host->Stop();
    EXPECT_EQ(host->GoOffline(), S_OK);
}
} // namespace
