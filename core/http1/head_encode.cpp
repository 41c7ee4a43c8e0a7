#include "core/http1/head_encode.h"

#include "core/http/status.h"
#include "core/http1/date.h"
#include "core/http1/fields.h"
#include "core/http1/framing.h"

namespace vintrel::http1 {

namespace {

constexpr std::string_view kContentLength = "content-length";
constexpr std::string_view kTransferEncoding = "transfer-encoding";
constexpr std::string_view kConnection = "connection";
constexpr std::string_view kTrailer = "trailer";
constexpr std::string_view kDate = "date";

// The values of the headers that steer framing, gathered before writing.
struct FramingFields {
  std::vector<std::string_view> content_length;
  std::vector<std::string_view> transfer_encoding;
  std::vector<std::string_view> connection;
  std::vector<std::string_view> trailer;
  bool date = false;
  size_t values = 0;
};

FramingFields collect(const http::HeaderMap* headers) {
  FramingFields f;
  if (headers == nullptr) return f;
  for_each_field(*headers, [&f](std::string_view name, std::string_view value) {
    ++f.values;
    if (name == kContentLength) {
      f.content_length.push_back(value);
    } else if (name == kTransferEncoding) {
      f.transfer_encoding.push_back(value);
    } else if (name == kConnection) {
      f.connection.push_back(value);
    } else if (name == kTrailer) {
      f.trailer.push_back(value);
    } else if (name == kDate) {
      f.date = true;
    }
  });
  return f;
}

// The one length all content-length values agree on, if they do.
std::optional<uint64_t> agreed_length(const std::vector<std::string_view>& values) {
  std::optional<uint64_t> agreed;
  for (std::string_view v : values) {
    auto n = parse_content_length(v);
    if (!n.ok() || (agreed && *agreed != *n)) return std::nullopt;
    agreed = *n;
  }
  return agreed;
}

void put_line(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).append(": ").append(value).append("\r\n");
}

void put_decimal(std::string& out, uint64_t n) {
  char digits[20];
  size_t len = 0;
  do {
    digits[len++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (len > 0) out += digits[--len];
}

void put_length_line(std::string& out, uint64_t n) {
  out.append("content-length: ");
  put_decimal(out, n);
  out.append("\r\n");
}

// name: v1, v2, ...  (the line end is left to the caller)
void put_joined(std::string& out, std::string_view name, const std::vector<std::string_view>& values) {
  out.append(name).append(": ");
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.append(", ");
    out.append(values[i]);
  }
}

void put_request_target(std::string& out, const http::Uri& uri) {
  if (uri.has_scheme()) {
    out.append(uri.scheme).append("://").append(uri.authority).append(uri.path());
    if (uri.has_query()) out.append("?").append(uri.query());
  } else if (uri.path_and_query.empty()) {
    out.append(uri.authority);  // authority form
  } else {
    out.append(uri.path_and_query);  // origin form, or "*"
  }
}

std::string_view version_line_text(bool http10) noexcept { return http10 ? "HTTP/1.0" : "HTTP/1.1"; }

}  // namespace

std::string_view encode_error_text(EncodeError error) noexcept {
  switch (error) {
    case EncodeError::InvalidStatus:
      return "invalid status code";
    case EncodeError::InformationalStatus:
      return "response has 1xx status code, not supported by server";
    case EncodeError::UnexpectedHeader:
      return "user sent unexpected header";
  }
  return "";
}

Encoder encode_request(RequestHeadArgs args, std::string& out) {
  const FramingFields f = collect(args.headers);
  const std::optional<uint64_t> caller_length = agreed_length(f.content_length);
  const bool has_te = !f.transfer_encoding.empty();

  // The adjustments made to the caller's headers while writing them.
  bool drop_te = false, drop_length = false, extend_last_te = false, add_chunked = false;
  std::optional<uint64_t> set_length;  // replaces the content-length values
  Encoder encoder = Encoder::length(0);
  const BodyLength body = args.body;
  if (body.kind == BodyLength::Kind::None) {
    drop_te = true;
    // The caller's own content-length stays; its body is then framed by it,
    // so the bytes the head promises are not swallowed.
    if (caller_length) encoder = Encoder::length(*caller_length);
  } else if (args.http10) {
    drop_te = true;
    if (caller_length) {
      encoder = Encoder::length(*caller_length);
    } else if (body.kind == BodyLength::Kind::Known) {
      set_length = body.n;
      encoder = Encoder::length(body.n);
    }  // else: an HTTP/1.0 request of unknown length carries no body
  } else if (has_te) {
    encoder = Encoder::chunked();
    extend_last_te = !last_coding_is_chunked(f.transfer_encoding.back());
    drop_length = caller_length.has_value();
  } else if (caller_length) {
    encoder = Encoder::length(*caller_length);
  } else if (body.kind == BodyLength::Kind::Unknown) {
    const http::MethodKind m = args.method.kind();
    if (m != http::MethodKind::Get && m != http::MethodKind::Head && m != http::MethodKind::Connect) {
      add_chunked = true;
      encoder = Encoder::chunked();
    }
  } else {
    set_length = body.n;
    encoder = Encoder::length(body.n);
  }
  if (encoder.kind() == EncoderKind::Chunked) {
    encoder.set_trailer_names(args.trailer_fields.empty() ? trailer_names_from_values(f.trailer)
                                                          : std::move(args.trailer_fields));
  }

  out.clear();
  out.reserve(30 + 30 * f.values);
  out.append(args.method.text()).append(" ");
  put_request_target(out, args.uri);
  out.append(" ").append(version_line_text(args.http10)).append("\r\n");
  size_t te_seen = 0;
  bool length_written = false;
  if (args.headers != nullptr) {
    for_each_field(*args.headers, [&](std::string_view name, std::string_view value) {
      if (name == kTransferEncoding) {
        if (drop_te) return;
        out.append(name).append(": ").append(value);
        if (extend_last_te && ++te_seen == f.transfer_encoding.size()) out.append(", chunked");
        out.append("\r\n");
      } else if (name == kContentLength) {
        if (drop_length) return;
        if (set_length) {
          if (!length_written) put_length_line(out, *set_length);
          length_written = true;
          return;
        }
        put_line(out, name, value);
      } else {
        put_line(out, name, value);
      }
    });
  }
  if (set_length && !length_written) put_length_line(out, *set_length);
  if (add_chunked) out.append("transfer-encoding: chunked\r\n");
  out.append("\r\n");
  return encoder;
}

Result<Encoder, EncodeError> encode_response(const ResponseHeadArgs& args, std::string& out) {
  out.clear();
  auto status = http::StatusCode::from_u16(args.status);
  if (!status.ok()) return fail(EncodeError::InvalidStatus);
  const uint16_t code = args.status;
  const bool informational = status->is_informational();
  const bool connect_2xx = args.request_method == http::MethodKind::Connect && status->is_success();
  const bool head = args.request_method == http::MethodKind::Head;
  if (informational && code != 101) return fail(EncodeError::InformationalStatus);
  bool last = code == 101 || connect_2xx || !args.keep_alive;
  // Status codes whose responses never carry a body or a length.
  const bool bodyless_status = informational || code == 204 || code == 304;
  const bool chunk_allowed = !args.http10 && !head && !connect_2xx && !bodyless_status;

  const FramingFields f = collect(args.headers);
  out.reserve(30 + 30 * f.values);
  if (!args.http10 && code == 200) {
    out.append("HTTP/1.1 200 OK\r\n");
  } else {
    out.append(version_line_text(args.http10)).append(" ").append(status->digits()).append(" ");
    out.append(status->canonical_reason().value_or("<none>")).append("\r\n");
  }

  // Which framing line was written; a tunnel's framing is fixed up front.
  enum class Framing : uint8_t { None, Length, Chunked, Tunnel };
  Framing framing = connect_2xx ? Framing::Tunnel : Framing::None;
  Encoder encoder = Encoder::length(0);
  std::vector<std::string> declared;
  bool wrote_length = false, wrote_te = false, wrote_connection = false, wrote_trailer = false;
  bool failed = false;
  const BodyLength body = args.body;

  auto content_length = [&]() {
    if (framing == Framing::Chunked || framing == Framing::Tunnel) return false;
    const std::string_view first = f.content_length.front();
    if (body.kind == BodyLength::Kind::Known) {
      // The caller's own value frames the body when it parses, so the head
      // and the bytes sent never disagree; an unparsable one gives way to
      // the requested length.
      auto n = parse_content_length(first);
      if (n.ok()) {
        put_line(out, kContentLength, first);
        encoder = Encoder::length(*n);
      } else {
        put_length_line(out, body.n);
        encoder = Encoder::length(body.n);
      }
    } else if (body.kind == BodyLength::Kind::Unknown) {
      auto n = parse_content_length(first);
      if (!n.ok()) return false;
      for (std::string_view v : f.content_length) {
        auto m = parse_content_length(v);
        if (!m.ok() || *m != *n) return false;
      }
      put_line(out, kContentLength, first);
      encoder = Encoder::length(*n);
    } else if (head) {
      put_line(out, kContentLength, first);
    } else {
      return true;  // no body: the caller's length is dropped
    }
    framing = Framing::Length;
    return true;
  };

  auto transfer_encoding = [&]() {
    if (framing == Framing::Length || framing == Framing::Tunnel) return false;
    if (!chunk_allowed) return true;
    put_joined(out, kTransferEncoding, f.transfer_encoding);
    out.append(last_coding_is_chunked(f.transfer_encoding.back()) ? "\r\n" : ", chunked\r\n");
    encoder = Encoder::chunked();
    framing = Framing::Chunked;
    return true;
  };

  if (args.headers != nullptr) {
    for_each_field(*args.headers, [&](std::string_view name, std::string_view value) {
      if (failed) return;
      // Joined and framing headers are written once, where their name first
      // shows.
      if (name == kContentLength) {
        if (!wrote_length) failed = !content_length();
        wrote_length = true;
      } else if (name == kTransferEncoding) {
        if (!wrote_te) failed = !transfer_encoding();
        wrote_te = true;
      } else if (name == kConnection) {
        if (wrote_connection) return;
        wrote_connection = true;
        put_joined(out, kConnection, f.connection);
        out.append("\r\n");
        for (std::string_view v : f.connection) last = last || list_has_token(v, "close");
      } else if (name == kTrailer) {
        if (wrote_trailer || !chunk_allowed) return;
        wrote_trailer = true;
        put_joined(out, kTrailer, f.trailer);
        out.append("\r\n");
        declared = trailer_names_from_values(f.trailer);
      } else {
        put_line(out, name, value);
      }
    });
  }
  if (failed) {
    out.clear();
    return fail(EncodeError::UnexpectedHeader);
  }

  if (framing == Framing::None || framing == Framing::Tunnel) {
    if (body.kind == BodyLength::Kind::Unknown) {
      if (chunk_allowed) {
        out.append("transfer-encoding: chunked\r\n");
        encoder = Encoder::chunked();
      } else {
        encoder = Encoder::close_delimited();
      }
    } else {
      const uint64_t n = body.kind == BodyLength::Kind::Known ? body.n : 0;
      const bool length_allowed = !bodyless_status && !connect_2xx && (n > 0 || !head);
      if (length_allowed) put_length_line(out, n);
      encoder = Encoder::length(length_allowed ? n : 0);
    }
  }
  if (head || connect_2xx || bodyless_status) encoder = Encoder::length(0);

  if (f.date) {
    out.append("\r\n");
  } else {
    out.append("date: ").append(current_date()).append("\r\n\r\n");
  }
  if (encoder.kind() == EncoderKind::Chunked && !declared.empty()) encoder.set_trailer_names(std::move(declared));
  encoder.set_last(last);
  return encoder;
}

}  // namespace vintrel::http1
