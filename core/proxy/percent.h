// Percent-decoding of userinfo text.
#pragma once

#include <string>
#include <string_view>

namespace vintrel::proxy {

// Decodes every "%XY" (two hex digits, either case) to its byte; a "%" not
// followed by two hex digits stays as written. The result is then made
// valid UTF-8: each ill-formed subpart becomes U+FFFD.
std::string percent_decode_lossy(std::string_view text);

}  // namespace vintrel::proxy
