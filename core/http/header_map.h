// HeaderMap: the one header collection. Distinct lowercase names in order of
// first insertion, each with a non-empty list of values in insertion order.
// The codecs fill and read it directly; the Python class is a shell around
// it.
//
// Storage. Every name's and value's bytes sit in one byte arena; a name is
// a compact record (arena offset, length, hash, its first and last value,
// the value count), a value is a record (offset, length, the next value of
// the same name). So a map of n fields costs a few vectors, not n strings.
// Replacing or removing leaves dead bytes and records behind; once they
// outweigh the live ones the map compacts itself (amortised constant time).
//
// Index. `slots_` is an open-addressing index over the names: robin hood
// probing with backward-shift deletion; each slot carries the name's whole
// 32-bit hash beside its entry number, so a probe tells a slot's home and
// rules out most mismatches without touching the entry. Removal moves the
// last name into the hole, so every operation is constant time on average.
//
// Hash-flood defence. Names come from peers, who can read this code. The
// default hash (fast_name_hash, computed while the name is folded) is fast
// and well mixed but unkeyed: a peer can search out, offline and cheaply,
// any number of names that share one home slot, and with a plain index
// every insert would then walk the whole cluster (quadratic work). Placing
// a name counts the slots it touches; the first time one placement touches
// kLongProbe slots or more, the map switches for good to SipHash-1-3 keyed
// with a per-process random key and rebuilds its index. Without the key
// the peer cannot predict homes any more, so probe sequences stay short.
// Every lookup is bounded as well: robin hood probing never walks past a
// slot that is nearer its home than the probe, and under the fast hash no
// name is ever kLongProbe slots or more from home.
//
// Handles. The owner of a map may attach one opaque word to each name and
// each value (the Python class keeps there the object it handed out, so
// that reading again costs a reference, not a new object). The map never
// looks at them: it moves them with their name or value, queues those of
// names and values it drops for the owner to release (take_dropped), and
// a copy starts without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/header_field.h"
#include "core/util/result.h"

namespace vintrel::http {

enum class MapError : uint8_t { Full };

// "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)".
std::string_view map_error_text(MapError error) noexcept;

// One field of a parsed head, viewing the parser's buffer: the name already
// checked to be token bytes (in any case), the value a valid value.
struct FieldView {
  std::string_view name;
  std::string_view value;
};

class HeaderMap {
 public:
  // The index never exceeds kMaxSlots slots nor three quarters full.
  static constexpr size_t kMaxSlots = 32768;
  static constexpr size_t kMaxNames = kMaxSlots / 4 * 3;  // 24576
  // A placement that touches this many slots switches to the keyed hash.
  static constexpr size_t kLongProbe = 64;
  static constexpr size_t npos = static_cast<size_t>(-1);

  using Status = Result<void, MapError>;
  using Handle = uintptr_t;  // 0: none
  struct Handles {
    Handle name = 0;
    Handle value = 0;
  };

 private:
  static constexpr uint32_t kEnd = UINT32_MAX;

  // Offsets and lengths are 32-bit: the bytes of one map stay below 4 GiB
  // (room() refuses more with std::length_error), which keeps a record of
  // a typical head's map in a few cache lines and its first block small.
  struct NameRec {
    uint32_t off;
    uint32_t len;
    uint32_t hash;  // under the map's current hash
    uint32_t first;
    uint32_t last;
    uint32_t count;
    Handle handle;
  };
  struct ValueRec {
    uint32_t off;
    uint32_t len;
    uint32_t next;  // the next value of the same name, or kEnd
    Handle handle;
  };

 public:
  // The values of one name in insertion order, iterable as string_views.
  // Each step also tells its record number (for value handles). Valid until
  // the map next changes.
  class Values {
   public:
    class iterator {
     public:
      using iterator_category = std::forward_iterator_tag;
      using value_type = std::string_view;
      using difference_type = std::ptrdiff_t;
      using pointer = void;
      using reference = std::string_view;
      iterator() noexcept = default;
      iterator(const HeaderMap* m, uint32_t rec) noexcept : m_(m), rec_(rec) {}
      std::string_view operator*() const noexcept { return m_->value_bytes(rec_); }
      iterator& operator++() noexcept {
        rec_ = m_->values_[rec_].next;
        return *this;
      }
      iterator operator++(int) noexcept {
        iterator old = *this;
        ++*this;
        return old;
      }
      bool operator==(const iterator& o) const noexcept { return rec_ == o.rec_; }
      uint32_t record() const noexcept { return rec_; }

