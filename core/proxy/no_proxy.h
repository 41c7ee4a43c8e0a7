// No-proxy rules: which destination hosts bypass the proxy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/proxy/ip.h"

namespace vintrel::proxy {

// An IP rule: a single address (prefix = full width) or a network.
using IpRule = IpNetwork;

class NoProxy {
 public:
  NoProxy() = default;

  // Pieces split on ',', trimmed of Unicode whitespace, empty ones skipped;
  // a CIDR network or a plain address becomes an IP rule, anything else a
  // domain rule kept as written.
  static NoProxy parse(std::string_view text);

  // Whether `host` (no brackets, no port) bypasses the proxy. An IP-literal
  // host is checked against the IP rules only, a name against the domain
  // rules only, ignoring ASCII case.
  bool bypasses(std::string_view host) const;

  const std::vector<IpRule>& ip_rules() const noexcept { return ips_; }
  const std::vector<std::string>& domain_rules() const noexcept { return domains_; }

 private:
  std::vector<IpRule> ips_;
  std::vector<std::string> domains_;
};

// Whether the name `host` matches the domain rule `rule`: equal, equal to
// the rule without its leading '.', a suffix after a '.' label boundary,
// or the rule "*".
bool domain_matches(std::string_view rule, std::string_view host) noexcept;

// `text` without Unicode white space (the White_Space property) at either
// end; the text is UTF-8.
std::string_view trim_unicode_space(std::string_view text) noexcept;

}  // namespace vintrel::proxy
