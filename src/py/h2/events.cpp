// H2FrameData, H2FrameHeaders, H2FramePriority, H2FrameSettings,
// H2FrameRstStream, H2FramePing, H2FrameGoAway, H2FrameWindowUpdate and
// H2FrameStreamError, on the event template of the binding layer. Frames
// that carry only integers keep the core's frame value as their payload.
#include "src/py/h2/events.h"

#include "src/py/event_class.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/http/header_args.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/repr.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

constexpr PyGetSetDef kGetSetEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

#define EVENT_SLOTS(E, doc, getset, ...)                                                            \
  {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_new, as_slot(refuse_new)},                             \
      {Py_tp_dealloc, as_slot(box_dealloc<E>)}, {Py_tp_getset, getset}, __VA_ARGS__ {0, nullptr }

// ---------------------------------------------------------------- DATA

struct DataEvent {
  uint32_t stream_id;
  bool end_stream;
  OwnedRef data;
  uint32_t flow_controlled_len;
};

PyObject* data_repr(PyObject* self) {
  const auto& e = payload_of<DataEvent>(self);
  return repr_from(Repr("Data")
                       .integer("stream_id", e.stream_id)
                       .flag("end_stream", e.end_stream)
                       .integer("len", PyBytes_GET_SIZE(e.data.get())));
}

PyGetSetDef kDataGetSet[] = {
    event_field<&DataEvent::stream_id>("stream_id", "The stream the DATA frame belongs to."),
    event_field<&DataEvent::end_stream>("end_stream", "Whether END_STREAM is set."),
    event_field<&DataEvent::data>("data", "The payload as bytes, padding removed."),
    event_field<&DataEvent::flow_controlled_len>(
        "flow_controlled_len",
        "The payload length plus the padding plus the pad-length byte. Flow control counts "
        "padding while `data` does not, so account windows on flow_controlled_len, not on "
        "len(data)."),
    kGetSetEnd,
};

PyType_Slot kDataSlots[] = {
    EVENT_SLOTS(DataEvent,
                "A DATA frame.\n"
                "\n"
                "Charge flow_controlled_len to the stream's and the connection's receive\n"
                "windows (H2FlowControl.send_data) and, when end_stream is set, call\n"
                "H2StreamState.recv_close().",
                kDataGetSet, {Py_tp_repr, as_slot(catching<data_repr>)}, )};

// ---------------------------------------------------------------- HEADERS

struct HeadersEvent {
  uint32_t stream_id;
  bool end_stream;
  bool end_headers;
  std::optional<std::string> method;
  std::optional<std::string> scheme;
  std::optional<std::string> authority;
  std::optional<std::string> path;
  std::optional<uint16_t> status;
  OwnedRef headers;
  bool truncated;
};

PyObject* headers_repr(PyObject* self) {
  const auto& e = payload_of<HeadersEvent>(self);
  const size_t fields =
      locked<HeaderMapState>(e.headers.get(), [](HeaderMapState& s) { return s.map.value_count(); });
  return repr_from(Repr("Headers")
                       .integer("stream_id", e.stream_id)
                       .optional("status", e.status)
                       .flag("end_stream", e.end_stream)
                       .integer("fields", fields));
}

PyGetSetDef kHeadersGetSet[] = {
    event_field<&HeadersEvent::stream_id>("stream_id", "The stream the header block belongs to."),
    event_field<&HeadersEvent::end_stream>("end_stream", "Whether the HEADERS frame set END_STREAM."),
    event_field<&HeadersEvent::end_headers>("end_headers", "Always True: the event is a complete header block."),
    event_field<&HeadersEvent::method>("method", "The :method pseudo-header, or None."),
    event_field<&HeadersEvent::scheme>("scheme", "The :scheme pseudo-header, or None."),
    event_field<&HeadersEvent::authority>("authority", "The :authority pseudo-header, or None."),
    event_field<&HeadersEvent::path>("path", "The :path pseudo-header, or None."),
    event_field<&HeadersEvent::status>("status", "The :status pseudo-header as an int, or None."),
    event_field<&HeadersEvent::headers>("headers", "Regular header fields as a `vintrel.http.HeaderMap`."),
    event_field<&HeadersEvent::truncated>(
        "truncated",
        "True when the header list reached the max header list size: the headers from there on were dropped, "
        "so a server answers 431 rather than act on a partial request."),
    kGetSetEnd,
};

