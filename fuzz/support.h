// What the fuzz targets share: reading control values off the input and
// cutting the payload into pieces, and the abort that reports a finding.
//
// Control values come from the end of the input and the payload from the
// front, so a seed file may be a plain message with a few control bytes
// appended (or none: missing control values read as zero).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vintrel::fuzz {

// A disagreement or a broken invariant: printed, then the process aborts so
// that libFuzzer records the input.
[[noreturn]] inline void finding(const char* what) {
  std::fprintf(stderr, "FINDING: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) finding(what);
}

// Cuts `data` into pieces whose lengths follow a small generator seeded
// from the input: a seed of 0 leaves it whole, otherwise pieces of 1 to
// `max_piece` bytes.
inline std::vector<std::string_view> split(std::string_view data, uint32_t seed, size_t max_piece = 64) {
  std::vector<std::string_view> pieces;
  if (seed == 0) {
    pieces.push_back(data);
    return pieces;
  }
  uint32_t x = seed;
  while (!data.empty()) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const size_t n = std::min<size_t>(data.size(), 1 + x % max_piece);
    pieces.push_back(data.substr(0, n));
    data.remove_prefix(n);
  }
  return pieces;
}

// Where a delivery is cut: first up to 15 pieces whose lengths the input
// names (0 is an empty delivery), so the fuzzer can place a cut at an exact
// octet; then the rest cut by `split` under `seed` (0: in one piece).
struct Cuts {
  std::vector<size_t> lengths;
  uint32_t seed = 0;

  // Whether the pieces can differ from the whole input in one piece.
  bool splits() const noexcept { return !lengths.empty() || seed != 0; }
};

// Reads, in this order: the number of named lengths (one byte, 0 to 15),
// the lengths (two bytes each), the seed (four bytes).
inline Cuts read_cuts(FuzzedDataProvider& in) {
  Cuts cuts;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 15);
  for (size_t i = 0; i < count; ++i) cuts.lengths.push_back(in.ConsumeIntegral<uint16_t>());
  cuts.seed = in.ConsumeIntegral<uint32_t>();
  return cuts;
}

inline std::vector<std::string_view> cut(std::string_view data, const Cuts& cuts, size_t max_piece = 64) {
  std::vector<std::string_view> pieces;
  for (size_t length : cuts.lengths) {
    const size_t n = std::min(length, data.size());
    pieces.push_back(data.substr(0, n));
    data.remove_prefix(n);
  }
  if (!data.empty() || pieces.empty()) {
    for (std::string_view piece : split(data, cuts.seed, max_piece)) pieces.push_back(piece);
  }
  return pieces;
}

// `bytes` with every octet outside printable ASCII (and the backslash) as
// \xNN, for the report of a finding.
inline std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out.append(hex);
    }
  }
  return out;
}

// A copy of `bytes` in a heap block of exactly its size, handed to the code
// under test in place of a view into a larger buffer: a read past its end
// is then caught by AddressSanitizer.
class Exact {
 public:
  explicit Exact(std::string_view bytes) : size_(bytes.size()), bytes_(new char[bytes.size()]) {
    if (size_ != 0) std::memcpy(bytes_.get(), bytes.data(), size_);
  }
  std::string_view view() const noexcept { return {bytes_.get(), size_}; }

 private:
  size_t size_;
  std::unique_ptr<char[]> bytes_;
};

inline std::string_view as_view(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace vintrel::fuzz
