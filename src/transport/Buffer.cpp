#include "transport/Buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

CBuffer::CBuffer() = default;

CBuffer::CBuffer(const CBuffer& other) : m_peer(other.m_peer)
{
    CopyFrom(other);
}

CBuffer& CBuffer::operator=(const CBuffer& other)
{
    if (this != &other)
    {
        Clear();
        m_peer = other.m_peer;
        CopyFrom(other);
    }
    return *this;
}

CBuffer::~CBuffer()
{
    Clear();
}

void CBuffer::CopyFrom(const CBuffer& other)
{
    if (other.m_length != 0)
        Append(other.m_data, other.m_length);
}

void CBuffer::FreeHeap()
{
    if (m_data != m_inline)
        std::free(m_data);
    m_data = m_inline;
}

void CBuffer::Clear()
{
    FreeHeap();
    m_length = 0;
    m_capacity = INLINE_SIZE;
    std::memset(m_inline, 0, sizeof(m_inline));
    m_error = 0;
}

HRESULT CBuffer::Reserve(uint32_t size)
{
    if (m_capacity >= size)
        return S_OK;
    // Capacity is at least INLINE_SIZE, so only sizes above it reach here.
    const uint64_t rounded = (uint64_t(size) + GROWTH_STEP - 1) / GROWTH_STEP * GROWTH_STEP;
    uint8_t* grown = nullptr;
    if (rounded <= UINT32_MAX)
    {
        if (m_data == m_inline)
        {
            grown = static_cast<uint8_t*>(std::malloc(rounded));
            if (grown)
                std::memcpy(grown, m_inline, m_length);
        }
        else
        {
            grown = static_cast<uint8_t*>(std::realloc(m_data, rounded));
        }
    }
    if (grown == nullptr)
    {
        Clear();
        m_error = 1;
        return E_OUTOFMEMORY;
    }
    const uint32_t newCapacity = static_cast<uint32_t>(rounded);
    // The inline-to-heap move copied only the bytes in use; everything past them is new.
    const uint32_t keep = (m_data == m_inline) ? m_length : m_capacity;
    std::memset(grown + keep, 0, newCapacity - keep);
    m_data = grown;
    m_capacity = newCapacity;
    return S_OK;
}

uint8_t& CBuffer::At(int64_t position)
{
    if (position < 0 || position >= int64_t(UINT32_MAX) || FAILED(Reserve(uint32_t(position) + 1)))
    {
        m_error = 1;
        m_spare = 0;
        return m_spare;
    }
    if (m_length < uint32_t(position) + 1)
        m_length = uint32_t(position) + 1;
    return m_data[position];
}

HRESULT CBuffer::Append(const void* bytes, uint32_t count)
{
    if (count == 0)
        return S_OK;
    if (bytes == nullptr)
        return E_POINTER;
    if (uint64_t(m_length) + count > UINT32_MAX)
    {
        m_error = 1;
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = Reserve(m_length + count);
    if (FAILED(hr))
        return hr;
    std::memcpy(m_data + m_length, bytes, count);
    m_length += count;
    return S_OK;
}

HRESULT CBuffer::AppendBuffer(const CBuffer& other)
{
    if (other.m_length == 0)
        return S_FALSE;
    if (other.m_data == nullptr)
        return E_POINTER;
    if (&other == this)
    {
        CBuffer copy(other);
        return Append(copy.m_data, copy.m_length);
    }
    return Append(other.m_data, other.m_length);
}

void CBuffer::Swap(CBuffer& other) noexcept
{
    if (this == &other)
        return;
    m_peer.Swap(other.m_peer);
    std::swap(m_error, other.m_error);
    std::swap(m_spare, other.m_spare);
    const bool thisInline = m_data == m_inline;
    const bool otherInline = other.m_data == other.m_inline;
    uint8_t tmp[INLINE_SIZE];
    std::memcpy(tmp, m_inline, INLINE_SIZE);
    std::memcpy(m_inline, other.m_inline, INLINE_SIZE);
    std::memcpy(other.m_inline, tmp, INLINE_SIZE);
    uint8_t* thisHeap = thisInline ? nullptr : m_data;
    uint8_t* otherHeap = otherInline ? nullptr : other.m_data;
    m_data = otherInline ? m_inline : otherHeap;
    other.m_data = thisInline ? other.m_inline : thisHeap;
    std::swap(m_capacity, other.m_capacity);
    std::swap(m_length, other.m_length);
}
