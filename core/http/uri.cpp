#include "core/http/uri.h"

#include <optional>

#include "core/http/chars.h"
#include "core/util/utf8.h"

namespace vintrel::http {
namespace {

using chars::is_alpha_c;
using chars::is_digit_c;
using chars::make_table;
using chars::Table;

constexpr bool one_of(std::string_view set, unsigned c) {
  return set.find(static_cast<char>(c)) != std::string_view::npos;
}

constexpr bool is_scheme_c(unsigned c) {
  return is_alpha_c(c) || is_digit_c(c) || c == '+' || c == '-' || c == '.';
}

// Userinfo, host and port bytes. '%' is not among them: it is legal only in
// the userinfo and handled there.
constexpr bool is_authority_c(unsigned c) {
  return is_alpha_c(c) || is_digit_c(c) || one_of("-._~!$&'()*+,;=:@[]", c);
}

constexpr bool is_hex_c(unsigned c) {
  return is_digit_c(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Path bytes. DEL (0x7F) is a control character and never goes into a
// request line, so it is refused with the other controls; bytes from 0x80
// up pass and are checked as UTF-8 afterwards.
constexpr bool is_path_c(unsigned c) {
  return c == 0x21 || c == 0x22 || (c >= 0x24 && c <= 0x3B) || c == 0x3D ||
         (c >= 0x40 && c <= 0x5F) || (c >= 0x61 && c <= 0x7E) || c >= 0x80;
}

// Query bytes: as for the path, plus '?' and '`', minus '"'.
constexpr bool is_query_c(unsigned c) {
  return c == 0x21 || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x3F && c <= 0x7E) ||
         c >= 0x80;
}

constexpr Table kScheme = make_table(is_scheme_c);
constexpr Table kAuthority = make_table(is_authority_c);
constexpr Table kHex = make_table(is_hex_c);
constexpr Table kPath = make_table(is_path_c);
constexpr Table kQuery = make_table(is_query_c);

constexpr bool in(const Table& t, char c) { return t[static_cast<uint8_t>(c)]; }

size_t count(std::string_view s, char c) noexcept {
  size_t n = 0;
  for (char x : s) {
    if (x == c) ++n;
  }
  return n;
}

bool has_any(std::string_view s, std::string_view set) noexcept {
  return s.find_first_of(set) != std::string_view::npos;
}

// Longest run of colons allowed in one stretch of the authority (the
// userinfo, or the inside of the brackets): enough for any IPv6 address.
constexpr size_t kMaxColons = 8;

// A port is decimal digits (possibly none, as RFC 3986 allows) with a value
// of at most 65535; anything else cannot name a TCP port.
std::optional<UriError> check_port(std::string_view port) noexcept {
  uint32_t value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return UriError::InvalidPort;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return UriError::InvalidPort;
  }
  return std::nullopt;
}

// Checks a non-empty authority. The userinfo is everything before the LAST
// '@', so a password may hold an unencoded '@' (and '%' anywhere in it).
std::optional<UriError> check_authority(std::string_view a) noexcept {
  for (char c : a) {
    if (!in(kAuthority, c) && c != '%') return UriError::InvalidUriChar;
  }
  std::string_view host_port = a;
  const size_t at = a.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userinfo = a.substr(0, at);
    host_port = a.substr(at + 1);
    if (host_port.empty()) return UriError::InvalidAuthority;
    if (has_any(userinfo, "[]") || count(userinfo, ':') > kMaxColons) {
      return UriError::InvalidAuthority;
    }
  }
  if (has_any(host_port, "%")) return UriError::InvalidAuthority;
  if (!host_port.empty() && host_port.front() == '[') {
    const size_t close = host_port.find(']');
    if (close == std::string_view::npos) return UriError::InvalidAuthority;
    // An IPv6 address: hex digits, colons and the dots of an embedded IPv4
    // tail; at least the two colons of "::".
    const std::string_view inside = host_port.substr(1, close - 1);
    const size_t colons = count(inside, ':');
    if (colons < 2 || colons > kMaxColons) return UriError::InvalidAuthority;
    for (char c : inside) {
      if (!in(kHex, c) && c != ':' && c != '.') return UriError::InvalidAuthority;
    }
    const std::string_view tail = host_port.substr(close + 1);
    if (!tail.empty() && (tail.front() != ':' || has_any(tail.substr(1), ":[]"))) {
      return UriError::InvalidAuthority;
    }
    return tail.empty() ? std::nullopt : check_port(tail.substr(1));
  }
  if (has_any(host_port, "[]") || count(host_port, ':') > 1) return UriError::InvalidAuthority;
  const size_t colon = host_port.find(':');
  return colon == std::string_view::npos ? std::nullopt : check_port(host_port.substr(colon + 1));
}

// Scans a path-and-query from its start (a '/', '?' or '#'); returns its
// length without the fragment.
Result<size_t, UriError> scan_path_and_query(std::string_view s) noexcept {
  const size_t n = s.size();
  size_t i = 0;
  bool high = false;
  for (; i < n; ++i) {
    const char c = s[i];
    if (c == '?' || c == '#') break;
    if (!in(kPath, c)) return fail(UriError::InvalidUriChar);
    if (static_cast<uint8_t>(c) >= 0x80) high = true;
  }
  if (i < n && s[i] == '?') {
    for (++i; i < n; ++i) {
      const char c = s[i];
      if (c == '#') break;
      if (!in(kQuery, c)) return fail(UriError::InvalidUriChar);
      if (static_cast<uint8_t>(c) >= 0x80) high = true;
    }
  }
  // Non-ASCII text passes only as well-formed UTF-8.
  if (high && !utf8::is_valid(s.substr(0, i))) return fail(UriError::InvalidUriChar);
  return i;
}

}  // namespace

