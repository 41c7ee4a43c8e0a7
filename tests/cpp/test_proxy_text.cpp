#include <gtest/gtest.h>

#include "core/proxy/base64.h"
#include "core/proxy/percent.h"
#include "core/util/utf8.h"

using namespace vintrel::proxy;
namespace utf8 = vintrel::utf8;

namespace {

std::string b64(std::string_view s) {
  std::string out;
  base64_append(out, s);
  return out;
}

}  // namespace

TEST(ProxyBase64, Rfc4648Vectors) {
  EXPECT_EQ(b64(""), "");
  EXPECT_EQ(b64("f"), "Zg==");
  EXPECT_EQ(b64("fo"), "Zm8=");
  EXPECT_EQ(b64("foo"), "Zm9v");
  EXPECT_EQ(b64("foob"), "Zm9vYg==");
  EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
}

TEST(ProxyBase64, HighBytesUseTheStandardAlphabet) {
  EXPECT_EQ(b64("\xfb\xff\xbf"), "+/+/");
  EXPECT_EQ(b64(std::string_view("\0\0", 2)), "AAA=");
  std::string out = "Basic ";
  base64_append(out, "u:");
  EXPECT_EQ(out, "Basic dTo=");
}

TEST(ProxyPercent, Decodes) {
  EXPECT_EQ(percent_decode_lossy("us%40er"), "us@er");
  EXPECT_EQ(percent_decode_lossy("p%3as%3As"), "p:s:s");
  EXPECT_EQ(percent_decode_lossy("%e2%82%ac"), "\u20ac");
  // Incomplete or non-hex escapes stay as written.
  EXPECT_EQ(percent_decode_lossy("100%"), "100%");
  EXPECT_EQ(percent_decode_lossy("%4"), "%4");
  EXPECT_EQ(percent_decode_lossy("%zz%41"), "%zzA");
  EXPECT_EQ(percent_decode_lossy("%%41"), "%A");
  EXPECT_EQ(percent_decode_lossy(""), "");
}

TEST(ProxyPercent, InvalidUtf8BecomesReplacement) {
  const std::string r = "\xef\xbf\xbd";
  EXPECT_EQ(percent_decode_lossy("%ff"), r);
  EXPECT_EQ(percent_decode_lossy("a%80b"), "a" + r + "b");
  // A truncated sequence is one maximal subpart: one replacement.
  EXPECT_EQ(percent_decode_lossy("%e2%82"), r);
  EXPECT_EQ(percent_decode_lossy("%e2%82x"), r + "x");
  // Overlong forms and surrogates are not well formed.
  EXPECT_EQ(percent_decode_lossy("%c0%af"), r + r);
  EXPECT_EQ(percent_decode_lossy("%ed%a0%80"), r + r + r);
  EXPECT_EQ(percent_decode_lossy("%f4%90%80%80"), r + r + r + r);
  EXPECT_EQ(percent_decode_lossy("%f0%9f%98%80"), "\U0001F600");
  // Raw invalid bytes that were never escaped are replaced too.
  EXPECT_EQ(percent_decode_lossy("\xff"), r);
}

TEST(Utf8, StepsOverMaximalSubparts) {
  EXPECT_EQ(utf8::next("\xe2\x82\xac").code_point, U'\u20ac');
  EXPECT_EQ(utf8::next("\xe2\x82\xac").length, 3u);
  const auto bad = utf8::next("\xf0\x9f\x98");
  EXPECT_FALSE(bad.valid);
  EXPECT_EQ(bad.length, 3u);
  EXPECT_EQ(utf8::next("\xe0\x80").length, 1u);
}

TEST(Utf8, Validity) {
  EXPECT_TRUE(utf8::is_valid(""));
  EXPECT_TRUE(utf8::is_valid("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80", "\xff"}) {
    EXPECT_FALSE(utf8::is_valid(bad)) << bad;
  }
}
