// What the fuzz targets share: reading control values off the input and
// cutting the payload into pieces, and the abort that reports a finding.
//
// Control values come from the end of the input and the payload from the
// front, so a seed file may be a plain message with a few control bytes
// appended (or none: missing control values read as zero).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

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
