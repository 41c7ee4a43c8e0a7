// The receive half of the HTTP/2 frame codec: cuts complete frames off the
// inbound bytes, loads them, assembles header blocks across CONTINUATION
// frames, and enforces the receive limits (frame size, CONTINUATION flood,
// header-list size and its abuse limit). It keeps no stream state and reads
// alike in both roles.
//
// Buffering. Frames are cut straight out of the bytes handed to `receive`;
// only a frame that is still incomplete when they run out is copied into
// the reader, and the next call completes it there. So every octet is
// copied into the reader at most once and never moved afterwards.
//
// Events. `receive` fills `events()` with this call's events, in stream
// order. DATA payloads and GOAWAY debug data are views, into the `data` of
// this call or into the reader's own storage: they stay valid until the next
// call on the reader, and while `data` lives. A caller that needs them
// longer copies them (the Python layer turns each into its `bytes` while it
// still holds the codec).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/util/result.h"
#include "core/http2/error.h"
#include "core/http2/frame/frames.h"
#include "core/http2/frame/load.h"
#include "core/http2/header_block.h"

namespace vintrel::h2 {

using FrameEvent = std::variant<DataFrame, HeadersFrame, PriorityFrame, SettingsFrame, RstStreamFrame,
                                PingFrame, GoAwayFrame, WindowUpdateFrame, StreamErrorFrame>;

inline constexpr uint64_t kDefaultMaxHeaderListSize = 16777216;

// The largest number of CONTINUATION frames without END_HEADERS one block
// may use: with m = max(1, list / frame), max(5, m + m / 4), saturating.
uint64_t calc_max_continuation_frames(uint64_t max_header_list_size, uint64_t max_frame_size) noexcept;

class FrameReader {
 public:
  using Status = Result<void, ProtocolError>;

  // Cuts and loads every complete frame. On failure the events of this
  // call are dropped, the frames before the failing one stay consumed, the
  // failing one too (except an oversize frame, which stays buffered so the
  // next call fails again), and the bytes after it stay buffered.
  Status receive(std::string_view data, HeaderBlockDecoder& decoder);
  std::vector<FrameEvent>& events() noexcept { return events_; }
  // Hands over the storage that this call's events view, when it is the
  // reader's own (a frame completed across calls): `keep` takes it, so the
  // views stay valid after the next call on the reader. A caller that turns
  // the views into objects outside its lock takes it first, under the lock.
  void take_viewed(std::string& keep) noexcept {
    if (!spare_viewed_) return;
    keep.swap(spare_);
    spare_viewed_ = false;
  }
  // Octets held awaiting a complete frame.
  size_t buffered() const noexcept { return held_.size(); }

  // Our SETTINGS_MAX_FRAME_SIZE once acknowledged. 0 is refused and
  // nothing stored ("receive max frame size must be at least 1, got 0"):
  // the continuation cap divides by it. Anything else is taken as given;
  // the 24-bit length field bounds frames anyway.
  Result<void, InvalidValue> set_max_recv_frame_size(uint32_t value);
  // Our SETTINGS_MAX_HEADER_LIST_SIZE once acknowledged.
  void set_max_header_list_size(uint32_t value) noexcept;

  uint64_t max_recv_frame_size() const noexcept { return max_frame_; }
  uint64_t max_header_list_size() const noexcept { return limits_.max_list; }
  uint64_t continuation_cap() const noexcept { return continuation_cap_; }
  uint64_t abuse_limit() const noexcept { return limits_.abuse; }
  bool block_open() const noexcept { return open_.has_value(); }

 private:
  // A header block waiting for CONTINUATION frames.
  struct OpenBlock {
    HeaderBlock block;
    std::string pending;  // the tail the decoder could not finish yet
    uint64_t continuations = 0;
  };
  enum class Decoded : uint8_t { Ok, Malformed };

  Status process(const FrameHead& head, std::string_view payload, HeaderBlockDecoder& decoder);
  Status on_headers(const FrameHead& head, std::string_view payload, HeaderBlockDecoder& decoder);
  Status on_continuation(const FrameHead& head, std::string_view payload, HeaderBlockDecoder& decoder);
  // Decodes the pending tail followed by `payload` (straight from the
  // payload when nothing is pending) and keeps in `open.pending` what waits
  // for the next fragment.
  Result<Decoded, ProtocolError> decode(OpenBlock& open, std::string_view payload, bool end_headers,
                                        HeaderBlockDecoder& decoder);
  // After a fragment decoded: a stream error for a malformed block, the
  // event of a complete one, or the block stays open for CONTINUATION.
  void settle(OpenBlock&& open, Decoded decoded, bool end_headers, StreamId stream_id);
  void stream_error(StreamId stream_id);
  // Holds `rest` as the start of the next frame. `swap_out`: an event of
  // this call views the held bytes, so they move aside unharmed.
  void hold(std::string_view rest, bool swap_out);
  void recompute_limits() noexcept;

  uint64_t max_frame_ = kDefaultMaxFrameSize;
  HeaderLimits limits_{kDefaultMaxHeaderListSize, 4 * kDefaultMaxHeaderListSize};
  uint64_t continuation_cap_ = calc_max_continuation_frames(kDefaultMaxHeaderListSize, kDefaultMaxFrameSize);
  std::string held_;
  std::string spare_;
  bool spare_viewed_ = false;  // an event of the last call views spare_
  std::optional<OpenBlock> open_;
  std::vector<FrameEvent> events_;
};

}  // namespace vintrel::h2
