// mqtt-host as a person or a script uses it: the real program, the real driver and a real
// broker. The jsonl output is read back as JSON objects.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "json/JsonValue.h"
#include "platform/ModulePath.h"
#include "platform/Text.h"
#include "support/ChildProcess.h"
#include "support/MosquittoBroker.h"
#include "support/MosquittoClients.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

namespace
{
std::string HostPath()
{
    const std::string bin = BinDir();
    return JoinPath(bin.empty() ? ModuleFolder() : bin, "mqtt-host");
}

std::string Member(const JsonValue& object, const char16_t* name)
{
    const JsonValue* member = object.Find(name);
    if (member == nullptr)
        return "<absent>";
    return member->Is(JsonKind::String) ? Utf16ToUtf8(member->AsString()) : member->StringifyNarrow();
}

// A running `mqtt-host run --output jsonl` whose standard output is read back line by line.
class CHostRun
{
public:
    explicit CHostRun(TempDir& dir) : m_dir(dir) {}

    ::testing::AssertionResult Start(const std::vector<std::string>& args, bool withInput = false)
    {
        m_out = m_dir.File("out.jsonl");
        m_err = m_dir.File("err.txt");
        std::vector<std::string> all = {"run", "--output", "jsonl"};
        all.insert(all.end(), args.begin(), args.end());
        if (!withInput)
            return m_process.Start(HostPath(), all, ChildOutput{m_out, false, m_err});
        // Standard input from a FIFO: the shell opens it and becomes mqtt-host itself.
        const std::string fifo = m_dir.File("input");
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return ::testing::AssertionFailure() << "mkfifo failed";
        std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" < " + fifo, HostPath()};
        shell.insert(shell.end(), all.begin(), all.end());
        auto started = m_process.Start("/bin/sh", shell, ChildOutput{m_out, false, m_err});
        if (!started)
            return started;
        m_input = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (m_input < 0)
            return ::testing::AssertionFailure() << "cannot open the input FIFO";
        return ::testing::AssertionSuccess();
    }

    ~CHostRun()
    {
        if (m_input >= 0)
            close(m_input);
    }

