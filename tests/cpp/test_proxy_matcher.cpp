#include <gtest/gtest.h>

#include <map>

#include "core/proxy/matcher.h"

using namespace vintrel::proxy;

namespace {

EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

std::string uri_of(const Matcher& m, std::string_view url) {
  const auto got = m.intercept(url);
  return got ? got->uri : "<none>";
}

}  // namespace

TEST(ProxyUrl, Forms) {
  const auto p = parse_proxy_url("user:p@ss@10.0.0.9:3128");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->uri, "http://10.0.0.9:3128/");
  EXPECT_EQ(p->auth, AuthKind::Basic);
  EXPECT_EQ(p->basic, "Basic dXNlcjpwQHNz");

  const auto s = parse_proxy_url("socks5h://u%3a:p%25@[::1]:1080/x?y");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->uri, "socks5h://[::1]:1080/");
  EXPECT_EQ(s->auth, AuthKind::Raw);
  EXPECT_EQ(s->user, "u:");
  EXPECT_EQ(s->password, "p%");

  EXPECT_EQ(parse_proxy_url("HTTPS://h")->uri, "https://h/");
  EXPECT_EQ(parse_proxy_url("http://h")->auth, AuthKind::None);
  for (const char* bad : {"", "ftp://h", "Socks5://h", "http://", "http://u@:1", "h/x", "http://h%20"}) {
    EXPECT_FALSE(parse_proxy_url(bad)) << bad;
  }
}

TEST(ProxyMatcher, FromEnvPrecedence) {
  // The uppercase variable wins when set, even to "".
  auto m = Matcher::from_env(env_of({{"HTTP_PROXY", ""}, {"http_proxy", "10.0.0.1:1"}}));
  EXPECT_FALSE(m.http());
  m = Matcher::from_env(env_of({{"http_proxy", "10.0.0.1:1"}, {"https_proxy", "10.0.0.2:2"},
                                {"no_proxy", "skip.me"}}));
  EXPECT_EQ(uri_of(m, "http://a/"), "http://10.0.0.1:1/");
  EXPECT_EQ(uri_of(m, "https://a/"), "http://10.0.0.2:2/");
  EXPECT_EQ(uri_of(m, "https://skip.me/"), "<none>");
  m = Matcher::from_env(env_of({{"ALL_PROXY", "socks5://10.0.0.3:3"}, {"all_proxy", "10.0.0.4:4"}}));
  EXPECT_EQ(uri_of(m, "http://a/"), "socks5://10.0.0.3:3/");
  EXPECT_EQ(uri_of(m, "https://a/"), "socks5://10.0.0.3:3/");
}

TEST(ProxyMatcher, CgiGuard) {
  const auto m = Matcher::from_env(env_of({{"REQUEST_METHOD", "GET"}, {"HTTP_PROXY", "10.0.0.1:1"}}));
  EXPECT_FALSE(m.http());
  EXPECT_FALSE(m.https());
  EXPECT_EQ(uri_of(m, "http://a/"), "<none>");
}

TEST(ProxyMatcher, Intercept) {
  const auto m = Matcher::from_parts("10.0.0.1:1", std::nullopt, std::nullopt, "*.x, .corp, ::1, 10.0.0.0/8");
  EXPECT_EQ(uri_of(m, "http://example.com/"), "http://10.0.0.1:1/");
  EXPECT_EQ(uri_of(m, "HTTPS://example.com/"), "http://10.0.0.1:1/");
  EXPECT_EQ(uri_of(m, "http://a.corp/"), "<none>");
  EXPECT_EQ(uri_of(m, "http://corp/"), "<none>");
  EXPECT_EQ(uri_of(m, "http://[::1]:80/"), "<none>");
  EXPECT_EQ(uri_of(m, "http://10.2.3.4/"), "<none>");
  EXPECT_EQ(uri_of(m, "http://11.2.3.4/"), "http://10.0.0.1:1/");
  EXPECT_EQ(uri_of(m, "ftp://example.com/"), "<none>");
  EXPECT_EQ(uri_of(m, "example.com:80"), "<none>");
  EXPECT_EQ(uri_of(m, "/x"), "<none>");
  EXPECT_EQ(uri_of(m, "http://:80/"), "<none>");
}
