// Text shown between double quotes in a repr.
#pragma once

#include <string>
#include <string_view>

namespace vintrel::util {

// Appends `text` (UTF-8) to `out` between double quotes, with `"` and `\`
// escaped by a backslash and each non-printable character as a backslash
// escape: \t, \n and \r for those three, \u{X} (lowercase hex, no padding)
// for any other control character (U+0000-U+001F, U+007F-U+009F), for the
// line and paragraph separators U+2028 and U+2029, and for U+FEFF. A byte
// that is not part of well-formed UTF-8 shows as \x{XX}, so the quoted text
// always tells the bytes apart.
void append_quoted(std::string& out, std::string_view text);

}  // namespace vintrel::util
