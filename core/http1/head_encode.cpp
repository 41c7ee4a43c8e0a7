#include "core/http1/head_encode.h"

#include "core/http/status.h"
#include "core/http1/date.h"
#include "core/http1/fields.h"
#include "core/http1/framing.h"

// The two encoders stay whole functions: inlined into the codec's callers
// (link-time optimisation would do it) they made the serialize path a few
// percent slower in bench/bench_h1.py.
#if defined(__GNUC__)
#define VINTREL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define VINTREL_NOINLINE __declspec(noinline)
#else
#define VINTREL_NOINLINE
#endif

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
  bool length_first = false;  // content-length's name comes before transfer-encoding's
  bool date = false;
  size_t values = 0;
};

FramingFields collect(const http::HeaderMap* headers) {
  FramingFields f;
  if (headers == nullptr) return f;
  for_each_field(*headers, [&f](std::string_view name, std::string_view value) {
    ++f.values;
    if (name == kContentLength) {
      if (f.content_length.empty()) f.length_first = f.transfer_encoding.empty();
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

// What the framing decides for one head before a byte of it is written
// (from the status, the method, the body length, keep-alive, HTTP/1.0 and
// the caller's framing headers): what becomes of those headers, which line
// follows them, and how the body is framed. The writers follow it. Where a request keeps the
// caller's lines as they are, a response writes each framing header once,
// joined, where its name first shows (content-length: its first value).
struct HeadPlan {
  enum class Length : uint8_t {
    Keep,  // the caller's content-length
    Set,   // one line of `n` where the caller's first stood, else after the fields
    Drop,
  };
  enum class Coding : uint8_t {
    Keep,    // the caller's transfer-encoding
    Extend,  // the same, its last coding followed by chunked
    Drop,
  };
  enum class Added : uint8_t { None, Chunked, Length };  // after the fields (Length: of `n`)

  Length length = Length::Keep;
  Coding coding = Coding::Keep;
  Added added = Added::None;
  uint64_t n = 0;
  bool trailer = true;  // the caller's trailer header is written
  bool date = false;    // a date line is added
  // The body's framing: its kind, the length of a Length body, and whether
  // the message is the last on the connection.
  EncoderKind body = EncoderKind::Length;
  uint64_t body_length = 0;
  bool last = false;

  void length_body(uint64_t len) noexcept {
    body = EncoderKind::Length;
    body_length = len;
  }
  Encoder encoder() const noexcept {
    Encoder e = body == EncoderKind::Chunked ? Encoder::chunked()
                : body == EncoderKind::Close ? Encoder::close_delimited()
                                             : Encoder::length(body_length);
    e.set_last(last);
    return e;
  }
};

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

namespace {

HeadPlan plan_request(const RequestHeadArgs& args, const FramingFields& f) {
  const std::optional<uint64_t> caller_length = agreed_length(f.content_length);
  const BodyLength body = args.body;
  HeadPlan plan;
  if (body.kind == BodyLength::Kind::None) {
    plan.coding = HeadPlan::Coding::Drop;
    // The caller's own content-length stays; its body is then framed by it,
    // so the bytes the head promises are not swallowed.
    if (caller_length) plan.length_body(*caller_length);
  } else if (args.http10) {
    plan.coding = HeadPlan::Coding::Drop;
    if (caller_length) {
      plan.length_body(*caller_length);
    } else if (body.kind == BodyLength::Kind::Known) {
      plan.length = HeadPlan::Length::Set;
      plan.n = body.n;
      plan.length_body(body.n);
    }  // else: an HTTP/1.0 request of unknown length carries no body
  } else if (!f.transfer_encoding.empty()) {
    plan.body = EncoderKind::Chunked;
    if (!last_coding_is_chunked(f.transfer_encoding.back())) plan.coding = HeadPlan::Coding::Extend;
    if (caller_length) plan.length = HeadPlan::Length::Drop;
  } else if (caller_length) {
    plan.length_body(*caller_length);
  } else if (body.kind == BodyLength::Kind::Unknown) {
    const http::MethodKind m = args.method.kind();
    if (m != http::MethodKind::Get && m != http::MethodKind::Head && m != http::MethodKind::Connect) {
      plan.added = HeadPlan::Added::Chunked;
      plan.body = EncoderKind::Chunked;
    }
  } else {
    plan.length = HeadPlan::Length::Set;
    plan.n = body.n;
    plan.length_body(body.n);
  }
  return plan;
}

void write_request(const RequestHeadArgs& args, const FramingFields& f, const HeadPlan& plan, std::string& out) {
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
        if (plan.coding == HeadPlan::Coding::Drop) return;
        out.append(name).append(": ").append(value);
        if (plan.coding == HeadPlan::Coding::Extend && ++te_seen == f.transfer_encoding.size()) {
          out.append(", chunked");
        }
        out.append("\r\n");
      } else if (name == kContentLength) {
        if (plan.length == HeadPlan::Length::Drop) return;
        if (plan.length == HeadPlan::Length::Set) {
          if (!length_written) put_length_line(out, plan.n);
          length_written = true;
          return;
        }
        put_line(out, name, value);
      } else {
        put_line(out, name, value);
      }
    });
  }
  if (plan.length == HeadPlan::Length::Set && !length_written) put_length_line(out, plan.n);
  if (plan.added == HeadPlan::Added::Chunked) out.append("transfer-encoding: chunked\r\n");
  out.append("\r\n");
}

}  // namespace

