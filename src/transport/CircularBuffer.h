// The receive buffer of a socket: an unbounded byte FIFO made of 4096-byte chunks.
// Chunks are appended at the tail and drained at the head, so each chunk is filled
// completely before the next one starts and stored bytes are never moved. One drained
// chunk is kept as a spare to avoid an allocation per 4096 bytes in steady traffic.
#pragma once
#include "dravo/status.h"

#include <cstdint>

struct CCircularChunk
{
    static constexpr uint32_t SIZE = 4096;

    uint8_t data[SIZE];
    uint32_t writePos;
    uint32_t readPos;
    uint32_t count;
    CCircularChunk* next; // FIFO link
};

class CReceiveBuffer
{
public:
    CReceiveBuffer() = default;
    ~CReceiveBuffer();
    CReceiveBuffer(const CReceiveBuffer&) = delete;
    CReceiveBuffer& operator=(const CReceiveBuffer&) = delete;

    // Appends at the tail. E_OUTOFMEMORY when a chunk cannot be allocated; the bytes stored
    // before the failure stay buffered.
    HRESULT Push(const void* bytes, uint32_t count);
    // Moves up to `count` bytes from the head; returns how many were moved.
    uint32_t Pop(void* destination, uint32_t count);
    // Frees every chunk (and the spare); returns how many bytes were buffered.
    uint32_t Discard();

    uint32_t Total() const { return m_total; }
    bool IsEmpty() const { return m_total == 0; }
    // Chunks in the list, and whether a spare is kept (for diagnostics and tests).
    uint32_t ChunkCount() const;
    bool HasSpare() const { return m_spare != nullptr; }

private:
    CCircularChunk* TakeChunk();
    void ReleaseHead();

    CCircularChunk* m_head = nullptr;
    CCircularChunk* m_tail = nullptr;
    CCircularChunk* m_spare = nullptr;
    uint32_t m_total = 0;
};
