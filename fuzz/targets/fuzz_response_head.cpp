// Response heads from a hostile server: never a crash or an over-read, and
// the same outcome whether the bytes come whole or in pieces.
#include "head_outcome.h"
#include "support.h"

using namespace vintrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // The request being answered: none, or one of the methods that change
  // how a response is framed.
  constexpr std::optional<http::MethodKind> kMethods[] = {std::nullopt, http::MethodKind::Get,
                                                          http::MethodKind::Head, http::MethodKind::Connect};
  const auto method = kMethods[in.ConsumeIntegralInRange<size_t>(0, 3)];
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  auto receive = [&](http1::HeadReader& r, std::string_view piece, fuzz::HeadOutcome& out) {
    auto got = r.receive_response(piece, method);
    if (!got.ok()) {
      out.error = static_cast<int>(got.error());
    } else if (*got) {
      out.record(**got);
      out.line = std::to_string((*got)->status);
      fuzz::check((*got)->status >= 100 && (*got)->status <= 999, "status out of range");
    }
  };
  const auto whole = fuzz::feed_head({bytes}, receive);
  if (seed != 0) fuzz::check(fuzz::feed_head(fuzz::split(bytes, seed), receive) == whole, "split differs");
  return 0;
}
