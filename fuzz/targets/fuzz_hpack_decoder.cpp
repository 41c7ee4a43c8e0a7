// The HPACK decoder on hostile header blocks under random table sizes:
// never a crash or an over-read, and the table keeps to its size.
#include "core/http2/hpack/decoder.h"
#include "support.h"

using namespace vintrel;
using namespace vintrel::h2::hpack;

namespace {

void check_table(const HpackDecoder& d) {
  const HeaderTable& t = d.table();
  size_t sum = 0;
  for (size_t i = 0; i < t.count(); ++i) sum += t.get(i).entry_size();
  fuzz::check(sum == t.size() && t.size() == d.table_size(), "table size is not the sum of its entries");
  fuzz::check(d.table_size() <= d.max_table_size(), "table over its maximum");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  HpackDecoder decoder;
  // The table size we advertise, now and again before a later piece.
  const bool resize = in.ConsumeBool();
  const auto first_size = in.ConsumeIntegralInRange<size_t>(0, 1 << 14);
  const auto later_size = in.ConsumeIntegralInRange<size_t>(0, 1 << 14);
  if (resize) decoder.queue_size_update(first_size);
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  // Each piece is decoded after what the previous one left incomplete, as
  // the fragments of a header block are.
  std::string pending;
  size_t n = 0;
  for (std::string_view piece : fuzz::split(bytes, seed)) {
    if (resize && ++n == 3) decoder.queue_size_update(later_size);
    pending.append(piece);
    SinkFn sink([&](const DecodedHeader& h) {
      fuzz::check(h.is_pseudo() || !h.name.empty(), "decoded field without a name");
      fuzz::check(h.kind != HeaderKind::Status || (h.status >= 100 && h.status <= 999), "status out of range");
      return SinkAction::Continue;
    });
    const DecodeOutcome out = decoder.decode_block(fuzz::Exact(pending).view(), sink);
    fuzz::check(out.consumed <= pending.size(), "consumed past the block");
    check_table(decoder);
    if (!out.ok() && !out.error->is_need_more()) return 0;  // the connection would end here
    pending.erase(0, out.consumed);
  }
  return 0;
}
