// The HTTP/2 frame reader, with the real HPACK decoder behind it, fed a
// hostile peer's bytes in pieces under random receive limits: never a
// crash, an over-read or a hang, and the limits hold.
#include "core/http2/frame_reader.h"
#include "hpack_block_decoder.h"
#include "support.h"

using namespace vintrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  h2::FrameReader reader;
  fuzz::HpackBlockDecoder decoder;
  // Small limits most of the time, so that the limits themselves are hit.
  if (in.ConsumeBool()) {
    const uint32_t frame = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange<uint32_t>(0, 64);
    fuzz::check(reader.set_max_recv_frame_size(frame).ok() == (frame != 0), "frame size 0 taken or other refused");
  }
  if (in.ConsumeBool()) {
    reader.set_max_header_list_size(in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>()
                                                     : in.ConsumeIntegralInRange<uint32_t>(0, 512));
  }
  if (in.ConsumeBool()) decoder.hpack.queue_size_update(in.ConsumeIntegralInRange<size_t>(0, 8192));
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  for (std::string_view piece : fuzz::split(bytes, seed, 40)) {
    // One frame at most is held: nothing past its declared length.
    const size_t held_before = reader.buffered();
    auto status = reader.receive(piece, decoder);
    fuzz::check(reader.buffered() <= held_before + piece.size(), "reader holds more than it was given");
    if (!status.ok()) break;
    for (const auto& event : reader.events()) {
      if (const auto* headers = std::get_if<h2::HeadersFrame>(&event)) {
        for (size_t i = 0; i < headers->fields.size(); ++i) {
          fuzz::check(!headers->fields.name(i).empty(), "empty field name kept");
        }
      }
    }
  }
  fuzz::check(decoder.hpack.table_size() <= decoder.hpack.max_table_size(), "HPACK table over its size");
  return 0;
}