     private:
      const HeaderMap* m_ = nullptr;
      uint32_t rec_ = kEnd;
    };
    Values() noexcept = default;
    Values(const HeaderMap* m, uint32_t first, uint32_t count) noexcept : m_(m), first_(first), count_(count) {}
    size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    std::string_view front() const noexcept { return m_->value_bytes(first_); }
    iterator begin() const noexcept { return {m_, count_ ? first_ : kEnd}; }
    iterator end() const noexcept { return {m_, kEnd}; }

   private:
    const HeaderMap* m_ = nullptr;
    uint32_t first_ = kEnd;
    uint32_t count_ = 0;
  };

  HeaderMap() = default;
  // A copy has the same names and values, without handles.
  HeaderMap(const HeaderMap& other);
  HeaderMap& operator=(const HeaderMap& other);
  HeaderMap(HeaderMap&& other) noexcept;
  HeaderMap& operator=(HeaderMap&& other) noexcept;
  // A copy that keeps the handles (the owner takes its own share of them).
  struct KeepHandles {};
  HeaderMap(const HeaderMap& other, KeepHandles);

  // Room for this many names, values and bytes of both, so that filling
  // the map does not reallocate.
  void reserve(size_t names, size_t values, size_t bytes);

  // ---- lookups
  // The entry number of `name`, or npos.
  size_t find(const HeaderName& name) const noexcept;
  bool contains(const HeaderName& name) const noexcept { return find(name) != npos; }
  // The first value, if present. The view lives until the map next changes.
  std::optional<std::string_view> get(const HeaderName& name) const noexcept;
  // All values (empty when absent).
  Values get_all(const HeaderName& name) const noexcept;

  // ---- storing. At the maximum number of names each of these fails with
  // MapError::Full and leaves the map unchanged, even where no new name
  // would be added. The forms with Handles attach the offered ones: the
  // value's always, the name's when the name is new or has none yet; they
  // set `taken` to what the map took.
  // Adds `value` after the name's existing values; a new name goes last.
  Status append(const HeaderName& name, HeaderValue value);
  Status append(const HeaderName& name, HeaderValue value, Handles offered, Handles& taken);
  // Appends a parsed head's fields in order, each name folded to lowercase
  // while its bytes are copied: one copy of every byte, one allocation at
  // most. On Full the fields before the failing one stay appended (the
  // caller drops the head). The fields may not view this map's own bytes.
  Status append_fields(std::span<const FieldView> fields);
  // Makes `value` the name's only value; an existing name keeps its place.
  Status replace(const HeaderName& name, HeaderValue value);
  Status replace(const HeaderName& name, HeaderValue value, Handles offered, Handles& taken);
  // The name's first value when present (the map is left as it is, full or
  // not); otherwise appends `value` and returns the stored copy. The view
  // lives until the map next changes.
  Result<std::string_view, MapError> setdefault(const HeaderName& name, HeaderValue value);
  // The same for a name that find() has just reported absent (under the
  // same state of the map): it is not looked up again.
  Status insert_new(const HeaderName& name, HeaderValue value, Handles offered, Handles& taken);
  // The same on an entry number from find, under the same epoch(): the
  // name's bytes are neither hashed nor compared again.
  Status append_at(size_t entry, HeaderValue value, Handles offered, Handles& taken);
  Status replace_at(size_t entry, HeaderValue value, Handles offered, Handles& taken);
  // Removes the name and its values; the last name moves into its place.
  // Whether the name was present.
  // Both queue the handles they drop. Should memory run out, they fail
  // (std::bad_alloc) before changing anything.
  bool remove(const HeaderName& name);
  void remove_at(size_t entry);
  void clear();

