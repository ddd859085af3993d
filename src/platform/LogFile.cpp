#include "platform/LogFile.h"

#include "platform/File.h"
#include "platform/ModulePath.h"

std::string LogFilePath(const std::string& configured)
{
    std::string path = configured;
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    if (drive)
    {
        path.erase(0, 2);
        if (path.empty() || !IsPathSeparator(path[0]))
            path.insert(path.begin(), '/');
    }
    return NormalizePath(path);
}

bool CLogFile::Open(const std::string& path)
{
    Close();
    if (path.empty())
        return false;
    m_file = OpenForAppend(path);
    if (m_file == nullptr)
    {
        const std::string folder = FolderOf(path);
        if (!folder.empty() && !FolderExists(folder) && CreateFolders(folder))
            m_file = OpenForAppend(path);
    }
    return m_file != nullptr;
}

void CLogFile::Write(const char* data, size_t size)
{
    if (m_file == nullptr || size == 0)
        return;
    std::fwrite(data, 1, size, m_file);
    std::fflush(m_file);
}

void CLogFile::Close()
{
    if (m_file != nullptr)
    {
        std::fclose(m_file);
        m_file = nullptr;
    }
}
