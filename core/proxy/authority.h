// Pieces of a URL authority: the userinfo and the host.
#pragma once

#include <string_view>

namespace vintrel::proxy {

struct AuthorityParts {
  bool has_userinfo = false;
  std::string_view userinfo;   // before the last '@'
  std::string_view host_port;  // after the last '@' (the whole authority without one)
};

// Splits at the LAST '@': a password may hold an unencoded '@', while a host
// and port never do.
AuthorityParts split_authority(std::string_view authority) noexcept;

// The host of `host_port`: a bracketed IPv6 literal up to its first ']',
// otherwise the text before the first ':'; any '[' and ']' at either end
// are then stripped. May be empty.
std::string_view host_of(std::string_view host_port) noexcept;

}  // namespace vintrel::proxy
