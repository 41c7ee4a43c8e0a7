// One HTTP/1 connection without I/O: serializes requests or responses with
// their bodies, and parses the heads received. Both roles share the one
// receive buffer; the bytes after a head wait there for the body decoder.
//
// Every returned view lives until the next call on the codec.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http/header_map.h"
#include "core/http/method.h"
#include "core/http/uri.h"
#include "core/http1/encoder.h"
#include "core/http1/head_encode.h"
#include "core/http1/head_parse.h"
#include "core/util/result.h"

namespace vintrel::http1 {

class Codec {
 public:
  // Client role. Records the method (for HEAD and CONNECT responses) and
  // installs the body's Encoder; `trailer_fields` are validated lowercase
  // names. Cannot fail once its arguments are valid.
  std::string_view serialize_request(const http::Method& method, const http::Uri& uri, const http::HeaderMap* headers,
                                     bool http10, BodyLength body, std::vector<std::string> trailer_fields);
  // Server role: answers the request head received last, if any.
  Result<std::string_view, EncodeError> serialize_response(uint16_t status, const http::HeaderMap* headers,
                                                           bool keep_alive, bool http10, BodyLength body);

  Result<FramedChunk, BodyEncodeError> serialize_data(std::string_view chunk) noexcept { return body_.data(chunk); }
  Result<std::string_view, BodyEncodeError> serialize_end() noexcept { return body_.end(); }
  Result<std::string_view, BodyEncodeError> serialize_trailers(const http::HeaderMap& trailers) {
    return body_.trailers(trailers, out_);
  }
  bool body_is_eof() const noexcept { return body_.is_eof(); }
  const Encoder* in_flight() const noexcept { return body_.in_flight(); }

  Result<std::optional<ResponseHead>, ParseError> receive_head(std::string_view data) {
    return reader_.receive_response(data, method_ ? std::optional(method_->kind()) : std::nullopt);
  }
  // Records the method of a parsed request for serialize_response.
  Result<std::optional<RequestHead>, ParseError> receive_request_head(std::string_view data);

  // The receive buffer: an unparsed head, or body bytes not yet taken.
  size_t buffered() const noexcept { return reader_.buffer().size(); }
  std::string_view buffered_bytes() const noexcept { return reader_.buffer().view(); }
  // take_body: every buffered byte, consumed. The view lives until the next
  // append, that is the next receive_head or receive_request_head.
  std::string_view take_buffered() noexcept {
    const std::string_view out = reader_.buffer().view();
    reader_.buffer().consume(out.size());
    return out;
  }

 private:
  HeadReader reader_;
  OutgoingBody body_;
  std::optional<http::Method> method_;
  std::string out_;  // the last head or trailer section serialized
};

}  // namespace vintrel::http1
