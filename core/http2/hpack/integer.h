// HPACK integers: an N-bit prefix in the first octet (N = 4 to 7), then
// 7-bit groups, least significant first, while the top bit is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vintrel::h2::hpack {

enum class IntegerStatus : uint8_t { Ok, Underflow, Overflow };

// At most four continuation octets are read, so the largest value is
// 2^N - 1 + 2^28 - 1 and always fits in 32 bits.
inline constexpr size_t kMaxIntegerContinuations = 4;

// Decodes the integer starting at `*p` (p < end) and advances `*p` past it.
// Underflow when the input ends inside it, Overflow when the fourth
// continuation octet still has its top bit set; `*p` is left alone then.
inline IntegerStatus decode_integer(const uint8_t** p, const uint8_t* end, unsigned prefix,
                                    uint32_t* value) noexcept {
  const uint8_t* at = *p;
  const uint32_t mask = (1u << prefix) - 1;
  uint32_t v = *at++ & mask;
  if (v == mask) {
    for (unsigned shift = 0;; shift += 7) {
      if (at == end) return IntegerStatus::Underflow;
      const uint8_t octet = *at++;
      v += static_cast<uint32_t>(octet & 0x7fu) << shift;
      if ((octet & 0x80u) == 0) break;
      if (shift == 7 * (kMaxIntegerContinuations - 1)) return IntegerStatus::Overflow;
    }
  }
  *value = v;
  *p = at;
  return IntegerStatus::Ok;
}

// Octets encode_integer writes for `value`.
constexpr size_t integer_length(unsigned prefix, uint64_t value) noexcept {
  const uint64_t mask = (uint64_t{1} << prefix) - 1;
  if (value < mask) return 1;
  size_t n = 2;
  for (value -= mask; value >= 0x80; value >>= 7) ++n;
  return n;
}

// Writes `value` with an N-bit prefix; `pattern` holds the representation
// bits above the prefix. Returns the octets written (integer_length).
inline size_t encode_integer(char* out, uint8_t pattern, unsigned prefix, uint64_t value) noexcept {
  const uint64_t mask = (uint64_t{1} << prefix) - 1;
  if (value < mask) {
    out[0] = static_cast<char>(pattern | value);
    return 1;
  }
  out[0] = static_cast<char>(pattern | mask);
  size_t n = 1;
  for (value -= mask; value >= 0x80; value >>= 7) out[n++] = static_cast<char>(0x80u | (value & 0x7fu));
  out[n++] = static_cast<char>(value);
  return n;
}

inline void append_integer(std::string& out, uint8_t pattern, unsigned prefix, uint64_t value) {
  char buf[12];
  out.append(buf, encode_integer(buf, pattern, prefix, value));
}

}  // namespace vintrel::h2::hpack
