// H2StreamState: the state machine of one HTTP/2 stream, a thin shell over
// h2::StreamState behind the object's own lock.
#include "core/http2/streams/state.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

using Payload = Guarded<h2::StreamState>;
using Status = h2::StreamState::Status;

using h2::StreamState;

PyObject* done(const Status& status) { return status ? none() : raise_failure(status.error()); }

PyObject* new_stream_state(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!no_constructor_args("H2StreamState", args, kwargs)) return nullptr;
  return new_box<Payload>(type);
}

// Transitions without arguments.
template <Status (h2::StreamState::*Step)()>
PyObject* step_method(PyObject* self, PyObject*) {
  return done(locked<StreamState>(self, [](h2::StreamState& s) { return (s.*Step)(); }));
}

// Predicates.
template <bool (h2::StreamState::*Ask)() const noexcept>
PyObject* predicate(PyObject* self, PyObject*) {
  return bool_from(locked<StreamState>(self, [](h2::StreamState& s) { return (s.*Ask)(); }));
}

constexpr Params<1> kSendOpen{"send_open", {"eos"}, 1};
constexpr Params<2> kRecvOpen{"recv_open", {"eos", "informational"}, 2};
constexpr Params<3> kRecvReset{"recv_reset", {"stream_id", "reason", "queued"}, 3};
constexpr Params<3> kSetReset{"set_reset", {"stream_id", "reason", "initiator"}, 3};
constexpr Params<1> kSetScheduled{"set_scheduled_reset", {"reason"}, 1};

PyObject* send_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  bool eos;
  if (!parse_args(kSendOpen, args, nargs, kwnames, arg) || !bool_arg(arg[0], "eos", &eos)) return nullptr;
  return done(locked<StreamState>(self, [eos](h2::StreamState& s) { return s.send_open(eos); }));
}

PyObject* recv_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  bool eos, informational;
  if (!parse_args(kRecvOpen, args, nargs, kwnames, arg) || !bool_arg(arg[0], "eos", &eos) ||
      !bool_arg(arg[1], "informational", &informational)) {
    return nullptr;
  }
  const auto opened = locked<StreamState>(self, [&](h2::StreamState& s) { return s.recv_open(eos, informational); });
  return opened ? bool_from(*opened) : raise_failure(opened.error());
}

PyObject* recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[3];
  uint32_t stream_id, reason;
  bool queued;
  if (!parse_args(kRecvReset, args, nargs, kwnames, arg) || !unsigned_arg(arg[0], &stream_id) ||
      !unsigned_arg(arg[1], &reason) || !bool_arg(arg[2], "queued", &queued)) {
    return nullptr;
  }
  return done(locked<StreamState>(self, [&](h2::StreamState& s) { return s.recv_reset(stream_id, reason, queued); }));
}

PyObject* set_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[3];
  uint32_t stream_id, reason;
  std::string_view initiator;
  if (!parse_args(kSetReset, args, nargs, kwnames, arg) || !unsigned_arg(arg[0], &stream_id) ||
      !unsigned_arg(arg[1], &reason) || !text_arg(arg[2], "initiator", &initiator)) {
    return nullptr;
  }
  // The core checks the stream id first, then the initiator text.
  return done(locked<StreamState>(self, [&](h2::StreamState& s) { return s.set_reset(stream_id, reason, initiator); }));
}

PyObject* set_scheduled_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  uint32_t reason;
  if (!parse_args(kSetScheduled, args, nargs, kwnames, arg) || !unsigned_arg(arg[0], &reason)) return nullptr;
  return done(locked<StreamState>(self, [reason](h2::StreamState& s) { return s.set_scheduled_reset(reason); }));
}

PyObject* get_scheduled_reset(PyObject* self, PyObject*) {
  const auto reason = locked<StreamState>(self, [](h2::StreamState& s) { return s.get_scheduled_reset(); });
  return reason ? PyLong_FromUnsignedLong(*reason) : none();
}

PyObject* ensure_recv_open(PyObject* self, PyObject*) {
  const auto open = locked<StreamState>(self, [](h2::StreamState& s) { return s.ensure_recv_open(); });
  return open ? bool_from(*open) : raise_failure(open.error());
}

