// The file side of the driver log: where a configured log name lands on this system, and an
// append-only text file whose folders are created on demand.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

// Maps a Windows-shaped log name onto this system: "\" and "/" both separate folders and a
// drive prefix ("C:") is dropped, so "C:\kxLogs\x.log" becomes "/kxLogs/x.log". A name
// without a drive keeps its own meaning (relative names stay relative to the working folder).
std::string LogFilePath(const std::string& configured);

// An append-only file that others may read while it is open. Every Write reaches the
// operating system before it returns.
class CLogFile
{
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    ~CLogFile() { Close(); }

    // Creates missing folders and the file; keeps existing contents.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_file != nullptr; }
    // Write errors are swallowed: logging never fails its callers.
    void Write(const char* data, size_t size);
    void Close();

private:
    FILE* m_file = nullptr;
};
