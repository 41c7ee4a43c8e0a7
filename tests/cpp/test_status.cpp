#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/http/status.h"
#include "core/http/version.h"

namespace vintrel::http {
namespace {

// Written out independently of the table in the library.
const std::map<uint16_t, std::string> kExpected = {
    {100, "Continue"}, {101, "Switching Protocols"}, {102, "Processing"}, {103, "Early Hints"},
    {200, "OK"}, {201, "Created"}, {202, "Accepted"}, {203, "Non Authoritative Information"},
    {204, "No Content"}, {205, "Reset Content"}, {206, "Partial Content"},
    {207, "Multi-Status"}, {208, "Already Reported"}, {226, "IM Used"},
    {300, "Multiple Choices"}, {301, "Moved Permanently"}, {302, "Found"},
    {303, "See Other"}, {304, "Not Modified"}, {305, "Use Proxy"},
    {307, "Temporary Redirect"}, {308, "Permanent Redirect"}, {400, "Bad Request"},
    {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
    {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"},
    {410, "Gone"}, {411, "Length Required"}, {412, "Precondition Failed"},
    {413, "Payload Too Large"}, {414, "URI Too Long"}, {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"}, {417, "Expectation Failed"}, {418, "I'm a teapot"},
    {421, "Misdirected Request"}, {422, "Unprocessable Entity"}, {423, "Locked"},
    {424, "Failed Dependency"}, {425, "Too Early"}, {426, "Upgrade Required"},
    {428, "Precondition Required"}, {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"}, {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"},
    {503, "Service Unavailable"}, {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"}, {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"}, {508, "Loop Detected"}, {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

TEST(Status, EveryCodeHasExactlyTheListedPhrase) {
  ASSERT_EQ(kExpected.size(), 62u);
  for (unsigned code = 0; code <= 0xFFFF; ++code) {
    const auto c = static_cast<uint16_t>(code);
    const auto phrase = canonical_reason(c);
    const auto it = kExpected.find(c);
    if (it == kExpected.end()) {
      EXPECT_FALSE(phrase.has_value()) << code;
    } else {
      ASSERT_TRUE(phrase.has_value()) << code;
      EXPECT_EQ(*phrase, it->second) << code;
    }
  }
  EXPECT_FALSE(canonical_reason(299).has_value());
  EXPECT_EQ(canonical_reason(418), "I'm a teapot");
  for (uint16_t none : std::initializer_list<uint16_t>{306, 419, 420, 427, 509}) EXPECT_FALSE(canonical_reason(none)) << none;
}

TEST(Status, Range) {
  for (uint16_t code : std::initializer_list<uint16_t>{100, 101, 599, 999}) {
    auto s = StatusCode::from_u16(code);
    ASSERT_TRUE(s.ok()) << code;
    EXPECT_EQ(s->value(), code);
    EXPECT_EQ(s->class_digit(), code / 100);
    EXPECT_EQ(s->digits(), std::to_string(code));
    EXPECT_EQ(s->canonical_reason(), canonical_reason(code));
  }
  for (uint16_t code : std::initializer_list<uint16_t>{0, 99, 1000, 65535}) {
    auto s = StatusCode::from_u16(code);
    ASSERT_FALSE(s.ok()) << code;
    EXPECT_EQ(status_error_text(s.error()), "invalid status code");
    EXPECT_EQ(status_digits(code), "");
  }
  EXPECT_TRUE(StatusCode::from_u16(103)->is_informational());
  EXPECT_TRUE(StatusCode::from_u16(204)->is_success());
  EXPECT_FALSE(StatusCode::from_u16(300)->is_success());
  EXPECT_EQ(kStatusErrorPrefix, "invalid status");
  EXPECT_EQ(kInvalidStatusText, "invalid status code");
}

TEST(Status, DigitsForEveryCode) {
  for (uint16_t code = kMinStatus; code <= kMaxStatus; ++code) {
    EXPECT_EQ(status_digits(code), std::to_string(code));
  }
}

TEST(Version, Texts) {
  const std::pair<Version, std::string_view> versions[] = {
      {Version::Http09, "HTTP/0.9"}, {Version::Http10, "HTTP/1.0"},
      {Version::Http11, "HTTP/1.1"}, {Version::Http2, "HTTP/2.0"},
      {Version::Http3, "HTTP/3.0"},
  };
  for (const auto& [v, text] : versions) {
    EXPECT_EQ(version_text(v), text);
    EXPECT_EQ(parse_version(text), v);
  }
  for (std::string_view bad : {"", "HTTP/1", "http/1.1", "HTTP/1.1 ", "HTTP/2"}) {
    EXPECT_FALSE(parse_version(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace vintrel::http
