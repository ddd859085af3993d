// A program started by a test, in its own process group, that cannot outlive the test.
#pragma once
#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Where the child's standard output and error go. stdin is always /dev/null.
struct ChildOutput
{
    // File receiving stdout (truncated first); empty: /dev/null unless `stdoutPipe`.
    std::string stdoutPath;
    // Gives stdout to the parent as a pipe (ChildProcess::StdoutFd), instead of a file.
    bool stdoutPipe = false;
    // File receiving stderr; empty: the same place as stdout.
    std::string stderrPath;
};

class ChildProcess
{
public:
    ChildProcess() = default;
    // Stops the child (see Stop) so nothing is left running when a test fails early.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` (a full path) with `args` (without argv[0]). The child leads a new
    // process group and receives SIGKILL if the thread that started it ends, so even a
    // crashing test leaves nothing behind: start children from a thread that outlives them
    // (a test body or fixture). Fails when already running or when exec fails.
    ::testing::AssertionResult Start(const std::string& program, const std::vector<std::string>& args,
                                     const ChildOutput& output = {});

    // Sends SIGTERM to the group, waits up to `grace`, then SIGKILL; reaps the child.
    // Returns the exit status (see Wait); nullopt when nothing was running.
    std::optional<int> Stop(std::chrono::milliseconds grace = std::chrono::milliseconds{5000});
    // SIGKILL to the group at once, then reaps (an abrupt crash of the peer).
    void Kill();
    // Stops and resumes the whole group (SIGSTOP/SIGCONT): a peer that is alive but silent.
    bool Freeze();
    bool Thaw();

    // Waits up to `timeout` for the child to end and reaps it. Returns the exit code, or
    // 128 + signal number when a signal ended it; nullopt while it still runs (or when no
    // child was started). Once reaped, the status is kept and returned again.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    bool Running();
    pid_t Pid() const { return m_pid; }
    // Read end of the stdout pipe (ChildOutput::stdoutPipe), owned by this object; -1 if none.
    int StdoutFd() const { return m_stdout; }
    // Closes the stdout pipe early (a reader thread that got EOF may do this).
    void CloseStdout();

private:
    bool Reap(bool block);

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    int m_stdout = -1;
};

// Runs `program` to completion with stdout and stderr gathered into `output`. Returns the
// exit status as ChildProcess::Wait does; nullopt when it could not start or did not end
// within `timeout` (it is killed then).
std::optional<int> RunProgram(const std::string& program, const std::vector<std::string>& args,
                              std::string* output, std::chrono::milliseconds timeout);
