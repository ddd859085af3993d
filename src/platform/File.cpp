#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ModulePath.h"

FILE* OpenForAppend(const std::string& path)
{
    // POSIX files never lock out readers, so the shared-read mode needs nothing more.
    const int fd = open(NormalizePath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "a");
    if (f == nullptr)
    {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

bool FolderExists(const std::string& path)
{
    struct stat st{};
    return stat(NormalizePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path)
{
    struct stat st{};
    return stat(NormalizePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateFolders(const std::string& folder)
{
    const std::string path = NormalizePath(folder);
    if (path.empty())
        return false;
    for (size_t pos = 1; pos <= path.size(); ++pos)
    {
        if (pos != path.size() && path[pos] != PATH_SEPARATOR)
            continue;
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return FolderExists(path);
}

bool ReadWholeFile(const std::string& path, std::string& content)
{
    content.clear();
    FILE* f = fopen(NormalizePath(path).c_str(), "rb");
    if (f == nullptr)
        return false;
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
        content.append(chunk, n);
    const bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

bool WriteWholeFile(const std::string& path, std::string_view content)
{
    const std::string target = NormalizePath(path);
    const std::string temp = target + ".tmp";
    FILE* f = fopen(temp.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = fflush(f) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(temp.c_str(), target.c_str()) == 0)
        return true;
    unlink(temp.c_str());
    return false;
}

bool DeleteFileAt(const std::string& path) { return unlink(NormalizePath(path).c_str()) == 0; }

int64_t FileSize(const std::string& path)
{
    struct stat st{};
    if (stat(NormalizePath(path).c_str(), &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool RenameFile(const std::string& from, const std::string& to)
{
    return rename(NormalizePath(from).c_str(), NormalizePath(to).c_str()) == 0;
}
