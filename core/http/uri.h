// Request URLs: parsed into scheme, authority and path-and-query, with the
// error kinds and limits of the HTTP/1 and HTTP/2 codecs and proxy selection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/util/result.h"

namespace vintrel::http {

enum class UriError : uint8_t {
  InvalidUriChar,
  InvalidScheme,
  InvalidAuthority,
  InvalidPort,
  InvalidFormat,
  SchemeMissing,
  AuthorityMissing,
  PathMissing,
  TooLong,
  Empty,
  SchemeTooLong,
};

// "invalid uri character", "invalid scheme", ..., "scheme too long".
std::string_view uri_error_text(UriError error) noexcept;

enum class SchemeKind : uint8_t { None, Http, Https, Other };

// A parsed URL. Every view points into the text given to parse_uri, which
// must outlive the Uri.
struct Uri {
  SchemeKind scheme_kind = SchemeKind::None;
  // The scheme as written ("HTTP", "socks5"); empty when there is none.
  std::string_view scheme;
  // Userinfo, host and port; empty when there is none.
  std::string_view authority;
  // Path and query without the fragment; empty in origin-less forms that
  // have none (see path()).
  std::string_view path_and_query;

  bool has_scheme() const noexcept { return scheme_kind != SchemeKind::None; }
  bool has_authority() const noexcept { return !authority.empty(); }
  // The path: "/" for a URL with a scheme but no path, empty for an
  // authority-only URL; "*" for the asterisk form.
  std::string_view path() const noexcept;
  // The query after "?", if any (empty otherwise).
  std::string_view query() const noexcept;
  // True when the path-and-query holds a "?", even one with nothing after it.
  bool has_query() const noexcept;
};

// Longest accepted URL, in bytes.
inline constexpr size_t kMaxUriLength = 65534;
// Longest accepted scheme other than http and https.
inline constexpr size_t kMaxSchemeLength = 64;

// Prefix of the ValueError message for a URL argument that fails to parse:
// "invalid url: " followed by uri_error_text().
inline constexpr std::string_view kUriErrorPrefix = "invalid url";

Result<Uri, UriError> parse_uri(std::string_view text);

}  // namespace vintrel::http
