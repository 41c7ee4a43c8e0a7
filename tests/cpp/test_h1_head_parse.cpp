#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/http1/head_parse.h"
#include "test_h1_util.h"

namespace vintrel::http1 {
namespace {

using testing::Fields;
using testing::fields_of;

// What one parse came to, comparable across splits of the input.
struct Seen {
  std::string error;  // the error text, else empty
  bool head = false;
  std::string line;  // "200" or "GET /x"
  BodyKind kind = BodyKind::Empty;
  uint64_t length = 0;
  bool keep_alive = false, upgrade = false, http10 = false, expect = false;
  Fields fields;
  std::string rest;  // buffered bytes plus those not fed

  bool operator==(const Seen&) const = default;
};

void record(Seen& s, const HeadCommon& h) {
  s.head = true;
  s.kind = h.body_kind;
  s.length = h.content_length;
  s.keep_alive = h.keep_alive;
  s.upgrade = h.is_upgrade;
  s.http10 = h.http10();
  s.fields = fields_of(h.headers);
}

template <class Receive>
Seen feed(const std::vector<std::string>& pieces, Receive receive) {
  HeadReader reader;
  Seen s;
  size_t i = 0;
  while (i < pieces.size() && !s.head && s.error.empty()) receive(reader, pieces[i++], s);
  s.rest = std::string(reader.buffer().view());
  for (; i < pieces.size(); ++i) s.rest += pieces[i];
  return s;
}

Seen parse_response(const std::string& input, std::optional<http::MethodKind> method, bool all_splits = true) {
  auto receive = [&](HeadReader& r, const std::string& piece, Seen& s) {
    auto got = r.receive_response(piece, method);
    if (!got.ok()) {
      s.error = std::string(parse_error_text(got.error()));
    } else if (*got) {
      record(s, **got);
      s.line = std::to_string((*got)->status);
    }
  };
  const Seen whole = feed({input}, receive);
  if (all_splits) {
    for (const auto& pieces : testing::splits(input, 11, 13)) EXPECT_EQ(feed(pieces, receive), whole) << input;
  }
  return whole;
}

Seen parse_request(const std::string& input, bool all_splits = true) {
  auto receive = [](HeadReader& r, const std::string& piece, Seen& s) {
    auto got = r.receive_request(piece);
    if (!got.ok()) {
      s.error = std::string(parse_error_text(got.error()));
    } else if (*got) {
      record(s, **got);
      s.line = std::string((*got)->method.text()) + " " + (*got)->target;
      s.expect = (*got)->expect_continue;
    }
  };
  const Seen whole = feed({input}, receive);
  if (all_splits) {
    for (const auto& pieces : testing::splits(input, 11, 13)) EXPECT_EQ(feed(pieces, receive), whole) << input;
  }
  return whole;
}

std::string many_fields(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.append("x").append(std::to_string(i)).append(": v\r\n");
  return s;
}

struct ResponseCase {
  std::string input;
  std::optional<http::MethodKind> method;
  std::string error;  // or the outcome below
  BodyKind kind = BodyKind::Empty;
  uint64_t length = 0;
  bool keep_alive = true;
  bool upgrade = false;
  std::string rest = {};
};

TEST(H1HeadParse, ResponseFraming) {
  using K = BodyKind;
  const auto Head = http::MethodKind::Head;
  const auto Connect = http::MethodKind::Connect;
  const ResponseCase cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", {}, "", K::Length, 5, true, false, "hel"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", {}, "", K::Empty, 0},
      {"HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", {}, "", K::Close, 0},
      {"HTTP/1.1 204 No Content\r\ncontent-length: 10\r\n\r\n", {}, "", K::Empty, 0},
      {"HTTP/1.1 304 Not Modified\r\ntransfer-encoding: chunked\r\n\r\n", {}, "", K::Empty, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\n", {}, "", K::Length, 5},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", {}, "", K::Length, 5},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", {}, "", K::Empty, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", {}, "", K::Close, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\ncontent-length: 3\r\n\r\n", {}, "", K::Chunked, 0},
      {"HTTP/1.1 200 OK\r\n\r\n", {}, "", K::Close, 0},
      {"HTTP/1.0 200 OK\r\n\r\n", {}, "", K::Close, 0, false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\ncontent-length: 1\r\n\r\n", {}, "", K::Length, 1, true},
      {"HTTP/1.1 200 OK\r\nConnection: upgrade, close\r\ncontent-length: 1\r\n\r\n", {}, "", K::Length, 1, false},
      {"HTTP/1.1 200 OK\r\ncontent-length: 100\r\n\r\n", Head, "", K::Empty, 0},
      {"HTTP/1.1 200 Connection established\r\n\r\n", Connect, "", K::Empty, 0, false, true},
      {"HTTP/1.1 407 Proxy Auth\r\ncontent-length: 2\r\n\r\nno", Connect, "", K::Length, 2, true, false, "no"},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\nraw", {}, "", K::Empty, 0, false, true, "raw"},
      {"HTTP/1.1 200 OK\r\ncontent-length: 18446744073709551613\r\n\r\n", {}, "", K::Length, 18446744073709551613ULL},
      {"\r\n\nHTTP/1.1 200 OK\ncontent-length: 1\n\nx", {}, "", K::Length, 1, true, false, "x"},
      {"HTTP/1.1 200 OK\r\n" + many_fields(100) + "\r\n", {}, "", K::Close, 0},
      // Failures after the syntax checks consume the head.
      {"HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\nzz", {}, "invalid content-length parsed", {}, 0, true, false, "zz"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", {}, "invalid content-length parsed"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", {}, "invalid content-length parsed"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n\r\n", {}, "message head is too large"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", {}, "message head is too large"},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", {}, "unexpected transfer-encoding parsed"},
      {"HTTP/1.1 200 OK\r\n" + std::string(65536, 'n') + ": v\r\n\r\n", {}, "message head is too large"},
  };
  for (const ResponseCase& c : cases) {
    const Seen s = parse_response(c.input, c.method, c.input.size() < 4096);
    EXPECT_EQ(s.error, c.error) << c.input;
    EXPECT_EQ(s.rest, c.rest) << c.input;
    if (!c.error.empty()) continue;
    ASSERT_TRUE(s.head) << c.input;
    EXPECT_EQ(s.kind, c.kind) << c.input;
    EXPECT_EQ(s.length, c.length) << c.input;
    EXPECT_EQ(s.keep_alive, c.keep_alive) << c.input;
    EXPECT_EQ(s.upgrade, c.upgrade) << c.input;
  }
}

TEST(H1HeadParse, SyntaxFailuresKeepTheBuffer) {
  const std::pair<std::string, std::string> responses[] = {
      {"HTTP/1.1 099 Low\r\n\r\n", "invalid HTTP status-code parsed"},
      {"HTTP/1.1 2000 OK\r\n\r\n", "invalid HTTP status-code parsed"},
      {"HTTP/1.1 20x OK\r\n\r\n", "invalid HTTP status-code parsed"},
      {"HTTP/1.1 200 O\x01K\r\n\r\n", "invalid HTTP status-code parsed"},
      {"HTTP/1.1 200 OK\rX: 1\r\n\r\n", "invalid HTTP status-code parsed"},
      {"HTTP/2.0 200 OK\r\n\r\n", "invalid HTTP version parsed"},
      {"HTTP/1.1200 OK\r\n\r\n", "invalid HTTP version parsed"},
      {"HTTP/1.1 200 OK\r\nX : 1\r\n\r\n", "invalid HTTP header parsed"},
      {"HTTP/1.1 200 OK\r\nX: 1\r\n\tfolded\r\n\r\n", "invalid HTTP header parsed"},
      {"HTTP/1.1 200 OK\r\n: 1\r\n\r\n", "invalid HTTP header parsed"},
      {"HTTP/1.1 200 OK\r\nNoColon\r\n\r\n", "invalid HTTP header parsed"},
      {"HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n", "invalid HTTP header parsed"},
      {std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27), "invalid HTTP header parsed"},
      {"HTTP/1.1 200 OK\r\nX: a\x7f\r\n\r\n", "invalid HTTP header parsed"},
      {"HTTP/1.1 200 OK\r\n" + many_fields(101) + "\r\n", "message head is too large"},
  };
  for (const auto& [input, error] : responses) {
    const Seen s = parse_response(input, {});
    EXPECT_EQ(s.error, error) << input;
    EXPECT_EQ(s.rest, input) << input;
  }
  const std::pair<std::string, std::string> requests[] = {
      {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "invalid HTTP version parsed"},
      {"GET /\r\n\r\n", "invalid HTTP version parsed"},
      {"GET / HTTP/1.1 \r\n\r\n", "invalid HTTP version parsed"},
      {"G@T / HTTP/1.1\r\n\r\n", "invalid HTTP method parsed"},
      {" GET / HTTP/1.1\r\n\r\n", "invalid HTTP method parsed"},
      {"GET  / HTTP/1.1\r\n\r\n", "invalid URI"},
      {"GET /a\x7f HTTP/1.1\r\n\r\n", "invalid URI"},
      {"GET /a<b HTTP/1.1\r\n\r\n", "invalid URI"},
      {"GET /" + std::string(65534, 'a') + " HTTP/1.1\r\n\r\n", "URI too long"},
      {"GET / HTTP/1.1\r\n" + many_fields(101) + "\r\n", "message head is too large"},
  };
  for (const auto& [input, error] : requests) {
    const Seen s = parse_request(input, input.size() < 4096);
    EXPECT_EQ(s.error, error) << input.substr(0, 40);
    EXPECT_EQ(s.rest, input) << input.substr(0, 40);
  }
}

