// The address filter of listen mode: an ordered list of IPv4 and IPv6 patterns with ranges
// and wildcards, each admitting or (with a leading "~") blocking what it matches.
#pragma once
#include "dravo/status.h"
#include "platform/NetAddress.h"

#include <cstdint>
#include <string_view>
#include <vector>

struct IpFilterRange
{
    uint8_t any = 0;
    uint16_t low = 0;
    uint16_t high = 0;
};

struct IpFilterEntry
{
    uint8_t isIPv6 = 0;
    uint8_t block = 0;
    IpFilterRange ranges[8];
};

class CIPFilter
{
public:
    // Replaces the list by the entries of `text`. E_FAIL on a syntax error; the list is then
    // incomplete and must not be used.
    HRESULT Parse(std::string_view text);
    bool Admits(const SSocketAddress& address) const;
    bool Admits(const AddressRecord& address) const;

    bool IsEmpty() const { return m_entries.empty(); }
    const std::vector<IpFilterEntry>& Entries() const { return m_entries; }

private:
    std::vector<IpFilterEntry> m_entries;
};
