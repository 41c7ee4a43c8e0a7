// H1Codec: one HTTP/1 connection in either role, a thin shell over
// http1::Codec behind the object's own lock. Header arguments are read
// under their map's lock (taken before the codec's, always in that order).
// Heads and trailer sections, small, are copied out under the lock into
// this call's own string and become bytes after it; received bytes, which
// may be large, are lent out of the codec and copied once, into the result.
#include "core/http1/codec.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/h1/events.h"
#include "src/py/http/header_args.h"
#include "src/py/loans.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

struct CodecState {
  http1::Codec codec;
  Loans loans;
};

using Payload = Guarded<CodecState>;

PyObject* new_codec(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!no_constructor_args("H1Codec", args, kwargs)) return nullptr;
  return new_box<Payload>(type);
}

// Runs f(const http::HeaderMap*) with the map of a `headers` argument under
// its lock, or with null for None.
template <class F>
bool with_optional_headers(PyObject* obj, const char* argname, F&& f) {
  if (is_none(obj)) {
    f(static_cast<const http::HeaderMap*>(nullptr));
    return true;
  }
  return with_headers(obj, argname, [&](const http::HeaderMap& map) { f(&map); });
}

// The bytes of a head or trailer section, owned by the call. The string is
// a per-thread spare, taken (not borrowed): a call that starts while this
// one allocates its result (a finalizer) finds none and makes its own.
thread_local std::string spare_out;
constexpr size_t kKeptOutCapacity = 16384;

struct OwnedOut {
  std::string bytes = std::exchange(spare_out, {});

  OwnedOut() = default;
  OwnedOut(const OwnedOut&) = delete;
  OwnedOut& operator=(const OwnedOut&) = delete;
  ~OwnedOut() {
    if (bytes.capacity() <= kKeptOutCapacity && bytes.capacity() > spare_out.capacity()) spare_out.swap(bytes);
  }
};

// What a serializer made under the lock: its bytes, or its failure.
template <class E>
struct Made {
  OwnedOut out;
  std::optional<E> error;
};

// Runs f(codec), which returns a view or a Result holding one, under the
// codec's lock, and copies the view out before the lock goes.
template <class E, class F>
void make_locked(PyObject* self, Made<E>& made, F&& f) {
  locked<CodecState>(self, [&](CodecState& s) {
    auto out = f(s.codec);
    if constexpr (std::is_same_v<decltype(out), std::string_view>) {
      made.out.bytes.assign(out);
    } else if (out.ok()) {
      made.out.bytes.assign(*out);
    } else {
      made.error = out.error();
    }
  });
}

// The result bytes, or the failure as ValueError("<prefix>: <text>") (no
// prefix: the text alone).
template <class E, class Text>
PyObject* made_bytes(const Made<E>& made, std::string_view prefix, Text text) {
  if (!made.error) return bytes_from(made.out.bytes);
  return prefix.empty() ? raise_value_error(text(*made.error)) : raise_value_error(prefix, text(*made.error));
}

// ---------------------------------------------------------------- sending

constexpr Params<7> kSerializeRequest{
    "serialize_request",
    {"method", "url", "headers", "http10", "content_length", "chunked", "trailer_fields"},
    2,
    3};

bool trailer_names_arg(PyObject* obj, std::vector<std::string>* out) {
  if (obj == nullptr) return true;
  TextList names;
  if (!text_list_arg(obj, "trailer_fields", &names)) return false;
  out->reserve(names.size());
  http::NameScratch scratch;
  for (std::string_view raw : names) {
    auto name = http::parse_header_name(raw, scratch);
    if (!name.ok()) {
      raise_value_error(http1::kTrailerNamePrefix, http::field_error_text(name.error()));
      return false;
    }
    out->emplace_back(name->view());
  }
  return true;
}

