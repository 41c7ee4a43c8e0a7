// H2FlowControl: one HTTP/2 flow-control window, a thin shell over
// h2::FlowControl behind the object's own lock.
#include "core/http2/streams/flow_control.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

using Payload = Guarded<h2::FlowControl>;
using h2::FlowControl;

PyObject* new_flow_control(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!no_constructor_args("H2FlowControl", args, kwargs)) return nullptr;
  return new_box<Payload>(type);
}

// Methods that take one unsigned 32-bit amount and may be refused.
template <const Params<1>& P, h2::FlowControl::Status (h2::FlowControl::*Update)(uint32_t) noexcept>
PyObject* amount_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(P, args, nargs, kwnames, arg)) return nullptr;
  uint32_t amount;
  if (!unsigned_arg(arg[0], &amount)) return nullptr;
  auto status = locked<FlowControl>(self, [amount](FlowControl& fc) { return (fc.*Update)(amount); });
  if (!status) return raise_flow_control_error();
  return none();
}

constexpr Params<1> kClaim{"claim_capacity", {"capacity"}, 1};
constexpr Params<1> kAssign{"assign_capacity", {"capacity"}, 1};
constexpr Params<1> kInc{"inc_window", {"sz"}, 1};
constexpr Params<1> kDecSend{"dec_send_window", {"sz"}, 1};
constexpr Params<1> kDecRecv{"dec_recv_window", {"sz"}, 1};
constexpr Params<1> kSend{"send_data", {"sz"}, 1};

PyObject* window_size(PyObject* self, PyObject*) {
  const uint32_t w = locked<FlowControl>(self, [](FlowControl& fc) { return fc.window_size(); });
  return PyLong_FromUnsignedLong(w);
}

PyObject* available(PyObject* self, PyObject*) {
  const int32_t a = locked<FlowControl>(self, [](FlowControl& fc) { return fc.available(); });
  return PyLong_FromLong(a);
}

PyObject* has_unavailable(PyObject* self, PyObject*) {
  return bool_from(locked<FlowControl>(self, [](FlowControl& fc) { return fc.has_unavailable(); }));
}

PyObject* unclaimed_capacity(PyObject* self, PyObject*) {
  const auto unclaimed =
      locked<FlowControl>(self, [](FlowControl& fc) { return fc.unclaimed_capacity(); });
  return unclaimed ? PyLong_FromUnsignedLong(*unclaimed) : none();
}

PyObject* flow_control_repr(PyObject* self) {
  return str_from(locked<FlowControl>(self, [](FlowControl& fc) { return fc.debug(); }));
}

#define AMOUNT_DOC(name, arg, text) name "($self, " arg ")\n--\n\n" text

PyMethodDef kMethods[] = {
    {"window_size", as_cfunction(catching<window_size>), METH_NOARGS,
     "window_size($self)\n--\n\nThe window size if positive, else 0."},
    {"available", as_cfunction(catching<available>), METH_NOARGS,
     "available($self)\n--\n\nThe capacity assigned to the window's user (may be negative)."},
    {"has_unavailable", as_cfunction(catching<has_unavailable>), METH_NOARGS,
     "has_unavailable($self)\n--\n\nWhether the window is non-negative and above available."},
    {"unclaimed_capacity", as_cfunction(catching<unclaimed_capacity>), METH_NOARGS,
     "unclaimed_capacity($self)\n--\n\nThe increment of a WINDOW_UPDATE worth sending, or None."},
    {"claim_capacity", as_cfunction(catching<amount_method<kClaim, &h2::FlowControl::claim_capacity>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("claim_capacity", "capacity", "Lower available by capacity.")},
    {"assign_capacity", as_cfunction(catching<amount_method<kAssign, &h2::FlowControl::assign_capacity>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("assign_capacity", "capacity", "Raise available by capacity.")},
    {"inc_window", as_cfunction(catching<amount_method<kInc, &h2::FlowControl::inc_window>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("inc_window", "sz", "Raise the window by sz (a WINDOW_UPDATE was received).")},
    {"dec_send_window", as_cfunction(catching<amount_method<kDecSend, &h2::FlowControl::dec_send_window>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("dec_send_window", "sz", "Lower the window by sz (the peer lowered its initial window).")},
    {"dec_recv_window", as_cfunction(catching<amount_method<kDecRecv, &h2::FlowControl::dec_recv_window>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("dec_recv_window", "sz",
                "Lower the window, then available, by sz (our lower initial window was acknowledged).")},
    {"send_data", as_cfunction(catching<amount_method<kSend, &h2::FlowControl::send_data>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("send_data", "sz", "Record sz octets of DATA sent: window and available both drop by sz.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "H2FlowControl()\n--\n\n"
                    "One HTTP/2 flow-control window: the window size as the peer knows it and the "
                    "capacity available to its user, both signed 32-bit and starting at 0. An update "
                    "that would leave the range raises H2FlowControlError.")},
    {Py_tp_new, as_slot(catching<new_flow_control>)},
    {Py_tp_dealloc, as_slot(box_dealloc<Payload>)},
    {Py_tp_repr, as_slot(catching<flow_control_repr>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.H2FlowControl", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

PyObject* flow_control_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

}  // namespace vintrel::py
