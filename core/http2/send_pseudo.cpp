#include "core/http2/send_pseudo.h"

#include <string>

#include "core/http/method.h"
#include "core/http/status.h"
#include "core/http/uri.h"

namespace vintrel::h2 {
namespace {

using hpack::HeaderKind;

InvalidValue composed(std::string_view prefix, std::string_view text) {
  std::string message(prefix);
  message += ": ";
  message += text;
  return {std::move(message)};
}

}  // namespace

Result<SendPseudo, InvalidValue> request_pseudo(std::string_view method_text, std::string_view url) {
  auto method = http::Method::parse(method_text);
  if (!method) return fail(composed(http::kMethodErrorPrefix, http::method_error_text(method.error())));
  auto uri = http::parse_uri(url);
  if (!uri) return fail(composed(http::kUriErrorPrefix, http::uri_error_text(uri.error())));

  SendPseudo out;
  auto set = [&](HeaderKind which, std::string_view value) { out.slots[static_cast<size_t>(which)] = value; };
  set(HeaderKind::Method, method_text);
  if (method->is(http::MethodKind::Connect)) {
    if (uri->has_authority()) set(HeaderKind::Authority, uri->authority);
    return out;
  }
  switch (uri->scheme_kind) {
    case http::SchemeKind::None: break;
    case http::SchemeKind::Http: set(HeaderKind::Scheme, "http"); break;
    case http::SchemeKind::Https: set(HeaderKind::Scheme, "https"); break;
    case http::SchemeKind::Other: set(HeaderKind::Scheme, uri->scheme); break;
  }
  if (uri->has_authority()) set(HeaderKind::Authority, uri->authority);
  if (!uri->path_and_query.empty())
    set(HeaderKind::Path, uri->path_and_query);
  else
    set(HeaderKind::Path, method->is(http::MethodKind::Options) ? "*" : "/");
  return out;
}

Result<SendPseudo, InvalidValue> response_pseudo(uint16_t status) {
  auto code = http::StatusCode::from_u16(status);
  if (!code) return fail(composed(http::kStatusErrorPrefix, http::status_error_text(code.error())));
  SendPseudo out;
  out.slots[static_cast<size_t>(HeaderKind::Status)] = code->digits();
  return out;
}

}  // namespace vintrel::h2
