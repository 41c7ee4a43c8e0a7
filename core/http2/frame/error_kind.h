// Why a frame failed to load. Connection-level failures become
// H2ProtocolError(1, "failed to load frame: <kind>") or one of two fixed
// texts; a header-block decoding failure carries the HPACK failure's own
// debug text inside the `Hpack` kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/http2/error.h"

namespace vintrel::h2 {

enum class FrameErrorKind : uint8_t {
  BadFrameSize,
  TooMuchPadding,
  InvalidSettingValue,
  InvalidWindowUpdateValue,
  InvalidPayloadLength,
  InvalidPayloadAckSettings,
  InvalidStreamId,
  MalformedMessage,
  HeaderListWayTooLarge,
  InvalidDependencyId,
  Hpack,
};

// The kind's name, "Hpack" included.
std::string_view frame_error_name(FrameErrorKind kind) noexcept;

// A kind with, for `Hpack`, the HPACK failure's debug text (static text
// owned by the decoder, e.g. "NeedMore(StringUnderflow)").
struct FrameError {
  FrameErrorKind kind;
  std::string_view hpack{};
};
// "InvalidStreamId", "Hpack(InvalidTableIndex)".
std::string frame_error_debug(const FrameError& error);

// A connection-level failure found while loading one frame: a kind, or a
// fixed text of its own.
struct LoadError {
  std::optional<FrameErrorKind> kind;
  std::string_view text{};  // when there is no kind
};
inline constexpr std::string_view kPriorityOnStreamZeroText = "PRIORITY frame with stream ID 0";
inline constexpr std::string_view kPushPromiseText = "PUSH_PROMISE received but server push is disabled";

// H2ProtocolError(1, "failed to load frame: <kind>") or (1, text).
ProtocolError load_failure(const LoadError& error);
// H2ProtocolError(1, "HPACK decoding failed: Hpack(<hpack>)").
ProtocolError hpack_failure(std::string_view hpack);

}  // namespace vintrel::h2
