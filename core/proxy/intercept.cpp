#include "core/proxy/intercept.h"

#include "core/http/uri.h"
#include "core/proxy/authority.h"
#include "core/proxy/base64.h"
#include "core/proxy/percent.h"

namespace vintrel::proxy {
namespace {

// The scheme written into the rebuilt uri, or empty when unsupported.
std::string_view proxy_scheme(const http::Uri& uri, bool* socks) {
  *socks = false;
  switch (uri.scheme_kind) {
    case http::SchemeKind::None:
    case http::SchemeKind::Http:
      return "http";
    case http::SchemeKind::Https:
      return "https";
    case http::SchemeKind::Other:
      break;
  }
  for (std::string_view s : {"socks4", "socks4a", "socks5", "socks5h"}) {
    if (uri.scheme == s) {
      *socks = true;
      return s;
    }
  }
  return {};
}

}  // namespace

std::optional<Intercept> parse_proxy_url(std::string_view text) {
  const auto parsed = http::parse_uri(text);
  if (!parsed) return std::nullopt;
  bool socks;
  const std::string_view scheme = proxy_scheme(*parsed, &socks);
  if (scheme.empty() || !parsed->has_authority()) return std::nullopt;
  const AuthorityParts parts = split_authority(parsed->authority);
  // A proxy is a place to connect to: "http://user@:3128" names none.
  if (host_of(parts.host_port).empty()) return std::nullopt;

  Intercept out;
  out.uri.reserve(scheme.size() + 3 + parts.host_port.size() + 1);
  out.uri.append(scheme).append("://").append(parts.host_port).append("/");
  if (!http::parse_uri(out.uri)) return std::nullopt;

  if (parts.has_userinfo) {
    const size_t colon = parts.userinfo.find(':');
    std::string user = percent_decode_lossy(parts.userinfo.substr(0, colon));
    std::string password =
        colon == std::string_view::npos ? std::string() : percent_decode_lossy(parts.userinfo.substr(colon + 1));
    if (socks) {
      out.auth = AuthKind::Raw;
      out.user = std::move(user);
      out.password = std::move(password);
    } else {
      out.auth = AuthKind::Basic;
      std::string plain = std::move(user);
      plain += ':';
      plain += password;
      out.basic = "Basic ";
      base64_append(out.basic, plain);
    }
  }
  return out;
}

}  // namespace vintrel::proxy
