#include "core/util/version.h"

namespace vintrel {

std::string python_version(std::string_view version) {
  std::string out;
  out.reserve(version.size());
  while (!version.empty()) {
    if (version.starts_with("-alpha")) {
      out += 'a';
      version.remove_prefix(6);
    } else if (version.starts_with("-beta")) {
      out += 'b';
      version.remove_prefix(5);
    } else {
      out += version.front();
      version.remove_prefix(1);
    }
  }
  return out;
}

}  // namespace vintrel
