// H2Codec: the HTTP/2 frame codec of one connection, a thin shell over the
// core reader and writer and the connection's HPACK decoder and encoder,
// behind the object's own lock.
//
// Receiving. Under the lock the reader cuts and loads every complete frame
// into this call's batch: the events (header fields already in each
// block's header map) and the reader's blocks of held bytes that they view
// (a frame completed across calls), handed over, never copied. The lock is
// released, and only then are the events made, each DATA payload and GOAWAY
// debug data copied from its view into its bytes. The views point into the
// caller's `data` (alive for the call) or into blocks the batch owns, so
// another thread's receive, free to run once the lock is gone, cannot
// touch them. A payload byte is copied at most twice: into the reader when
// its frame spans calls, and into its bytes.
//
// Sending. Arguments are converted and checked before the lock, so a
// refused header block never touches the encoder. A header block is encoded
// under the codec's lock (and the HeaderMap's, read in place, taken first;
// the codec never takes a map's lock while holding its own) into this
// call's buffer; the frames are written into the result bytes afterwards.
#include "core/http2/frame_writer.h"
#include "core/http2/hpack_adapter.h"
#include "core/http2/send_pseudo.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/h2/events.h"
#include "src/py/http/header_args.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

struct CodecState {
  explicit CodecState(bool client) : client(client) {}
  const bool client;
  h2::FrameReader reader;
  h2::HpackBlockDecoder decoder;
  h2::SendFrameSize send_size;
  h2::HpackBlockEncoder encoder;
};

using Payload = Guarded<CodecState>;

constexpr std::array<std::string_view, 2> kRoles = {"client", "server"};
constexpr Params<1> kNew{"H2Codec", {"role"}, 0};

PyObject* new_codec(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[1];
  if (!parse_args(kNew, args, kwargs, arg)) return nullptr;
  int role = 0;
  if (arg[0] != nullptr) {
    std::string_view text;
    if (!choice_arg(arg[0], "role", kRoles, &role, &text)) return nullptr;
    if (role < 0) return raise_value_error("role must be 'client' or 'server', got " + std::string(text));
  }
  return new_box<Payload>(type, role == 0);
}

PyObject* role_client(PyObject* self, void*) { return bool_from(payload_of<Payload>(self).value.client); }

// ---------------------------------------------------------------- receive

constexpr Params<1> kReceive{"receive", {"data"}, 1};

// Event vectors circulate between calls through a per-thread spare batch,
// so a steady connection allocates no vector per call. The spare is taken,
// not borrowed: a call that starts while this thread is still building the
// objects of another (a finalizer run by an allocation) finds it empty and
// makes its own. Large vectors are let go rather than kept.
thread_local h2::FrameBatch spare_batch;
constexpr size_t kKeptEventCapacity = 256;

struct EventBatch {
  h2::FrameBatch frames = std::exchange(spare_batch, {});

  EventBatch() = default;
  EventBatch(const EventBatch&) = delete;
  EventBatch& operator=(const EventBatch&) = delete;
  ~EventBatch() {
    frames.clear();
    if (frames.events.capacity() <= kKeptEventCapacity &&
        frames.events.capacity() > spare_batch.events.capacity())
      std::swap(spare_batch, frames);
  }
};

PyObject* receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(kReceive, args, nargs, kwnames, arg)) return nullptr;
  std::string_view data;
  if (!wire_bytes(arg[0], "data", &data)) return nullptr;
  // The batch owns every held byte its events view; the rest are views of
  // `data`, which the argument keeps alive for the call.
  EventBatch batch;
  auto status = locked<CodecState>(
      self, [&](CodecState& c) { return c.reader.receive(data, c.decoder, batch.frames); });
  if (!status) return raise_protocol_error(status.error().reason, status.error().message);
  std::vector<h2::FrameEvent>& events = batch.frames.events;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(events.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < events.size(); ++i) {
    PyObject* event = new_frame_event(events[i]);
    if (event == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), event);
  }
  return list;
}

