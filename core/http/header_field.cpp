#include "core/http/header_field.h"

#include <bit>
#include <cstring>

#include "core/http/chars.h"

// The per-block helpers sit on the hot path of every header lookup: keep
// them in their callers' registers.
#if defined(__GNUC__)
#define VINTREL_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define VINTREL_INLINE __forceinline
#else
#define VINTREL_INLINE inline
#endif

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define VINTREL_HAVE_SSE2 1
#else
#define VINTREL_HAVE_SSE2 0
#endif

namespace vintrel::http {

namespace {

using chars::kFieldValue;
using chars::kLowerToken;

// Names travel through the folding as little-endian 64-bit words, as the
// hash reads them.
static_assert(std::endian::native == std::endian::little, "header name folding assumes little-endian");

VINTREL_INLINE uint64_t load8(const char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

VINTREL_INLINE uint64_t load4(const char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The n <= 16 bytes at p as two zero-padded words, read with whole (and
// where needed overlapping) loads that never leave [p, p + n): no byte
// loop, and no partial stores to reload.
VINTREL_INLINE void load_block(const char* p, size_t n, uint64_t w[2]) noexcept {
  if (n >= 8) {
    w[0] = load8(p);
    w[1] = n == 8 ? 0 : load8(p + n - 8) >> (8 * (16 - n));
  } else if (n >= 4) {
    w[0] = load4(p) | (load4(p + n - 4) << (8 * (n - 4)));
    w[1] = 0;
  } else {
    const auto b = [p](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(p[i])); };
    w[0] = b(0) | (b(n / 2) << (8 * (n / 2))) | (b(n - 1) << (8 * (n - 1)));
    w[1] = 0;
  }
}

// Folds the n bytes of a block with one table lookup per byte; a zero entry
// marks a byte that is not a token character. Returns whether every byte
// was valid.
bool fold_block_table(uint64_t w[2], size_t n, unsigned* diff) noexcept {
  uint8_t blk[16];
  std::memcpy(blk, w, 16);
  unsigned bad = 0;
  for (size_t j = 0; j < n; ++j) {
    const uint8_t b = blk[j];
    const uint8_t t = kLowerToken[b];
    bad |= (t == 0);
    *diff |= static_cast<unsigned>(t ^ b);
    blk[j] = t;
  }
  std::memcpy(w, blk, 16);
  return bad == 0;
}

#if VINTREL_HAVE_SSE2
// The common case, sixteen bytes at once: every byte a letter, a digit or
// '-' (nearly every real header name); uppercase letters gain 0x20. Returns
// false, leaving the block as it was, when some byte is outside that set.
VINTREL_INLINE bool fold_block_simd(uint64_t w[2], size_t n, unsigned* diff) noexcept {
  const __m128i v = _mm_set_epi64x(static_cast<long long>(w[1]), static_cast<long long>(w[0]));
  // Signed compares: bytes 128-255 read as negative and fall outside every
  // range below.
  auto in_range = [v](char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
  };
  const __m128i upper = in_range('A', 'Z');
  const __m128i ok = _mm_or_si128(_mm_or_si128(in_range('a', 'z'), upper),
                                  _mm_or_si128(in_range('0', '9'), _mm_cmpeq_epi8(v, _mm_set1_epi8('-'))));
  const unsigned want = n == 16 ? 0xffffu : (1u << n) - 1;
  if ((static_cast<unsigned>(_mm_movemask_epi8(ok)) & want) != want) return false;
  *diff |= static_cast<unsigned>(_mm_movemask_epi8(upper)) & want;
  const __m128i folded = _mm_or_si128(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
  w[0] = static_cast<uint64_t>(_mm_cvtsi128_si64(folded));
  w[1] = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(folded, folded)));
  return true;
}
#endif

// Folds one block: the vector path when it applies, the table otherwise.
VINTREL_INLINE bool fold_block(uint64_t w[2], size_t n, unsigned* diff) noexcept {
#if VINTREL_HAVE_SSE2
  if (fold_block_simd(w, n, diff)) return true;
#endif
  return fold_block_table(w, n, diff);
}

// Folds the n bytes of `in` into `out`, sixteen at a time, and hashes the
// folded bytes on the way (fast_name_hash). `out` has room for n rounded up
// to a multiple of 16 (whole blocks are stored). Returns whether every byte
// was valid; `changed` tells whether folding altered anything.
bool fold_into(const char* in, size_t n, char* out, bool* changed, uint32_t* hash) noexcept {
  bool valid = true;
  unsigned diff = 0;
  uint64_t h = name_hash::kSeed;
  for (size_t i = 0; i < n; i += 16) {
    const size_t len = n - i < 16 ? n - i : 16;
    uint64_t w[2];
    load_block(in + i, len, w);
    valid &= fold_block(w, len, &diff);
    std::memcpy(out + i, w, 16);
    h = name_hash::block(h, w[0], w[1]);
  }
  *changed = diff != 0;
  *hash = static_cast<uint32_t>(name_hash::finish(h, n));
  return valid;
}

// Room that fold_into needs for n bytes.
constexpr size_t fold_room(size_t n) noexcept { return (n + 15) & ~size_t{15}; }

bool length_ok(size_t n) noexcept { return n != 0 && n <= kMaxHeaderNameLength; }

}  // namespace

std::string_view field_error_text(FieldError error) noexcept {
  return error == FieldError::InvalidName ? "invalid header name" : "invalid header value";
}

char* NameScratch::reserve(size_t n) {
  // kInline is a multiple of 16, so fold_into's whole blocks fit.
  if (n <= kInline) return inline_;
  heap_.resize(fold_room(n));
  return heap_.data();
}

NameShape name_shape(std::string_view raw) noexcept {
  if (!length_ok(raw.size())) return NameShape::Invalid;
  unsigned bad = 0;
  unsigned diff = 0;
  for (const char c : raw) {
    const auto b = static_cast<uint8_t>(c);
    const uint8_t t = kLowerToken[b];
    bad |= (t == 0);
    diff |= static_cast<unsigned>(t ^ b);
  }
  if (bad != 0) return NameShape::Invalid;
  return diff == 0 ? NameShape::Lower : NameShape::Mixed;
}

HeaderName fold_header_name(std::string_view raw, NameScratch& scratch) {
  if (!length_ok(raw.size())) return {};
  const size_t n = raw.size();
  if (n <= 16) {
    // Most names are one block: fold and hash it in registers, and touch
    // the scratch only when folding changed something.
    uint64_t w[2];
    load_block(raw.data(), n, w);
    unsigned diff = 0;
    if (!fold_block(w, n, &diff)) return {};
    const auto hash = static_cast<uint32_t>(name_hash::short_name(w[0], w[1], n));
    if (diff == 0) return HeaderName::trusted(raw, hash);
    char* out = scratch.reserve(16);
    std::memcpy(out, w, 16);
    return HeaderName::trusted(std::string_view(out, n), hash);
  }
  if (n <= NameScratch::kInline) {
    // Short names (nearly all of them): one pass into the inline buffer.
    char* out = scratch.reserve(n);
    bool changed = false;
    uint32_t hash = 0;
    if (!fold_into(raw.data(), n, out, &changed, &hash)) return {};
    return HeaderName::trusted(changed ? std::string_view(out, n) : raw, hash);
  }
  // Long names: check first, so that a lowercase one costs no allocation.
  switch (name_shape(raw)) {
    case NameShape::Invalid:
      return {};
    case NameShape::Lower:
      return HeaderName::trusted(raw);
    case NameShape::Mixed:
      break;
  }
  char* out = scratch.reserve(n);
  bool changed = false;
  uint32_t hash = 0;
  (void)fold_into(raw.data(), n, out, &changed, &hash);
  return HeaderName::trusted(std::string_view(out, n), hash);
}

uint32_t copy_folded_name(std::string_view raw, char* out) noexcept {
  const size_t n = raw.size();
  if (n <= 16) {
    uint64_t w[2];
    load_block(raw.data(), n, w);
    unsigned diff = 0;
    (void)fold_block(w, n, &diff);
    std::memcpy(out, w, n);
    return static_cast<uint32_t>(name_hash::short_name(w[0], w[1], n));
  }
  uint64_t h = name_hash::kSeed;
  for (size_t i = 0; i < n; i += 16) {
    const size_t len = n - i < 16 ? n - i : 16;
    uint64_t w[2];
    load_block(raw.data() + i, len, w);
    unsigned diff = 0;
    (void)fold_block(w, len, &diff);
    std::memcpy(out + i, w, len);
    h = name_hash::block(h, w[0], w[1]);
  }
  return static_cast<uint32_t>(name_hash::finish(h, n));
}

namespace {

bool valid_value_bytes(const char* p, size_t n) noexcept {
  unsigned bad = 0;
  for (size_t i = 0; i < n; ++i) bad |= !kFieldValue[static_cast<uint8_t>(p[i])];
  return bad == 0;
}

// Whether some byte of the word is below 0x20 or is DEL (127): exact for
// the word as a whole (a borrow can only spread from a byte that already
// qualifies). Tab, the one valid byte below 0x20, needs the byte check.
VINTREL_INLINE bool word_suspect(uint64_t x) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  const uint64_t below = (x - kOnes * 0x20) & ~x & kHigh;
  const uint64_t del = x ^ (kOnes * 0x7f);
  return ((below | ((del - kOnes) & ~del & kHigh))) != 0;
}

}  // namespace

#if VINTREL_HAVE_SSE2
namespace {

// The lanes of a 16-byte block (the first n of them) that hold an invalid
// value byte: below 0x20 but not a tab, or DEL.
VINTREL_INLINE unsigned bad_value_lanes(__m128i v, size_t n) noexcept {
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);  // v <= 0x1f
  const __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
  const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f));
  const __m128i bad = _mm_or_si128(_mm_andnot_si128(tab, control), del);
  const unsigned lanes = n >= 16 ? 0xffffu : (1u << n) - 1;
  return static_cast<unsigned>(_mm_movemask_epi8(bad)) & lanes;
}

}  // namespace
#endif

