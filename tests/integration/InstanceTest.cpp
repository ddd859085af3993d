// The driver instance seen from a host that loads MQTT.so with dlopen: the settings value
// it hands over, requests in old and current layouts, tag subscriptions, and callbacks
// that call back into the driver while values arrive from a real broker.
#include "MqttTestSupport.h"
#include "support/MosquittoBroker.h"
#include "support/MosquittoClients.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <unistd.h>

namespace
{
// The parameters of a stored configuration by name; empty when `settings` is none.
std::map<std::string, CTestValue> StoredParameters(HVALUE settings)
{
    std::map<std::string, CTestValue> stored;
    const char* header = nullptr;
    if (hvGetCount(settings) == 0 || !hvGetElementText(settings, 0, &header) || header == nullptr ||
        std::strcmp(header, "Generic Config Data v1.00") != 0)
        return stored;
    for (uint16_t i = 1; i + 1 < hvGetCount(settings); i += 2)
    {
        const char* name = nullptr;
        if (hvGetElementText(settings, i, &name) && name)
            stored.emplace(name, CTestValue(hvGetElementValue(settings, uint16_t(i + 1))));
    }
    return stored;
}

int32_t Integer(const std::map<std::string, CTestValue>& stored, const std::string& name)
{
    const auto it = stored.find(name);
    int32_t x = -1;
    return it != stored.end() && hvGetI32(it->second.Get(), &x) ? x : -1;
}

// Makes `v` a stored configuration holding `settings` in order.
void MakeConfiguration(HVALUE v, const std::vector<SSetting>& settings)
{
    bool ok = hvMakeArray(v, HV_HVAL, uint16_t(2 * settings.size() + 1)) &&
              hvSetElementText(v, 0, "Generic Config Data v1.00");
    uint16_t index = 1;
    for (const SSetting& s : settings)
    {
        CTestValue parameter;
        if (const int32_t* integer = std::get_if<int32_t>(&s.value))
            hvSetI32(parameter.Get(), *integer);
        else if (const double* real = std::get_if<double>(&s.value))
            hvSetR64(parameter.Get(), *real);
        else
            hvSetText(parameter.Get(), std::get<std::string>(s.value).c_str());
        ok = ok && hvSetElementText(v, index, s.name.c_str()) &&
             hvSetElementValue(v, uint16_t(index + 1), parameter.Get());
        index = uint16_t(index + 2);
    }
    EXPECT_TRUE(ok);
}

// An old request record in a heap block of exactly its layout's length.
template <class TOld> std::unique_ptr<unsigned char[]> OldRecord(const TOld& record, size_t length)
{
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[length]);
    std::memcpy(bytes.get(), &record, length);
    return bytes;
}

template <class TOld> TOld OldEventRead(uint16_t version)
{
    TOld r{};
    r.version = version;
    r.operation = IO_OP_READ_VALUE;
    r.count = 4;
    r.size = 4;
    r.n1 = 0xFFFF;
    r.n4 = 1; // IO.DravoEvent
    return r;
}

// The host's callback; `hook` runs inside Notify.
class CHookedCallback final : public TIOUnknown<IIOAdviseCallback>
{
public:
    HRESULT Notify(uint32_t number, HVALUE value, uint32_t) override
    {
        double x = 0;
        hvGetR64(value, &x);
        if (hook)
            hook(number, value);
        std::lock_guard guard(m_lock);
        m_last[number] = x;
        return S_OK;
    }

    bool WaitForValue(uint32_t number, double x)
    {
        return WaitUntil(
            [&]
            {
                std::lock_guard guard(m_lock);
                const auto it = m_last.find(number);
                return it != m_last.end() && it->second == x;
            });
    }

    std::function<void(uint32_t, HVALUE)> hook;

private:
    std::mutex m_lock;
    std::map<uint32_t, double> m_last;
};