PyObject* stream_state_repr(PyObject* self) {
  return str_from(locked<StreamState>(self, [](h2::StreamState& s) { return s.debug(); }));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;
#define SIG(sig, text) sig "\n--\n\n" text

PyMethodDef kMethods[] = {
    {"send_open", as_cfunction(catching<send_open>), kFast,
     SIG("send_open($self, eos)",
         "HEADERS sent on the stream; eos: with END_STREAM.\n"
         "\n"
         "Call it with each serialize_request_headers or serialize_response_headers\n"
         "that carries a final head (not with trailers: those go with send_close).\n"
         "A stream whose head was already sent, or that is closed, raises\n"
         "H2UserError(\"unexpected_frame_type\", ...).")},
    {"recv_open", as_cfunction(catching<recv_open>), kFast,
     SIG("recv_open($self, eos, informational)",
         "HEADERS received; informational: a 1xx head.\n"
         "\n"
         "Call it for an H2FrameHeaders event that carries a head: eos is its\n"
         "end_stream, informational whether its status is 1xx (the stream then\n"
         "still awaits the final head). Returns True when this call opened the\n"
         "stream (from Idle or ReservedRemote). A second final head raises\n"
         "H2ProtocolError(1, ...): on a stream that is_recv_streaming(), a\n"
         "HEADERS frame is the trailer block (call recv_close instead).")},
    {"reserve_remote", as_cfunction(catching<step_method<&h2::StreamState::reserve_remote>>), METH_NOARGS,
     SIG("reserve_remote($self)",
         "The peer reserved the stream (PUSH_PROMISE received).\n"
         "\n"
         "Only from Idle; elsewhere H2ProtocolError(1, ...).")},
    {"reserve_local", as_cfunction(catching<step_method<&h2::StreamState::reserve_local>>), METH_NOARGS,
     SIG("reserve_local($self)",
         "The stream was reserved locally (PUSH_PROMISE sent).\n"
         "\n"
         "Only from Idle; elsewhere H2UserError(\"unexpected_frame_type\", ...).")},
    {"recv_close", as_cfunction(catching<step_method<&h2::StreamState::recv_close>>), METH_NOARGS,
     SIG("recv_close($self)",
         "END_STREAM received.\n"
         "\n"
         "Call it for an H2FrameData event with end_stream set, and for a trailer\n"
         "block. A stream whose remote direction is not open raises\n"
         "H2ProtocolError(1, ...).")},
    {"recv_reset", as_cfunction(catching<recv_reset>), kFast,
     SIG("recv_reset($self, stream_id, reason, queued)",
         "RST_STREAM received; queued: frames for the stream are still queued.\n"
         "\n"
         "Call it for an H2FrameRstStream event with its stream_id and\n"
         "error_code. A closed stream takes the reset only while frames are\n"
         "queued (they must not go out). A stream_id of 2**31 or more raises\n"
         "ValueError.")},
    {"recv_eof", as_cfunction(catching<step_method<&h2::StreamState::recv_eof>>), METH_NOARGS,
     SIG("recv_eof($self)",
         "The transport ended; an unclosed stream closes as broken.\n"
         "\n"
         "Call it for every stream still tracked when the connection's reads end;\n"
         "ensure_recv_open() then raises ConnectionClosedError.")},
    {"send_close", as_cfunction(catching<step_method<&h2::StreamState::send_close>>), METH_NOARGS,
     SIG("send_close($self)",
         "The local side ended its direction (END_STREAM sent).\n"
         "\n"
         "Call it with the DATA frame that sets end_stream, or with\n"
         "serialize_trailers. Only from Open or HalfClosedRemote; elsewhere\n"
         "RuntimeError naming the state, and nothing changes.")},
    {"set_reset", as_cfunction(catching<set_reset>), kFast,
     SIG("set_reset($self, stream_id, reason, initiator)",
         "Close the stream as reset; initiator is \"user\", \"library\" or \"remote\".\n"
         "\n"
         "Call it when sending RST_STREAM: \"user\" when the application cancelled\n"
         "the stream, \"library\" when the driver reset it for a protocol reason.\n"
         "A stream_id of 2**31 or more raises ValueError (checked first), and so\n"
         "does any other initiator text.")},
    {"set_scheduled_reset", as_cfunction(catching<set_scheduled_reset>), kFast,
     SIG("set_scheduled_reset($self, reason)",
         "Close the stream with a library reset still to be sent.\n"
         "\n"
         "For a driver that queues its RST_STREAM: get_scheduled_reset() gives the\n"
         "reason to send, and ensure_recv_open() raises H2ProtocolError(reason,\n"
         "...) meanwhile.")},
    {"get_scheduled_reset", as_cfunction(catching<get_scheduled_reset>), METH_NOARGS,
     SIG("get_scheduled_reset($self)",
         "The reason of a scheduled library reset, or None.\n"
         "\n"
         "Read it when writing the queued RST_STREAM of set_scheduled_reset.")},
    {"ensure_recv_open", as_cfunction(catching<ensure_recv_open>), METH_NOARGS,
     SIG("ensure_recv_open($self)",
         "Whether frames may still be received.\n"
         "\n"
         "False once the remote direction ended normally. Raises the stored\n"
         "failure of a reset or broken stream: H2StreamError for a reset,\n"
         "ConnectionClosedError after recv_eof, H2ProtocolError for a scheduled\n"
         "reset. Call it before handing a received frame's content to the\n"
         "application.")},
    {"is_scheduled_reset", as_cfunction(catching<predicate<&h2::StreamState::is_scheduled_reset>>), METH_NOARGS,
     SIG("is_scheduled_reset($self)", "Closed with a scheduled library reset.")},
    {"is_local_error", as_cfunction(catching<predicate<&h2::StreamState::is_local_error>>), METH_NOARGS,
     SIG("is_local_error($self)", "Closed by a local reset, a scheduled reset or a broken transport.")},
    {"is_remote_reset", as_cfunction(catching<predicate<&h2::StreamState::is_remote_reset>>), METH_NOARGS,
     SIG("is_remote_reset($self)", "Closed by a reset the peer initiated.")},
    {"is_reset", as_cfunction(catching<predicate<&h2::StreamState::is_reset>>), METH_NOARGS,
     SIG("is_reset($self)", "Closed other than by both directions ending normally: reset, scheduled reset or broken transport.")},
    {"is_send_streaming", as_cfunction(catching<predicate<&h2::StreamState::is_send_streaming>>), METH_NOARGS,
     SIG("is_send_streaming($self)", "The local direction has sent its head and is still open: DATA and trailers may follow.")},
    {"is_recv_headers", as_cfunction(catching<predicate<&h2::StreamState::is_recv_headers>>), METH_NOARGS,
     SIG("is_recv_headers($self)", "The remote direction still awaits its final head: a HEADERS frame now is a head.")},
    {"is_recv_streaming", as_cfunction(catching<predicate<&h2::StreamState::is_recv_streaming>>), METH_NOARGS,
     SIG("is_recv_streaming($self)", "The remote direction has sent its head and is still open: a HEADERS frame now is the trailer block.")},
    {"is_recv_end_stream", as_cfunction(catching<predicate<&h2::StreamState::is_recv_end_stream>>), METH_NOARGS,
     SIG("is_recv_end_stream($self)", "The remote direction ended normally (END_STREAM received).")},
    {"is_closed", as_cfunction(catching<predicate<&h2::StreamState::is_closed>>), METH_NOARGS,
     SIG("is_closed($self)", "The stream is closed, whatever the cause: the driver may forget it.")},
    {"is_send_closed", as_cfunction(catching<predicate<&h2::StreamState::is_send_closed>>), METH_NOARGS,
     SIG("is_send_closed($self)", "Nothing more may be sent on the stream: END_STREAM was sent, or it closed.")},
    {"is_idle", as_cfunction(catching<predicate<&h2::StreamState::is_idle>>), METH_NOARGS,
     SIG("is_idle($self)", "The stream has not been used yet: no HEADERS or PUSH_PROMISE either way.")},
    {nullptr, nullptr, 0, nullptr},
};

#undef SIG

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "H2StreamState()\n--\n\n"
                    "The state machine of one HTTP/2 stream.\n"
                    "\n"
                    "The driver reports every frame sent or received on the stream and asks\n"
                    "what is allowed next. A frame the peer may not send raises\n"
                    "H2ProtocolError(1, ...); a frame the driver may not send raises\n"
                    "H2UserError(\"unexpected_frame_type\", ...). A failing call leaves the\n"
                    "state unchanged. repr() is the debug form of the state, for example\n"
                    "\"Open { local: Streaming, remote: AwaitingHeaders }\".")},
    {Py_tp_new, as_slot(catching<new_stream_state>)},
    {Py_tp_dealloc, as_slot(box_dealloc<Payload>)},
    {Py_tp_repr, as_slot(catching<stream_state_repr>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.H2StreamState", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

PyObject* stream_state_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

}  // namespace vintrel::py
