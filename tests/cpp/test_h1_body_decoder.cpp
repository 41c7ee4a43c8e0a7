#include <gtest/gtest.h>

#include <random>

#include <string>
#include <vector>

#include "core/http1/body_decoder.h"
#include "core/http1/trailers.h"
#include "test_h1_util.h"

namespace vintrel::http1 {
namespace {

using testing::Fields;
using testing::fields_of;

struct Outcome {
  std::string data;
  bool complete = false;
  std::string error;  // empty when none
  Fields trailers;
  std::string rest;
  size_t largest_piece = 0;
};

// Feeds `pieces` in order, draining decode() after each, then marks eof if
// asked and drains again.
Outcome run(BodyKind kind, uint64_t length, const std::vector<std::string>& pieces, bool eof) {
  BodyDecoder d(kind, length);
  Outcome out;
  auto drain = [&] {
    for (;;) {
      auto r = d.decode();
      if (!r.ok()) {
        out.error = std::string(r.error().text());
        return false;
      }
      if (!*r) return true;
      EXPECT_FALSE((*r)->empty());
      out.largest_piece = std::max(out.largest_piece, (*r)->size());
      out.data += **r;
    }
  };
  bool ok = true;
  for (const std::string& p : pieces) {
    d.feed(p);
    if (!(ok = drain())) break;
  }
  if (ok && eof) {
    d.mark_eof();
    drain();
  }
  out.complete = d.is_complete();
  if (auto t = d.take_trailers()) out.trailers = fields_of(*t);
  EXPECT_FALSE(d.take_trailers().has_value());
  out.rest = std::string(d.buffered());
  return out;
}

struct Case {
  const char* name;
  BodyKind kind;
  uint64_t length;
  std::string input;
  bool eof;
  std::string data;
  bool complete;
  std::string error;
  Fields trailers = {};
  std::string rest = {};
};

std::string repeat(char c, size_t n) { return std::string(n, c); }

Fields trailer_fields(size_t n) {
  Fields f;
  for (size_t i = 0; i < n; ++i) f.emplace_back(std::string("x").append(std::to_string(i)), "v");
  return f;
}

std::string trailer_lines(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.append("x").append(std::to_string(i)).append(": v\r\n");
  return s;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"length", BodyKind::Length, 5, "hello world", false, "hello", true, "", {}, " world"},
      {"length waits", BodyKind::Length, 5, "hel", false, "hel", false, ""},
      {"length eof", BodyKind::Length, 5, "hel", true, "hel", false, "end of file before message length reached"},
      {"empty", BodyKind::Empty, 9, "next", true, "", true, "", {}, "next"},
      {"close", BodyKind::Close, 0, "all of it", true, "all of it", true, ""},
      {"close open", BodyKind::Close, 0, "part", false, "part", false, ""},
      {"chunked", BodyKind::Chunked, 0, "5\r\nhello\r\n0\r\n\r\nGET", false, "hello", true, "", {}, "GET"},
      {"trailers, last wins", BodyKind::Chunked, 0, "4\r\nWiki\r\n0\r\nExpires: x\r\nX-B: 1\r\nExpires: y\r\n\r\n",
       false, "Wiki", true, "", {{"expires", "y"}, {"x-b", "1"}}},
      {"extensions and lws", BodyKind::Chunked, 0, "5 \t;ext=1;b\r\nhello\r\nA;x\r\n0123456789\r\n0;e\r\n\r\n", false,
       "hello0123456789", true, ""},
      {"leading zeros", BodyKind::Chunked, 0, "0000000000000000000005\r\nhello\r\n0\r\n\r\n", false, "hello", true, ""},
      {"sixteen f digits", BodyKind::Chunked, 0, "ffffffffffffffff\r\nab", false, "ab", false, ""},
      {"overflow", BodyKind::Chunked, 0, "fffffffffffffffff\r\n", false, "", false, "invalid chunk size: overflow"},
      {"size lws", BodyKind::Chunked, 0, "5 6\r\n", false, "", false, "Invalid chunk size linear white space"},
      {"missing digit", BodyKind::Chunked, 0, "\r\n", false, "", false, "Invalid chunk size line: missing size digit"},
      {"bare lf size", BodyKind::Chunked, 0, "5\nhello", false, "", false, "Invalid chunk size line: Invalid Size"},
      {"size lf", BodyKind::Chunked, 0, "5\rx", false, "", false, "Invalid chunk size LF"},
      {"extension lf", BodyKind::Chunked, 0, "5;a\n", false, "", false, "invalid chunk extension contains newline"},
      {"body cr", BodyKind::Chunked, 0, "1\r\nab", false, "a", false, "Invalid chunk body CR"},
      {"body lf", BodyKind::Chunked, 0, "1\r\na\rb", false, "a", false, "Invalid chunk body LF"},
      {"end lf", BodyKind::Chunked, 0, "0\r\n\rx", false, "", false, "Invalid chunk end LF"},
      {"trailer lf", BodyKind::Chunked, 0, "0\r\nx: 1\rx", false, "", false, "Invalid trailer end LF"},
      {"eof in size", BodyKind::Chunked, 0, "5", true, "", false, "unexpected EOF during chunk size line"},
      {"eof in trailer", BodyKind::Chunked, 0, "0\r\nx: 1", true, "", false, "unexpected EOF during chunk size line"},
      {"eof in chunk", BodyKind::Chunked, 0, "5\r\nhel", true, "hel", false, "end of file before message length reached"},
      {"99 trailer lines", BodyKind::Chunked, 0, "0\r\n" + trailer_lines(99) + "\r\n", false, "", true, "",
       trailer_fields(99)},
      {"100 trailer lines", BodyKind::Chunked, 0, "0\r\n" + trailer_lines(100) + "\r\n", false, "", false,
       "chunk trailers count overflow"},
      {"101 trailer lines", BodyKind::Chunked, 0, "0\r\n" + trailer_lines(101) + "\r\n", false, "", false,
       "chunk trailers count overflow"},
      {"trailer bytes at limit", BodyKind::Chunked, 0, "0\r\nx: " + repeat('v', kTrailerLimit - 7) + "\r\n\r\n",
       false, "", false, "chunk trailers bytes over limit"},
      {"trailer bytes under limit", BodyKind::Chunked, 0, "0\r\nx: " + repeat('v', kTrailerLimit - 8) + "\r\n\r\n",
       false, "", true, "", {{"x", repeat('v', kTrailerLimit - 8)}}},
      {"extensions at most 16383", BodyKind::Chunked, 0,
       "1;" + repeat('e', 8000) + "\r\na\r\n0;" + repeat('e', 8383) + "\r\n\r\n", false, "a", true, ""},
      {"extensions over", BodyKind::Chunked, 0, "1;" + repeat('e', 8000) + "\r\na\r\n0;" + repeat('e', 8384) + "\r\n",
       false, "a", false, "chunk extensions over limit"},
      {"obs-fold trailer", BodyKind::Chunked, 0, "0\r\nx: 1\r\n y\r\n\r\n", false, "", false, "invalid header name"},
      {"trailer without colon", BodyKind::Chunked, 0, "0\r\nxy\r\n\r\n", false, "", false, "invalid token"},
      {"trailer bad value", BodyKind::Chunked, 0, std::string("0\r\nx: a\0b\r\n\r\n", 14), false, "", false,
       "invalid header value"},
      {"bare lf in trailer", BodyKind::Chunked, 0, "0\r\nx: 1\ny: 2\r\n\r\n", false, "", false, "too many headers"},
  };
  return all;
}

