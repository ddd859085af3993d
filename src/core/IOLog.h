// The logging seam every object of a driver instance uses: the logger interface, the
// category numbers and the Log helper that reaches the instance's logger through its
// global services.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "dravo/IOUnknown.h"

#define DRAVO_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

enum ELogCategory : int
{
    LOG_DRIVER = 0,
    LOG_FRAMES = 1,
    LOG_DRAVO = 2,
    LOG_SERIAL = 3,
    LOG_TAPI = 4,
    LOG_SOCKET = 5,
    LOG_RAS = 6,
    LOG_TX = 7, // "IO" with prefix "TX: ", continues same-thread lines
    LOG_RX = 8, // "IO" with prefix "RX: ", continues same-thread lines
    LOG_CACHE = 9,
    LOG_TAG = 10,
    LOG_SUPERBLOCK = 11,
    LOG_DEBUG = 12,
    LOG_QUEUE = 13,
};

// Every caller passes this level; the logger carries it but does not use it.
constexpr uint32_t LOG_LEVEL = 14;

struct IIOLogger : IIOUnknown
{
    static constexpr IOGUID IID = {0x6F1D2C41, 0x8B7A, 0x4E52, {0x9A, 0x31, 0x5C, 0x27, 0xD0, 0x14, 0xE8, 0x6B}};
    virtual HRESULT SetFile(const char* pattern) = 0;
    virtual uint32_t SetFlags(uint32_t flags) = 0;
    virtual void Print(int category, uint32_t level, const char* format, ...) DRAVO_PRINTF(4, 5) = 0;
    virtual void PrintV(int category, uint32_t level, const char* format, va_list args) = 0;
    virtual void Dump(int category, uint32_t level, const void* bytes, uint32_t count) = 0;
    virtual void Close() = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

protected:
    ~IIOLogger() = default;
};

class CIOGlobals;

// The holder through which framework objects keep a counted reference to their
// instance's global services.
class TIOApi
{
public:
    explicit TIOApi(CIOGlobals* globals);
    TIOApi(const TIOApi& other);
    TIOApi& operator=(const TIOApi& other);
    ~TIOApi();

    CIOGlobals* Globals() const { return m_globals; }
    IIOLogger* Logger() const;

private:
    CIOGlobals* m_globals; // one counted reference
};

void Log(IIOLogger* logger, int category, const char* format, ...) DRAVO_PRINTF(3, 4);
void Log(const CIOGlobals* globals, int category, const char* format, ...) DRAVO_PRINTF(3, 4);
void Log(const TIOApi* owner, int category, const char* format, ...) DRAVO_PRINTF(3, 4);
void LogV(IIOLogger* logger, int category, const char* format, va_list args);
void LogDump(const TIOApi* owner, int category, const void* bytes, uint32_t count);
