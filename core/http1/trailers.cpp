#include "core/http1/trailers.h"

#include <memory>

#include "core/http/chars.h"
#include "core/http/header_field.h"
#include "core/http1/fields.h"
#include "core/http1/tokenizer.h"
#include "core/util/quote.h"
#include "core/util/utf8.h"

namespace vintrel::http1 {

namespace {

std::string_view token_error_text(TokenError error) noexcept {
  switch (error) {
    case TokenError::HeaderName:
      return "invalid header name";
    case TokenError::HeaderValue:
      return "invalid header value";
    case TokenError::MissingColon:
      return "invalid token";
    case TokenError::TooManyFields:
      return "too many headers";
    case TokenError::Partial:
      return "Partial header";
    default:
      // CR without LF, and a bare LF that ends the section early.
      return "invalid new line";
  }
}

// The value rendering: quoted when UTF-8, else "[b0, b1, ...]".
void append_value(std::string& out, std::string_view value) {
  if (utf8::is_valid(value)) {
    util::append_quoted(out, value);
    return;
  }
  out += '[';
  for (size_t i = 0; i < value.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(static_cast<unsigned>(static_cast<uint8_t>(value[i])));
  }
  out += ']';
}

}  // namespace

std::string render_field(std::string_view name, std::string_view value) {
  std::string out = "Header { name: ";
  append_value(out, name);
  out += ", value: ";
  append_value(out, value);
  out += " }";
  return out;
}

Result<http::HeaderMap, std::string> parse_trailer_section(std::string_view section, size_t lines) {
  auto fields = std::make_unique<RawField[]>(lines);
  size_t count = 0;
  auto read = parse_fields(section, fields.get(), lines, count);
  if (!read.ok()) return fail(std::string(token_error_text(read.error())));
  // A bare LF can end the section before the counted lines do.
  if (*read != section.size()) return fail(std::string(token_error_text(TokenError::NewLine)));

  http::HeaderMap map;
  http::NameScratch scratch;
  for (size_t i = 0; i < count; ++i) {
    const RawField& f = fields[i];
    if (!http::parse_header_name(f.name, scratch).ok()) return fail("Invalid header name: " + render_field(f.name, f.value));
    if (!http::is_valid_header_value(f.value)) return fail("Invalid header value: " + render_field(f.name, f.value));
  }
  // The last occurrence of a name wins; the name keeps its first place.
  for (size_t i = 0; i < count; ++i) {
    bool seen = false;
    for (size_t j = 0; j < i && !seen; ++j) seen = http::chars::iequals(fields[j].name, fields[i].name);
    if (seen) continue;
    size_t last = i;
    for (size_t j = i + 1; j < count; ++j) {
      if (http::chars::iequals(fields[j].name, fields[i].name)) last = j;
    }
    if (!append_field(map, fields[i].name, fields[last].value, scratch)) return fail(std::string(token_error_text(TokenError::TooManyFields)));
  }
  return map;
}

}  // namespace vintrel::http1
