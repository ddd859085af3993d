#include "transport/IPFilter.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace
{
AddressRecord V4(const char* text)
{
    AddressRecord r;
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    std::memcpy(r.ipv4, &a, 4);
    return r;
}

AddressRecord V6(const char* text)
{
    AddressRecord r;
    r.isIPv6 = 1;
    in6_addr a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    for (int i = 0; i < 8; ++i)
        r.ipv6[i] = uint16_t((a.s6_addr[2 * i] << 8) | a.s6_addr[2 * i + 1]);
    return r;
}

AddressRecord Addr(const char* text)
{
    return std::strchr(text, ':') ? V6(text) : V4(text);
}

struct DecisionCase
{
    const char* filter;
    const char* address;
    bool admitted;
};
} // namespace

TEST(IPFilter, Decisions)
{
    const DecisionCase cases[] = {
        {"", "10.1.2.3", true},
        {"   ", "::1", true},
        {"~10.*.*.*", "10.0.0.1", false},
        {"~10.*.*.*", "11.0.0.1", true},
        {"192.168.1.*", "192.168.1.200", true},
        {"192.168.1.*", "192.168.2.1", false},
        {"192.168.1.*,~192.168.1.7", "192.168.1.7", true},
        {"192.168.1.*,~192.168.1.7", "10.0.0.1", true},
        {"~192.168.1.7,192.168.1.*", "192.168.1.7", false},
        {"~192.168.1.7,192.168.1.*", "10.0.0.1", false},
        {"~192.168.1.7,192.168.1.*", "192.168.1.8", true},
        {"10.0.0.5-9", "10.0.0.7", true},
        {"10.0.0.5-9", "10.0.0.5", true},
        {"10.0.0.5-9", "10.0.0.9", true},
        {"10.0.0.5-9", "10.0.0.10", false},
        {"10.0.0.+5-+9", "10.0.0.6", true},
        {"127.0.0.1", "::1", false},
        {"~127.0.0.1", "::1", true},
        {"::1", "127.0.0.1", false},
        {"::1", "::1", true},
        {"::1", "::2", false},
        {"fe80::*", "fe80:0:0:0:0:0:0:5", true},
        {"fe80::*", "fe80:0:0:0:1:0:0:5", false},
        {"2001:db8:*:*:*:*:*:*", "2001:db8:1:2:3:4:5:6", true},
        {"2001:db8:*:*:*:*:*:*", "2001:db9::1", false},
        {"2001:DB8::a-F", "2001:db8::c", true},
        {"2001:DB8::a-F", "2001:db8::10", false},
        {"::", "::", true},
        {"  127.0.0.1,::1  ", "::1", true},
    };
    for (const DecisionCase& c : cases)
    {
        CIPFilter filter;
        ASSERT_EQ(filter.Parse(c.filter), S_OK) << '"' << c.filter << '"';
        EXPECT_EQ(filter.Admits(Addr(c.address)), c.admitted) << c.filter << " / " << c.address;
    }
}

TEST(IPFilter, SyntaxErrors)
{
    for (const char* text :
         {"10.0.0.1-", "300.1.1.1", "10.0.0", "10.0.0.1, 10.0.0.2", "10.0.0.9-5", "10.0.0.1,", "~",
          "10.0.0.1x", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3", "1:2:3:4::5:6:7:8", "10000::1", ":1",
          "1:", "a-1::", "10.0.0.1 ,10.0.0.2", "*.*.*.*.*"})
    {
        CIPFilter filter;
        EXPECT_EQ(filter.Parse(text), E_FAIL) << '"' << text << '"';
    }
}

TEST(IPFilter, EntryShapes)
{
    CIPFilter filter;
    ASSERT_EQ(filter.Parse("~1.2.3-4.*,fe80::9"), S_OK);
    ASSERT_EQ(filter.Entries().size(), 2u);
    const IpFilterEntry& v4 = filter.Entries()[0];
    EXPECT_EQ(v4.block, 1);
    EXPECT_EQ(v4.isIPv6, 0);
    EXPECT_EQ(v4.ranges[2].low, 3);
    EXPECT_EQ(v4.ranges[2].high, 4);
    EXPECT_EQ(v4.ranges[3].any, 1);
    const IpFilterEntry& v6 = filter.Entries()[1];
    EXPECT_EQ(v6.isIPv6, 1);
    EXPECT_EQ(v6.ranges[0].low, 0xfe80);
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(v6.ranges[i].any + v6.ranges[i].low + v6.ranges[i].high, 0) << i;
    EXPECT_EQ(v6.ranges[7].low, 9);
}
