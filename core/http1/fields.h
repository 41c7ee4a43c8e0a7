// How the HTTP/1 core (and its fuzz targets) puts fields into a HeaderMap
// and reads them out: parsed fields are appended through append_fields (a
// head, in bulk) or append_field (a trailer), and a map being encoded is
// read through for_each_field. Nothing else in core/http1 touches a map's
// fields. The HTTP/2 reader and writer and the Python layer use the map's
// own interface.
#pragma once

#include <span>
#include <string_view>

#include "core/http/header_field.h"
#include "core/http/header_map.h"

namespace vintrel::http1 {

// Appends a field whose bytes the tokenizer already checked: `raw_name` is
// a run of token characters (any case), `value` valid value bytes. Fails
// only when the map is full (or the name is not a valid header name).
inline bool append_field(http::HeaderMap& map, std::string_view raw_name, std::string_view value,
                         http::NameScratch& scratch) {
  auto name = http::parse_header_name(raw_name, scratch);
  return name.ok() && map.append(*name, http::HeaderValue::trusted(value)).ok();
}

// Appends a parsed head's fields in order, their bytes copied once into the
// map (names folded to lowercase on the way). The tokenizer checked them.
// Fails only when the map is full.
inline bool append_fields(http::HeaderMap& map, std::span<const http::FieldView> fields) {
  return map.append_fields(fields).ok();
}

// f(name, value) for every value, in the map's order; names are lowercase.
template <class F>
void for_each_field(const http::HeaderMap& map, F&& f) {
  map.for_each(f);
}

}  // namespace vintrel::http1
