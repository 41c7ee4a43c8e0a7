// The frame values a loaded frame yields. Byte views (DATA payload, GOAWAY
// debug data) point into the bytes the frame was cut from; whoever keeps a
// value past that storage copies them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/http2/frame/head.h"

namespace vintrel::h2 {

struct DataFrame {
  StreamId stream_id;
  bool end_stream;
  std::string_view data;         // padding removed
  uint32_t flow_controlled_len;  // the whole payload: data, padding and pad-length octet
};

struct PriorityFrame {
  StreamId stream_id;
};

struct RstStreamFrame {
  StreamId stream_id;
  uint32_t error_code;
};

// The settings a SETTINGS frame carries (absent: not carried). The writer
// takes the same struct.
struct Settings {
  std::optional<uint32_t> header_table_size;
  std::optional<bool> enable_push;
  std::optional<uint32_t> max_concurrent_streams;
  std::optional<uint32_t> initial_window_size;
  std::optional<uint32_t> max_frame_size;
  std::optional<uint32_t> max_header_list_size;

  friend bool operator==(const Settings&, const Settings&) = default;
};

namespace setting_id {
inline constexpr uint16_t kHeaderTableSize = 1;
inline constexpr uint16_t kEnablePush = 2;
inline constexpr uint16_t kMaxConcurrentStreams = 3;
inline constexpr uint16_t kInitialWindowSize = 4;
inline constexpr uint16_t kMaxFrameSize = 5;
inline constexpr uint16_t kMaxHeaderListSize = 6;
inline constexpr uint16_t kEnableConnectProtocol = 8;
}  // namespace setting_id

inline constexpr uint32_t kMaxInitialWindowSize = 0x7FFFFFFF;

struct SettingsFrame {
  bool ack;
  Settings settings;  // all absent for an acknowledgement
};

struct PingFrame {
  bool ack;
  std::array<char, 8> data;
};

struct GoAwayFrame {
  StreamId last_stream_id;
  uint32_t error_code;
  std::string_view debug_data;
};

struct WindowUpdateFrame {
  StreamId stream_id;
  uint32_t increment;
};

// A stream-level protocol error found while loading; the driver resets the
// stream and keeps the connection.
struct StreamErrorFrame {
  StreamId stream_id;
  uint32_t error_code;
};

// A HEADERS frame with padding and priority taken off: the header-block
// fragment still to be assembled and decoded.
struct HeadersPrelude {
  StreamId stream_id;
  bool end_stream;
  bool end_headers;
  bool self_dependent;  // its priority names its own stream: a stream error
  std::string_view fragment;
};

}  // namespace vintrel::h2
