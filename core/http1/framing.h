// Helpers for the framing headers shared by head encoding and head parsing:
// content-length lists, comma-separated token lists (connection, trailer)
// and the last transfer coding.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/http/chars.h"
#include "core/util/result.h"

namespace vintrel::http1 {

// Optional white space (space and tab) trimmed from both ends.
constexpr std::string_view trim_ows(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Calls f(item) for each comma-separated item of `list`, trimmed; empty
// items included.
template <class F>
constexpr void for_each_list_item(std::string_view list, F&& f) {
  for (;;) {
    const size_t comma = list.find(',');
    f(trim_ows(list.substr(0, comma)));
    if (comma == std::string_view::npos) return;
    list.remove_prefix(comma + 1);
  }
}

// Whether the comma-separated `list` holds `token`, compared without regard
// to ASCII case ("close" in "Keep-Alive, CLOSE").
constexpr bool list_has_token(std::string_view list, std::string_view token) noexcept {
  bool found = false;
  for_each_list_item(list, [&](std::string_view item) { found = found || http::chars::iequals(item, token); });
  return found;
}

// Whether the last coding of a transfer-encoding value is "chunked".
constexpr bool last_coding_is_chunked(std::string_view value) noexcept {
  const size_t comma = value.rfind(',');
  return http::chars::iequals(trim_ows(comma == std::string_view::npos ? value : value.substr(comma + 1)), "chunked");
}

enum class LengthError : uint8_t {
  Invalid,   // an empty item, a non-digit, or items that differ
  Overflow,  // a number above 2^64 - 1
};

// A content-length value: one or more comma-separated decimal numbers, all
// equal ("5", "5, 5"); the number they agree on.
Result<uint64_t, LengthError> parse_content_length(std::string_view value) noexcept;

}  // namespace vintrel::http1
