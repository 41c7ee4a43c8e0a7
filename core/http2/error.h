// HTTP/2 failure values: error codes, who caused a failure, local-misuse
// kinds, and the internal error forms that the Python layer turns into
// exceptions. Nothing here throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vintrel::h2 {

// Error codes of RFC 9113 section 7 that have a name; other codes are legal
// on the wire and travel as plain integers.
namespace reason {
inline constexpr uint32_t kNoError = 0;
inline constexpr uint32_t kProtocolError = 1;
inline constexpr uint32_t kInternalError = 2;
inline constexpr uint32_t kFlowControlError = 3;
inline constexpr uint32_t kSettingsTimeout = 4;
inline constexpr uint32_t kStreamClosed = 5;
inline constexpr uint32_t kFrameSizeError = 6;
inline constexpr uint32_t kRefusedStream = 7;
inline constexpr uint32_t kCancel = 8;
inline constexpr uint32_t kCompressionError = 9;
inline constexpr uint32_t kConnectError = 10;
inline constexpr uint32_t kEnhanceYourCalm = 11;
inline constexpr uint32_t kInadequateSecurity = 12;
inline constexpr uint32_t kHttp11Required = 13;
inline constexpr uint32_t kNamedCount = 14;
}  // namespace reason

// "PROTOCOL_ERROR" for a named code, empty for any other.
std::string_view reason_name(uint32_t code) noexcept;
// The human description of a code; "unknown reason" for unnamed codes.
std::string_view reason_description(uint32_t code) noexcept;
// Debug form: the member name, or "Reason(0x..)" in lowercase hex.
std::string reason_debug(uint32_t code);

enum class Initiator : uint8_t { User, Library, Remote };
// "user", "library", "remote".
std::string_view initiator_text(Initiator who) noexcept;
// "User", "Library", "Remote".
std::string_view initiator_debug(Initiator who) noexcept;
std::optional<Initiator> parse_initiator(std::string_view text) noexcept;

// Local API misuse, reported as H2UserError(kind, message).
enum class UserErrorKind : uint8_t {
  InactiveStreamId,
  UnexpectedFrameType,
  PayloadTooBig,
  Rejected,
  ReleaseCapacityTooBig,
  OverflowedStreamId,
  MalformedHeaders,
  MissingUriSchemeAndAuthority,
  PollResetAfterSendResponse,
  SendPingWhilePending,
  SendSettingsWhilePending,
  PeerDisabledServerPush,
  InvalidInformationalStatusCode,
};
std::string_view user_error_kind(UserErrorKind kind) noexcept;
std::string_view user_error_message(UserErrorKind kind) noexcept;

// The three forms of the internal HTTP/2 error value.
struct StreamReset {
  uint32_t stream_id;
  uint32_t reason;
  Initiator initiator;
};
struct GoAway {
  std::string debug_data;
  uint32_t reason;
  Initiator initiator;
};
enum class IoKind : uint8_t { BrokenPipe };
struct IoError {
  IoKind kind;
  std::string text;
};
using Error = std::variant<StreamReset, GoAway, IoError>;
std::string_view io_kind_debug(IoKind kind) noexcept;

// A local misuse with the fixed message of its kind, or a composed one.
struct UserError {
  UserErrorKind kind;
  std::string message;  // empty: the kind's fixed message
};
// A window update that would leave the signed 32-bit range.
struct FlowControlError {};
// A connection-level failure: reason (or none) and text.
struct ProtocolError {
  std::optional<uint32_t> reason;
  std::string message;
};
// A value that failed validation, reported as the interpreter's ValueError.
struct InvalidValue {
  std::string message;
};
// A call made in a state where it makes no sense (a driver bug), reported
// as the interpreter's RuntimeError.
struct InvalidState {
  std::string message;
};

// Every failure an HTTP/2 operation can hand to the Python layer.
using Failure =
    std::variant<Error, UserError, FlowControlError, ProtocolError, InvalidValue, InvalidState>;

}  // namespace vintrel::h2
