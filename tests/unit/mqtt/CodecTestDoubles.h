// Test doubles shared by the codec and stack tests: a logger that keeps its lines, a
// transport that records every framed packet, and an input stream that runs dry.
#pragma once
#include "core/IOLog.h"
#include "mqtt/MQTTCodec.h"
#include "transport/InputStream.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class CRecordingLogger final : public TIOUnknown<IIOLogger>
{
public:
    static TIOPtr<CRecordingLogger> Create() { return TIOPtr<CRecordingLogger>::Adopt(new CRecordingLogger); }

    HRESULT SetFile(const char*) override { return S_OK; }
    uint32_t SetFlags(uint32_t) override { return 0; }
    void Print(int category, uint32_t level, const char* format, ...) override
    {
        va_list args;
        va_start(args, format);
        PrintV(category, level, format, args);
        va_end(args);
    }
    void PrintV(int, uint32_t, const char* format, va_list args) override
    {
        char line[1024];
        std::vsnprintf(line, sizeof(line), format, args);
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.emplace_back(line);
    }
    void Dump(int, uint32_t, const void*, uint32_t) override {}
    void Close() override {}
    void Lock() override {}
    void Unlock() override {}

    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    bool Has(const std::string& line)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const std::string& l : m_lines)
            if (l == line)
                return true;
        return false;
    }
    void Forget()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.clear();
    }

private:
    ~CRecordingLogger() override = default;

    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class CRecordingTransport final : public IMQTTTransport
{
public:
    HRESULT Transmit(CBuffer& packet) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (SUCCEEDED(m_result))
            m_sent.emplace_back(packet.Data(), packet.Data() + packet.Length());
        return m_result;
    }

    void Refuse(HRESULT result)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_result = result;
    }
    std::vector<Bytes> Sent()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_sent;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_sent.size();
    }
    Bytes Last()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_sent.empty() ? Bytes() : m_sent.back();
    }
    void Forget()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_sent.clear();
    }

private:
    std::mutex m_mutex;
    HRESULT m_result = S_OK;
    std::vector<Bytes> m_sent;
};

// Serves its bytes, then answers every further read with a read timeout, as the socket
// stream does when the peer goes quiet.
class CDryingStream final : public TIOUnknown<IIOInputStream>
{
public:
    static TIOPtr<CDryingStream> Create(Bytes bytes)
    {
        return TIOPtr<CDryingStream>::Adopt(new CDryingStream(std::move(bytes)));
    }

    HRESULT sgetc(uint8_t* byte) override { return sgets(byte, 1); }
    HRESULT sgets(uint8_t* destination, uint32_t count) override
    {
        if (m_position + count > m_bytes.size())
            return IO_E_READ_TIMEOUT;
        for (uint32_t i = 0; i < count; ++i)
            destination[i] = m_bytes[m_position++];
        return S_OK;
    }
    size_t Position() const { return m_position; }

private:
    explicit CDryingStream(Bytes bytes) : m_bytes(std::move(bytes)) {}
    ~CDryingStream() override = default;

    Bytes m_bytes;
    size_t m_position = 0;
};

inline Bytes ToBytes(const CBuffer& buffer)
{
    return Bytes(buffer.Data(), buffer.Data() + buffer.Length());
}

inline CBuffer ToBuffer(const Bytes& bytes)
{
    CBuffer buffer;
    buffer.Append(bytes.data(), uint32_t(bytes.size()));
    return buffer;
}

// Joins pieces, so an expected packet reads as its header bytes followed by its fields.
inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A 2-byte big-endian length followed by the text.
inline Bytes Field(const std::string& text)
{
    return Concat({{uint8_t(text.size() >> 8), uint8_t(text.size())}, Text(text)});
}
