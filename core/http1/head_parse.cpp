#include "core/http1/head_parse.h"

#include "core/http/chars.h"
#include "core/http/uri.h"
#include "core/http1/fields.h"
#include "core/http1/framing.h"

namespace vintrel::http1 {

namespace {

using http::chars::iequals;

// The fields whose values steer parsing.
enum class Known : uint8_t { Other, Connection, TransferEncoding, ContentLength, Expect, Upgrade };

Known classify(std::string_view name) noexcept {
  switch (name.size()) {
    case 6:
      return iequals(name, "expect") ? Known::Expect : Known::Other;
    case 7:
      return iequals(name, "upgrade") ? Known::Upgrade : Known::Other;
    case 10:
      return iequals(name, "connection") ? Known::Connection : Known::Other;
    case 14:
      return iequals(name, "content-length") ? Known::ContentLength : Known::Other;
    case 17:
      return iequals(name, "transfer-encoding") ? Known::TransferEncoding : Known::Other;
    default:
      return Known::Other;
  }
}

ParseError header_error(TokenError e) noexcept {
  if (e == TokenError::TooManyFields) return ParseError::TooLarge;
  if (e == TokenError::Partial) return ParseError::Internal;
  return ParseError::Header;
}

// Keep-alive after one connection value.
void apply_connection(HeadCommon& head, std::string_view value) noexcept {
  if (head.http10()) {
    head.keep_alive = list_has_token(value, "keep-alive");
  } else if (list_has_token(value, "close")) {
    head.keep_alive = false;
  }
}

// One content-length value as a length, or the error it reports.
Result<uint64_t, ParseError> content_length_of(std::string_view value) noexcept {
  auto n = parse_content_length(value);
  if (!n.ok()) return fail(n.error() == LengthError::Overflow ? ParseError::TooLarge : ParseError::ContentLength);
  if (*n >= kLengthTooLarge) return fail(ParseError::TooLarge);
  return *n;
}

void set_length(HeadCommon& head, uint64_t n) noexcept {
  head.body_kind = n == 0 ? BodyKind::Empty : BodyKind::Length;
  head.content_length = n;
}

}  // namespace

std::string_view parse_error_text(ParseError error) noexcept {
  switch (error) {
    case ParseError::Method:
      return "invalid HTTP method parsed";
    case ParseError::Uri:
      return "invalid URI";
    case ParseError::UriTooLong:
      return "URI too long";
    case ParseError::Version:
      return "invalid HTTP version parsed";
    case ParseError::Status:
      return "invalid HTTP status-code parsed";
    case ParseError::Header:
      return "invalid HTTP header parsed";
    case ParseError::TooLarge:
      return "message head is too large";
    case ParseError::ContentLength:
      return "invalid content-length parsed";
    case ParseError::UnexpectedTransferEncoding:
      return "unexpected transfer-encoding parsed";
    case ParseError::InvalidTransferEncoding:
      return "invalid transfer-encoding parsed";
    case ParseError::Internal:
      break;
  }
  // No input is known to reach this; the text says what broke.
  return "internal error in the HTTP/1 head parser";
}

Result<std::optional<ResponseHead>, ParseError> HeadReader::receive_response(
    std::string_view data, std::optional<http::MethodKind> request_method) {
  buf_.append(data);
  for (;;) {
    const size_t head_len = buf_.find_head_end();
    if (head_len == 0) return std::optional<ResponseHead>{};
    const std::string_view text = buf_.view().substr(0, head_len);

    StatusLine line;
    auto line_len = parse_status_line(text, line);
    if (!line_len.ok()) {
      return fail(line_len.error() == TokenError::Version ? ParseError::Version : ParseError::Status);
    }
    if (line.status < 100) return fail(ParseError::Status);
    size_t count = 0;
    auto fields_len = parse_fields(text.substr(*line_len), fields_.data(), fields_.size(), count);
    if (!fields_len.ok()) return fail(header_error(fields_len.error()));
    buf_.consume(head_len);  // the views stay valid until the next append

    const uint16_t status = line.status;
    if (status != 101 && status < 200) continue;  // informational heads are skipped

    ResponseHead head;
    head.status = status;
    head.version = line.version;
    head.keep_alive = !head.http10();
    // Framing from the fields: the last transfer-encoding value, and the
    // length every content-length item agrees on.
    std::optional<std::string_view> last_te;
    std::optional<uint64_t> length;
    std::optional<ParseError> length_error;
    for (size_t i = 0; i < count; ++i) {
      const RawField& f = fields_[i];
      if (f.name.size() >= kNameTooLong) return fail(ParseError::TooLarge);
      switch (classify(f.name)) {
        case Known::Connection:
          apply_connection(head, f.value);
          break;
        case Known::TransferEncoding:
          last_te = f.value;
          break;
        case Known::ContentLength:
          if (!length_error) {
            auto n = content_length_of(f.value);
            if (!n.ok()) {
              length_error = n.error();
            } else if (length && *length != *n) {
              length_error = ParseError::ContentLength;
            } else {
              length = *n;
            }
          }
          break;
        default:
          break;
      }
    }

    const bool connect_2xx = request_method == http::MethodKind::Connect && status / 100 == 2;
    if (status == 101) {
      head.is_upgrade = true;
    } else if (status == 204 || status == 304 || request_method == http::MethodKind::Head) {
      // No body.
    } else if (connect_2xx) {
      head.is_upgrade = true;
    } else if (last_te) {
      if (head.http10()) return fail(ParseError::UnexpectedTransferEncoding);
      head.body_kind = last_coding_is_chunked(*last_te) ? BodyKind::Chunked : BodyKind::Close;
    } else if (length_error) {
      return fail(*length_error);
    } else if (length) {
      set_length(head, *length);
    } else {
      head.body_kind = BodyKind::Close;
    }
    if (head.is_upgrade) head.keep_alive = false;
    if (!append_fields(head.headers, {fields_.data(), count})) return fail(ParseError::Internal);
    return std::optional<ResponseHead>(std::move(head));
  }
}

Result<std::optional<RequestHead>, ParseError> HeadReader::receive_request(std::string_view data) {
  buf_.append(data);
  const size_t head_len = buf_.find_head_end();
  if (head_len == 0) return std::optional<RequestHead>{};
  const std::string_view text = buf_.view().substr(0, head_len);

  RequestLine line;
  auto line_len = parse_request_line(text, line);
  if (!line_len.ok()) {
    switch (line_len.error()) {
      case TokenError::Method:
        return fail(ParseError::Method);
      case TokenError::Target:
        return fail(ParseError::Uri);
      default:
        return fail(ParseError::Version);
    }
  }
  size_t count = 0;
  auto fields_len = parse_fields(text.substr(*line_len), fields_.data(), fields_.size(), count);
  if (!fields_len.ok()) return fail(header_error(fields_len.error()));
  if (line.target.size() > kMaxTargetLength) return fail(ParseError::UriTooLong);
  if (!http::parse_uri(line.target).ok()) return fail(ParseError::Uri);
  auto method = http::Method::parse(line.method);
  if (!method.ok()) return fail(ParseError::Method);
  buf_.consume(head_len);

  RequestHead head;
  head.method = std::move(*method);
  head.target.assign(line.target);
  head.version = line.version;
  head.keep_alive = !head.http10();
  head.is_upgrade = head.method.is(http::MethodKind::Connect);
  bool te_seen = false, te_chunked = false, length_seen = false, length_field = false;
  size_t kept = 0;  // the fields stored: all but equal repeats of content-length
  for (size_t i = 0; i < count; ++i) {
    const RawField f = fields_[i];
    if (f.name.size() >= kNameTooLong) return fail(ParseError::TooLarge);
    switch (classify(f.name)) {
      case Known::TransferEncoding:
        if (head.http10()) return fail(ParseError::UnexpectedTransferEncoding);
        te_seen = true;
        te_chunked = last_coding_is_chunked(f.value);
        if (te_chunked) head.body_kind = BodyKind::Chunked;
        break;
      case Known::ContentLength: {
        length_field = true;
        if (te_seen) break;
        auto n = content_length_of(f.value);
        if (!n.ok()) return fail(n.error());
        if (length_seen) {
          if (*n != head.content_length) return fail(ParseError::ContentLength);
          continue;  // an equal repeat is not stored again
        }
        length_seen = true;
        set_length(head, *n);
        break;
      }
      case Known::Connection:
        apply_connection(head, f.value);
        break;
      case Known::Expect:
        head.expect_continue = iequals(f.value, "100-continue");
        break;
      case Known::Upgrade:
        head.is_upgrade = !head.http10();
        break;
      case Known::Other:
        break;
    }
    fields_[kept++] = f;  // kept <= i: the fields stored close up in place
  }
  if (te_seen && !te_chunked) return fail(ParseError::InvalidTransferEncoding);
  // Both framings at once is the shape of a smuggling attempt: the body is
  // read as chunked, and the connection ends after the answer, so bytes an
  // upstream may have framed otherwise are never read as a request.
  if (te_seen && length_field) head.keep_alive = false;
  if (!append_fields(head.headers, {fields_.data(), kept})) return fail(ParseError::Internal);
  return std::optional<RequestHead>(std::move(head));
}

}  // namespace vintrel::http1
