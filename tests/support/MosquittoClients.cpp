#include "support/MosquittoClients.h"

#include "support/TempDir.h"

#include <cerrno>
#include <charconv>
#include <sstream>
#include <string_view>
#include <unistd.h>

namespace
{
// Message lines start with this marker; the trace lines of -d never do. The payload is
// hex (no spaces) and the topic comes last, so topics with spaces parse.
constexpr const char* kMessageMarker = "MSG ";
constexpr const char* kMessageFormat = "MSG %q %r %x %t";

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
    {
        unsigned value = 0;
        std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

int ToInt(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    int value = -1;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}
} // namespace

std::vector<std::string> ClientArguments(const MqttClientOptions& client)
{
    std::vector<std::string> args{"-h", client.host, "-p", std::to_string(client.port)};
    static const char* const versions[] = {"mqttv31", "mqttv311", "mqttv5"};
    if (client.protocolVersion >= 3 && client.protocolVersion <= 5)
        args.insert(args.end(), {"-V", versions[client.protocolVersion - 3]});
    if (!client.user.empty())
        args.insert(args.end(), {"-u", client.user});
    if (!client.user.empty() && !client.password.empty())
        args.insert(args.end(), {"-P", client.password});
    if (!client.clientId.empty())
        args.insert(args.end(), {"-i", client.clientId});
    return args;
}

::testing::AssertionResult Publish(const MqttClientOptions& client, const std::string& topic,
                                   const std::string& payload, int qos, bool retain)
{
    const std::string tool = FindProgram("mosquitto_pub");
    if (tool.empty())
        return ::testing::AssertionFailure() << "mosquitto_pub is not installed";
    TempDir dir("dravo-pub");
    std::vector<std::string> args = ClientArguments(client);
    args.insert(args.end(), {"-t", topic, "-q", std::to_string(qos)});
    if (retain)
        args.push_back("-r");
    if (payload.empty())
    {
        args.push_back("-n");
    }
    else
    {
        const std::string file = dir.File("payload");
        if (!WriteFileText(file, payload))
            return ::testing::AssertionFailure() << "cannot write the payload file " << file;
        args.insert(args.end(), {"-f", file});
    }
    std::string output;
    const std::optional<int> status = RunProgram(tool, args, &output, kTestWait);
    if (status && *status == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "publish to '" << topic << "' failed: " << output;
}

Subscriber::Subscriber(MqttClientOptions client, std::vector<std::string> topics, int qos)
    : m_client(std::move(client)), m_topics(std::move(topics)), m_qos(qos)
{
}

Subscriber::~Subscriber()
{
    Stop();
}

::testing::AssertionResult Subscriber::Start(std::chrono::milliseconds timeout)
{
    const std::string tool = FindProgram("mosquitto_sub");
    if (tool.empty())
        return ::testing::AssertionFailure() << "mosquitto_sub is not installed";
    if (m_reader.joinable())
        return ::testing::AssertionFailure() << "subscriber already started";
    {
        std::lock_guard lock(m_mutex);
        m_subscribed = false;
        m_ended = false;
        m_granted.clear();
    }
    std::vector<std::string> args = ClientArguments(m_client);
    for (const auto& topic : m_topics)
        args.insert(args.end(), {"-t", topic});
    // -d prints the SUBACK, which tells when the subscription is in place.
    args.insert(args.end(), {"-q", std::to_string(m_qos), "-d", "-F", kMessageFormat});
    // The trace lines go through stdio without a flush; line buffering (coreutils' stdbuf)
    // makes each one reach the pipe at once.
    const std::string lineBuffered = FindProgram("stdbuf");
    if (lineBuffered.empty())
        return ::testing::AssertionFailure() << "stdbuf (coreutils) is not installed";
    args.insert(args.begin(), {"-oL", tool});
    ChildOutput output;
    output.stdoutPipe = true;
    auto started = m_process.Start(lineBuffered, args, output);
    if (!started)
        return started;
    m_reader = std::thread([this, fd = m_process.StdoutFd()] { ReadLoop(fd); });

    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_subscribed || m_ended; });
    if (m_subscribed)
        return ::testing::AssertionSuccess();
    const std::string why = m_ended ? "mosquitto_sub ended" : "no SUBACK in time";
    const std::string output_text = m_output;
    lock.unlock();
    Stop();
    return ::testing::AssertionFailure() << "subscriber on port " << m_client.port << ": " << why << ":\n"
                                         << output_text;
}

void Subscriber::Stop()
{
    m_process.Stop();
    // The reader ends at EOF of the pipe, which the child's end closes.
    if (m_reader.joinable())
        m_reader.join();
    m_process.CloseStdout();
}

void Subscriber::ReadLoop(int fd)
{
    std::string pending;
    char chunk[4096];
    for (;;)
    {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(chunk, static_cast<size_t>(got));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos)
        {
            HandleLine(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty())
        HandleLine(pending);
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
}

void Subscriber::HandleLine(const std::string& line)
{
    std::lock_guard lock(m_mutex);
    if (line.rfind(kMessageMarker, 0) == 0)
    {
        // "MSG <qos> <retain> <hex payload> <topic>"
        std::istringstream fields(line.substr(4));
        MqttMessage message;
        std::string hex;
        fields >> message.qos >> message.retain;
        fields.get(); // the space before the payload, which may be empty
        std::getline(fields, hex, ' ');
        std::getline(fields, message.topic);
        message.payload = FromHex(hex);
        m_messages.push_back(std::move(message));
    }
    else
    {
        m_output += line + "\n";
        // "Subscribed (mid: 1): 0, 128"
        if (line.rfind("Subscribed (mid:", 0) == 0)
        {
            const size_t colon = line.find("):");
            std::istringstream codes(colon == std::string::npos ? std::string() : line.substr(colon + 2));
            std::string code;
            while (std::getline(codes, code, ','))
                m_granted.push_back(ToInt(code));
            m_subscribed = true;
        }
    }
    m_changed.notify_all();
}

std::vector<int> Subscriber::Granted() const
{
    std::lock_guard lock(m_mutex);
    return m_granted;
}

std::vector<MqttMessage> Subscriber::Messages() const
{
    std::lock_guard lock(m_mutex);
    return m_messages;
}

size_t Subscriber::Count() const
{
    std::lock_guard lock(m_mutex);
    return m_messages.size();
}

std::string Subscriber::Output() const
{
    std::lock_guard lock(m_mutex);
    return m_output;
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& predicate,
                         std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return predicate(m_messages); });
}

std::optional<MqttMessage> Subscriber::WaitForMessage(const std::string& topic,
                                                      std::chrono::milliseconds timeout)
{
    std::optional<MqttMessage> found;
    WaitFor(
        [&](const std::vector<MqttMessage>& messages)
        {
            for (const auto& message : messages)
                if (message.topic == topic)
                {
                    found = message;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}
