#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/IOGlobals.h"
#include "core/IOLogger.h"
#include "platform/LogFile.h"
#include "platform/Thread.h"

namespace fs = std::filesystem;

namespace
{
constexpr const char* DriverName = "Driver Test v1";
const std::regex HeaderPattern(R"(^(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\.(\d{3}) \(([0-9A-F]{4,})\) )");

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", start))
    {
        lines.push_back(text.substr(start, pos - start));
        start = pos + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

// The lines of a log with the time and thread header removed; "" for the leading separator.
std::vector<std::string> Bodies(const fs::path& path)
{
    std::vector<std::string> out;
    for (const std::string& line : SplitLines(ReadFile(path)))
        out.push_back(std::regex_replace(line, HeaderPattern, ""));
    return out;
}

std::string Header(const LocalTime& t, uint32_t thread)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%02u/%02u/%04u %02u:%02u:%02u.%03u (%04X) ", unsigned(t.day),
                  unsigned(t.month), unsigned(t.year), unsigned(t.hour), unsigned(t.minute), unsigned(t.second),
                  unsigned(t.milliseconds), thread);
    return text;
}

class LoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() /
                ("dravo-log-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_logger = TIOPtr<CIOLogger>::Adopt(new CIOLogger(DriverName, [this] { return m_now; }));
    }
    void TearDown() override
    {
        m_logger = nullptr;
        fs::remove_all(m_dir);
    }
    void Open(const std::string& name)
    {
        m_path = m_dir / name;
        ASSERT_EQ(S_OK, m_logger->SetFile(m_path.string().c_str()));
    }
    // The bodies after the leading separator and the two file-header lines.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> b = Bodies(m_path);
        return b.size() > 3 ? std::vector<std::string>(b.begin() + 3, b.end()) : std::vector<std::string>{};
    }

    fs::path m_dir;
    fs::path m_path;
    LocalTime m_now{2026, 12, 0, 9, 10, 31, 45, 123}; // read under the logger's lock
    TIOPtr<CIOLogger> m_logger;
};

TEST_F(LoggerTest, FileStartsWithHeaderLinesInExactLayout)
{
    Open("first.log");
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "value %d", 42);
    const std::string h = Header(m_now, CurrentThreadId());
    EXPECT_EQ("\r\n" + h + "DRIVER\tDriver name:  Driver Test v1\r\n" + h +
                  "DRIVER\tDravoLib version 2.0.125 of Dec 22 2021 22:56:19\r\n" + h + "DRIVER\tvalue 42",
              ReadFile(m_path));
}

TEST_F(LoggerTest, CategoriesNameTheirLines)
{
    Open("cat.log");
    const char* expected[] = {"DRIVER\tm", "FRAMES\tm", "DRAVO\tm", "SERIAL\tm", "TAPI\tm",
                              "SOCKET\tm", "RAS\tm",    "IO\tTX: m", "IO\tRX: m", "CACHE\tm",
                              "TAG\tm",    "SUPERBLOCK\tm", "DEBUG\tm", "QUEUE\tm"};
    for (int category = 0; category < 14; ++category)
    {
        m_logger->Print(LOG_DRIVER, LOG_LEVEL, "-"); // breaks any continuation
        m_logger->Print(category, LOG_LEVEL, "m");
    }
    m_logger->Print(14, LOG_LEVEL, "out of range");
    m_logger->Print(-1, LOG_LEVEL, "out of range");
    std::vector<std::string> got = Messages();
    ASSERT_EQ(28u, got.size());
    for (int category = 0; category < 14; ++category)
        EXPECT_EQ(expected[category], got[size_t(category) * 2 + 1]) << category;
}

// Passes a table's text as the format itself, the way callers write leading line breaks.
void Emit(IIOLogger* logger, int category, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logger->PrintV(category, LOG_LEVEL, format, args);
    va_end(args);
}

struct SContinuationCase
{
    const char* name;
    std::vector<std::pair<int, const char*>> messages;
    std::vector<std::string> lines;
};

