// The HTTP/1 head tokenizer: the request line, the status line and header
// field lines, read from bytes already known to hold the whole section.
// Everything it returns views the input; it allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/http/header_map.h"
#include "core/http/version.h"
#include "core/util/result.h"

namespace vintrel::http1 {

enum class TokenError : uint8_t {
  Method,        // a byte other than a token character in the method
  Target,        // a byte outside 0x21-0x7E and 0x80-0xFF in the request-target
  Version,       // not "HTTP/1.0" or "HTTP/1.1" followed by the line end
  Status,        // not three digits, or a bad reason byte
  HeaderName,    // a bad name byte (a line starting with white space too)
  MissingColon,  // a name ended by the line end
  HeaderValue,   // a bad value byte
  NewLine,       // CR not followed by LF
  TooManyFields,
  Partial,  // the section ended before its empty line
};

// A field line: the name's token characters as written, the value without
// surrounding white space. The header map's own view type, so a parsed head
// goes into its map in one bulk append.
using RawField = http::FieldView;

struct RequestLine {
  std::string_view method;
  std::string_view target;
  http::Version version = http::Version::Http11;
};

struct StatusLine {
  uint16_t status = 0;  // 0-999: the caller checks the range
  http::Version version = http::Version::Http11;
};

// Each returns the number of bytes read, the line end included. Lines end
// with CRLF or a bare LF.
Result<size_t, TokenError> parse_request_line(std::string_view text, RequestLine& out) noexcept;
Result<size_t, TokenError> parse_status_line(std::string_view text, StatusLine& out) noexcept;

// Field lines up to and including the empty line that ends them, into
// out[0..capacity); `count` is set to the number read. Returns the bytes
// read.
Result<size_t, TokenError> parse_fields(std::string_view text, RawField* out, size_t capacity, size_t& count) noexcept;

}  // namespace vintrel::http1
