// The URL parser on any text: never a crash or an over-read; every part it
// returns lies inside the input, and a parsed URL written back out parses
// to the same parts.
#include "core/http/uri.h"
#include "support.h"

using namespace vintrel;

namespace {

bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer's input is a block of exactly its size.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto uri = http::parse_uri(text);
  if (!uri.ok()) return 0;
  fuzz::check(text.size() <= http::kMaxUriLength, "over-long URL accepted");
  fuzz::check(inside(uri->scheme, text) && inside(uri->authority, text) && inside(uri->path_and_query, text),
              "part outside the input");
  fuzz::check(uri->has_scheme() == !uri->scheme.empty(), "scheme kind and text disagree");
  // Written back as a request line writes it, it parses the same.
  std::string again;
  if (uri->has_scheme()) {
    again.append(uri->scheme).append("://").append(uri->authority).append(uri->path());
    if (uri->has_query()) again.append("?").append(uri->query());
  } else if (uri->path_and_query.empty()) {
    again.append(uri->authority);
  } else {
    again.append(uri->path_and_query);
  }
  auto reparsed = http::parse_uri(again);
  fuzz::check(reparsed.ok(), "rewritten URL does not parse");
  fuzz::check(reparsed->scheme == uri->scheme && reparsed->authority == uri->authority &&
                  reparsed->path() == uri->path() && reparsed->query() == uri->query() &&
                  reparsed->has_query() == uri->has_query(),
              "rewritten URL parses differently");
  return 0;
}