VINTREL_NOINLINE Encoder encode_request(RequestHeadArgs args, std::string& out) {
  const FramingFields f = collect(args.headers);
  const HeadPlan plan = plan_request(args, f);
  write_request(args, f, plan, out);
  Encoder encoder = plan.encoder();
  if (encoder.kind() == EncoderKind::Chunked) {
    encoder.set_trailer_names(args.trailer_fields.empty() ? trailer_names_from_values(f.trailer)
                                                          : std::move(args.trailer_fields));
  }
  return encoder;
}

namespace {

// Fills `plan` for a status that may be sent (no 1xx but 101). False when
// the caller's framing headers contradict each other or the response (a
// length after chunked, anything in a tunnel, lengths that do not agree
// for a body of unknown length): the head is refused.
bool plan_response(const ResponseHeadArgs& args, const http::StatusCode& status, const FramingFields& f,
                   HeadPlan& plan) {
  const uint16_t code = args.status;
  const bool informational = status.is_informational();
  const bool connect_2xx = args.request_method == http::MethodKind::Connect && status.is_success();
  const bool head = args.request_method == http::MethodKind::Head;
  // Status codes whose responses never carry a body or a length.
  const bool bodyless_status = informational || code == 204 || code == 304;
  const bool chunk_allowed = !args.http10 && !head && !connect_2xx && !bodyless_status;
  const BodyLength body = args.body;

  // The caller's framing headers decide in the order their names come; the
  // second may not contradict the first. A tunnel's framing is fixed up
  // front.
  enum class Framing : uint8_t { None, Length, Chunked, Tunnel };
  Framing framing = connect_2xx ? Framing::Tunnel : Framing::None;
  auto content_length = [&]() {
    if (framing == Framing::Chunked || framing == Framing::Tunnel) return false;
    const std::string_view first = f.content_length.front();
    if (body.kind == BodyLength::Kind::Known) {
      // The caller's own value frames the body when it parses, so the head
      // and the bytes sent never disagree; an unparsable one gives way to
      // the requested length.
      auto n = parse_content_length(first);
      if (n.ok()) {
        plan.length_body(*n);
      } else {
        plan.length = HeadPlan::Length::Set;
        plan.n = body.n;
        plan.length_body(body.n);
      }
    } else if (body.kind == BodyLength::Kind::Unknown) {
      auto n = parse_content_length(first);
      if (!n.ok()) return false;
      for (std::string_view v : f.content_length) {
        auto m = parse_content_length(v);
        if (!m.ok() || *m != *n) return false;
      }
      plan.length_body(*n);
    } else if (!head) {
      plan.length = HeadPlan::Length::Drop;  // no body: the caller's length is dropped
      return true;
    }
    framing = Framing::Length;
    return true;
  };
  auto transfer_encoding = [&]() {
    if (framing == Framing::Length || framing == Framing::Tunnel) return false;
    if (!chunk_allowed) {
      plan.coding = HeadPlan::Coding::Drop;
      return true;
    }
    if (!last_coding_is_chunked(f.transfer_encoding.back())) plan.coding = HeadPlan::Coding::Extend;
    plan.body = EncoderKind::Chunked;
    framing = Framing::Chunked;
    return true;
  };
  const bool has_length = !f.content_length.empty(), has_coding = !f.transfer_encoding.empty();
  const bool framed = f.length_first
                          ? (!has_length || content_length()) && (!has_coding || transfer_encoding())
                          : (!has_coding || transfer_encoding()) && (!has_length || content_length());
  if (!framed) return false;

  if (framing == Framing::None || framing == Framing::Tunnel) {
    if (body.kind == BodyLength::Kind::Unknown) {
      if (chunk_allowed) {
        plan.added = HeadPlan::Added::Chunked;
        plan.body = EncoderKind::Chunked;
      } else {
        plan.body = EncoderKind::Close;
      }
    } else {
      const uint64_t n = body.kind == BodyLength::Kind::Known ? body.n : 0;
      const bool length_allowed = !bodyless_status && !connect_2xx && (n > 0 || !head);
      if (length_allowed) {
        plan.added = HeadPlan::Added::Length;
        plan.n = n;
      }
      plan.length_body(length_allowed ? n : 0);
    }
  }
  if (head || connect_2xx || bodyless_status) plan.length_body(0);

  plan.trailer = chunk_allowed;
  plan.date = !f.date;
  bool last = code == 101 || connect_2xx || !args.keep_alive;
  for (std::string_view v : f.connection) last = last || list_has_token(v, "close");
  plan.last = last;
  return true;
}

void write_response(const ResponseHeadArgs& args, const http::StatusCode& status, const FramingFields& f,
                    const HeadPlan& plan, std::string& out) {
  out.reserve(30 + 30 * f.values);
  if (!args.http10 && args.status == 200) {
    out.append("HTTP/1.1 200 OK\r\n");
  } else {
    out.append(version_line_text(args.http10)).append(" ").append(status.digits()).append(" ");
    out.append(status.canonical_reason().value_or("<none>")).append("\r\n");
  }
  // Joined and framing headers are written once, where their name first
  // shows.
  bool wrote_length = false, wrote_te = false, wrote_connection = false, wrote_trailer = false;
  if (args.headers != nullptr) {
    for_each_field(*args.headers, [&](std::string_view name, std::string_view value) {
      if (name == kContentLength) {
        if (wrote_length) return;
        wrote_length = true;
        if (plan.length == HeadPlan::Length::Keep) put_line(out, kContentLength, f.content_length.front());
        if (plan.length == HeadPlan::Length::Set) put_length_line(out, plan.n);
      } else if (name == kTransferEncoding) {
        if (wrote_te || plan.coding == HeadPlan::Coding::Drop) return;
        wrote_te = true;
        put_joined(out, kTransferEncoding, f.transfer_encoding);
        out.append(plan.coding == HeadPlan::Coding::Extend ? ", chunked\r\n" : "\r\n");
      } else if (name == kConnection) {
        if (wrote_connection) return;
        wrote_connection = true;
        put_joined(out, kConnection, f.connection);
        out.append("\r\n");
      } else if (name == kTrailer) {
        if (wrote_trailer || !plan.trailer) return;
        wrote_trailer = true;
        put_joined(out, kTrailer, f.trailer);
        out.append("\r\n");
      } else {
        put_line(out, name, value);
      }
    });
  }
  if (plan.added == HeadPlan::Added::Chunked) out.append("transfer-encoding: chunked\r\n");
  if (plan.added == HeadPlan::Added::Length) put_length_line(out, plan.n);
  if (plan.date) {
    out.append("date: ").append(current_date()).append("\r\n\r\n");
  } else {
    out.append("\r\n");
  }
}

}  // namespace

VINTREL_NOINLINE Result<Encoder, EncodeError> encode_response(const ResponseHeadArgs& args, std::string& out) {
  out.clear();
  auto status = http::StatusCode::from_u16(args.status);
  if (!status.ok()) return fail(EncodeError::InvalidStatus);
  if (status->is_informational() && args.status != 101) return fail(EncodeError::InformationalStatus);
  const FramingFields f = collect(args.headers);
  HeadPlan plan;
  if (!plan_response(args, *status, f, plan)) return fail(EncodeError::UnexpectedHeader);
  write_response(args, *status, f, plan, out);
  Encoder encoder = plan.encoder();
  if (encoder.kind() == EncoderKind::Chunked && plan.trailer && !f.trailer.empty()) {
    encoder.set_trailer_names(trailer_names_from_values(f.trailer));
  }
  return encoder;
}

}  // namespace vintrel::http1
