// Request methods: the nine standard methods by exact, case-sensitive match,
// any other token as an extension method kept exactly as written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/util/result.h"

namespace vintrel::http {

enum class MethodKind : uint8_t {
  Options,
  Get,
  Post,
  Put,
  Delete,
  Head,
  Trace,
  Connect,
  Patch,
  Extension,
};

enum class MethodError : uint8_t { Invalid };

// A method argument that fails to parse raises ValueError with the message
// "invalid method: invalid HTTP method".
inline constexpr std::string_view kMethodErrorPrefix = "invalid method";
inline constexpr std::string_view kInvalidMethodText = "invalid HTTP method";

// "invalid HTTP method".
std::string_view method_error_text(MethodError error) noexcept;

// "GET" for MethodKind::Get; empty for Extension.
std::string_view standard_method_text(MethodKind kind) noexcept;

// A validated method. It owns its text, so a codec can record it past the
// call that gave it; standard methods hold no text of their own.
class Method {
 public:
  // Standard methods only; Extension gives an unusable empty method, so
  // extension methods come from parse().
  explicit Method(MethodKind standard) noexcept : kind_(standard) {}

  // A non-empty run of token characters, else MethodError::Invalid.
  static Result<Method, MethodError> parse(std::string_view text);

  MethodKind kind() const noexcept { return kind_; }
  bool is_standard() const noexcept { return kind_ != MethodKind::Extension; }
  bool is(MethodKind kind) const noexcept { return kind_ == kind; }
  // The method exactly as written ("GET", "patch", "M-SEARCH").
  std::string_view text() const noexcept {
    return is_standard() ? standard_method_text(kind_) : std::string_view(extension_);
  }

  bool operator==(const Method&) const = default;

 private:
  Method(MethodKind kind, std::string_view extension) : kind_(kind), extension_(extension) {}

  MethodKind kind_;
  std::string extension_;  // empty for a standard method
};

}  // namespace vintrel::http
