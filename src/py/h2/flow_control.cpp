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
     "window_size($self)\n--\n\n"
     "The window size if positive, else 0.\n"
     "\n"
     "On a send window: the most DATA that may go out now."},
    {"available", as_cfunction(catching<available>), METH_NOARGS,
     "available($self)\n--\n\n"
     "The capacity assigned to the window's user (may be negative).\n"
     "\n"
     "On a receive window: what the application has given back, counted\n"
     "against the window in unclaimed_capacity()."},
    {"has_unavailable", as_cfunction(catching<has_unavailable>), METH_NOARGS,
     "has_unavailable($self)\n--\n\n"
     "Whether the window is non-negative and above available: part of the\n"
     "window is not yet assigned to its user."},
    {"unclaimed_capacity", as_cfunction(catching<unclaimed_capacity>), METH_NOARGS,
     "unclaimed_capacity($self)\n--\n\n"
     "The increment of a WINDOW_UPDATE worth sending, or None.\n"
     "\n"
     "On a receive window, after assign_capacity: an increment once available\n"
     "exceeds the window by at least half the window (so updates are\n"
     "batched), capped at 2147483647. Send serialize_window_update with it\n"
     "and call inc_window(increment)."},
    {"claim_capacity", as_cfunction(catching<amount_method<kClaim, &h2::FlowControl::claim_capacity>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("claim_capacity", "capacity",
                "Lower available by capacity.\n"
                "\n"
                "For capacity the window's user takes back or hands elsewhere; the\n"
                "window itself does not change.")},
    {"assign_capacity", as_cfunction(catching<amount_method<kAssign, &h2::FlowControl::assign_capacity>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("assign_capacity", "capacity",
                "Raise available by capacity.\n"
                "\n"
                "On a receive window: call it with the bytes the application consumed\n"
                "(and once with the initial window), then ask unclaimed_capacity().")},
    {"inc_window", as_cfunction(catching<amount_method<kInc, &h2::FlowControl::inc_window>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("inc_window", "sz",
                "Raise the window by sz (a WINDOW_UPDATE was received).\n"
                "\n"
                "On a send window: for each H2FrameWindowUpdate, for the peer's initial\n"
                "window when the window is made, and for a raised\n"
                "SETTINGS_INITIAL_WINDOW_SIZE (by the difference). On a receive window:\n"
                "with each WINDOW_UPDATE we send, and for our initial window.")},
    {"dec_send_window", as_cfunction(catching<amount_method<kDecSend, &h2::FlowControl::dec_send_window>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("dec_send_window", "sz",
                "Lower the window by sz (the peer lowered its initial window).\n"
                "\n"
                "On every open stream's send window, by the difference, when the peer's\n"
                "SETTINGS lower SETTINGS_INITIAL_WINDOW_SIZE; the window may go\n"
                "negative.")},
    {"dec_recv_window", as_cfunction(catching<amount_method<kDecRecv, &h2::FlowControl::dec_recv_window>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("dec_recv_window", "sz",
                "Lower the window, then available, by sz.\n"
                "\n"
                "On every open stream's receive window, by the difference, once the\n"
                "peer acknowledged our lower SETTINGS_INITIAL_WINDOW_SIZE. If the second\n"
                "step fails, the window keeps its lowered value.")},
    {"send_data", as_cfunction(catching<amount_method<kSend, &h2::FlowControl::send_data>>),
     METH_FASTCALL | METH_KEYWORDS,
     AMOUNT_DOC("send_data", "sz",
                "Record sz octets of DATA sent: window and available both drop by sz.\n"
                "\n"
                "On a send window: before serialize_data, with len(data) at most\n"
                "window_size(). On a receive window: for each H2FrameData, with its\n"
                "flow_controlled_len (a refusal is a FLOW_CONTROL_ERROR). sz above\n"
                "window_size() raises H2FlowControlError.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "H2FlowControl()\n--\n\n"
                    "One HTTP/2 flow-control window.\n"
                    "\n"
                    "Two signed 32-bit counters, both starting at 0: the window size as the\n"
                    "peer knows it and the capacity available to the window's user. Amounts\n"
                    "are unsigned 32-bit; an update whose exact result leaves the signed\n"
                    "32-bit range raises H2FlowControlError(3) and changes nothing.\n"
                    "\n"
                    "A driver keeps a send window and a receive window per stream and per\n"
                    "connection. A send window starts with inc_window(the peer's initial\n"
                    "window) and is charged with send_data before each DATA frame; a\n"
                    "receive window starts with inc_window and assign_capacity of our\n"
                    "initial window, is charged with send_data(flow_controlled_len) for\n"
                    "each DATA frame received, and gets consumed bytes back with\n"
                    "assign_capacity.")},
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
