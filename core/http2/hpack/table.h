// A dynamic table: entries in insertion order, the newest at dynamic
// position 0, leaving from the oldest end. Both the decoder's and the
// encoder's table are one of these; each keeps its own policy on top.
//
// Storage: an entry ring (power-of-two capacity) and one byte buffer that
// holds every entry's name and value back to back, oldest first. Bytes of
// evicted entries stay in the buffer until the live bytes are moved down to
// its start, which happens only when an insertion finds no room at the end;
// positions are absolute (they count every byte ever stored), so moving the
// bytes never touches the entries. The buffer holds at most a few times the
// table maximum, and a warm table allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/http2/hpack/header.h"

namespace vintrel::h2::hpack {

class HeaderTable {
 public:
  size_t count() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // Sum of the entry sizes.
  size_t size() const noexcept { return size_; }

  // Entry `i`, 0 being the newest (dynamic index 62 + i). The views stay
  // valid until the next push.
  DecodedHeader get(size_t i) const noexcept { return view(entry(count_ - 1 - i)); }
  DecodedHeader oldest() const noexcept { return view(entry(0)); }
  // The insertion number of entry `i`: entries are numbered 0, 1, 2, ... in
  // the order they were pushed, so numbers below oldest_serial() are gone.
  uint64_t serial(size_t i) const noexcept { return next_serial_ - 1 - i; }
  uint64_t oldest_serial() const noexcept { return next_serial_ - count_; }
  uint64_t next_serial() const noexcept { return next_serial_; }
  // Position (0 = newest) of a live serial.
  size_t position(uint64_t serial) const noexcept { return static_cast<size_t>(next_serial_ - 1 - serial); }

  void pop_oldest() noexcept;
  // Stores a copy of `h` as the newest entry; the caller has evicted what
  // had to go. `h` may view this table's own storage.
  void push(const DecodedHeader& h);
  void clear() noexcept;

 private:
  struct Entry {
    uint64_t at;  // absolute byte position of the name, value right after
    uint32_t name_len;
    uint32_t value_len;
    HeaderKind kind;
    http::MethodKind method;
    uint16_t status;
  };

  const Entry& entry(size_t from_oldest) const noexcept {
    return ring_[(first_ + from_oldest) & (ring_.size() - 1)];
  }
  DecodedHeader view(const Entry& e) const noexcept {
    const char* p = bytes_.get() + (e.at - base_);
    return {e.kind, std::string_view(p, e.name_len), std::string_view(p + e.name_len, e.value_len), e.method,
            e.status};
  }
  // Makes room for `n` more bytes at the end of the byte buffer, keeping
  // the bytes from absolute position `keep_from` on.
  void reserve_bytes(size_t n, uint64_t keep_from);

  std::vector<Entry> ring_;
  size_t first_ = 0;  // ring slot of the oldest entry
  size_t count_ = 0;
  size_t size_ = 0;
  uint64_t next_serial_ = 0;

  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
  uint64_t base_ = 0;  // absolute position of bytes_[0]
  uint64_t end_ = 0;   // absolute position one past the newest entry's bytes
};

}  // namespace vintrel::h2::hpack