PyObject* serialize_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[7];
  std::string_view method_text, url;
  bool http10 = false, chunked = false;
  std::optional<uint64_t> content_length;
  if (!parse_args(kSerializeRequest, args, nargs, kwnames, arg) || !text_arg(arg[0], "method", &method_text) ||
      !text_arg(arg[1], "url", &url) || (arg[3] != nullptr && !bool_arg(arg[3], "http10", &http10)) ||
      !optional_unsigned_arg(arg[4], &content_length) ||
      (arg[5] != nullptr && !bool_arg(arg[5], "chunked", &chunked))) {
    return nullptr;
  }
  if (!check_headers_arg(arg[2], "headers", true)) return nullptr;  // types before values
  auto method = http::Method::parse(method_text);
  if (!method.ok()) return raise_value_error(http::kMethodErrorPrefix, http::kInvalidMethodText);
  auto uri = http::parse_uri(url);
  if (!uri.ok()) return raise_value_error(http::kUriErrorPrefix, http::uri_error_text(uri.error()));
  std::vector<std::string> trailer_fields;
  if (!trailer_names_arg(arg[6], &trailer_fields)) return nullptr;

  const http1::BodyLength body = http1::BodyLength::from_args(content_length, chunked);
  Made<http1::EncodeError> made;
  with_optional_headers(arg[2], "headers", [&](const http::HeaderMap* headers) {
    make_locked(self, made, [&](http1::Codec& c) {
      return c.serialize_request(*method, *uri, headers, http10, body, std::move(trailer_fields));
    });
  });
  return bytes_from(made.out.bytes);
}

constexpr Params<6> kSerializeResponse{
    "serialize_response", {"status", "headers", "keep_alive", "http10", "content_length", "chunked"}, 1, 2};

PyObject* serialize_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[6];
  uint16_t status;
  bool keep_alive = true, http10 = false, chunked = false;
  std::optional<uint64_t> content_length;
  if (!parse_args(kSerializeResponse, args, nargs, kwnames, arg) || !unsigned_arg(arg[0], &status) ||
      (arg[2] != nullptr && !bool_arg(arg[2], "keep_alive", &keep_alive)) ||
      (arg[3] != nullptr && !bool_arg(arg[3], "http10", &http10)) ||
      !optional_unsigned_arg(arg[4], &content_length) ||
      (arg[5] != nullptr && !bool_arg(arg[5], "chunked", &chunked))) {
    return nullptr;
  }
  if (!check_headers_arg(arg[1], "headers", true)) return nullptr;
  const http1::BodyLength body = http1::BodyLength::from_args(content_length, chunked);
  Made<http1::EncodeError> made;
  with_optional_headers(arg[1], "headers", [&](const http::HeaderMap* headers) {
    make_locked(self, made,
                [&](http1::Codec& c) { return c.serialize_response(status, headers, keep_alive, http10, body); });
  });
  return made_bytes(made, http1::kResponseEncodePrefix, http1::encode_error_text);
}

constexpr Params<1> kSerializeData{"serialize_data", {"chunk"}, 1};

PyObject* serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  std::string_view chunk;
  if (!parse_args(kSerializeData, args, nargs, kwnames, arg) || !wire_bytes(arg[0], "chunk", &chunk)) return nullptr;
  // The framed chunk holds its size line and views the caller's bytes,
  // which the argument keeps alive: it is written straight into the result.
  auto framed = locked<CodecState>(self, [chunk](CodecState& s) { return s.codec.serialize_data(chunk); });
  if (!framed.ok()) return raise_value_error(http1::body_encode_error_text(framed.error()));
  return new_bytes(framed->size(), [&](char* out) { framed->write_to(out); });
}

PyObject* serialize_end(PyObject* self, PyObject*) {
  Made<http1::BodyEncodeError> made;
  make_locked(self, made, [](http1::Codec& c) { return c.serialize_end(); });
  return made_bytes(made, {}, http1::body_encode_error_text);
}

constexpr Params<1> kSerializeTrailers{"serialize_trailers", {"trailers"}, 1};

