#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdlib.h>
#include <system_error>
#include <vector>

TempDir::TempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base && *base) ? base : "/tmp";
    pattern += "/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()))
        m_path = name.data();
}

TempDir::~TempDir()
{
    if (m_path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}