// One instance from drvCreateDriverInstance of a freshly loaded MQTT.so, with a log file.
class InstanceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        const std::string bin = BinDir();
        ASSERT_TRUE(m_library.Load(JoinPath(bin.empty() ? ModuleFolder() : bin, "MQTT.so"), error)) << error;
        ASSERT_EQ(m_library.CreateDriverInstance(nullptr, &m_instance), 1);
        ASSERT_EQ(m_instance->QueryInterface(IIOAdviseTag::IID, reinterpret_cast<void**>(&m_advise)), S_OK);
        ASSERT_EQ(m_instance->QueryInterface(IIOParseTag::IID, reinterpret_cast<void**>(&m_parse)), S_OK);
    }

    void TearDown() override
    {
        if (m_instance)
            m_instance->StopComm(0, 0, 0, 0);
        for (IIOUnknown* i : {static_cast<IIOUnknown*>(m_parse), static_cast<IIOUnknown*>(m_advise),
                              static_cast<IIOUnknown*>(m_instance)})
            if (i)
                i->Release();
        m_library.Unload();
    }

    // Hands the instance a configuration of `settings` after an offline interface and the log.
    void Configure(const std::vector<SSetting>& settings)
    {
        std::vector<SSetting> all = {
            {"IO.Type", std::string("None")}, {"IO.Log.Enable", int32_t(1)}, {"IO.Log.Filename", LogPath()}};
        all.insert(all.end(), settings.begin(), settings.end());
        MakeConfiguration(m_settings.Get(), all);
        m_instance->SetSettingsHandle(m_settings.Get());
    }

    HRESULT Subscribe(const char16_t* item, uint32_t number, IIOAdviseCallback* callback)
    {
        TagRequest r{};
        r.version = TAG_REQUEST_VERSION_CURRENT;
        r.operation = IO_OP_READ_VALUE;
        r.flags = TAG_REQUEST_VALIDATED;
        r.item = item;
        r.scan = 1000;
        return m_advise->Start(&r, callback, number);
    }

    std::string LogPath() const { return m_logDir.File("driver.log"); }
    bool LogHas(const std::string& text) const
    {
        return ReadFileText(LogPath()).find(text) != std::string::npos;
    }

    TempDir m_logDir{"dravo-instance"};
    CDriverLibrary m_library;
    IIODriverInstance* m_instance = nullptr;
    IIOAdviseTag* m_advise = nullptr;
    IIOParseTag* m_parse = nullptr;
    CTestValue m_settings;
};
} // namespace

TEST_F(InstanceTest, EmptySettingsValueReceivesTheDefaults)
{
    // Through the plain service, as a host configures the default instance.
    CTestValue settings;
    m_library.SetSettingsHandle(settings.Get());
    const auto stored = StoredParameters(settings.Get());

    // The framework's defaults, with the MQTT defaults written over them.
    const std::map<std::string, int32_t> integers = {
        {"IO.TimeoutMs", 1000},    {"IO.RecoverEnable", 1},      {"IO.RecoverPeriodSec", 20},
        {"IO.Serial.Port", 1},     {"IO.Serial.Baudrate", 9600}, {"IO.Serial.DataBits", 8},
        {"IO.Serial.Parity", 0},   {"IO.Serial.StopBits", 0},    {"IO.Ethernet.MainPort", 1883},
        {"MQTT.VersionNumber", 4}, {"MQTT.KeepAlive", 5},        {"MQTT.MaxRequests", 50},
    };
    for (const auto& [name, x] : integers)
        EXPECT_EQ(Integer(stored, name), x) << name;
    ASSERT_TRUE(stored.count("IO.Type"));
    const char* type = nullptr;
    ASSERT_TRUE(hvGetText(stored.at("IO.Type").Get(), &type));
    EXPECT_STREQ(type, "Ethernet");
    EXPECT_TRUE(stored.count("IO.Log.Filename"));
    EXPECT_EQ(stored.size(), integers.size() + 2);
}

