#include "core/http/header_map.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/util/siphash.h"

namespace vintrel::http {

namespace {

constexpr size_t kFirstSlots = 16;
// The room a map takes when its first name arrives: a typical head (a
// dozen fields of some 30 bytes) in one block.
constexpr size_t kFirstNames = 12;
constexpr size_t kFirstBytes = 384;
constexpr size_t kMaxBytes = UINT32_MAX;

// Equality of n bytes: names and values are mostly short, so whole-word
// compares beat a call into memcmp.
bool same_name(const char* a, const char* b, size_t n) noexcept {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    uint64_t x[2], y[2];
    std::memcpy(&x[0], a, 8);
    std::memcpy(&y[0], b, 8);
    std::memcpy(&x[1], a + n - 8, 8);
    std::memcpy(&y[1], b + n - 8, 8);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
  if (n >= 4) {
    uint32_t x[2], y[2];
    std::memcpy(&x[0], a, 4);
    std::memcpy(&y[0], b, 4);
    std::memcpy(&x[1], a + n - 4, 4);
    std::memcpy(&y[1], b + n - 4, 4);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool same_bytes(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && same_name(a.data(), b.data(), a.size());
}

// Makes room for `more` further elements, growing geometrically (a plain
// reserve of size + 1 would reallocate on every call).
template <class T>
void room_for(std::vector<T>& v, size_t more) {
  if (v.capacity() - v.size() >= more) return;
  const size_t want = v.size() + more;
  v.reserve(want > 2 * v.capacity() ? want : 2 * v.capacity());
}

// The capacity a part needs for `more` further elements: its own when they
// fit, else at least double.
size_t grown(size_t size, size_t cap, size_t more) noexcept {
  const size_t want = size + more;
  if (want <= cap) return cap;
  return want > 2 * cap ? want : 2 * cap;
}

constexpr size_t round8(size_t n) noexcept { return (n + 7) & ~size_t{7}; }

// Header names and values are mostly short: copy up to 16 bytes with a
// few overlapping word moves rather than a call into memcpy.
void copy_bytes(char* to, const char* from, size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n > 16) {
    std::memcpy(to, from, n);
  } else {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}


}  // namespace

std::string_view map_error_text(MapError) noexcept {
  return "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";
}

// ---------------------------------------------------------------- storage

static_assert(sizeof(HeaderMap::Handles) == 2 * sizeof(uintptr_t));

// Blocks of the first size, kept by the thread that freed them for the
// next map it makes. A head's map lives briefly and its first block is just
// over the size the C allocator serves from its fast per-thread lists, so
// without this every new map takes the allocator's slow path twice (to
// allocate and to free). A block is plain memory: any thread may reuse
// what another allocated. At most kSpares blocks per thread; a thread's
// spares are freed when it ends.
namespace {

// Sized so that every part after it stays 16-byte aligned; holds the size.
constexpr size_t kBlockHeader = 16;
constexpr size_t kSpares = 4;

// Trivial, so that it stays readable while threads end (a map freed by a
// later destructor then frees its block outright).
struct Spares {
  std::byte* held[kSpares];
  size_t count;
  bool closed;
};
thread_local Spares spares;

struct SpareReaper {
  SpareReaper() noexcept = default;
  SpareReaper(const SpareReaper&) = delete;
  SpareReaper& operator=(const SpareReaper&) = delete;
  ~SpareReaper() {
    spares.closed = true;
    for (size_t i = 0; i < spares.count; ++i) ::operator delete(spares.held[i]);
    spares.count = 0;
  }
};

}  // namespace

size_t HeaderMap::first_block_size() noexcept {
  return kFirstNames * sizeof(NameRec) + kFirstNames * sizeof(ValueRec) + round8(kFirstSlots * sizeof(Slot)) +
         round8(kFirstBytes);
}

HeaderMap::Block HeaderMap::new_block(size_t bytes) {
  if (bytes == first_block_size() && spares.count != 0) return Block(spares.held[--spares.count] + kBlockHeader);
  auto* raw = static_cast<std::byte*>(::operator new(kBlockHeader + bytes));
  std::memcpy(raw, &bytes, sizeof(bytes));
  return Block(raw + kBlockHeader);
}

void HeaderMap::BlockFree::operator()(std::byte* p) const noexcept {
  std::byte* raw = p - kBlockHeader;
  size_t bytes;
  std::memcpy(&bytes, raw, sizeof(bytes));
  if (bytes == first_block_size() && spares.count < kSpares && !spares.closed) {
    thread_local SpareReaper reaper;  // frees the spares when the thread ends
    spares.held[spares.count++] = raw;
    return;
  }
  ::operator delete(raw);
}

void HeaderMap::regrow(size_t name_cap, size_t value_cap, size_t byte_cap, size_t slot_count) {
  static_assert(sizeof(NameRec) % 8 == 0 && sizeof(ValueRec) % 8 == 0 && sizeof(Slot) % 4 == 0);
  byte_cap = round8(byte_cap);
  const size_t name_bytes = name_cap * sizeof(NameRec);
  const size_t value_bytes = value_cap * sizeof(ValueRec);
  const size_t slot_bytes = round8(slot_count * sizeof(Slot));
  const size_t total = name_bytes + value_bytes + slot_bytes + byte_cap;
  Block block = new_block(total);
  std::byte* p = block.get();
  Part<NameRec> names;
  Part<ValueRec> values;
  Part<Slot> slots;
  Part<char> bytes;
  names.data_ = reinterpret_cast<NameRec*>(p);
  names.cap_ = name_cap;
  values.data_ = reinterpret_cast<ValueRec*>(p + name_bytes);
  values.cap_ = value_cap;
  slots.data_ = reinterpret_cast<Slot*>(p + name_bytes + value_bytes);
  slots.cap_ = slots.size_ = slot_count;
  bytes.data_ = reinterpret_cast<char*>(p + name_bytes + value_bytes + slot_bytes);
  bytes.cap_ = byte_cap;
  // Nothing below can fail.
  names.size_ = names_.size_;
  values.size_ = values_.size_;
  bytes.size_ = bytes_.size_;
  if (names_.size_) std::memcpy(names.data_, names_.data_, names_.size_ * sizeof(NameRec));
  if (values_.size_) std::memcpy(values.data_, values_.data_, values_.size_ * sizeof(ValueRec));
  if (bytes_.size_) std::memcpy(bytes.data_, bytes_.data_, bytes_.size_);
  if (slot_count == slots_.size_ && slot_count != 0) {
    std::memcpy(slots.data_, slots_.data_, slot_count * sizeof(Slot));
  } else {
    std::fill(slots.data_, slots.data_ + slot_count, Slot{0, 0});
  }
  block_ = std::move(block);
  block_end_ = reinterpret_cast<const char*>(p) + total;
  names_ = names;
  values_ = values;
  slots_ = slots;
  bytes_ = bytes;
}

void HeaderMap::grow_for(size_t names, size_t values, size_t bytes) {
  if (bytes > kMaxBytes - bytes_.size()) throw std::length_error("header map bytes beyond 4 GiB");
  const size_t nc = grown(names_.size(), names_.capacity(), names);
  const size_t vc = grown(values_.size(), values_.capacity(), values);
  const size_t bc = grown(bytes_.size(), bytes_.capacity(), bytes);
  if (nc != names_.capacity() || vc != values_.capacity() || bc != bytes_.capacity()) {
    regrow(nc, vc, bc, slots_.size());
  }
}

uint32_t HeaderMap::store(std::string_view bytes) noexcept {
  const size_t off = bytes_.size();
  copy_bytes(bytes_.data() + off, bytes.data(), bytes.size());
  bytes_.resize(off + bytes.size());
  return static_cast<uint32_t>(off);  // room() keeps every offset below 2^32
}

// ---------------------------------------------------------------- copies

HeaderMap::HeaderMap(const HeaderMap& other, KeepHandles)
    : release_(other.release_),
      value_count_(other.value_count_),
      dead_bytes_(other.dead_bytes_),
      dead_values_(other.dead_values_),
      keyed_(other.keyed_) {
  if (other.block_ == nullptr) return;
  // The index is copied as it stands: the same slot count. A copy that
  // fits the first block's shape takes that shape (a spare block).
  size_t nc = other.names_.size(), vc = other.values_.size(), bc = other.bytes_.size();
  if (other.slots_.size() == kFirstSlots && nc <= kFirstNames && vc <= kFirstNames && bc <= kFirstBytes) {
    nc = vc = kFirstNames;
    bc = kFirstBytes;
  }
  regrow(nc, vc, bc, other.slots_.size());
  names_.resize(other.names_.size());
  values_.resize(other.values_.size());
  bytes_.resize(other.bytes_.size());
  if (!names_.empty()) std::memcpy(names_.data(), other.names_.data(), names_.size() * sizeof(NameRec));
  if (!values_.empty()) std::memcpy(values_.data(), other.values_.data(), values_.size() * sizeof(ValueRec));
  if (!bytes_.empty()) std::memcpy(bytes_.data(), other.bytes_.data(), bytes_.size());
  if (!slots_.empty()) std::memcpy(slots_.data(), other.slots_.data(), slots_.size() * sizeof(Slot));
}

HeaderMap::HeaderMap(const HeaderMap& other) : HeaderMap(other, KeepHandles{}) {
  release_ = nullptr;
  for (NameRec& n : names_) n.handle = 0;
  for (ValueRec& v : values_) v.handle = 0;
}

HeaderMap& HeaderMap::operator=(const HeaderMap& other) {
  if (this != &other) *this = HeaderMap(other);
  return *this;
}

HeaderMap::HeaderMap(HeaderMap&& other) noexcept
    : block_(std::move(other.block_)),
      block_end_(std::exchange(other.block_end_, nullptr)),
      names_(std::exchange(other.names_, {})),
      values_(std::exchange(other.values_, {})),
      slots_(std::exchange(other.slots_, {})),
      bytes_(std::exchange(other.bytes_, {})),
      dropped_(std::move(other.dropped_)),
      release_(other.release_),
      value_count_(std::exchange(other.value_count_, 0)),
      dead_bytes_(std::exchange(other.dead_bytes_, 0)),
      dead_values_(std::exchange(other.dead_values_, 0)),
      epoch_(other.epoch_),
      name_epoch_(other.name_epoch_),
      keyed_(std::exchange(other.keyed_, false)) {
  ++other.epoch_;
  ++other.name_epoch_;
}

HeaderMap& HeaderMap::operator=(HeaderMap&& other) noexcept {
  if (this != &other) {
    // Whatever was noted about this map before holds no more.
    const uint64_t epoch = (epoch_ > other.epoch_ ? epoch_ : other.epoch_) + 1;
    const uint64_t name_epoch = (name_epoch_ > other.name_epoch_ ? name_epoch_ : other.name_epoch_) + 1;
    this->~HeaderMap();
    new (this) HeaderMap(std::move(other));
    epoch_ = epoch;
    name_epoch_ = name_epoch;
  }
  return *this;
}

void HeaderMap::reserve(size_t names, size_t values, size_t bytes) {
  if (bytes > kMaxBytes) throw std::length_error("header map bytes beyond 4 GiB");
  names = names < kMaxNames ? names : kMaxNames;
  size_t slots = slots_.empty() ? kFirstSlots : slots_.size();
  while (names * 4 > slots * 3) slots *= 2;
  const size_t nc = names > names_.capacity() ? names : names_.capacity();
  const size_t vc = values > values_.capacity() ? values : values_.capacity();
  const size_t bc = bytes > bytes_.capacity() ? bytes : bytes_.capacity();
  if (nc == names_.capacity() && vc == values_.capacity() && bc == bytes_.capacity() && slots == slots_.size()) {
    return;
  }
  const bool new_index = slots != slots_.size();
  regrow(nc, vc, bc, slots);
  if (new_index) rebuild(slots);
}

// ---------------------------------------------------------------- index

inline uint32_t HeaderMap::hash_of(const HeaderName& name) const noexcept {
  return keyed_ ? static_cast<uint32_t>(siphash13(process_sip_key(), name.view())) : name.fast_hash();
}

size_t HeaderMap::find_slot(std::string_view name, uint32_t hash) const noexcept {
  if (slots_.empty()) return npos;
  const size_t m = mask();
  size_t pos = hash & m;
  for (size_t dist = 0;; ++dist, pos = (pos + 1) & m) {
    const Slot s = slots_[pos];
    // An empty slot, or one nearer its home than we are from ours, ends the
    // search: robin hood placement would have put the name before it.
    if (s.entry == 0 || ((pos - s.hash) & m) < dist) return npos;
    if (s.hash == hash) {
      const NameRec& n = names_[s.entry - 1];
      if (n.len == name.size() && same_name(bytes_.data() + n.off, name.data(), name.size())) return pos;
    }
  }
}

size_t HeaderMap::slot_of_entry(size_t entry) const noexcept {
  size_t pos = names_[entry].hash & mask();
  const auto want = static_cast<uint32_t>(entry + 1);
  while (slots_[pos].entry != want) pos = (pos + 1) & mask();
  return pos;
}

size_t HeaderMap::place(size_t entry, uint32_t hash) noexcept {
  Slot carry{hash, static_cast<uint32_t>(entry + 1)};
  size_t pos = hash & mask();
  size_t dist = 0;
  size_t touched = 0;
  for (;; pos = (pos + 1) & mask(), ++dist) {
    ++touched;
    Slot& s = slots_[pos];
    if (s.entry == 0) {
      s = carry;
      return touched;
    }
    const size_t d = distance(s.hash, pos);
    if (d < dist) {
      std::swap(s, carry);
      dist = d;
    }
  }
}

void HeaderMap::rebuild(size_t slot_count) {
  if (slot_count != slots_.size()) {
    regrow(names_.capacity(), values_.capacity(), bytes_.capacity(), slot_count);
  } else {
    std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
  }
  size_t longest = 0;
  for (size_t i = 0; i < names_.size(); ++i) {
    const size_t touched = place(i, names_[i].hash);
    longest = touched > longest ? touched : longest;
  }
  // Growing can gather a cluster too: the same rule as for one placement.
  if (longest >= kLongProbe && !keyed_) switch_to_keyed();
}

void HeaderMap::switch_to_keyed() {
  keyed_ = true;
  for (size_t i = 0; i < names_.size(); ++i) {
    names_[i].hash = hash_of(HeaderName::trusted(name(i), 0));
  }
  rebuild(slots_.size());
}

size_t HeaderMap::max_displacement() const noexcept {
  size_t longest = 0;
  for (size_t pos = 0; pos < slots_.size(); ++pos) {
    if (slots_[pos].entry == 0) continue;
    const size_t d = distance(slots_[pos].hash, pos);
    longest = d > longest ? d : longest;
  }
  return longest;
}

// ---------------------------------------------------------------- storage

// Pushes a value record and its bytes (room made first).
uint32_t HeaderMap::push_value(std::string_view bytes, Handle handle) {
  const uint32_t off = store(bytes);
  values_.push_back(ValueRec{off, static_cast<uint32_t>(bytes.size()), kEnd, handle});
  return static_cast<uint32_t>(values_.size() - 1);
}

void HeaderMap::link_value(NameRec& n, uint32_t rec) noexcept {
  if (n.count == 0) {
    n.first = rec;
  } else {
    values_[n.last].next = rec;
  }
  n.last = rec;
  ++n.count;
  ++value_count_;
}

// Grows the index before it would pass three quarters full with one more
// name. Returns whether the hash switched meanwhile.
bool HeaderMap::index_room() {
  if ((names_.size() + 1) * 4 <= slots_.size() * 3) return false;
  const bool was_keyed = keyed_;
  rebuild(slots_.empty() ? kFirstSlots : slots_.size() * 2);
  return keyed_ != was_keyed;
}

// Pushes a name whose bytes are at `off` (room made first, index_room()
// called).
size_t HeaderMap::push_name(uint32_t off, uint32_t len, uint32_t hash, Handle handle) {
  names_.push_back(NameRec{off, len, hash, kEnd, kEnd, 0, handle});
  const size_t entry = names_.size() - 1;
  if (place(entry, hash) >= kLongProbe && !keyed_) switch_to_keyed();
  return entry;
}

void HeaderMap::drop_room(size_t handles) {
  if (release_ == nullptr) room_for(dropped_, handles);
}

size_t HeaderMap::handles_of(const NameRec& n) const noexcept {
  size_t count = n.handle != 0;
  for (uint32_t r = n.first; r != kEnd; r = values_[r].next) count += values_[r].handle != 0;
  return count;
}

void HeaderMap::drop_values(const NameRec& n) noexcept {
  for (uint32_t r = n.first; r != kEnd; r = values_[r].next) {
    ValueRec& v = values_[r];
    if (v.handle) drop(v.handle);
    v.handle = 0;
    dead_bytes_ += v.len;
    ++dead_values_;
  }
  value_count_ -= n.count;
}

// Once dead bytes or records outweigh the live ones, copy the live ones to
// fresh storage in the map's order. Each compaction is paid for by at least
// as many earlier drops, so the cost is amortised constant.
// Should memory run out, the map simply stays as it is.
void HeaderMap::maybe_compact() noexcept {
  const bool bytes = dead_bytes_ > 4096 && dead_bytes_ * 2 > bytes_.size();
  const bool records = dead_values_ > 64 && dead_values_ * 2 > values_.size();
  if (!bytes && !records) return;
  try {
    compact();
  } catch (...) {
  }
}

void HeaderMap::compact() {
  // The live values and bytes move to a fresh block of the same
  // capacities; the names and the index keep their places.
  Block old_block = std::move(block_);
  const Part<NameRec> old_names = std::exchange(names_, {});
  const Part<ValueRec> old_values = std::exchange(values_, {});
  const Part<Slot> old_slots = std::exchange(slots_, {});
  const Part<char> old_bytes = std::exchange(bytes_, {});
  try {
    regrow(old_names.capacity(), old_values.capacity(), old_bytes.capacity(), old_slots.size());
  } catch (...) {
    block_ = std::move(old_block);
    names_ = old_names;
    values_ = old_values;
    slots_ = old_slots;
    bytes_ = old_bytes;
    throw;
  }
  std::memcpy(slots_.data(), old_slots.data(), slots_.size() * sizeof(Slot));
  for (const NameRec& o : old_names) {
    NameRec n = o;
    n.off = store({old_bytes.data() + o.off, o.len});
    uint32_t prev = kEnd;
    for (uint32_t r = o.first; r != kEnd; r = old_values[r].next) {
      const ValueRec& v = old_values[r];
      const auto rec = static_cast<uint32_t>(values_.size());
      values_.push_back(ValueRec{store({old_bytes.data() + v.off, v.len}), v.len, kEnd, v.handle});
      if (prev == kEnd) {
        n.first = rec;
      } else {
        values_[prev].next = rec;
      }
      prev = rec;
    }
    n.last = prev;
    names_.push_back(n);
  }
  dead_bytes_ = 0;
  dead_values_ = 0;
  ++epoch_;
}

// ---------------------------------------------------------------- operations

size_t HeaderMap::find(const HeaderName& name) const noexcept {
  const size_t pos = find_slot(name.view(), hash_of(name));
  return pos == npos ? npos : slots_[pos].entry - 1;
}

std::optional<std::string_view> HeaderMap::get(const HeaderName& name) const noexcept {
  const size_t e = find(name);
  if (e == npos) return std::nullopt;
  return value_bytes(names_[e].first);
}

HeaderMap::Values HeaderMap::get_all(const HeaderName& name) const noexcept {
  const size_t e = find(name);
  return e == npos ? Values() : values(e);
}

HeaderMap::Status HeaderMap::store_value(const HeaderName& name, HeaderValue value, Handles offered,
                                         Handles& taken, bool replace) {
  if (full()) return fail(MapError::Full);
  if (inside(name.data()) || inside(value.view().data())) {
    // Views of this map's own bytes (a name or value read back from it)
    // would dangle once the storage grows: work on copies.
    const std::string n(name.view()), v(value.view());
    return store_value(HeaderName::trusted(n, name.fast_hash()), HeaderValue::trusted(v), offered, taken, replace);
  }
  const uint32_t hash = hash_of(name);
  const size_t pos = find_slot(name.view(), hash);
  if (pos != npos) return store_at(slots_[pos].entry - 1, value, offered, taken, replace);
  push_field(name, hash, value, offered);
  taken = offered;
  return {};
}

HeaderMap::Status HeaderMap::insert_new(const HeaderName& name, HeaderValue value, Handles offered,
                                        Handles& taken) {
  if (full()) return fail(MapError::Full);
  if (inside(name.data()) || inside(value.view().data())) {
    const std::string n(name.view()), v(value.view());
    return insert_new(HeaderName::trusted(n, name.fast_hash()), HeaderValue::trusted(v), offered, taken);
  }
  push_field(name, hash_of(name), value, offered);
  taken = offered;
  return {};
}

void HeaderMap::push_field(const HeaderName& name, uint32_t hash, HeaderValue value, Handles offered) {
  if (names_.capacity() == 0) reserve(kFirstNames, kFirstNames, kFirstBytes);
  // Everything that allocates comes first, so that a failure leaves the
  // map as it was.
  room(1, 1, name.size() + value.size());
  if (index_room()) hash = hash_of(name);
  const uint32_t off = store(name.view());
  const uint32_t rec = push_value(value.view(), offered.value);
  const size_t entry = push_name(off, static_cast<uint32_t>(name.size()), hash, offered.name);
  link_value(names_[entry], rec);
}

HeaderMap::Status HeaderMap::store_at(size_t entry, HeaderValue value, Handles offered, Handles& taken,
                                      bool replace) {
  if (full()) return fail(MapError::Full);
  if (inside(value.view().data())) {
    const std::string v(value.view());
    return store_at(entry, HeaderValue::trusted(v), offered, taken, replace);
  }
  if (replace && names_[entry].count == 1) {
    replace_only_value(entry, value, offered.value);
  } else {
    append_or_reset(entry, value, offered.value, replace);
  }
  taken = {0, offered.value};
  NameRec& n = names_[entry];
  if (n.handle == 0 && offered.name != 0) {
    n.handle = offered.name;
    taken.name = offered.name;
  }
  if (replace) maybe_compact();
  return {};
}

// A name's one value gives way to another in the same record; the bytes
// go where the old ones were when they fit.
void HeaderMap::replace_only_value(size_t entry, HeaderValue value, Handle handle) {
  const uint32_t rec = names_[entry].first;
  if (values_[rec].handle) drop_room(1);
  const size_t n = value.size();
  if (n > values_[rec].len) {
    room(0, 0, n);
    const uint32_t off = store(value.view());
    dead_bytes_ += values_[rec].len;
    values_[rec].off = off;
  } else {
    std::memmove(bytes_.data() + values_[rec].off, value.view().data(), n);
    dead_bytes_ += values_[rec].len - n;
  }
  ValueRec& v = values_[rec];
  v.len = static_cast<uint32_t>(n);  // room() or the old length bounds it
  if (v.handle) drop(v.handle);
  v.handle = handle;
  ++epoch_;
}

void HeaderMap::append_or_reset(size_t entry, HeaderValue value, Handle handle, bool replace) {
  // Everything that allocates comes first, so that a failure leaves the
  // map as it was.
  if (replace) drop_room(handles_of(names_[entry]));
  room(0, 1, value.size());
  const uint32_t rec = push_value(value.view(), handle);
  NameRec& n = names_[entry];
  if (replace) {
    drop_values(n);
    n.count = 0;
    ++epoch_;
  }
  link_value(n, rec);
}

HeaderMap::Status HeaderMap::append_at(size_t entry, HeaderValue value, Handles offered, Handles& taken) {
  return store_at(entry, value, offered, taken, false);
}

HeaderMap::Status HeaderMap::replace_at(size_t entry, HeaderValue value, Handles offered, Handles& taken) {
  return store_at(entry, value, offered, taken, true);
}

HeaderMap::Status HeaderMap::append(const HeaderName& name, HeaderValue value) {
  Handles taken;
  return store_value(name, value, {}, taken, false);
}

HeaderMap::Status HeaderMap::append(const HeaderName& name, HeaderValue value, Handles offered, Handles& taken) {
  return store_value(name, value, offered, taken, false);
}

HeaderMap::Status HeaderMap::replace(const HeaderName& name, HeaderValue value) {
  Handles taken;
  return store_value(name, value, {}, taken, true);
}

HeaderMap::Status HeaderMap::replace(const HeaderName& name, HeaderValue value, Handles offered, Handles& taken) {
  return store_value(name, value, offered, taken, true);
}

HeaderMap::Status HeaderMap::append_fields(std::span<const FieldView> fields) {
  size_t bytes = 0;
  for (const FieldView& f : fields) bytes += f.name.size() + f.value.size();
  // All the room at once: the loop below allocates nothing.
  reserve(names_.size() + fields.size(), values_.size() + fields.size(), bytes_.size() + bytes);
  for (const FieldView& f : fields) {
    if (full()) return fail(MapError::Full);
    // Fold the name straight into the arena; a name already present takes
    // its bytes back off the end.
    const size_t off = bytes_.size();
    bytes_.resize(off + f.name.size());
    uint32_t hash = copy_folded_name(f.name, bytes_.data() + off);
    const std::string_view folded(bytes_.data() + off, f.name.size());
    if (keyed_) hash = hash_of(HeaderName::trusted(folded, 0));
    const size_t pos = find_slot(folded, hash);
    size_t entry;
    if (pos == npos) {
      if (index_room()) hash = hash_of(HeaderName::trusted(folded, 0));
      entry = push_name(static_cast<uint32_t>(off), static_cast<uint32_t>(f.name.size()), hash, 0);
    } else {
      bytes_.resize(off);
      entry = slots_[pos].entry - 1;
    }
    const uint32_t rec = push_value(f.value, 0);
    link_value(names_[entry], rec);
  }
  return {};
}

Result<std::string_view, MapError> HeaderMap::setdefault(const HeaderName& name, HeaderValue value) {
  const size_t e = find(name);
  if (e != npos) return value_bytes(names_[e].first);
  Handles taken;
  if (auto r = store_value(name, value, {}, taken, false); !r) return fail(r.error());
  return value_bytes(static_cast<uint32_t>(values_.size() - 1));
}

bool HeaderMap::remove(const HeaderName& name) {
  const size_t pos = find_slot(name.view(), hash_of(name));
  if (pos == npos) return false;
  remove_slot(pos);
  return true;
}

void HeaderMap::remove_at(size_t entry) { remove_slot(slot_of_entry(entry)); }

void HeaderMap::remove_slot(size_t pos) {
  const size_t hole = slots_[pos].entry - 1;
  drop_room(handles_of(names_[hole]));  // the one step that can fail

  // Backward-shift deletion: pull the following run one slot nearer home
  // until an empty slot or one already at home.
  for (size_t next = (pos + 1) & mask();; pos = next, next = (next + 1) & mask()) {
    const Slot s = slots_[next];
    if (s.entry == 0 || distance(s.hash, next) == 0) {
      slots_[pos] = Slot{0, 0};
      break;
    }
    slots_[pos] = s;
  }

  NameRec& gone = names_[hole];
  if (gone.handle) drop(gone.handle);
  drop_values(gone);
  dead_bytes_ += gone.len;
  // The last name moves into the hole; its slot follows it.
  const size_t last = names_.size() - 1;
  if (hole != last) {
    slots_[slot_of_entry(last)].entry = static_cast<uint32_t>(hole + 1);
    names_[hole] = names_[last];
  }
  names_.pop_back();
  ++epoch_;
  ++name_epoch_;
  if (names_.empty()) {
    // Nothing live: start the storage afresh, keeping its capacity.
    bytes_.clear();
    values_.clear();
    dead_bytes_ = dead_values_ = 0;
  } else {
    maybe_compact();
  }
}

void HeaderMap::clear() {
  size_t handles = 0;
  for (const NameRec& n : names_) handles += handles_of(n);
  drop_room(handles);
  for_each_handle([this](Handle h) { drop(h); });
  block_.reset();
  block_end_ = nullptr;
  names_ = {};
  values_ = {};
  slots_ = {};
  bytes_ = {};
  value_count_ = dead_bytes_ = dead_values_ = 0;
  ++epoch_;
  ++name_epoch_;
}

bool HeaderMap::same_values(size_t i, const HeaderMap& b, size_t j) const noexcept {
  if (names_[i].count != b.names_[j].count) return false;
  for (uint32_t x = names_[i].first, y = b.names_[j].first; x != kEnd; x = values_[x].next, y = b.values_[y].next) {
    if (!same_bytes(value_bytes(x), b.value_bytes(y))) return false;
  }
  return true;
}

bool operator==(const HeaderMap& a, const HeaderMap& b) noexcept {
  if (a.value_count_ != b.value_count_ || a.names_.size() != b.names_.size()) return false;
  // Maps filled the same way hold their names in the same order: pair
  // them by position while that lasts, without hashing.
  size_t i = 0;
  const bool same_hash = a.keyed_ == b.keyed_;
  for (; i < a.names_.size(); ++i) {
    if (same_hash && a.names_[i].hash != b.names_[i].hash) break;
    if (!same_bytes(a.name(i), b.name(i))) break;
    if (!a.same_values(i, b, i)) return false;
  }
  for (; i < a.names_.size(); ++i) {
    // A keyed map's stored hash is no fast hash: recompute it then.
    const HeaderName name = a.keyed_ ? HeaderName::trusted(a.name(i)) : HeaderName::trusted(a.name(i), a.names_[i].hash);
    const size_t j = b.find(name);
    if (j == HeaderMap::npos || !a.same_values(i, b, j)) return false;
  }
  return true;
}

}  // namespace vintrel::http