TEST(H1BodyDecoder, EveryCaseWholeByteByByteAndAtRandomSplits) {
  for (const Case& c : cases()) {
    for (const auto& pieces : testing::splits(c.input, 7, 9)) {
      const Outcome o = run(c.kind, c.length, pieces, c.eof);
      EXPECT_EQ(o.error, c.error) << c.name;
      EXPECT_EQ(o.data, c.data) << c.name;
      EXPECT_EQ(o.complete, c.complete) << c.name;
      EXPECT_EQ(o.trailers, c.trailers) << c.name;
      if (c.error.empty()) {
        EXPECT_EQ(o.rest, c.rest) << c.name;
      }
    }
  }
}

// Random chunked-looking input: every split reaches the same outcome.
TEST(H1BodyDecoder, RandomInputDecodesAlikeAtEverySplit) {
  const std::string pieces[] = {"5", "0", "f", "A", "\r\n", "\r", "\n", ";e=1", " ", "\t", "hello", "x: y", "\r\n\r\n"};
  std::mt19937 rng(5);
  for (int round = 0; round < 500; ++round) {
    std::string input;
    const int n = std::uniform_int_distribution<int>(1, 16)(rng);
    for (int i = 0; i < n; ++i) input += pieces[std::uniform_int_distribution<size_t>(0, 12)(rng)];
    const bool eof = round % 2 == 0;
    const Outcome whole = run(BodyKind::Chunked, 0, {input}, eof);
    for (const auto& split : testing::splits(input, static_cast<unsigned>(round), 5)) {
      const Outcome o = run(BodyKind::Chunked, 0, split, eof);
      EXPECT_EQ(o.data, whole.data) << input;
      EXPECT_EQ(o.error, whole.error) << input;
      EXPECT_EQ(o.complete, whole.complete) << input;
      EXPECT_EQ(o.trailers, whole.trailers) << input;
    }
  }
}

TEST(H1BodyDecoder, DataComesInPiecesAndTheEndIsNoticedByTheNextCall) {
  BodyDecoder d(BodyKind::Length, 5);
  d.feed("hello world");
  auto first = d.decode();
  ASSERT_TRUE(first.ok() && first->has_value());
  EXPECT_EQ(**first, "hello");
  EXPECT_FALSE(d.is_complete());
  EXPECT_FALSE(d.decode()->has_value());
  EXPECT_TRUE(d.is_complete());
  d.feed("!");  // feeding goes on after completion
  EXPECT_EQ(d.buffered(), " world!");
  d.clear_buffered();
  EXPECT_EQ(d.buffered(), "");

  BodyDecoder close(BodyKind::Close, 0);
  close.feed(std::string(20000, 'z'));
  std::vector<size_t> sizes;
  for (auto r = close.decode(); r.ok() && *r; r = close.decode()) sizes.push_back((*r)->size());
  EXPECT_EQ(sizes, (std::vector<size_t>{8192, 8192, 3616}));
  EXPECT_FALSE(close.is_complete());
  close.mark_eof();
  EXPECT_FALSE(close.decode()->has_value());
  EXPECT_TRUE(close.is_complete());
}

TEST(H1BodyDecoder, FailureIsSticky) {
  BodyDecoder d(BodyKind::Chunked, 0);
  d.feed("zz\r\n5\r\nhello\r\n");
  for (int i = 0; i < 2; ++i) {
    auto r = d.decode();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "Invalid chunk size line: missing size digit");
  }
  EXPECT_FALSE(d.is_complete());
}

TEST(H1BodyDecoder, BadTrailerFieldRendering) {
  EXPECT_EQ(render_field("x-sig", "\xff\x01"), "Header { name: \"x-sig\", value: [255, 1] }");
  EXPECT_EQ(render_field("x", "a\"b\\c\td"), "Header { name: \"x\", value: \"a\\\"b\\\\c\\td\" }");
}

}  // namespace
}  // namespace vintrel::http1