std::string_view uri_error_text(UriError error) noexcept {
  switch (error) {
    case UriError::InvalidUriChar: return "invalid uri character";
    case UriError::InvalidScheme: return "invalid scheme";
    case UriError::InvalidAuthority: return "invalid authority";
    case UriError::InvalidPort: return "invalid port";
    case UriError::InvalidFormat: return "invalid format";
    case UriError::SchemeMissing: return "scheme missing";
    case UriError::AuthorityMissing: return "authority missing";
    case UriError::PathMissing: return "path missing";
    case UriError::TooLong: return "uri too long";
    case UriError::Empty: return "empty string";
    case UriError::SchemeTooLong: return "scheme too long";
  }
  return "invalid uri character";
}

std::string_view Uri::path() const noexcept {
  const std::string_view p = path_and_query.substr(0, path_and_query.find('?'));
  if (p.empty() && has_scheme()) return "/";
  return p;
}

std::string_view Uri::query() const noexcept {
  const size_t q = path_and_query.find('?');
  return q == std::string_view::npos ? std::string_view{} : path_and_query.substr(q + 1);
}

bool Uri::has_query() const noexcept {
  return path_and_query.find('?') != std::string_view::npos;
}

Result<Uri, UriError> parse_uri(std::string_view text) {
  if (text.empty()) return fail(UriError::Empty);
  if (text.size() > kMaxUriLength) return fail(UriError::TooLong);

  Uri uri;
  if (text.size() == 1) {
    if (text == "/" || text == "*") {
      uri.path_and_query = text;
      return uri;
    }
    if (auto e = check_authority(text)) return fail(*e);
    uri.authority = text;
    return uri;
  }

  if (text.front() == '/') {
    auto n = scan_path_and_query(text);
    if (!n) return fail(n.error());
    uri.path_and_query = text.substr(0, *n);
    return uri;
  }

  // A scheme is a run of scheme characters directly followed by "://";
  // anything else before the first ':' means there is none.
  size_t run = 0;
  while (run < text.size() && in(kScheme, text[run])) ++run;
  std::string_view rest = text;
  if (run < text.size() && text.substr(run, 3) == "://") {
    const std::string_view scheme = text.substr(0, run);
    if (chars::iequals(scheme, "http")) {
      uri.scheme_kind = SchemeKind::Http;
    } else if (chars::iequals(scheme, "https")) {
      uri.scheme_kind = SchemeKind::Https;
    } else {
      if (run > kMaxSchemeLength) return fail(UriError::SchemeTooLong);
      // A scheme begins with a letter; "://x" or "1a://x" name none.
      if (run == 0 || !is_alpha_c(static_cast<uint8_t>(scheme.front()))) {
        return fail(UriError::InvalidScheme);
      }
      uri.scheme_kind = SchemeKind::Other;
    }
    uri.scheme = scheme;
    rest = text.substr(run + 3);
  }

  const size_t end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, end);
  if (authority.empty()) return fail(UriError::InvalidFormat);
  if (auto e = check_authority(authority)) return fail(*e);
  uri.authority = authority;

  if (end == std::string_view::npos) return uri;
  // Without a scheme only the authority form (host and port) is allowed.
  if (!uri.has_scheme()) return fail(UriError::InvalidFormat);
  const std::string_view tail = rest.substr(end);
  auto n = scan_path_and_query(tail);
  if (!n) return fail(n.error());
  uri.path_and_query = tail.substr(0, *n);
  return uri;
}

}  // namespace vintrel::http
