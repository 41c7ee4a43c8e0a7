#include "src/py/h1/events.h"

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

using http1::BodyKind;

// The body kinds in the order of BodyKind.
constexpr std::array<std::string_view, 4> kBodyKinds = {
    http1::body_kind_text(BodyKind::Empty), http1::body_kind_text(BodyKind::Length),
    http1::body_kind_text(BodyKind::Chunked), http1::body_kind_text(BodyKind::Close)};
using BodyKindChoice = Choice<kBodyKinds>;

// What both events show of a parsed head.
struct HeadFields {
  OwnedRef headers;
  bool keep_alive;
  BodyKindChoice body_kind;
  std::optional<uint64_t> content_length;
  bool is_upgrade;
  bool http10;
};

struct ResponseEvent {
  uint16_t status;
  HeadFields head;
};

struct RequestEvent {
  std::string method;
  std::string target;
  bool expect_continue;
  HeadFields head;
};

// Makes the HeaderMap first, so that a failure leaves nothing half-made.
bool head_fields(http1::HeadCommon&& head, HeadFields* out) {
  PyObject* headers = new_header_map(std::move(head.headers));
  if (headers == nullptr) return false;
  *out = HeadFields{OwnedRef(headers), head.keep_alive, BodyKindChoice{static_cast<uint8_t>(head.body_kind)},
                    head.declared_length(), head.is_upgrade, head.http10()};
  return true;
}

// A property of the shared head fields, through the event's member E::head.
template <class E, auto M>
PyObject* get_head_field(PyObject* self, void*) {
  return to_python(payload_of<E>(self).head.*M);
}

template <class E>
constexpr PyGetSetDef head_getters[] = {
    {"headers", catching<get_head_field<E, &HeadFields::headers>>, nullptr,
     "The header fields in wire order (a HeaderMap of the head's own).", nullptr},
    {"keep_alive", catching<get_head_field<E, &HeadFields::keep_alive>>, nullptr,
     "Whether the connection may be reused after this message.\n"
     "\n"
     "False for HTTP/1.0 without keep-alive, for connection: close, for a\n"
     "response that turns the connection into a tunnel, and for a request\n"
     "carrying both Content-Length and Transfer-Encoding (answer it, then\n"
     "close).",
     nullptr},
    {"body_kind", catching<get_head_field<E, &HeadFields::body_kind>>, nullptr,
     "How the body is framed: \"empty\", \"length\", \"chunked\" or \"close\"; the\n"
     "kind of the H1BodyDecoder that reads it.",
     nullptr},
    {"content_length", catching<get_head_field<E, &HeadFields::content_length>>, nullptr,
     "The body length for \"length\", 0 for \"empty\", None for \"chunked\" and \"close\".", nullptr},
    {"is_upgrade", catching<get_head_field<E, &HeadFields::is_upgrade>>, nullptr,
     "Whether the connection becomes a tunnel that the caller takes over.\n"
     "\n"
     "Set for a CONNECT request or one with an upgrade header, and for a 101\n"
     "Switching Protocols or a 2xx answer to CONNECT. Once the tunnel is\n"
     "granted, take_body() and every later read belong to it.",
     nullptr},
    {"http10", catching<get_head_field<E, &HeadFields::http10>>, nullptr,
     "Whether the message was HTTP/1.0.", nullptr},
};

// ---------------------------------------------------------- H1ResponseHead

PyObject* response_repr(PyObject* self) {
  const ResponseEvent& e = payload_of<ResponseEvent>(self);
  return repr_from(Repr("H1ResponseHead")
                       .integer("status", e.status)
                       .text("body_kind", kBodyKinds[e.head.body_kind.index])
                       .flag("keep_alive", e.head.keep_alive));
}

PyGetSetDef kResponseGetSet[] = {
    event_field<&ResponseEvent::status>("status", "The status code, 101 or 200 to 999 (other 1xx heads are skipped)."),
    head_getters<ResponseEvent>[0], head_getters<ResponseEvent>[1], head_getters<ResponseEvent>[2],
    head_getters<ResponseEvent>[3], head_getters<ResponseEvent>[4], head_getters<ResponseEvent>[5],
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kResponseSlots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 response head (the event `receive_head` yields).\n"
                                  "\n"
                                  "Read the body with an H1BodyDecoder(body_kind, content_length or 0)\n"
                                  "fed from take_body().")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(box_dealloc<ResponseEvent>)},
    {Py_tp_repr, as_slot(catching<response_repr>)},
    {Py_tp_getset, kResponseGetSet},
    {0, nullptr},
};

PyType_Spec kResponseSpec = event_spec<ResponseEvent>("vintrel._vintrel.H1ResponseHead", kResponseSlots);

// ---------------------------------------------------------- H1RequestHead

PyObject* request_repr(PyObject* self) {
  const RequestEvent& e = payload_of<RequestEvent>(self);
  return repr_from(Repr("H1RequestHead")
                       .text("method", e.method)
                       .text("target", e.target)
                       .text("body_kind", kBodyKinds[e.head.body_kind.index]));
}

PyGetSetDef kRequestGetSet[] = {
    event_field<&RequestEvent::method>("method", "The method text, as sent."),
    event_field<&RequestEvent::target>("target", "The request-target verbatim (origin, absolute or authority form)."),
    head_getters<RequestEvent>[0], head_getters<RequestEvent>[1], head_getters<RequestEvent>[2],
    head_getters<RequestEvent>[3],
    event_field<&RequestEvent::expect_continue>(
        "expect_continue",
        "Whether the client sent Expect: 100-continue: write \"HTTP/1.1 100 Continue\"\n"
        "before reading the body, or answer at once."),
    head_getters<RequestEvent>[4], head_getters<RequestEvent>[5],
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRequestSlots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 request head (the event `receive_request_head` yields).\n"
                                  "\n"
                                  "Read the body with an H1BodyDecoder(body_kind, content_length or 0)\n"
                                  "fed from take_body(), then answer with serialize_response.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(box_dealloc<RequestEvent>)},
    {Py_tp_repr, as_slot(catching<request_repr>)},
    {Py_tp_getset, kRequestGetSet},
    {0, nullptr},
};

PyType_Spec kRequestSpec = event_spec<RequestEvent>("vintrel._vintrel.H1RequestHead", kRequestSlots);

}  // namespace

PyObject* h1_response_head_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kResponseSpec); });
}

PyObject* h1_request_head_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kRequestSpec); });
}

PyObject* new_response_head(http1::ResponseHead&& head) {
  PyObject* type = h1_response_head_type();
  ResponseEvent event{head.status, {}};
  if (type == nullptr || !head_fields(std::move(head), &event.head)) return nullptr;
  return new_event(type, std::move(event));
}

PyObject* new_request_head(http1::RequestHead&& head) {
  PyObject* type = h1_request_head_type();
  RequestEvent event{std::string(head.method.text()), std::move(head.target), head.expect_continue, {}};
  if (type == nullptr || !head_fields(std::move(head), &event.head)) return nullptr;
  return new_event(type, std::move(event));
}

}  // namespace vintrel::py
