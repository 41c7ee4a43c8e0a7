#include "core/http2/frame/load.h"

#include <algorithm>

namespace vintrel::h2 {
namespace {

Unexpected<LoadError> kind(FrameErrorKind k) noexcept { return fail(LoadError{k}); }

}  // namespace

Loaded<DataFrame> load_data(const FrameHead& head, std::string_view payload) noexcept {
  if (head.stream_id == 0) return kind(FrameErrorKind::InvalidStreamId);
  std::string_view data = payload;
  if (head.has(frame_flag::kPadded)) {
    if (payload.empty()) return kind(FrameErrorKind::TooMuchPadding);
    const size_t pad = static_cast<uint8_t>(payload[0]);
    if (pad >= payload.size()) return kind(FrameErrorKind::TooMuchPadding);
    data = payload.substr(1, payload.size() - 1 - pad);
  }
  return DataFrame{head.stream_id, head.has(frame_flag::kEndStream), data, head.length};
}

Loaded<HeadersPrelude> load_headers(const FrameHead& head, std::string_view payload) noexcept {
  if (head.stream_id == 0) return kind(FrameErrorKind::InvalidStreamId);
  std::string_view rest = payload;
  size_t pad = 0;
  if (head.has(frame_flag::kPadded)) {
    if (rest.empty()) return kind(FrameErrorKind::MalformedMessage);
    pad = static_cast<uint8_t>(rest[0]);
    rest.remove_prefix(1);
  }
  bool self_dependent = false;
  if (head.has(frame_flag::kPriority)) {
    if (rest.size() < 5) return kind(FrameErrorKind::MalformedMessage);
    self_dependent = (read_be32(rest.data()) & kStreamIdMask) == head.stream_id;
    rest.remove_prefix(5);
  }
  // A self-dependent frame is refused as a stream error before its padding
  // is looked at.
  if (!self_dependent && pad > rest.size()) return kind(FrameErrorKind::TooMuchPadding);
  rest.remove_suffix(std::min(pad, rest.size()));
  return HeadersPrelude{head.stream_id, head.has(frame_flag::kEndStream),
                        head.has(frame_flag::kEndHeaders), self_dependent, rest};
}

Loaded<PriorityLoad> load_priority(const FrameHead& head, std::string_view payload) noexcept {
  if (head.stream_id == 0) return fail(LoadError{std::nullopt, kPriorityOnStreamZeroText});
  if (payload.size() != 5) return kind(FrameErrorKind::InvalidPayloadLength);
  const bool self = (read_be32(payload.data()) & kStreamIdMask) == head.stream_id;
  return PriorityLoad{{head.stream_id}, self};
}

Loaded<RstStreamFrame> load_rst_stream(const FrameHead& head, std::string_view payload) noexcept {
  if (payload.size() != 4) return kind(FrameErrorKind::InvalidPayloadLength);
  return RstStreamFrame{head.stream_id, read_be32(payload.data())};
}

Loaded<SettingsFrame> load_settings(const FrameHead& head, std::string_view payload) noexcept {
  if (head.stream_id != 0) return kind(FrameErrorKind::InvalidStreamId);
  if (head.has(frame_flag::kAck)) {
    if (!payload.empty()) return kind(FrameErrorKind::InvalidPayloadLength);
    return SettingsFrame{true, {}};
  }
  if (payload.size() % 6 != 0) return kind(FrameErrorKind::InvalidPayloadAckSettings);
  Settings s;
  for (size_t at = 0; at < payload.size(); at += 6) {
    const uint16_t id = read_be16(payload.data() + at);
    const uint32_t value = read_be32(payload.data() + at + 2);
    switch (id) {
      case setting_id::kHeaderTableSize: s.header_table_size = value; break;
      case setting_id::kEnablePush:
        if (value > 1) return kind(FrameErrorKind::InvalidSettingValue);
        s.enable_push = value == 1;
        break;
      case setting_id::kMaxConcurrentStreams: s.max_concurrent_streams = value; break;
      case setting_id::kInitialWindowSize:
        if (value > kMaxInitialWindowSize) return kind(FrameErrorKind::InvalidSettingValue);
        s.initial_window_size = value;
        break;
      case setting_id::kMaxFrameSize:
        if (value < kDefaultMaxFrameSize || value > kMaxFramePayload)
          return kind(FrameErrorKind::InvalidSettingValue);
        s.max_frame_size = value;
        break;
      case setting_id::kMaxHeaderListSize: s.max_header_list_size = value; break;
      case setting_id::kEnableConnectProtocol:
        if (value > 1) return kind(FrameErrorKind::InvalidSettingValue);
        break;
      default: break;  // unknown identifiers are ignored
    }
  }
  return SettingsFrame{false, s};
}

Loaded<PingFrame> load_ping(const FrameHead& head, std::string_view payload) noexcept {
  if (head.stream_id != 0) return kind(FrameErrorKind::InvalidStreamId);
  if (payload.size() != 8) return kind(FrameErrorKind::BadFrameSize);
  PingFrame ping{head.has(frame_flag::kAck), {}};
  std::copy_n(payload.data(), 8, ping.data.begin());
  return ping;
}

Loaded<GoAwayFrame> load_go_away(const FrameHead&, std::string_view payload) noexcept {
  if (payload.size() < 8) return kind(FrameErrorKind::BadFrameSize);
  return GoAwayFrame{read_be32(payload.data()) & kStreamIdMask, read_be32(payload.data() + 4),
                     payload.substr(8)};
}

Loaded<WindowUpdateFrame> load_window_update(const FrameHead& head,
                                             std::string_view payload) noexcept {
  if (payload.size() != 4) return kind(FrameErrorKind::BadFrameSize);
  const uint32_t increment = read_be32(payload.data()) & kStreamIdMask;
  if (increment == 0) return kind(FrameErrorKind::InvalidWindowUpdateValue);
  return WindowUpdateFrame{head.stream_id, increment};
}

LoadError push_promise_error() noexcept { return {std::nullopt, kPushPromiseText}; }

}  // namespace vintrel::h2
