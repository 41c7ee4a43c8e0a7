#include "core/proxy/percent.h"

#include "core/util/hex.h"
#include "core/util/utf8.h"

namespace vintrel::proxy {

std::string percent_decode_lossy(std::string_view text) {
  if (text.find('%') == std::string_view::npos) return utf8::to_valid_lossy(text);
  std::string raw;
  raw.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && util::hex_value(text[i + 1]) != 0xFF &&
        util::hex_value(text[i + 2]) != 0xFF) {
      raw += static_cast<char>(util::hex_value(text[i + 1]) << 4 | util::hex_value(text[i + 2]));
      i += 2;
    } else {
      raw += text[i];
    }
  }
  return utf8::to_valid_lossy(raw);
}

}  // namespace vintrel::proxy
