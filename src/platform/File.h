// File helpers. Paths are UTF-8; both '\' and '/' separate folders.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Opens for appending, creating the file if needed; other readers may open it meanwhile.
// Returns nullptr on failure (errno set).
FILE* OpenForAppend(const std::string& path);
// Creates every missing folder of `folder` (itself included). True when it exists after.
bool CreateFolders(const std::string& folder);
bool ReadWholeFile(const std::string& path, std::string& content);
// Writes through a temporary file renamed over the target, so readers never see a half file.
bool WriteWholeFile(const std::string& path, std::string_view content);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
bool DeleteFileAt(const std::string& path);
// Size in bytes, or -1 when it cannot be read.
int64_t FileSize(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