TEST_F(InstanceTest, LegacyTimeoutMigrationReachesTheSavedValueAndTheRunningHost)
{
    Configure({{"IO.msTimeout", int32_t(3000)}, {"IO.Ethernet.PingTimeout", int32_t(700)}});
    const auto stored = StoredParameters(m_settings.Get());
    EXPECT_EQ(Integer(stored, "IO.TimeoutMs"), 3000);
    EXPECT_EQ(Integer(stored, "IO.Ethernet.PingTimeoutMs"), 700);
    EXPECT_FALSE(stored.count("IO.msTimeout"));
    EXPECT_FALSE(stored.count("IO.Ethernet.PingTimeout"));
    EXPECT_FALSE(stored.count("MQTT.KeepAlive")); // a stored configuration gets no defaults

    // The running host reads the renamed key through its parameter tag.
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    TagInfo info{};
    ASSERT_EQ(m_parse->Validate(nullptr, u"IO.TimeoutMs", &info), S_OK);
    CTestValue result;
    CTestValue unused;
    TagRequest r{};
    r.version = 5;
    r.operation = IO_OP_READ_VALUE;
    r.count = 1;
    r.n1 = info.n1;
    r.n2 = info.n2;
    r.n3 = info.n3;
    r.n4 = info.n4;
    r.flags = TAG_REQUEST_VALIDATED;
    r.item = u"IO.TimeoutMs";
    r.value = result.Get();
    ASSERT_EQ(m_instance->IO(&r, unused.Get()), S_OK);
    int32_t timeout = 0;
    EXPECT_TRUE(hvGetI32(result.Get(), &timeout));
    EXPECT_EQ(timeout, 3000);
}

TEST_F(InstanceTest, OldReadValueOfABlockIsReadAsTheLayoutSays)
{
    Configure({});
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);

    // Layout A: a "ReadValue" of four elements becomes a "ReadBlock", which the event block
    // accepts.
    auto a = OldEventRead<TagRequestOldA>(1);
    a.value = reinterpret_cast<HVALUE>(uintptr_t(0x1000)); // carried along, never read
    const auto recordA = OldRecord(a, offsetof(TagRequestOldA, status));
    CTestValue events = CTestValue::Text("stale");
    EXPECT_EQ(m_instance->IO(reinterpret_cast<TagRequest*>(recordA.get()), events.Get()), S_OK);
    EXPECT_EQ(hvGetType(events.Get()), HV_LIST);

    // Layout B: it stays a "ReadValue", which is not how the event block is read.
    const auto recordB = OldRecord(OldEventRead<TagRequestOldB>(1), offsetof(TagRequestOldB, status));
    CTestValue untouched = CTestValue::Text("kept");
    EXPECT_EQ(m_instance->IO(reinterpret_cast<TagRequest*>(recordB.get()), untouched.Get()), E_FAIL);
    EXPECT_EQ(hvGetType(untouched.Get()), HV_STR);
    EXPECT_TRUE(LogHas("Tag(65535.0.0.1).ReadValue = ERROR (hr=80004005)"));
}

TEST_F(InstanceTest, DialogWithoutToolkitEndsCancelledAndKeepsTheStoredConfiguration)
{
    Configure({{"IO.TimeoutMs", int32_t(700)}});
    EXPECT_EQ(m_instance->DriverDialog(nullptr), E_FAIL);
    EXPECT_EQ(Integer(StoredParameters(m_settings.Get()), "IO.TimeoutMs"), 700);
    EXPECT_EQ(m_library.DriverDialog(nullptr), -1);
}

TEST_F(InstanceTest, UnvalidatedRequestWithAnItemTextFailsBeforeTheHost)
{
    Configure({});
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    CTestValue value = CTestValue::Text("v");
    TagRequest r{};
    r.version = TAG_REQUEST_VERSION_CURRENT;
    r.operation = IO_OP_WRITE_VALUE;
    r.count = 1;
    r.n1 = 1;
    r.item = u"plant/x";
    EXPECT_EQ(m_instance->IO(&r, value.Get()), IO_E_UNVALIDATED_REQUEST);
    EXPECT_TRUE(LogHas("Tag('plant/x'1.0.0.0).WriteValue (") && LogHas("= ERROR (hr=8004E004)"));

    // The same request validated is the host's to answer.
    r.flags = TAG_REQUEST_VALIDATED;
    EXPECT_NE(m_instance->IO(&r, value.Get()), IO_E_UNVALIDATED_REQUEST);
}

