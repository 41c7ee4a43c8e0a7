#include "core/http2/frame_writer.h"

#include <cstring>
#include <string>

namespace vintrel::h2 {
namespace {

InvalidValue invalid(std::string_view prefix, uint64_t value) {
  return {std::string(prefix) + std::to_string(value)};
}

char* put_bytes(char* out, std::string_view bytes) noexcept {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

char* put_setting(char* out, uint16_t id, uint32_t value) noexcept {
  return put_be32(put_be16(out, id), value);
}

}  // namespace

Result<StreamId, InvalidValue> check_stream_id(uint32_t id) {
  if (id > kStreamIdMask) return fail(InvalidValue{"invalid stream ID -- MSB is set"});
  return StreamId{id};
}

Result<void, InvalidValue> check_ping_payload(std::string_view payload) {
  if (payload.size() != 8) return fail(InvalidValue{"ping payload must be exactly 8 bytes"});
  return {};
}

Result<void, InvalidValue> check_settings(const Settings& s) {
  if (s.max_frame_size && (*s.max_frame_size < kDefaultMaxFrameSize || *s.max_frame_size > kMaxFramePayload))
    return fail(invalid("max_frame_size must be in [16384, 16777215], got ", *s.max_frame_size));
  if (s.initial_window_size && *s.initial_window_size > kMaxInitialWindowSize)
    return fail(invalid("initial_window_size must be <= 2147483647, got ", *s.initial_window_size));
  return {};
}

Result<void, InvalidValue> check_go_away_debug(std::string_view debug_data) {
  if (debug_data.size() > kMaxGoAwayDebug)
    return fail(InvalidValue{"GOAWAY debug data too long: " + std::to_string(debug_data.size()) +
                             " bytes, at most " + std::to_string(kMaxGoAwayDebug)});
  return {};
}

size_t settings_frame_len(const Settings& s) noexcept {
  size_t n = 0;
  for (bool given : {s.header_table_size.has_value(), s.enable_push.has_value(),
                     s.max_concurrent_streams.has_value(), s.initial_window_size.has_value(),
                     s.max_frame_size.has_value(), s.max_header_list_size.has_value()})
    n += given ? 1 : 0;
  return kFrameHeadLen + 6 * n;
}

void write_settings(char* out, const Settings& s) noexcept {
  const auto len = static_cast<uint32_t>(settings_frame_len(s) - kFrameHeadLen);
  out = put_frame_head(out, {len, frame_type::kSettings, 0, 0});
  if (s.header_table_size) out = put_setting(out, setting_id::kHeaderTableSize, *s.header_table_size);
  if (s.enable_push) out = put_setting(out, setting_id::kEnablePush, *s.enable_push ? 1 : 0);
  if (s.max_concurrent_streams)
    out = put_setting(out, setting_id::kMaxConcurrentStreams, *s.max_concurrent_streams);
  if (s.initial_window_size)
    out = put_setting(out, setting_id::kInitialWindowSize, *s.initial_window_size);
  if (s.max_frame_size) out = put_setting(out, setting_id::kMaxFrameSize, *s.max_frame_size);
  if (s.max_header_list_size)
    put_setting(out, setting_id::kMaxHeaderListSize, *s.max_header_list_size);
}

void write_settings_ack(char* out) noexcept {
  put_frame_head(out, {0, frame_type::kSettings, frame_flag::kAck, 0});
}

void write_ping(char* out, std::string_view payload, bool ack) noexcept {
  put_bytes(put_frame_head(out, {8, frame_type::kPing, ack ? frame_flag::kAck : uint8_t{0}, 0}),
            payload.substr(0, 8));
}

void write_go_away(char* out, StreamId last_stream_id, uint32_t error_code,
                   std::string_view debug_data) noexcept {
  const auto len = static_cast<uint32_t>(8 + debug_data.size());
  out = put_frame_head(out, {len, frame_type::kGoAway, 0, 0});
  put_bytes(put_be32(put_be32(out, last_stream_id & kStreamIdMask), error_code), debug_data);
}

void write_rst_stream(char* out, StreamId stream_id, uint32_t error_code) noexcept {
  put_be32(put_frame_head(out, {4, frame_type::kRstStream, 0, stream_id}), error_code);
}

void write_window_update(char* out, StreamId stream_id, uint32_t increment) noexcept {
  put_be32(put_frame_head(out, {4, frame_type::kWindowUpdate, 0, stream_id}), increment);
}

void write_data(char* out, StreamId stream_id, std::string_view data, bool end_stream) noexcept {
  const uint8_t flags = end_stream ? frame_flag::kEndStream : 0;
  put_bytes(put_frame_head(out, {static_cast<uint32_t>(data.size()), frame_type::kData, flags, stream_id}),
            data);
}

Result<void, InvalidValue> SendFrameSize::set(uint32_t value) {
  if (value == 0 || value > kMaxFramePayload)
    return fail(invalid("send max frame size must be in [1, 16777215], got ", value));
  max_ = value;
  return {};
}

Result<void, UserError> SendFrameSize::check_data(size_t data_len) const {
  if (data_len > max_)
    return fail(UserError{UserErrorKind::PayloadTooBig, "DATA payload " + std::to_string(data_len) +
                                                           " exceeds SETTINGS_MAX_FRAME_SIZE " +
                                                           std::to_string(max_)});
  return {};
}

size_t SendFrameSize::header_block_len(size_t block_len) const noexcept {
  const size_t frames = block_len == 0 ? 1 : (block_len + max_ - 1) / max_;
  return frames * kFrameHeadLen + block_len;
}

void SendFrameSize::write_header_block(char* out, StreamId stream_id, std::string_view block,
                                       bool end_stream) const noexcept {
  uint8_t type = frame_type::kHeaders;
  uint8_t flags = end_stream ? frame_flag::kEndStream : 0;
  do {
    const std::string_view part = block.substr(0, max_);
    block.remove_prefix(part.size());
    if (block.empty()) flags |= frame_flag::kEndHeaders;
    out = put_bytes(put_frame_head(out, {static_cast<uint32_t>(part.size()), type, flags, stream_id}), part);
    type = frame_type::kContinuation;
    flags = 0;
  } while (!block.empty());
}

}  // namespace vintrel::h2
