// The encoder's index from header name to the entries of its dynamic table
// that carry it. Open addressing with linear probing over a word-wise hash
// of the name: a slot maps a name to its newest entry (by insertion serial), and
// each entry links to the next older entry of the same name, so a lookup is
// one probe sequence and a walk along that chain. Eviction of an entry that
// is the newest of its name frees its slot by shifting the probe run back;
// links to evicted serials are recognised by their age and never followed.
// The load stays at most one half, where plain linear probing keeps probe
// runs about as short as Robin Hood displacement would, for less code.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/http2/hpack/table.h"

namespace vintrel::h2::hpack {

namespace name_index_detail {
inline constexpr bool kLittle = std::endian::native == std::endian::little;

inline uint64_t load(const char* p, size_t n) noexcept {
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

// Bytes [i, i + n) of `s` (n <= 8) as a little-endian word, zero-padded. At
// run time: whole loads only, overlapping where the bytes are fewer; in
// constant evaluation (and on big-endian machines): a byte loop.
constexpr uint64_t word(std::string_view s, size_t i, size_t n) noexcept {
  if (!std::is_constant_evaluated() && kLittle) {
    const char* p = s.data() + i;
    if (n == 8) return load(p, 8);
    if (s.size() >= 8) return load(s.data() + s.size() - 8, 8) >> (8 * (8 - n));
    if (n >= 4) return load(p, 4) | load(p + n - 4, 4) << (8 * (n - 4));
    const auto b = [p](size_t k) { return static_cast<uint64_t>(static_cast<uint8_t>(p[k])); };
    return b(0) | b(n / 2) << (8 * (n / 2)) | b(n - 1) << (8 * (n - 1));
  }
  uint64_t v = 0;
  for (size_t k = n; k > 0; --k) v = (v << 8) | static_cast<uint8_t>(s[i + k - 1]);
  return v;
}

constexpr uint64_t mix(uint64_t x) noexcept {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  return x ^ (x >> 29);
}
}  // namespace name_index_detail

// The hash of a header name: one multiply per eight bytes. The same
// function builds the static table's name slots at compile time.
constexpr uint64_t name_hash(std::string_view name) noexcept {
  using namespace name_index_detail;
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ name.size();
  size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) h = mix(h ^ word(name, i, 8));
  if (i < name.size()) h = mix(h ^ word(name, i, name.size() - i));
  return h;
}

class NameIndex {
 public:
  static constexpr uint64_t kNone = UINT64_MAX;

  // The serial of the newest live entry named `name` (hash `hash`), or kNone.
  uint64_t newest(const HeaderTable& table, std::string_view name, uint64_t hash) const noexcept;
  // The next older live entry of the same name as `serial`, or kNone.
  uint64_t older(const HeaderTable& table, uint64_t serial) const noexcept {
    const uint64_t prev = links_[serial & (links_.size() - 1)].prev;
    return prev != kNone && prev >= table.oldest_serial() ? prev : kNone;
  }
  // Records the entry just pushed as the newest of its name.
  void add(const HeaderTable& table, uint64_t hash);
  // Forgets the table's oldest entry; call before popping it.
  void remove_oldest(const HeaderTable& table) noexcept;
  void clear() noexcept;

 private:
  struct Slot {
    uint64_t hash;
    uint64_t serial;  // kNone: empty
  };
  struct Link {
    uint64_t hash;
    uint64_t prev;
  };

  size_t find(const HeaderTable& table, std::string_view name, uint64_t hash) const noexcept;
  void grow_slots();
  void place(uint64_t hash, uint64_t serial) noexcept;

  std::vector<Slot> slots_;
  size_t used_ = 0;
  // Per live entry, by serial modulo the (power-of-two) size.
  std::vector<Link> links_;
};

}  // namespace vintrel::h2::hpack
