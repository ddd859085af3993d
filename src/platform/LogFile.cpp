#include "platform/LogFile.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

SLogTime LogLocalTime()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    SLogTime t{};
    t.year = static_cast<uint16_t>(local.tm_year + 1900);
    t.month = static_cast<uint8_t>(local.tm_mon + 1);
    t.day = static_cast<uint8_t>(local.tm_mday);
    t.hour = static_cast<uint8_t>(local.tm_hour);
    t.minute = static_cast<uint8_t>(local.tm_min);
    t.second = static_cast<uint8_t>(local.tm_sec);
    t.millisecond = static_cast<uint16_t>(ts.tv_nsec / 1000000);
    return t;
}

uint32_t LogThreadId()
{
    // The kernel's thread number: small, unique among live threads and the one tools show.
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

uint32_t LogProcessId()
{
    return static_cast<uint32_t>(getpid());
}

std::string LogFilePath(const std::string& configured)
{
    std::string path = configured;
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    if (drive)
    {
        path.erase(0, 2);
        if (path.empty() || (path[0] != '\\' && path[0] != '/'))
            path.insert(path.begin(), '/');
    }
    for (char& c : path)
    {
        if (c == '\\')
            c = '/';
    }
    return path;
}

namespace
{
void CreateParentFolders(const std::string& path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    {
        const std::string folder = path.substr(0, pos);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            return;
    }
}
} // namespace

bool CLogFile::Open(const std::string& path)
{
    Close();
    if (path.empty())
        return false;
    constexpr int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    m_fd = ::open(path.c_str(), flags, 0644);
    if (m_fd < 0 && errno == ENOENT)
    {
        CreateParentFolders(path);
        m_fd = ::open(path.c_str(), flags, 0644);
    }
    return m_fd >= 0;
}

void CLogFile::Write(const char* data, size_t size)
{
    while (m_fd >= 0 && size > 0)
    {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void CLogFile::Close()
{
    if (m_fd >= 0)
    {
        ::close(m_fd);
        m_fd = -1;
    }
}
