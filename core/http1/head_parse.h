// HTTP/1 head parsing: a complete response or request head becomes a
// ResponseHead or RequestHead with its fields, keep-alive, upgrade and body
// framing decided.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/http/header_map.h"
#include "core/http/method.h"
#include "core/http/version.h"
#include "core/http1/body_kind.h"
#include "core/http1/recv_buffer.h"
#include "core/http1/tokenizer.h"
#include "core/util/result.h"

namespace vintrel::http1 {

enum class ParseError : uint8_t {
  Method,
  Uri,
  UriTooLong,
  Version,
  Status,
  Header,
  TooLarge,
  ContentLength,
  UnexpectedTransferEncoding,
  InvalidTransferEncoding,
  Internal,
};

// "invalid HTTP method parsed", ..., "invalid transfer-encoding parsed".
std::string_view parse_error_text(ParseError error) noexcept;

// A failed parse raises ValueError("<prefix>: <text>").
inline constexpr std::string_view kResponseErrorPrefix = "malformed HTTP/1 response";
inline constexpr std::string_view kRequestErrorPrefix = "malformed HTTP/1 request";

// Limits of one head.
inline constexpr size_t kMaxHeadFields = 100;
inline constexpr size_t kMaxTargetLength = 65534;
// A name this long or longer is refused.
inline constexpr size_t kNameTooLong = 65536;
// A content-length this large or larger is refused.
inline constexpr uint64_t kLengthTooLarge = UINT64_MAX - 1;

// What the parsed heads share.
struct HeadCommon {
  http::Version version = http::Version::Http11;
  http::HeaderMap headers;
  bool keep_alive = true;
  BodyKind body_kind = BodyKind::Empty;
  uint64_t content_length = 0;  // N for Length, else 0
  bool is_upgrade = false;

  bool http10() const noexcept { return version == http::Version::Http10; }
  // N for Length, 0 for Empty, none for Chunked and Close.
  std::optional<uint64_t> declared_length() const noexcept {
    if (body_kind == BodyKind::Length || body_kind == BodyKind::Empty) return content_length;
    return std::nullopt;
  }
};

struct ResponseHead : HeadCommon {
  uint16_t status = 0;
};

struct RequestHead : HeadCommon {
  http::Method method{http::MethodKind::Get};
  std::string target;  // verbatim; valid UTF-8 since it parsed as a URI
  bool expect_continue = false;
};

// Reads heads out of the connection's receive buffer. Bytes after a head
// stay in the buffer for the body.
class HeadReader {
 public:
  RecvBuffer& buffer() noexcept { return buf_; }
  const RecvBuffer& buffer() const noexcept { return buf_; }

  // Appends `data` and parses a response head; none while incomplete.
  // Informational (1xx other than 101) heads are consumed and skipped.
  // `request_method` is the method of the request being answered, if known.
  // A failure in the head's syntax leaves the buffer as it was; one found
  // in its fields or framing has consumed the head.
  Result<std::optional<ResponseHead>, ParseError> receive_response(std::string_view data,
                                                                   std::optional<http::MethodKind> request_method);
  Result<std::optional<RequestHead>, ParseError> receive_request(std::string_view data);

 private:
  RecvBuffer buf_;
  std::array<RawField, kMaxHeadFields> fields_;
};

}  // namespace vintrel::http1
