// Byte classes shared by the HTTP primitives, as 256-entry tables computed
// at compile time (never the locale-dependent <cctype>).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vintrel::http::chars {

using Table = std::array<bool, 256>;

constexpr Table make_table(bool (*pred)(unsigned)) {
  Table t{};
  for (unsigned c = 0; c < 256; ++c) t[c] = pred(c);
  return t;
}

constexpr bool is_alpha_c(unsigned c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_digit_c(unsigned c) { return c >= '0' && c <= '9'; }

// RFC 9110 token characters: letters, digits and !#$%&'*+-.^_`|~
constexpr bool is_token_c(unsigned c) {
  return is_alpha_c(c) || is_digit_c(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// A header value byte: tab, visible ASCII and space, or 128-255.
constexpr bool is_field_value_c(unsigned c) { return c == '\t' || (c >= 32 && c != 127); }

inline constexpr Table kToken = make_table(is_token_c);
inline constexpr Table kFieldValue = make_table(is_field_value_c);

// Token characters folded to lowercase; 0 for any byte that is not a token
// character. One lookup both validates and normalises a header name byte.
inline constexpr std::array<uint8_t, 256> kLowerToken = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    if (is_token_c(c)) t[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return t;
}();

constexpr bool token(char c) { return kToken[static_cast<uint8_t>(c)]; }
constexpr bool field_value(char c) { return kFieldValue[static_cast<uint8_t>(c)]; }
constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// ASCII case-insensitive equality.
constexpr bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace vintrel::http::chars
