#include "core/http/header_map.h"

#include <chrono>
#include <cstring>
#include <random>

namespace vintrel::http {

namespace {

constexpr size_t kNpos = static_cast<size_t>(-1);
constexpr size_t kFirstSlots = 8;

// The key of the flood-resistant hash: drawn once per process, never
// exposed. Should the platform have no random device, the key still comes
// from values an outside peer cannot see (addresses under ASLR, the clock).
const SipKey& process_key() noexcept {
  static const SipKey key = []() noexcept {
    SipKey k{0, 0};
    try {
      std::random_device rd;
      k.k0 = (static_cast<uint64_t>(rd()) << 32) ^ rd();
      k.k1 = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
      static int anchor;
      const auto now = static_cast<uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count());
      k.k0 = siphash13({now, reinterpret_cast<uintptr_t>(&anchor)}, "k0");
      k.k1 = siphash13({reinterpret_cast<uintptr_t>(&k), now}, "k1");
    }
    return k;
  }();
  return key;
}

// Equality of a stored name and a probe of the same hash: names are short,
// so whole-word compares beat a call into memcmp.
bool same_name(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
  uint64_t x[2], y[2];
  if (n >= 8) {
    std::memcpy(&x[0], a.data(), 8);
    std::memcpy(&y[0], b.data(), 8);
    std::memcpy(&x[1], a.data() + n - 8, 8);
    std::memcpy(&y[1], b.data() + n - 8, 8);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
  return std::memcmp(a.data(), b.data(), n) == 0;
}

uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

uint64_t load_le64(const char* p) noexcept {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

}  // namespace

std::string_view map_error_text(MapError) noexcept {
  return "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";
}

uint64_t siphash13(const SipKey& key, std::string_view bytes) noexcept {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const char* p = bytes.data();
  const size_t n = bytes.size();
  const size_t whole = n & ~static_cast<size_t>(7);
  for (size_t i = 0; i < whole; i += 8) {
    const uint64_t m = load_le64(p + i);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(n) << 56;
  for (size_t i = whole; i < n; ++i) last |= static_cast<uint64_t>(static_cast<uint8_t>(p[i])) << (8 * (i - whole));
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// ---------------------------------------------------------------- index

inline uint64_t HeaderMap::hash_of(HeaderName name) const noexcept {
  return keyed_ ? siphash13(process_key(), name.view()) : name.fast_hash();
}

size_t HeaderMap::find_slot(std::string_view name, uint64_t hash) const noexcept {
  if (slots_.empty()) return kNpos;
  const auto tag = static_cast<uint16_t>(hash);
  size_t pos = home(hash);
  uint64_t probes = 0;
  size_t result = kNpos;
  for (size_t dist = 0;; ++dist, pos = (pos + 1) & mask()) {
    ++probes;
    const Slot s = slots_[pos];
    // An empty slot, or one nearer its home than we are from ours, ends the
    // search: robin hood placement would have put the name before it.
    if (s == 0 || distance(s, pos) < dist) break;
    if ((s >> 16) == tag) {
      const Entry& e = entries_[(s & 0xffff) - 1];
      if (e.hash == hash && same_name(e.name, name)) {
        result = pos;
        break;
      }
    }
  }
  probes_.add(probes);
  return result;
}

size_t HeaderMap::slot_of_entry(size_t entry, uint64_t hash) const noexcept {
  size_t pos = home(hash);
  const Slot want = static_cast<Slot>(entry + 1);
  uint64_t probes = 1;
  while ((slots_[pos] & 0xffff) != want) {
    pos = (pos + 1) & mask();
    ++probes;
  }
  probes_.add(probes);
  return pos;
}

size_t HeaderMap::place(size_t entry, uint64_t hash) noexcept {
  Slot carry = static_cast<Slot>(entry + 1) | (static_cast<Slot>(static_cast<uint16_t>(hash)) << 16);
  size_t pos = home(hash);
  size_t dist = 0;
  size_t touched = 0;
  for (;; pos = (pos + 1) & mask(), ++dist) {
    ++touched;
    Slot& s = slots_[pos];
    if (s == 0) {
      s = carry;
      break;
    }
    const size_t d = distance(s, pos);
    if (d < dist) {
      std::swap(s, carry);
      dist = d;
    }
  }
  probes_.add(touched);
  return touched;
}

void HeaderMap::rebuild(size_t slot_count) {
  slots_.assign(slot_count, 0);
  for (size_t i = 0; i < entries_.size(); ++i) (void)place(i, entries_[i].hash);
}

void HeaderMap::switch_to_keyed() {
  keyed_ = true;
  for (Entry& e : entries_) e.hash = hash_of(HeaderName::trusted(e.name));
  rebuild(slots_.size());
}

HeaderMap::Entry& HeaderMap::push_entry(std::string_view name, uint64_t hash,
                                        std::string_view value) {
  // Grow before the index passes three quarters full.
  const size_t need = entries_.size() + 1;
  if (need * 4 > slots_.size() * 3) rebuild(slots_.empty() ? kFirstSlots : slots_.size() * 2);
  entries_.push_back(Entry{std::string(name), ValueList(value), hash});
  ++value_count_;
  const size_t touched = place(entries_.size() - 1, hash);
  if (touched >= kLongProbe && !keyed_) switch_to_keyed();
  return entries_[entries_.size() - 1];
}

// ---------------------------------------------------------------- operations

const HeaderMap::Entry* HeaderMap::find(HeaderName name) const noexcept {
  const size_t pos = find_slot(name.view(), hash_of(name));
  return pos == kNpos ? nullptr : &entries_[(slots_[pos] & 0xffff) - 1];
}

std::optional<std::string_view> HeaderMap::get(HeaderName name) const noexcept {
  const Entry* e = find(name);
  if (e == nullptr) return std::nullopt;
  return e->values.front();
}

const ValueList* HeaderMap::get_all(HeaderName name) const noexcept {
  const Entry* e = find(name);
  return e ? &e->values : nullptr;
}

HeaderMap::Status HeaderMap::append(HeaderName name, HeaderValue value) {
  if (full()) return fail(MapError::Full);
  const uint64_t hash = hash_of(name);
  const size_t pos = find_slot(name.view(), hash);
  if (pos != kNpos) {
    entries_[(slots_[pos] & 0xffff) - 1].values.push_back(value.view());
    ++value_count_;
  } else {
    push_entry(name.view(), hash, value.view());
  }
  return {};
}

HeaderMap::Status HeaderMap::replace(HeaderName name, HeaderValue value) {
  if (full()) return fail(MapError::Full);
  const uint64_t hash = hash_of(name);
  const size_t pos = find_slot(name.view(), hash);
  if (pos != kNpos) {
    ValueList& values = entries_[(slots_[pos] & 0xffff) - 1].values;
    value_count_ = value_count_ - values.size() + 1;
    values.reset(value.view());
  } else {
    push_entry(name.view(), hash, value.view());
  }
  return {};
}

Result<std::string_view, MapError> HeaderMap::setdefault(HeaderName name, HeaderValue value) {
  const uint64_t hash = hash_of(name);
  const size_t pos = find_slot(name.view(), hash);
  if (pos != kNpos) return entries_[(slots_[pos] & 0xffff) - 1].values.front();
  if (full()) return fail(MapError::Full);
  return push_entry(name.view(), hash, value.view()).values.front();
}

bool HeaderMap::remove(HeaderName name) noexcept {
  size_t pos = find_slot(name.view(), hash_of(name));
  if (pos == kNpos) return false;
  const size_t hole = (slots_[pos] & 0xffff) - 1;

  // Backward-shift deletion: pull the following run one slot nearer home
  // until an empty slot or one already at home.
  uint64_t probes = 0;
  for (size_t next = (pos + 1) & mask();; pos = next, next = (next + 1) & mask()) {
    ++probes;
    const Slot s = slots_[next];
    if (s == 0 || distance(s, next) == 0) {
      slots_[pos] = 0;
      break;
    }
    slots_[pos] = s;
  }
  probes_.add(probes);

  // The last entry moves into the hole; its slot follows it.
  value_count_ -= entries_[hole].values.size();
  const size_t last = entries_.size() - 1;
  if (hole != last) {
    const size_t moved = slot_of_entry(last, entries_[last].hash);
    slots_[moved] = (slots_[moved] & 0xffff0000u) | static_cast<Slot>(hole + 1);
    entries_[hole] = std::move(entries_[last]);
  }
  entries_.pop_back();
  return true;
}

void HeaderMap::clear() noexcept {
  entries_.clear();
  slots_.clear();
  value_count_ = 0;
}

bool operator==(const HeaderMap& a, const HeaderMap& b) noexcept {
  if (a.value_count_ != b.value_count_ || a.entries_.size() != b.entries_.size()) return false;
  for (const HeaderMap::Entry& e : a.entries_) {
    const HeaderMap::Entry* other = b.find(HeaderName::trusted(e.name));
    if (other == nullptr || !(other->values == e.values)) return false;
  }
  return true;
}

}  // namespace vintrel::http
