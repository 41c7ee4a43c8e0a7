// The text of the HTTP `Date` header in IMF-fixdate form
// ("Sun, 06 Nov 1994 08:49:37 GMT"), cached per thread and rendered again
// at most once per second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vintrel::http1 {

inline constexpr size_t kDateLength = 29;

// Renders the UTC time `unix_seconds`. Times before 1970 render as the
// first second of 1970 and times after 9999 as its last second, so the text
// always has the four-digit year and 29 bytes the header expects.
void render_imf_fixdate(int64_t unix_seconds, char out[kDateLength]) noexcept;

class DateCache {
 public:
  // The text for `now_ns` (nanoseconds since the epoch, UTC), rendered again
  // only once `now_ns` reaches the start of the second after the one
  // rendered last.
  std::string_view at(int64_t now_ns) noexcept;
  uint64_t renders() const noexcept { return renders_; }

 private:
  char text_[kDateLength] = {};
  int64_t renew_at_ns_ = INT64_MIN;
  uint64_t renders_ = 0;
};

// The calling thread's cache, read with the system clock. The view lives
// until the thread's next call.
std::string_view current_date() noexcept;

}  // namespace vintrel::http1
