// The body decoder under each framing, the same input fed whole and in
// pieces cut where the input says, with decode() called between feeds as a
// driver would: until it has nothing more, or only a few times before the
// next feed (so bytes are still unread when more arrive). Whole and in
// pieces give the same data, completion, failure (kind and text), trailers
// and unread bytes at the end, failure or not: the pieces go on being fed
// after a failure, which is sticky. Besides: never more data than the
// length (exactly the length once complete), no empty data, each view
// decode returns unchanged until the next feed, trailers taken only once.
#include <optional>
#include <utility>

#include "core/http1/body_decoder.h"
#include "core/http1/fields.h"
#include "support.h"

using namespace vintrel;

namespace {

struct BodyOutcome {
  std::string data;
  bool complete = false;
  int error = -1;
  std::string text;
  std::vector<std::string> trailers;
  std::string rest;

  bool operator==(const BodyOutcome&) const = default;
};

// Decode calls between two feeds, and the views they returned (with a copy
// of each), which must read the same until the next feed.
class Driver {
 public:
  Driver(http1::BodyKind kind, uint64_t length) : d_(kind, length) {}

  void feed(std::string_view piece) {
    settle();
    // The piece is freed right after: the decoder must have copied it.
    d_.feed(fuzz::Exact(piece).view());
  }

  // Up to `budget` decode calls (0: until there is nothing more).
  void decode(size_t budget) {
    for (size_t n = 0; budget == 0 || n < budget; ++n) {
      auto got = d_.decode();
      if (!got.ok()) {
        const std::string text(got.error().text());
        if (out_.error < 0) {
          out_.error = static_cast<int>(got.error().kind);
          out_.text = text;
        }
        fuzz::check(out_.error == static_cast<int>(got.error().kind) && out_.text == text, "failure not sticky");
        return;
      }
      fuzz::check(out_.error < 0, "a failure went away");
      if (!*got) return;
      fuzz::check(!(*got)->empty(), "empty data returned");
      out_.data.append(**got);
      views_.emplace_back(**got, std::string(**got));
    }
  }

  void mark_eof() { d_.mark_eof(); }

  BodyOutcome finish(http1::BodyKind kind, uint64_t length) {
    settle();
    out_.complete = d_.is_complete();
    if (kind == http1::BodyKind::Length) {
      fuzz::check(out_.data.size() <= length, "more data than the length");
      fuzz::check(!out_.complete || out_.data.size() == length, "complete short of the length");
    }
    if (auto t = d_.take_trailers()) {
      http1::for_each_field(*t, [this](std::string_view n, std::string_view v) {
        out_.trailers.push_back(std::string(n).append(": ").append(v));
      });
    }
    fuzz::check(!d_.take_trailers(), "trailers taken twice");
    out_.rest = std::string(d_.buffered());
    d_.clear_buffered();
    fuzz::check(d_.buffered().empty(), "bytes left after clear_buffered");
    return std::move(out_);
  }

 private:
  void settle() {
    for (const auto& [view, copy] : views_) fuzz::check(view == copy, "decoded data changed before the next feed");
    views_.clear();
  }

  http1::BodyDecoder d_;
  BodyOutcome out_;
  std::vector<std::pair<std::string_view, std::string>> views_;
};

BodyOutcome run(http1::BodyKind kind, uint64_t length, bool eof, const std::vector<std::string_view>& pieces,
                size_t budget) {
  Driver d(kind, length);
  for (std::string_view piece : pieces) {
    d.feed(piece);
    d.decode(budget);
  }
  // Whatever the budget, all that is there is decoded before the end.
  d.decode(0);
  if (eof) {
    d.mark_eof();
    d.decode(0);
  }
  return d.finish(kind, length);
}

void show(const char* label, const BodyOutcome& o) {
  std::fprintf(stderr, "  %s: data %s, complete %d, error %d %s, %zu trailers, rest %s\n", label,
               fuzz::escaped(o.data.substr(0, 200)).c_str(), o.complete, o.error, o.text.c_str(), o.trailers.size(),
               fuzz::escaped(o.rest.substr(0, 200)).c_str());
  for (const auto& t : o.trailers) std::fprintf(stderr, "    %s\n", fuzz::escaped(t).c_str());
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
  // Decode calls after each feed; 0: until there is nothing more.
  const size_t budget = in.ConsumeIntegralInRange<size_t>(0, 3);
  const fuzz::Cuts cuts = fuzz::read_cuts(in);
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  const BodyOutcome whole = run(kind, length, eof, {bytes}, 0);
  if (cuts.splits() || budget != 0) {
    const BodyOutcome parts = run(kind, length, eof, fuzz::cut(bytes, cuts), budget);
    if (!(parts == whole)) {
      show("whole", whole);
      show("pieces", parts);
      fuzz::finding("fed in pieces, the body decodes differently");
    }
  }
  return 0;
}
