#include "platform/ModulePath.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace
{
// Any address inside this shared object identifies it to dladdr.
void Anchor() {}
} // namespace

std::string ModuleFilePath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr)
        return {};
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr)
        return resolved;
    return info.dli_fname;
}

std::string ModuleFolder() { return FolderOf(ModuleFilePath()); }

std::string NormalizePath(std::string_view path)
{
    std::string out(path);
    for (char& c : out)
    {
        if (IsPathSeparator(c))
            c = PATH_SEPARATOR;
    }
    return out;
}

bool IsAbsolutePath(std::string_view path)
{
    if (!path.empty() && IsPathSeparator(path[0]))
        return true;
    // A drive letter ("C:\...") is absolute too, so Windows-shaped settings are not taken
    // as relative to the module folder.
    return path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           path[1] == ':' && IsPathSeparator(path[2]);
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    if (IsAbsolutePath(name) || folder.empty())
        return NormalizePath(name);
    std::string out = NormalizePath(folder);
    while (!out.empty() && out.back() == PATH_SEPARATOR && out.size() > 1)
        out.pop_back();
    size_t skip = 0;
    while (skip < name.size() && IsPathSeparator(name[skip]))
        ++skip;
    if (out.back() != PATH_SEPARATOR)
        out.push_back(PATH_SEPARATOR);
    out += NormalizePath(name.substr(skip));
    return out;
}

std::string FolderOf(std::string_view path)
{
    const size_t pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos)
        return {};
    if (pos == 0)
        return std::string(1, PATH_SEPARATOR);
    return NormalizePath(path.substr(0, pos));
}

std::string FileNameOf(std::string_view path)
{
    const size_t pos = path.find_last_of("/\\");
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}
