#include "core/http2/error.h"

#include <array>
#include <cstdio>

namespace vintrel::h2 {
namespace {

struct ReasonText {
  std::string_view name;
  std::string_view description;
};

constexpr std::array<ReasonText, reason::kNamedCount> kReasons{{
    {"NO_ERROR", "not a result of an error"},
    {"PROTOCOL_ERROR", "unspecific protocol error detected"},
    {"INTERNAL_ERROR", "unexpected internal error encountered"},
    {"FLOW_CONTROL_ERROR", "flow-control protocol violated"},
    {"SETTINGS_TIMEOUT", "settings ACK not received in timely manner"},
    {"STREAM_CLOSED", "received frame when stream half-closed"},
    {"FRAME_SIZE_ERROR", "frame with invalid size"},
    {"REFUSED_STREAM", "refused stream before processing any application logic"},
    {"CANCEL", "stream no longer needed"},
    {"COMPRESSION_ERROR", "unable to maintain the header compression context"},
    {"CONNECT_ERROR",
     "connection established in response to a CONNECT request was reset or "
     "abnormally closed"},
    {"ENHANCE_YOUR_CALM", "detected excessive load generating behavior"},
    {"INADEQUATE_SECURITY", "security properties do not meet minimum requirements"},
    {"HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"},
}};

struct UserKindText {
  std::string_view kind;
  std::string_view message;
};

constexpr std::array<UserKindText, 13> kUserKinds{{
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
}};

}  // namespace

std::string_view reason_name(uint32_t code) noexcept {
  return code < kReasons.size() ? kReasons[code].name : std::string_view{};
}

std::string_view reason_description(uint32_t code) noexcept {
  return code < kReasons.size() ? kReasons[code].description : "unknown reason";
}

std::string reason_debug(uint32_t code) {
  if (code < kReasons.size()) return std::string(kReasons[code].name);
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "Reason(0x%x)", code);
  return std::string(buf, static_cast<size_t>(n));
}

std::string_view initiator_text(Initiator who) noexcept {
  switch (who) {
    case Initiator::User: return "user";
    case Initiator::Library: return "library";
    case Initiator::Remote: return "remote";
  }
  return "";
}

std::string_view initiator_debug(Initiator who) noexcept {
  switch (who) {
    case Initiator::User: return "User";
    case Initiator::Library: return "Library";
    case Initiator::Remote: return "Remote";
  }
  return "";
}

std::optional<Initiator> parse_initiator(std::string_view text) noexcept {
  if (text == "user") return Initiator::User;
  if (text == "library") return Initiator::Library;
  if (text == "remote") return Initiator::Remote;
  return std::nullopt;
}

std::string_view user_error_kind(UserErrorKind kind) noexcept {
  return kUserKinds[static_cast<size_t>(kind)].kind;
}

std::string_view user_error_message(UserErrorKind kind) noexcept {
  return kUserKinds[static_cast<size_t>(kind)].message;
}

std::string_view io_kind_debug(IoKind kind) noexcept {
  switch (kind) {
    case IoKind::BrokenPipe: return "BrokenPipe";
  }
  return "";
}

}  // namespace vintrel::h2