PyObject* buffered(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(locked<CodecState>(self, [](CodecState& c) { return c.reader.buffered(); }));
}

// ---------------------------------------------------------------- setters

enum class Setter { SendTable, RecvTable, RecvFrame, HeaderList, SendFrame };

template <Setter S>
std::optional<h2::InvalidValue> apply(CodecState& c, uint32_t val) {
  if constexpr (S == Setter::SendTable) {
    c.encoder.hpack().update_max_size(val);
  } else if constexpr (S == Setter::RecvTable) {
    c.decoder.hpack().queue_size_update(val);
  } else if constexpr (S == Setter::RecvFrame) {
    if (auto r = c.reader.set_max_recv_frame_size(val); !r) return std::move(r).error();
  } else if constexpr (S == Setter::HeaderList) {
    c.reader.set_max_header_list_size(val);
  } else {
    if (auto r = c.send_size.set(val); !r) return std::move(r).error();
  }
  return std::nullopt;
}

template <const Params<1>& P, Setter S>
PyObject* setter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(P, args, nargs, kwnames, arg)) return nullptr;
  uint32_t val;
  if (!unsigned_arg(arg[0], &val)) return nullptr;
  auto refused = locked<CodecState>(self, [val](CodecState& c) { return apply<S>(c, val); });
  if (refused) return raise_failure(*refused);
  return none();
}

constexpr Params<1> kSendTable{"set_send_header_table_size", {"val"}, 1};
constexpr Params<1> kRecvTable{"set_recv_header_table_size", {"val"}, 1};
constexpr Params<1> kRecvFrame{"set_max_recv_frame_size", {"val"}, 1};
constexpr Params<1> kHeaderList{"set_max_header_list_size", {"val"}, 1};
constexpr Params<1> kSendFrame{"set_send_max_frame_size", {"val"}, 1};

// ---------------------------------------------------------------- arguments

// A stream id from the unsigned 32-bit `raw` that the caller converted
// with the other arguments, once (so an impure __index__ cannot have one
// value checked and another written): below 2^31 to be writable.
bool stream_id_of(uint32_t raw, h2::StreamId* out) {
  auto id = h2::check_stream_id(raw);
  if (!id) {
    raise_failure(std::move(id).error());
    return false;
  }
  *out = *id;
  return true;
}

// A flag with the default False: omitted, or True or False (not None).
bool flag_arg(PyObject* obj, const char* argname, bool* out) {
  *out = false;
  return obj == nullptr || bool_arg(obj, argname, out);
}

// ---------------------------------------------------------------- header blocks

// Encodes `pseudo` and the fields of `headers` (a HeaderMap, or nullptr for
// none) under the codec's lock, then writes the frames into new bytes.
PyObject* header_block(PyObject* self, h2::StreamId id, const h2::SendPseudo& pseudo, PyObject* headers,
                       const char* argname, bool end_stream) {
  std::string block;
  h2::SendFrameSize size;
  auto encode = [&](const http::HeaderMap* fields) {
    size = locked<CodecState>(self, [&](CodecState& c) {
      c.encoder.encode(pseudo, fields, block);
      return c.send_size;
    });
  };
  if (headers == nullptr) {
    encode(nullptr);
  } else if (!with_headers(headers, argname, [&](const http::HeaderMap& m) { encode(&m); })) {
    return nullptr;
  }
  return new_bytes(size.header_block_len(block.size()),
                   [&](char* out) { size.write_header_block(out, id, block, end_stream); });
}

constexpr Params<5> kRequest{"serialize_request_headers", {"stream_id", "method", "url", "headers", "end_stream"}, 3};

