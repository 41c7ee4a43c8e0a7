// H1BodyDecoder: one HTTP/1 message body, a thin shell over
// http1::BodyDecoder behind the object's own lock. Decoded data and the
// buffered bytes are lent out of the decoder's buffer and copied once, into
// the result.
#include "core/http1/body_decoder.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/http/header_args.h"
#include "src/py/loans.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

struct DecoderState {
  explicit DecoderState(http1::BodyKind kind, uint64_t length) : decoder(kind, length) {}
  http1::BodyDecoder decoder;
  Loans loans;
};

using Payload = Guarded<DecoderState>;

constexpr Params<2> kNew{"H1BodyDecoder", {"kind", "length"}, 1};

PyObject* new_decoder(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[2];
  std::string_view kind;
  uint64_t length = 0;
  if (!parse_args(kNew, args, kwargs, arg) || !text_arg(arg[0], "kind", &kind)) return nullptr;
  if (arg[1] != nullptr && !unsigned_arg(arg[1], &length)) return nullptr;
  return new_box<Payload>(type, http1::parse_body_kind(kind), length);
}

constexpr Params<1> kFeed{"feed", {"data"}, 1};

PyObject* feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  std::string_view data;
  if (!parse_args(kFeed, args, nargs, kwnames, arg) || !wire_bytes(arg[0], "data", &data)) return nullptr;
  locked<DecoderState>(self, [data](DecoderState& s) {
    s.loans.settle();  // feeding may move the bytes lent out
    s.decoder.feed(data);
  });
  return none();
}

PyObject* mark_eof(PyObject* self, PyObject*) {
  locked<DecoderState>(self, [](DecoderState& s) { s.decoder.mark_eof(); });
  return none();
}

PyObject* decode(PyObject* self, PyObject*) {
  struct Outcome {
    std::optional<http1::BodyError> error;
    std::optional<Loans::Lent> data;
  };
  Outcome out = locked<DecoderState>(self, [](DecoderState& s) {
    auto step = s.decoder.decode();
    if (!step.ok()) return Outcome{step.error(), std::nullopt};
    if (!*step) return Outcome{};
    return Outcome{std::nullopt, s.loans.lend(**step)};
  });
  if (out.error) return raise_value_error(http1::kBodyErrorPrefix, out.error->text());
  if (!out.data) return none();
  return bytes_from_loan<DecoderState>(self, *out.data);
}

PyObject* is_complete(PyObject* self, void*) {
  return bool_from(locked<DecoderState>(self, [](DecoderState& s) { return s.decoder.is_complete(); }));
}

PyObject* take_buffered(PyObject* self, PyObject*) {
  const Loans::Lent lent = locked<DecoderState>(self, [](DecoderState& s) {
    const Loans::Lent out = s.loans.lend(s.decoder.buffered());
    s.decoder.clear_buffered();
    return out;
  });
  return bytes_from_loan<DecoderState>(self, lent);
}

PyObject* take_trailers(PyObject* self, PyObject*) {
  auto trailers = locked<DecoderState>(self, [](DecoderState& s) { return s.decoder.take_trailers(); });
  return trailers ? new_header_map(std::move(*trailers)) : none();
}

PyMethodDef kMethods[] = {
    {"feed", as_cfunction(catching<feed>), METH_FASTCALL | METH_KEYWORDS,
     "feed($self, data)\n--\n\n"
     "Append data to the read buffer, also after the body ended.\n"
     "\n"
     "Feed it the bytes take_body() returned after the head, then every\n"
     "later read, calling decode() after each feed. Bytes past the body's\n"
     "end stay buffered for take_buffered()."},
    {"mark_eof", as_cfunction(catching<mark_eof>), METH_NOARGS,
     "mark_eof($self)\n--\n\n"
     "Report that the transport closed.\n"
     "\n"
     "Call it when a read returns no bytes. Once the buffered bytes are\n"
     "decoded, a close-delimited body ends and any other unfinished body\n"
     "fails."},
    {"decode", as_cfunction(catching<decode>), METH_NOARGS,
     "decode($self)\n--\n\n"
     "The next body data (non-empty), or None when more input is needed or\n"
     "the body ended (is_complete tells which).\n"
     "\n"
     "Call it until it returns None after every feed or mark_eof. A malformed\n"
     "body raises ValueError(\"malformed HTTP/1 body: ...\"), and so does every\n"
     "later call."},
    {"take_buffered", as_cfunction(catching<take_buffered>), METH_NOARGS,
     "take_buffered($self)\n--\n\n"
     "Remove and return every byte still in the read buffer.\n"
     "\n"
     "After the body: the start of the next message on the connection (for a\n"
     "server, feed it to the next receive_request_head)."},
    {"take_trailers", as_cfunction(catching<take_trailers>), METH_NOARGS,
     "take_trailers($self)\n--\n\n"
     "The trailers of a completed chunked body, moved out once.\n"
     "\n"
     "A HeaderMap, or None when none were received or they were already\n"
     "taken. Call it once is_complete is True."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"is_complete", catching<is_complete>, nullptr,
     "Whether the body has ended: read it when decode() returns None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "H1BodyDecoder(kind, length=0)\n--\n\n"
                    "Decodes one HTTP/1 message body.\n"
                    "\n"
                    "kind is \"length\" (length bytes), \"chunked\" (with trailers), \"close\"\n"
                    "(until mark_eof) or \"empty\" (any other text: no body); take kind and\n"
                    "length from the parsed head's body_kind and content_length. Every\n"
                    "failure raises ValueError(\"malformed HTTP/1 body: ...\").")},
    {Py_tp_new, as_slot(catching<new_decoder>)},
    {Py_tp_dealloc, as_slot(box_dealloc<Payload>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.H1BodyDecoder", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

PyObject* body_decoder_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

}  // namespace vintrel::py
