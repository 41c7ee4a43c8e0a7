// Request heads from a hostile client: never a crash or an over-read, and
// the same outcome whether the bytes come whole or in pieces.
#include "core/http/uri.h"
#include "head_outcome.h"
#include "support.h"

using namespace vintrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  auto receive = [](http1::HeadReader& r, std::string_view piece, fuzz::HeadOutcome& out) {
    auto got = r.receive_request(piece);
    if (!got.ok()) {
      out.error = static_cast<int>(got.error());
    } else if (*got) {
      out.record(**got);
      out.line = std::string((*got)->method.text()).append(" ").append((*got)->target);
      out.expect = (*got)->expect_continue;
      // An accepted target is a URL the parser takes again.
      fuzz::check(http::parse_uri((*got)->target).ok(), "accepted target does not parse");
    }
  };
  const auto whole = fuzz::feed_head({bytes}, receive);
  if (seed != 0) fuzz::check(fuzz::feed_head(fuzz::split(bytes, seed), receive) == whole, "split differs");
  return 0;
}
