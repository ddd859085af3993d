// The packet buffer: the bytes of one packet plus the peer it goes to or came from.
// Packets of up to 1024 bytes stay in the inline storage; larger ones move to a heap
// block grown in 4096-byte steps. Failures never throw: a failed growth empties the
// buffer and sets the sticky error flag.
#pragma once
#include "dravo/IOUnknown.h"
#include "transport/IOPeer.h"

#include <cstdint>

class CBuffer
{
public:
    static constexpr uint32_t INLINE_SIZE = 1024;
    static constexpr uint32_t GROWTH_STEP = 4096;

    CBuffer();
    CBuffer(const CBuffer& other);
    CBuffer& operator=(const CBuffer& other);
    virtual ~CBuffer();

    HRESULT Reserve(uint32_t size);
    // Reference to the byte at `position`, growing the length to position + 1 when it was
    // shorter (so writing through it appends). An invalid position or a failed growth sets
    // the error flag and returns the spare byte, which absorbs the write.
    uint8_t& At(int64_t position);
    HRESULT Append(const void* bytes, uint32_t count);
    // S_FALSE when `other` is empty.
    HRESULT AppendBuffer(const CBuffer& other);
    // Frees the heap block and empties the buffer; the peer stays.
    void Clear();

    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    uint32_t Length() const { return m_length; }
    uint32_t Capacity() const { return m_capacity; }
    bool IsEmpty() const { return m_length == 0; }
    bool HasError() const { return m_error != 0; }
    bool IsInline() const { return m_data == m_inline; }

    IIOPeer* Peer() const { return m_peer.Get(); }
    void SetPeer(IIOPeer* peer) { m_peer = TIOPtr<IIOPeer>(peer); }

    // Exchanges contents and peers without copying bytes held on the heap.
    void Swap(CBuffer& other) noexcept;

private:
    void FreeHeap();
    void CopyFrom(const CBuffer& other);

    TIOPtr<IIOPeer> m_peer;
    uint32_t m_capacity = INLINE_SIZE;
    uint32_t m_length = 0;
    uint8_t m_spare = 0;
    uint8_t m_inline[INLINE_SIZE] = {};
    uint8_t* m_data = m_inline;
    uint32_t m_error = 0;
};
