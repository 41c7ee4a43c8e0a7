#include <gtest/gtest.h>

#include "core/proxy/authority.h"
#include "core/proxy/no_proxy.h"

using namespace vintrel::proxy;

TEST(ProxyNoProxy, SortsPiecesIntoRules) {
  const NoProxy rules = NoProxy::parse(" example.com ,10.0.0.0/8,, ::1,\t.Local\u3000, 10.0.0.0/33,*,");
  ASSERT_EQ(rules.ip_rules().size(), 2u);
  EXPECT_EQ(rules.ip_rules()[0].prefix, 8u);
  EXPECT_EQ(rules.ip_rules()[1].prefix, 128u);
  const std::vector<std::string> domains{"example.com", ".Local", "10.0.0.0/33", "*"};
  EXPECT_EQ(rules.domain_rules(), domains);
  EXPECT_TRUE(NoProxy::parse("").domain_rules().empty());
  EXPECT_TRUE(NoProxy::parse(" , ,").ip_rules().empty());
}

TEST(ProxyNoProxy, TrimsUnicodeSpace) {
  EXPECT_EQ(trim_unicode_space("\u00a0\u2003 a b\u3000\u2029"), "a b");
  EXPECT_EQ(trim_unicode_space("\u200b"), "\u200b");  // zero-width space is not white space
  EXPECT_EQ(trim_unicode_space(" \xff "), "\xff");
  EXPECT_EQ(trim_unicode_space("\x85"), "\x85");       // a lone byte, not U+0085
  EXPECT_EQ(trim_unicode_space("\xc2\x85x\xc2\x85"), "x");
  EXPECT_EQ(trim_unicode_space("   "), "");
}

struct DomainCase {
  const char* rule;
  const char* host;
  bool match;
};

void PrintTo(const DomainCase& c, std::ostream* os) {
  *os << '"' << c.rule << "\" vs \"" << c.host << '"';
}

class ProxyDomain : public testing::TestWithParam<DomainCase> {};

TEST_P(ProxyDomain, Matches) {
  const auto& c = GetParam();
  EXPECT_EQ(domain_matches(c.rule, c.host), c.match) << c.rule << " vs " << c.host;
}

INSTANTIATE_TEST_SUITE_P(Table, ProxyDomain,
                         testing::Values(DomainCase{"example.com", "example.com", true},
                                         DomainCase{"example.com", "www.example.com", true},
                                         DomainCase{"example.com", "a.b.example.com", true},
                                         DomainCase{"example.com", "wwwexample.com", false},
                                         DomainCase{"example.com", "example.org", false},
                                         DomainCase{"example.com", "com", false},
                                         DomainCase{".example.com", "example.com", true},
                                         DomainCase{".example.com", "www.example.com", true},
                                         DomainCase{".example.com", "wwwexample.com", false},
                                         DomainCase{"EXAMPLE.com", "www.Example.COM", true},
                                         DomainCase{"*", "anything", true},
                                         DomainCase{"*.example.com", "www.example.com", false},
                                         DomainCase{"", "", false}));

TEST(ProxyNoProxy, IpHostsUseIpRulesOnly) {
  const NoProxy rules = NoProxy::parse("*,10.0.0.0/8,::1,192.0.2.1");
  EXPECT_TRUE(rules.bypasses("10.1.2.3"));
  EXPECT_TRUE(rules.bypasses("::1"));
  EXPECT_TRUE(rules.bypasses("192.0.2.1"));
  EXPECT_FALSE(rules.bypasses("192.0.2.2"));
  EXPECT_FALSE(rules.bypasses("::2"));
  EXPECT_TRUE(rules.bypasses("example.com"));
  // "*" never applies to an IP literal.
  EXPECT_FALSE(NoProxy::parse("*").bypasses("10.0.0.1"));
  // An IP rule never applies to a name, and a name that looks almost like
  // an address is a name.
  EXPECT_TRUE(NoProxy::parse("10.0.0.01").bypasses("10.0.0.01"));
  EXPECT_FALSE(NoProxy::parse("10.0.0.1").bypasses("10.0.0.01"));
}

TEST(ProxyAuthority, SplitsAtLastAt) {
  const auto parts = split_authority("user:p@ss@10.0.0.9:3128");
  EXPECT_TRUE(parts.has_userinfo);
  EXPECT_EQ(parts.userinfo, "user:p@ss");
  EXPECT_EQ(parts.host_port, "10.0.0.9:3128");
  EXPECT_FALSE(split_authority("h:1").has_userinfo);
}

TEST(ProxyAuthority, Host) {
  EXPECT_EQ(host_of("example.com:8080"), "example.com");
  EXPECT_EQ(host_of("example.com"), "example.com");
  EXPECT_EQ(host_of("[::1]:8080"), "::1");
  EXPECT_EQ(host_of("[::1]"), "::1");
  EXPECT_EQ(host_of(":8080"), "");
  EXPECT_EQ(host_of("[]"), "");
}
