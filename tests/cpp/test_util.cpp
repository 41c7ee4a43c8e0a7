// Core helpers that Python cannot observe directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "core/http2/error.h"
#include "core/util/hex.h"
#include "core/util/quote.h"
#include "core/util/result.h"
#include "core/util/version.h"

namespace vintrel {
namespace {

TEST(Version, PythonForm) {
  EXPECT_EQ(python_version(kPackageVersion), "0.1.0a1");
  EXPECT_EQ(python_version("1.2.3-beta4"), "1.2.3b4");
  EXPECT_EQ(python_version("1-alpha-beta-alpha"), "1aba");
  EXPECT_EQ(python_version("2.0"), "2.0");
  EXPECT_EQ(python_version(""), "");
  EXPECT_EQ(python_version("-alph"), "-alph");
}

TEST(Reason, DebugAndDescription) {
  EXPECT_EQ(h2::reason_debug(8), "CANCEL");
  EXPECT_EQ(h2::reason_debug(14), "Reason(0xe)");
  EXPECT_EQ(h2::reason_debug(0xffffffffu), "Reason(0xffffffff)");
  EXPECT_EQ(h2::reason_description(13), "endpoint requires HTTP/1.1");
  EXPECT_EQ(h2::reason_description(99), "unknown reason");
  EXPECT_EQ(h2::reason_name(99), "");
}

TEST(Initiator, RoundTrip) {
  for (auto who : {h2::Initiator::User, h2::Initiator::Library, h2::Initiator::Remote}) {
    EXPECT_EQ(h2::parse_initiator(h2::initiator_text(who)), who);
  }
  EXPECT_FALSE(h2::parse_initiator("Remote").has_value());
  EXPECT_FALSE(h2::parse_initiator("").has_value());
}

TEST(Result, ValueAndError) {
  Result<int, std::string> good = 3;
  Result<int, std::string> bad = fail(std::string("no"));
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "no");
  Result<void, int> fine;
  Result<void, int> refused = fail(7);
  EXPECT_TRUE(fine.ok());
  EXPECT_EQ(refused.error(), 7);
}

std::string quoted(std::string_view s) {
  std::string out;
  util::append_quoted(out, s);
  return out;
}

TEST(Quote, Escapes) {
  EXPECT_EQ(quoted("http://10.0.0.1:3128/"), "\"http://10.0.0.1:3128/\"");
  EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted("\t\n\r"), "\"\\t\\n\\r\"");
  EXPECT_EQ(quoted(std::string_view("\0\x1b\x7f", 3)), "\"\\u{0}\\u{1b}\\u{7f}\"");
  EXPECT_EQ(quoted("\xc2\x85|\xe2\x80\xa8|\xef\xbb\xbf"), "\"\\u{85}|\\u{2028}|\\u{feff}\"");
  // Printable non-ASCII text is kept; bytes that are not UTF-8 are shown.
  EXPECT_EQ(quoted("\xc3\xa9"), "\"\xc3\xa9\"");
  EXPECT_EQ(quoted("\xff"), "\"\\x{ff}\"");
}

TEST(Hex, BothWays) {
  std::string out;
  for (uint64_t v : {uint64_t{0}, uint64_t{0xe}, uint64_t{0xff}, uint64_t{0x1000}, ~uint64_t{0}}) {
    out.clear();
    util::append_hex(out, v);
    uint64_t back = 0;
    for (char c : out) back = back << 4 | util::hex_value(c);
    EXPECT_EQ(back, v) << out;
  }
  EXPECT_EQ(out, "ffffffffffffffff");
  EXPECT_EQ(util::hex_value('A'), 10);
  EXPECT_EQ(util::hex_value('g'), 0xFF);
  EXPECT_EQ(util::hex_value('\0'), 0xFF);
}

}  // namespace
}  // namespace vintrel
