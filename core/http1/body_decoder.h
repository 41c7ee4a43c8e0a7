// The HTTP/1 body decoder: turns the bytes received after a head into body
// data for a fixed length, chunked coding (with extensions and trailers) or
// a body that runs until the transport closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/http/header_map.h"
#include "core/http1/body_kind.h"
#include "core/util/result.h"

namespace vintrel::http1 {

enum class BodyErrorKind : uint8_t {
  EofInBody,
  EofInChunkLine,
  MissingSizeDigit,
  InvalidSize,
  SizeOverflow,
  InvalidSizeLws,
  ExtensionNewline,
  ExtensionsOverLimit,
  InvalidSizeLf,
  InvalidBodyCr,
  InvalidBodyLf,
  TrailerBytesOverLimit,
  TrailerCountOverflow,
  InvalidTrailerLf,
  InvalidEndLf,
  // A malformed trailer section; the text is in BodyError::detail.
  BadTrailers,
};

struct BodyError {
  BodyErrorKind kind;
  std::string detail;  // the whole text, for BadTrailers only

  // The text after "malformed HTTP/1 body: ".
  std::string_view text() const noexcept;
};

inline constexpr std::string_view kBodyErrorPrefix = "malformed HTTP/1 body";

// Running count of chunk-extension bytes over one body that fails.
inline constexpr uint64_t kChunkedExtensionsLimit = 16384;
// Trailer section length that fails.
inline constexpr size_t kTrailerLimit = 16384;
// Trailer line count that fails (so 99 is the most that succeeds).
inline constexpr size_t kTrailerLineLimit = 100;
// Most data one decode returns for a close-delimited body.
inline constexpr size_t kCloseReadSize = 8192;

class BodyDecoder {
 public:
  // `length` counts only for BodyKind::Length. Empty bodies and zero
  // lengths are complete at once.
  BodyDecoder(BodyKind kind, uint64_t length);

  // Appends to the read buffer, also after completion (the next message's
  // bytes are kept for take_buffered).
  void feed(std::string_view data);
  // The transport closed; this completes nothing by itself.
  void mark_eof() noexcept { eof_ = true; }

  // Body data (never empty), or nothing when more input is needed or the
  // body just ended (is_complete() tells them apart). The view lives until
  // the next feed. A failure is sticky: every later call
  // returns it again, since the stream position it left is meaningless.
  Result<std::optional<std::string_view>, BodyError> decode();

  bool is_complete() const noexcept { return complete_; }
  // The bytes not consumed; clear_buffered() consumes them all. Views of the
  // buffer (these and decode's) live until the next feed.
  std::string_view buffered() const noexcept { return std::string_view(buf_).substr(pos_); }
  void clear_buffered() noexcept { pos_ = buf_.size(); }
  // The trailers of a completed chunked body that had any, moved out once.
  std::optional<http::HeaderMap> take_trailers() noexcept;

 private:
  enum class Chunked : uint8_t {
    Start, Size, SizeLws, Extension, SizeLf, Body, BodyCr, BodyLf, Trailer, TrailerLf, EndCr, EndLf, End,
  };
  enum class Read : uint8_t { Byte, Pending, Eof };

  struct Step {
    enum Kind : uint8_t { Data, End, Pending } kind;
    std::string_view data;
  };

  Step read_some(size_t max) noexcept;
  Read read_byte(char& c) noexcept;
  Result<Step, BodyError> step_length();
  Result<Step, BodyError> step_close();
  Result<Step, BodyError> step_chunked();
  Result<void, BodyError> chunk_header_byte(char c);
  Result<void, BodyError> append_trailer(char c, bool create);
  Result<void, BodyError> finish_trailers();

  BodyKind kind_;
  bool eof_ = false;
  bool complete_ = false;
  bool saw_eof_ = false;  // close-delimited: end of input reached
  Chunked state_ = Chunked::Start;
  uint64_t remaining_ = 0;  // fixed length left, or chunk bytes left
  uint64_t extension_bytes_ = 0;
  size_t trailer_lines_ = 0;
  std::optional<std::string> trailer_buf_;
  std::optional<http::HeaderMap> trailers_;
  std::optional<BodyError> failure_;
  std::string buf_;
  size_t pos_ = 0;  // consumed prefix of buf_
};

}  // namespace vintrel::http1
