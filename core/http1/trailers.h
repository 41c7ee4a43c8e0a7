// The trailer section of a chunked body: parsed with the head tokenizer
// into a HeaderMap, with the texts its failures report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/http/header_map.h"
#include "core/util/result.h"

namespace vintrel::http1 {

// Parses `section` (field lines and the empty line that ends them) holding
// `lines` field lines. A later field of a name replaces the earlier one,
// which keeps its place. The error is the failure's whole text.
Result<http::HeaderMap, std::string> parse_trailer_section(std::string_view section, size_t lines);

// `Header { name: "x", value: "v" }`: each part as a double-quoted string
// with `"` and `\` escaped and control characters written as escapes; a
// value that is not UTF-8 as its bytes in decimal, "[255, 1]".
std::string render_field(std::string_view name, std::string_view value);

}  // namespace vintrel::http1
