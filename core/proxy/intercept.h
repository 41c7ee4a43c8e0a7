// One proxy: its URL rebuilt without userinfo and the credentials that the
// userinfo carried.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vintrel::proxy {

enum class AuthKind : uint8_t {
  None,
  Basic,  // http and https proxies: a Proxy-Authorization value
  Raw,    // SOCKS proxies: user and password as given
};

struct Intercept {
  // scheme "://" host[:port] "/": the scheme in lowercase, no userinfo,
  // path or query.
  std::string uri;
  AuthKind auth = AuthKind::None;
  // "Basic " and the base64 of "user:password" (AuthKind::Basic).
  std::string basic;
  // Percent-decoded, ill-formed UTF-8 replaced by U+FFFD (AuthKind::Raw).
  std::string user;
  std::string password;
};

// Parses a proxy URL. No scheme means http; http and https (any case) and
// the lowercase socks4, socks4a, socks5 and socks5h are supported. Any
// other scheme, a URL that does not parse, or one without a host gives no
// proxy (nullopt).
std::optional<Intercept> parse_proxy_url(std::string_view text);

}  // namespace vintrel::proxy