    bool Send(const std::string& line)
    {
        const std::string text = line + "\n";
        return write(m_input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // Every complete line of standard output, parsed (lines that are not JSON are kept as null).
    std::vector<std::unique_ptr<JsonValue>> Lines() const
    {
        std::vector<std::unique_ptr<JsonValue>> lines;
        std::istringstream text(ReadFileText(m_out));
        std::string line;
        while (std::getline(text, line))
        {
            JsonValue::Ptr json = JsonValue::Parse(line);
            lines.push_back(json ? std::move(json) : JsonValue::MakeNull());
        }
        return lines;
    }

    // Waits for a line for which `match` holds; returns its index or -1.
    int WaitForLine(const std::function<bool(const JsonValue&)>& match, size_t from = 0)
    {
        int found = -1;
        WaitUntil([&] {
            const auto lines = Lines();
            for (size_t i = from; i < lines.size(); ++i)
            {
                if (lines[i]->Is(JsonKind::Object) && match(*lines[i]))
                {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        }, std::chrono::seconds(30));
        return found;
    }

    std::string Errors() const { return ReadFileText(m_err); }
    std::string Output() const { return ReadFileText(m_out); }
    ChildProcess& Process() { return m_process; }

private:
    TempDir& m_dir;
    ChildProcess m_process;
    std::string m_out;
    std::string m_err;
    int m_input = -1;
};

std::function<bool(const JsonValue&)> Notification(const std::string& tag, const std::string& value,
                                                   const std::string& quality = "192")
{
    return [=](const JsonValue& line) {
        return Member(line, u"tag") == tag && Member(line, u"value") == value && Member(line, u"quality") == quality;
    };
}

class HostRunTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (FindProgram("mosquitto").empty())
            GTEST_SKIP() << "the mosquitto broker is not installed";
        ASSERT_TRUE(m_broker.Start());
    }

    std::vector<std::string> BrokerSettings() const
    {
        return {"--set", "IO.Ethernet.MainIP=127.0.0.1", "--set", "IO.Ethernet.MainPort=" + std::to_string(m_broker.Port()),
                "--set", "IO.RecoverPeriodSec=1", "--set", "MQTT.ClientID=host-run-test"};
    }

    MosquittoBroker m_broker;
    TempDir m_dir{"host-run"};
};
} // namespace

TEST_F(HostRunTest, PrintsPublishedValuesWritesBackAndShowsALinkLossAndItsRecovery)
{
    Subscriber written(m_broker.Client(), {"test/out"});
    ASSERT_TRUE(written.Start());

    CHostRun host(m_dir);
    std::vector<std::string> args = BrokerSettings();
    for (const char* tag : {"test/number", "test/text", "test/out"})
        args.insert(args.end(), {"--tag", tag});
    args.insert(args.end(), {"--write", "test/out", "42.5"});
    ASSERT_TRUE(host.Start(args));

    // The write goes out once the session is up: the broker's subscriber sees the payload.
    const auto out = written.WaitForMessage("test/out", std::chrono::seconds(30));
    ASSERT_TRUE(out.has_value()) << host.Errors();
    EXPECT_EQ(out->payload, "42.500000");

    ASSERT_TRUE(Publish(m_broker.Client(), "test/number", "21,5", 0, true));
    ASSERT_TRUE(Publish(m_broker.Client(), "test/text", "hello", 0, true));
    const int number = host.WaitForLine(Notification("test/number", "21.5"));
    ASSERT_GE(number, 0) << host.Output() << host.Errors();
    const int text = host.WaitForLine(Notification("test/text", "hello"));
    ASSERT_GE(text, 0) << host.Output();
    {
        const auto lines = host.Lines();
        const JsonValue& line = *lines[static_cast<size_t>(number)];
        EXPECT_EQ(Member(line, u"callback"), "1");
        EXPECT_EQ(Member(line, u"type"), "R64");
        const std::string time = Member(line, u"time");
        ASSERT_EQ(time.size(), 24u) << time;
        EXPECT_EQ(time[10], 'T');
        EXPECT_EQ(time[19], '.');
        EXPECT_EQ(time.back(), 'Z');
        EXPECT_EQ(Member(*lines[static_cast<size_t>(text)], u"type"), "STR");
        EXPECT_EQ(Member(*lines[static_cast<size_t>(text)], u"callback"), "2");
    }

    // A broker restart drops the link: the tags lose their quality, and after the
    // reconnection and resubscription the retained values come back good.
    const size_t before = host.Lines().size();
    ASSERT_TRUE(m_broker.Restart());
    const int bad = host.WaitForLine(Notification("test/number", "null", "0"), before);
    ASSERT_GE(bad, 0) << host.Output() << host.Errors();
    ASSERT_TRUE(Publish(m_broker.Client(), "test/number", "22.25", 0, true));
    EXPECT_GE(host.WaitForLine(Notification("test/number", "22.25"), static_cast<size_t>(bad)), 0)
        << host.Output() << host.Errors();
    EXPECT_GE(host.WaitForLine([](const JsonValue& line) { return Member(line, u"number") == "7"; }), 0)
        << "the link loss event";

    // SIGTERM stops communication cleanly with exit code 0.
    EXPECT_EQ(host.Process().Stop(), 0) << host.Errors();
    EXPECT_NE(host.Errors().find("communication stopped"), std::string::npos) << host.Errors();
}

TEST_F(HostRunTest, AnswersCommandsOnStandardInput)
{
    Subscriber written(m_broker.Client(), {"cmd/out"});
    ASSERT_TRUE(written.Start());
    CHostRun host(m_dir);
    std::vector<std::string> args = BrokerSettings();
    args.insert(args.end(), {"--tag", "IO.PhysicalLayerStatus"});
    ASSERT_TRUE(host.Start(args, true));
    ASSERT_GE(host.WaitForLine(Notification("IO.PhysicalLayerStatus", "2")), 0) << host.Errors();
    // The link is up before the MQTT session: a write may need a retry, as a person would.
    ASSERT_TRUE(WaitUntil([&] {
        host.Send(R"({"write": "cmd/out", "value": "on"})");
        return written.WaitForMessage("cmd/out", std::chrono::milliseconds(500)).has_value();
    }, std::chrono::seconds(30))) << host.Errors();
    EXPECT_EQ(written.WaitForMessage("cmd/out")->payload, "on");

    ASSERT_TRUE(host.Send(R"({"status": "LOG"})"));
    ASSERT_TRUE(host.Send(R"({"status": "NOSUCH"})"));
    ASSERT_TRUE(host.Send("not json"));
    EXPECT_TRUE(WaitUntil([&] {
        const std::string errors = host.Errors();
        return errors.find(R"({"status":"LOG","ok":true)") != std::string::npos &&
               errors.find(R"({"status":"NOSUCH","ok":false)") != std::string::npos &&
               errors.find(R"({"input":"not json","ok":false)") != std::string::npos;
    })) << host.Errors();
    EXPECT_EQ(host.Process().Stop(), 0);
}

TEST_F(HostRunTest, ReportsABrokerThatDoesNotAnswerAndKeepsRunning)
{
    const uint16_t port = m_broker.Port();
    ASSERT_TRUE(m_broker.Stop());
    CHostRun host(m_dir);
    ASSERT_TRUE(host.Start({"--set", "IO.Ethernet.MainIP=127.0.0.1", "--set", "IO.Ethernet.MainPort=" + std::to_string(port),
                            "--tag", "some/topic"}));
    EXPECT_TRUE(WaitUntil([&] { return host.Errors().find("no broker answers at 127.0.0.1:" + std::to_string(port)) !=
                                       std::string::npos; }, std::chrono::seconds(30)))
        << host.Errors();
    EXPECT_TRUE(host.Process().Running());
    EXPECT_EQ(host.Process().Stop(), 0);
}
