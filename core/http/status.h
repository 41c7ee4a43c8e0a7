// Status codes (100 to 999) and their canonical reason phrases.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/util/result.h"

namespace vintrel::http {

enum class StatusError : uint8_t { Invalid };

// A status argument outside 100-999 raises ValueError with the message
// "invalid status: invalid status code".
inline constexpr std::string_view kStatusErrorPrefix = "invalid status";
inline constexpr std::string_view kInvalidStatusText = "invalid status code";

inline constexpr uint16_t kMinStatus = 100;
inline constexpr uint16_t kMaxStatus = 999;

// "invalid status code".
std::string_view status_error_text(StatusError error) noexcept;

// The canonical reason phrase of a code ("OK" for 200, "I'm a teapot" for
// 418); none for a code without one, in range or not.
std::optional<std::string_view> canonical_reason(uint16_t code) noexcept;

// The three decimal digits of a code in 100-999, from a constant table;
// empty outside that range.
std::string_view status_digits(uint16_t code) noexcept;

class StatusCode {
 public:
  static Result<StatusCode, StatusError> from_u16(uint16_t code) {
    if (code < kMinStatus || code > kMaxStatus) return fail(StatusError::Invalid);
    return StatusCode(code);
  }

  uint16_t value() const noexcept { return code_; }
  // The first digit, 1 to 9.
  uint8_t class_digit() const noexcept { return static_cast<uint8_t>(code_ / 100); }
  bool is_informational() const noexcept { return class_digit() == 1; }
  bool is_success() const noexcept { return class_digit() == 2; }
  std::optional<std::string_view> canonical_reason() const noexcept {
    return http::canonical_reason(code_);
  }
  std::string_view digits() const noexcept { return status_digits(code_); }

  bool operator==(const StatusCode&) const = default;

 private:
  explicit StatusCode(uint16_t code) noexcept : code_(code) {}
  uint16_t code_;
};

}  // namespace vintrel::http
