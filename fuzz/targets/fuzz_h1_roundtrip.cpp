// HTTP/1 serialize then parse, differential: a request or response head
// written by the encoder parses back to the same start line, the same
// fields and the framing the encoder chose for its body.
#include <vector>

#include "core/http/uri.h"
#include "core/http1/fields.h"
#include "core/http1/head_encode.h"
#include "core/http1/head_parse.h"
#include "generate.h"

using namespace vintrel;

namespace {

// Names the encoder adjusts or adds, or that change how a head is read:
// generated fields avoid them, the framing ones are added on purpose.
constexpr std::string_view kSteering[] = {"content-length", "transfer-encoding", "connection", "trailer",
                                          "date",           "upgrade",           "expect",     "keep-alive"};

bool steering(std::string_view name) {
  for (std::string_view s : kSteering) {
    if (name == s) return true;
  }
  return false;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

// The caller's fields, with a framing header now and then.
http::HeaderMap make_headers(FuzzedDataProvider& in, Fields& kept) {
  http::HeaderMap map;
  http::NameScratch scratch;
  const auto n = in.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < n; ++i) {
    const std::string name = fuzz::make_name(in);
    const std::string value = fuzz::make_value(in, true);
    if (steering(name)) continue;
    fuzz::check(http1::append_field(map, name, value, scratch), "field refused");
  }
  // The kept fields in the order the encoder writes them.
  http1::for_each_field(map, [&kept](std::string_view n, std::string_view v) { kept.emplace_back(n, v); });
  if (in.ConsumeBool()) {
    const std::string length = std::to_string(in.ConsumeIntegralInRange<uint64_t>(0, 1 << 20));
    http1::append_field(map, "Content-Length", length, scratch);
  }
  if (in.ConsumeBool()) http1::append_field(map, "Transfer-Encoding", "chunked", scratch);
  return map;
}

http1::BodyLength make_body(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return http1::BodyLength::none();
    case 1: return http1::BodyLength::known(in.ConsumeIntegralInRange<uint64_t>(0, 1 << 20));
    default: return http1::BodyLength::unknown();
  }
}

void same_fields(const http1::HeadCommon& head, const Fields& kept) {
  Fields got;
  http1::for_each_field(head.headers, [&got](std::string_view n, std::string_view v) {
    if (!steering(n)) got.emplace_back(n, v);
  });
  fuzz::check(got == kept, "fields differ");
}

// The parsed framing is the one the encoder will write the body in.
void same_framing(const http1::HeadCommon& head, const http1::Encoder& encoder) {
  switch (encoder.kind()) {
    case http1::EncoderKind::Length:
      if (encoder.remaining() == 0) {
        fuzz::check(head.declared_length() == 0u, "empty body read as another framing");
      } else {
        fuzz::check(head.body_kind == http1::BodyKind::Length && head.content_length == encoder.remaining(),
                    "length framing differs");
      }
      break;
    case http1::EncoderKind::Chunked:
      fuzz::check(head.body_kind == http1::BodyKind::Chunked, "chunked framing differs");
      break;
    case http1::EncoderKind::Close:
      fuzz::check(head.body_kind == http1::BodyKind::Close, "close framing differs");
      break;
  }
}

void request(FuzzedDataProvider& in) {
  constexpr std::string_view kMethods[] = {"GET", "HEAD", "POST", "PUT", "OPTIONS", "DELETE", "PROPFIND"};
  constexpr std::string_view kTargets[] = {"/", "http://", "https://", ""};
  auto method = http::Method::parse(in.PickValueInArray(kMethods));
  const std::string target = std::string(in.PickValueInArray(kTargets)) + in.ConsumeRandomLengthString(48);
  auto uri = http::parse_uri(target);
  if (!uri.ok()) return;
  const bool http10 = in.ConsumeBool();
  Fields kept;
  const http::HeaderMap headers = make_headers(in, kept);
  http1::RequestHeadArgs args{*method, *uri, &headers, http10, make_body(in), {}};
  std::string out;
  const http1::Encoder encoder = http1::encode_request(std::move(args), out);

  http1::HeadReader reader;
  auto parsed = reader.receive_request(out);
  fuzz::check(parsed.ok() && parsed->has_value(), "written request does not parse");
  const http1::RequestHead& head = **parsed;
  fuzz::check(reader.buffer().view().empty(), "bytes left after the head");
  fuzz::check(head.method == *method && head.http10() == http10, "request line differs");
  auto back = http::parse_uri(head.target);
  fuzz::check(back.ok() && back->scheme == uri->scheme && back->authority == uri->authority &&
                  back->path() == uri->path() && back->query() == uri->query(),
              "target differs");
  same_fields(head, kept);
  same_framing(head, encoder);
}

void response(FuzzedDataProvider& in) {
  constexpr std::optional<http::MethodKind> kMethods[] = {std::nullopt, http::MethodKind::Get,
                                                          http::MethodKind::Head, http::MethodKind::Connect};
  const auto method = in.PickValueInArray(kMethods);
  const auto status = in.ConsumeIntegralInRange<uint16_t>(100, 999);
  const bool http10 = in.ConsumeBool();
  const bool keep_alive = in.ConsumeBool();
  Fields kept;
  const http::HeaderMap headers = make_headers(in, kept);
  const http1::ResponseHeadArgs args{status, &headers, http10, keep_alive, make_body(in), method};
  std::string out;
  auto encoder = http1::encode_response(args, out);
  if (!encoder.ok()) return;

  http1::HeadReader reader;
  auto parsed = reader.receive_response(out, method);
  fuzz::check(parsed.ok() && parsed->has_value(), "written response does not parse");
  const http1::ResponseHead& head = **parsed;
  fuzz::check(reader.buffer().view().empty(), "bytes left after the head");
  fuzz::check(head.status == status && head.http10() == http10, "status line differs");
  same_fields(head, kept);
  same_framing(head, *encoder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    request(in);
  } else {
    response(in);
  }
  return 0;
}
