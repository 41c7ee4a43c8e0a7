// The receive half of the HTTP/2 frame codec: cuts complete frames off the
// inbound bytes, loads them, assembles header blocks across CONTINUATION
// frames, and enforces the receive limits (frame size, CONTINUATION flood,
// header-list size and its abuse limit). It keeps no stream state and reads
// alike in both roles.
//
// Buffering. Frames are cut straight out of the bytes handed to `receive`;
// what is left after the last complete frame (a frame cut by the
// transport, or everything after a failing frame) is copied into the
// reader's held bytes, and the next call reads on from there. A frame that
// begins in held bytes is completed in place: its whole length is reserved
// once its head is known, so every octet is copied into the reader at most
// once and never moved while anything views it.
//
// Events. `receive` fills a `FrameBatch` with the call's events, in stream
// order. DATA payloads and GOAWAY debug data are views: into the `data` of
// that call (the caller keeps it alive), or into the reader's bytes of a
// frame completed from held bytes, whose block the batch then owns. So a
// batch stays valid, wherever it is moved, while it lives and `data` lives,
// whatever the reader does next.
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
#include "core/http2/received_block.h"
#include "core/http2/held_bytes.h"

namespace vintrel::h2 {

using FrameEvent = std::variant<DataFrame, HeadersFrame, PriorityFrame, SettingsFrame, RstStreamFrame,
                                PingFrame, GoAwayFrame, WindowUpdateFrame, StreamErrorFrame>;

// The events of one receive call and the blocks of held bytes they view
// (heap arrays: their addresses survive any move of the batch).
struct FrameBatch {
  std::vector<FrameEvent> events;
  ByteBlocks storage;

  void clear() noexcept {
    events.clear();
    storage.clear();
  }
};

inline constexpr uint64_t kDefaultMaxHeaderListSize = 16777216;

// The largest number of CONTINUATION frames without END_HEADERS one block
// may use: with m = max(1, list / frame), max(5, m + m / 4), saturating.
uint64_t calc_max_continuation_frames(uint64_t max_header_list_size, uint64_t max_frame_size) noexcept;

class FrameReader {
 public:
  using Status = Result<void, ProtocolError>;

  // Cuts and loads every complete frame into `out` (cleared first). On
  // failure the events of this call are dropped, the frames before the
  // failing one stay consumed, the failing one too (except an oversize
  // frame, which stays held so the next call fails again), and the bytes
  // after it stay held: the next call reads them as it would have.
  Status receive(std::string_view data, HeaderBlockDecoder& decoder, FrameBatch& out);
  // Octets held awaiting a complete frame (or after a failure).
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
    bool refused = false;  // a self-dependent HEADERS: a stream error at its end
  };
  using Events = std::vector<FrameEvent>;

  // Frames that begin in held bytes, completed from `data` as needed.
  Status read_held(std::string_view& data, HeaderBlockDecoder& decoder, FrameBatch& out);
  // Frames straight from `data`, until it holds no complete frame.
  Status read_data(std::string_view& data, HeaderBlockDecoder& decoder, Events& events);
  Status process(const FrameHead& head, std::string_view payload, HeaderBlockDecoder& decoder, Events& events);
  Status on_headers(const FrameHead& head, std::string_view payload, HeaderBlockDecoder& decoder, Events& events);
  Status on_continuation(const FrameHead& head, std::string_view payload, HeaderBlockDecoder& decoder,
                         Events& events);
  // Decodes the pending tail followed by `payload` (straight from the
  // payload when nothing is pending) and keeps in `open.pending` what waits
  // for the next fragment.
  Status decode(OpenBlock& open, std::string_view payload, bool end_headers, HeaderBlockDecoder& decoder);
  // After a fragment decoded: the block stays open until END_HEADERS, then
  // becomes one stream error (malformed or refused) or its event.
  void settle(OpenBlock&& open, bool end_headers, Events& events);
  void recompute_limits() noexcept;

  uint64_t max_frame_ = kDefaultMaxFrameSize;
  HeaderLimits limits_{kDefaultMaxHeaderListSize, 4 * kDefaultMaxHeaderListSize};
  uint64_t continuation_cap_ = calc_max_continuation_frames(kDefaultMaxHeaderListSize, kDefaultMaxFrameSize);
  HeldBytes held_;
  std::optional<OpenBlock> open_;
};

}  // namespace vintrel::h2
