#include "core/http/version.h"

#include <array>

namespace vintrel::http {
namespace {

// Indexed by Version.
constexpr std::array<std::string_view, 5> kTexts = {
    "HTTP/0.9", "HTTP/1.0", "HTTP/1.1", "HTTP/2.0", "HTTP/3.0",
};

}  // namespace

std::string_view version_text(Version version) noexcept {
  const auto i = static_cast<size_t>(version);
  return i < kTexts.size() ? kTexts[i] : std::string_view{};
}

std::optional<Version> parse_version(std::string_view text) noexcept {
  for (size_t i = 0; i < kTexts.size(); ++i) {
    if (kTexts[i] == text) return static_cast<Version>(i);
  }
  return std::nullopt;
}

}  // namespace vintrel::http
