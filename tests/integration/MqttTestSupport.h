// One MQTT driver instance driven the way a SCADA host drives it: MQTT.so loaded with
// dlopen, an instance from drvCreateDriverInstance, a settings value, tag subscriptions with
// a recording callback, writes through drvIO and the driver's log read back from its file.
#pragma once
#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"
#include "dravo/hvalue.h"
#include "lib/DriverLibrary.h"
#include "platform/ModulePath.h"
#include "platform/Text.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

// Owns one value reference.
class CTestValue
{
public:
    CTestValue() : m_value(hvCreate()) {}
    explicit CTestValue(HVALUE adopted) : m_value(adopted) {}
    ~CTestValue()
    {
        if (m_value)
            hvRelease(m_value);
    }
    CTestValue(const CTestValue&) = delete;
    CTestValue& operator=(const CTestValue&) = delete;
    CTestValue(CTestValue&& other) noexcept : m_value(other.m_value) { other.m_value = nullptr; }
    HVALUE Get() const { return m_value; }

    static CTestValue Text(const std::string& text)
    {
        CTestValue value;
        hvSetText(value.Get(), text.c_str());
        return value;
    }
    static CTestValue Real(double number)
    {
        CTestValue value;
        hvSetR64(value.Get(), number);
        return value;
    }

private:
    HVALUE m_value;
};

// One notification of a tag subscription, read out of its value.
struct SNotice
{
    uint32_t number = 0;
    uint8_t type = HV_NULL;
    uint8_t quality = 0;
    double real = 0;
    std::string text;

    bool IsGoodNumber(double expected) const
    {
        return quality == HV_QUALITY_GOOD && hvTypeIsNumber() && real == expected;
    }
    bool IsGoodText(const std::string& expected) const
    {
        return quality == HV_QUALITY_GOOD && type == HV_STR && text == expected;
    }
    // "No valid value": a bad value without payload.
    bool IsNoValue() const { return quality != HV_QUALITY_GOOD && type == HV_NULL; }

private:
    bool hvTypeIsNumber() const { return type >= HV_I8 && type <= HV_R64; }
};

class CRecordingCallback final : public TIOUnknown<IIOAdviseCallback>
{
public:
    HRESULT Notify(uint32_t number, HVALUE value, uint32_t) override
    {
        SNotice notice;
        notice.number = number;
        if (value)
        {
            notice.type = hvGetType(value);
            notice.quality = hvGetQuality(value);
            hvGetR64(value, &notice.real);
            const char* text = nullptr;
            size_t length = 0;
            if (hvGetTextN(value, &text, &length) && text)
                notice.text.assign(text, length);
        }
        {
            std::lock_guard guard(m_mutex);
            m_notices.push_back(notice);
        }
        m_changed.notify_all();
        return S_OK;
    }

    std::vector<SNotice> Notices(uint32_t number) const
    {
        std::lock_guard guard(m_mutex);
        std::vector<SNotice> selected;
        for (const SNotice& notice : m_notices)
            if (notice.number == number)
                selected.push_back(notice);
        return selected;
    }

    // Waits until some notification of subscription `number` satisfies `match`.
    bool WaitFor(uint32_t number, const std::function<bool(const SNotice&)>& match,
                 std::chrono::milliseconds timeout = kTestWait)
    {
        std::unique_lock guard(m_mutex);
        return m_changed.wait_for(guard, timeout, [&] {
            for (const SNotice& notice : m_notices)
                if (notice.number == number && match(notice))
                    return true;
            return false;
        });
    }

    void Forget()
    {
        std::lock_guard guard(m_mutex);
        m_notices.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<SNotice> m_notices;
};

// A configuration key with its value.
struct SSetting
{
    std::string name;
    std::variant<int32_t, double, std::string> value;
};

class MqttDriver
{
public:
    MqttDriver() : m_logDir("mqtt-driver") {}
    ~MqttDriver() { Unload(); }
    MqttDriver(const MqttDriver&) = delete;
    MqttDriver& operator=(const MqttDriver&) = delete;

    // Loads the library and makes an instance configured with the driver's defaults, a log
    // file of its own, a one-second reconnection period and `settings` (which win).
    ::testing::AssertionResult Load(uint16_t brokerPort, const std::vector<SSetting>& settings)
    {
        std::string error;
        const std::string bin = BinDir();
        CDriverLibrary& library = Library();
        if (!library.IsLoaded() && !library.Load(JoinPath(bin.empty() ? ModuleFolder() : bin, "MQTT.so"), error))
            return ::testing::AssertionFailure() << error;
        if (library.CreateDriverInstance(nullptr, &m_instance) != 1 || m_instance == nullptr)
            return ::testing::AssertionFailure() << "drvCreateDriverInstance failed";

        // An empty settings value receives the defaults; the test's keys are laid over them.
        CTestValue defaults;
        m_instance->SetSettingsHandle(defaults.Get());
        std::vector<SSetting> all = {
            {"IO.Ethernet.MainIP", std::string("127.0.0.1")},
            {"IO.Ethernet.MainPort", int32_t(brokerPort)},
            {"IO.RecoverEnable", int32_t(1)},
            {"IO.RecoverPeriodSec", int32_t(1)},
            {"IO.Log.Enable", int32_t(1)},
            {"IO.Log.Filename", LogPath()},
            {"MQTT.ClientID", m_clientId},
        };
        all.insert(all.end(), settings.begin(), settings.end());
        if (!BuildSettings(defaults.Get(), all))
            return ::testing::AssertionFailure() << "settings value could not be built";
        m_instance->SetSettingsHandle(m_settings.Get());
        if (m_instance->QueryInterface(IIOAdviseTag::IID, reinterpret_cast<void**>(&m_advise)) != S_OK)
            return ::testing::AssertionFailure() << "no IIOAdviseTag";
        return ::testing::AssertionSuccess();
    }

