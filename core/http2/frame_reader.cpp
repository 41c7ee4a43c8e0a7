#include "core/http2/frame_reader.h"

#include <algorithm>
#include <limits>

namespace vintrel::h2 {
namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

uint64_t saturating_add(uint64_t a, uint64_t b) noexcept { return a > kMax64 - b ? kMax64 : a + b; }

ProtocolError protocol_error(uint32_t code, std::string_view message) {
  return {code, std::string(message)};
}

ProtocolError frame_too_large() {
  return protocol_error(reason::kFrameSizeError, "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
}

template <class T>
Unexpected<ProtocolError> load_failed(const Loaded<T>& loaded) {
  return fail(load_failure(loaded.error()));
}

// Appends the event of a frame that loaded, or fails with its load error.
template <class T>
FrameReader::Status emit(std::vector<FrameEvent>& events, Loaded<T>&& frame) {
  if (!frame) return load_failed(frame);
  events.emplace_back(std::move(*frame));
  return {};
}

void stream_error(std::vector<FrameEvent>& events, StreamId stream_id) {
  events.emplace_back(StreamErrorFrame{stream_id, reason::kProtocolError});
}

// Moves up to `n` octets from the front of `data` to the end of `held`.
void take(std::string_view& data, size_t n, HeldBytes& held, ByteBlocks& retired) {
  n = std::min(n, data.size());
  held.append(data.substr(0, n), retired);
  data.remove_prefix(n);
}

}  // namespace

uint64_t calc_max_continuation_frames(uint64_t max_header_list_size, uint64_t max_frame_size) noexcept {
  const uint64_t m = std::max<uint64_t>(1, max_frame_size == 0 ? kMax64 : max_header_list_size / max_frame_size);
  return std::max<uint64_t>(5, saturating_add(m, m / 4));
}

Result<void, InvalidValue> FrameReader::set_max_recv_frame_size(uint32_t value) {
  if (value == 0) return fail(InvalidValue{"receive max frame size must be at least 1, got 0"});
  max_frame_ = value;
  recompute_limits();
  return {};
}

void FrameReader::set_max_header_list_size(uint32_t value) noexcept {
  limits_.max_list = value;
  recompute_limits();
}

void FrameReader::recompute_limits() noexcept {
  limits_.abuse = limits_.max_list > kMax64 / 4 ? kMax64 : 4 * limits_.max_list;
  continuation_cap_ = calc_max_continuation_frames(limits_.max_list, max_frame_);
}

FrameReader::Status FrameReader::receive(std::string_view data, HeaderBlockDecoder& decoder, FrameBatch& out) {
  out.clear();
  Status status = read_held(data, decoder, out);
  if (status && held_.empty()) status = read_data(data, decoder, out.events);
  if (!status) out.events.clear();
  // The views are made: a block they point into goes to the batch before
  // the rest is held for the next call.
  held_.release_viewed(out.storage);
  if (held_.empty() && data.size() >= kFrameHeadLen) {
    // The frame cut here completes in place.
    const uint64_t length = parse_frame_head(data.data()).length;
    if (length <= max_frame_) held_.reserve(kFrameHeadLen + length, out.storage);
  }
  held_.append(data, out.storage);
  return status;
}

FrameReader::Status FrameReader::read_held(std::string_view& data, HeaderBlockDecoder& decoder, FrameBatch& out) {
  while (!held_.empty()) {
    if (held_.size() < kFrameHeadLen) {
      take(data, kFrameHeadLen - held_.size(), held_, out.storage);
      if (held_.size() < kFrameHeadLen) return {};
    }
    const FrameHead head = parse_frame_head(held_.view().data());
    // An oversize frame stays held, so every later call fails too.
    if (head.length > max_frame_) return fail(frame_too_large());
    const size_t total = kFrameHeadLen + head.length;
    if (held_.size() < total) {
      held_.reserve(total, out.storage);
      take(data, total - held_.size(), held_, out.storage);
      if (held_.size() < total) return {};
    }
    const std::string_view payload = held_.view().substr(kFrameHeadLen, head.length);
    held_.consume_viewed(total);
    if (auto status = process(head, payload, decoder, out.events); !status) return status;
  }
  return {};
}

FrameReader::Status FrameReader::read_data(std::string_view& data, HeaderBlockDecoder& decoder, Events& events) {
  // The length is checked as soon as a head is complete, before its
  // payload arrives; an oversize frame stays for the held bytes.
  while (data.size() >= kFrameHeadLen) {
    const FrameHead head = parse_frame_head(data.data());
    if (head.length > max_frame_) return fail(frame_too_large());
    if (data.size() - kFrameHeadLen < head.length) break;
    const std::string_view payload = data.substr(kFrameHeadLen, head.length);
    data.remove_prefix(kFrameHeadLen + head.length);
    if (auto status = process(head, payload, decoder, events); !status) return status;
  }
  return {};
}

FrameReader::Status FrameReader::process(const FrameHead& head, std::string_view payload,
                                         HeaderBlockDecoder& decoder, Events& events) {
  if (open_ && head.type != frame_type::kContinuation)
    return fail(protocol_error(reason::kProtocolError, "expected CONTINUATION frame"));
  switch (head.type) {
    case frame_type::kData: return emit(events, load_data(head, payload));
    case frame_type::kHeaders: return on_headers(head, payload, decoder, events);
    case frame_type::kPriority: {
      auto frame = load_priority(head, payload);
      if (!frame) return load_failed(frame);
      if (frame->self_dependent)
        stream_error(events, head.stream_id);
      else
        events.emplace_back(frame->frame);
      return {};
    }
    case frame_type::kRstStream: return emit(events, load_rst_stream(head, payload));
    case frame_type::kSettings: return emit(events, load_settings(head, payload));
    case frame_type::kPushPromise: return fail(load_failure(push_promise_error()));
    case frame_type::kPing: return emit(events, load_ping(head, payload));
    case frame_type::kGoAway: return emit(events, load_go_away(head, payload));
    case frame_type::kWindowUpdate: return emit(events, load_window_update(head, payload));
    case frame_type::kContinuation: return on_continuation(head, payload, decoder, events);
    default: return {};  // unknown types are dropped
  }
}

void FrameReader::settle(OpenBlock&& open, bool end_headers, Events& events) {
  if (!end_headers) {
    // Malformed or not, the block is decoded to its end: the peer's encoder
    // counted every fragment into its dynamic table, and whether the
    // failure costs the stream or the connection must not depend on where
    // the peer cut its frames.
    open_.emplace(std::move(open));
  } else if (open.refused || open.block.malformed()) {
    stream_error(events, open.block.stream_id());
  } else {
    events.emplace_back(std::move(open.block).finish());
  }
}

FrameReader::Status FrameReader::on_headers(const FrameHead& head, std::string_view payload,
                                            HeaderBlockDecoder& decoder, Events& events) {
  auto prelude = load_headers(head, payload);
  if (!prelude) return load_failed(prelude);
  // A self-dependent stream is refused, but its block is still decoded to
  // the end: skipping it would leave our dynamic table out of step with
  // the peer's for every later block.
  OpenBlock open{HeaderBlock(head.stream_id, prelude->end_stream, limits_), {}, 0, prelude->self_dependent};
  if (auto status = decode(open, prelude->fragment, prelude->end_headers, decoder); !status) return status;
  settle(std::move(open), prelude->end_headers, events);
  return {};
}

FrameReader::Status FrameReader::on_continuation(const FrameHead& head, std::string_view payload,
                                                 HeaderBlockDecoder& decoder, Events& events) {
  if (!open_) return fail(protocol_error(reason::kProtocolError, "received unexpected CONTINUATION frame"));
  // From here the block is closed unless it goes back at the end.
  OpenBlock open = std::move(*open_);
  open_.reset();
  if (head.stream_id != open.block.stream_id())
    return fail(protocol_error(reason::kProtocolError,
                               "CONTINUATION frame stream ID does not match previous frame stream ID"));
  const bool end_headers = head.has(frame_flag::kEndHeaders);
  if (!end_headers) {
    // The final frame of a block is always allowed, so only frames
    // without END_HEADERS count against the flood cap.
    if (++open.continuations > continuation_cap_)
      return fail(protocol_error(reason::kEnhanceYourCalm, "too_many_continuations"));
  } else {
    open.continuations = 0;
  }
  // An over-size block keeps decoding to its end (the dynamic table must
  // follow the peer's), but its undecoded tail may not grow without bound.
  if (!open.pending.empty() && open.block.over_size() &&
      open.pending.size() + kFrameHeadLen + payload.size() > limits_.max_list)
    return fail(protocol_error(reason::kCompressionError,
                               "CONTINUATION frame header block size over ignorable limit"));
  if (auto status = decode(open, payload, end_headers, decoder); !status) return status;
  settle(std::move(open), end_headers, events);
  return {};
}

FrameReader::Status FrameReader::decode(OpenBlock& open, std::string_view payload, bool end_headers,
                                        HeaderBlockDecoder& decoder) {
  const bool from_pending = !open.pending.empty();
  if (from_pending) open.pending.append(payload);
  const std::string_view fragment = from_pending ? std::string_view(open.pending) : payload;
  const BlockDecodeStatus status = decoder.decode(fragment, open.block);
  using Kind = BlockDecodeStatus::Kind;
  if (status.kind == Kind::Failed || (status.kind == Kind::NeedMore && end_headers))
    return fail(hpack_failure(status.failure));
  if (open.block.way_too_large())
    return fail(protocol_error(reason::kEnhanceYourCalm, "decoded header list size over abuse limit"));
  if (status.kind == Kind::NeedMore) {
    // Running out of input before END_HEADERS only means the rest comes in
    // the next CONTINUATION.
    if (from_pending)
      open.pending.erase(0, status.consumed);
    else
      open.pending.assign(fragment.substr(status.consumed));
    return {};
  }
  open.pending.clear();
  return {};
}

}  // namespace vintrel::h2
