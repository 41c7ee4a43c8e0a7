#include "core/proxy/matcher.h"

#include "core/http/uri.h"
#include "core/proxy/authority.h"

namespace vintrel::proxy {
namespace {

std::optional<Intercept> proxy_from(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  return parse_proxy_url(*text);
}

// The uppercase variable when set (even to ""), else the lowercase one.
std::optional<std::string> setting(const EnvLookup& lookup, const char* upper, const char* lower) {
  auto value = lookup(upper);
  return value ? value : lookup(lower);
}

std::optional<std::string_view> view(const std::optional<std::string>& s) {
  return s ? std::optional<std::string_view>(*s) : std::nullopt;
}

}  // namespace

Matcher Matcher::from_parts(std::optional<std::string_view> all, std::optional<std::string_view> http,
                            std::optional<std::string_view> https, std::optional<std::string_view> no) {
  Matcher m;
  const auto all_proxy = proxy_from(all);
  m.http_ = proxy_from(http);
  if (!m.http_) m.http_ = all_proxy;
  m.https_ = proxy_from(https);
  if (!m.https_) m.https_ = all_proxy;
  if (no) m.no_ = NoProxy::parse(*no);
  return m;
}

Matcher Matcher::from_env(const EnvLookup& lookup) {
  if (lookup("REQUEST_METHOD")) return Matcher();
  const auto all = setting(lookup, "ALL_PROXY", "all_proxy");
  const auto http = setting(lookup, "HTTP_PROXY", "http_proxy");
  const auto https = setting(lookup, "HTTPS_PROXY", "https_proxy");
  const auto no = setting(lookup, "NO_PROXY", "no_proxy");
  return from_parts(view(all), view(http), view(https), view(no));
}

std::optional<Intercept> Matcher::intercept(std::string_view url) const {
  const auto parsed = http::parse_uri(url);
  if (!parsed || !parsed->has_authority()) return std::nullopt;
  const std::optional<Intercept>* chosen;
  switch (parsed->scheme_kind) {
    case http::SchemeKind::Http:
      chosen = &http_;
      break;
    case http::SchemeKind::Https:
      chosen = &https_;
      break;
    default:
      return std::nullopt;
  }
  if (!chosen->has_value()) return std::nullopt;
  const std::string_view host = host_of(split_authority(parsed->authority).host_port);
  if (host.empty() || no_.bypasses(host)) return std::nullopt;
  return *chosen;
}

}  // namespace vintrel::proxy
