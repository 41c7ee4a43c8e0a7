// Core helpers that Python cannot observe directly.
#include <gtest/gtest.h>

#include "core/http2/error.h"
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

}  // namespace
}  // namespace vintrel
