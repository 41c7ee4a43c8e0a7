// The encoder's index from header name to the entries of its dynamic table
// that carry it. Open addressing with linear probing over the core's header
// name hash (two multiplies for a name of up to 16 bytes, where a bytewise
// hash would chain a multiply per byte): a slot maps a name to its newest entry (by insertion serial), and
// each entry links to the next older entry of the same name, so a lookup is
// one probe sequence and a walk along that chain. Eviction of an entry that
// is the newest of its name frees its slot by shifting the probe run back;
// links to evicted serials are recognised by their age and never followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/http/header_field.h"
#include "core/http2/hpack/table.h"

namespace vintrel::h2::hpack {

// The hash of a header's name: the same value as http::fast_name_hash of
// it, which the static table is built with at compile time. At run time a
// regular name goes through parse_header_name, whose block loads compute
// the hash many times faster than the constexpr byte loop.
uint64_t name_hash(const DecodedHeader& h) noexcept;

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
