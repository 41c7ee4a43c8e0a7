// Proxy settings and destination URLs from a hostile environment: never a
// crash or an over-read, and every proxy chosen is well formed.
#include "core/http/uri.h"
#include "core/proxy/matcher.h"
#include "core/util/utf8.h"
#include "support.h"

using namespace vintrel;

namespace {

void check_intercept(const proxy::Intercept& p) {
  auto uri = http::parse_uri(p.uri);
  fuzz::check(uri.ok() && uri->has_scheme() && uri->has_authority(), "proxy uri does not parse");
  fuzz::check(p.uri.back() == '/', "proxy uri without its closing slash");
  fuzz::check(p.uri.find('@') == std::string::npos, "proxy uri keeps userinfo");
  fuzz::check(utf8::is_valid(p.user) && utf8::is_valid(p.password), "credentials not UTF-8");
  fuzz::check((p.auth == proxy::AuthKind::Basic) == !p.basic.empty(), "basic credentials without Basic auth");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Each setting is unset or a string; the destination takes the rest.
  std::optional<std::string> parts[4];
  for (auto& part : parts) {
    if (in.ConsumeBool()) part = in.ConsumeRandomLengthString(128);
  }
  const fuzz::Exact url_bytes(in.ConsumeRemainingBytesAsString());
  const std::string_view url = url_bytes.view();
  auto view = [](const std::optional<std::string>& s) -> std::optional<std::string_view> {
    if (!s) return std::nullopt;
    return std::string_view(*s);
  };
  const auto matcher = proxy::Matcher::from_parts(view(parts[0]), view(parts[1]), view(parts[2]), view(parts[3]));
  if (matcher.http()) check_intercept(*matcher.http());
  if (matcher.https()) check_intercept(*matcher.https());
  if (auto chosen = matcher.intercept(url)) check_intercept(*chosen);
  if (auto direct = proxy::parse_proxy_url(url)) check_intercept(*direct);
  return 0;
}
