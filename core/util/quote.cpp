#include "core/util/quote.h"

#include <cstdint>

#include "core/util/hex.h"
#include "core/util/utf8.h"

namespace vintrel::util {
namespace {

bool printable(char32_t cp) {
  return !(cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF);
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    const utf8::Step step = utf8::next(text);
    if (!step.valid) {
      for (size_t i = 0; i < step.length; ++i) {
        out += "\\x{";
        append_hex(out, static_cast<uint8_t>(text[i]));
        out += '}';
      }
    } else if (step.code_point == '"' || step.code_point == '\\') {
      out += '\\';
      out += static_cast<char>(step.code_point);
    } else if (step.code_point == '\t') {
      out += "\\t";
    } else if (step.code_point == '\n') {
      out += "\\n";
    } else if (step.code_point == '\r') {
      out += "\\r";
    } else if (!printable(step.code_point)) {
      out += "\\u{";
      append_hex(out, step.code_point);
      out += '}';
    } else {
      out.append(text.data(), step.length);
    }
    text.remove_prefix(step.length);
  }
  out += '"';
}

}  // namespace vintrel::util
