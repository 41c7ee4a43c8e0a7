#include <gtest/gtest.h>

#include <string>

#include "core/http1/date.h"
#include "core/http1/head_encode.h"
#include "test_h1_util.h"

namespace vintrel::http1 {
namespace {

using testing::make_map;
using K = EncoderKind;

struct Request {
  std::string method;
  std::string url;
  http::HeaderMap headers = {};
  BodyLength body = {};
  bool http10 = false;
  std::vector<std::string> trailer_fields = {};
};

std::string request(const Request& r, Encoder* encoder = nullptr) {
  auto method = http::Method::parse(r.method);
  auto uri = http::parse_uri(r.url);
  EXPECT_TRUE(method.ok() && uri.ok()) << r.url;
  std::string out;
  Encoder e = encode_request({*method, *uri, &r.headers, r.http10, r.body, r.trailer_fields}, out);
  if (encoder != nullptr) *encoder = e;
  return out;
}

TEST(H1HeadEncode, RequestFraming) {
  struct Case {
    Request req;
    std::string head;
    EncoderKind kind;
    uint64_t remaining;
  };
  const auto known = BodyLength::known;
  const auto unknown = BodyLength::unknown();
  const Case cases[] = {
      {{"GET", "/"}, "GET / HTTP/1.1\r\n\r\n", K::Length, 0},
      {{"POST", "https://example.com/up?x=1#frag", {}, unknown},
       "POST https://example.com/up?x=1 HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", K::Chunked, 0},
      {{"GET", "/", {}, unknown}, "GET / HTTP/1.1\r\n\r\n", K::Length, 0},
      {{"POST", "/", make_map({{"host", "h"}}), known(5)}, "POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 5\r\n\r\n",
       K::Length, 5},
      {{"POST", "/", make_map({{"transfer-encoding", "gzip"}, {"content-length", "3"}}), known(3)},
       "POST / HTTP/1.1\r\ntransfer-encoding: gzip, chunked\r\n\r\n", K::Chunked, 0},
      {{"POST", "/", make_map({{"transfer-encoding", "chunked"}, {"content-length", "x"}}), unknown},
       "POST / HTTP/1.1\r\ntransfer-encoding: chunked\r\ncontent-length: x\r\n\r\n", K::Chunked, 0},
      {{"POST", "/", make_map({{"content-length", "7"}}), known(3)}, "POST / HTTP/1.1\r\ncontent-length: 7\r\n\r\n",
       K::Length, 7},
      {{"POST", "/", make_map({{"content-length", "bad"}, {"a", "1"}}), known(3)},
       "POST / HTTP/1.1\r\ncontent-length: 3\r\na: 1\r\n\r\n", K::Length, 3},
      {{"POST", "/", make_map({{"transfer-encoding", "chunked"}, {"content-length", "4"}}), {}},
       "POST / HTTP/1.1\r\ncontent-length: 4\r\n\r\n", K::Length, 4},
      {{"POST", "/", make_map({{"content-length", "x"}}), {}}, "POST / HTTP/1.1\r\ncontent-length: x\r\n\r\n",
       K::Length, 0},
      {{"POST", "/", {}, unknown, true}, "POST / HTTP/1.0\r\n\r\n", K::Length, 0},
      {{"POST", "/", make_map({{"transfer-encoding", "chunked"}}), known(2), true},
       "POST / HTTP/1.0\r\ncontent-length: 2\r\n\r\n", K::Length, 2},
      {{"PUT", "/", make_map({{"content-length", "9"}}), unknown, true}, "PUT / HTTP/1.0\r\ncontent-length: 9\r\n\r\n",
       K::Length, 9},
      {{"CONNECT", "example.com:443"}, "CONNECT example.com:443 HTTP/1.1\r\n\r\n", K::Length, 0},
      {{"OPTIONS", "*"}, "OPTIONS * HTTP/1.1\r\n\r\n", K::Length, 0},
      {{"M-SEARCH", "http://h"}, "M-SEARCH http://h/ HTTP/1.1\r\n\r\n", K::Length, 0},
      {{"get", "/a", make_map({{"x", "1"}, {"x", "2"}})}, "get /a HTTP/1.1\r\nx: 1\r\nx: 2\r\n\r\n", K::Length, 0},
  };
  for (const Case& c : cases) {
    Encoder e = Encoder::length(99);
    EXPECT_EQ(request(c.req, &e), c.head) << c.req.url;
    EXPECT_EQ(e.kind(), c.kind) << c.head;
    EXPECT_EQ(e.remaining(), c.remaining) << c.head;
    EXPECT_FALSE(e.is_last());
  }
}

TEST(H1HeadEncode, RequestTrailerNames) {
  Encoder e = Encoder::length(0);
  request({"POST", "/", make_map({{"trailer", "X-Sum, bad name"}}), BodyLength::unknown()}, &e);
  EXPECT_EQ(e.trailer_names(), (std::vector<std::string>{"x-sum"}));
  request({"POST", "/", make_map({{"trailer", "x-sum"}}), BodyLength::unknown(), false, {"x-b", "x-a"}}, &e);
  EXPECT_EQ(e.trailer_names(), (std::vector<std::string>{"x-a", "x-b"}));
  request({"POST", "/", make_map({{"trailer", "x-sum"}}), BodyLength::known(1)}, &e);
  EXPECT_TRUE(e.trailer_names().empty());
}

struct Response {
  uint16_t status;
  http::HeaderMap headers = {};
  BodyLength body = {};
  std::optional<http::MethodKind> method = {};
  bool http10 = false;
  bool keep_alive = true;
};

// The head with the generated date line cut out ("date: <29 bytes>\r\n").
Result<Encoder, EncodeError> response(const Response& r, std::string& out) {
  auto e = encode_response({r.status, &r.headers, r.http10, r.keep_alive, r.body, r.method}, out);
  const size_t date = out.find("date: ");
  if (e.ok() && date != std::string::npos && !r.headers.contains(http::HeaderName::trusted("date"))) {
    EXPECT_EQ(out.size() - date, 6 + kDateLength + 4);
    out.erase(date, 6 + kDateLength + 2);
  }
  return e;
}

TEST(H1HeadEncode, ResponseFraming) {
  struct Case {
    Response resp;
    std::string head;  // without the date line
    EncoderKind kind;
    uint64_t remaining;
    bool last = false;
  };
  const auto known = BodyLength::known;
  const auto unknown = BodyLength::unknown();
  const auto Head = http::MethodKind::Head;
  const auto Connect = http::MethodKind::Connect;
  const Case cases[] = {
      {{200}, "HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", K::Length, 0},
      {{204}, "HTTP/1.1 204 No Content\r\n\r\n", K::Length, 0},
      {{304, {}, known(5)}, "HTTP/1.1 304 Not Modified\r\n\r\n", K::Length, 0},
      {{599}, "HTTP/1.1 599 <none>\r\ncontent-length: 0\r\n\r\n", K::Length, 0},
      {{101, make_map({{"upgrade", "websocket"}})}, "HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\n\r\n",
       K::Length, 0, true},
      {{200, {}, known(10), Head}, "HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n", K::Length, 0},
      {{200, {}, {}, Head}, "HTTP/1.1 200 OK\r\n\r\n", K::Length, 0},
      {{200, make_map({{"content-length", "42"}}), {}, Head}, "HTTP/1.1 200 OK\r\ncontent-length: 42\r\n\r\n",
       K::Length, 0},
      {{200, make_map({{"content-length", "42"}})}, "HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", K::Length, 0},
      {{200, {}, unknown, {}, true}, "HTTP/1.0 200 OK\r\n\r\n", K::Close, 0},
      {{200, {}, unknown}, "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", K::Chunked, 0},
      {{404, {}, known(3)}, "HTTP/1.1 404 Not Found\r\ncontent-length: 3\r\n\r\n", K::Length, 3},
      {{200, make_map({{"content-length", "3"}, {"content-length", "9"}}), known(5)},
       "HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\n", K::Length, 3},
      {{200, make_map({{"content-length", "4"}, {"content-length", "4"}}), unknown},
       "HTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\n", K::Length, 4},
      {{200, make_map({{"transfer-encoding", "gzip"}, {"transfer-encoding", "br"}}), known(4)},
       "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, br, chunked\r\n\r\n", K::Chunked, 0},
      {{200, make_map({{"transfer-encoding", "chunked"}}), unknown, {}, true}, "HTTP/1.0 200 OK\r\n\r\n", K::Close, 0},
      {{200, make_map({{"Connection", "keep-alive"}, {"connection", "Close"}}), known(1)},
       "HTTP/1.1 200 OK\r\nconnection: keep-alive, Close\r\ncontent-length: 1\r\n\r\n", K::Length, 1, true},
      {{200, {}, known(1), {}, false, false}, "HTTP/1.1 200 OK\r\ncontent-length: 1\r\n\r\n", K::Length, 1, true},
      {{200, {}, unknown, Connect}, "HTTP/1.1 200 OK\r\n\r\n", K::Length, 0, true},
      {{407, {}, known(2), Connect}, "HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 2\r\n\r\n",
       K::Length, 2},
      {{200, make_map({{"trailer", "x-sum"}}), known(1), {}, true}, "HTTP/1.0 200 OK\r\ncontent-length: 1\r\n\r\n",
       K::Length, 1},
  };
  for (const Case& c : cases) {
    std::string out;
    auto e = response(c.resp, out);
    ASSERT_TRUE(e.ok()) << c.head;
    EXPECT_EQ(out, c.head);
    EXPECT_EQ(e->kind(), c.kind) << c.head;
    EXPECT_EQ(e->remaining(), c.remaining) << c.head;
    EXPECT_EQ(e->is_last(), c.last) << c.head;
  }
}

TEST(H1HeadEncode, ResponseFailuresWriteNothing) {
  const auto known = BodyLength::known;
  const std::pair<Response, std::string> cases[] = {
      {{99}, "invalid status code"},
      {{1000}, "invalid status code"},
      {{103}, "response has 1xx status code, not supported by server"},
      {{100}, "response has 1xx status code, not supported by server"},
      {{200, make_map({{"content-length", "1"}}), {}, http::MethodKind::Connect}, "user sent unexpected header"},
      {{200, make_map({{"transfer-encoding", "chunked"}, {"content-length", "1"}}), known(1)},
       "user sent unexpected header"},
      {{200, make_map({{"content-length", "1"}, {"transfer-encoding", "chunked"}}), known(1)},
       "user sent unexpected header"},
      {{200, make_map({{"content-length", "1"}, {"content-length", "2"}}), BodyLength::unknown()},
       "user sent unexpected header"},
      {{200, make_map({{"content-length", "x"}}), BodyLength::unknown()}, "user sent unexpected header"},
  };
  for (const auto& [resp, text] : cases) {
    std::string out = "stale";
    auto e = response(resp, out);
    ASSERT_FALSE(e.ok()) << text;
    EXPECT_EQ(encode_error_text(e.error()), text);
    EXPECT_EQ(out, "");
  }
}

TEST(H1HeadEncode, ResponseDateAndTrailers) {
  std::string out;
  auto e = encode_response({200, nullptr, false, true, BodyLength::none(), {}}, out);
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(out.size(), std::string("HTTP/1.1 200 OK\r\ncontent-length: 0\r\ndate: \r\n\r\n").size() + kDateLength);
  EXPECT_EQ(out.substr(out.size() - 8), " GMT\r\n\r\n");
  EXPECT_EQ(current_date(), current_date());

  const http::HeaderMap own = make_map({{"date", "yesterday"}, {"trailer", "X-Sum, content-type"}});
  auto c = encode_response({200, &own, false, true, BodyLength::unknown(), {}}, out);
  EXPECT_EQ(out, "HTTP/1.1 200 OK\r\ndate: yesterday\r\ntrailer: X-Sum, content-type\r\n"
                 "transfer-encoding: chunked\r\n\r\n");
  EXPECT_EQ(c->trailer_names(), (std::vector<std::string>{"content-type", "x-sum"}));
}

TEST(H1HeadEncode, DateTextAndRenewal) {
  char text[kDateLength];
  const std::pair<int64_t, std::string> dates[] = {
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},   {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},   {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
      {253402300800, "Fri, 31 Dec 9999 23:59:59 GMT"}, {-1, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {1700000000, "Tue, 14 Nov 2023 22:13:20 GMT"},
  };
  for (const auto& [secs, expected] : dates) {
    render_imf_fixdate(secs, text);
    EXPECT_EQ(std::string(text, kDateLength), expected) << secs;
  }
  DateCache cache;
  const int64_t s = 784111777LL * 1000000000LL;
  EXPECT_EQ(cache.at(s + 500000000), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(cache.at(s + 999999999), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(cache.renders(), 1u);
  EXPECT_EQ(cache.at(s + 1000000000), "Sun, 06 Nov 1994 08:49:38 GMT");
  EXPECT_EQ(cache.renders(), 2u);
}

}  // namespace
}  // namespace vintrel::http1
