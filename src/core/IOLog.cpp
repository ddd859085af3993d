#include "core/IOLog.h"

#include "core/IOGlobals.h"

TIOApi::TIOApi(CIOGlobals* globals) : m_globals(globals)
{
    if (m_globals)
        m_globals->AddRef();
}

TIOApi::TIOApi(const TIOApi& other) : TIOApi(other.m_globals) {}

TIOApi& TIOApi::operator=(const TIOApi& other)
{
    if (other.m_globals)
        other.m_globals->AddRef();
    if (m_globals)
        m_globals->Release();
    m_globals = other.m_globals;
    return *this;
}

TIOApi::~TIOApi()
{
    if (m_globals)
        m_globals->Release();
}

IIOLogger* TIOApi::Logger() const
{
    return m_globals ? m_globals->Logger() : nullptr;
}

void LogV(IIOLogger* logger, int category, const char* format, va_list args)
{
    if (logger && format)
        logger->PrintV(category, LOG_LEVEL, format, args);
}

void Log(IIOLogger* logger, int category, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(logger, category, format, args);
    va_end(args);
}

void Log(const CIOGlobals* globals, int category, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(globals ? globals->Logger() : nullptr, category, format, args);
    va_end(args);
}

void Log(const TIOApi* owner, int category, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(owner ? owner->Logger() : nullptr, category, format, args);
    va_end(args);
}

void LogDump(const TIOApi* owner, int category, const void* bytes, uint32_t count)
{
    if (IIOLogger* logger = owner ? owner->Logger() : nullptr)
        logger->Dump(category, LOG_LEVEL, bytes, count);
}