PyObject* serialize_request_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[5];
  if (!parse_args(kRequest, args, nargs, kwnames, arg)) return nullptr;
  uint32_t raw_id;
  std::string_view method, url;
  bool end_stream;
  PyObject* headers = is_none(arg[3]) ? nullptr : arg[3];
  if (!unsigned_arg(arg[0], &raw_id) || !text_arg(arg[1], "method", &method) || !text_arg(arg[2], "url", &url) ||
      (headers != nullptr && !check_headers_arg(headers, "headers", false)) ||
      !flag_arg(arg[4], "end_stream", &end_stream))
    return nullptr;
  h2::StreamId id;
  if (!stream_id_of(raw_id, &id)) return nullptr;
  auto pseudo = h2::request_pseudo(method, url);
  if (!pseudo) return raise_failure(std::move(pseudo).error());
  return header_block(self, id, *pseudo, headers, "headers", end_stream);
}

constexpr Params<4> kResponse{"serialize_response_headers", {"stream_id", "status", "headers", "end_stream"}, 2};

PyObject* serialize_response_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[4];
  if (!parse_args(kResponse, args, nargs, kwnames, arg)) return nullptr;
  uint32_t raw_id;
  uint16_t status;
  bool end_stream;
  PyObject* headers = is_none(arg[2]) ? nullptr : arg[2];
  if (!unsigned_arg(arg[0], &raw_id) || !unsigned_arg(arg[1], &status) ||
      (headers != nullptr && !check_headers_arg(headers, "headers", false)) ||
      !flag_arg(arg[3], "end_stream", &end_stream))
    return nullptr;
  h2::StreamId id;
  if (!stream_id_of(raw_id, &id)) return nullptr;
  auto pseudo = h2::response_pseudo(status);
  if (!pseudo) return raise_failure(std::move(pseudo).error());
  return header_block(self, id, *pseudo, headers, "headers", end_stream);
}

constexpr Params<2> kTrailers{"serialize_trailers", {"stream_id", "trailers"}, 2};

PyObject* serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kTrailers, args, nargs, kwnames, arg)) return nullptr;
  uint32_t raw_id;
  if (!unsigned_arg(arg[0], &raw_id) || !check_headers_arg(arg[1], "trailers", false)) return nullptr;
  h2::StreamId id;
  if (!stream_id_of(raw_id, &id)) return nullptr;
  return header_block(self, id, h2::SendPseudo{}, arg[1], "trailers", true);
}

// ---------------------------------------------------------------- other frames

constexpr Params<3> kData{"serialize_data", {"stream_id", "data", "end_stream"}, 2};

PyObject* serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[3];
  if (!parse_args(kData, args, nargs, kwnames, arg)) return nullptr;
  uint32_t raw_id;
  std::string_view data;
  bool end_stream;
  if (!unsigned_arg(arg[0], &raw_id) || !wire_bytes(arg[1], "data", &data) ||
      !flag_arg(arg[2], "end_stream", &end_stream))
    return nullptr;
  h2::StreamId id;
  if (!stream_id_of(raw_id, &id)) return nullptr;
  const h2::SendFrameSize size = locked<CodecState>(self, [](CodecState& c) { return c.send_size; });
  if (auto fits = size.check_data(data.size()); !fits) return raise_failure(std::move(fits).error());
  return new_bytes(h2::data_frame_len(data.size()), [&](char* out) { h2::write_data(out, id, data, end_stream); });
}

// Frames of a stream id and one 32-bit value.
template <const Params<2>& P, void (*Write)(char*, h2::StreamId, uint32_t) noexcept>
PyObject* id_and_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(P, args, nargs, kwnames, arg)) return nullptr;
  uint32_t raw_id, value;
  if (!unsigned_arg(arg[0], &raw_id) || !unsigned_arg(arg[1], &value)) return nullptr;
  h2::StreamId id;
  if (!stream_id_of(raw_id, &id)) return nullptr;
  return new_bytes(h2::kRstStreamFrameLen, [&](char* out) { Write(out, id, value); });
}
static_assert(h2::kRstStreamFrameLen == h2::kWindowUpdateFrameLen);

