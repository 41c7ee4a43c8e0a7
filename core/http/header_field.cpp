#include "core/http/header_field.h"

#include "core/http/chars.h"

namespace vintrel::http {

namespace {

using chars::kFieldValue;
using chars::kLowerToken;

// Folds `n` bytes of `in` into `out` with one table lookup per byte; a zero
// entry marks a byte that is not a token character. Branch-free per byte.
// Returns whether every byte was valid; `changed` tells whether folding
// altered anything.
// Also hashes the folded bytes (fast_name_hash): the table lookups overlap
// the four multiply chains, so the hash comes almost for free.
bool fold_into(const char* in, size_t n, char* out, bool* changed, uint64_t* hash) noexcept {
  // Plain locals and byte-typed stores (not char): the compiler keeps the
  // lanes in registers instead of reloading them after every store.
  auto* dst = reinterpret_cast<uint8_t*>(out);
  const auto* src = reinterpret_cast<const uint8_t*>(in);
  unsigned bad = 0;
  unsigned diff = 0;
  uint64_t l0 = kFnvOffset, l1 = kFnvOffset, l2 = kFnvOffset, l3 = kFnvOffset;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint8_t b0 = src[i], b1 = src[i + 1], b2 = src[i + 2], b3 = src[i + 3];
    const uint8_t t0 = kLowerToken[b0], t1 = kLowerToken[b1], t2 = kLowerToken[b2], t3 = kLowerToken[b3];
    bad |= static_cast<unsigned>((t0 == 0) | (t1 == 0) | (t2 == 0) | (t3 == 0));
    diff |= static_cast<unsigned>((t0 ^ b0) | (t1 ^ b1) | (t2 ^ b2) | (t3 ^ b3));
    l0 = fnv_step(l0, t0);
    l1 = fnv_step(l1, t1);
    l2 = fnv_step(l2, t2);
    l3 = fnv_step(l3, t3);
    dst[i] = t0;
    dst[i + 1] = t1;
    dst[i + 2] = t2;
    dst[i + 3] = t3;
  }
  for (unsigned j = 0; i < n; ++i, ++j) {
    const uint8_t b = src[i];
    const uint8_t t = kLowerToken[b];
    bad |= (t == 0);
    diff |= static_cast<unsigned>(t ^ b);
    dst[i] = t;
    if (j == 0) l0 = fnv_step(l0, t);
    else if (j == 1) l1 = fnv_step(l1, t);
    else l2 = fnv_step(l2, t);
  }
  const uint64_t lanes[4] = {l0, l1, l2, l3};
  *changed = diff != 0;
  *hash = fnv_join(lanes);
  return bad == 0;
}

bool length_ok(size_t n) noexcept { return n != 0 && n <= kMaxHeaderNameLength; }

}  // namespace

std::string_view field_error_text(FieldError error) noexcept {
  return error == FieldError::InvalidName ? "invalid header name" : "invalid header value";
}

char* NameScratch::reserve(size_t n) {
  if (n <= kInline) return inline_;
  heap_.resize(n);
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

Result<HeaderName, FieldError> parse_header_name(std::string_view raw, NameScratch& scratch) {
  if (!length_ok(raw.size())) return fail(FieldError::InvalidName);
  if (raw.size() <= NameScratch::kInline) {
    // Short names (nearly all of them): one pass into the inline buffer.
    char* out = scratch.reserve(raw.size());
    bool changed = false;
    uint64_t hash = 0;
    if (!fold_into(raw.data(), raw.size(), out, &changed, &hash)) return fail(FieldError::InvalidName);
    return HeaderName(changed ? std::string_view(out, raw.size()) : raw, hash, true);
  }
  // Long names: check first, so that a lowercase one costs no allocation.
  switch (name_shape(raw)) {
    case NameShape::Invalid:
      return fail(FieldError::InvalidName);
    case NameShape::Lower:
      return HeaderName::trusted(raw);
    case NameShape::Mixed:
      break;
  }
  char* out = scratch.reserve(raw.size());
  bool changed = false;
  uint64_t hash = 0;
  (void)fold_into(raw.data(), raw.size(), out, &changed, &hash);
  return HeaderName(std::string_view(out, raw.size()), hash, true);
}

Result<void, FieldError> fold_header_name(std::string_view raw, std::string& out) {
  out.clear();
  if (!length_ok(raw.size())) return fail(FieldError::InvalidName);
  out.resize(raw.size());
  bool changed = false;
  uint64_t hash = 0;
  if (!fold_into(raw.data(), raw.size(), out.data(), &changed, &hash)) {
    out.clear();
    return fail(FieldError::InvalidName);
  }
  return {};
}

bool is_valid_header_value(std::string_view raw) noexcept {
  unsigned bad = 0;
  for (const char c : raw) bad |= !kFieldValue[static_cast<uint8_t>(c)];
  return bad == 0;
}

Result<HeaderValue, FieldError> parse_header_value(std::string_view raw) noexcept {
  if (!is_valid_header_value(raw)) return fail(FieldError::InvalidValue);
  return HeaderValue::trusted(raw);
}

}  // namespace vintrel::http