PyType_Slot kHeadersSlots[] = {EVENT_SLOTS(HeadersEvent,
                                           "A complete header block: HEADERS and its CONTINUATION frames.\n"
                                           "\n"
                                           "The pseudo-headers are attributes of their own (None when absent); the\n"
                                           "regular fields are in headers. The first block on a stream is a head:\n"
                                           "call H2StreamState.recv_open(end_stream, informational), informational\n"
                                           "for a 1xx status. A later block on a stream that is_recv_streaming()\n"
                                           "is the trailer block: call recv_close().",
                                           kHeadersGetSet, {Py_tp_repr, as_slot(catching<headers_repr>)}, )};

// ---------------------------------------------------------------- PRIORITY

PyGetSetDef kPriorityGetSet[] = {
    event_field<&h2::PriorityFrame::stream_id>("stream_id", "The stream the PRIORITY frame names."),
    kGetSetEnd,
};

PyType_Slot kPrioritySlots[] = {EVENT_SLOTS(
    h2::PriorityFrame,
    "A PRIORITY frame (its dependency and weight are not reported).\n"
    "\n"
    "Nothing needs to be done with it.",
    kPriorityGetSet, )};

// ---------------------------------------------------------------- SETTINGS

template <auto M>
PyObject* get_setting(PyObject* self, void*) {
  return to_python(payload_of<h2::SettingsFrame>(self).settings.*M);
}

template <auto M>
PyGetSetDef setting_field(const char* name, const char* doc) {
  return {name, catching<get_setting<M>>, nullptr, doc, nullptr};
}

PyObject* settings_repr(PyObject* self) {
  const auto& e = payload_of<h2::SettingsFrame>(self);
  return repr_from(Repr("Settings")
                       .flag("ack", e.ack)
                       .optional("max_concurrent_streams", e.settings.max_concurrent_streams)
                       .optional("initial_window_size", e.settings.initial_window_size)
                       .optional("max_frame_size", e.settings.max_frame_size));
}

using h2::Settings;
PyGetSetDef kSettingsGetSet[] = {
    event_field<&h2::SettingsFrame::ack>("ack", "Whether this is an acknowledgement (every setting is then None)."),
    setting_field<&Settings::header_table_size>("header_table_size", "SETTINGS_HEADER_TABLE_SIZE, or None."),
    setting_field<&Settings::enable_push>("enable_push", "SETTINGS_ENABLE_PUSH as a bool, or None."),
    setting_field<&Settings::max_concurrent_streams>("max_concurrent_streams",
                                                     "SETTINGS_MAX_CONCURRENT_STREAMS, or None."),
    setting_field<&Settings::initial_window_size>("initial_window_size", "SETTINGS_INITIAL_WINDOW_SIZE, or None."),
    setting_field<&Settings::max_frame_size>("max_frame_size", "SETTINGS_MAX_FRAME_SIZE, or None."),
    setting_field<&Settings::max_header_list_size>("max_header_list_size",
                                                   "SETTINGS_MAX_HEADER_LIST_SIZE, or None."),
    kGetSetEnd,
};

PyType_Slot kSettingsSlots[] = {EVENT_SLOTS(h2::SettingsFrame,
                                            "A SETTINGS frame or its acknowledgement.\n"
                                            "\n"
                                            "Each setting is None when the frame leaves it out. Apply the peer's\n"
                                            "settings (H2Codec.set_send_header_table_size,\n"
                                            "H2Codec.set_send_max_frame_size, the send windows for\n"
                                            "initial_window_size), then answer with\n"
                                            "H2Codec.serialize_settings_ack(). An acknowledgement (ack True) of our\n"
                                            "own SETTINGS needs no answer.",
                                            kSettingsGetSet, {Py_tp_repr, as_slot(catching<settings_repr>)}, )};

// ---------------------------------------------------------------- RST_STREAM

PyGetSetDef kRstStreamGetSet[] = {
    event_field<&h2::RstStreamFrame::stream_id>("stream_id", "The stream being reset."),
    event_field<&h2::RstStreamFrame::error_code>("error_code", "The error code as a plain int."),
    kGetSetEnd,
};

