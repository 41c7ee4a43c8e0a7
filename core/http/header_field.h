// Header field names and values: validation and the lowercase folding of
// names. A name is 1..65535 token bytes and is always stored lowercase; a
// value is any run of tab, 32-126 and 128-255 bytes.
//
// HeaderName and HeaderValue are views that can only be made by the checks
// below (or, for bytes already known valid, by `trusted`), so whatever takes
// them -- the header map above all -- never validates twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/util/result.h"

namespace vintrel::http {

enum class FieldError : uint8_t { InvalidName, InvalidValue };

// "invalid header name", "invalid header value".
std::string_view field_error_text(FieldError error) noexcept;

inline constexpr size_t kMaxHeaderNameLength = 65535;

// The header map's default hash of a lowercase name, computed by
// fold_header_name in the same pass that folds the name. Sixteen bytes at a
// time: each block of two little-endian words (zero-padded) joins the state
// through a multiply-fold (the two halves of a 64x64->128-bit product,
// xored), and a last multiply-fold mixes in the length; a name of up to 16
// bytes takes a single multiply-fold. Well mixed in the low bits the map
// indexes by. It is unkeyed, so anyone who reads this code can search out names
// that share a home slot: the header map does not rely on it alone (see its
// flood defence in header_map.h).
namespace name_hash {
inline constexpr uint64_t kSeed = 0x9e3779b97f4a7c15ULL;
inline constexpr uint64_t kA = 0xa0761d6478bd642fULL;
inline constexpr uint64_t kB = 0xe7037ed1a0b428dbULL;
inline constexpr uint64_t kC = 0x8ebc6af09c88c6e3ULL;

constexpr uint64_t mulfold(uint64_t x, uint64_t y) noexcept {
#ifdef __SIZEOF_INT128__
  const unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
#else
  const uint64_t xl = x & 0xffffffffu, xh = x >> 32, yl = y & 0xffffffffu, yh = y >> 32;
  const uint64_t ll = xl * yl, lh = xl * yh, hl = xh * yl, hh = xh * yh;
  const uint64_t mid = (ll >> 32) + (lh & 0xffffffffu) + (hl & 0xffffffffu);
  const uint64_t lo = (mid << 32) | (ll & 0xffffffffu);
  const uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
  return lo ^ hi;
#endif
}

// The little-endian word of the n <= 8 bytes at p, zero-padded.
constexpr uint64_t word(const char* p, size_t n) noexcept {
  uint64_t v = 0;
  for (size_t i = n; i > 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i - 1]);
  return v;
}

constexpr uint64_t block(uint64_t h, uint64_t lo, uint64_t hi) noexcept {
  return mulfold(lo ^ kA ^ h, hi ^ kB);
}

constexpr uint64_t finish(uint64_t h, size_t n) noexcept {
  return mulfold(h ^ kC, static_cast<uint64_t>(n) ^ kSeed);
}

// A name of at most 16 bytes (nearly every name) takes one multiply-fold,
// with the length in the top byte of the high word (which holds at most
// seven name bytes unless the name is exactly 16 long).
constexpr uint64_t short_name(uint64_t lo, uint64_t hi, size_t n) noexcept {
  return mulfold(lo ^ kA ^ kSeed, hi ^ kB ^ (static_cast<uint64_t>(n) << 56));
}
}  // namespace name_hash

// The hash the map indexes by: the low 32 bits of the fold (the map uses at
// most 15 bits for a home slot, and compares whole 32-bit hashes before it
// compares names).
constexpr uint32_t fast_name_hash(std::string_view bytes) noexcept {
  const size_t n = bytes.size();
  if (n <= 16) {
    const uint64_t lo = name_hash::word(bytes.data(), n < 8 ? n : 8);
    const uint64_t hi = n > 8 ? name_hash::word(bytes.data() + 8, n - 8) : 0;
    return static_cast<uint32_t>(name_hash::short_name(lo, hi, n));
  }
  uint64_t h = name_hash::kSeed;
  for (size_t i = 0; i < bytes.size(); i += 16) {
    const size_t left = bytes.size() - i;
    const uint64_t lo = name_hash::word(bytes.data() + i, left < 8 ? left : 8);
    const uint64_t hi = left > 8 ? name_hash::word(bytes.data() + i + 8, left < 16 ? left - 8 : 8) : 0;
    h = name_hash::block(h, lo, hi);
  }
  return static_cast<uint32_t>(name_hash::finish(h, bytes.size()));
}

