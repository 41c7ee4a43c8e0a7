#include "core/http2/hpack/encoder.h"

#include <cstring>

#include "core/http2/hpack/huffman.h"
#include "core/http2/hpack/integer.h"
#include "core/http2/hpack/static_table.h"

namespace vintrel::h2::hpack {
namespace {

// Static table lookups by name: an open-addressing table over the name
// hashes of the regular names, built at compile time.
struct StaticSlot {
  uint64_t hash;
  uint8_t index;  // 0: empty
};
constexpr size_t kStaticSlots = 128;
constexpr std::array<StaticSlot, kStaticSlots> kStaticNames = [] {
  std::array<StaticSlot, kStaticSlots> t{};
  for (size_t i = 0; i < kStaticTableSize; ++i) {
    const DecodedHeader& h = kStaticTable[i];
    if (h.is_pseudo()) continue;
    const uint64_t hash = name_hash(h.name);
    size_t at = hash & (kStaticSlots - 1);
    while (t[at].index != 0) at = (at + 1) & (kStaticSlots - 1);
    t[at] = StaticSlot{hash, static_cast<uint8_t>(i + 1)};
  }
  return t;
}();

uint32_t static_field_name(std::string_view name, uint64_t hash) noexcept {
  for (size_t at = hash & (kStaticSlots - 1);; at = (at + 1) & (kStaticSlots - 1)) {
    const StaticSlot s = kStaticNames[at];
    if (s.index == 0) return 0;
    if (s.hash == hash && kStaticTable[s.index - 1u].name == name) return s.index;
  }
}

struct StaticMatch {
  uint32_t full = 0;  // index of the entry with this name and value
  uint32_t name = 0;  // index of an entry with this name
};

StaticMatch static_match(const DecodedHeader& h, uint64_t hash) noexcept {
  switch (h.kind) {
    case HeaderKind::Method:
      return {h.value == "GET" ? 2u : h.value == "POST" ? 3u : 0u, 2};
    case HeaderKind::Scheme:
      return {h.value == "http" ? 6u : h.value == "https" ? 7u : 0u, 6};
    case HeaderKind::Path:
      return {h.value == "/" ? 4u : h.value == "/index.html" ? 5u : 0u, 4};
    case HeaderKind::Authority:
      return {0, 1};
    case HeaderKind::Protocol:
      return {0, 0};
    case HeaderKind::Status:
      for (uint32_t i = 8; i <= 14; ++i) {
        if (kStaticTable[i - 1].value == h.value) return {i, 8};
      }
      return {0, 8};
    case HeaderKind::Field:
      break;
  }
  const uint32_t name = static_field_name(h.name, hash);
  return {name == 16 && h.value == "gzip, deflate" ? 16u : 0u, name};
}

// Values of :path and of these static names never enter the table: they
// are secrets, or change with nearly every message. age 21, authorization
// 23, content-length 28, cookie 32, etag 34, if-modified-since 40,
// if-none-match 41, location 46, set-cookie 55.
constexpr uint64_t kSkipNames = 1ull << 21 | 1ull << 23 | 1ull << 28 | 1ull << 32 | 1ull << 34 | 1ull << 40 |
                                1ull << 41 | 1ull << 46 | 1ull << 55;

bool skips_table(const DecodedHeader& h, uint32_t static_name) noexcept {
  if (h.kind == HeaderKind::Path) return true;
  return h.kind == HeaderKind::Field && ((kSkipNames >> static_name) & 1u) != 0;
}

// Every non-empty string is Huffman coded, shorter or not. The code is
// written first, after room for a one-octet length; a length of 127 or more
// takes more octets, and the code moves up behind them.
void append_string(std::string& out, std::string_view s) {
  if (s.empty()) {
    out.push_back('\0');
    return;
  }
  const size_t at = out.size();
  out.resize(at + 1 + huffman::encode_room(s.size()));
  const size_t coded = huffman::encode(s, out.data() + at + 1);
  const size_t prefix = integer_length(7, coded);
  if (prefix > 1) {
    if (out.size() < at + prefix + coded) out.resize(at + prefix + coded);
    std::memmove(out.data() + at + prefix, out.data() + at + 1, coded);
  }
  encode_integer(out.data() + at, 0x80, 7, coded);
  out.resize(at + prefix + coded);
}

// A literal: the name by index (0x40/6 bits with indexing, 0x00/4 bits
// without), or a literal name after the bare pattern octet.
void append_literal(std::string& out, bool indexing, uint32_t name_index, std::string_view name,
                    std::string_view value) {
  const uint8_t pattern = indexing ? 0x40 : 0x00;
  if (name_index != 0) {
    append_integer(out, pattern, indexing ? 6 : 4, name_index);
  } else {
    out.push_back(static_cast<char>(pattern));
    append_string(out, name);
  }
  append_string(out, value);
}

constexpr uint32_t kFirstDynamic = kStaticTableSize + 1;

}  // namespace

std::string_view encode_error_text(EncodeError) noexcept {
  return "encoding header without name, but no previous index to use for name";
}

void HpackEncoder::update_max_size(size_t v) noexcept {
  switch (pending_) {
    case Pending::None:
      if (v != max_size_) {
        pending_ = Pending::One;
        pending_first_ = v;
      }
      return;
    case Pending::One:
      if (v > pending_first_ && pending_first_ <= max_size_) {
        // The table must still shrink to the first value before it grows.
        pending_ = Pending::Pair;
        pending_last_ = v;
      } else {
        pending_first_ = v;
      }
      return;
    case Pending::Pair:
      if (v < pending_first_) {
        pending_ = Pending::One;
        pending_first_ = v;
      } else {
        pending_last_ = v;
      }
      return;
  }
}

void HpackEncoder::evict_oldest() noexcept {
  index_.remove_oldest(table_);
  table_.pop_oldest();
}

void HpackEncoder::resize(size_t max_size) noexcept {
  max_size_ = max_size;
  if (max_size == 0) {
    table_.clear();
    index_.clear();
    return;
  }
  while (table_.size() > max_size_) evict_oldest();
}

void HpackEncoder::insert(const DecodedHeader& h, uint64_t hash) {
  // The caller keeps every entry within three quarters of the maximum, so
  // it fits once the oldest entries are gone.
  while (table_.size() + h.entry_size() > max_size_) evict_oldest();
  table_.push(h);
  index_.add(table_, hash);
}

uint32_t HpackEncoder::encode_named(const DecodedHeader& h, std::string& out) {
  const uint64_t hash = name_hash(h.name);
  const StaticMatch st = static_match(h, hash);
  if (st.full != 0) {
    append_integer(out, 0x80, 7, st.full);
    return st.full;
  }
  // Entries above three quarters of the maximum would flush most of the
  // table for one header (with a maximum of 0, every header is one).
  if (skips_table(h, st.name) || 4 * h.entry_size() > 3 * max_size_) {
    append_literal(out, false, st.name, h.name, h.value);
    return st.name;
  }
  uint32_t name_ref = st.name;
  const uint64_t newest = index_.newest(table_, h.name, hash);
  if (newest != NameIndex::kNone) {
    for (uint64_t s = newest; s != NameIndex::kNone; s = index_.older(table_, s)) {
      const size_t pos = table_.position(s);
      if (table_.get(pos).value == h.value) {
        const auto index = static_cast<uint32_t>(kFirstDynamic + pos);
        append_integer(out, 0x80, 7, index);
        return index;
      }
    }
    if (name_ref == 0) name_ref = static_cast<uint32_t>(kFirstDynamic + table_.position(newest));
  }
  // The name index is taken before the insertion, as the peer resolves it.
  append_literal(out, true, name_ref, h.name, h.value);
  insert(h, hash);
  return kFirstDynamic;
}

Result<void, EncodeError> HpackEncoder::encode_block(std::span<const DecodedHeader> headers, std::string& out) {
  for (size_t i = 0; i < headers.size(); ++i) {
    const DecodedHeader& h = headers[i];
    if (h.kind == HeaderKind::Field && h.name.empty() &&
        (i == 0 || headers[i - 1].kind != HeaderKind::Field)) {
      return fail(EncodeError::MissingName);
    }
  }
  if (pending_ != Pending::None) {
    resize(pending_first_);
    append_integer(out, 0x20, 5, pending_first_);
    if (pending_ == Pending::Pair) {
      resize(pending_last_);
      append_integer(out, 0x20, 5, pending_last_);
    }
    pending_ = Pending::None;
  }
  uint32_t previous_ref = 0;
  std::string_view previous_name;
  for (const DecodedHeader& given : headers) {
    if (given.kind == HeaderKind::Field && given.name.empty()) {
      // A later value of the previous name: never inserted.
      append_literal(out, false, previous_ref, previous_name, given.value);
      continue;
    }
    DecodedHeader h = given;
    if (h.is_pseudo()) h.name = pseudo_name(h.kind);
    previous_ref = encode_named(h, out);
    previous_name = h.name;
  }
  return {};
}

}  // namespace vintrel::h2::hpack
