// Standard base64 (the RFC 4648 alphabet with "=" padding).
#pragma once

#include <string>
#include <string_view>

namespace vintrel::proxy {

// Appends the encoding of `data` to `out`.
void base64_append(std::string& out, std::string_view data);

}  // namespace vintrel::proxy
