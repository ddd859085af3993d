// Address records shared by the raw socket calls and the transport.
#pragma once
#include <cstdint>

// Decoded address of one end of a connection; all numbers in host order.
struct AddressRecord
{
    uint32_t protocol = 0; // 0 unspecified, 1 TCP, 2 UDP
    uint32_t isIPv6 = 0;
    uint8_t ipv4[4] = {};
    uint16_t ipv6[8] = {};
    uint16_t port = 0;
};

// Raw socket address with room for the largest family in use (IPv6). Its bytes are the
// operating system's socket address; `length` is the part in use (0 = no address).
struct SSocketAddress
{
    alignas(8) uint8_t bytes[28] = {};
    uint32_t length = 0;
};
