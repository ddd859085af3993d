// The driver's diagnostic log: one text file per driver instance, lines stamped with local
// time, thread and category, written through a 32 KiB buffer that goes out after every
// message.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "core/IOLog.h"
#include "platform/Lock.h"
#include "platform/LogFile.h"
#include "platform/Time.h"

class CIOLogger : public TIOUnknown<IIOLogger>
{
public:
    static constexpr size_t BufferSize = 32768;
    static constexpr uint32_t FlagPrintableDump = 2;
    // Supplies the local time of headers and the date of the daily rotation.
    using Clock = std::function<LocalTime()>;

    explicit CIOLogger(std::string driverName, Clock clock = {});

    HRESULT SetFile(const char* pattern) override;
    uint32_t SetFlags(uint32_t flags) override;
    void Print(int category, uint32_t level, const char* format, ...) override DRAVO_PRINTF(4, 5);
    void PrintV(int category, uint32_t level, const char* format, va_list args) override;
    void Dump(int category, uint32_t level, const void* bytes, uint32_t count) override;
    void Close() override;
    void Lock() override;
    void Unlock() override;

    // The expanded name of the file in use (empty when none is configured).
    std::string FileName() const;
    bool IsOpen() const;
    // Replaces the clock; tests use it to cross midnight without waiting.
    void SetClock(Clock clock);

    // Expands %PROCESS% (process number, "%04X") and %DATE% ("%04u_%02u_%02u") in `pattern`.
    static std::string ExpandName(const std::string& pattern, uint32_t processId, const LocalTime& date,
                                  bool* daily);

protected:
    ~CIOLogger() override;

private:
    static constexpr uint32_t NoThread = 0;

    void OpenExpanded();
    void CloseFile();
    void RotateIfDateChanged(const LocalTime& now);
    // Steps shared by messages and dumps: rotation, continuation or a new header.
    void BeginLine(int category, bool forcedBreak);
    void AppendRaw(const char* text, size_t size);
    void FlushBuffer();
    void WriteHeaderLines();

    mutable CRecursiveLock m_lock;
    CLogFile m_file;
    std::string m_driverName;
    Clock m_clock;
    std::string m_pattern;
    std::string m_name;
    bool m_daily = false;
    LocalTime m_date{};
    char m_buffer[BufferSize];
    size_t m_fill = 0;
    int m_lastCategory = -1;
    uint32_t m_lastThread = NoThread;
    bool m_terminated = false;
    uint32_t m_flags = 1;
};
