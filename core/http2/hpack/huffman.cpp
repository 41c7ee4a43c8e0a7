#include "core/http2/hpack/huffman.h"

namespace vintrel::h2::hpack::huffman {

constexpr std::array<Code, 257> kCodes = {{
#include "core/http2/hpack/huffman_code.inc"
}};

namespace {

// Octet lengths are summed in bits from this narrower copy.
constexpr std::array<uint8_t, 256> kLengths = [] {
  std::array<uint8_t, 256> t{};
  for (size_t i = 0; i < 256; ++i) t[i] = kCodes[i].length;
  return t;
}();

using Table = std::array<std::array<Transition, 16>, 256>;

// The decoding automaton. The code tree has 257 leaves and so exactly 256
// internal nodes, numbered in order of creation with the root as 0; a
// transition walks four bits from a node, restarting at the root after each
// symbol (no code is shorter than five bits, so at most one symbol per
// nibble).
constexpr Table build_table() {
  constexpr int16_t kUnset = INT16_MIN;
  // child >= 0: an internal node; child < 0: the leaf of symbol -child - 1.
  std::array<std::array<int16_t, 2>, 256> child{};
  for (auto& c : child) c = {kUnset, kUnset};
  // Nodes reached from the root by fewer than eight one bits: the bits
  // read since the last symbol are then valid padding.
  std::array<bool, 256> padding{};
  padding[0] = true;
  int16_t nodes = 1;
  for (int16_t sym = 0; sym <= 256; ++sym) {
    const Code code = kCodes[static_cast<size_t>(sym)];
    int16_t at = 0;
    bool ones = true;
    for (int bit = code.length - 1; bit >= 0; --bit) {
      const auto b = static_cast<size_t>((code.bits >> bit) & 1u);
      ones = ones && b == 1;
      auto& slot = child[static_cast<size_t>(at)][b];
      if (bit == 0) {
        slot = static_cast<int16_t>(-sym - 1);
        break;
      }
      if (slot == kUnset) {
        slot = nodes++;
        padding[static_cast<size_t>(slot)] = ones && code.length - bit < 8;
      }
      at = slot;
    }
  }
  Table table{};
  for (size_t state = 0; state < 256; ++state) {
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
      Transition t{};
      size_t at = state;
      for (int bit = 3; bit >= 0; --bit) {
        const int16_t c = child[at][(nibble >> bit) & 1u];
        if (c >= 0) {
          at = static_cast<size_t>(c);
          continue;
        }
        const int sym = -c - 1;
        if (sym == static_cast<int>(kEos)) t.flags |= kFail;
        t.symbol = static_cast<uint8_t>(sym);
        t.flags |= kEmit;
        at = 0;
      }
      t.next = static_cast<uint8_t>(at);
      if (padding[at]) t.flags |= kAccept;
      table[state][nibble] = t;
    }
  }
  return table;
}

constexpr Table kTable = build_table();

// The same automaton flattened for the decoding loop: entry (state * 16 +
// nibble) holds the next state already times 16 in bits 0-11, the symbol in
// bits 16-23 and the flags in bits 24-26, so one load and one mask give the
// next row.
constexpr std::array<uint32_t, 256 * 16> kFlat = [] {
  std::array<uint32_t, 256 * 16> t{};
  for (size_t state = 0; state < 256; ++state) {
    for (size_t nibble = 0; nibble < 16; ++nibble) {
      const Transition x = kTable[state][nibble];
      t[state * 16 + nibble] = static_cast<uint32_t>(x.next) * 16u | static_cast<uint32_t>(x.symbol) << 16 |
                               static_cast<uint32_t>(x.flags) << 24;
    }
  }
  return t;
}();
constexpr uint32_t kRow = 0xfff;
constexpr uint32_t kFlagShift = 24;

inline void store_be32(char* p, uint32_t v) noexcept {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

}  // namespace

Transition step(uint8_t state, uint8_t nibble) noexcept { return kTable[state][nibble & 15u]; }

size_t encoded_length(std::string_view s) noexcept {
  size_t bits = 0;
  for (const char c : s) bits += kLengths[static_cast<uint8_t>(c)];
  return (bits + 7) / 8;
}

size_t encode(std::string_view s, char* out) noexcept {
  char* const start = out;
  // `pending` low bits of `acc` wait to be written; whole 32-bit words leave
  // as soon as they are complete, so fewer than 32 bits wait between
  // symbols and a 30-bit code always fits.
  uint64_t acc = 0;
  unsigned pending = 0;
  for (const char c : s) {
    const Code code = kCodes[static_cast<uint8_t>(c)];
    acc = (acc << code.length) | code.bits;
    pending += code.length;
    if (pending >= 32) {
      pending -= 32;
      store_be32(out, static_cast<uint32_t>(acc >> pending));
      out += 4;
    }
  }
  while (pending >= 8) {
    pending -= 8;
    *out++ = static_cast<char>(acc >> pending);
  }
  if (pending > 0) {
    const unsigned pad = 8 - pending;
    *out++ = static_cast<char>((acc << pad) | ((1u << pad) - 1));
  }
  return static_cast<size_t>(out - start);
}

bool decode(std::string_view in, char* out, size_t* out_len) noexcept {
  char* const start = out;
  uint32_t row = 0;
  uint32_t last = static_cast<uint32_t>(kAccept) << kFlagShift;  // the empty string is valid
  uint32_t seen = 0;
  for (const char c : in) {
    const auto octet = static_cast<uint8_t>(c);
    const uint32_t hi = kFlat[row | (octet >> 4u)];
    *out = static_cast<char>(hi >> 16);
    out += (hi >> kFlagShift) & kEmit;
    const uint32_t lo = kFlat[(hi & kRow) | (octet & 15u)];
    *out = static_cast<char>(lo >> 16);
    out += (lo >> kFlagShift) & kEmit;
    seen |= hi | lo;
    row = lo & kRow;
    last = lo;
  }
  *out_len = static_cast<size_t>(out - start);
  const uint32_t fail = static_cast<uint32_t>(kFail) << kFlagShift;
  const uint32_t accept = static_cast<uint32_t>(kAccept) << kFlagShift;
  return (seen & fail) == 0 && (last & accept) != 0;
}

}  // namespace vintrel::h2::hpack::huffman
