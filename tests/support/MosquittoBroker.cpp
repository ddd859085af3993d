#include "support/MosquittoBroker.h"

#include "support/MosquittoSecurity.h"

#include <filesystem>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace
{
constexpr int kPortAttempts = 5;

std::string FindDynsecPlugin()
{
    static const char* const candidates[] = {
        "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so",
        "/usr/lib/aarch64-linux-gnu/mosquitto_dynamic_security.so",
        "/usr/lib/mosquitto_dynamic_security.so",
        "/usr/local/lib/mosquitto_dynamic_security.so",
    };
    for (const char* path : candidates)
        if (access(path, R_OK) == 0)
            return path;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(
             "/usr/lib", std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    {
        if (it->path().filename() == "mosquitto_dynamic_security.so")
            return it->path().string();
    }
    return {};
}

// Run as root, mosquitto drops to the "mosquitto" user, which could neither write our log
// nor read our files; naming the current user keeps it as it is.
std::string CurrentUserName()
{
    const passwd* entry = getpwuid(geteuid());
    return entry && entry->pw_name ? entry->pw_name : std::string();
}
} // namespace

MosquittoBroker::MosquittoBroker(MosquittoOptions options)
    : m_options(std::move(options)), m_dir("dravo-mosquitto"), m_port(m_options.port)
{
    m_configPath = m_dir.File("mosquitto.conf");
    m_logPath = m_dir.File("mosquitto.log");
    m_stderrPath = m_dir.File("stderr.txt");
}

MosquittoBroker::~MosquittoBroker()
{
    m_process.Stop();
}

::testing::AssertionResult MosquittoBroker::Prepare()
{
    if (m_prepared)
        return ::testing::AssertionSuccess();
    if (!m_dir.Valid())
        return ::testing::AssertionFailure() << "cannot create a temporary folder";
    if (!m_options.users.empty())
    {
        auto written = WritePasswordFile();
        if (!written)
            return written;
    }
    std::string plugin;
    if (m_options.dynamicSecurity)
    {
        plugin = FindDynsecPlugin();
        if (plugin.empty())
            return ::testing::AssertionFailure() << "mosquitto_dynamic_security.so not found under /usr/lib";
        auto written = WriteDynsecConfig();
        if (!written)
            return written;
    }

    std::ostringstream config;
    const std::string user = CurrentUserName();
    if (!user.empty())
        config << "user " << user << "\n";
    config << "per_listener_settings false\n"
           << "persistence false\n"
           << "log_dest file " << m_logPath << "\n"
           << "log_type all\n"
           << "connection_messages true\n"
           << "allow_anonymous " << (m_options.allowAnonymous ? "true" : "false") << "\n";
    if (!m_options.users.empty())
        config << "password_file " << m_dir.File("passwords") << "\n";
    if (!plugin.empty())
        config << "plugin " << plugin << "\n"
               << "plugin_opt_config_file " << m_dir.File("dynsec.json") << "\n";
    // The listener line is written at each start (the port may change); see StartOnce.
    if (!WriteFileText(m_dir.File("common.conf"), config.str()))
        return ::testing::AssertionFailure() << "cannot write the broker configuration";
    m_prepared = true;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult MosquittoBroker::WritePasswordFile()
{
    const std::string file = m_dir.File("passwords");
    const std::string tool = m_options.useBrokerTools ? FindProgram("mosquitto_passwd") : std::string();
    if (tool.empty())
    {
        std::string lines;
        for (const auto& [user, password] : m_options.users)
            lines += MosquittoPasswordLine(user, password);
        if (lines.empty() || !WriteFileText(file, lines))
            return ::testing::AssertionFailure() << "cannot write the password file " << file;
        return ::testing::AssertionSuccess();
    }
    bool first = true;
    for (const auto& [user, password] : m_options.users)
    {
        std::vector<std::string> args{"-b", file, user, password};
        if (first)
            args.insert(args.begin(), "-c");
        first = false;
        std::string output;
        const auto status = RunProgram(tool, args, &output, kTestWait);
        if (!status || *status != 0)
            return ::testing::AssertionFailure() << "mosquitto_passwd failed for " << user << ": " << output;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult MosquittoBroker::WriteDynsecConfig()
{
    const std::string file = m_dir.File("dynsec.json");
    const std::string tool = m_options.useBrokerTools ? FindProgram("mosquitto_ctrl") : std::string();
    if (tool.empty())
    {
        const std::string config = DynsecAdminConfig(m_options.dynsecAdmin, m_options.dynsecPassword);
        if (config.empty() || !WriteFileText(file, config))
            return ::testing::AssertionFailure()
                   << "cannot write the dynamic-security configuration " << file;
        return ::testing::AssertionSuccess();
    }
    std::string output;
    const auto status = RunProgram(
        tool, {"dynsec", "init", file, m_options.dynsecAdmin, m_options.dynsecPassword}, &output, kTestWait);
    if (!status || *status != 0)
        return ::testing::AssertionFailure() << "mosquitto_ctrl dynsec init failed: " << output;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult MosquittoBroker::StartOnce(std::chrono::milliseconds timeout, bool* portTaken)
{
    *portTaken = false;
    std::string config = ReadFileText(m_dir.File("common.conf"));
    config += "listener " + std::to_string(m_port) + " 127.0.0.1\n";
    for (const auto& line : m_options.extraConfig)
        config += line + "\n";
    if (!WriteFileText(m_configPath, config))
        return ::testing::AssertionFailure() << "cannot write " << m_configPath;
    // The broker appends to its log; what this run writes starts here.
    m_logStart = LogText().size();

    const std::string broker = FindProgram("mosquitto");
    if (broker.empty())
        return ::testing::AssertionFailure() << "mosquitto is not installed";
    ChildOutput output;
    output.stdoutPath = m_stderrPath;
    auto started = m_process.Start(broker, {"-c", m_configPath}, output);
    if (!started)
        return started;

    // The log line proves that this broker, not some other process on the port, is up.
    const std::string running = "running";
    bool up = false;
    WaitUntil(
        [&]
        {
            if (!m_process.Running())
                return true;
            up = LogText().find(running, m_logStart) != std::string::npos && CanConnect(m_port);
            return up;
        },
        timeout);
    if (up)
        return ::testing::AssertionSuccess();
    m_process.Stop();
    const std::string diagnostics = Diagnostics();
    *portTaken = diagnostics.find("Address already in use") != std::string::npos;
    return ::testing::AssertionFailure() << "mosquitto did not start on port " << m_port << ":\n"
                                         << diagnostics;
}

::testing::AssertionResult MosquittoBroker::Start(std::chrono::milliseconds timeout)
{
    if (m_process.Running())
        return ::testing::AssertionFailure() << "mosquitto already runs on port " << m_port;
    auto prepared = Prepare();
    if (!prepared)
        return prepared;
    const bool pickPort = m_port == 0;
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < kPortAttempts; ++attempt)
    {
        if (pickPort)
            m_port = FreeTcpPort();
        bool portTaken = false;
        result = StartOnce(timeout, &portTaken);
        if (result || !portTaken || !pickPort)
            return result;
    }
    return result;
}

::testing::AssertionResult MosquittoBroker::Stop(std::chrono::milliseconds grace)
{
    if (!m_process.Running())
    {
        m_process.Stop();
        return ::testing::AssertionSuccess();
    }
    const std::optional<int> status = m_process.Stop(grace);
    if (status && *status == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "mosquitto did not end cleanly (status " << (status ? *status : -1) << "):\n"
           << Diagnostics();
}

::testing::AssertionResult MosquittoBroker::Restart(std::chrono::milliseconds timeout)
{
    auto stopped = Stop();
    if (!stopped)
        return stopped;
    return Start(timeout);
}

void MosquittoBroker::Kill()
{
    m_process.Kill();
}

bool MosquittoBroker::Freeze()
{
    return m_process.Freeze();
}

bool MosquittoBroker::Thaw()
{
    return m_process.Thaw();
}

bool MosquittoBroker::IsRunning()
{
    return m_process.Running();
}

std::string MosquittoBroker::LogText() const
{
    return ReadFileText(m_logPath);
}

bool MosquittoBroker::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return LogText().find(text, m_logStart) != std::string::npos; }, timeout);
}

std::string MosquittoBroker::Diagnostics() const
{
    return "--- configuration\n" + ReadFileText(m_configPath) + "--- log\n" + LogText() + "--- output\n" +
           ReadFileText(m_stderrPath);
}

MqttClientOptions MosquittoBroker::Client(const std::string& user, const std::string& password) const
{
    MqttClientOptions client;
    client.port = m_port;
    client.user = user;
    client.password = password;
    return client;
}

MqttClientOptions MosquittoBroker::Admin() const
{
    return Client(m_options.dynsecAdmin, m_options.dynsecPassword);
}
