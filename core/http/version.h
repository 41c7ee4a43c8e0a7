// HTTP protocol versions and their texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vintrel::http {

enum class Version : uint8_t { Http09, Http10, Http11, Http2, Http3 };

// "HTTP/0.9", "HTTP/1.0", "HTTP/1.1", "HTTP/2.0", "HTTP/3.0".
std::string_view version_text(Version version) noexcept;

// The version whose text is exactly `text` (case-sensitive), if any.
std::optional<Version> parse_version(std::string_view text) noexcept;

}  // namespace vintrel::http
