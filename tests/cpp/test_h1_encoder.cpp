#include <gtest/gtest.h>

#include <string>

#include "core/http1/encoder.h"
#include "test_h1_util.h"

namespace vintrel::http1 {
namespace {

using testing::make_map;

std::string framed(const FramedChunk& c) {
  std::string out(c.size(), '\0');
  c.write_to(out.data());
  return out;
}

TEST(H1Encoder, ChunkSizeLinesAreUpperHexWithoutLeadingZeros) {
  for (auto [size, line] : std::initializer_list<std::pair<size_t, std::string>>{
           {1, "1"}, {5, "5"}, {26, "1A"}, {255, "FF"}, {4096, "1000"}, {65535, "FFFF"}}) {
    OutgoingBody body;
    body.install(Encoder::chunked());
    const std::string chunk(size, 'x');
    auto out = body.data(chunk);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(framed(*out), line + "\r\n" + chunk + "\r\n") << size;
  }
}

TEST(H1Encoder, LengthPassesAtMostTheRemainingCount) {
  OutgoingBody body;
  body.install(Encoder::length(3));
  EXPECT_FALSE(body.is_eof());
  EXPECT_EQ(framed(*body.data("abcdef")), "abc");
  EXPECT_TRUE(body.is_eof());
  EXPECT_EQ(framed(*body.data("more")), "");
  EXPECT_EQ(*body.end(), "");
  EXPECT_EQ(body.in_flight(), nullptr);
}

TEST(H1Encoder, ShortLengthBodyFailsOnceThenTheSlotIsEmpty) {
  OutgoingBody body;
  body.install(Encoder::length(5));
  EXPECT_EQ(framed(*body.data("ab")), "ab");
  auto end = body.end();
  ASSERT_FALSE(end.ok());
  EXPECT_EQ(body_encode_error_text(end.error()), "request body shorter than declared Content-Length");
  EXPECT_EQ(*body.end(), "");
  // The same through serialize_trailers.
  body.install(Encoder::length(1));
  std::string out;
  EXPECT_FALSE(body.trailers(make_map({{"x", "1"}}), out).ok());
  EXPECT_TRUE(body.is_eof());
}

TEST(H1Encoder, EmptyChunksAndMissingEncoder) {
  OutgoingBody body;
  EXPECT_TRUE(body.is_eof());
  EXPECT_TRUE(body.data("").ok());  // an empty chunk never needs an encoder
  auto none = body.data("x");
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(body_encode_error_text(none.error()), "serialize_data with no request in flight");
  EXPECT_EQ(*body.end(), "");
  body.install(Encoder::chunked());
  EXPECT_EQ(framed(*body.data("")), "");  // not the last chunk
  EXPECT_FALSE(body.is_eof());
  EXPECT_EQ(*body.end(), "0\r\n\r\n");
  EXPECT_EQ(*body.end(), "");
  body.install(Encoder::close_delimited());
  EXPECT_FALSE(body.is_eof());
  EXPECT_EQ(framed(*body.data("raw")), "raw");
  EXPECT_EQ(*body.end(), "");
}

TEST(H1Encoder, TrailersKeepOnlyDeclaredAllowedNamesWithTheirLastValue) {
  struct Case {
    std::vector<std::string> declared;
    http::HeaderMap trailers;
    std::string expected;
  };
  const Case cases[] = {
      {{"x-sum"}, make_map({{"X-Sum", "1"}, {"x-other", "2"}}), "0\r\nx-sum: 1\r\n\r\n"},
      {{"content-type"}, make_map({{"content-type", "text/plain"}}), "0\r\n\r\n"},
      {{}, make_map({{"x-sum", "1"}}), "0\r\n\r\n"},
      {{"b", "a"}, make_map({{"a", "1"}, {"b", "2"}, {"a", "3"}}), "0\r\na: 3\r\nb: 2\r\n\r\n"},
      {{"host", "te", "trailer", "set-cookie", "x"}, make_map({{"host", "h"}, {"te", "t"}, {"x", "ok"}}),
       "0\r\nx: ok\r\n\r\n"},
  };
  for (const Case& c : cases) {
    OutgoingBody body;
    Encoder enc = Encoder::chunked();
    enc.set_trailer_names(c.declared);
    body.install(std::move(enc));
    std::string out;
    auto r = body.trailers(c.trailers, out);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, c.expected);
    EXPECT_EQ(body.in_flight(), nullptr);
  }
}

TEST(H1Encoder, TrailerNamesFromHeaderValues) {
  const auto names = trailer_names_from_values({"X-A, x-b ,, bad name", "X-C"});
  EXPECT_EQ(names, (std::vector<std::string>{"x-a", "x-b", "x-c"}));
  EXPECT_TRUE(is_forbidden_trailer("transfer-encoding"));
  EXPECT_FALSE(is_forbidden_trailer("x-a"));
}

TEST(H1Encoder, NewHeadReplacesTheInFlightEncoder) {
  OutgoingBody body;
  body.install(Encoder::length(10));
  Encoder last = Encoder::length(0);
  last.set_last(true);
  body.install(std::move(last));
  EXPECT_TRUE(body.is_eof());
  EXPECT_TRUE(body.in_flight()->is_last());
  EXPECT_EQ(*body.end(), "");
}

}  // namespace
}  // namespace vintrel::http1
