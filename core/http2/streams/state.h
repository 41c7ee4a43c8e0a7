// The state machine of one HTTP/2 stream (RFC 9113 section 5.1). The
// connection driver reports every frame it sends or receives on the stream
// and asks what is allowed next; the machine only records and answers.
// Every transition either succeeds or returns a failure and leaves the
// state exactly as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/util/result.h"
#include "core/http2/error.h"

namespace vintrel::h2 {

// One direction of a stream: still waiting for the HEADERS that carry a
// final head, or past them.
enum class Peer : uint8_t { AwaitingHeaders, Streaming };

// What a closed stream remembers about how it closed.
struct EndStream {};                           // both directions ended normally
using StreamError = std::variant<StreamReset, IoError>;
struct ScheduledLibraryReset {
  uint32_t reason;
};
using Cause = std::variant<EndStream, StreamError, ScheduledLibraryReset>;

namespace stream {
struct Idle {};
struct ReservedLocal {};
struct ReservedRemote {};
struct Open {
  Peer local;
  Peer remote;
};
struct HalfClosedLocal {
  Peer remote;
};
struct HalfClosedRemote {
  Peer local;
};
struct Closed {
  Cause cause;
};
using State =
    std::variant<Idle, ReservedLocal, ReservedRemote, Open, HalfClosedLocal, HalfClosedRemote, Closed>;
}  // namespace stream

class StreamState {
 public:
  using Status = Result<void, Failure>;

  // HEADERS sent; eos: with END_STREAM.
  Status send_open(bool eos);
  // HEADERS received; informational: a 1xx head. True when this call opened
  // the stream (from Idle or ReservedRemote).
  Result<bool, Failure> recv_open(bool eos, bool informational);
  // PUSH_PROMISE received / sent for this stream.
  Status reserve_remote();
  Status reserve_local();
  // END_STREAM received.
  Status recv_close();
  // END_STREAM sent.
  Status send_close();
  // RST_STREAM received; queued: frames are still queued to send.
  Status recv_reset(uint32_t stream_id, uint32_t reason, bool queued);
  // The transport ended.
  Status recv_eof();
  Status set_reset(uint32_t stream_id, uint32_t reason, Initiator initiator);
  // The same with the initiator as text: "user", "library" or "remote".
  Status set_reset(uint32_t stream_id, uint32_t reason, std::string_view initiator);
  Status set_scheduled_reset(uint32_t reason);

  // The reason of a scheduled library reset, if the stream holds one.
  std::optional<uint32_t> get_scheduled_reset() const noexcept;
  // Whether frames may still be received: false once the remote direction
  // ended normally; the stored failure when the stream was reset or broken.
  Result<bool, Failure> ensure_recv_open() const;

  bool is_idle() const noexcept;
  bool is_closed() const noexcept;
  bool is_reset() const noexcept;
  bool is_scheduled_reset() const noexcept;
  bool is_local_error() const noexcept;
  bool is_remote_reset() const noexcept;
  bool is_send_streaming() const noexcept;
  bool is_send_closed() const noexcept;
  bool is_recv_headers() const noexcept;
  bool is_recv_streaming() const noexcept;
  bool is_recv_end_stream() const noexcept;

  const stream::State& state() const noexcept { return state_; }
  // "Idle", "Open { local: Streaming, remote: AwaitingHeaders }",
  // "Closed(Error(Reset(StreamId(1), CANCEL, Remote)))", ...
  std::string debug() const;

 private:
  stream::State state_ = stream::Idle{};
};

// The debug text of any state.
std::string debug(const stream::State& state);

}  // namespace vintrel::h2
