// mqtt-host run: the live session. One thread (this one) waits on the stop signals and
// standard input and, every tick, reads the driver's events and the built-in tags;
// notifications arrive on the driver's threads and are printed from there.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HostCommands.h"
#include "json/JsonValue.h"
#include "lib/OutputFormat.h"
#include "platform/Text.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr auto kTick = std::chrono::milliseconds(250);
constexpr auto kBuiltinPollPeriod = std::chrono::milliseconds(1000);
// How long writes given on the command line keep being retried once the link is up: the
// MQTT session needs its CONNACK before a publish can go out.
constexpr auto kWriteRetryWindow = std::chrono::seconds(15);
constexpr int32_t kLinkConnected = 2;

double NowSeconds() { return hvNow(); }

// Serialises lines from the driver's threads and this one.
class COutput
{
public:
    explicit COutput(EOutputFormat format) : m_format(format) {}
    EOutputFormat Format() const { return m_format; }

    void Out(const std::string& line) { Put(stdout, line); }
    void Err(const std::string& line) { Put(stderr, line); }
    void Notice(const std::string& message) { Put(stderr, "mqtt-host: " + message); }

private:
    void Put(FILE* stream, const std::string& line)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::fputs(line.c_str(), stream);
        std::fputc('\n', stream);
        std::fflush(stream);
    }

    EOutputFormat m_format;
    std::mutex m_mutex;
};

struct STag
{
    std::string item;
    uint32_t number = 0;
    bool builtin = false;   // read by polling: the cache serves only the driver's own tags
    std::string lastShown;  // builtin: the last value printed
};

struct SPendingWrite
{
    std::string item;
    CHostValue value;
    std::string lastError;
};

bool IsBuiltinItem(std::string_view item)
{
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
        item.remove_prefix(1);
    return item.size() >= 3 && EqualsNoCase(item.substr(0, 3), "IO.");
}

std::string TextOf(HVALUE value)
{
    const char* text = nullptr;
    return hvGetText(value, &text) && text != nullptr ? text : "";
}

std::string BrokerAddress(const CHostSettings& settings)
{
    std::string ip = TextOf(settings.Find("IO.Ethernet.MainIP"));
    int32_t port = 0;
    HVALUE portValue = settings.Find("IO.Ethernet.MainPort");
    if (portValue == nullptr || !hvGetI32(portValue, &port))
        port = 0;
    return (ip.empty() ? std::string("(no IO.Ethernet.MainIP)") : ip) + ":" + std::to_string(port);
}

class CRunLoop
{
public:
    CRunLoop(CDriverSession& session, const SHostOptions& options, const CHostSettings& settings)
        : m_session(session), m_options(options), m_out(options.output), m_broker(BrokerAddress(settings))
    {
    }

    int Run();

private:
    bool SubscribeTags();
    void UnsubscribeTags();
    bool OpenSignals();
    void Tick(Clock::time_point now);
    void ShowEvents();
    void WatchLink(Clock::time_point now);
    void PollBuiltins();
    void PerformWrites(Clock::time_point now);
    void ReadInput();
    void HandleCommand(std::string_view line);
    void WriteCommand(const JsonValue& command);
    void ReadCommand(const std::string& item);
    void StatusCommand(const std::string& name);

    CDriverSession& m_session;
    const SHostOptions& m_options;
    COutput m_out;
    std::string m_broker;
    std::vector<STag> m_tags;
    TIOPtr<CAdviseCallback> m_callback;
    std::vector<SPendingWrite> m_writes;
    int m_signals = -1;
    bool m_stdinOpen = true;
    std::string m_input;
    bool m_everConnected = false;
    bool m_connected = false;
    bool m_toldNoBroker = false;
    Clock::time_point m_linkUpSince{};
    Clock::time_point m_nextBuiltinPoll{};
};

bool CRunLoop::OpenSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    m_signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_signals < 0)
        PrintError("cannot watch SIGINT and SIGTERM");
    return m_signals >= 0;
}

bool CRunLoop::SubscribeTags()
{
    m_callback = TIOPtr<CAdviseCallback>::Adopt(new CAdviseCallback([this](uint32_t number, HVALUE value, uint32_t) {
        if (number == 0 || number > m_tags.size())
            return;
        m_out.Out(FormatNotification(m_out.Format(), m_tags[number - 1].item, number, value, NowSeconds()));
    }));
    for (size_t i = 0; i < m_options.tags.size(); ++i)
    {
        STag tag;
        tag.item = m_options.tags[i];
        tag.number = static_cast<uint32_t>(i + 1);
        tag.builtin = IsBuiltinItem(tag.item);
        TagInfo info{};
        const HRESULT valid = m_session.Validate(tag.item, info);
        if (info.tagObject != nullptr)
            info.tagObject->Release();
        if (FAILED(valid))
        {
            PrintError("\"" + tag.item + "\" is not a valid item string (" + StatusText(valid) +
                       "); see the item grammar in README.md");
            return false;
        }
        m_tags.push_back(std::move(tag));
    }
    // Subscribed before communication starts: the cache keeps them waiting until the MQTT
    // host opens its section, so no early message is missed.
    for (const STag& tag : m_tags)
    {
        if (tag.builtin)
            continue;
        const HRESULT hr = m_session.Subscribe(tag.item, m_callback.Get(), tag.number);
        if (FAILED(hr))
        {
            PrintError("cannot subscribe \"" + tag.item + "\" (" + StatusText(hr) + ")");
            return false;
        }
    }
    return true;
}

