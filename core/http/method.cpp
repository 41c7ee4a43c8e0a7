#include "core/http/method.h"

#include <array>
#include <utility>

#include "core/http/chars.h"

namespace vintrel::http {
namespace {

constexpr std::array<std::pair<MethodKind, std::string_view>, 9> kStandard = {{
    {MethodKind::Get, "GET"},
    {MethodKind::Post, "POST"},
    {MethodKind::Put, "PUT"},
    {MethodKind::Delete, "DELETE"},
    {MethodKind::Head, "HEAD"},
    {MethodKind::Options, "OPTIONS"},
    {MethodKind::Connect, "CONNECT"},
    {MethodKind::Patch, "PATCH"},
    {MethodKind::Trace, "TRACE"},
}};

}  // namespace

std::string_view method_error_text(MethodError) noexcept { return kInvalidMethodText; }

std::string_view standard_method_text(MethodKind kind) noexcept {
  for (const auto& [k, text] : kStandard) {
    if (k == kind) return text;
  }
  return {};
}

Result<Method, MethodError> Method::parse(std::string_view text) {
  if (text.empty()) return fail(MethodError::Invalid);
  for (char c : text) {
    if (!chars::token(c)) return fail(MethodError::Invalid);
  }
  // Case matters: "get" is an extension method, distinct from GET.
  for (const auto& [kind, standard] : kStandard) {
    if (text == standard) return Method(kind);
  }
  return Method(MethodKind::Extension, text);
}

}  // namespace vintrel::http
