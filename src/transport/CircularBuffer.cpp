#include "transport/CircularBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

CReceiveBuffer::~CReceiveBuffer()
{
    Discard();
}

CCircularChunk* CReceiveBuffer::TakeChunk()
{
    CCircularChunk* chunk = m_spare;
    if (chunk)
        m_spare = nullptr;
    else
        chunk = new (std::nothrow) CCircularChunk{};
    if (chunk == nullptr)
        return nullptr;
    // A spare was zeroed byte by byte as it drained and has both positions at 0.
    chunk->writePos = 0;
    chunk->readPos = 0;
    chunk->count = 0;
    chunk->next = nullptr;
    if (m_tail)
        m_tail->next = chunk;
    else
        m_head = chunk;
    m_tail = chunk;
    return chunk;
}

HRESULT CReceiveBuffer::Push(const void* bytes, uint32_t count)
{
    if (count == 0)
        return S_OK;
    if (bytes == nullptr)
        return E_POINTER;
    const uint8_t* source = static_cast<const uint8_t*>(bytes);
    uint32_t left = count;
    while (left > 0)
    {
        CCircularChunk* chunk = m_tail;
        if (chunk == nullptr || chunk->count == CCircularChunk::SIZE)
            chunk = TakeChunk();
        if (chunk == nullptr)
        {
            m_total += count - left;
            return E_OUTOFMEMORY;
        }
        uint32_t room = std::min(left, CCircularChunk::SIZE - chunk->count);
        chunk->count += room;
        left -= room;
        while (room > 0)
        {
            const uint32_t run = std::min(room, CCircularChunk::SIZE - chunk->writePos);
            std::memcpy(chunk->data + chunk->writePos, source, run);
            source += run;
            room -= run;
            chunk->writePos = (chunk->writePos + run) % CCircularChunk::SIZE;
        }
    }
    m_total += count;
    return S_OK;
}

void CReceiveBuffer::ReleaseHead()
{
    CCircularChunk* chunk = m_head;
    m_head = chunk->next;
    if (m_head == nullptr)
        m_tail = nullptr;
    if (m_spare == nullptr)
    {
        chunk->next = nullptr;
        m_spare = chunk;
    }
    else
    {
        delete chunk;
    }
}

uint32_t CReceiveBuffer::Pop(void* destination, uint32_t count)
{
    uint8_t* target = static_cast<uint8_t*>(destination);
    uint32_t moved = 0;
    while (moved < count && m_head != nullptr)
    {
        CCircularChunk* chunk = m_head;
        uint32_t take = std::min(chunk->count, count - moved);
        chunk->count -= take;
        while (take > 0)
        {
            const uint32_t run = std::min(take, CCircularChunk::SIZE - chunk->readPos);
            if (target)
                std::memcpy(target + moved, chunk->data + chunk->readPos, run);
            std::memset(chunk->data + chunk->readPos, 0, run);
            moved += run;
            take -= run;
            chunk->readPos = (chunk->readPos + run) % CCircularChunk::SIZE;
        }
        if (chunk->count == 0)
        {
            chunk->readPos = 0;
            chunk->writePos = 0;
            ReleaseHead();
        }
    }
    m_total -= moved;
    return moved;
}

uint32_t CReceiveBuffer::Discard()
{
    const uint32_t buffered = m_total;
    while (m_head)
    {
        CCircularChunk* next = m_head->next;
        delete m_head;
        m_head = next;
    }
    m_tail = nullptr;
    delete m_spare;
    m_spare = nullptr;
    m_total = 0;
    return buffered;
}

uint32_t CReceiveBuffer::ChunkCount() const
{
    uint32_t n = 0;
    for (const CCircularChunk* c = m_head; c; c = c->next)
        ++n;
    return n;
}
