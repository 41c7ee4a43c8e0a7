// The load rules of each frame type: from a frame head and its complete
// payload to a frame value, checks in a fixed order, the first failing one
// deciding. Stream state and settings semantics are the driver's business.
#pragma once

#include <string_view>

#include "core/util/result.h"
#include "core/http2/frame/error_kind.h"
#include "core/http2/frame/frames.h"

namespace vintrel::h2 {

template <class T>
using Loaded = Result<T, LoadError>;

// Each takes a head of its own type and the `head.length` octets of payload.
Loaded<DataFrame> load_data(const FrameHead& head, std::string_view payload) noexcept;
Loaded<HeadersPrelude> load_headers(const FrameHead& head, std::string_view payload) noexcept;
// A self-dependent PRIORITY loads, and the caller turns it into a stream
// error: `self_dependent` tells.
struct PriorityLoad {
  PriorityFrame frame;
  bool self_dependent;
};
Loaded<PriorityLoad> load_priority(const FrameHead& head, std::string_view payload) noexcept;
Loaded<RstStreamFrame> load_rst_stream(const FrameHead& head, std::string_view payload) noexcept;
Loaded<SettingsFrame> load_settings(const FrameHead& head, std::string_view payload) noexcept;
Loaded<PingFrame> load_ping(const FrameHead& head, std::string_view payload) noexcept;
Loaded<GoAwayFrame> load_go_away(const FrameHead& head, std::string_view payload) noexcept;
Loaded<WindowUpdateFrame> load_window_update(const FrameHead& head, std::string_view payload) noexcept;
// PUSH_PROMISE never loads, whatever it carries.
LoadError push_promise_error() noexcept;

}  // namespace vintrel::h2