constexpr Params<2> kWindowUpdate{"serialize_window_update", {"stream_id", "increment"}, 2};
constexpr Params<2> kRstStream{"serialize_rst_stream", {"stream_id", "error_code"}, 2};

template <const Params<1>& P, bool Ack>
PyObject* ping(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(P, args, nargs, kwnames, arg)) return nullptr;
  std::string_view payload;
  if (!wire_bytes(arg[0], "payload", &payload)) return nullptr;
  if (auto ok = h2::check_ping_payload(payload); !ok) return raise_failure(std::move(ok).error());
  return new_bytes(h2::kPingFrameLen, [&](char* out) { h2::write_ping(out, payload, Ack); });
}

constexpr Params<1> kPing{"serialize_ping", {"payload"}, 1};
constexpr Params<1> kPingAck{"serialize_ping_ack", {"payload"}, 1};

constexpr Params<3> kGoAway{"serialize_go_away", {"last_stream_id", "error_code", "debug_data"}, 2};

PyObject* serialize_go_away(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[3];
  if (!parse_args(kGoAway, args, nargs, kwnames, arg)) return nullptr;
  uint32_t raw_id, code;
  std::string_view debug;
  if (!unsigned_arg(arg[0], &raw_id) || !unsigned_arg(arg[1], &code) ||
      (!is_none(arg[2]) && !wire_bytes(arg[2], "debug_data", &debug)))
    return nullptr;
  h2::StreamId id;
  if (!stream_id_of(raw_id, &id)) return nullptr;
  if (auto ok = h2::check_go_away_debug(debug); !ok) return raise_failure(std::move(ok).error());
  return new_bytes(h2::go_away_frame_len(debug.size()),
                   [&](char* out) { h2::write_go_away(out, id, code, debug); });
}

constexpr Params<6> kSettings{"serialize_settings",
                              {"header_table_size", "enable_push", "max_concurrent_streams",
                               "initial_window_size", "max_frame_size", "max_header_list_size"},
                              0,
                              0};

PyObject* serialize_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[6];
  if (!parse_args(kSettings, args, nargs, kwnames, arg)) return nullptr;
  h2::Settings s;
  if (!is_none(arg[1])) {
    bool push;
    if (!bool_arg(arg[1], "enable_push", &push)) return nullptr;
    s.enable_push = push;
  }
  if (!optional_unsigned_arg(arg[0], &s.header_table_size) ||
      !optional_unsigned_arg(arg[2], &s.max_concurrent_streams) ||
      !optional_unsigned_arg(arg[3], &s.initial_window_size) || !optional_unsigned_arg(arg[4], &s.max_frame_size) ||
      !optional_unsigned_arg(arg[5], &s.max_header_list_size))
    return nullptr;
  if (auto ok = h2::check_settings(s); !ok) return raise_failure(std::move(ok).error());
  return new_bytes(h2::settings_frame_len(s), [&](char* out) { h2::write_settings(out, s); });
}

PyObject* serialize_settings_ack(PyObject*, PyObject*) {
  return new_bytes(h2::kSettingsAckFrameLen, [](char* out) { h2::write_settings_ack(out); });
}

// ---------------------------------------------------------------- the class

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// When a driver applies one of our own receive limits (three setters say so).
#define ON_ANNOUNCEMENT                                                          \
  "Call it when sending the SETTINGS frame that announces the value, not\n"       \
  "on the peer's acknowledgement: a raised limit must be in force before\n"      \
  "the first frame that uses it arrives, and receive drops every event of\n"     \
  "a read that raises, so an acknowledgement arriving in that read would\n"      \
  "be lost. A lowered limit may instead wait for the acknowledgement."

#define SETTER(name, P, S, text) \
  {name, as_cfunction(catching<setter<P, Setter::S>>), kFast, name "($self, val)\n--\n\n" text}