TEST(H1HeadParse, Fields) {
  const Seen s = parse_response("HTTP/1.1 200 \x80\xff\r\nX-A:  a b \t\r\nx-a:\r\nSet-Cookie: 1\r\n\r\n", {});
  EXPECT_EQ(s.fields, (Fields{{"x-a", "a b"}, {"x-a", ""}, {"set-cookie", "1"}}));
  const Seen empty_reason = parse_response("HTTP/1.1 200\r\n\r\n", {});
  EXPECT_TRUE(empty_reason.head);
  const Seen long_name = parse_request("GET / HTTP/1.1\r\n" + std::string(65535, 'N') + ": v\r\n\r\n", false);
  ASSERT_TRUE(long_name.head);
  EXPECT_EQ(long_name.fields[0].first, std::string(65535, 'n'));
}

struct RequestCase {
  std::string input;
  std::string error;
  std::string line = {};
  BodyKind kind = BodyKind::Empty;
  uint64_t length = 0;
  bool keep_alive = true, upgrade = false, expect = false;
};

TEST(H1HeadParse, RequestFraming) {
  using K = BodyKind;
  const RequestCase cases[] = {
      {"GET /x HTTP/1.1\r\nHost: a\r\n\r\n", "", "GET /x"},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", "", "POST /", K::Length, 3},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", "", "POST /", K::Chunked},
      // Both framings: read as chunked, and no keep-alive after the answer.
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: x\r\n\r\n", "", "POST /", K::Chunked, 0,
       false},
      {"POST / HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n", "", "POST /", K::Chunked, 4,
       false},
      {"CONNECT example.com:443 HTTP/1.1\r\n\r\n", "", "CONNECT example.com:443", K::Empty, 0, true, true},
      {"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", "", "GET /chat", K::Empty, 0, true,
       true},
      {"GET / HTTP/1.0\r\nUpgrade: websocket\r\n\r\n", "", "GET /", K::Empty, 0, false, false},
      {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "", "GET /", K::Empty, 0, true},
      {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", "", "GET /", K::Empty, 0, false},
      {"PUT / HTTP/1.1\r\nExpect: 100-Continue\r\ncontent-length: 1\r\n\r\n", "", "PUT /", K::Length, 1, true, false,
       true},
      {"PUT / HTTP/1.1\r\nExpect: 100-continue\r\nExpect: other\r\n\r\n", "", "PUT /"},
      {"M-SEARCH * HTTP/1.1\r\n\r\n", "", "M-SEARCH *"},
      {"GET http://h/p?q HTTP/1.1\r\n" + many_fields(100) + "\r\n", "", "GET http://h/p?q"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", "invalid transfer-encoding parsed"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n",
       "invalid transfer-encoding parsed"},
      {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", "unexpected transfer-encoding parsed"},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", "invalid content-length parsed"},
      {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "invalid content-length parsed"},
      {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551614\r\n\r\n", "message head is too large"},
  };
  for (const RequestCase& c : cases) {
    const Seen s = parse_request(c.input);
    EXPECT_EQ(s.error, c.error) << c.input;
    if (!c.error.empty()) {
      EXPECT_EQ(s.rest, "") << c.input;  // the failing head was consumed
      continue;
    }
    ASSERT_TRUE(s.head) << c.input;
    EXPECT_EQ(s.line, c.line) << c.input;
    EXPECT_EQ(s.kind, c.kind) << c.input;
    EXPECT_EQ(s.length, c.length) << c.input;
    EXPECT_EQ(s.keep_alive, c.keep_alive) << c.input;
    EXPECT_EQ(s.upgrade, c.upgrade) << c.input;
    EXPECT_EQ(s.expect, c.expect) << c.input;
  }
  // An equal repeated content-length is kept once.
  const Seen repeat = parse_request("POST / HTTP/1.1\r\ncontent-length: 2\r\nContent-Length: 02\r\n\r\n");
  EXPECT_EQ(repeat.fields, (Fields{{"content-length", "2"}}));
}

