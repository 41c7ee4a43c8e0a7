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

void FrameReader::hold(std::string_view rest, bool swap_out) {
  spare_viewed_ = swap_out;
  if (swap_out) held_.swap(spare_);
  held_.assign(rest.data(), rest.size());
}

FrameReader::Status FrameReader::receive(std::string_view data, HeaderBlockDecoder& decoder) {
  events_.clear();
  spare_viewed_ = false;
  bool held_viewed = false;
  if (!held_.empty()) {
    // Complete the frame an earlier call began.
    if (held_.size() < kFrameHeadLen) {
      const size_t take = std::min(kFrameHeadLen - held_.size(), data.size());
      held_.append(data.data(), take);
      data.remove_prefix(take);
      if (held_.size() < kFrameHeadLen) return {};
    }
    const FrameHead head = parse_frame_head(held_.data());
    if (head.length > max_frame_) {
      held_.append(data.data(), data.size());
      return fail(frame_too_large());
    }
    const size_t total = kFrameHeadLen + head.length;
    const size_t take = std::min(total - held_.size(), data.size());
    held_.append(data.data(), take);
    data.remove_prefix(take);
    if (held_.size() < total) return {};
    auto status = process(head, std::string_view(held_).substr(kFrameHeadLen), decoder);
    if (!status) {
      events_.clear();
      hold(data, false);
      return status;
    }
    held_viewed = true;
  }
  // The length is checked as soon as a head is complete, before its
  // payload arrives; an oversize frame stays buffered.
  while (data.size() >= kFrameHeadLen) {
    const FrameHead head = parse_frame_head(data.data());
    if (head.length > max_frame_) {
      events_.clear();
      hold(data, false);
      return fail(frame_too_large());
    }
    if (data.size() - kFrameHeadLen < head.length) break;
    const std::string_view payload = data.substr(kFrameHeadLen, head.length);
    data.remove_prefix(kFrameHeadLen + head.length);
    auto status = process(head, payload, decoder);
    if (!status) {
      events_.clear();
      hold(data, false);
      return status;
    }
  }
  hold(data, held_viewed);
  return {};
}

FrameReader::Status FrameReader::process(const FrameHead& head, std::string_view payload,
                                         HeaderBlockDecoder& decoder) {
  if (open_ && head.type != frame_type::kContinuation)
    return fail(protocol_error(reason::kProtocolError, "expected CONTINUATION frame"));
  switch (head.type) {
    case frame_type::kData: return emit(events_, load_data(head, payload));
    case frame_type::kHeaders: return on_headers(head, payload, decoder);
    case frame_type::kPriority: {
      auto frame = load_priority(head, payload);
      if (!frame) return load_failed(frame);
      if (frame->self_dependent)
        stream_error(head.stream_id);
      else
        events_.emplace_back(frame->frame);
      return {};
    }
    case frame_type::kRstStream: return emit(events_, load_rst_stream(head, payload));
    case frame_type::kSettings: return emit(events_, load_settings(head, payload));
    case frame_type::kPushPromise: return fail(load_failure(push_promise_error()));
    case frame_type::kPing: return emit(events_, load_ping(head, payload));
    case frame_type::kGoAway: return emit(events_, load_go_away(head, payload));
    case frame_type::kWindowUpdate: return emit(events_, load_window_update(head, payload));
    case frame_type::kContinuation: return on_continuation(head, payload, decoder);
    default: return {};  // unknown types are dropped
  }
}

void FrameReader::stream_error(StreamId stream_id) {
  events_.emplace_back(StreamErrorFrame{stream_id, reason::kProtocolError});
}

void FrameReader::settle(OpenBlock&& open, Decoded decoded, bool end_headers, StreamId stream_id) {
  if (decoded == Decoded::Malformed)
    stream_error(stream_id);
  else if (end_headers)
    events_.emplace_back(std::move(open.block).finish());
  else
    open_.emplace(std::move(open));
}

FrameReader::Status FrameReader::on_headers(const FrameHead& head, std::string_view payload,
                                            HeaderBlockDecoder& decoder) {
  auto prelude = load_headers(head, payload);
  if (!prelude) return load_failed(prelude);
  OpenBlock open{HeaderBlock(head.stream_id, prelude->end_stream, limits_), {}, 0};
  auto decoded = decode(open, prelude->fragment, prelude->end_headers, decoder);
  if (!decoded) return fail(std::move(decoded).error());
  if (prelude->self_dependent) {
    // The stream is refused, but its block was still decoded above: the
    // peer's encoder counted it into the dynamic table, and skipping it
    // would leave ours out of step for every later block. No block opens,
    // so a CONTINUATION that follows is unexpected.
    stream_error(head.stream_id);
    return {};
  }
  settle(std::move(open), *decoded, prelude->end_headers, head.stream_id);
  return {};
}

FrameReader::Status FrameReader::on_continuation(const FrameHead& head, std::string_view payload,
                                                 HeaderBlockDecoder& decoder) {
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
  auto decoded = decode(open, payload, end_headers, decoder);
  if (!decoded) return fail(std::move(decoded).error());
  settle(std::move(open), *decoded, end_headers, head.stream_id);
  return {};
}

Result<FrameReader::Decoded, ProtocolError> FrameReader::decode(OpenBlock& open, std::string_view payload,
                                                                bool end_headers,
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
    return Decoded::Ok;
  }
  open.pending.clear();
  return open.block.malformed() ? Decoded::Malformed : Decoded::Ok;
}

}  // namespace vintrel::h2
