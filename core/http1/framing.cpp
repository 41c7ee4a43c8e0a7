#include "core/http1/framing.h"

namespace vintrel::http1 {

Result<uint64_t, LengthError> parse_content_length(std::string_view value) noexcept {
  bool have = false, invalid = false, overflow = false;
  uint64_t agreed = 0;
  for_each_list_item(value, [&](std::string_view item) {
    if (invalid || overflow) return;
    if (item.empty()) {
      invalid = true;
      return;
    }
    uint64_t n = 0;
    for (char c : item) {
      if (c < '0' || c > '9') {
        invalid = true;
        return;
      }
      const auto digit = static_cast<uint64_t>(c - '0');
      if (n > (UINT64_MAX - digit) / 10) {
        overflow = true;
        return;
      }
      n = n * 10 + digit;
    }
    if (have && n != agreed) invalid = true;
    agreed = n;
    have = true;
  });
  if (invalid) return fail(LengthError::Invalid);
  if (overflow) return fail(LengthError::Overflow);
  return agreed;
}

}  // namespace vintrel::http1
