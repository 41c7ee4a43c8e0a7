// Hex digits both ways, as tables computed at compile time.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vintrel::util {

// The value of a hex digit (either case); 0xFF for any other byte.
inline constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (unsigned c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (unsigned c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
  for (unsigned c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
  return t;
}();

constexpr uint8_t hex_value(char c) { return kHexValue[static_cast<uint8_t>(c)]; }

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// Appends v in lowercase hex without leading zeros ("0" for zero).
inline void append_hex(std::string& out, uint64_t v) {
  char buf[16];
  size_t n = 0;
  do {
    buf[n++] = kLowerHexDigits[v & 15];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out += buf[--n];
}

}  // namespace vintrel::util
