// Proxy selection: the http and https proxies and the no-proxy rules,
// fixed at construction, and the choice for one destination URL.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/proxy/intercept.h"
#include "core/proxy/no_proxy.h"

namespace vintrel::proxy {

// Reads one environment variable: its value, or nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

class Matcher {
 public:
  // No proxies and no rules: every destination goes direct.
  Matcher() = default;

  // Each setting is unset (nullopt) or a string. An unset, empty or
  // unparseable proxy URL gives no proxy; http and https fall back to
  // `all` each on its own.
  static Matcher from_parts(std::optional<std::string_view> all, std::optional<std::string_view> http,
                            std::optional<std::string_view> https, std::optional<std::string_view> no);

  // From ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY, each read from its
  // lowercase twin only when the uppercase variable is not set at all. When
  // REQUEST_METHOD is set (a CGI program, where HTTP_PROXY may come from a
  // request header), nothing is read and nothing is proxied.
  static Matcher from_env(const EnvLookup& lookup);

  // The proxy for the destination `url`, or nullopt: unparseable URLs,
  // URLs without a host, schemes other than http and https, and bypassed
  // hosts go direct.
  std::optional<Intercept> intercept(std::string_view url) const;

  const std::optional<Intercept>& http() const noexcept { return http_; }
  const std::optional<Intercept>& https() const noexcept { return https_; }
  const NoProxy& no_proxy() const noexcept { return no_; }

 private:
  std::optional<Intercept> http_;
  std::optional<Intercept> https_;
  NoProxy no_;
};

}  // namespace vintrel::proxy
