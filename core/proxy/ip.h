// IPv4 and IPv6 addresses and networks as text (strict forms only) and the
// containment test that no-proxy rules use.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vintrel::proxy {

enum class IpFamily : uint8_t { V4, V6 };

// An address in network byte order; a V4 address uses the first 4 bytes and
// leaves the rest zero, so equality of the whole value is address equality.
struct IpAddress {
  IpFamily family = IpFamily::V4;
  std::array<uint8_t, 16> bytes{};

  unsigned bit_width() const noexcept { return family == IpFamily::V4 ? 32u : 128u; }
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// An address and a prefix length (at most the family's bit width). Host
// bits below the prefix may be set ("10.1.2.3/8"); they are ignored.
struct IpNetwork {
  IpAddress address;
  unsigned prefix = 0;

  // Whether `a` is of the same family and shares the first `prefix` bits.
  bool contains(const IpAddress& a) const noexcept;
};

// Dotted-quad decimal: four octets 0-255, each "0" or 1-3 digits without a
// leading zero ("010.0.0.1" and "256.0.0.1" are not addresses).
std::optional<IpAddress> parse_ipv4(std::string_view text) noexcept;
// Eight groups of 1-4 hex digits (either case) separated by ":", at most
// one "::" standing for one or more zero groups, and optionally a dotted
// IPv4 address in place of the last two groups. No brackets, no zone.
std::optional<IpAddress> parse_ipv6(std::string_view text) noexcept;
// Either form: a text with a ':' is tried as IPv6, else as IPv4.
std::optional<IpAddress> parse_ip(std::string_view text) noexcept;
// "<address>/<prefix>": the prefix is decimal, "0" or without a leading
// zero, and at most 32 (IPv4) or 128 (IPv6).
std::optional<IpNetwork> parse_ip_network(std::string_view text) noexcept;

}  // namespace vintrel::proxy