    HRESULT Start() { return m_instance->StartComm(0, 0, 0, 0); }
    HRESULT Stop() { return m_instance->StopComm(0, 0, 0, 0); }

    // Subscribes the tag with item string `item` under callback number `number`.
    HRESULT Subscribe(uint32_t number, const std::string& item)
    {
        const std::u16string wide = Utf8ToUtf16(item);
        TagRequest request = Request(IO_OP_READ_VALUE, wide);
        request.scan = 1000;
        return m_advise->Start(&request, &m_callback, number);
    }
    HRESULT Unsubscribe(uint32_t number) { return m_advise->Stop(number); }

    // A validated "WriteValue" of `value` to the tag with item string `item`.
    HRESULT Write(const std::string& item, const CTestValue& value)
    {
        const std::u16string wide = Utf8ToUtf16(item);
        TagRequest request = Request(IO_OP_WRITE_VALUE, wide);
        return m_instance->IO(&request, value.Get());
    }

    CRecordingCallback& Callback() { return m_callback; }
    const std::string& ClientId() const { return m_clientId; }
    std::string LogPath() const { return m_logDir.File("driver.log"); }
    std::string LogText() const { return ReadFileText(LogPath()); }
    size_t CountLog(const std::string& text) const
    {
        const std::string log = LogText();
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
            ++count;
        return count;
    }
    // Waits until `text` occurs at least `count` times in the log.
    bool WaitForLog(const std::string& text, size_t count = 1, std::chrono::milliseconds timeout = kTestWait) const
    {
        return WaitUntil([&] { return CountLog(text) >= count; }, timeout);
    }

    void Unload()
    {
        if (m_instance)
            m_instance->StopComm(0, 0, 0, 0);
        if (m_advise)
            m_advise->Release();
        m_advise = nullptr;
        if (m_instance)
            m_instance->Release();
        m_instance = nullptr;
    }

private:
    // Loaded once and kept for the whole test run: every instance is independent of the others,
    // and no test pays for (or races with) the threads of an unloading library.
    static CDriverLibrary& Library()
    {
        static CDriverLibrary library;
        return library;
    }

    static TagRequest Request(uint16_t operation, const std::u16string& item)
    {
        TagRequest request{};
        request.version = TAG_REQUEST_VERSION_CURRENT;
        request.operation = operation;
        request.count = 1;
        request.n1 = 1;
        request.flags = TAG_REQUEST_VALIDATED;
        request.device = u"";
        request.item = item.c_str();
        return request;
    }

    // The persisted configuration: a header and name/value pairs; later names replace
    // earlier ones (without regard to case).
    bool BuildSettings(HVALUE defaults, const std::vector<SSetting>& overrides)
    {
        std::vector<std::pair<std::string, HVALUE>> pairs;
        const uint16_t count = hvGetCount(defaults);
        for (uint16_t i = 1; i + 1 < count; i += 2)
        {
            CTestValue name(hvGetElementValue(defaults, i));
            const char* text = nullptr;
            if (!name.Get() || !hvGetText(name.Get(), &text) || text == nullptr)
                return false;
            pairs.emplace_back(text, hvGetElementValue(defaults, uint16_t(i + 1)));
        }
        for (const SSetting& setting : overrides)
        {
            HVALUE value = hvCreate();
            if (const int32_t* integer = std::get_if<int32_t>(&setting.value))
                hvSetI32(value, *integer);
            else if (const double* real = std::get_if<double>(&setting.value))
                hvSetR64(value, *real);
            else
                hvSetText(value, std::get<std::string>(setting.value).c_str());
            bool replaced = false;
            for (auto& [name, stored] : pairs)
            {
                if (EqualsNoCase(name, setting.name))
                {
                    hvRelease(stored);
                    stored = value;
                    replaced = true;
                }
            }
            if (!replaced)
                pairs.emplace_back(setting.name, value);
        }
        HVALUE settings = m_settings.Get();
        bool ok = hvMakeArray(settings, HV_HVAL, uint16_t(2 * pairs.size() + 1));
        CTestValue header = CTestValue::Text("Generic Config Data v1.00");
        ok = ok && hvSetElementValue(settings, 0, header.Get());
        uint16_t index = 1;
        for (auto& [name, value] : pairs)
        {
            CTestValue nameValue = CTestValue::Text(name);
            ok = ok && hvSetElementValue(settings, index, nameValue.Get()) &&
                 hvSetElementValue(settings, uint16_t(index + 1), value);
            index = uint16_t(index + 2);
            hvRelease(value);
        }
        return ok;
    }

    static inline int s_clients = 0;
    const std::string m_clientId = "dravo-test-" + std::to_string(++s_clients);
    TempDir m_logDir;
    IIODriverInstance* m_instance = nullptr;
    IIOAdviseTag* m_advise = nullptr;
    CTestValue m_settings;
    CRecordingCallback m_callback;
};

// A payload made of `count` topics under `prefix`: prefix/0, prefix/1, ...
inline std::vector<std::string> NumberedTopics(const std::string& prefix, size_t count)
{
    std::vector<std::string> topics;
    for (size_t i = 0; i < count; ++i)
        topics.push_back(prefix + "/" + std::to_string(i));
    return topics;
}
