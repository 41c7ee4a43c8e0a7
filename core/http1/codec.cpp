#include "core/http1/codec.h"

namespace vintrel::http1 {

std::string_view Codec::serialize_request(const http::Method& method, const http::Uri& uri,
                                          const http::HeaderMap* headers, bool http10, BodyLength body,
                                          std::vector<std::string> trailer_fields) {
  body_.install(encode_request({method, uri, headers, http10, body, std::move(trailer_fields)}, out_));
  method_ = method;
  return out_;
}

Result<std::string_view, EncodeError> Codec::serialize_response(uint16_t status, const http::HeaderMap* headers,
                                                                 bool keep_alive, bool http10, BodyLength body) {
  const std::optional<http::MethodKind> answering = method_ ? std::optional(method_->kind()) : std::nullopt;
  auto encoder = encode_response({status, headers, http10, keep_alive, body, answering}, out_);
  if (!encoder.ok()) {
    // A refused informational response stands for an empty 500 head: no
    // body follows it.
    if (encoder.error() == EncodeError::InformationalStatus) body_.install(Encoder::length(0));
    return fail(encoder.error());
  }
  body_.install(std::move(*encoder));
  return std::string_view(out_);
}

Result<std::optional<RequestHead>, ParseError> Codec::receive_request_head(std::string_view data) {
  auto head = reader_.receive_request(data);
  if (head.ok() && *head) method_ = (*head)->method;
  return head;
}

}  // namespace vintrel::http1