PyMethodDef kMethods[] = {
    {"receive", as_cfunction(catching<receive>), kFast,
     "receive($self, data)\n--\n\n"
     "Feed inbound bytes; return the list of complete frames now decodable.\n"
     "\n"
     "Call it with every chunk read from the transport, in order (a server\n"
     "strips the 24-byte client preface first), and act on the events in\n"
     "the order given. A frame cut by the end of data is held until the\n"
     "next call completes it. A connection error raises H2ProtocolError\n"
     "(answer with serialize_go_away carrying args[0], then close): the\n"
     "events of that call are dropped, the frames before the failing one\n"
     "stay consumed and the bytes after it stay held. A malformed header\n"
     "block costs its stream only and comes as an H2FrameStreamError event."},
    {"buffered", as_cfunction(catching<buffered>), METH_NOARGS,
     "buffered($self)\n--\n\n"
     "Number of bytes currently buffered awaiting a complete frame.\n"
     "\n"
     "Bytes held from earlier receive calls: a frame cut by a read, or what\n"
     "follows a frame that failed."},
    SETTER("set_send_header_table_size", kSendTable, SendTable,
           "Apply the peer's SETTINGS_HEADER_TABLE_SIZE: the bound on the table our\n"
           "encoder may use.\n"
           "\n"
           "Call it when an H2FrameSettings event carries header_table_size, before\n"
           "serializing the next header block; the encoder signals the change at\n"
           "the start of that block."),
    SETTER("set_recv_header_table_size", kRecvTable, RecvTable,
           "Apply our SETTINGS_HEADER_TABLE_SIZE: the largest table size the peer's\n"
           "encoder may switch to.\n"
           "\n"
           ON_ANNOUNCEMENT),
    SETTER("set_max_recv_frame_size", kRecvFrame, RecvFrame,
           "Apply our SETTINGS_MAX_FRAME_SIZE: the largest frame payload receive\n"
           "accepts (16384 until set).\n"
           "\n"
           ON_ANNOUNCEMENT "\n"
           "0 raises ValueError(\"receive max frame size must be at least 1, got 0\")."),
    SETTER("set_max_header_list_size", kHeaderList, HeaderList,
           "Apply our SETTINGS_MAX_HEADER_LIST_SIZE: the decoded size of a header\n"
           "list past which receive keeps no more of a block's fields (the block\n"
           "is still decoded to its end, and its event says truncated).\n"
           "\n"
           ON_ANNOUNCEMENT),
    SETTER("set_send_max_frame_size", kSendFrame, SendFrame,
           "Apply the peer's SETTINGS_MAX_FRAME_SIZE: the payload budget of every\n"
           "frame we write (16384 until set).\n"
           "\n"
           "Call it when an H2FrameSettings event carries max_frame_size. Header\n"
           "blocks are cut into CONTINUATION frames at this size; serialize_data\n"
           "refuses a larger payload. 0 or a value above 16777215 raises\n"
           "ValueError and changes nothing."),
    {"serialize_settings", as_cfunction(catching<serialize_settings>), kFast,
     "serialize_settings($self, *, header_table_size=None, enable_push=None, max_concurrent_streams=None, "
     "initial_window_size=None, max_frame_size=None, max_header_list_size=None)\n--\n\n"
     "One SETTINGS frame carrying the settings given (None leaves one out).\n"
     "\n"
     "Send it at the start of the connection (a client after the preface)\n"
     "and whenever our settings change; apply the receive limits it raises\n"
     "with the set_* methods at the same time. The peer answers with an\n"
     "H2FrameSettings event whose ack is True. A max_frame_size outside\n"
     "16384 to 16777215 or an initial_window_size above 2147483647 raises\n"
     "ValueError."},
    {"serialize_settings_ack", as_cfunction(catching<serialize_settings_ack>), METH_NOARGS,
     "serialize_settings_ack($self)\n--\n\n"
     "One SETTINGS frame with ACK set and no settings.\n"
     "\n"
     "Send it after applying the settings of an H2FrameSettings event whose\n"
     "ack is False."},
    {"serialize_request_headers", as_cfunction(catching<serialize_request_headers>), kFast,
     "serialize_request_headers($self, stream_id, method, url, headers=None, end_stream=False)\n--\n\n"
     "The HEADERS frame (and CONTINUATION frames) that opens a request.\n"
     "\n"
     "The pseudo-headers come from method and url (:scheme, :authority and\n"
     ":path; CONNECT sends only :authority), followed by the fields of\n"
     "headers in map order. end_stream is True for a request without body.\n"
     "Call H2StreamState.send_open(end_stream) for the stream with it. An\n"
     "invalid method or URL raises ValueError before the encoder is touched."},
    {"serialize_response_headers", as_cfunction(catching<serialize_response_headers>), kFast,
     "serialize_response_headers($self, stream_id, status, headers=None, end_stream=False)\n--\n\n"
     "The HEADERS frame (and CONTINUATION frames) of a response head.\n"
     "\n"
     "The :status pseudo-header, then the fields of headers in map order.\n"
     "end_stream is True for a response without body. Call\n"
     "H2StreamState.send_open(end_stream) with a final head; a 1xx head\n"
     "changes no state. A status outside 100 to 999 raises ValueError."},
    {"serialize_trailers", as_cfunction(catching<serialize_trailers>), kFast,
     "serialize_trailers($self, stream_id, trailers)\n--\n\n"
     "A trailing HEADERS frame without pseudo-headers and with END_STREAM set, carrying request or "
     "response trailers after the DATA frames.\n"
     "\n"
     "Call H2StreamState.send_close() with it."},
    {"serialize_data", as_cfunction(catching<serialize_data>), kFast,
     "serialize_data($self, stream_id, data, end_stream=False)\n--\n\n"
     "One DATA frame carrying data, unpadded.\n"
     "\n"
     "Charge len(data) to the stream's and the connection's send windows\n"
     "first (H2FlowControl.send_data), and call H2StreamState.send_close()\n"
     "with the frame that sets end_stream. data longer than the peer's\n"
     "maximum frame size raises H2UserError(\"payload_too_big\", ...):\n"
     "cut it into several frames."},
    {"serialize_window_update", as_cfunction(catching<id_and_value<kWindowUpdate, h2::write_window_update>>), kFast,
     "serialize_window_update($self, stream_id, increment)\n--\n\n"
     "One WINDOW_UPDATE frame; stream_id 0 is the connection.\n"
     "\n"
     "Send it when the receive window's unclaimed_capacity() returns an\n"
     "increment, and call that window's inc_window(increment) with it."},
    {"serialize_ping_ack", as_cfunction(catching<ping<kPingAck, true>>), kFast,
     "serialize_ping_ack($self, payload)\n--\n\n"
     "One PING frame with ACK set.\n"
     "\n"
     "Answer every H2FramePing event whose ack is False with the event's\n"
     "data as payload. A payload other than 8 bytes raises ValueError."},
    {"serialize_ping", as_cfunction(catching<ping<kPing, false>>), kFast,
     "serialize_ping($self, payload)\n--\n\n"
     "A PING frame (not ACK) carrying an 8-byte payload \xe2\x80\x94 for keep-alive.\n"
     "\n"
     "The peer answers with an H2FramePing event whose ack is True and whose\n"
     "data is the same payload. A payload other than 8 bytes raises\n"
     "ValueError."},
    {"serialize_go_away", as_cfunction(catching<serialize_go_away>), kFast,
     "serialize_go_away($self, last_stream_id, error_code, debug_data=None)\n--\n\n"
     "A GOAWAY frame (connection shutdown), `stream_id = 0`.\n"
     "\n"
     "last_stream_id is the highest peer-initiated stream we processed.\n"
     "Send it with H2Reason.NO_ERROR to close gracefully, or with args[0] of\n"
     "an H2ProtocolError or H2FlowControlError, then close the transport.\n"
     "Debug data over 16777207 bytes raises ValueError."},
    {"serialize_rst_stream", as_cfunction(catching<id_and_value<kRstStream, h2::write_rst_stream>>), kFast,
     "serialize_rst_stream($self, stream_id, error_code)\n--\n\n"
     "A RST_STREAM frame \xe2\x80\x94 abruptly terminate `stream_id`.\n"
     "\n"
     "Send it for an H2FrameStreamError event (with its error_code), for an\n"
     "H2StreamError raised by the stream's state, or to cancel a stream of\n"
     "our own; record it with H2StreamState.set_reset."},
    {nullptr, nullptr, 0, nullptr},
};

