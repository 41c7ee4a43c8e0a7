// HTTP/1 head encoding: request and response heads with their framing
// decided, and the Encoder for the body that follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/header_map.h"
#include "core/http/method.h"
#include "core/http/uri.h"
#include "core/http1/encoder.h"
#include "core/util/result.h"

namespace vintrel::http1 {

// The body the caller announced: none, a known length, or an unknown one.
struct BodyLength {
  enum class Kind : uint8_t { None, Known, Unknown };
  Kind kind = Kind::None;
  uint64_t n = 0;

  static BodyLength none() noexcept { return {}; }
  static BodyLength known(uint64_t n) noexcept { return {Kind::Known, n}; }
  static BodyLength unknown() noexcept { return {Kind::Unknown, 0}; }
  // The arguments content_length= and chunked=: chunked wins over a length.
  static BodyLength from_args(std::optional<uint64_t> content_length, bool chunked) noexcept {
    return chunked ? unknown() : content_length ? known(*content_length) : none();
  }
};

enum class EncodeError : uint8_t { InvalidStatus, InformationalStatus, UnexpectedHeader };

// "invalid status code", "response has 1xx status code, not supported by
// server", "user sent unexpected header".
std::string_view encode_error_text(EncodeError error) noexcept;

// Prefixes of the ValueError messages, followed by ": " and the text.
// Request encoding has no failure once its arguments are validated; the
// prefix is kept for the caller's messages all the same.
inline constexpr std::string_view kRequestEncodePrefix = "failed to encode request";
inline constexpr std::string_view kResponseEncodePrefix = "failed to encode response";
// A trailer_fields entry that is not a header name: "invalid trailer field
// name: invalid header name".
inline constexpr std::string_view kTrailerNamePrefix = "invalid trailer field name";

struct RequestHeadArgs {
  const http::Method& method;
  const http::Uri& uri;
  const http::HeaderMap* headers;  // may be null
  bool http10 = false;
  BodyLength body;
  // Validated lowercase names; when not empty they are the declared
  // trailers of a chunked body instead of the `trailer` header's names.
  std::vector<std::string> trailer_fields;
};

struct ResponseHeadArgs {
  uint16_t status;
  const http::HeaderMap* headers;  // may be null
  bool http10 = false;
  bool keep_alive = true;
  BodyLength body;
  // The method of the request being answered, if one was received.
  std::optional<http::MethodKind> request_method;
};

// Writes the head into `out` (cleared first; its capacity is reused) and
// returns the body's Encoder.
Encoder encode_request(RequestHeadArgs args, std::string& out);
// On failure `out` is left empty.
Result<Encoder, EncodeError> encode_response(const ResponseHeadArgs& args, std::string& out);

}  // namespace vintrel::http1
