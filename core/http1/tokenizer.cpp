#include "core/http1/tokenizer.h"

#include <cstring>

#include "core/http/chars.h"

namespace vintrel::http1 {

namespace {

using http::chars::kFieldValue;
using http::chars::kToken;

// Request-target bytes: visible ASCII and 0x80-0xFF.
constexpr http::chars::Table kTarget = http::chars::make_table([](unsigned c) { return c > 0x20 && c != 0x7F; });

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// The end of the run of value bytes starting at p: eight at a time while no
// byte below 0x20 or equal to 0x7F shows (a tab ends the fast path for
// its word only), then one at a time.
const char* skip_value_bytes(const char* p, const char* end) noexcept {
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    const uint64_t below_space = (x - 0x20 * kOnes) & ~x & kHighs;
    const uint64_t del = x ^ (0x7F * kOnes);
    const uint64_t is_del = (del - kOnes) & ~del & kHighs;
    if ((below_space | is_del) != 0) break;
    p += 8;
  }
  while (p < end && kFieldValue[static_cast<uint8_t>(*p)]) ++p;
  return p;
}

// Reads the line end at text[i]: the index past it, or an error.
Result<size_t, TokenError> line_end(std::string_view text, size_t i, TokenError otherwise) noexcept {
  if (i >= text.size()) return fail(TokenError::Partial);
  if (text[i] == '\n') return i + 1;
  if (text[i] != '\r') return fail(otherwise);
  if (i + 1 >= text.size()) return fail(TokenError::Partial);
  if (text[i + 1] != '\n') return fail(TokenError::NewLine);
  return i + 2;
}

// "HTTP/1.0" or "HTTP/1.1" at text[i].
bool read_version(std::string_view text, size_t i, http::Version& out) noexcept {
  if (text.size() - i < 8 || text.compare(i, 7, "HTTP/1.") != 0) return false;
  if (text[i + 7] == '1') {
    out = http::Version::Http11;
  } else if (text[i + 7] == '0') {
    out = http::Version::Http10;
  } else {
    return false;
  }
  return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

Result<size_t, TokenError> parse_request_line(std::string_view text, RequestLine& out) noexcept {
  size_t i = 0;
  while (i < text.size() && kToken[static_cast<uint8_t>(text[i])]) ++i;
  if (i == 0 || i >= text.size() || text[i] != ' ') return fail(TokenError::Method);
  out.method = text.substr(0, i);
  const size_t target = ++i;
  while (i < text.size() && kTarget[static_cast<uint8_t>(text[i])]) ++i;
  if (i >= text.size()) return fail(TokenError::Partial);
  // A line that ends right after the target has no version.
  if (text[i] == '\r' || text[i] == '\n') return fail(TokenError::Version);
  if (i == target || text[i] != ' ') return fail(TokenError::Target);
  out.target = text.substr(target, i - target);
  if (!read_version(text, ++i, out.version)) return fail(TokenError::Version);
  return line_end(text, i + 8, TokenError::Version);
}

Result<size_t, TokenError> parse_status_line(std::string_view text, StatusLine& out) noexcept {
  if (!read_version(text, 0, out.version) || text.size() < 9 || text[8] != ' ') return fail(TokenError::Version);
  if (text.size() < 12 || !is_digit(text[9]) || !is_digit(text[10]) || !is_digit(text[11])) {
    return fail(TokenError::Status);
  }
  out.status = static_cast<uint16_t>((text[9] - '0') * 100 + (text[10] - '0') * 10 + (text[11] - '0'));
  size_t i = 12;
  if (i < text.size() && text[i] == ' ') {
    const char* p = text.data() + i + 1;
    i = static_cast<size_t>(skip_value_bytes(p, text.data() + text.size()) - text.data());
  }
  return line_end(text, i, TokenError::Status);
}

Result<size_t, TokenError> parse_fields(std::string_view text, RawField* out, size_t capacity, size_t& count) noexcept {
  count = 0;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  size_t i = 0;
  for (;;) {
    if (i >= text.size()) return fail(TokenError::Partial);
    if (text[i] == '\r' || text[i] == '\n') return line_end(text, i, TokenError::NewLine);
    const size_t name = i;
    while (i < text.size() && kToken[static_cast<uint8_t>(text[i])]) ++i;
    if (i >= text.size()) return fail(TokenError::Partial);
    if (text[i] != ':') {
      if (i > name && (text[i] == '\r' || text[i] == '\n')) return fail(TokenError::MissingColon);
      return fail(TokenError::HeaderName);
    }
    if (i == name) return fail(TokenError::HeaderName);
    if (count == capacity) return fail(TokenError::TooManyFields);
    RawField& field = out[count++];
    field.name = text.substr(name, i - name);
    ++i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const size_t value = i;
    i = static_cast<size_t>(skip_value_bytes(begin + i, end) - begin);
    size_t value_end = i;
    while (value_end > value && (text[value_end - 1] == ' ' || text[value_end - 1] == '\t')) --value_end;
    field.value = text.substr(value, value_end - value);
    auto next = line_end(text, i, TokenError::HeaderValue);
    if (!next.ok()) return next;
    i = *next;
  }
}

}  // namespace vintrel::http1
