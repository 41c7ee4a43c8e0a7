#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/http1/body_decoder.h"
#include "core/http1/codec.h"
#include "test_h1_util.h"

namespace vintrel::http1 {
namespace {

using testing::Fields;
using testing::fields_of;
using testing::make_map;

std::string framed(const FramedChunk& c) {
  std::string out(c.size(), '\0');
  c.write_to(out.data());
  return out;
}

// Feeds `wire` to a head parse whole or one byte at a time: the head, if
// one arrived, and the bytes not fed (the driver's next read).
template <class Head>
struct Delivered {
  std::optional<Head> head;
  std::string unfed;
};

template <class Head, class Receive>
Delivered<Head> deliver(const std::string& wire, bool bytewise, Receive receive) {
  const size_t step = bytewise ? 1 : wire.size();
  for (size_t i = 0; i < wire.size(); i += step) {
    auto r = receive(std::string_view(wire).substr(i, step));
    EXPECT_TRUE(r.ok());
    if (!r.ok()) break;
    if (*r) return {std::move(*r), wire.substr(std::min(wire.size(), i + step))};
  }
  return {};
}

Delivered<ResponseHead> to_client(Codec& c, const std::string& wire, bool bytewise) {
  return deliver<ResponseHead>(wire, bytewise, [&](std::string_view d) { return c.receive_head(d); });
}

Delivered<RequestHead> to_server(Codec& c, const std::string& wire, bool bytewise) {
  return deliver<RequestHead>(wire, bytewise, [&](std::string_view d) { return c.receive_request_head(d); });
}

// Decodes the body that follows `head` from what the codec holds, plus
// `later` bytes, then marks eof when asked; returns data and leftover.
std::pair<std::string, std::string> read_body(Codec& c, const HeadCommon& head, const std::string& later, bool eof,
                                              Fields* trailers = nullptr) {
  BodyDecoder d(head.body_kind, head.content_length);
  d.feed(c.take_buffered());
  d.feed(later);
  if (eof) d.mark_eof();
  std::string data;
  for (auto r = d.decode(); r.ok() && *r; r = d.decode()) data += **r;
  EXPECT_TRUE(d.is_complete());
  if (trailers != nullptr) {
    if (auto t = d.take_trailers()) *trailers = fields_of(*t);
  }
  return {data, std::string(d.buffered())};
}

http::Method method(std::string_view m) { return *http::Method::parse(m); }

class H1Exchange : public ::testing::TestWithParam<bool> {};

TEST_P(H1Exchange, LengthRequestChunkedResponseWithTrailers) {
  const bool bytewise = GetParam();
  Codec client, server;
  const std::string url = "http://example.com/upload";
  const http::HeaderMap req_headers = make_map({{"host", "example.com"}});
  std::string wire(client.serialize_request(method("POST"), *http::parse_uri(url), &req_headers, false,
                                            BodyLength::known(5), {}));
  wire += framed(*client.serialize_data("hello"));
  wire += *client.serialize_end();

  auto [req, unfed] = to_server(server, wire, bytewise);
  ASSERT_TRUE(req);
  EXPECT_EQ(req->target, url);
  EXPECT_EQ(fields_of(req->headers), (Fields{{"host", "example.com"}, {"content-length", "5"}}));
  EXPECT_EQ(read_body(server, *req, unfed, false).first, "hello");

  const http::HeaderMap resp_headers = make_map({{"trailer", "x-sum"}, {"date", "d"}});
  std::string reply(*server.serialize_response(200, &resp_headers, true, false, BodyLength::unknown()));
  reply += framed(*server.serialize_data("wor"));
  reply += framed(*server.serialize_data("ld"));
  reply += *server.serialize_trailers(make_map({{"x-sum", "42"}, {"x-no", "1"}}));
  EXPECT_TRUE(server.body_is_eof());

  auto [resp, more] = to_client(client, reply, bytewise);
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->body_kind, BodyKind::Chunked);
  EXPECT_TRUE(resp->keep_alive);
  Fields trailers;
  EXPECT_EQ(read_body(client, *resp, more, false, &trailers).first, "world");
  EXPECT_EQ(trailers, (Fields{{"x-sum", "42"}}));
}

TEST_P(H1Exchange, HeadConnectAndCloseDelimited) {
  const bool bytewise = GetParam();
  {
    Codec client, server;
    auto req = to_server(server, std::string(client.serialize_request(method("HEAD"), *http::parse_uri("/"), nullptr,
                                                                      false, BodyLength::none(), {})),
                         bytewise)
                   .head;
    ASSERT_TRUE(req);
    std::string reply(*server.serialize_response(200, nullptr, true, false, BodyLength::known(100)));
    EXPECT_TRUE(server.body_is_eof());
    auto [resp, unfed] = to_client(client, reply + "HTTP/1.1 204 No Content\r\n\r\n", bytewise);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->body_kind, BodyKind::Empty);
    EXPECT_EQ(std::string(client.buffered_bytes()) + unfed, "HTTP/1.1 204 No Content\r\n\r\n");
  }
  {
    Codec client, server;
    auto req = to_server(server, std::string(client.serialize_request(method("CONNECT"), *http::parse_uri("h:443"),
                                                                      nullptr, false, BodyLength::none(), {})),
                         bytewise)
                   .head;
    ASSERT_TRUE(req);
    EXPECT_TRUE(req->is_upgrade);
    std::string reply(*server.serialize_response(200, nullptr, true, false, BodyLength::unknown()));
    EXPECT_TRUE(server.in_flight()->is_last());
    auto [resp, unfed] = to_client(client, reply + "\x16\x03tls", bytewise);
    ASSERT_TRUE(resp);
    EXPECT_TRUE(resp->is_upgrade);
    EXPECT_FALSE(resp->keep_alive);
    EXPECT_EQ(std::string(client.buffered_bytes()) + unfed, "\x16\x03tls");
  }
  {
    Codec client, server;
    auto req = to_server(server, std::string(client.serialize_request(method("GET"), *http::parse_uri("/"), nullptr,
                                                                      true, BodyLength::none(), {})),
                         bytewise)
                   .head;
    ASSERT_TRUE(req);
    EXPECT_TRUE(req->http10());
    std::string reply(*server.serialize_response(200, nullptr, false, true, BodyLength::unknown()));
    reply += framed(*server.serialize_data("until close"));
    auto [resp, unfed] = to_client(client, reply, bytewise);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->body_kind, BodyKind::Close);
    EXPECT_EQ(read_body(client, *resp, unfed, true).first, "until close");
  }
}

