// The send half of the HTTP/2 frame codec: the layout of every frame we
// write, and the argument checks that come before any byte is written.
//
// Each layout has a length function and a `write_*` that fills exactly that
// many octets at `out`, so the caller can allocate its result object once
// and write into it. Nothing is padded and no priority is ever sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/util/result.h"
#include "core/http2/error.h"
#include "core/http2/frame/frames.h"

namespace vintrel::h2 {

// GOAWAY carries 8 octets before its debug data, so this much debug data
// still fits the 24-bit length field.
inline constexpr size_t kMaxGoAwayDebug = kMaxFramePayload - 8;

// Stream ids of 2^31 or more cannot be written: "invalid stream ID -- MSB
// is set" (ValueError), before anything is produced.
Result<StreamId, InvalidValue> check_stream_id(uint32_t id);
// "ping payload must be exactly 8 bytes".
Result<void, InvalidValue> check_ping_payload(std::string_view payload);
// max_frame_size in [16384, 16777215], initial_window_size at most 2^31-1.
Result<void, InvalidValue> check_settings(const Settings& settings);
// Debug data that would overflow the length field is refused rather than
// truncated: "GOAWAY debug data too long: <n> bytes, at most 16777207".
Result<void, InvalidValue> check_go_away_debug(std::string_view debug_data);

inline constexpr size_t kSettingsAckFrameLen = kFrameHeadLen;
inline constexpr size_t kPingFrameLen = kFrameHeadLen + 8;
inline constexpr size_t kRstStreamFrameLen = kFrameHeadLen + 4;
inline constexpr size_t kWindowUpdateFrameLen = kFrameHeadLen + 4;
inline size_t data_frame_len(size_t data_len) noexcept { return kFrameHeadLen + data_len; }
inline size_t go_away_frame_len(size_t debug_len) noexcept { return kFrameHeadLen + 8 + debug_len; }
size_t settings_frame_len(const Settings& settings) noexcept;

// Entries in identifier order 1 to 6, only those given, whatever order the
// caller had them in.
void write_settings(char* out, const Settings& settings) noexcept;
void write_settings_ack(char* out) noexcept;
void write_ping(char* out, std::string_view payload, bool ack) noexcept;
void write_go_away(char* out, StreamId last_stream_id, uint32_t error_code,
                   std::string_view debug_data) noexcept;
void write_rst_stream(char* out, StreamId stream_id, uint32_t error_code) noexcept;
// The increment goes out exactly as given, 0 and 2^31 or more included.
void write_window_update(char* out, StreamId stream_id, uint32_t increment) noexcept;
void write_data(char* out, StreamId stream_id, std::string_view data, bool end_stream) noexcept;

// The payload budget of every DATA, HEADERS and CONTINUATION frame we
// write: the peer's SETTINGS_MAX_FRAME_SIZE.
class SendFrameSize {
 public:
  uint32_t get() const noexcept { return max_; }
  // 0 would leave header blocks unwritable and more than 16777215 would
  // overflow the length field: both are refused and nothing is stored
  // ("send max frame size must be in [1, 16777215], got <n>").
  Result<void, InvalidValue> set(uint32_t value);

  // "DATA payload <n> exceeds SETTINGS_MAX_FRAME_SIZE <m>" (payload_too_big).
  Result<void, UserError> check_data(size_t data_len) const;

  // A header block cut into one HEADERS frame and as many CONTINUATION
  // frames as it needs; an empty block is one empty HEADERS frame.
  size_t header_block_len(size_t block_len) const noexcept;
  // END_HEADERS on the frame with the last octet, END_STREAM (if asked) on
  // the HEADERS frame only.
  void write_header_block(char* out, StreamId stream_id, std::string_view block,
                          bool end_stream) const noexcept;

 private:
  uint32_t max_ = kDefaultMaxFrameSize;
};

}  // namespace vintrel::h2
