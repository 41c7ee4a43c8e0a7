#include <gtest/gtest.h>

#include <string>

#include "core/http/method.h"

namespace vintrel::http {
namespace {

TEST(Method, StandardByExactMatch) {
  const std::pair<std::string_view, MethodKind> standard[] = {
      {"GET", MethodKind::Get},         {"POST", MethodKind::Post},
      {"PUT", MethodKind::Put},         {"DELETE", MethodKind::Delete},
      {"HEAD", MethodKind::Head},       {"OPTIONS", MethodKind::Options},
      {"CONNECT", MethodKind::Connect}, {"PATCH", MethodKind::Patch},
      {"TRACE", MethodKind::Trace},
  };
  for (const auto& [text, kind] : standard) {
    auto m = Method::parse(text);
    ASSERT_TRUE(m.ok()) << text;
    EXPECT_EQ(m->kind(), kind) << text;
    EXPECT_TRUE(m->is_standard());
    EXPECT_EQ(m->text(), text);
    EXPECT_EQ(*m, Method(kind));
    EXPECT_EQ(standard_method_text(kind), text);
  }
}

TEST(Method, ExtensionKeptAsWritten) {
  for (std::string_view text : {"patch", "get", "Get", "M-SEARCH", "PROPFIND", "GETS", "X",
                                "!#$%&'*+-.^_`|~09azAZ"}) {
    auto m = Method::parse(text);
    ASSERT_TRUE(m.ok()) << text;
    EXPECT_EQ(m->kind(), MethodKind::Extension) << text;
    EXPECT_FALSE(m->is_standard());
    EXPECT_EQ(m->text(), text);
  }
  auto lower = Method::parse("get");
  ASSERT_TRUE(lower.ok());
  EXPECT_NE(*lower, Method(MethodKind::Get));
  EXPECT_EQ(*lower, *Method::parse("get"));
  EXPECT_NE(*lower, *Method::parse("GeT"));
}

TEST(Method, OwnsItsText) {
  std::string source = "M-SEARCH";
  auto m = Method::parse(source);
  ASSERT_TRUE(m.ok());
  source.assign(source.size(), 'x');
  EXPECT_EQ(m->text(), "M-SEARCH");
}

TEST(Method, Invalid) {
  for (std::string text : {std::string(), std::string("GE T"), std::string("GET "),
                           std::string("G:ET"), std::string("GET\r\n"), std::string("G\0T", 3),
                           std::string("G\xc3\xa9T"), std::string("(GET)"), std::string("\x7f")}) {
    auto m = Method::parse(text);
    ASSERT_FALSE(m.ok()) << text;
    EXPECT_EQ(method_error_text(m.error()), "invalid HTTP method");
  }
  EXPECT_EQ(kMethodErrorPrefix, "invalid method");
  EXPECT_EQ(kInvalidMethodText, "invalid HTTP method");
}

}  // namespace
}  // namespace vintrel::http
