#include "core/http2/streams/state.h"

#include <utility>

namespace vintrel::h2 {
namespace {

using namespace stream;

constexpr Peer AH = Peer::AwaitingHeaders;
constexpr Peer S = Peer::Streaming;

// One overload per row of a transition table; the generic row is the
// fallback for every state not listed.
template <class... F>
struct Rows : F... {
  using F::operator()...;
};
template <class... F>
Rows(F...) -> Rows<F...>;

using Next = Result<State, Failure>;

// A frame the peer may not send in this state: the connection goes away
// with PROTOCOL_ERROR.
Next protocol_error() {
  return fail(Failure{Error{GoAway{"", reason::kProtocolError, Initiator::Library}}});
}
// A frame the driver may not send in this state.
Next user_error() { return fail(Failure{UserError{UserErrorKind::UnexpectedFrameType, ""}}); }

State ended() { return Closed{EndStream{}}; }

// The high bit of a stream identifier is reserved; such an id would be
// rewritten on the wire and must never be recorded.
constexpr uint32_t kStreamIdLimit = uint32_t{1} << 31;

StreamState::Status check_stream_id(uint32_t stream_id) {
  if (stream_id >= kStreamIdLimit) return fail(Failure{InvalidValue{"invalid stream ID -- MSB is set"}});
  return {};
}

StreamState::Status commit(State& state, Next next) {
  if (!next) return fail(std::move(next).error());
  state = std::move(next).value();
  return {};
}

const Cause* cause_of(const State& state) noexcept {
  const auto* closed = std::get_if<Closed>(&state);
  return closed ? &closed->cause : nullptr;
}

const StreamError* error_of(const State& state) noexcept {
  const Cause* cause = cause_of(state);
  return cause ? std::get_if<StreamError>(cause) : nullptr;
}

Next on_send_open(const State& s, bool eos) {
  return std::visit(
      Rows{
          [&](Idle) -> Next { return eos ? State{HalfClosedLocal{AH}} : State{Open{S, AH}}; },
          [&](const Open& o) -> Next {
            if (o.local != AH) return user_error();
            return eos ? State{HalfClosedLocal{o.remote}} : State{Open{S, o.remote}};
          },
          [&](const HalfClosedRemote& h) -> Next {
            if (h.local != AH) return user_error();
            return eos ? ended() : State{HalfClosedRemote{S}};
          },
          [&](ReservedLocal) -> Next { return eos ? ended() : State{HalfClosedRemote{S}}; },
          [](const auto&) -> Next { return user_error(); },
      },
      s);
}

Next on_recv_open(const State& s, bool eos, bool informational) {
  // A 1xx head leaves the remote direction waiting for the final head.
  const Peer remote = informational ? AH : S;
  return std::visit(
      Rows{
          [&](Idle) -> Next { return eos ? State{HalfClosedRemote{AH}} : State{Open{AH, remote}}; },
          [&](ReservedRemote) -> Next {
            if (eos) return ended();
            return informational ? State{ReservedRemote{}} : State{HalfClosedLocal{S}};
          },
          [&](const Open& o) -> Next {
            if (o.remote != AH) return protocol_error();
            return eos ? State{HalfClosedRemote{o.local}} : State{Open{o.local, remote}};
          },
          [&](const HalfClosedLocal& h) -> Next {
            if (h.remote != AH) return protocol_error();
            return eos ? ended() : State{HalfClosedLocal{remote}};
          },
          [](const auto&) -> Next { return protocol_error(); },
      },
      s);
}

Next on_recv_close(const State& s) {
  return std::visit(Rows{
                        [](const Open& o) -> Next { return State{HalfClosedRemote{o.local}}; },
                        [](const HalfClosedLocal&) -> Next { return ended(); },
                        [](const auto&) -> Next { return protocol_error(); },
                    },
                    s);
}

Next on_send_close(const State& s) {
  return std::visit(Rows{
                        [](const Open& o) -> Next { return State{HalfClosedLocal{o.remote}}; },
                        [](const HalfClosedRemote&) -> Next { return ended(); },
                        // Ending a direction that is not open is a driver bug, not a
                        // protocol event: RuntimeError naming the state, nothing changes.
                        [&](const auto&) -> Next {
                          return fail(Failure{InvalidState{"send_close: unexpected state " + debug(s)}});
                        },
                    },
                    s);
}

std::string_view peer_debug(Peer p) noexcept { return p == AH ? "AwaitingHeaders" : "Streaming"; }

std::string error_debug(const StreamError& error) {
  return std::visit(Rows{
                        [](const StreamReset& r) {
                          std::string out = "Reset(StreamId(" + std::to_string(r.stream_id) + "), ";
                          out += reason_debug(r.reason);
                          out += ", ";
                          out += initiator_debug(r.initiator);
                          return out + ")";
                        },
                        [](const IoError& io) {
                          std::string out = "Io(";
                          out += io_kind_debug(io.kind);
                          return out + ", Some(\"" + io.text + "\"))";
                        },
                    },
                    error);
}

std::string cause_debug(const Cause& cause) {
  return std::visit(Rows{
                        [](EndStream) -> std::string { return "EndStream"; },
                        [](const StreamError& e) { return "Error(" + error_debug(e) + ")"; },
                        [](const ScheduledLibraryReset& r) {
                          return "ScheduledLibraryReset(" + reason_debug(r.reason) + ")";
                        },
                    },
                    cause);
}

}  // namespace

std::string debug(const State& state) {
  return std::visit(Rows{
                        [](Idle) -> std::string { return "Idle"; },
                        [](ReservedLocal) -> std::string { return "ReservedLocal"; },
                        [](ReservedRemote) -> std::string { return "ReservedRemote"; },
                        [](const Open& o) {
                          std::string out = "Open { local: ";
                          out += peer_debug(o.local);
                          out += ", remote: ";
                          out += peer_debug(o.remote);
                          return out + " }";
                        },
                        [](const HalfClosedLocal& h) {
                          return "HalfClosedLocal(" + std::string(peer_debug(h.remote)) + ")";
                        },
                        [](const HalfClosedRemote& h) {
                          return "HalfClosedRemote(" + std::string(peer_debug(h.local)) + ")";
                        },
                        [](const Closed& c) { return "Closed(" + cause_debug(c.cause) + ")"; },
                    },
                    state);
}

std::string StreamState::debug() const { return h2::debug(state_); }

// ---------------------------------------------------------------- transitions

StreamState::Status StreamState::send_open(bool eos) { return commit(state_, on_send_open(state_, eos)); }

Result<bool, Failure> StreamState::recv_open(bool eos, bool informational) {
  const bool initial = std::holds_alternative<Idle>(state_) || std::holds_alternative<ReservedRemote>(state_);
  if (auto status = commit(state_, on_recv_open(state_, eos, informational)); !status) {
    return fail(std::move(status).error());
  }
  return initial;
}

StreamState::Status StreamState::reserve_remote() {
  if (!std::holds_alternative<Idle>(state_)) return fail(std::move(protocol_error()).error());
  state_ = ReservedRemote{};
  return {};
}

StreamState::Status StreamState::reserve_local() {
  if (!std::holds_alternative<Idle>(state_)) return fail(std::move(user_error()).error());
  state_ = ReservedLocal{};
  return {};
}

StreamState::Status StreamState::recv_close() { return commit(state_, on_recv_close(state_)); }

StreamState::Status StreamState::send_close() { return commit(state_, on_send_close(state_)); }

StreamState::Status StreamState::recv_reset(uint32_t stream_id, uint32_t reason, bool queued) {
  if (auto ok = check_stream_id(stream_id); !ok) return ok;
  // A reset on a stream that already closed matters only while frames for
  // it are still queued: they must not go out.
  if (std::holds_alternative<Closed>(state_) && !queued) return {};
  state_ = Closed{StreamError{StreamReset{stream_id, reason, Initiator::Remote}}};
  return {};
}

StreamState::Status StreamState::recv_eof() {
  if (!std::holds_alternative<Closed>(state_)) {
    state_ = Closed{StreamError{IoError{IoKind::BrokenPipe, "stream closed because of a broken pipe"}}};
  }
  return {};
}

StreamState::Status StreamState::set_reset(uint32_t stream_id, uint32_t reason, Initiator initiator) {
  if (auto ok = check_stream_id(stream_id); !ok) return ok;
  state_ = Closed{StreamError{StreamReset{stream_id, reason, initiator}}};
  return {};
}

StreamState::Status StreamState::set_reset(uint32_t stream_id, uint32_t reason, std::string_view initiator) {
  // Values are checked in argument order: the stream id, then the initiator.
  if (auto ok = check_stream_id(stream_id); !ok) return ok;
  const auto who = parse_initiator(initiator);
  if (!who) {
    std::string message = "initiator must be 'user' | 'library' | 'remote', got ";
    message += initiator;
    return fail(Failure{InvalidValue{std::move(message)}});
  }
  return set_reset(stream_id, reason, *who);
}

StreamState::Status StreamState::set_scheduled_reset(uint32_t reason) {
  state_ = Closed{ScheduledLibraryReset{reason}};
  return {};
}

// ---------------------------------------------------------------- queries

std::optional<uint32_t> StreamState::get_scheduled_reset() const noexcept {
  const Cause* cause = cause_of(state_);
  const auto* scheduled = cause ? std::get_if<ScheduledLibraryReset>(cause) : nullptr;
  return scheduled ? std::optional<uint32_t>{scheduled->reason} : std::nullopt;
}

Result<bool, Failure> StreamState::ensure_recv_open() const {
  using Answer = Result<bool, Failure>;
  if (const Cause* cause = cause_of(state_)) {
    return std::visit(Rows{
                          [](EndStream) -> Answer { return false; },
                          [](const StreamError& e) -> Answer {
                            return std::visit([](const auto& v) -> Answer { return fail(Failure{Error{v}}); }, e);
                          },
                          // Raised as a library-initiated shutdown carrying the scheduled reason.
                          [](const ScheduledLibraryReset& r) -> Answer {
                            return fail(Failure{Error{GoAway{"", r.reason, Initiator::Library}}});
                          },
                      },
                      *cause);
  }
  return !(std::holds_alternative<HalfClosedRemote>(state_) || std::holds_alternative<ReservedLocal>(state_));
}

bool StreamState::is_idle() const noexcept { return std::holds_alternative<Idle>(state_); }

bool StreamState::is_closed() const noexcept { return std::holds_alternative<Closed>(state_); }

bool StreamState::is_reset() const noexcept {
  const Cause* cause = cause_of(state_);
  return cause != nullptr && !std::holds_alternative<EndStream>(*cause);
}

bool StreamState::is_scheduled_reset() const noexcept { return get_scheduled_reset().has_value(); }

bool StreamState::is_local_error() const noexcept {
  if (is_scheduled_reset()) return true;
  const StreamError* error = error_of(state_);
  if (error == nullptr) return false;
  const auto* reset = std::get_if<StreamReset>(error);
  return reset == nullptr || reset->initiator != Initiator::Remote;  // Io is always local
}

bool StreamState::is_remote_reset() const noexcept {
  const StreamError* error = error_of(state_);
  const auto* reset = error ? std::get_if<StreamReset>(error) : nullptr;
  return reset != nullptr && reset->initiator == Initiator::Remote;
}

bool StreamState::is_send_streaming() const noexcept {
  if (const auto* o = std::get_if<Open>(&state_)) return o->local == S;
  const auto* h = std::get_if<HalfClosedRemote>(&state_);
  return h != nullptr && h->local == S;
}

bool StreamState::is_send_closed() const noexcept {
  return std::holds_alternative<Closed>(state_) || std::holds_alternative<HalfClosedLocal>(state_) ||
         std::holds_alternative<ReservedRemote>(state_);
}

bool StreamState::is_recv_headers() const noexcept {
  if (std::holds_alternative<Idle>(state_) || std::holds_alternative<ReservedRemote>(state_)) return true;
  if (const auto* o = std::get_if<Open>(&state_)) return o->remote == AH;
  const auto* h = std::get_if<HalfClosedLocal>(&state_);
  return h != nullptr && h->remote == AH;
}

bool StreamState::is_recv_streaming() const noexcept {
  if (const auto* o = std::get_if<Open>(&state_)) return o->remote == S;
  const auto* h = std::get_if<HalfClosedLocal>(&state_);
  return h != nullptr && h->remote == S;
}

bool StreamState::is_recv_end_stream() const noexcept {
  if (std::holds_alternative<HalfClosedRemote>(state_)) return true;
  const Cause* cause = cause_of(state_);
  return cause != nullptr && std::holds_alternative<EndStream>(*cause);
}

}  // namespace vintrel::h2
