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
// Also hashes the folded bytes (FNV-1a): the table lookups overlap the
// multiply chain, so the hash comes almost for free.
bool fold_into(const char* in, size_t n, char* out, bool* changed, uint64_t* hash) noexcept {
  unsigned bad = 0;
  unsigned diff = 0;
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<uint8_t>(in[i]);
    const uint8_t t = kLowerToken[b];
    bad |= (t == 0);
    diff |= static_cast<unsigned>(t ^ b);
    out[i] = static_cast<char>(t);
    h = (h ^ t) * kFnvPrime;
  }
  *changed = diff != 0;
  *hash = h;
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
