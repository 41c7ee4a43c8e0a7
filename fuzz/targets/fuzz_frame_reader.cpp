// The HTTP/2 frame reader, with the real HPACK decoder behind it, fed a
// hostile peer's bytes in pieces under random receive limits: never a
// crash, an over-read or a hang, and the limits hold.
#include "core/http2/frame_reader.h"
#include "core/http2/hpack_adapter.h"
#include "support.h"

using namespace vintrel;

namespace {

volatile unsigned char sink;

void touch_bytes(std::string_view bytes) {
  unsigned char x = 0;
  for (char c : bytes) x = static_cast<unsigned char>(x ^ static_cast<unsigned char>(c));
  sink = x;
}

void touch(const h2::FrameEvent& event) {
  if (const auto* data = std::get_if<h2::DataFrame>(&event)) {
    fuzz::check(data->data.size() <= data->flow_controlled_len, "data longer than its payload");
    touch_bytes(data->data);
  } else if (const auto* away = std::get_if<h2::GoAwayFrame>(&event)) {
    touch_bytes(away->debug_data);
  } else if (const auto* headers = std::get_if<h2::HeadersFrame>(&event)) {
    for (size_t i = 0; i < headers->fields.size(); ++i) {
      fuzz::check(!headers->fields.name(i).empty(), "empty field name kept");
      touch_bytes(headers->fields.name(i));
      touch_bytes(headers->fields.value(i));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  h2::FrameReader reader;
  h2::HpackBlockDecoder decoder;
  h2::FrameBatch batch;
  // Small limits most of the time, so that the limits themselves are hit.
  if (in.ConsumeBool()) {
    const uint32_t frame = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange<uint32_t>(0, 64);
    fuzz::check(reader.set_max_recv_frame_size(frame).ok() == (frame != 0), "frame size 0 taken or other refused");
  }
  if (in.ConsumeBool()) {
    reader.set_max_header_list_size(in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>()
                                                     : in.ConsumeIntegralInRange<uint32_t>(0, 512));
  }
  if (in.ConsumeBool()) decoder.hpack().queue_size_update(in.ConsumeIntegralInRange<size_t>(0, 8192));
  const uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  for (std::string_view piece : fuzz::split(bytes, seed, 40)) {
    // One frame at most is held: nothing past its declared length.
    const size_t held_before = reader.buffered();
    const fuzz::Exact copy(piece);
    auto status = reader.receive(copy.view(), decoder, batch);
    fuzz::check(reader.buffered() <= held_before + piece.size(), "reader holds more than it was given");
    if (!status.ok()) break;
    // Every view an event holds is read, so that a view into storage the
    // reader has moved or freed is caught at once.
    for (const auto& event : batch.events) touch(event);
  }
  fuzz::check(decoder.hpack().table_size() <= decoder.hpack().max_table_size(), "HPACK table over its size");
  return 0;
}
