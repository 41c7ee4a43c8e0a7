#include "core/proxy/no_proxy.h"

#include "core/http/chars.h"
#include "core/util/utf8.h"

namespace vintrel::proxy {
namespace {

bool white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// The length of the white-space code point that ends `s`, or 0.
size_t trailing_space(std::string_view s) {
  // A code point is at most 4 bytes; find where the last one starts.
  size_t start = s.size() - 1;
  while (start > 0 && s.size() - start < 4 && (static_cast<uint8_t>(s[start]) & 0xC0) == 0x80) --start;
  const utf8::Step step = utf8::next(s.substr(start));
  if (step.valid && start + step.length == s.size() && white_space(step.code_point)) return step.length;
  return 0;
}

// Whether `host` ends with `suffix`, ignoring ASCII case.
bool iends_with(std::string_view host, std::string_view suffix) {
  return host.size() >= suffix.size() &&
         http::chars::iequals(host.substr(host.size() - suffix.size()), suffix);
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) noexcept {
  while (!text.empty()) {
    const utf8::Step step = utf8::next(text);
    if (!step.valid || !white_space(step.code_point)) break;
    text.remove_prefix(step.length);
  }
  while (!text.empty()) {
    const size_t n = trailing_space(text);
    if (n == 0) break;
    text.remove_suffix(n);
  }
  return text;
}

NoProxy NoProxy::parse(std::string_view text) {
  NoProxy rules;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view piece = trim_unicode_space(text.substr(0, comma));
    if (!piece.empty()) {
      if (auto network = parse_ip_network(piece)) {
        rules.ips_.push_back(*network);
      } else if (auto address = parse_ip(piece)) {
        rules.ips_.push_back(IpRule{*address, address->bit_width()});
      } else {
        rules.domains_.emplace_back(piece);
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return rules;
}

bool domain_matches(std::string_view rule, std::string_view host) noexcept {
  if (rule.empty()) return false;
  if (rule == "*") return true;
  if (http::chars::iequals(rule, host)) return true;
  if (rule.size() == host.size() + 1 && rule[0] == '.' && http::chars::iequals(rule.substr(1), host)) {
    return true;
  }
  if (!iends_with(host, rule)) return false;
  if (rule[0] == '.') return true;
  return host.size() > rule.size() && host[host.size() - rule.size() - 1] == '.';
}

bool NoProxy::bypasses(std::string_view host) const {
  if (const auto address = parse_ip(host)) {
    for (const IpRule& rule : ips_) {
      if (rule.contains(*address)) return true;
    }
    return false;
  }
  for (const std::string& rule : domains_) {
    if (domain_matches(rule, host)) return true;
  }
  return false;
}

}  // namespace vintrel::proxy
