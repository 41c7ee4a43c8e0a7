// How a message body is framed, shared by the parsed heads and the body
// decoder: "empty", "length", "chunked", "close".
#pragma once

#include <cstdint>
#include <string_view>

namespace vintrel::http1 {

enum class BodyKind : uint8_t { Empty, Length, Chunked, Close };

constexpr std::string_view body_kind_text(BodyKind kind) noexcept {
  switch (kind) {
    case BodyKind::Empty:
      return "empty";
    case BodyKind::Length:
      return "length";
    case BodyKind::Chunked:
      return "chunked";
    case BodyKind::Close:
      return "close";
  }
  return "empty";
}

// The decoder's reading of a kind string: any text other than "length",
// "chunked" or "close" means no body.
constexpr BodyKind parse_body_kind(std::string_view text) noexcept {
  if (text == "length") return BodyKind::Length;
  if (text == "chunked") return BodyKind::Chunked;
  if (text == "close") return BodyKind::Close;
  return BodyKind::Empty;
}

}  // namespace vintrel::http1