TEST_P(H1Exchange, ContinueAndPipelinedRequests) {
  const bool bytewise = GetParam();
  Codec client, server;
  const http::HeaderMap expect = make_map({{"expect", "100-continue"}});
  std::string wire(client.serialize_request(method("PUT"), *http::parse_uri("/a"), &expect, false,
                                            BodyLength::known(2), {}));
  wire += framed(*client.serialize_data("ab"));
  wire += std::string(client.serialize_request(method("GET"), *http::parse_uri("/b"), nullptr, false,
                                               BodyLength::none(), {}));
  auto [first, unfed] = to_server(server, wire, bytewise);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->expect_continue);
  // The body decoder hands back the next request's bytes.
  auto [body, rest] = read_body(server, *first, unfed, false);
  EXPECT_EQ(body, "ab");
  auto second = server.receive_request_head(rest);
  ASSERT_TRUE(second.ok() && *second);
  EXPECT_EQ((*second)->target, "/b");

  auto resp = to_client(client, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", bytewise)
                  .head;
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->status, 200);
}

INSTANTIATE_TEST_SUITE_P(WholeAndBytewise, H1Exchange, ::testing::Bool());

TEST(H1Codec, StateAcrossCalls) {
  Codec c;
  EXPECT_EQ(c.buffered(), 0u);
  EXPECT_TRUE(c.body_is_eof());
  auto no_request = c.serialize_data("x");
  ASSERT_FALSE(no_request.ok());
  auto head = c.receive_head("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
  ASSERT_TRUE(head.ok() && *head);
  EXPECT_EQ(c.buffered(), 3u);
  EXPECT_EQ(c.take_buffered(), "abc");
  EXPECT_EQ(c.buffered(), 0u);
  // A refused 1xx leaves an empty body in flight.
  c.serialize_request(method("POST"), *http::parse_uri("/"), nullptr, false, BodyLength::unknown(), {});
  EXPECT_FALSE(c.body_is_eof());
  EXPECT_FALSE(c.serialize_response(103, nullptr, true, false, BodyLength::none()).ok());
  EXPECT_TRUE(c.body_is_eof());
}

}  // namespace
}  // namespace vintrel::http1

