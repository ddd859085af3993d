#include "support/ChildProcess.h"

#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

int OpenOutput(const std::string& path)
{
    return open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// Closes every descriptor from `from` upwards except `keep`; only async-signal-safe calls,
// since it runs between fork and exec of a multi-threaded process.
void CloseDescriptorsFrom(int from, int keep, int limit)
{
#ifdef SYS_close_range
    const long ok1 = keep > from ? syscall(SYS_close_range, from, keep - 1, 0) : 0;
    const long ok2 = syscall(SYS_close_range, keep + 1, ~0U, 0);
    if (ok1 == 0 && ok2 == 0)
        return;
#endif
    for (int fd = from; fd < limit; ++fd)
        if (fd != keep)
            close(fd);
}

std::string Describe(int status)
{
    if (status >= 128)
        return "ended by signal " + std::to_string(status - 128);
    return "exit code " + std::to_string(status);
}
} // namespace

ChildProcess::~ChildProcess()
{
    Stop();
    CloseStdout();
}

::testing::AssertionResult ChildProcess::Start(const std::string& program,
                                               const std::vector<std::string>& args,
                                               const ChildOutput& output)
{
    if (m_pid > 0 && !m_reaped)
        return ::testing::AssertionFailure() << program << ": already running as pid " << m_pid;
    CloseStdout();
    m_pid = -1;
    m_reaped = false;
    m_status = 0;

    Fd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    Fd outFd;
    Fd pipeRead;
    if (output.stdoutPipe)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return ::testing::AssertionFailure() << "pipe: " << std::strerror(errno);
        pipeRead.Reset(fds[0]);
        outFd.Reset(fds[1]);
    }
    else
    {
        outFd.Reset(OpenOutput(output.stdoutPath));
    }
    Fd errFd(output.stderrPath.empty() ? -1 : OpenOutput(output.stderrPath));
    if (devNull.Get() < 0 || outFd.Get() < 0 || (!output.stderrPath.empty() && errFd.Get() < 0))
        return ::testing::AssertionFailure()
               << program << ": cannot open redirections: " << std::strerror(errno);
    int execPipe[2];
    if (pipe2(execPipe, O_CLOEXEC) != 0)
        return ::testing::AssertionFailure() << "pipe: " << std::strerror(errno);
    Fd execRead(execPipe[0]);
    Fd execWrite(execPipe[1]);

    // Everything the child needs is prepared here: after fork only async-signal-safe calls.
    std::vector<std::string> argStore;
    argStore.push_back(program);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argStore)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    rlimit files{};
    const int fdLimit = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                            ? static_cast<int>(files.rlim_cur)
                            : 65536;
    const pid_t parent = getpid();
    const int stdinSrc = devNull.Get();
    const int stdoutSrc = outFd.Get();
    const int stderrSrc = errFd.Get() >= 0 ? errFd.Get() : outFd.Get();
    const int execReport = execWrite.Get();

    const pid_t pid = fork();
    if (pid < 0)
        return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
    if (pid == 0)
    {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (dup2(stdinSrc, 0) < 0 || dup2(stdoutSrc, 1) < 0 || dup2(stderrSrc, 2) < 0)
        {
            const int err = errno;
            (void)!write(execReport, &err, sizeof(err));
            _exit(127);
        }
        CloseDescriptorsFrom(3, execReport, fdLimit);
        execv(argv[0], argv.data());
        const int err = errno;
        (void)!write(execReport, &err, sizeof(err));
        _exit(127);
    }
    setpgid(pid, pid); // also done by the child; whichever runs first wins the race
    m_pid = pid;
    execWrite.Reset();
    outFd.Reset();
    errFd.Reset();
    int childErr = 0;
    ssize_t got;
    do
        got = read(execRead.Get(), &childErr, sizeof(childErr));
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof(childErr)))
    {
        Reap(true);
        m_pid = -1;
        return ::testing::AssertionFailure() << "cannot run " << program << ": " << std::strerror(childErr);
    }
    m_stdout = pipeRead.Release();
    return ::testing::AssertionSuccess();
}

bool ChildProcess::Reap(bool block)
{
    if (m_pid <= 0)
        return false;
    if (m_reaped)
        return true;
    int status = 0;
    pid_t done;
    do
        done = waitpid(m_pid, &status, block ? 0 : WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done != m_pid)
        return false;
    m_reaped = true;
    m_status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0)
        return std::nullopt;
    if (Reap(false))
        return m_status;
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    if (pidfd >= 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{pidfd, POLLIN, 0};
            const int ready = poll(&pfd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
            if (ready < 0 && errno == EINTR)
                continue;
            break;
        }
        close(pidfd);
        return Reap(false) ? std::optional<int>(m_status) : std::nullopt;
    }
#endif
    if (WaitUntil([this] { return Reap(false); }, timeout))
        return m_status;
    return std::nullopt;
}

bool ChildProcess::Running()
{
    return m_pid > 0 && !Reap(false);
}

std::optional<int> ChildProcess::Stop(std::chrono::milliseconds grace)
{
    if (m_pid <= 0)
        return std::nullopt;
    if (!Reap(false))
    {
        kill(-m_pid, SIGTERM);
        kill(-m_pid, SIGCONT); // a frozen child must run to act on SIGTERM
        if (!Wait(grace))
        {
            kill(-m_pid, SIGKILL);
            Reap(true);
        }
    }
    return m_status;
}

void ChildProcess::Kill()
{
    if (m_pid > 0 && !Reap(false))
    {
        kill(-m_pid, SIGKILL);
        Reap(true);
    }
}

bool ChildProcess::Freeze()
{
    return Running() && kill(-m_pid, SIGSTOP) == 0;
}

bool ChildProcess::Thaw()
{
    return Running() && kill(-m_pid, SIGCONT) == 0;
}

void ChildProcess::CloseStdout()
{
    if (m_stdout >= 0)
        close(m_stdout);
    m_stdout = -1;
}

std::optional<int> RunProgram(const std::string& program, const std::vector<std::string>& args,
                              std::string* output, std::chrono::milliseconds timeout)
{
    TempDir dir("dravo-run");
    ChildProcess child;
    ChildOutput redirect;
    redirect.stdoutPath = dir.Valid() ? dir.File("output.txt") : std::string();
    const auto started = child.Start(program, args, redirect);
    if (!started)
    {
        if (output)
            *output = started.message();
        return std::nullopt;
    }
    std::optional<int> status = child.Wait(timeout);
    if (!status)
        child.Kill();
    if (output)
    {
        *output = redirect.stdoutPath.empty() ? std::string() : ReadFileText(redirect.stdoutPath);
        if (!status)
            *output += "\n(" + program + " did not end within " + std::to_string(timeout.count()) + " ms)";
        else if (*status != 0)
            *output += "\n(" + program + ": " + Describe(*status) + ")";
    }
    return status;
}
