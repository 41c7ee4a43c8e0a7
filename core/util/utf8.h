// Stepping through UTF-8 text one code point at a time, with ill-formed
// input consumed as maximal subparts (the unit a decoder replaces with one
// U+FFFD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vintrel::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

struct Step {
  char32_t code_point;  // kReplacement when !valid
  size_t length;        // bytes consumed, at least 1
  bool valid;
};

// Decodes the code point that starts `s` (not empty). An ill-formed
// sequence consumes its maximal subpart: the longest prefix that could
// start a well-formed sequence, or one byte.
Step next(std::string_view s) noexcept;

// Appends the UTF-8 encoding of a code point.
void append(std::string& out, char32_t cp);

// `s` with every ill-formed subpart replaced by U+FFFD.
std::string to_valid_lossy(std::string_view s);

// Whether `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid(std::string_view s) noexcept;

}  // namespace vintrel::utf8