#undef SETTER

PyGetSetDef kGetSet[] = {
    {"role_client", catching<role_client>, nullptr, "True for a codec made with role \"client\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "H2Codec(role=\"client\")\n--\n\n"
                    "The HTTP/2 frame codec of one connection, without I/O.\n"
                    "\n"
                    "receive() turns inbound bytes into frame events; the serialize_*\n"
                    "methods return the bytes of outbound frames. It owns the connection's\n"
                    "HPACK decoder and encoder and the size limits that SETTINGS negotiate;\n"
                    "it keeps no stream state: the driver keeps an H2StreamState and two\n"
                    "H2FlowControl windows per stream, and two windows for the connection.\n"
                    "role is \"client\" or \"server\"; anything else raises ValueError.\n"
                    "\n"
                    "Which call goes with which frame:\n"
                    "\n"
                    "- Start: a client writes the 24-byte preface, then serialize_settings;\n"
                    "  a server strips the preface from its first reads and sends\n"
                    "  serialize_settings. Apply the receive limits announced there\n"
                    "  (set_max_recv_frame_size, set_max_header_list_size,\n"
                    "  set_recv_header_table_size) when sending them.\n"
                    "- H2FrameSettings received without ack: apply header_table_size with\n"
                    "  set_send_header_table_size and max_frame_size with\n"
                    "  set_send_max_frame_size, move every stream's send window by the\n"
                    "  change of initial_window_size, then send serialize_settings_ack.\n"
                    "- H2FrameHeaders received: H2StreamState.recv_open(end_stream,\n"
                    "  informational) for a head; on a stream that is_recv_streaming() it is\n"
                    "  the trailer block: recv_close().\n"
                    "- H2FrameData received: send_data(flow_controlled_len) on the stream's\n"
                    "  and the connection's receive windows, recv_close() if end_stream;\n"
                    "  give consumed bytes back with assign_capacity and send\n"
                    "  serialize_window_update when unclaimed_capacity() offers one.\n"
                    "- H2FrameWindowUpdate received: inc_window(increment) on the send\n"
                    "  window of stream_id (0: the connection's).\n"
                    "- H2FramePing received without ack: send serialize_ping_ack(data).\n"
                    "- H2FrameRstStream received: H2StreamState.recv_reset.\n"
                    "- H2FrameStreamError: send serialize_rst_stream(stream_id,\n"
                    "  error_code); the connection goes on.\n"
                    "- H2FrameGoAway: open no more streams; ours above last_stream_id\n"
                    "  were not processed.\n"
                    "- H2ProtocolError or H2FlowControlError: send serialize_go_away with\n"
                    "  args[0] as error_code, then close.\n"
                    "- Sending a request or response: serialize_request_headers or\n"
                    "  serialize_response_headers with send_open, serialize_data within\n"
                    "  the send windows, serialize_trailers or end_stream with send_close.\n"
                    "\n"
                    "Every stream_id of 2**31 or more raises\n"
                    "ValueError(\"invalid stream ID -- MSB is set\") before any output.")},
    {Py_tp_new, as_slot(catching<new_codec>)},
    {Py_tp_dealloc, as_slot(box_dealloc<Payload>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.H2Codec", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

PyObject* h2_codec_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

}  // namespace vintrel::py
