// Pseudo-headers of the blocks we send, from the caller's method, URL and
// status, and the texts of the refusals.
#include <gtest/gtest.h>

#include "core/http2/send_pseudo.h"

namespace vintrel::h2 {
namespace {

using hpack::HeaderKind;
using hpack::kPseudoCount;
using hpack::pseudo_name;

// "name=value" pairs in slot order.
std::string shown(const SendPseudo& p) {
  std::string out;
  for (size_t i = 0; i < kPseudoCount; ++i) {
    if (!p.slots[i]) continue;
    if (!out.empty()) out += ' ';
    out.append(pseudo_name(static_cast<HeaderKind>(i))).append("=").append(*p.slots[i]);
  }
  return out;
}

TEST(H2SendPseudo, RequestPseudoHeaders) {
  const struct {
    const char* method;
    const char* url;
    const char* want;
  } cases[] = {
      {"GET", "/", ":method=GET :path=/"},
      {"GET", "/a?b=c#frag", ":method=GET :path=/a?b=c"},
      {"POST", "HTTPS://example.com:8443/up", ":method=POST :scheme=https :authority=example.com:8443 :path=/up"},
      {"GET", "http://example.com", ":method=GET :scheme=http :authority=example.com :path=/"},
      {"OPTIONS", "http://example.com", ":method=OPTIONS :scheme=http :authority=example.com :path=*"},
      {"OPTIONS", "*", ":method=OPTIONS :path=*"},
      {"CONNECT", "example.com:443", ":method=CONNECT :authority=example.com:443"},
      {"CONNECT", "/", ":method=CONNECT"},
      {"M-SEARCH", "Foo://h/x", ":method=M-SEARCH :scheme=Foo :authority=h :path=/x"},
  };
  for (const auto& c : cases) {
    auto p = request_pseudo(c.method, c.url);
    ASSERT_TRUE(p) << c.method << " " << c.url << ": " << p.error().message;
    EXPECT_EQ(shown(*p), c.want) << c.method << " " << c.url;
  }
}

TEST(H2SendPseudo, RefusalsAndStatus) {
  EXPECT_EQ(request_pseudo("GE T", "/").error().message, "invalid method: invalid HTTP method");
  EXPECT_EQ(request_pseudo("", "/").error().message, "invalid method: invalid HTTP method");
  EXPECT_EQ(request_pseudo("GET", "").error().message.rfind("invalid url: ", 0), 0u);
  EXPECT_EQ(shown(*response_pseudo(200)), ":status=200");
  EXPECT_EQ(shown(*response_pseudo(999)), ":status=999");
  for (int bad : {0, 99, 1000, 65535})
    EXPECT_EQ(response_pseudo(static_cast<uint16_t>(bad)).error().message, "invalid status: invalid status code");
}

}  // namespace
}  // namespace vintrel::h2
