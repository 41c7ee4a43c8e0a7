#include "core/http/header_map.h"

#include <cstring>
#include <utility>

#include "core/util/siphash.h"

namespace vintrel::http {

namespace {

constexpr size_t kFirstSlots = 16;
// The room a map takes when its first name arrives: enough for a typical
// head (a dozen fields of some 30 bytes), so that filling one costs four
// allocations and no reallocation.
constexpr size_t kFirstNames = 12;
constexpr size_t kFirstBytes = 384;

// Equality of a stored name and a probe of the same hash: names are short,
// so whole-word compares beat a call into memcmp.
bool same_name(const char* a, const char* b, size_t n) noexcept {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  uint64_t x[2], y[2];
  if (n >= 8) {
    std::memcpy(&x[0], a, 8);
    std::memcpy(&y[0], b, 8);
    std::memcpy(&x[1], a + n - 8, 8);
    std::memcpy(&y[1], b + n - 8, 8);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
  return std::memcmp(a, b, n) == 0;
}

// Makes room for `more` further elements, growing geometrically (a plain
// reserve of size + 1 would reallocate on every call).
template <class T>
void room_for(std::vector<T>& v, size_t more) {
  if (v.capacity() - v.size() >= more) return;
  const size_t want = v.size() + more;
  v.reserve(want > 2 * v.capacity() ? want : 2 * v.capacity());
}

}  // namespace

std::string_view map_error_text(MapError) noexcept {
  return "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";
}

// ---------------------------------------------------------------- copies

HeaderMap::HeaderMap(const HeaderMap& other, KeepHandles)
    : arena_(other.arena_),
      names_(other.names_),
      values_(other.values_),
      slots_(other.slots_),
      value_count_(other.value_count_),
      dead_bytes_(other.dead_bytes_),
      dead_values_(other.dead_values_),
      keyed_(other.keyed_) {}

HeaderMap::HeaderMap(const HeaderMap& other) : HeaderMap(other, KeepHandles{}) {
  for (NameRec& n : names_) n.handle = 0;
  for (ValueRec& v : values_) v.handle = 0;
}

HeaderMap& HeaderMap::operator=(const HeaderMap& other) {
  if (this != &other) *this = HeaderMap(other);
  return *this;
}

void HeaderMap::reserve(size_t names, size_t values, size_t bytes) {
  arena_.reserve(bytes);
  values_.reserve(values);
  names = names < kMaxNames ? names : kMaxNames;
  names_.reserve(names);
  size_t slots = slots_.empty() ? kFirstSlots : slots_.size();
  while (names * 4 > slots * 3) slots *= 2;
  if (slots != slots_.size()) rebuild(slots);
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
      if (n.len == name.size() && same_name(arena_.data() + n.off, name.data(), name.size())) return pos;
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
  slots_.assign(slot_count, Slot{0, 0});
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

size_t HeaderMap::store(std::string_view bytes) {
  const size_t off = arena_.size();
  arena_.append(bytes);
  return off;
}

uint32_t HeaderMap::push_value(std::string_view bytes, Handle handle) {
  room_for(values_, 1);  // so that nothing below can fail half-way
  const size_t off = store(bytes);
  values_.push_back(ValueRec{off, bytes.size(), kEnd, handle});
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

size_t HeaderMap::push_name(size_t off, uint32_t len, uint32_t hash, Handle handle) {
  room_for(names_, 1);
  // Grow before the index passes three quarters full.
  const size_t need = names_.size() + 1;
  if (need * 4 > slots_.size() * 3) {
    const bool was_keyed = keyed_;
    rebuild(slots_.empty() ? kFirstSlots : slots_.size() * 2);
    // Growing may have switched the hash under the caller's feet.
    if (keyed_ != was_keyed) hash = hash_of(HeaderName::trusted({arena_.data() + off, len}, 0));
  }
  names_.push_back(NameRec{off, len, hash, kEnd, kEnd, 0, handle});
  const size_t entry = names_.size() - 1;
  if (place(entry, hash) >= kLongProbe && !keyed_) switch_to_keyed();
  return entry;
}

size_t HeaderMap::handles_of(const NameRec& n) const noexcept {
  size_t count = n.handle != 0;
  for (uint32_t r = n.first; r != kEnd; r = values_[r].next) count += values_[r].handle != 0;
  return count;
}

void HeaderMap::drop_values(const NameRec& n) noexcept {
  for (uint32_t r = n.first; r != kEnd; r = values_[r].next) {
    ValueRec& v = values_[r];
    if (v.handle) dropped_.push_back(v.handle);
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
  const bool bytes = dead_bytes_ > 4096 && dead_bytes_ * 2 > arena_.size();
  const bool records = dead_values_ > 64 && dead_values_ * 2 > values_.size();
  if (!bytes && !records) return;
  try {
    compact();
  } catch (...) {
  }
}

void HeaderMap::compact() {
  std::string arena;
  arena.reserve(arena_.size() - dead_bytes_);
  std::vector<ValueRec> values;
  values.reserve(value_count_);
  for (NameRec& n : names_) {
    const size_t off = arena.size();
    arena.append(arena_, n.off, n.len);
    n.off = off;
    uint32_t prev = kEnd;
    for (uint32_t r = n.first; r != kEnd; r = values_[r].next) {
      const ValueRec& v = values_[r];
      const auto rec = static_cast<uint32_t>(values.size());
      values.push_back(ValueRec{arena.size(), v.len, kEnd, v.handle});
      arena.append(arena_, v.off, v.len);
      if (prev == kEnd) {
        n.first = rec;
      } else {
        values[prev].next = rec;
      }
      prev = rec;
    }
    n.last = prev;
  }
  arena_.swap(arena);
  values_.swap(values);
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
  push_field(name, hash_of(name), value, offered);
  taken = offered;
  return {};
}

void HeaderMap::push_field(const HeaderName& name, uint32_t hash, HeaderValue value, Handles offered) {
  if (names_.capacity() == 0) reserve(kFirstNames, kFirstNames, kFirstBytes);
  // The value's record first: a failure in between leaves at worst an
  // unused record, never a name without values.
  const size_t off = store(name.view());
  const uint32_t rec = push_value(value.view(), offered.value);
  const size_t entry = push_name(off, static_cast<uint32_t>(name.size()), hash, offered.name);
  link_value(names_[entry], rec);
}

HeaderMap::Status HeaderMap::store_at(size_t entry, HeaderValue value, Handles offered, Handles& taken,
                                      bool replace) {
  if (full()) return fail(MapError::Full);
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
  if (values_[rec].handle) room_for(dropped_, 1);
  const size_t n = value.size();
  if (n > values_[rec].len) {
    const size_t off = store(value.view());  // the one step that can fail
    dead_bytes_ += values_[rec].len;
    values_[rec].off = off;
  } else {
    std::memmove(arena_.data() + values_[rec].off, value.view().data(), n);
    dead_bytes_ += values_[rec].len - n;
  }
  ValueRec& v = values_[rec];
  v.len = n;
  if (v.handle) dropped_.push_back(v.handle);
  v.handle = handle;
  ++epoch_;
}

void HeaderMap::append_or_reset(size_t entry, HeaderValue value, Handle handle, bool replace) {
  // Everything that allocates comes first, so that a failure leaves the
  // map as it was.
  if (replace) room_for(dropped_, handles_of(names_[entry]));
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
  reserve(names_.size() + fields.size(), values_.size() + fields.size(), arena_.size() + bytes);
  for (const FieldView& f : fields) {
    if (full()) return fail(MapError::Full);
    // Fold the name straight into the arena; a name already present takes
    // its bytes back off the end.
    const size_t off = arena_.size();
    arena_.resize(off + f.name.size());
    uint32_t hash = copy_folded_name(f.name, arena_.data() + off);
    const std::string_view folded(arena_.data() + off, f.name.size());
    if (keyed_) hash = hash_of(HeaderName::trusted(folded, 0));
    const size_t pos = find_slot(folded, hash);
    size_t entry;
    if (pos == npos) {
      entry = push_name(off, static_cast<uint32_t>(f.name.size()), hash, 0);
    } else {
      arena_.resize(off);
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
  room_for(dropped_, handles_of(names_[hole]));  // the one step that can fail

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
  if (gone.handle) dropped_.push_back(gone.handle);
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
    arena_.clear();
    values_.clear();
    dead_bytes_ = dead_values_ = 0;
  } else {
    maybe_compact();
  }
}

void HeaderMap::clear() {
  size_t handles = 0;
  for (const NameRec& n : names_) handles += handles_of(n);
  room_for(dropped_, handles);
  for_each_handle([this](Handle h) { dropped_.push_back(h); });
  arena_.clear();
  names_.clear();
  values_.clear();
  slots_.clear();
  value_count_ = dead_bytes_ = dead_values_ = 0;
  ++epoch_;
  ++name_epoch_;
}

bool HeaderMap::same_values(size_t i, const HeaderMap& b, size_t j) const noexcept {
  if (names_[i].count != b.names_[j].count) return false;
  for (uint32_t x = names_[i].first, y = b.names_[j].first; x != kEnd; x = values_[x].next, y = b.values_[y].next) {
    if (value_bytes(x) != b.value_bytes(y)) return false;
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
    if (a.name(i) != b.name(i)) break;
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