PyType_Slot kRstStreamSlots[] = {EVENT_SLOTS(h2::RstStreamFrame,
                                             "A RST_STREAM frame.\n"
                                             "\n"
                                             "The peer ended the stream: call H2StreamState.recv_reset and send\n"
                                             "nothing more on it.",
                                             kRstStreamGetSet, )};

// ---------------------------------------------------------------- PING

struct PingEvent {
  bool ack;
  OwnedRef data;
};

PyGetSetDef kPingGetSet[] = {
    event_field<&PingEvent::ack>("ack", "Whether ACK is set."),
    event_field<&PingEvent::data>("data", "The 8 payload bytes."),
    kGetSetEnd,
};

PyType_Slot kPingSlots[] = {EVENT_SLOTS(PingEvent,
                                        "A PING frame.\n"
                                        "\n"
                                        "Answer one without ack with H2Codec.serialize_ping_ack(data); one with\n"
                                        "ack answers a serialize_ping of ours.",
                                        kPingGetSet, )};

// ---------------------------------------------------------------- GOAWAY

struct GoAwayEvent {
  uint32_t last_stream_id;
  uint32_t error_code;
  OwnedRef debug_data;
};

PyGetSetDef kGoAwayGetSet[] = {
    event_field<&GoAwayEvent::last_stream_id>("last_stream_id", "The last stream id the peer may process."),
    event_field<&GoAwayEvent::error_code>("error_code", "The error code as a plain int."),
    event_field<&GoAwayEvent::debug_data>("debug_data", "The debug data as bytes, possibly empty."),
    kGetSetEnd,
};

PyType_Slot kGoAwaySlots[] = {EVENT_SLOTS(GoAwayEvent,
                                          "A GOAWAY frame.\n"
                                          "\n"
                                          "The peer is shutting the connection down: open no more streams. Streams\n"
                                          "we opened above last_stream_id were not processed and may be retried\n"
                                          "on another connection.",
                                          kGoAwayGetSet, )};

// ---------------------------------------------------------------- WINDOW_UPDATE

PyGetSetDef kWindowUpdateGetSet[] = {
    event_field<&h2::WindowUpdateFrame::stream_id>("stream_id", "The stream, or 0 for the connection."),
    event_field<&h2::WindowUpdateFrame::increment>("increment", "The window increment."),
    kGetSetEnd,
};

PyType_Slot kWindowUpdateSlots[] = {
    EVENT_SLOTS(h2::WindowUpdateFrame,
                "A WINDOW_UPDATE frame.\n"
                "\n"
                "Call inc_window(increment) on the send window of stream_id, or of the\n"
                "connection for stream 0; a refusal (H2FlowControlError) resets the\n"
                "stream or, for the connection, ends it with GOAWAY.",
                kWindowUpdateGetSet, )};

// ---------------------------------------------------------------- stream error

PyGetSetDef kStreamErrorGetSet[] = {
    event_field<&h2::StreamErrorFrame::stream_id>("stream_id", "The stream to reset."),
    event_field<&h2::StreamErrorFrame::error_code>("error_code", "The error code to reset it with."),
    kGetSetEnd,
};

PyType_Slot kStreamErrorSlots[] = {EVENT_SLOTS(
    h2::StreamErrorFrame,
    "A stream-level protocol error found while decoding.\n"
    "\n"
    "The driver resets stream_id with error_code (H2Codec.serialize_rst_stream)\n"
    "and keeps the connection. It is an event, not an exception, so that frames\n"
    "decoded earlier in the same receive() call are not lost.",
    kStreamErrorGetSet, )};

#undef EVENT_SLOTS

PyType_Spec kDataSpec = event_spec<DataEvent>("vintrel._vintrel.H2FrameData", kDataSlots);
PyType_Spec kHeadersSpec = event_spec<HeadersEvent>("vintrel._vintrel.H2FrameHeaders", kHeadersSlots);
PyType_Spec kPrioritySpec = event_spec<h2::PriorityFrame>("vintrel._vintrel.H2FramePriority", kPrioritySlots);
PyType_Spec kSettingsSpec = event_spec<h2::SettingsFrame>("vintrel._vintrel.H2FrameSettings", kSettingsSlots);
PyType_Spec kRstStreamSpec = event_spec<h2::RstStreamFrame>("vintrel._vintrel.H2FrameRstStream", kRstStreamSlots);
PyType_Spec kPingSpec = event_spec<PingEvent>("vintrel._vintrel.H2FramePing", kPingSlots);
PyType_Spec kGoAwaySpec = event_spec<GoAwayEvent>("vintrel._vintrel.H2FrameGoAway", kGoAwaySlots);
PyType_Spec kWindowUpdateSpec =
    event_spec<h2::WindowUpdateFrame>("vintrel._vintrel.H2FrameWindowUpdate", kWindowUpdateSlots);