TEST_F(InstanceTest, FrameworkTagsCannotBeSubscribed)
{
    Configure({});
    TIOPtr<CHookedCallback> callback = TIOPtr<CHookedCallback>::Adopt(new CHookedCallback);
    EXPECT_EQ(Subscribe(u"IO.WorkOnline", 1, callback.Get()), E_FAIL);
    EXPECT_EQ(Subscribe(u"  io.workonline", 2, callback.Get()), E_FAIL);
    EXPECT_EQ(Subscribe(u"IOX/topic", 3, callback.Get()), S_OK);
}

TEST_F(InstanceTest, CallbackNumberCanBeUsedOnlyOnceAtATime)
{
    Configure({});
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK); // opens the log
    TIOPtr<CHookedCallback> callback = TIOPtr<CHookedCallback>::Adopt(new CHookedCallback);
    EXPECT_EQ(Subscribe(u"plant/a", 1, callback.Get()), S_OK);
    EXPECT_EQ(Subscribe(u"plant/b", 1, callback.Get()), E_FAIL);
    EXPECT_EQ(m_advise->Stop(1), S_OK);
    EXPECT_EQ(Subscribe(u"plant/b", 1, callback.Get()), S_OK);
    EXPECT_TRUE(LogHas("Tag('plant/b').Callback[1].Start 1000ms = ERROR (80004005)"));
}

TEST_F(InstanceTest, CallbackThatCallsBackIntoTheDriverDoesNotDeadlock)
{
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    const std::string clientId = "dravo-instance-" + std::to_string(::getpid());
    Configure({{"IO.Type", std::string("Ethernet")},
               {"IO.Ethernet.MainIP", std::string("127.0.0.1")},
               {"IO.Ethernet.MainPort", int32_t(broker.Port())},
               {"IO.RecoverEnable", int32_t(1)},
               {"IO.RecoverPeriodSec", int32_t(1)},
               {"MQTT.VersionNumber", int32_t(4)},
               {"MQTT.KeepAlive", int32_t(5)},
               {"MQTT.ClientID", clientId}});
    ASSERT_EQ(m_instance->StartComm(0, 0, 0, 0), S_OK);
    Subscriber echo(broker.Client(), {"loop/echo"});
    ASSERT_TRUE(echo.Start());

    // Inside Notify the host subscribes and drops another tag, changes the scan period,
    // asks for a status and writes the value on to another topic.
    std::atomic<uint32_t> side{100};
    std::atomic<int> failures{0};
    TIOPtr<CHookedCallback> callback = TIOPtr<CHookedCallback>::Adopt(new CHookedCallback);
    callback->hook = [&](uint32_t number, HVALUE value)
    {
        const uint32_t n = side++;
        CTestValue status;
        TagRequest write{};
        write.version = TAG_REQUEST_VERSION_CURRENT;
        write.operation = IO_OP_WRITE_VALUE;
        write.count = 1;
        write.n1 = 1;
        write.flags = TAG_REQUEST_VALIDATED;
        write.item = u"loop/echo";
        if (FAILED(Subscribe(u"loop/side", n, callback.Get())) || FAILED(m_advise->Stop(n)) ||
            FAILED(m_advise->SetScan(number, 500)) || FAILED(m_instance->GetStatus("LOG", status.Get())))
            ++failures;
        // A bad value (the link went away) has nothing to pass on.
        if (hvGetQuality(value) == HV_QUALITY_GOOD && FAILED(m_instance->IO(&write, value)))
            ++failures;
    };
    ASSERT_EQ(Subscribe(u"loop/in", 1, callback.Get()), S_OK);
    ASSERT_TRUE(WaitUntil(
        [&] { return broker.LogText().find("Sending SUBACK to " + clientId) != std::string::npos; }))
        << ReadFileText(LogPath());

    for (int i = 1; i <= 5; ++i)
        ASSERT_TRUE(Publish(broker.Client(), "loop/in", std::to_string(i)));
    EXPECT_TRUE(callback->WaitForValue(1, 5));
    // The driver writes numbers in its own text form ("5" may come out as "5.000000").
    EXPECT_TRUE(
        echo.WaitFor([](const std::vector<MqttMessage>& m)
                     { return m.size() == 5 && std::strtod(m.back().payload.c_str(), nullptr) == 5.0; }))
        << echo.Count();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(m_instance->StopComm(0, 0, 0, 0), S_OK);
}
