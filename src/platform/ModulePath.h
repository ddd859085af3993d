// Where the loaded driver lives, and path-shape helpers.
#pragma once
#include <string>
#include <string_view>

// Absolute path of the shared object (or executable) that contains this code, via dladdr.
std::string ModuleFilePath();
// The folder of ModuleFilePath(), without a trailing separator.
std::string ModuleFolder();

constexpr char PATH_SEPARATOR = '/';
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }
// Replaces both '\' and '/' by the native separator.
std::string NormalizePath(std::string_view path);
bool IsAbsolutePath(std::string_view path);
// Joins with exactly one native separator between the parts; an absolute `name` wins.
std::string JoinPath(std::string_view folder, std::string_view name);
// Folder part (without trailing separator) and file part; either separator counts.
std::string FolderOf(std::string_view path);
std::string FileNameOf(std::string_view path);
