// The IP peer object and the address texts of the socket layer.
#pragma once
#include "transport/IOPeer.h"

#include <cstdint>
#include <string>

class CIOPeerIP final : public TIOUnknown<IIOPeerIP>
{
public:
    // Decodes `address`; the record's protocol is `protocol`. Null when memory runs out.
    static TIOPtr<CIOPeerIP> Create(const SSocketAddress& address, uint32_t protocol, uint32_t flags,
                                    uint32_t channel);

    const SSocketAddress& GetRawAddress() const override { return m_address; }
    const AddressRecord& GetAddressRecord() const override { return m_record; }
    bool TestFlags(uint32_t mask) const override { return (m_flags & mask) == mask; }
    uint32_t GetChannel() const override { return m_channel; }

protected:
    void* QueryExtraInterface(const IOGUID& iid) override;

private:
    CIOPeerIP() = default;
    ~CIOPeerIP() override = default;

    SSocketAddress m_address;
    AddressRecord m_record;
    uint32_t m_flags = 0;
    uint32_t m_channel = 0;
};

// "%u.%u.%u.%u:%u" for IPv4, "[address]:port" for IPv6, "[INVALID_ADDRESS]:%u" when an IPv6
// address cannot be converted, "<fam=%u;%u.%u.%u.%u:%u>" for any other family.
std::string FormatSocketAddress(const SSocketAddress& address);
// Dotted IPv4, or IPv6 groups in lower-case hexadecimal with the first longest run of two or
// more zero groups written as "::"; with the port "%s:%u" or "[%s]:%u".
std::string PeerText(const AddressRecord& record, bool withPort);
// PeerText of an IP peer; the empty text for no peer or a peer of another kind.
std::string PeerText(IIOPeer* peer, bool withPort);
