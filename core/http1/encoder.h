// The framing of one outgoing HTTP/1 body (length with a remaining count,
// chunked, or close-delimited) and the codec's in-flight slot for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/header_map.h"
#include "core/util/result.h"

namespace vintrel::http1 {

enum class EncoderKind : uint8_t { Length, Chunked, Close };

// One framed body chunk: an optional chunk-size line, the payload, an
// optional CRLF. The caller sizes its output from size() and copies the
// pieces with write_to, so the payload is copied once.
struct FramedChunk {
  std::array<char, 18> size_line{};  // up to 16 hex digits and CRLF
  uint8_t size_line_len = 0;
  std::string_view payload;
  bool crlf = false;

  size_t size() const noexcept { return size_line_len + payload.size() + (crlf ? 2u : 0u); }
  void write_to(char* out) const noexcept;
};

class Encoder {
 public:
  static Encoder length(uint64_t n) noexcept { return Encoder(EncoderKind::Length, n); }
  static Encoder chunked() noexcept { return Encoder(EncoderKind::Chunked, 0); }
  static Encoder close_delimited() noexcept { return Encoder(EncoderKind::Close, 0); }

  EncoderKind kind() const noexcept { return kind_; }
  // Bytes still to send; 0 for kinds other than Length.
  uint64_t remaining() const noexcept { return remaining_; }
  // Whether the message is the last on the connection; never written.
  bool is_last() const noexcept { return last_; }
  void set_last(bool last) noexcept { last_ = last; }

  // Declared trailer-field names (lowercase, sorted, no duplicates).
  const std::vector<std::string>& trailer_names() const noexcept { return trailer_names_; }
  void set_trailer_names(std::vector<std::string> names);
  bool declares_trailer(std::string_view lower_name) const noexcept;

  // Nothing (more) to send: a Length encoder with nothing remaining.
  bool is_eof() const noexcept { return kind_ == EncoderKind::Length && remaining_ == 0; }

  // Frames a non-empty chunk. A Length encoder passes at most the remaining
  // count and silently drops the excess.
  FramedChunk encode_data(std::string_view chunk) noexcept;

 private:
  Encoder(EncoderKind kind, uint64_t remaining) noexcept : kind_(kind), remaining_(remaining) {}

  EncoderKind kind_;
  bool last_ = false;
  uint64_t remaining_;
  std::vector<std::string> trailer_names_;
};

// The names listed by `trailer` header values: split at commas, trimmed,
// lowercased; items that are not header names are skipped.
std::vector<std::string> trailer_names_from_values(const std::vector<std::string_view>& values);

enum class BodyEncodeError : uint8_t { NoMessageInFlight, ShorterThanDeclared };

// "serialize_data with no request in flight", "request body shorter than
// declared Content-Length" (the same texts in both roles).
std::string_view body_encode_error_text(BodyEncodeError error) noexcept;

// The twelve names never allowed in a trailer section.
bool is_forbidden_trailer(std::string_view lower_name) noexcept;

// The codec's in-flight body: empty before the first head and after the
// body was finished.
class OutgoingBody {
 public:
  // A new head replaces whatever is in flight.
  void install(Encoder encoder) { encoder_.emplace(std::move(encoder)); }
  const Encoder* in_flight() const noexcept { return encoder_ ? &*encoder_ : nullptr; }

  // An empty chunk frames nothing (and never ends a chunked body).
  Result<FramedChunk, BodyEncodeError> data(std::string_view chunk) noexcept;
  // The body's end ("0\r\n\r\n" for chunked, else nothing). The slot is
  // empty afterwards, also when it fails.
  Result<std::string_view, BodyEncodeError> end() noexcept;
  // The end with a trailer section: only declared, allowed names, one value
  // each (the last given). Writes into `out` (cleared first) and returns a
  // view of it or of a constant; other than chunked bodies drop the
  // trailers and end as end() does.
  Result<std::string_view, BodyEncodeError> trailers(const http::HeaderMap& trailers, std::string& out);
  // True with nothing in flight or a length body with nothing left to send.
  bool is_eof() const noexcept { return !encoder_ || encoder_->is_eof(); }

 private:
  std::optional<Encoder> encoder_;
};

}  // namespace vintrel::http1