  // ---- the read-only walk, in the map's order
  size_t name_count() const noexcept { return names_.size(); }
  // Every value, duplicates included.
  size_t value_count() const noexcept { return value_count_; }
  bool empty() const noexcept { return names_.empty(); }
  bool full() const noexcept { return names_.size() >= kMaxNames; }
  std::string_view name(size_t entry) const noexcept {
    const NameRec& n = names_[entry];
    return {bytes_.data() + n.off, n.len};
  }
  Values values(size_t entry) const noexcept {
    const NameRec& n = names_[entry];
    return {this, n.first, n.count};
  }
  // f(std::string_view name, std::string_view value) for every field.
  template <class F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < names_.size(); ++i) {
      const std::string_view n = name(i);
      for (uint32_t r = names_[i].first; r != kEnd; r = values_[r].next) f(n, value_bytes(r));
    }
  }

  // ---- handles
  Handle name_handle(size_t entry) const noexcept { return names_[entry].handle; }
  void set_name_handle(size_t entry, Handle h) noexcept { names_[entry].handle = h; }
  Handle value_handle(uint32_t record) const noexcept { return values_[record].handle; }
  void set_value_handle(uint32_t record, Handle h) noexcept { values_[record].handle = h; }
  // The record of an entry's first value.
  uint32_t first_record(size_t entry) const noexcept { return names_[entry].first; }
  // f(Handle) for every attached handle.
  template <class F>
  void for_each_handle(F&& f) const {
    for (const NameRec& n : names_) {
      if (n.handle) f(n.handle);
      for (uint32_t r = n.first; r != kEnd; r = values_[r].next) {
        if (values_[r].handle) f(values_[r].handle);
      }
    }
  }
  // How dropped handles reach the owner: by default they are queued, and
  // the owner takes them (take_dropped) to release them;
  // with a release function set, the map calls it for each as it drops it
  // (no queue, no allocation). A KeepHandles copy keeps the function.
  using Release = void (*)(Handle) noexcept;
  void release_with(Release fn) noexcept { release_ = fn; }
  // Moves the handles of dropped names and values into `out` (emptying the
  // map's queue). The owner releases them.
  void take_dropped(std::vector<Handle>& out) noexcept {
    out.clear();
    out.swap(dropped_);
  }
  // Changes whenever entry numbers or value records may have moved, been
  // dropped or been given other bytes (removal, replacement, clearing,
  // compaction); appending keeps it. An owner that noted value records
  // under one epoch may use them again only under the same epoch.
  uint64_t epoch() const noexcept { return epoch_; }
  // The same for entry numbers alone: changes on removal and clearing only.
  uint64_t name_epoch() const noexcept { return name_epoch_; }

  // The same names with the same values in the same order per name; the
  // order of the names does not matter.
  friend bool operator==(const HeaderMap& a, const HeaderMap& b) noexcept;

  // Whether the map has switched to the keyed hash, and the largest
  // distance of any name from its home slot (structural checks of the flood
  // defence; not used by any operation).
  bool keyed() const noexcept { return keyed_; }
  size_t max_displacement() const noexcept;

 private:
  struct Slot {
    uint32_t hash;
    uint32_t entry;  // entry number + 1; 0 when empty
  };

  std::string_view value_bytes(uint32_t rec) const noexcept {
    const ValueRec& v = values_[rec];
    return {bytes_.data() + v.off, v.len};
  }

  // A run of trivially copyable elements inside the map's storage block,
  // with the vector operations the map uses. The map makes room (room(),
  // regrow()) before it pushes, so pushing never allocates.
  template <class T>
  class Part {
   public:
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    void push_back(const T& v) noexcept { data_[size_++] = v; }
    void pop_back() noexcept { --size_; }
    void clear() noexcept { size_ = 0; }
    void resize(size_t n) noexcept { size_ = n; }  // within the capacity

   private:
    friend class HeaderMap;
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
  };
  uint32_t hash_of(const HeaderName& name) const noexcept;
  size_t mask() const noexcept { return slots_.size() - 1; }
  size_t distance(uint32_t hash, size_t pos) const noexcept { return (pos - hash) & mask(); }
  // The slot position of `name` under `hash`, or npos.
  size_t find_slot(std::string_view name, uint32_t hash) const noexcept;
  size_t slot_of_entry(size_t entry) const noexcept;
  // Places entry `entry` in the index; returns the slots touched.
  size_t place(size_t entry, uint32_t hash) noexcept;
  void rebuild(size_t slot_count);
  void switch_to_keyed();
  // Makes room for this many more names, values and bytes, in one new
  // block when any part is full (which then grows geometrically).
  void room(size_t names, size_t values, size_t bytes) {
    if (names_.capacity() - names_.size() >= names && values_.capacity() - values_.size() >= values &&
        bytes_.capacity() - bytes_.size() >= bytes) {
      return;
    }
    grow_for(names, values, bytes);
  }
  void grow_for(size_t names, size_t values, size_t bytes);
  // Moves everything to a new block with these capacities; a new slot
  // count leaves the index empty for the caller to fill.
  void regrow(size_t name_cap, size_t value_cap, size_t byte_cap, size_t slot_count);
  // Whether `p` points into the storage block (a view that a regrow would
  // leave dangling).
  bool inside(const char* p) const noexcept {
    return block_ != nullptr && p >= reinterpret_cast<const char*>(block_.get()) && p < block_end_;
  }
  // Copies bytes to the arena's end (room made first); returns their offset.
  uint32_t store(std::string_view bytes) noexcept;
  uint32_t push_value(std::string_view bytes, Handle handle);
  void link_value(NameRec& n, uint32_t rec) noexcept;
  // Grows the index if one more name would fill it past three quarters;
  // whether that switched the hash.
  bool index_room();
  // Adds a new name at the end whose bytes are already at `off` in the
  // arena (the caller made room and called index_room).
  size_t push_name(uint32_t off, uint32_t len, uint32_t hash, Handle handle);
  void drop(Handle h) noexcept {
    if (release_) {
      release_(h);
    } else {
      dropped_.push_back(h);  // room made first (drop_room)
    }
  }
  void drop_room(size_t handles);
  // The number of handles attached to `n` and its values.
  size_t handles_of(const NameRec& n) const noexcept;
  // Drops the values of `n`, queueing their handles (room reserved first).
  void drop_values(const NameRec& n) noexcept;
  void maybe_compact() noexcept;
  void compact();
  Status store_value(const HeaderName& name, HeaderValue value, Handles offered, Handles& taken, bool replace);
  Status store_at(size_t entry, HeaderValue value, Handles offered, Handles& taken, bool replace);
  void replace_only_value(size_t entry, HeaderValue value, Handle handle);
  void append_or_reset(size_t entry, HeaderValue value, Handle handle, bool replace);
  // Adds a name known absent, with its first value.
  void push_field(const HeaderName& name, uint32_t hash, HeaderValue value, Handles offered);
  void remove_slot(size_t pos);
  // Whether entry i here and entry j of `b` hold the same values in order.
  bool same_values(size_t i, const HeaderMap& b, size_t j) const noexcept;

  // One allocation holds the names, the values, the index and the bytes,
  // in that order (each part's size a multiple of 8, so each is aligned):
  // a small map costs a single allocation. Blocks of the first size are
  // kept for reuse by the thread that frees them (see header_map.cpp).
  struct BlockFree {
    void operator()(std::byte* p) const noexcept;
  };
  using Block = std::unique_ptr<std::byte[], BlockFree>;
  static Block new_block(size_t bytes);
  static size_t first_block_size() noexcept;
  Block block_;
  const char* block_end_ = nullptr;
  Part<NameRec> names_;
  Part<ValueRec> values_;
  Part<Slot> slots_;  // size() == capacity(): the slot count
  Part<char> bytes_;
  std::vector<Handle> dropped_;
  Release release_ = nullptr;
  size_t value_count_ = 0;
  size_t dead_bytes_ = 0;
  size_t dead_values_ = 0;
  uint64_t epoch_ = 0;
  uint64_t name_epoch_ = 0;
  bool keyed_ = false;
};

}  // namespace vintrel::http
