// Valid header names and values made from fuzz input, for the
// round-trip targets.
#pragma once

#include <string>

#include "core/http/chars.h"
#include "support.h"

namespace vintrel::fuzz {

// Names that the static tables and the framing rules know, mixed with
// made-up ones.
inline constexpr std::string_view kCommonNames[] = {
    "accept", "accept-encoding", "cache-control", "content-type", "cookie", "host", "user-agent",
    "x-request-id", "set-cookie", "www-authenticate", "etag", "vary",
};

// A lowercase token of 1 to 24 characters, or a common name.
inline std::string make_name(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return std::string(in.PickValueInArray(kCommonNames));
  std::string raw = in.ConsumeRandomLengthString(24);
  std::string name;
  for (char c : raw) {
    if (http::chars::token(c)) name += http::chars::ascii_lower(c);
  }
  return name.empty() ? std::string("x") : name;
}

// Field-value bytes only; with `trimmed`, no space or tab at either end
// (HTTP/1 drops those as optional whitespace).
inline std::string make_value(FuzzedDataProvider& in, bool trimmed, size_t max_length = 64) {
  std::string raw = in.ConsumeRandomLengthString(max_length);
  std::string value;
  for (char c : raw) {
    if (http::chars::field_value(c)) value += c;
  }
  if (trimmed) {
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    const size_t start = value.find_first_not_of(" \t");
    value.erase(0, start == std::string::npos ? value.size() : start);
  }
  return value;
}

}  // namespace vintrel::fuzz
