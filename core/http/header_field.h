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
// parse_header_name in the same pass that folds the name: FNV-1a over four
// interleaved lanes (byte i feeds lane i % 4), the lanes then folded into
// one another FNV-style. Four independent multiply chains run in parallel,
// so hashing costs about a quarter of plain FNV-1a's latency. Like FNV-1a,
// its low k bits depend only on the low k bits of the lanes; the header
// map's flood defence does not rely on the hash being strong.
inline constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint64_t fnv_step(uint64_t h, uint8_t b) noexcept { return (h ^ b) * kFnvPrime; }
constexpr uint64_t fnv_join(const uint64_t (&lane)[4]) noexcept {
  // Order-dependent: a multiply before each lane joins, so lanes that swap
  // contents ("ab" and "ba") do not cancel out.
  uint64_t h = lane[0];
  for (int j = 1; j < 4; ++j) h = (h * kFnvPrime) ^ lane[j];
  return h * kFnvPrime;
}
constexpr uint64_t fast_name_hash(std::string_view bytes) noexcept {
  uint64_t lane[4] = {kFnvOffset, kFnvOffset, kFnvOffset, kFnvOffset};
  for (size_t i = 0; i < bytes.size(); ++i) lane[i & 3] = fnv_step(lane[i & 3], static_cast<uint8_t>(bytes[i]));
  return fnv_join(lane);
}

// A valid, lowercase header name. The view points into storage owned by
// someone else (the input, a NameScratch, the map).
class HeaderName {
 public:
  // For bytes already known to be a valid lowercase name (the HPACK
  // decoder's table, a name read back from a map).
  static constexpr HeaderName trusted(std::string_view lower) noexcept { return HeaderName(lower, 0, false); }
  constexpr std::string_view view() const noexcept { return text_; }
  constexpr size_t size() const noexcept { return text_.size(); }
  // fast_name_hash(view()), computed once.
  constexpr uint64_t fast_hash() const noexcept { return hashed_ ? hash_ : fast_name_hash(text_); }
  friend constexpr bool operator==(HeaderName a, HeaderName b) noexcept { return a.text_ == b.text_; }

 private:
  friend Result<HeaderName, FieldError> parse_header_name(std::string_view, class NameScratch&);
  constexpr HeaderName(std::string_view text, uint64_t hash, bool hashed) noexcept
      : text_(text), hash_(hash), hashed_(hashed) {}
  std::string_view text_;
  uint64_t hash_;
  bool hashed_;
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
// folded bytes in `scratch`, which must outlive the result.
Result<HeaderName, FieldError> parse_header_name(std::string_view raw, NameScratch& scratch);

// Validates and folds `raw` into `out` (cleared first).
Result<void, FieldError> fold_header_name(std::string_view raw, std::string& out);

bool is_valid_header_value(std::string_view raw) noexcept;
Result<HeaderValue, FieldError> parse_header_value(std::string_view raw) noexcept;

}  // namespace vintrel::http