// A valid, lowercase header name with its hash, computed once when the name
// is made. Sixteen bytes (pointer, length, hash), so it travels in two
// registers. The bytes belong to someone else (the input, a NameScratch,
// the map). A default-made name is the "invalid" result of
// fold_header_name: it has no bytes (every valid name has at least one).
class HeaderName {
 public:
  constexpr HeaderName() noexcept = default;
  // For bytes already known to be a valid lowercase name (the HPACK
  // decoder's table, a name read back from a map).
  static constexpr HeaderName trusted(std::string_view lower) noexcept {
    return HeaderName(lower, fast_name_hash(lower));
  }
  // The same with its fast_name_hash already known.
  static constexpr HeaderName trusted(std::string_view lower, uint32_t hash) noexcept {
    return HeaderName(lower, hash);
  }
  constexpr bool valid() const noexcept { return size_ != 0; }
  constexpr std::string_view view() const noexcept { return {data_, size_}; }
  constexpr size_t size() const noexcept { return size_; }
  constexpr const char* data() const noexcept { return data_; }
  // fast_name_hash(view()).
  constexpr uint32_t fast_hash() const noexcept { return hash_; }
  friend constexpr bool operator==(const HeaderName& a, const HeaderName& b) noexcept {
    return a.view() == b.view();
  }

 private:
  // Names are at most kMaxHeaderNameLength bytes: the length fits 32 bits.
  constexpr HeaderName(std::string_view text, uint32_t hash) noexcept
      : data_(text.data()), size_(static_cast<uint32_t>(text.size())), hash_(hash) {}
  const char* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t hash_ = 0;
};

// A valid header value; the view points into someone else's storage.
class HeaderValue {
 public:
  static constexpr HeaderValue trusted(std::string_view bytes) noexcept { return HeaderValue(bytes); }
  constexpr std::string_view view() const noexcept { return bytes_; }
  constexpr size_t size() const noexcept { return bytes_.size(); }

 private:
  constexpr explicit HeaderValue(std::string_view bytes) noexcept : bytes_(bytes) {}
  std::string_view bytes_;
};

// Room for folding a name that is not yet lowercase: names up to
// kInline bytes fold into the object itself (on the caller's stack); longer
// ones into a heap buffer that is kept for reuse.
class NameScratch {
 public:
  static constexpr size_t kInline = 256;
  char* reserve(size_t n);

 private:
  char inline_[kInline];
  std::string heap_;
};

// The one-pass check: validates `raw` and reports whether it is already
// lowercase, so that codecs can use their own bytes without copying.
enum class NameShape : uint8_t { Invalid, Lower, Mixed };
NameShape name_shape(std::string_view raw) noexcept;

// Validates and folds `raw` (and hashes it on the way). The result views
// `raw` itself when it is already lowercase (no copy at all), otherwise the
// folded bytes in `scratch`, which must outlive the result. An invalid name
// gives a name that is not valid(); the hot paths use this form, whose
// result comes back in registers.
HeaderName fold_header_name(std::string_view raw, NameScratch& scratch);

inline Result<HeaderName, FieldError> parse_header_name(std::string_view raw, NameScratch& scratch) {
  const HeaderName name = fold_header_name(raw, scratch);
  if (!name.valid()) return fail(FieldError::InvalidName);
  return name;
}

// Copies the n bytes of the valid name `raw` to `out` folded to lowercase,
// and returns the fast_name_hash of the folded bytes. For bytes already
// checked (a parsed head); `out` has room for exactly n bytes.
uint32_t copy_folded_name(std::string_view raw, char* out) noexcept;

bool is_valid_header_value(std::string_view raw) noexcept;
Result<HeaderValue, FieldError> parse_header_value(std::string_view raw) noexcept;

}  // namespace vintrel::http
