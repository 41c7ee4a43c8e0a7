// The HPACK Huffman code: encoding through a 64-bit bit accumulator, and
// decoding four bits at a time through a 256-state table derived from the
// code at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vintrel::h2::hpack::huffman {

struct Code {
  uint32_t bits;    // the code, right-aligned
  uint8_t length;   // 5 to 30
};

// Symbols 0-255 and EOS (256).
inline constexpr size_t kEos = 256;
extern const std::array<Code, 257> kCodes;

// Octets the code of `s` takes, padding included.
size_t encoded_length(std::string_view s) noexcept;

// The most octets the code of `n` octets can take (30 bits each).
constexpr size_t encode_room(size_t n) noexcept { return (n * 30 + 7) / 8; }

// Writes the code of `s`, padded with one bits to a whole octet, to `out`,
// which has room for at least encoded_length(s) octets; returns that length.
size_t encode(std::string_view s, char* out) noexcept;

// Room decode() needs for `n` input octets: every code is at least five
// bits long, and one octet more lets the inner loop store unconditionally.
constexpr size_t decode_room(size_t n) noexcept { return n * 8 / 5 + 1; }

// Decodes `in` into `out` (decode_room(in.size()) octets) and returns the
// decoded length; false when the input holds EOS or ends with padding that
// is longer than seven bits or not all ones.
bool decode(std::string_view in, char* out, size_t* out_len) noexcept;

// One step of the nibble automaton (exposed for tests). States are the
// internal nodes of the code tree, 0 being the root.
struct Transition {
  uint8_t next;
  uint8_t symbol;
  uint8_t flags;  // kEmit | kAccept | kFail
};
inline constexpr uint8_t kEmit = 1;    // `symbol` is output
inline constexpr uint8_t kAccept = 2;  // the bits since the last symbol are valid padding
inline constexpr uint8_t kFail = 4;    // EOS was decoded
Transition step(uint8_t state, uint8_t nibble) noexcept;

}  // namespace vintrel::h2::hpack::huffman