namespace vintrel::http1 {
namespace {

// Random heads serialized by one codec and parsed by another: the fields
// arrive as sent, and the parsed framing is the one the Encoder applies.
TEST(H1Codec, SerializedHeadsParseBackToTheirFraming) {
  const char* names[] = {"host", "x-a", "X-Long-Header-Name", "content-length", "transfer-encoding", "connection",
                         "trailer", "accept"};
  const char* values[] = {"1", "0", "chunked", "gzip", "close", "a b\tc", "\x80\xff", "5, 5", "keep-alive"};
  std::mt19937 rng(9);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 400; ++round) {
    http::HeaderMap headers;
    http::NameScratch scratch;
    for (size_t i = pick(5); i > 0; --i) {
      (void)headers.append(*http::parse_header_name(names[pick(8)], scratch), http::HeaderValue::trusted(values[pick(9)]));
    }
    const BodyLength lengths[] = {BodyLength::none(), BodyLength::known(pick(4)), BodyLength::unknown()};
    const BodyLength body = lengths[pick(3)];
    const bool http10 = pick(4) == 0;
    Codec client, server;
    const char* methods[] = {"GET", "POST", "HEAD", "PUT"};
    const std::string wire(
        client.serialize_request(method(methods[pick(4)]), *http::parse_uri("/p"), &headers, http10, body, {}));
    auto req = server.receive_request_head(wire);
    if (!req.ok()) {
      // Only a caller's own conflicting framing headers may fail to parse.
      EXPECT_TRUE(headers.contains(http::HeaderName::trusted("content-length")) ||
                  headers.contains(http::HeaderName::trusted("transfer-encoding")))
          << wire;
      continue;
    }
    ASSERT_TRUE(*req) << wire;
    const Encoder& sent = *client.in_flight();
    if (sent.kind() == EncoderKind::Chunked) {
      EXPECT_EQ((*req)->body_kind, BodyKind::Chunked) << wire;
    } else if ((*req)->body_kind != BodyKind::Chunked) {
      EXPECT_EQ(*(*req)->declared_length(), sent.remaining()) << wire;
    }

    const uint16_t statuses[] = {200, 204, 304, 404, 101};
    const uint16_t status = statuses[pick(5)];
    auto reply = server.serialize_response(status, &headers, pick(2) == 0, http10, lengths[pick(3)]);
    if (!reply.ok()) continue;  // conflicting framing headers of the caller
    const std::string head(*reply);
    auto resp = client.receive_head(head);
    if (!resp.ok()) {
      EXPECT_TRUE(headers.contains(http::HeaderName::trusted("content-length"))) << head;
      continue;
    }
    ASSERT_TRUE(*resp) << head;
    EXPECT_EQ((*resp)->status, status);
    const Encoder& answered = *server.in_flight();
    switch ((*resp)->body_kind) {
      case BodyKind::Chunked:
        EXPECT_EQ(answered.kind(), EncoderKind::Chunked) << head;
        break;
      case BodyKind::Close:
        EXPECT_NE(answered.kind(), EncoderKind::Chunked) << head;
        break;
      default:
        if (answered.kind() == EncoderKind::Length) {
          EXPECT_EQ((*resp)->content_length, answered.remaining()) << head;
        }
    }
  }
}

}  // namespace
}  // namespace vintrel::http1
