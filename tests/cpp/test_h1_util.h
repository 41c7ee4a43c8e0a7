// Shared helpers of the HTTP/1 core tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http/header_field.h"
#include "core/http/header_map.h"

namespace vintrel::http1::testing {

using Fields = std::vector<std::pair<std::string, std::string>>;

inline http::HeaderMap make_map(std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  http::HeaderMap map;
  http::NameScratch scratch;
  for (const auto& [name, value] : fields) {
    auto n = http::parse_header_name(name, scratch);
    if (!n.ok() || !map.append(*n, http::HeaderValue::trusted(value)).ok()) return {};
  }
  return map;
}

inline Fields fields_of(const http::HeaderMap& map) {
  Fields out;
  map.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

}  // namespace vintrel::http1::testing
