// The body decoder under each framing, the input fed in pieces: never a
// crash, and the same data, end, failure, trailers and leftover bytes as
// when it is fed whole.
#include <optional>

#include "core/http1/body_decoder.h"
#include "core/http1/fields.h"
#include "support.h"

using namespace vintrel;

namespace {

struct BodyOutcome {
  std::string data;
  bool complete = false;
  int error = -1;
  std::string detail;
  std::vector<std::string> trailers;
  std::string rest;

  bool operator==(const BodyOutcome&) const = default;
};

// Decodes all that is available; false once the decoder failed.
bool drain(http1::BodyDecoder& d, BodyOutcome& out) {
  for (;;) {
    auto got = d.decode();
    if (!got.ok()) {
      out.error = static_cast<int>(got.error().kind);
      out.detail = got.error().detail;
      // A failure is sticky.
      auto again = d.decode();
      fuzz::check(!again.ok() && again.error().kind == got.error().kind, "failure not sticky");
      return false;
    }
    if (!*got) return true;
    fuzz::check(!(*got)->empty(), "empty data returned");
    out.data.append(**got);
  }
}

BodyOutcome run(http1::BodyKind kind, uint64_t length, bool eof, const std::vector<std::string_view>& pieces) {
  http1::BodyDecoder d(kind, length);
  BodyOutcome out;
  bool ok = true;
  for (std::string_view piece : pieces) {
    d.feed(fuzz::Exact(piece).view());
    if (!(ok = drain(d, out))) break;
  }
  if (ok && eof) {
    d.mark_eof();
    drain(d, out);
  }
  out.complete = d.is_complete();
  if (kind == http1::BodyKind::Length) fuzz::check(out.data.size() <= length, "more data than the length");
  if (auto t = d.take_trailers()) {
    http1::for_each_field(*t, [&out](std::string_view n, std::string_view v) {
      out.trailers.push_back(std::string(n).append(": ").append(v));
    });
  }
  if (out.error < 0) out.rest = std::string(d.buffered());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  constexpr http1::BodyKind kKinds[] = {http1::BodyKind::Chunked, http1::BodyKind::Length, http1::BodyKind::Close,
                                        http1::BodyKind::Empty};
  const auto kind = kKinds[in.ConsumeIntegralInRange<size_t>(0, 3)];
  const bool eof = in.ConsumeBool();
  // Mostly lengths within the input, sometimes any.
  const uint64_t length =
      in.ConsumeBool() ? in.ConsumeIntegral<uint64_t>() : in.ConsumeIntegralInRange<uint64_t>(0, 4096);
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  const BodyOutcome whole = run(kind, length, eof, {bytes});
  if (seed != 0) {
    // Data after a failure may differ with the pieces (a piece may carry
    // data that precedes the failing byte); the failure itself may not.
    BodyOutcome parts = run(kind, length, eof, fuzz::split(bytes, seed));
    if (whole.error >= 0) {
      fuzz::check(parts.error == whole.error && parts.detail == whole.detail, "split fails differently");
    } else {
      fuzz::check(parts == whole, "split differs");
    }
  }
  return 0;
}
