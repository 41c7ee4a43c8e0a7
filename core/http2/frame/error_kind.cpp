#include "core/http2/frame/error_kind.h"

#include <array>

namespace vintrel::h2 {
namespace {

constexpr std::array<std::string_view, 11> kNames{
    "BadFrameSize",       "TooMuchPadding",           "InvalidSettingValue",
    "InvalidWindowUpdateValue", "InvalidPayloadLength", "InvalidPayloadAckSettings",
    "InvalidStreamId",    "MalformedMessage",         "HeaderListWayTooLarge",
    "InvalidDependencyId", "Hpack",
};

}  // namespace

std::string_view frame_error_name(FrameErrorKind kind) noexcept {
  return kNames[static_cast<size_t>(kind)];
}

std::string frame_error_debug(const FrameError& error) {
  std::string out(frame_error_name(error.kind));
  if (error.kind == FrameErrorKind::Hpack) {
    out += '(';
    out += error.hpack;
    out += ')';
  }
  return out;
}

ProtocolError load_failure(const LoadError& error) {
  if (!error.kind) return {reason::kProtocolError, std::string(error.text)};
  return {reason::kProtocolError, "failed to load frame: " + frame_error_debug({*error.kind})};
}

ProtocolError hpack_failure(std::string_view hpack) {
  return {reason::kProtocolError,
          "HPACK decoding failed: " + frame_error_debug({FrameErrorKind::Hpack, hpack})};
}

}  // namespace vintrel::h2
