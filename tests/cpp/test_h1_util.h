// Shared helpers of the HTTP/1 core tests.
#pragma once

#include <initializer_list>
#include <random>
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

// The ways an incremental reader is fed `input` in the tests: whole, one
// byte at a time, and at a few random splits (seeded, so runs repeat).
inline std::vector<std::vector<std::string>> splits(const std::string& input, unsigned seed, size_t max_piece) {
  std::vector<std::vector<std::string>> all{{input}, {}};
  for (char c : input) all[1].emplace_back(1, c);
  std::mt19937 rng(seed);
  for (int n = 0; n < 4; ++n) {
    std::vector<std::string> pieces;
    for (size_t i = 0; i < input.size();) {
      const size_t len = std::uniform_int_distribution<size_t>(1, max_piece)(rng);
      pieces.push_back(input.substr(i, len));
      i += len;
    }
    all.push_back(pieces);
  }
  return all;
}

}  // namespace vintrel::http1::testing