// Sixteen bytes at a time with SSE2 (a short value read with loads that
// stay inside it), else eight at a time, where a word that holds a control
// byte (a tab, or an invalid byte) is settled byte by byte.
bool is_valid_header_value(std::string_view raw) noexcept {
  const char* p = raw.data();
  const size_t n = raw.size();
#if VINTREL_HAVE_SSE2
  if (n <= 16) {
    if (n == 0) return true;
    uint64_t w[2];
    load_block(p, n, w);
    const __m128i v = _mm_set_epi64x(static_cast<long long>(w[1]), static_cast<long long>(w[0]));
    return bad_value_lanes(v, n) == 0;
  }
  for (size_t i = 0; i + 16 <= n; i += 16) {
    if (bad_value_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), 16) != 0) return false;
  }
  return bad_value_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)), 16) == 0;
#endif
  if (n < 8) return valid_value_bytes(p, n);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    if (word_suspect(load8(p + i)) && !valid_value_bytes(p + i, 8)) return false;
  }
  return (n % 8 == 0) || !word_suspect(load8(p + n - 8)) || valid_value_bytes(p + n - 8, 8);
}

Result<HeaderValue, FieldError> parse_header_value(std::string_view raw) noexcept {
  if (!is_valid_header_value(raw)) return fail(FieldError::InvalidValue);
  return HeaderValue::trusted(raw);
}

}  // namespace vintrel::http
