// The operating-system side of the driver log: local wall-clock time to the millisecond,
// thread and process numbers, and an append-only text file whose folders are created on
// demand.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct SLogTime
{
    uint16_t year;
    uint8_t month; // 1-12
    uint8_t day;   // 1-31
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint16_t millisecond;
};

SLogTime LogLocalTime();
uint32_t LogThreadId();
uint32_t LogProcessId();

// Maps a Windows-shaped log name onto this system: "\" and "/" both separate folders and a
// drive prefix ("C:") is dropped, so "C:\kxLogs\x.log" becomes "/kxLogs/x.log". A name
// without a drive keeps its own meaning (relative names stay relative to the working folder).
std::string LogFilePath(const std::string& configured);

// An append-only file that others may read and write while it is open.
class CLogFile
{
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    ~CLogFile() { Close(); }

    // Creates missing folders and the file; keeps existing contents.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    // Write errors are swallowed: logging never fails its callers.
    void Write(const char* data, size_t size);
    void Close();

private:
    int m_fd = -1;
};
