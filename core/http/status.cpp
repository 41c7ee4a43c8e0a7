#include "core/http/status.h"

#include <array>
#include <utility>

namespace vintrel::http {
namespace {

constexpr std::pair<uint16_t, std::string_view> kPhrases[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {103, "Early Hints"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {418, "I'm a teapot"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Entity"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};
static_assert(std::size(kPhrases) == 62);

constexpr size_t kCodes = kMaxStatus - kMinStatus + 1;

// One slot per code 100-999; an empty phrase means none.
constexpr auto kPhraseByCode = [] {
  std::array<std::string_view, kCodes> t{};
  for (const auto& [code, phrase] : kPhrases) t[code - kMinStatus] = phrase;
  return t;
}();

// "100101102...999": three digits per code at offset (code - 100) * 3.
constexpr auto kDigits = [] {
  std::array<char, kCodes * 3> t{};
  for (unsigned code = kMinStatus; code <= kMaxStatus; ++code) {
    const size_t at = (code - kMinStatus) * 3;
    t[at] = static_cast<char>('0' + code / 100);
    t[at + 1] = static_cast<char>('0' + code / 10 % 10);
    t[at + 2] = static_cast<char>('0' + code % 10);
  }
  return t;
}();

}  // namespace

std::string_view status_error_text(StatusError) noexcept { return kInvalidStatusText; }

std::optional<std::string_view> canonical_reason(uint16_t code) noexcept {
  if (code < kMinStatus || code > kMaxStatus) return std::nullopt;
  const std::string_view phrase = kPhraseByCode[code - kMinStatus];
  if (phrase.empty()) return std::nullopt;
  return phrase;
}

std::string_view status_digits(uint16_t code) noexcept {
  if (code < kMinStatus || code > kMaxStatus) return {};
  return {kDigits.data() + (code - kMinStatus) * 3, 3};
}

}  // namespace vintrel::http