TEST_F(LoggerTest, ContinuationRule)
{
    const SContinuationCase cases[] = {
        {"same TX traces join", {{LOG_TX, "01 02"}, {LOG_TX, " 03"}}, {"IO\tTX: 01 02 03"}},
        {"TX then RX breaks", {{LOG_TX, "01"}, {LOG_RX, "02"}}, {"IO\tTX: 01", "IO\tRX: 02"}},
        {"FRAMES join", {{LOG_FRAMES, "a"}, {LOG_FRAMES, "b"}}, {"FRAMES\tab"}},
        {"new-line category never joins", {{LOG_DRIVER, "a"}, {LOG_DRIVER, "b"}}, {"DRIVER\ta", "DRIVER\tb"}},
        {"leading LF forces a break", {{LOG_TX, "a"}, {LOG_TX, "\nb"}}, {"IO\tTX: a", "IO\tTX: b"}},
        {"leading CRLFs force a break", {{LOG_TX, "a"}, {LOG_TX, "\r\n\r\nb"}}, {"IO\tTX: a", "IO\tTX: b"}},
    };
    for (const SContinuationCase& c : cases)
    {
        Open(std::string(c.name) + ".log");
        for (const auto& [category, text] : c.messages)
            Emit(m_logger.Get(), category, text);
        EXPECT_EQ(c.lines, Messages()) << c.name;
        m_logger->Close();
    }
}

TEST_F(LoggerTest, MessageEndingInLineFeedGetsNoExtraSeparator)
{
    Open("lf.log");
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "a\n");
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "b");
    const std::string text = ReadFile(m_path);
    EXPECT_NE(std::string::npos, text.find("DRIVER\ta\n" + Header(m_now, CurrentThreadId()) + "DRIVER\tb"));
}

TEST_F(LoggerTest, TracesOfDifferentThreadsNeverShareALine)
{
    Open("threads.log");
    m_logger->Print(LOG_TX, LOG_LEVEL, "main");
    std::thread([&] { m_logger->Print(LOG_TX, LOG_LEVEL, "other"); }).join();
    m_logger->Print(LOG_TX, LOG_LEVEL, "main again");
    EXPECT_EQ((std::vector<std::string>{"IO\tTX: main", "IO\tTX: other", "IO\tTX: main again"}), Messages());
}

TEST_F(LoggerTest, DumpInBothModes)
{
    Open("dump.log");
    const uint8_t bytes[] = {0x41, 0x00, 0x7E, 0xFF};
    m_logger->Dump(LOG_TX, LOG_LEVEL, bytes, sizeof(bytes));
    EXPECT_EQ(1u, m_logger->SetFlags(1 | CIOLogger::FlagPrintableDump));
    m_logger->Dump(LOG_RX, LOG_LEVEL, bytes, sizeof(bytes));
    m_logger->Dump(LOG_RX, LOG_LEVEL, bytes, 1);
    m_logger->Dump(LOG_RX, LOG_LEVEL, nullptr, 0); // ends the continuation
    m_logger->Dump(LOG_RX, LOG_LEVEL, bytes, 1);
    EXPECT_EQ((std::vector<std::string>{"IO\tTX:  41 00 7E FF", "IO\tRX: A[00]~[FF]A", "IO\tRX: A"}), Messages());
}

TEST_F(LoggerTest, RedirectAnnouncesTheNewFileInTheOldOne)
{
    Open("old.log");
    const fs::path oldPath = m_path;
    Open("new.log");
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "in new");
    const std::vector<std::string> old = Bodies(oldPath);
    ASSERT_EQ(4u, old.size());
    EXPECT_EQ("DRIVER\tLog redirected to '" + m_path.string() + "'.", old[3]);
    EXPECT_EQ((std::vector<std::string>{"DRIVER\tin new"}), Messages());
    EXPECT_EQ("DRIVER\tDriver name:  Driver Test v1", Bodies(m_path)[1]);
}

TEST_F(LoggerTest, EmptyNameClosesWithFooterAndReopenAppends)
{
    Open("footer.log");
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "last");
    EXPECT_EQ(S_OK, m_logger->SetFile(""));
    EXPECT_FALSE(m_logger->IsOpen());
    EXPECT_EQ("", m_logger->FileName());
    const std::string footer = "\r\n" + std::string(78, '=') + "\r\n";
    std::string text = ReadFile(m_path);
    ASSERT_GE(text.size(), footer.size());
    EXPECT_EQ(footer, text.substr(text.size() - footer.size()));
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "discarded");
    EXPECT_EQ(text, ReadFile(m_path));

    Open("footer.log");
    EXPECT_EQ(0u, ReadFile(m_path).find(text)) << "reopening keeps the earlier contents";
}

