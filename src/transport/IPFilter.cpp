#include "transport/IPFilter.h"

#include "core/PatternMatcher.h"
#include "platform/Net.h"

#include <new>

namespace
{
// One octet or group: "*", a range "a-b" or a single number. The range is tried before the
// single number so that "5-9" is not read as "5" followed by junk.
constexpr std::string_view kDecimalElement = "*|#-#|#";
constexpr std::string_view kHexElement = "*|$-$|$";

// Reads one element at `pos`; false on a syntax error.
bool ReadElement(std::string_view text, size_t& pos, bool hex, IpFilterRange& range)
{
    SPatternField fields[2];
    fields[0].max = fields[1].max = hex ? 0xFFFF : 255;
    const int used =
        CPatternMatcher::MatchPrefix(text.substr(pos), hex ? kHexElement : kDecimalElement, fields);
    if (used <= 0)
        return false;
    pos += size_t(used);
    if (!fields[0].set)
    {
        range = IpFilterRange{1, 0, 0};
        return true;
    }
    const uint32_t low = fields[0].value;
    const uint32_t high = fields[1].set ? fields[1].value : low;
    if (high < low)
        return false;
    range = IpFilterRange{0, uint16_t(low), uint16_t(high)};
    return true;
}

bool AtEntryEnd(std::string_view text, size_t pos)
{
    return pos == text.size() || text[pos] == ',';
}

bool ParseIPv4(std::string_view text, size_t& pos, IpFilterEntry& entry)
{
    size_t p = pos;
    for (int i = 0; i < 4; ++i)
    {
        if (i > 0)
        {
            if (p >= text.size() || text[p] != '.')
                return false;
            ++p;
        }
        if (!ReadElement(text, p, false, entry.ranges[i]))
            return false;
    }
    if (!AtEntryEnd(text, p))
        return false;
    entry.isIPv6 = 0;
    pos = p;
    return true;
}

bool ParseIPv6(std::string_view text, size_t& pos, IpFilterEntry& entry)
{
    IpFilterRange head[8], tail[8];
    int headCount = 0, tailCount = 0;
    bool compressed = false;
    size_t p = pos;
    auto isDoubleColon = [&](size_t at)
    { return at + 1 < text.size() && text[at] == ':' && text[at + 1] == ':'; };

    if (isDoubleColon(p))
    {
        compressed = true;
        p += 2;
    }
    while (!AtEntryEnd(text, p))
    {
        int& count = compressed ? tailCount : headCount;
        if (headCount + tailCount == 8)
            return false;
        if (!ReadElement(text, p, true, compressed ? tail[count] : head[count]))
            return false;
        ++count;
        if (AtEntryEnd(text, p))
            break;
        if (isDoubleColon(p))
        {
            if (compressed)
                return false;
            compressed = true;
            p += 2;
            continue;
        }
        if (text[p] != ':')
            return false;
        ++p;
        if (AtEntryEnd(text, p))
            return false; // a single ':' must be followed by a group
    }
    const int written = headCount + tailCount;
    if (compressed ? written >= 8 : written != 8)
        return false;
    entry.isIPv6 = 1;
    for (int i = 0; i < 8; ++i)
        entry.ranges[i] = IpFilterRange{0, 0, 0};
    for (int i = 0; i < headCount; ++i)
        entry.ranges[i] = head[i];
    for (int i = 0; i < tailCount; ++i)
        entry.ranges[8 - tailCount + i] = tail[i];
    pos = p;
    return true;
}

bool InRange(const IpFilterRange& r, uint32_t v)
{
    return r.any || (v >= r.low && v <= r.high);
}
} // namespace

HRESULT CIPFilter::Parse(std::string_view text)
{
    m_entries.clear();
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (text.empty())
        return S_OK;
    size_t pos = 0;
    try
    {
        for (;;)
        {
            IpFilterEntry entry;
            if (text[pos] == '~')
            {
                entry.block = 1;
                ++pos;
            }
            if (!ParseIPv4(text, pos, entry) && !ParseIPv6(text, pos, entry))
                return E_FAIL;
            m_entries.push_back(entry);
            if (pos == text.size())
                return S_OK;
            ++pos; // the comma
            if (pos == text.size())
                return E_FAIL;
        }
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

bool CIPFilter::Admits(const SSocketAddress& address) const
{
    AddressRecord record;
    NetDecodeAddress(address, &record);
    if (!record.isIPv6 && !NetIsIPv4(address))
        return m_entries.empty() || m_entries.back().block != 0;
    return Admits(record);
}

bool CIPFilter::Admits(const AddressRecord& address) const
{
    if (m_entries.empty())
        return true;
    for (const IpFilterEntry& e : m_entries)
    {
        if (e.isIPv6 != (address.isIPv6 ? 1 : 0))
            continue;
        bool match = true;
        const int n = e.isIPv6 ? 8 : 4;
        for (int i = 0; i < n && match; ++i)
            match = InRange(e.ranges[i], e.isIPv6 ? address.ipv6[i] : address.ipv4[i]);
        if (match)
            return e.block == 0;
    }
    return m_entries.back().block != 0;
}
