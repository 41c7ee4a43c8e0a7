#include "core/proxy/authority.h"

namespace vintrel::proxy {

AuthorityParts split_authority(std::string_view authority) noexcept {
  const size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return {false, {}, authority};
  return {true, authority.substr(0, at), authority.substr(at + 1)};
}

std::string_view host_of(std::string_view host_port) noexcept {
  std::string_view host;
  if (!host_port.empty() && host_port[0] == '[') {
    const size_t close = host_port.find(']');
    host = close == std::string_view::npos ? host_port : host_port.substr(0, close + 1);
  } else {
    host = host_port.substr(0, host_port.find(':'));
  }
  while (!host.empty() && (host.front() == '[' || host.front() == ']')) host.remove_prefix(1);
  while (!host.empty() && (host.back() == '[' || host.back() == ']')) host.remove_suffix(1);
  return host;
}

}  // namespace vintrel::proxy