TEST_F(LoggerTest, DailyFileRotatesAtMidnightWithHeaders)
{
    m_now = LocalTime{2026, 12, 0, 9, 23, 59, 59, 999};
    m_path = m_dir / "sub" / "dir" / "MQTT_%DATE%.log";
    ASSERT_EQ(S_OK, m_logger->SetFile(m_path.string().c_str()));
    const fs::path day1 = m_dir / "sub" / "dir" / "MQTT_2026_12_09.log";
    EXPECT_EQ(day1.string(), m_logger->FileName());
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "before midnight");

    m_now = LocalTime{2026, 12, 0, 10, 0, 0, 0, 1};
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "after midnight");
    const fs::path day2 = m_dir / "sub" / "dir" / "MQTT_2026_12_10.log";
    EXPECT_EQ(day2.string(), m_logger->FileName());

    m_path = day1;
    EXPECT_EQ((std::vector<std::string>{"DRIVER\tbefore midnight"}), Messages());
    m_path = day2;
    EXPECT_EQ((std::vector<std::string>{"DRIVER\tafter midnight"}), Messages());
    EXPECT_EQ("DRIVER\tDriver name:  Driver Test v1", Bodies(day2)[1]);
    EXPECT_EQ(0u, ReadFile(day2).find("\r\n10/12/2026 00:00:00.001 "));
}

TEST(LoggerNameTest, ExpandsProcessAndDate)
{
    struct
    {
        const char* pattern;
        const char* name;
        bool daily;
    } cases[] = {
        {"plain.log", "plain.log", false},
        {"p%PROCESS%.log", "p00AB.log", false},
        {"%PROCESS%_%PROCESS%_%DATE%", "00AB_00AB_2026_03_07", true},
        {"C:\\kxLogs\\MQTT_%DATE%.log", "C:\\kxLogs\\MQTT_2026_03_07.log", true},
    };
    for (const auto& c : cases)
    {
        bool daily = !c.daily;
        EXPECT_EQ(c.name, CIOLogger::ExpandName(c.pattern, 0xAB, LocalTime{2026, 3, 0, 7, 0, 0, 0, 0}, &daily));
        EXPECT_EQ(c.daily, daily) << c.pattern;
    }
}

TEST(LoggerNameTest, WindowsShapedNamesMapToPosixPaths)
{
    EXPECT_EQ("/kxLogs/MQTT_2026_12_09.log", LogFilePath("C:\\kxLogs\\MQTT_2026_12_09.log"));
    EXPECT_EQ("/x.log", LogFilePath("d:x.log"));
    EXPECT_EQ("logs/a.log", LogFilePath("logs\\a.log"));
    EXPECT_EQ("/var/log/a.log", LogFilePath("/var/log/a.log"));
}

TEST_F(LoggerTest, OverlongMessageIsCutToBufferSize)
{
    Open("long.log");
    const std::string big(40000, 'x');
    m_logger->Print(LOG_DRIVER, LOG_LEVEL, "%s", big.c_str());
    std::vector<std::string> got = Messages();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("DRIVER\t", got[0].substr(0, 7));
    EXPECT_EQ(std::string(CIOLogger::BufferSize - 1, 'x'), got[0].substr(7));
}

TEST_F(LoggerTest, ConcurrentWritersNeverInterleaveInsideALine)
{
    Open("concurrent.log");
    constexpr int Threads = 4;
    constexpr int Lines = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t)
        writers.emplace_back([this, t] {
            for (int i = 0; i < Lines; ++i)
                m_logger->Print(LOG_DRAVO, LOG_LEVEL, "writer %d line %d %s", t, i, "payload-payload-payload");
        });
    for (std::thread& w : writers)
        w.join();
    std::vector<int> next(Threads, 0);
    const std::regex body(R"(DRAVO\twriter (\d) line (\d+) payload-payload-payload)");
    for (const std::string& line : Messages())
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, body)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(next[size_t(t)]++, std::stoi(m[2]));
    }
    EXPECT_EQ(std::vector<int>(Threads, Lines), next);
}

TEST(LogHelperTest, ReachesTheInstanceLoggerThroughGlobals)
{
    TIOPtr<CIOGlobals> globals = TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Driver X"));
    ASSERT_TRUE(globals);
    const fs::path path = fs::temp_directory_path() / ("dravo-helper-" + std::to_string(::getpid()) + ".log");
    fs::remove(path);
    {
        TIOApi owner(globals.Get());
        EXPECT_EQ(2u, globals->RefCount());
        globals->Logger()->SetFile(path.string().c_str());
        Log(&owner, LOG_SOCKET, "socket %s", "up");
        Log(&owner, LOG_SOCKET, nullptr);
        const uint8_t b[] = {1};
        LogDump(&owner, LOG_TX, b, 1);
        globals->Logger()->Close();
    }
    EXPECT_EQ(1u, globals->RefCount());
    std::vector<std::string> lines = Bodies(path);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("SOCKET\tsocket up", lines[3]);
    EXPECT_EQ("IO\tTX:  01", lines[4]);
    EXPECT_EQ(std::string(78, '='), lines[5]);
    fs::remove(path);
}
} // namespace
