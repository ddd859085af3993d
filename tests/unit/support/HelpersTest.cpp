#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

TEST(TempDirTest, HoldsFilesAndVanishesWithEverythingInIt)
{
    std::string path;
    {
        TempDir dir;
        ASSERT_TRUE(dir.Valid());
        path = dir.Path();
        ASSERT_TRUE(WriteFileText(dir.File("a.txt"), std::string("x\0y", 3)));
        ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
        ASSERT_TRUE(WriteFileText(dir.File("sub/b.txt"), "b"));
        EXPECT_EQ(ReadFileText(dir.File("a.txt")), std::string("x\0y", 3));
        TempDir other;
        EXPECT_NE(other.Path(), path);
    }
    struct stat info;
    EXPECT_NE(stat(path.c_str(), &info), 0);
}

TEST(WaitUntilTest, ReturnsOnceTheConditionHoldsOrTheDeadlinePasses)
{
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(WaitUntil([&] { return flag.load(); }));
    setter.join();

    int checks = 0;
    EXPECT_FALSE(WaitUntil([&] { return ++checks < 0; }, 0ms));
    EXPECT_EQ(checks, 1);
    EXPECT_FALSE(WaitUntil([] { return false; }, 30ms));
}

TEST(FreeTcpPortTest, GivesAPortNobodyListensOn)
{
    const uint16_t port = FreeTcpPort();
    ASSERT_NE(port, 0);
    EXPECT_FALSE(CanConnect(port));
}

TEST(FindProgramTest, FindsInstalledProgramsAndNothingElse)
{
    EXPECT_EQ(FindProgram("sh").empty(), false);
    EXPECT_EQ(FindProgram("/bin/sh"), "/bin/sh");
    EXPECT_TRUE(FindProgram("no-such-program-dravo").empty());
}

TEST(ChildProcessTest, ReportsExitCodesSignalsAndOutput)
{
    struct Case
    {
        const char* script;
        int status;
        const char* output;
    };
    const Case cases[] = {
        {"echo out; echo err >&2", 0, "out\nerr\n"},
        {"exit 3", 3, ""},
        {"kill -TERM $$", 128 + 15, ""},
    };
    for (const auto& c : cases)
    {
        std::string output;
        EXPECT_EQ(RunProgram("/bin/sh", {"-c", c.script}, &output, kTestWait).value_or(-1), c.status)
            << c.script;
        if (c.status == 0)
        {
            EXPECT_EQ(output, c.output);
        }
    }
}

TEST(ChildProcessTest, StopEndsAHangingChildAndItsGroup)
{
    TempDir dir;
    ChildProcess child;
    // The shell's own child, `sleep`, is in the same group and must go with it.
    ASSERT_TRUE(
        child.Start("/bin/sh", {"-c", "trap '' TERM; sleep 600 & echo $! > " + dir.File("pid") + "; wait"}));
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileText(dir.File("pid")).empty(); }));
    const pid_t grandchild = std::stoi(ReadFileText(dir.File("pid")));
    EXPECT_TRUE(child.Running());
    // Both ignore SIGTERM (the ignored disposition passes to `sleep`), so only SIGKILL ends them.
    EXPECT_EQ(child.Stop(100ms), 128 + SIGKILL);
    EXPECT_FALSE(child.Running());
    // The grandchild went with the group; init reaps it, or it lingers as a zombie.
    EXPECT_TRUE(WaitUntil(
        [&]
        {
            const std::string stat = ReadFileText("/proc/" + std::to_string(grandchild) + "/stat");
            const size_t close = stat.rfind(')');
            return stat.empty() || (close != std::string::npos && stat.compare(close, 4, ") Z ") == 0);
        }));
}

TEST(ChildProcessTest, FailsToStartAMissingProgram)
{
    ChildProcess child;
    const auto started = child.Start("/nonexistent/program", {});
    EXPECT_FALSE(started);
    EXPECT_NE(std::string(started.message()).find("No such file"), std::string::npos) << started.message();
    EXPECT_FALSE(child.Running());
}