PyObject* serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(kSerializeTrailers, args, nargs, kwnames, arg)) return nullptr;
  Made<http1::BodyEncodeError> made;
  const bool ok = with_headers(arg[0], "trailers", [&](const http::HeaderMap& trailers) {
    make_locked(self, made, [&](http1::Codec& c) { return c.serialize_trailers(trailers); });
  });
  return ok ? made_bytes(made, {}, http1::body_encode_error_text) : nullptr;
}

PyObject* body_is_eof(PyObject* self, PyObject*) {
  return bool_from(locked<CodecState>(self, [](CodecState& s) { return s.codec.body_is_eof(); }));
}

// ---------------------------------------------------------------- receiving

constexpr Params<1> kReceiveHead{"receive_head", {"data"}, 1};
constexpr Params<1> kReceiveRequestHead{"receive_request_head", {"data"}, 1};

// receive_head and receive_request_head: append, parse, and make the event
// from the parsed head after the lock.
template <const Params<1>& P, auto Receive, auto MakeEvent, const std::string_view& Prefix>
PyObject* receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  std::string_view data;
  if (!parse_args(P, args, nargs, kwnames, arg) || !wire_bytes(arg[0], "data", &data)) return nullptr;
  auto head = locked<CodecState>(self, [data](CodecState& s) {
    s.loans.settle();  // appending may move the bytes lent out
    return (s.codec.*Receive)(data);
  });
  if (!head.ok()) return raise_value_error(Prefix, http1::parse_error_text(head.error()));
  if (!*head) return none();
  return MakeEvent(std::move(**head));
}

PyObject* take_body(PyObject* self, PyObject*) {
  // Taking moves an offset: bytes lent earlier stay where they are.
  const Loans::Lent lent =
      locked<CodecState>(self, [](CodecState& s) { return s.loans.lend(s.codec.take_buffered()); });
  return bytes_from_loan<CodecState>(self, lent);
}

PyObject* buffered(PyObject* self, PyObject*) {
  const size_t n = locked<CodecState>(self, [](CodecState& s) { return s.codec.buffered(); });
  return PyLong_FromSize_t(n);
}

