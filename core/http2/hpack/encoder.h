// The send side of HPACK: compresses the header lists of one connection
// into header blocks, choosing a representation for every header, and
// announces table size changes the peer asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/http2/hpack/header.h"
#include "core/http2/hpack/name_index.h"
#include "core/http2/hpack/table.h"
#include "core/util/result.h"

namespace vintrel::h2::hpack {

enum class EncodeError : uint8_t { MissingName };

// "encoding header without name, but no previous index to use for name".
std::string_view encode_error_text(EncodeError error) noexcept;

class HpackEncoder {
 public:
  // The peer's SETTINGS_HEADER_TABLE_SIZE changed: records the size updates
  // the next block announces (the smallest size allowed since the last
  // block, when the table had to shrink below the final one, then the
  // final one). The table is not touched yet.
  void update_max_size(size_t size) noexcept;

  // Appends to `out` the size updates due, then one representation per
  // header, in order. The list holds the pseudo-headers first, then the
  // regular fields; a name with several values is given with its first
  // value, and each later value follows as DecodedHeader::more(value).
  // Fails only on a list whose first regular field has no name, before
  // anything is written or changed.
  Result<void, EncodeError> encode_block(std::span<const DecodedHeader> headers, std::string& out);

  const HeaderTable& table() const noexcept { return table_; }
  size_t max_table_size() const noexcept { return max_size_; }

 private:
  enum class Pending : uint8_t { None, One, Pair };

  void resize(size_t max_size) noexcept;
  void evict_oldest() noexcept;
  void insert(const DecodedHeader& h, uint64_t hash);
  // Writes one header with a name; returns how a later value of the same
  // name refers to it (0: by its literal name).
  uint32_t encode_named(const DecodedHeader& h, std::string& out);

  Pending pending_ = Pending::None;
  size_t pending_first_ = 0;  // One: the value; Pair: the smallest
  size_t pending_last_ = 0;   // Pair: the final value
  size_t max_size_ = 4096;
  HeaderTable table_;
  NameIndex index_;
};

}  // namespace vintrel::h2::hpack
