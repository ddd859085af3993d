// The stream from which a host reads one packet. The Ethernet layer implements it over its
// socket (blocking up to the socket timeout without progress); CDatagramInputStream serves
// one received datagram without waiting.
#pragma once
#include "dravo/IOUnknown.h"
#include "transport/Buffer.h"

#include <cstdint>

struct IIOInputStream : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x7C52E0A4, 0x1D3B, 0x4F68, {0xB2, 0x9E, 0x05, 0x6A, 0xF1, 0x4C, 0x88, 0x37}};
    // Reads one byte.
    virtual HRESULT sgetc(uint8_t* byte) = 0;
    // Reads exactly `count` bytes.
    virtual HRESULT sgets(uint8_t* destination, uint32_t count) = 0;

protected:
    ~IIOInputStream() = default;
};

class CDatagramInputStream final : public TIOUnknown<IIOInputStream>
{
public:
    // The stream keeps its own copy of the datagram (bytes and source peer). Returns null
    // when memory runs out.
    static TIOPtr<CDatagramInputStream> Create(const CBuffer& datagram);

    HRESULT sgetc(uint8_t* byte) override;
    HRESULT sgets(uint8_t* destination, uint32_t count) override;

    uint32_t Position() const { return m_position; }
    const CBuffer& Datagram() const { return m_datagram; }

private:
    CDatagramInputStream() = default;
    ~CDatagramInputStream() override = default;

    CBuffer m_datagram;
    uint32_t m_position = 0;
};