void CRunLoop::UnsubscribeTags()
{
    for (const STag& tag : m_tags)
    {
        if (!tag.builtin)
            m_session.Unsubscribe(tag.number);
    }
}

int CRunLoop::Run()
{
    if (!OpenSignals())
        return 1;
    for (const auto& [item, text] : m_options.writes)
    {
        SPendingWrite write{item, CHostValue(), {}};
        if (!NumberOrTextToValue(text, write.value.Get()))
        {
            PrintError("out of memory");
            return 1;
        }
        m_writes.push_back(std::move(write));
    }
    std::string error;
    const bool subscribed = SubscribeTags();
    if (!subscribed || !m_session.StartComm(error))
    {
        if (subscribed)
            PrintError(error);
        UnsubscribeTags();
        close(m_signals);
        return 1;
    }
    m_out.Notice("communication started; broker " + m_broker + "; stop with Ctrl+C");

    const Clock::time_point start = Clock::now();
    const bool limited = m_options.durationSeconds > 0;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(limited ? m_options.durationSeconds : 0));
    bool stop = false;
    while (!stop)
    {
        const Clock::time_point now = Clock::now();
        if (limited && now >= end)
            break;
        Tick(now);
        auto wait = kTick;
        if (limited)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(end - now) +
                                      std::chrono::milliseconds(1));
        pollfd fds[2] = {{m_signals, POLLIN, 0}, {m_stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(wait.count())) < 0)
            continue;
        if (fds[0].revents & POLLIN)
        {
            signalfd_siginfo info{};
            if (read(m_signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                m_out.Notice(std::string("stopping on ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
            stop = true;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            ReadInput();
    }

    UnsubscribeTags();
    m_session.StopComm();
    // Whatever the stop itself reported.
    ShowEvents();
    m_out.Notice("communication stopped");
    close(m_signals);
    return 0;
}

void CRunLoop::Tick(Clock::time_point now)
{
    ShowEvents();
    WatchLink(now);
    PerformWrites(now);
    if (now >= m_nextBuiltinPoll)
    {
        PollBuiltins();
        m_nextBuiltinPoll = now + kBuiltinPollPeriod;
    }
}

void CRunLoop::ShowEvents()
{
    CHostValue events;
    std::string error;
    if (!events || !m_session.Read("IO.DravoEvent", events.Get(), error))
        return;
    const double arrival = NowSeconds();
    uintptr_t position = 0;
    for (HVALUE event = hvListFirst(events.Get(), &position); event != nullptr;
         event = hvListNext(events.Get(), &position))
    {
        m_out.Out(FormatEvent(m_out.Format(), event, arrival));
        int32_t source = 0;
        int32_t number = 0;
        hvGetElementI32(event, 1, &source);
        hvGetElementI32(event, 2, &number);
        // The framework's failed connection attempts: first, later retry, reconnection.
        const bool connectFailed = source == -1 && (number == 5 || number == 9 || number == 13);
        if (connectFailed && !m_everConnected && !m_toldNoBroker)
        {
            m_toldNoBroker = true;
            m_out.Notice("no broker answers at " + m_broker +
                         "; check IO.Ethernet.MainIP and IO.Ethernet.MainPort (the driver keeps retrying)");
        }
    }
}

void CRunLoop::WatchLink(Clock::time_point now)
{
    CHostValue state;
    std::string error;
    int32_t value = 0;
    const bool connected = state && m_session.Read("IO.PhysicalLayerStatus", state.Get(), error) &&
                           hvGetI32(state.Get(), &value) && value == kLinkConnected;
    if (connected && !m_connected)
    {
        m_linkUpSince = now;
        m_out.Notice((m_everConnected ? "link to the broker at " + m_broker + " is back"
                                      : "connected to the broker at " + m_broker));
        m_everConnected = true;
    }
    else if (!connected && m_connected)
    {
        m_out.Notice("lost the link to the broker at " + m_broker + "; the driver reconnects");
    }
    m_connected = connected;
}

void CRunLoop::PerformWrites(Clock::time_point now)
{
    if (m_writes.empty() || !m_connected)
        return;
    std::vector<SPendingWrite> left;
    for (SPendingWrite& write : m_writes)
    {
        std::string error;
        if (m_session.Write(write.item, write.value.Get(), error))
        {
            m_out.Err(FormatResult(m_out.Format(), "write", write.item, true, "written", write.value.Get()));
            continue;
        }
        if (now - m_linkUpSince >= kWriteRetryWindow)
        {
            m_out.Err(FormatResult(m_out.Format(), "write", write.item, false, error, write.value.Get()));
            continue;
        }
        left.push_back(std::move(write));
    }
    m_writes = std::move(left);
}

void CRunLoop::PollBuiltins()
{
    for (STag& tag : m_tags)
    {
        if (!tag.builtin || EqualsNoCase(tag.item, "IO.DravoEvent"))
            continue;
        CHostValue value;
        std::string error;
        if (!value || !m_session.Read(tag.item, value.Get(), error))
            continue;
        const std::string shown = ValueToJson(value.Get())->StringifyNarrow();
        if (shown == tag.lastShown)
            continue;
        tag.lastShown = shown;
        m_out.Out(FormatNotification(m_out.Format(), tag.item, tag.number, value.Get(), NowSeconds()));
    }
}

void CRunLoop::ReadInput()
{
    char buffer[4096];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0)
    {
        // End of input (or a closed terminal) leaves the session running until a signal.
        m_stdinOpen = false;
        if (!m_input.empty())
            HandleCommand(std::exchange(m_input, {}));
        return;
    }
    m_input.append(buffer, static_cast<size_t>(n));
    size_t newline = 0;
    while ((newline = m_input.find('\n')) != std::string::npos)
    {
        const std::string line = m_input.substr(0, newline);
        m_input.erase(0, newline + 1);
        HandleCommand(line);
    }
}

void CRunLoop::HandleCommand(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    if (line.empty())
        return;
    JsonValue::Ptr command = JsonValue::Parse(line);
    const JsonValue* write = command ? command->Find(u"write") : nullptr;
    const JsonValue* read = command ? command->Find(u"read") : nullptr;
    const JsonValue* status = command ? command->Find(u"status") : nullptr;
    if (write != nullptr && write->Is(JsonKind::String))
        WriteCommand(*command);
    else if (read != nullptr && read->Is(JsonKind::String))
        ReadCommand(Utf16ToUtf8(read->AsString()));
    else if (status != nullptr && status->Is(JsonKind::String))
        StatusCommand(Utf16ToUtf8(status->AsString()));
    else
        m_out.Err(FormatResult(m_out.Format(), "input", std::string(line), false,
                               "not a command; expected {\"write\": ITEM, \"value\": V}, {\"read\": ITEM} "
                               "or {\"status\": NAME}"));
}

void CRunLoop::WriteCommand(const JsonValue& command)
{
    const std::string item = Utf16ToUtf8(command.Find(u"write")->AsString());
    const JsonValue* given = command.Find(u"value");
    if (given == nullptr)
    {
        m_out.Err(FormatResult(m_out.Format(), "write", item, false, "the command has no \"value\""));
        return;
    }
    CHostValue value;
    bool made = false;
    if (given->IsNumber())
        made = JsonToValue(*given, value.Get());
    else if (given->Is(JsonKind::String))
        made = hvSetText(value.Get(), Utf16ToUtf8(given->AsString()).c_str()) != 0;
    else
        made = hvSetText(value.Get(), given->StringifyNarrow().c_str()) != 0;
    std::string error;
    if (!made)
        m_out.Err(FormatResult(m_out.Format(), "write", item, false, "out of memory"));
    else if (m_session.Write(item, value.Get(), error))
        m_out.Err(FormatResult(m_out.Format(), "write", item, true, "written", value.Get()));
    else
        m_out.Err(FormatResult(m_out.Format(), "write", item, false, error, value.Get()));
}

void CRunLoop::ReadCommand(const std::string& item)
{
    CHostValue value;
    std::string error;
    if (m_session.Read(item, value.Get(), error))
        m_out.Err(FormatResult(m_out.Format(), "read", item, true, "read", value.Get()));
    else
        m_out.Err(FormatResult(m_out.Format(), "read", item, false, error));
}

void CRunLoop::StatusCommand(const std::string& name)
{
    CHostValue value;
    if (m_session.GetStatus(name, value.Get()))
        m_out.Err(FormatResult(m_out.Format(), "status", name, true, "drvGetStatus succeeded", value.Get()));
    else
        m_out.Err(FormatResult(m_out.Format(), "status", name, false,
                               "drvGetStatus failed; the known names are LOG and LOGFILE"));
}
} // namespace

int RunCommand(const CDriverLibrary& driver, const SHostOptions& options)
{
    CDriverSession session(driver);
    CHostSettings settings;
    if (!PrepareSession(session, options, settings))
        return 1;
    CRunLoop loop(session, options, settings);
    return loop.Run();
}
