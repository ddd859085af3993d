#include "core/IOLogger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/Thread.h"

namespace
{
struct SCategory
{
    const char* name;
    const char* prefix;
    bool newLine;
};

constexpr SCategory Categories[] = {
    {"DRIVER", "", true},     {"FRAMES", "", false}, {"DRAVO", "", true},  {"SERIAL", "", true},
    {"TAPI", "", true},       {"SOCKET", "", true},  {"RAS", "", true},    {"IO", "TX: ", false},
    {"IO", "RX: ", false},    {"CACHE", "", true},   {"TAG", "", true},    {"SUPERBLOCK", "", true},
    {"DEBUG", "", true},      {"QUEUE", "", true},
};
constexpr int CategoryCount = static_cast<int>(sizeof(Categories) / sizeof(Categories[0]));

constexpr char Footer[] = "\r\n=============================================================================="
                          "\r\n";
static_assert(sizeof(Footer) - 1 == 2 + 78 + 2);

// A dump byte takes at most four characters ("[0A]"); the buffer is written out before it
// could overflow.
constexpr size_t DumpHighWater = 32757;

bool SameDate(const LocalTime& a, const LocalTime& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

void ReplaceAll(std::string& text, const std::string& token, const std::string& by)
{
    for (size_t pos = text.find(token); pos != std::string::npos; pos = text.find(token, pos + by.size()))
        text.replace(pos, token.size(), by);
}
} // namespace

CIOLogger::CIOLogger(std::string driverName, Clock clock)
    : m_driverName(std::move(driverName)), m_clock(clock ? std::move(clock) : Clock(GetLocalTime))
{
}

CIOLogger::~CIOLogger()
{
    // A logger dropped with a file still open ends it the same way Close does.
    Close();
}

std::string CIOLogger::ExpandName(const std::string& pattern, uint32_t processId, const LocalTime& date,
                                  bool* daily)
{
    std::string name = pattern;
    char text[32];
    if (name.find("%PROCESS%") != std::string::npos)
    {
        std::snprintf(text, sizeof(text), "%04X", processId);
        ReplaceAll(name, "%PROCESS%", text);
    }
    const bool hasDate = name.find("%DATE%") != std::string::npos;
    if (hasDate)
    {
        std::snprintf(text, sizeof(text), "%04u_%02u_%02u", static_cast<unsigned>(date.year),
                      static_cast<unsigned>(date.month), static_cast<unsigned>(date.day));
        ReplaceAll(name, "%DATE%", text);
    }
    if (daily)
        *daily = hasDate;
    return name;
}

HRESULT CIOLogger::SetFile(const char* pattern)
{
    if (pattern == nullptr || *pattern == '\0')
    {
        Close();
        return S_OK;
    }
    CLockGuard guard(m_lock);
    try
    {
        m_pattern = pattern;
        m_date = m_clock();
        m_name = ExpandName(m_pattern, CurrentProcessId(), m_date, &m_daily);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    Print(LOG_DRIVER, LOG_LEVEL, "Log redirected to '%s'.", m_name.c_str());
    CloseFile();
    OpenExpanded();
    return m_file.IsOpen() ? S_OK : S_FALSE;
}

uint32_t CIOLogger::SetFlags(uint32_t flags)
{
    CLockGuard guard(m_lock);
    const uint32_t previous = m_flags;
    m_flags = flags;
    return previous;
}

void CIOLogger::Print(int category, uint32_t level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    PrintV(category, level, format, args);
    va_end(args);
}

void CIOLogger::PrintV(int category, uint32_t /*level*/, const char* format, va_list args)
{
    if (format == nullptr)
        return;
    bool forcedBreak = false;
    for (;;)
    {
        if (format[0] == '\r' && format[1] == '\n')
            format += 2;
        else if (format[0] == '\n')
            format += 1;
        else
            break;
        forcedBreak = true;
    }
    if (category < 0 || category >= CategoryCount)
        return;

    CLockGuard guard(m_lock);
    BeginLine(category, forcedBreak);

    va_list again;
    va_copy(again, args);
    size_t room = BufferSize - m_fill;
    int n = std::vsnprintf(m_buffer + m_fill, room, format, args);
    if (n >= 0 && static_cast<size_t>(n) >= room)
    {
        // The partial text is dropped; the message starts again in an empty buffer.
        FlushBuffer();
        room = BufferSize;
        n = std::vsnprintf(m_buffer, room, format, again);
    }
    va_end(again);
    if (n > 0)
        m_fill += std::min(static_cast<size_t>(n), room - 1);
    if (m_fill > 0)
        m_terminated = m_buffer[m_fill - 1] == '\n';
    FlushBuffer();
}

void CIOLogger::Dump(int category, uint32_t /*level*/, const void* bytes, uint32_t count)
{
    CLockGuard guard(m_lock);
    if (bytes == nullptr || count == 0)
    {
        m_lastCategory = -1;
        return;
    }
    if (category < 0 || category >= CategoryCount)
        return;
    BeginLine(category, false);
    static constexpr char Hex[] = "0123456789ABCDEF";
    const bool printable = (m_flags & FlagPrintableDump) != 0;
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (uint32_t i = 0; i < count; ++i)
    {
        if (m_fill > DumpHighWater)
            FlushBuffer();
        const uint8_t b = p[i];
        if (printable && b >= 0x20 && b <= 0x7E)
        {
            m_buffer[m_fill++] = static_cast<char>(b);
        }
        else
        {
            m_buffer[m_fill++] = printable ? '[' : ' ';
            m_buffer[m_fill++] = Hex[b >> 4];
            m_buffer[m_fill++] = Hex[b & 0x0F];
            if (printable)
                m_buffer[m_fill++] = ']';
        }
    }
    m_terminated = false;
    FlushBuffer();
}

void CIOLogger::Close()
{
    CLockGuard guard(m_lock);
    if (m_file.IsOpen())
    {
        m_terminated = true;
        AppendRaw(Footer, sizeof(Footer) - 1);
    }
    CloseFile();
    m_pattern.clear();
    m_name.clear();
    m_daily = false;
}

void CIOLogger::Lock()
{
    m_lock.Lock();
}

void CIOLogger::Unlock()
{
    m_lock.Unlock();
}

std::string CIOLogger::FileName() const
{
    CLockGuard guard(m_lock);
    return m_name;
}

bool CIOLogger::IsOpen() const
{
    CLockGuard guard(m_lock);
    return m_file.IsOpen();
}

void CIOLogger::SetClock(Clock clock)
{
    CLockGuard guard(m_lock);
    m_clock = clock ? std::move(clock) : Clock(GetLocalTime);
}

void CIOLogger::OpenExpanded()
{
    try
    {
        m_file.Open(LogFilePath(m_name));
    }
    catch (const std::bad_alloc&)
    {
        m_file.Close();
    }
    WriteHeaderLines();
}

void CIOLogger::WriteHeaderLines()
{
    Print(LOG_DRIVER, LOG_LEVEL, "Driver name:  %s", m_driverName.c_str());
    Print(LOG_DRIVER, LOG_LEVEL, "DravoLib version 2.0.125 of Dec 22 2021 22:56:19");
}

void CIOLogger::CloseFile()
{
    FlushBuffer();
    m_file.Close();
    m_lastCategory = -1;
    m_lastThread = NoThread;
    m_terminated = false;
}

void CIOLogger::RotateIfDateChanged(const LocalTime& now)
{
    if (!m_daily || SameDate(now, m_date))
        return;
    m_date = now;
    CloseFile();
    try
    {
        m_name = ExpandName(m_pattern, CurrentProcessId(), m_date, &m_daily);
    }
    catch (const std::bad_alloc&)
    {
        // Without the new name the day's messages are formatted and discarded.
        m_name.clear();
        return;
    }
    OpenExpanded();
}

void CIOLogger::BeginLine(int category, bool forcedBreak)
{
    const LocalTime now = m_clock();
    RotateIfDateChanged(now);

    const SCategory& entry = Categories[category];
    const uint32_t thread = CurrentThreadId();
    const bool continues =
        category == m_lastCategory && !entry.newLine && !forcedBreak && thread == m_lastThread;
    if (!continues)
    {
        if (!m_terminated)
            AppendRaw("\r\n", 2);
        char header[64];
        const int n = std::snprintf(header, sizeof(header), "%02u/%02u/%04u %02u:%02u:%02u.%03u (%04X) ",
                                    static_cast<unsigned>(now.day), static_cast<unsigned>(now.month),
                                    static_cast<unsigned>(now.year), static_cast<unsigned>(now.hour),
                                    static_cast<unsigned>(now.minute), static_cast<unsigned>(now.second),
                                    static_cast<unsigned>(now.milliseconds), thread);
        AppendRaw(header, static_cast<size_t>(n));
        AppendRaw(entry.name, std::strlen(entry.name));
        AppendRaw("\t", 1);
        AppendRaw(entry.prefix, std::strlen(entry.prefix));
    }
    m_lastCategory = category;
    m_lastThread = thread;
}

void CIOLogger::AppendRaw(const char* text, size_t size)
{
    if (size > BufferSize - m_fill)
        FlushBuffer();
    size = std::min(size, BufferSize);
    std::memcpy(m_buffer + m_fill, text, size);
    m_fill += size;
}

void CIOLogger::FlushBuffer()
{
    if (m_fill > 0)
        m_file.Write(m_buffer, m_fill);
    m_fill = 0;
}
