// _vintrel_probe: a test-only module (development builds only, never
// installed) that exercises the binding helpers the codecs will use before
// any public class needs them: the event template, the repr builder, bytes
// built in place, interned texts, the conversions, the entry guard and the
// lock checks (always on here).
#include <new>
#include <stdexcept>
#include <vector>

#include "src/py/args.h"
#include "src/py/event_class.h"
#include "src/py/guard.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/repr.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

constexpr std::array<std::string_view, 4> kKinds{"empty", "length", "chunked", "close"};

struct ProbeEvent {
  uint32_t stream_id;
  bool end_stream;
  std::optional<uint16_t> status;
  Choice<kKinds> body_kind;
  OwnedRef data;
  std::string text;
  int64_t delta;
};

PyObject* probe_event_type();

PyObject* event_repr(PyObject* self) {
  const auto& e = payload_of<ProbeEvent>(self);
  return repr_from(Repr("Probe")
                       .integer("stream_id", e.stream_id)
                       .flag("end_stream", e.end_stream)
                       .optional("status", e.status)
                       .text("body_kind", kKinds[e.body_kind.index])
                       .text("text", e.text)
                       .integer("len", PyBytes_GET_SIZE(e.data.get())));
}

PyGetSetDef kGetSet[] = {
    event_field<&ProbeEvent::stream_id>("stream_id", "u32"),
    event_field<&ProbeEvent::end_stream>("end_stream", "flag"),
    event_field<&ProbeEvent::status>("status", "optional u16"),
    event_field<&ProbeEvent::body_kind>("body_kind", "choice"),
    event_field<&ProbeEvent::data>("data", "bytes"),
    event_field<&ProbeEvent::text>("text", "str"),
    event_field<&ProbeEvent::delta>("delta", "i64"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A probe event.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(box_dealloc<ProbeEvent>)},
    {Py_tp_repr, as_slot(catching<event_repr>)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = event_spec<ProbeEvent>("_vintrel_probe.ProbeEvent", kSlots);

PyObject* probe_event_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

constexpr Params<6> kMake{"make_event", {"stream_id", "end_stream", "status", "body_kind", "data", "text"}, 2, 3};

PyObject* make_event(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[6];
  if (!parse_args(kMake, args, nargs, kwnames, arg)) return nullptr;
  ProbeEvent e{0, false, std::nullopt, {0}, {}, {}, -1};
  int kind = 0;
  std::string_view kind_text, data = "", text = "";
  if (!unsigned_arg(arg[0], &e.stream_id) || !bool_arg(arg[1], "end_stream", &e.end_stream) ||
      !optional_unsigned_arg(arg[2], &e.status) ||
      (arg[3] && !choice_arg(arg[3], "body_kind", kKinds, &kind, &kind_text)) ||
      (arg[4] && !wire_bytes(arg[4], "data", &data)) || (arg[5] && !text_arg(arg[5], "text", &text))) {
    return nullptr;
  }
  if (kind < 0) {
    PyErr_Format(PyExc_ValueError, "unknown body kind %s", std::string(kind_text).c_str());
    return nullptr;
  }
  e.body_kind.index = static_cast<uint8_t>(kind);
  PyObject* copy = new_bytes(data.size(), [&](char* out) { std::copy(data.begin(), data.end(), out); });
  if (copy == nullptr) return nullptr;
  e.data = OwnedRef(copy);
  e.text = std::string(text);
  return new_event(probe_event_type(), std::move(e));
}

constexpr Params<1> kNames{"names", {"names"}, 1};

// The items of a sequence of str, joined by "|".
PyObject* names(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  TextList list;
  if (!parse_args(kNames, args, nargs, kwnames, arg) || !text_list_arg(arg[0], "names", &list)) return nullptr;
  std::string out;
  for (std::string_view v : list) {
    if (!out.empty()) out += '|';
    out += v;
  }
  return str_from(out);
}

PyObject* joined(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view a, b;
  if (nargs != 2 || !wire_bytes(args[0], "a", &a) || !wire_bytes(args[1], "b", &b)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "joined() takes two bytes");
    return nullptr;
  }
  return bytes_joined({a, b});
}

PyObject* allocate(PyObject*, PyObject* arg) {
  uint64_t n;
  if (!unsigned_arg(arg, &n)) return nullptr;
  std::vector<char> block(static_cast<size_t>(n));
  return PyLong_FromSize_t(block.size());
}

PyObject* throw_logic(PyObject*, PyObject*) { throw std::logic_error("probe"); }

// Breaks the lock rule on purpose: the lock checks abort the process.
PyObject* python_under_lock(PyObject*, PyObject*) {
  Guarded<int> state(0);
  state.with([](int&) { assert_unlocked("probing"); });
  return none();
}

PyMethodDef kMethods[] = {
    {"make_event", as_cfunction(catching<make_event>), METH_FASTCALL | METH_KEYWORDS,
     "make_event(stream_id, end_stream, status=None, body_kind=..., data=..., text=...)\n--\n\n"},
    {"names", as_cfunction(catching<names>), METH_FASTCALL | METH_KEYWORDS, "names(names)\n--\n\n"},
    {"joined", as_cfunction(catching<joined>), METH_FASTCALL, nullptr},
    {"allocate", as_cfunction(catching<allocate>), METH_O, nullptr},
    {"throw_logic", as_cfunction(catching<throw_logic>), METH_NOARGS, nullptr},
    {"python_under_lock", as_cfunction(catching<python_under_lock>), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_probe(PyObject* module) {
  PyObject* type = probe_event_type();
  return type ? PyModule_AddObjectRef(module, "ProbeEvent", type) : -1;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, as_slot(catching<exec_probe>)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_vintrel_probe", nullptr, 0, kMethods, kModuleSlots,
                       nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vintrel::py

PyMODINIT_FUNC PyInit__vintrel_probe(void) { return PyModuleDef_Init(&vintrel::py::kModule); }
