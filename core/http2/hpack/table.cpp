#include "core/http2/hpack/table.h"

#include <cstring>

namespace vintrel::h2::hpack {

void HeaderTable::pop_oldest() noexcept {
  const Entry& e = entry(0);
  size_ -= e.name_len + e.value_len + kEntryOverhead;
  first_ = (first_ + 1) & (ring_.size() - 1);
  --count_;
}

void HeaderTable::clear() noexcept {
  while (count_ > 0) pop_oldest();
}

void HeaderTable::reserve_bytes(size_t n, uint64_t keep_from) {
  if ((end_ - base_) + n <= capacity_) return;
  const size_t live = static_cast<size_t>(end_ - keep_from);
  if (live + n <= capacity_ / 2) {
    // Move the live bytes down; at least half the buffer was garbage, so
    // the copying is paid for by the insertions that made it.
    std::memmove(bytes_.get(), bytes_.get() + (keep_from - base_), live);
    base_ = keep_from;
    return;
  }
  size_t grown = capacity_ < 256 ? 256 : capacity_;
  while (grown < 2 * (live + n)) grown *= 2;
  auto fresh = std::make_unique<char[]>(grown);
  if (live > 0) std::memcpy(fresh.get(), bytes_.get() + (keep_from - base_), live);
  bytes_ = std::move(fresh);
  capacity_ = grown;
  base_ = keep_from;
}

void HeaderTable::push(const DecodedHeader& h) {
  const size_t n = h.name.size() + h.value.size();
  // `h` may view bytes of this table (a name taken by index, possibly of an
  // entry just evicted for this very insertion): such views are kept by
  // absolute position, and the bytes from there on survive the move.
  const char* const old = bytes_.get();
  const auto ours = [&](std::string_view v) {
    return old != nullptr && !v.empty() && v.data() >= old && v.data() < old + capacity_;
  };
  const auto absolute = [&](std::string_view v) { return base_ + static_cast<uint64_t>(v.data() - old); };
  const bool name_ours = ours(h.name);
  const bool value_ours = ours(h.value);
  uint64_t keep_from = count_ == 0 ? end_ : entry(0).at;
  const uint64_t name_at = name_ours ? absolute(h.name) : 0;
  const uint64_t value_at = value_ours ? absolute(h.value) : 0;
  if (name_ours && name_at < keep_from) keep_from = name_at;
  if (value_ours && value_at < keep_from) keep_from = value_at;
  reserve_bytes(n, keep_from);
  const char* name = name_ours ? bytes_.get() + (name_at - base_) : h.name.data();
  const char* value = value_ours ? bytes_.get() + (value_at - base_) : h.value.data();
  char* dst = bytes_.get() + (end_ - base_);
  if (!h.name.empty()) std::memmove(dst, name, h.name.size());
  if (!h.value.empty()) std::memmove(dst + h.name.size(), value, h.value.size());

  if (count_ == ring_.size()) {
    std::vector<Entry> grown(ring_.empty() ? 16 : ring_.size() * 2);
    for (size_t i = 0; i < count_; ++i) grown[i] = entry(i);
    ring_ = std::move(grown);
    first_ = 0;
  }
  ring_[(first_ + count_) & (ring_.size() - 1)] =
      Entry{end_, static_cast<uint32_t>(h.name.size()), static_cast<uint32_t>(h.value.size()), h.kind, h.method,
            h.status};
  ++count_;
  ++next_serial_;
  end_ += n;
  size_ += n + kEntryOverhead;
}

}  // namespace vintrel::h2::hpack
