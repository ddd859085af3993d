// Peers name the remote end a packet goes to or came from. A CBuffer holds an IIOPeer; the
// IP transport hands out IIOPeerIP objects that also carry the decoded address.
#pragma once
#include "dravo/IOUnknown.h"
#include "platform/NetAddress.h"

#include <cstdint>

enum EIOProtocol : uint32_t
{
    IO_PROTOCOL_NONE = 0,
    IO_PROTOCOL_TCP = 1,
    IO_PROTOCOL_UDP = 2,
};

// Peer flag bits.
constexpr uint32_t PEER_FLAG_IPV6 = 1;
constexpr uint32_t PEER_FLAG_BROADCAST = 2;

struct IIOPeer : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x3A0C6F21, 0x54D7, 0x4B1E, {0x8E, 0x02, 0x71, 0xC4, 0x9D, 0x33, 0x0A, 0x5B}};

protected:
    ~IIOPeer() = default;
};

struct IIOPeerIP : IIOPeer
{
    static constexpr IOGUID IID = {
        0x3A0C6F22, 0x54D7, 0x4B1E, {0x8E, 0x02, 0x71, 0xC4, 0x9D, 0x33, 0x0A, 0x5B}};
    virtual const SSocketAddress& GetRawAddress() const = 0;
    virtual const AddressRecord& GetAddressRecord() const = 0;
    // True when every bit of `mask` is set in the peer's flags.
    virtual bool TestFlags(uint32_t mask) const = 0;
    virtual uint32_t GetChannel() const = 0;

protected:
    ~IIOPeerIP() = default;
};
