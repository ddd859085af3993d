#include "transport/InputStream.h"

#include <cstring>
#include <new>

TIOPtr<CDatagramInputStream> CDatagramInputStream::Create(const CBuffer& datagram)
{
    CDatagramInputStream* stream = new (std::nothrow) CDatagramInputStream();
    if (stream == nullptr)
        return nullptr;
    auto owned = TIOPtr<CDatagramInputStream>::Adopt(stream);
    stream->m_datagram = datagram;
    if (stream->m_datagram.Length() != datagram.Length())
        return nullptr;
    return owned;
}

HRESULT CDatagramInputStream::sgetc(uint8_t* byte)
{
    if (byte == nullptr)
        return E_POINTER;
    if (uint64_t(m_position) + 1 > m_datagram.Length())
    {
        *byte = 0;
        m_position = m_datagram.Length();
        return E_FAIL;
    }
    *byte = m_datagram.Data()[m_position++];
    return S_OK;
}

HRESULT CDatagramInputStream::sgets(uint8_t* destination, uint32_t count)
{
    if (destination == nullptr)
        return E_POINTER;
    if (count == 0)
        return S_FALSE;
    if (uint64_t(m_position) + count > m_datagram.Length())
    {
        std::memset(destination, 0, count);
        m_position = m_datagram.Length();
        return E_FAIL;
    }
    std::memcpy(destination, m_datagram.Data() + m_position, count);
    m_position += count;
    return S_OK;
}
