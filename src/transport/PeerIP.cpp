#include "transport/PeerIP.h"

#include "platform/Net.h"

#include <cstdio>
#include <new>

TIOPtr<CIOPeerIP> CIOPeerIP::Create(const SSocketAddress& address, uint32_t protocol, uint32_t flags,
                                    uint32_t channel)
{
    CIOPeerIP* peer = new (std::nothrow) CIOPeerIP();
    if (peer == nullptr)
        return nullptr;
    peer->m_address = address;
    NetDecodeAddress(address, &peer->m_record);
    peer->m_record.protocol = protocol;
    peer->m_flags = flags;
    peer->m_channel = channel;
    return TIOPtr<CIOPeerIP>::Adopt(peer);
}

void* CIOPeerIP::QueryExtraInterface(const IOGUID& iid)
{
    if (iid == IIOPeer::IID)
        return static_cast<IIOPeer*>(this);
    return nullptr;
}

std::string FormatSocketAddress(const SSocketAddress& address)
{
    char text[96];
    if (NetIsIPv4(address))
    {
        uint8_t b[4];
        NetIPv4Bytes(address, b);
        std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], NetPort(address));
        return text;
    }
    if (NetFamily(address) == NetFamilyIPv6())
    {
        std::string v6;
        if (NetIPv6Text(address, &v6))
            return v6;
        std::snprintf(text, sizeof(text), "[INVALID_ADDRESS]:%u", NetPort(address));
        return text;
    }
    uint8_t b[4];
    NetIPv4Bytes(address, b);
    std::snprintf(text, sizeof(text), "<fam=%u;%u.%u.%u.%u:%u>", NetFamily(address), b[0], b[1], b[2], b[3],
                  NetPort(address));
    return text;
}

std::string PeerText(const AddressRecord& record, bool withPort)
{
    char text[64];
    std::string address;
    if (!record.isIPv6)
    {
        std::snprintf(text, sizeof(text), "%u.%u.%u.%u", record.ipv4[0], record.ipv4[1], record.ipv4[2],
                      record.ipv4[3]);
        address = text;
        if (!withPort)
            return address;
        std::snprintf(text, sizeof(text), ":%u", record.port);
        return address + text;
    }
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;)
    {
        if (record.ipv6[i] != 0)
        {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && record.ipv6[j] == 0)
            ++j;
        if (j - i >= 2 && j - i > bestLength)
        {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i)
    {
        if (i == bestStart)
        {
            address += "::";
            i += bestLength - 1;
            continue;
        }
        if (!address.empty() && address.back() != ':')
            address += ':';
        std::snprintf(text, sizeof(text), "%x", record.ipv6[i]);
        address += text;
    }
    if (!withPort)
        return address;
    std::snprintf(text, sizeof(text), "]:%u", record.port);
    return "[" + address + text;
}

std::string PeerText(IIOPeer* peer, bool withPort)
{
    if (peer == nullptr)
        return {};
    TIOPtr<IIOPeerIP> ip;
    if (FAILED(peer->QueryInterface(IIOPeerIP::IID, reinterpret_cast<void**>(ip.Out()))) || !ip)
        return {};
    return PeerText(ip->GetAddressRecord(), withPort);
}
