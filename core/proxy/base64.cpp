#include "core/proxy/base64.h"

#include <cstdint>

namespace vintrel::proxy {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t byte_at(std::string_view s, size_t i) { return static_cast<uint8_t>(s[i]); }

}  // namespace

void base64_append(std::string& out, std::string_view data) {
  out.reserve(out.size() + (data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = byte_at(data, i) << 16 | byte_at(data, i + 1) << 8 | byte_at(data, i + 2);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = data.size() - i;
  if (rest == 0) return;
  uint32_t v = byte_at(data, i) << 16;
  if (rest == 2) v |= byte_at(data, i + 1) << 8;
  out += kAlphabet[v >> 18];
  out += kAlphabet[(v >> 12) & 63];
  out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
  out += '=';
}

}  // namespace vintrel::proxy
