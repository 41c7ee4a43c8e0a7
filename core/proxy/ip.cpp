#include "core/proxy/ip.h"

#include "core/http/chars.h"
#include "core/util/hex.h"

namespace vintrel::proxy {
namespace {

bool digit(char c) { return http::chars::is_digit_c(static_cast<uint8_t>(c)); }

// A decimal number of 1-3 digits without a leading zero, at most `max`.
std::optional<unsigned> small_decimal(std::string_view s, unsigned max) noexcept {
  if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  unsigned v = 0;
  for (char c : s) {
    if (!digit(c)) return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

// Four octets into out[0..4).
bool ipv4_octets(std::string_view text, uint8_t* out) noexcept {
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    const auto octet = small_decimal(text.substr(0, dot), 255);
    if (!octet) return false;
    out[i] = static_cast<uint8_t>(*octet);
    text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return text.empty();
}

// One run of ':'-separated groups (no "::" inside), the last of which may
// be an IPv4 address when `allow_v4` is set. Returns the number of 16-bit
// groups written to out, or -1.
int ipv6_groups(std::string_view run, bool allow_v4, uint16_t* out, int room) noexcept {
  if (run.empty()) return 0;
  int n = 0;
  for (;;) {
    const size_t colon = run.find(':');
    const std::string_view group = run.substr(0, colon);
    if (colon == std::string_view::npos && allow_v4 && group.find('.') != std::string_view::npos) {
      uint8_t v4[4];
      if (n + 2 > room || !ipv4_octets(group, v4)) return -1;
      out[n++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      out[n++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      return n;
    }
    if (group.empty() || group.size() > 4 || n >= room) return -1;
    unsigned v = 0;
    for (char c : group) {
      const uint8_t h = util::hex_value(c);
      if (h == 0xFF) return -1;
      v = v << 4 | h;
    }
    out[n++] = static_cast<uint16_t>(v);
    if (colon == std::string_view::npos) return n;
    run.remove_prefix(colon + 1);
  }
}

}  // namespace

bool IpNetwork::contains(const IpAddress& a) const noexcept {
  if (a.family != address.family) return false;
  const unsigned full = prefix / 8;
  for (unsigned i = 0; i < full; ++i) {
    if (a.bytes[i] != address.bytes[i]) return false;
  }
  const unsigned rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<uint8_t>(0xFF00u >> rest);
  return (a.bytes[full] & mask) == (address.bytes[full] & mask);
}

std::optional<IpAddress> parse_ipv4(std::string_view text) noexcept {
  IpAddress a;
  a.family = IpFamily::V4;
  if (!ipv4_octets(text, a.bytes.data())) return std::nullopt;
  return a;
}

std::optional<IpAddress> parse_ipv6(std::string_view text) noexcept {
  uint16_t head[8];
  uint16_t tail[8];
  int nh;
  int nt = 0;
  const size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    nh = ipv6_groups(text, true, head, 8);
    if (nh != 8) return std::nullopt;
  } else {
    const std::string_view before = text.substr(0, gap);
    const std::string_view after = text.substr(gap + 2);
    if (after.find("::") != std::string_view::npos) return std::nullopt;
    nh = ipv6_groups(before, false, head, 7);
    if (nh < 0) return std::nullopt;
    nt = ipv6_groups(after, true, tail, 7 - nh);
    // "::" stands for at least one zero group.
    if (nt < 0 || nh + nt > 7) return std::nullopt;
  }
  IpAddress a;
  a.family = IpFamily::V6;
  for (int i = 0; i < nh; ++i) {
    a.bytes[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(head[i] >> 8);
    a.bytes[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(head[i]);
  }
  for (int i = 0; i < nt; ++i) {
    const auto at = static_cast<size_t>(2 * (8 - nt + i));
    a.bytes[at] = static_cast<uint8_t>(tail[i] >> 8);
    a.bytes[at + 1] = static_cast<uint8_t>(tail[i]);
  }
  return a;
}

std::optional<IpAddress> parse_ip(std::string_view text) noexcept {
  return text.find(':') != std::string_view::npos ? parse_ipv6(text) : parse_ipv4(text);
}

std::optional<IpNetwork> parse_ip_network(std::string_view text) noexcept {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto address = parse_ip(text.substr(0, slash));
  if (!address) return std::nullopt;
  const auto prefix = small_decimal(text.substr(slash + 1), address->bit_width());
  if (!prefix) return std::nullopt;
  return IpNetwork{*address, *prefix};
}

}  // namespace vintrel::proxy
