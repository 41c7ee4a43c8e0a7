// HeaderMap: the one header collection. Distinct lowercase names in order of
// first insertion, each with a non-empty list of values in insertion order.
// The codecs fill and read it directly; the Python class is a shell around
// it.
//
// Layout: `entries_` holds the names in order, each with its values (the
// first value inline, so the common one-value name costs no extra
// allocation). `slots_` is an open-addressing index over the entries: robin
// hood probing with backward-shift deletion, each slot four bytes (entry
// number + 16 hash bits, enough to know a slot's home without touching the
// entry). Removal moves the last entry into the hole, so every operation is
// constant time on average.
//
// Hash-flood defence. Names come from peers, who can read this code. The
// default hash (fast_name_hash, computed while the name is folded) is fast
// and well mixed but unkeyed: a peer can search out, offline and cheaply,
// any number of names that share one home slot, and with a plain index
// every insert would then walk the whole cluster (quadratic work).
// Insertion counts the slots it touches; the first time one insert touches
// kLongProbe slots or more, the map switches for good to SipHash-1-3 keyed
// with a per-process random key (drawn once from std::random_device) and
// rebuilds its index. Without the key the peer cannot predict homes any
// more, so probe sequences stay short. Every lookup is bounded as well:
// robin hood probing never walks past a slot that is nearer its home than
// the probe, and under the fast hash no entry is ever more than kLongProbe
// slots from home without the switch having happened.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/header_field.h"
#include "core/util/result.h"

namespace vintrel::http {

enum class MapError : uint8_t { Full };

// "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)".
std::string_view map_error_text(MapError error) noexcept;

// The values of one name, in insertion order; never empty.
class ValueList {
 public:
  explicit ValueList(std::string_view first) : first_(first) {}

  size_t size() const noexcept { return 1 + rest_.size(); }
  std::string_view front() const noexcept { return first_; }
  std::string_view operator[](size_t i) const noexcept { return i == 0 ? first_ : rest_[i - 1]; }

  void push_back(std::string_view value) { rest_.emplace_back(value); }
  // Leaves `value` as the only value.
  void reset(std::string_view value) {
    first_.assign(value);
    rest_.clear();
  }

  class iterator {
   public:
    iterator(const ValueList* list, size_t i) noexcept : list_(list), i_(i) {}
    std::string_view operator*() const noexcept { return (*list_)[i_]; }
    iterator& operator++() noexcept {
      ++i_;
      return *this;
    }
    bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }

   private:
    const ValueList* list_;
    size_t i_;
  };
  iterator begin() const noexcept { return {this, 0}; }
  iterator end() const noexcept { return {this, size()}; }

  friend bool operator==(const ValueList& a, const ValueList& b) noexcept {
    return a.first_ == b.first_ && a.rest_ == b.rest_;
  }

 private:
  std::string first_;
  std::vector<std::string> rest_;
};

class HeaderMap {
 public:
  // The index never exceeds kMaxSlots slots nor three quarters full.
  static constexpr size_t kMaxSlots = 32768;
  static constexpr size_t kMaxNames = kMaxSlots / 4 * 3;  // 24576
  // An insert that touches this many slots switches to the keyed hash.
  static constexpr size_t kLongProbe = 64;

  using Status = Result<void, MapError>;

  struct Entry {
    std::string name;
    ValueList values;
    uint64_t hash;  // under the map's current hash
  };

  HeaderMap() = default;

  // Lookups.
  const Entry* find(HeaderName name) const noexcept;
  bool contains(HeaderName name) const noexcept { return find(name) != nullptr; }
  // The first value, if present. The view lives until the map next changes.
  std::optional<std::string_view> get(HeaderName name) const noexcept;
  // All values, or nullptr when absent.
  const ValueList* get_all(HeaderName name) const noexcept;

  // Storing operations. At the maximum number of names each of them fails
  // with MapError::Full and leaves the map unchanged, even where no new name
  // would be added.
  // Adds `value` after the name's existing values; a new name goes last.
  Status append(HeaderName name, HeaderValue value);
  // Makes `value` the name's only value; an existing name keeps its place.
  Status replace(HeaderName name, HeaderValue value);
  // The name's first value when present (the map is left as it is, full or
  // not); otherwise appends `value` and returns the stored copy. The view
  // lives until the map next changes.
  Result<std::string_view, MapError> setdefault(HeaderName name, HeaderValue value);
  // Removes the name and its values; the last name moves into its place.
  // Whether the name was present.
  bool remove(HeaderName name) noexcept;
  void clear() noexcept;

  // Names in order; each entry's values in order.
  const std::vector<Entry>& entries() const noexcept { return entries_; }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  template <class F>
  void for_each(F&& f) const {
    for (const Entry& e : entries_) {
      for (std::string_view v : e.values) f(std::string_view(e.name), v);
    }
  }

  size_t name_count() const noexcept { return entries_.size(); }
  // Every value, duplicates included.
  size_t value_count() const noexcept { return value_count_; }
  bool empty() const noexcept { return entries_.empty(); }
  bool full() const noexcept { return entries_.size() >= kMaxNames; }

  // The same names with the same values in the same order per name; the
  // order of the names does not matter.
  friend bool operator==(const HeaderMap& a, const HeaderMap& b) noexcept;

  // Test hooks: slots visited by all operations so far, and whether the map
  // has switched to the keyed hash.
  uint64_t probe_count() const noexcept { return probes_.get(); }
  bool keyed() const noexcept { return keyed_; }

 private:
  // A slot: 0 when empty, else (entry number + 1) | (hash low 16 bits) << 16.
  using Slot = uint32_t;

  // Counts probes without making concurrent const lookups a data race
  // (lost counts under concurrency are fine for a test hook).
  class ProbeCounter {
   public:
    ProbeCounter() = default;
    ProbeCounter(const ProbeCounter& o) noexcept : n_(o.get()) {}
    ProbeCounter& operator=(const ProbeCounter& o) noexcept {
      n_.store(o.get(), std::memory_order_relaxed);
      return *this;
    }
    uint64_t get() const noexcept { return n_.load(std::memory_order_relaxed); }
    void add(uint64_t k) const noexcept { n_.store(get() + k, std::memory_order_relaxed); }

   private:
    mutable std::atomic<uint64_t> n_{0};
  };

  uint64_t hash_of(HeaderName name) const noexcept;
  size_t mask() const noexcept { return slots_.size() - 1; }
  size_t home(uint64_t hash) const noexcept { return static_cast<size_t>(hash) & mask(); }
  size_t distance(Slot s, size_t pos) const noexcept { return (pos - (s >> 16)) & mask(); }
  // The slot position of `name`, or npos.
  size_t find_slot(std::string_view name, uint64_t hash) const noexcept;
  size_t slot_of_entry(size_t entry, uint64_t hash) const noexcept;
  // Places entry `entry` in the index; returns the slots touched.
  size_t place(size_t entry, uint64_t hash) noexcept;
  void rebuild(size_t slot_count);
  void switch_to_keyed();
  // Adds a new entry at the end (the caller checked capacity).
  Entry& push_entry(std::string_view name, uint64_t hash, std::string_view value);

  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  size_t value_count_ = 0;
  bool keyed_ = false;
  ProbeCounter probes_;
};

// SipHash-1-3 with a 128-bit key.
struct SipKey {
  uint64_t k0;
  uint64_t k1;
};
uint64_t siphash13(const SipKey& key, std::string_view bytes) noexcept;

}  // namespace vintrel::http
