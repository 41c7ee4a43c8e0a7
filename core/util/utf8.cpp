#include "core/util/utf8.h"

namespace vintrel::utf8 {

Step next(std::string_view s) noexcept {
  const auto b0 = static_cast<uint8_t>(s[0]);
  if (b0 < 0x80) return {b0, 1, true};
  size_t need;
  char32_t cp;
  // Bounds of the second byte narrow the ranges that reject overlong forms,
  // surrogates and values above U+10FFFF.
  uint8_t lo = 0x80;
  uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {kReplacement, 1, false};
  }
  for (size_t i = 1; i <= need; ++i) {
    if (i >= s.size()) return {kReplacement, i, false};
    const auto b = static_cast<uint8_t>(s[i]);
    if (b < lo || b > hi) return {kReplacement, i, false};
    lo = 0x80;
    hi = 0xBF;
    cp = cp << 6 | (b & 0x3Fu);
  }
  return {cp, need + 1, true};
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string to_valid_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    const Step step = next(s);
    if (step.valid) {
      out.append(s.data(), step.length);
    } else {
      append(out, kReplacement);
    }
    s.remove_prefix(step.length);
  }
  return out;
}

bool is_valid(std::string_view s) noexcept {
  while (!s.empty()) {
    const Step step = next(s);
    if (!step.valid) return false;
    s.remove_prefix(step.length);
  }
  return true;
}

}  // namespace vintrel::utf8
