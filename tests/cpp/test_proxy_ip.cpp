#include <gtest/gtest.h>

#include "core/proxy/ip.h"

using namespace vintrel::proxy;

namespace {

IpAddress v6(std::initializer_list<uint16_t> groups) {
  IpAddress a;
  a.family = IpFamily::V6;
  size_t i = 0;
  for (uint16_t g : groups) {
    a.bytes[i++] = static_cast<uint8_t>(g >> 8);
    a.bytes[i++] = static_cast<uint8_t>(g);
  }
  return a;
}

}  // namespace

TEST(ProxyIp, Ipv4Accepted) {
  const auto a = parse_ipv4("192.168.0.255");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->family, IpFamily::V4);
  EXPECT_EQ(a->bytes[0], 192);
  EXPECT_EQ(a->bytes[3], 255);
  EXPECT_TRUE(parse_ipv4("0.0.0.0"));
  EXPECT_TRUE(parse_ipv4("255.255.255.255"));
}

class ProxyIpRejected : public testing::TestWithParam<const char*> {};

TEST_P(ProxyIpRejected, NotAnAddress) { EXPECT_FALSE(parse_ip(GetParam())) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(
    Table, ProxyIpRejected,
    testing::Values("", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.04", "00.0.0.0", "256.0.0.1",
                    "1.2.3.1000", "1..3.4", "1.2.3.4.", ".1.2.3", "1.2.3.-4", "1.2.3.+4", "a.b.c.d",
                    "1.2.3.4 ", " 1.2.3.4", "0x1.2.3.4", "1.2.3.4/8", "localhost",
                    // IPv6
                    ":", ":::", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3", ":1::", "1:::2",
                    "1:2:3:4:5:6:7:8::", "::1:2:3:4:5:6:7:8", "12345::", "g::", "1:2:3:4:5:6:7:",
                    ":1:2:3:4:5:6:7:8", "[::1]", "::1%eth0", "1.2.3.4::", "::1.2.3.4:5",
                    "::01.2.3.4", "::256.1.1.1", "1:2:3:4:5:6:7:1.2.3.4", "::ffff:1.2.3"));

TEST(ProxyIp, Ipv6Forms) {
  EXPECT_EQ(*parse_ipv6("::"), v6({}));
  EXPECT_EQ(*parse_ipv6("::1"), v6({0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(*parse_ipv6("1::"), v6({1}));
  EXPECT_EQ(*parse_ipv6("2001:DB8::8:800:200C:417A"), v6({0x2001, 0xdb8, 0, 0, 8, 0x800, 0x200c, 0x417a}));
  EXPECT_EQ(*parse_ipv6("1:2:3:4:5:6:7:8"), v6({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(*parse_ipv6("1:2:3:4:5:6:7::"), v6({1, 2, 3, 4, 5, 6, 7, 0}));
  EXPECT_EQ(*parse_ipv6("::2:3:4:5:6:7:8"), v6({0, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(*parse_ipv6("0001:0:0::ffff"), v6({1, 0, 0, 0, 0, 0, 0, 0xffff}));
  EXPECT_EQ(*parse_ipv6("::ffff:10.0.0.1"), v6({0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0001}));
  EXPECT_EQ(*parse_ipv6("1:2:3:4:5:6:1.2.3.4"), v6({1, 2, 3, 4, 5, 6, 0x0102, 0x0304}));
  EXPECT_EQ(*parse_ipv6("::1.2.3.4"), v6({0, 0, 0, 0, 0, 0, 0x0102, 0x0304}));
  // An embedded IPv4 address does not make the address IPv4.
  EXPECT_NE(*parse_ip("::ffff:10.0.0.1"), *parse_ip("10.0.0.1"));
}

TEST(ProxyIp, Networks) {
  const auto n8 = parse_ip_network("10.0.0.0/8");
  ASSERT_TRUE(n8);
  EXPECT_EQ(n8->prefix, 8u);
  EXPECT_TRUE(n8->contains(*parse_ip("10.255.1.2")));
  EXPECT_FALSE(n8->contains(*parse_ip("11.0.0.0")));
  EXPECT_FALSE(n8->contains(*parse_ip("::ffff:10.0.0.1")));

  const auto any4 = parse_ip_network("0.0.0.0/0");
  EXPECT_TRUE(any4->contains(*parse_ip("203.0.113.9")));
  EXPECT_FALSE(any4->contains(*parse_ip("::1")));

  const auto host = parse_ip_network("192.0.2.7/32");
  EXPECT_TRUE(host->contains(*parse_ip("192.0.2.7")));
  EXPECT_FALSE(host->contains(*parse_ip("192.0.2.6")));

  // Prefixes that do not end on a byte boundary.
  const auto n20 = parse_ip_network("172.16.0.0/12");
  EXPECT_TRUE(n20->contains(*parse_ip("172.31.255.255")));
  EXPECT_FALSE(n20->contains(*parse_ip("172.32.0.0")));
  // Host bits in the rule are ignored.
  EXPECT_TRUE(parse_ip_network("10.1.2.3/8")->contains(*parse_ip("10.9.9.9")));

  const auto v6net = parse_ip_network("2001:db8::/33");
  EXPECT_TRUE(v6net->contains(*parse_ip("2001:db8:7fff::1")));
  EXPECT_FALSE(v6net->contains(*parse_ip("2001:db8:8000::")));
  EXPECT_TRUE(parse_ip_network("::/0")->contains(*parse_ip("ffff::")));
  EXPECT_TRUE(parse_ip_network("::1/128")->contains(*parse_ip("::1")));
  EXPECT_FALSE(parse_ip_network("::1/128")->contains(*parse_ip("::2")));
}

TEST(ProxyIp, BadNetworks) {
  for (const char* text : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/08", "10.0.0.0/-1",
                           "10.0.0.0/8/8", "10.0.0.0/ 8", "/8", "10.0.0/8", "10.0.0.0", "::1/1000",
                           "example.com/8"}) {
    EXPECT_FALSE(parse_ip_network(text)) << text;
  }
}