PyType_Spec kStreamErrorSpec =
    event_spec<h2::StreamErrorFrame>("vintrel._vintrel.H2FrameStreamError", kStreamErrorSlots);

template <PyType_Spec* Spec>
PyObject* type_of() {
  static OnceSlot slot;
  return slot.get([] { return make_type(Spec); });
}

std::optional<std::string> owned(std::optional<std::string_view> v) {
  return v ? std::optional<std::string>(std::in_place, *v) : std::nullopt;
}

PyObject* headers_event(h2::HeadersFrame& f) {
  // The block's regular fields are already the map the event hands out:
  // it is taken over, not copied.
  HeadersEvent event{f.stream_id, f.end_stream, true, owned(f.method()), owned(f.scheme()),
                     owned(f.authority()), owned(f.path()), f.status(), OwnedRef(), f.truncated};
  PyObject* headers = new_header_map(std::move(f.kept->regular()));
  h2::give_back_kept_fields(std::move(f.kept));
  if (headers == nullptr) return nullptr;
  event.headers = OwnedRef(headers);
  return new_event(h2_frame_headers_type(), std::move(event));
}

}  // namespace

PyObject* h2_frame_data_type() { return type_of<&kDataSpec>(); }
PyObject* h2_frame_headers_type() { return type_of<&kHeadersSpec>(); }
PyObject* h2_frame_priority_type() { return type_of<&kPrioritySpec>(); }
PyObject* h2_frame_settings_type() { return type_of<&kSettingsSpec>(); }
PyObject* h2_frame_rst_stream_type() { return type_of<&kRstStreamSpec>(); }
PyObject* h2_frame_ping_type() { return type_of<&kPingSpec>(); }
PyObject* h2_frame_go_away_type() { return type_of<&kGoAwaySpec>(); }
PyObject* h2_frame_window_update_type() { return type_of<&kWindowUpdateSpec>(); }
PyObject* h2_frame_stream_error_type() { return type_of<&kStreamErrorSpec>(); }

PyObject* new_frame_event(h2::FrameEvent& event) {
  struct Make {
    PyObject* operator()(h2::DataFrame& f) const {
      PyObject* data = bytes_from(f.data);
      if (data == nullptr) return nullptr;
      return new_event(h2_frame_data_type(),
                       DataEvent{f.stream_id, f.end_stream, OwnedRef(data), f.flow_controlled_len});
    }
    PyObject* operator()(h2::HeadersFrame& f) const { return headers_event(f); }
    PyObject* operator()(h2::PriorityFrame& f) const { return new_event(h2_frame_priority_type(), f); }
    PyObject* operator()(h2::SettingsFrame& f) const { return new_event(h2_frame_settings_type(), f); }
    PyObject* operator()(h2::RstStreamFrame& f) const { return new_event(h2_frame_rst_stream_type(), f); }
    PyObject* operator()(h2::PingFrame& f) const {
      PyObject* data = bytes_from(std::string_view(f.data.data(), f.data.size()));
      if (data == nullptr) return nullptr;
      return new_event(h2_frame_ping_type(), PingEvent{f.ack, OwnedRef(data)});
    }
    PyObject* operator()(h2::GoAwayFrame& f) const {
      PyObject* debug = bytes_from(f.debug_data);
      if (debug == nullptr) return nullptr;
      return new_event(h2_frame_go_away_type(), GoAwayEvent{f.last_stream_id, f.error_code, OwnedRef(debug)});
    }
    PyObject* operator()(h2::WindowUpdateFrame& f) const { return new_event(h2_frame_window_update_type(), f); }
    PyObject* operator()(h2::StreamErrorFrame& f) const { return new_event(h2_frame_stream_error_type(), f); }
  };
  return std::visit(Make{}, event);
}

}  // namespace vintrel::py