PyMethodDef kMethods[] = {
    {"serialize_request", as_cfunction(catching<serialize_request>), METH_FASTCALL | METH_KEYWORDS,
     "serialize_request($self, method, url, headers=None, *, http10=False, content_length=None, chunked=False, "
     "trailer_fields=...)\n--\n\n"
     "The bytes of a request head; installs the body's framing.\n"
     "\n"
     "Client role. The body that follows is framed by content_length or\n"
     "chunked (chunked wins), or else by the caller's own framing headers;\n"
     "send it with serialize_data and end it with serialize_end or\n"
     "serialize_trailers. trailer_fields declares the trailer names that\n"
     "serialize_trailers may send. The method is recorded, so that the\n"
     "answer to HEAD or CONNECT is read without a body. An invalid method or\n"
     "URL raises ValueError."},
    {"serialize_data", as_cfunction(catching<serialize_data>), METH_FASTCALL | METH_KEYWORDS,
     "serialize_data($self, chunk)\n--\n\n"
     "One body chunk, framed for the message in flight.\n"
     "\n"
     "Call it after serialize_request or serialize_response, once per piece\n"
     "of the body. With a body of known length, bytes past the declared\n"
     "length are cut off without an error (so a driver may pass the same body\n"
     "to a HEAD, 204 or 304 answer, which sends none of it)."},
    {"serialize_end", as_cfunction(catching<serialize_end>), METH_NOARGS,
     "serialize_end($self)\n--\n\n"
     "The end of the body in flight (\"0\\r\\n\\r\\n\" when chunked, else empty).\n"
     "\n"
     "Call it after the last serialize_data of a message; body_is_eof() is\n"
     "then True. A body of known length that is still short raises\n"
     "ValueError."},
    {"serialize_trailers", as_cfunction(catching<serialize_trailers>), METH_FASTCALL | METH_KEYWORDS,
     "serialize_trailers($self, trailers)\n--\n\n"
     "The end of a chunked body with the declared, allowed fields of trailers.\n"
     "\n"
     "Call it instead of serialize_end. Only fields that the head declared\n"
     "(trailer_fields, or the head's trailer header) are sent; for other\n"
     "bodies it is the same as serialize_end."},
    {"body_is_eof", as_cfunction(catching<body_is_eof>), METH_NOARGS,
     "body_is_eof($self)\n--\n\n"
     "Whether no body (or no more of it) is to be sent.\n"
     "\n"
     "True after a head without body, after a body of known length is\n"
     "complete, and after serialize_end or serialize_trailers."},
    {"receive_head", as_cfunction(catching<receive<kReceiveHead, &http1::Codec::receive_head, new_response_head,
                                                    http1::kResponseErrorPrefix>>),
     METH_FASTCALL | METH_KEYWORDS,
     "receive_head($self, data)\n--\n\n"
     "Append data and parse a response head; None while incomplete.\n"
     "\n"
     "Client role: call it with every read until it returns an\n"
     "H1ResponseHead, then read the body with take_body() and an\n"
     "H1BodyDecoder. Informational (1xx) heads other than 101 are consumed\n"
     "silently. A malformed head raises\n"
     "ValueError(\"malformed HTTP/1 response: ...\"); close the connection."},
    {"receive_request_head",
     as_cfunction(catching<receive<kReceiveRequestHead, &http1::Codec::receive_request_head, new_request_head,
                                   http1::kRequestErrorPrefix>>),
     METH_FASTCALL | METH_KEYWORDS,
     "receive_request_head($self, data)\n--\n\n"
     "Append data and parse a request head; None while incomplete.\n"
     "\n"
     "Server role: call it with every read until it returns an\n"
     "H1RequestHead, then read the body with take_body() and an\n"
     "H1BodyDecoder; the next request's bytes come back from the decoder's\n"
     "take_buffered(). A malformed head raises\n"
     "ValueError(\"malformed HTTP/1 request: ...\"); answer 400 and close."},
    {"serialize_response", as_cfunction(catching<serialize_response>), METH_FASTCALL | METH_KEYWORDS,
     "serialize_response($self, status, headers=None, *, keep_alive=True, http10=False, content_length=None, "
     "chunked=False)\n--\n\n"
     "The bytes of a response head to the request received last.\n"
     "\n"
     "Server role. The body that follows is framed by content_length or\n"
     "chunked (chunked wins; where chunked is not allowed, as on HTTP/1.0,\n"
     "the body runs to the connection's close); with neither, the head says\n"
     "content-length: 0. An answer to HEAD, a 2xx answer to CONNECT, 204 and\n"
     "304 carry no body. keep_alive does not change the bytes: put connection: close\n"
     "in headers for an answer after which the connection closes. A 1xx\n"
     "status other than 101 raises ValueError: write\n"
     "\"HTTP/1.1 100 Continue\" yourself when expect_continue asks."},
    {"take_body", as_cfunction(catching<take_body>), METH_NOARGS,
     "take_body($self)\n--\n\n"
     "Remove and return everything in the receive buffer.\n"
     "\n"
     "Call it after a head: the body bytes that came with it, to feed to an\n"
     "H1BodyDecoder."},
    {"buffered", as_cfunction(catching<buffered>), METH_NOARGS,
     "buffered($self)\n--\n\n"
     "The number of bytes in the receive buffer: an incomplete head, or body\n"
     "bytes not taken yet."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("H1Codec()\n--\n\nA synchronous HTTP/1 client codec.\n"
                                  "\n"
                                  "The same object serves the server role: one HTTP/1 connection without\n"
                                  "I/O. Heads and body chunks to send come back as bytes; received bytes\n"
                                  "go to receive_head (client) or receive_request_head (server), and the\n"
                                  "body bytes after a head are taken with take_body for an H1BodyDecoder.\n"
                                  "Protocol failures raise ValueError with a prefix naming what failed.")},
    {Py_tp_new, as_slot(catching<new_codec>)},
    {Py_tp_dealloc, as_slot(box_dealloc<Payload>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.H1Codec", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

PyObject* h1_codec_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

}  // namespace vintrel::py