TEST(H1HeadParse, PipelinedHeadsAndLongTrickle) {
  HeadReader r;
  auto first = r.receive_request("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\nGET /c");
  ASSERT_TRUE(first.ok() && *first);
  EXPECT_EQ((*first)->target, "/a");
  auto second = r.receive_request("");
  ASSERT_TRUE(second.ok() && *second);
  EXPECT_EQ((*second)->target, "/b");
  EXPECT_EQ(r.buffer().view(), "GET /c");

  // A large head fed one byte at a time: every byte is scanned once.
  HeadReader trickle;
  const std::string head = "HTTP/1.1 200 OK\r\nX: " + std::string(200000, 'v') + "\r\n\r\n";
  for (size_t i = 0; i + 1 < head.size(); ++i) ASSERT_FALSE(*trickle.receive_response(head.substr(i, 1), {}));
  auto last = trickle.receive_response(head.substr(head.size() - 1), {});
  ASSERT_TRUE(last.ok() && *last);
  EXPECT_EQ((*last)->headers.value_count(), 1u);
}

}  // namespace
}  // namespace vintrel::http1

namespace vintrel::http1 {
namespace {

// Mutated heads: whatever the outcome, every split of the input reaches the
// same one (parse_* compare them), and nothing reads out of bounds.
TEST(H1HeadParse, MutatedHeadsParseAlikeAtEverySplit) {
  const std::string seeds[] = {
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
      "POST /p?q HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
  };
  const std::string alphabet("\r\n: \t0aZ\x7f\x80/;,", 14);
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    for (size_t s = 0; s < 2; ++s) {
      std::string input = seeds[s];
      const int edits = std::uniform_int_distribution<int>(1, 4)(rng);
      for (int e = 0; e < edits; ++e) {
        const size_t at = std::uniform_int_distribution<size_t>(0, input.size() - 1)(rng);
        const char c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
        switch (std::uniform_int_distribution<int>(0, 2)(rng)) {
          case 0:
            input[at] = c;
            break;
          case 1:
            input.insert(at, 1, c);
            break;
          default:
            input.erase(at, 1);
        }
      }
      const Seen seen = s == 0 ? parse_response(input, {}) : parse_request(input);
      EXPECT_NE(seen.error, parse_error_text(ParseError::Internal)) << input;
    }
  }
}

}  // namespace
}  // namespace vintrel::http1
