// Frame bytes for the HTTP/2 framing tests, written by hand so that the
// tests do not lean on the writer they check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vintrel::h2::test {

inline std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

inline std::string frame_bytes(uint8_t type, uint8_t flags, uint32_t stream, std::string_view payload,
                               size_t declared = SIZE_MAX) {
  const size_t n = declared == SIZE_MAX ? payload.size() : declared;
  std::string out{static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                   static_cast<char>(n & 0xFF), static_cast<char>(type), static_cast<char>(flags)};
  out += be32(stream);
  out += payload;
  return out;
}

inline std::string setting(uint16_t id, uint32_t value) {
  return std::string{static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)} + be32(value);
}

}  // namespace vintrel::h2::test
