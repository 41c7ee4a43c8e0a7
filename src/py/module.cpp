// The extension module `_vintrel`: multi-phase initialisation and the
// export table. Every attribute is added in the table's order and named in
// `__all__` in that same order.
#include "core/util/version.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {

PyObject* version_object() {
  static OnceSlot slot;
  return slot.get([] { return str_from(python_version(kPackageVersion)); });
}

namespace {

struct Export {
  const char* name;
  PyObject* (*get)();
};

// The module's public names, in their fixed order.
constexpr Export kExports[] = {
    {"__version__", version_object},
    {"VintrelError", error_class<ErrorClass::Vintrel>},
    {"ConnectionClosedError", error_class<ErrorClass::ConnectionClosed>},
    {"HeaderMap", header_map_type},
    {"H2Codec", h2_codec_type},
    {"H2FrameHeaders", h2_frame_headers_type},
    {"H2FrameData", h2_frame_data_type},
    {"H2FrameSettings", h2_frame_settings_type},
    {"H2FrameWindowUpdate", h2_frame_window_update_type},
    {"H2FramePing", h2_frame_ping_type},
    {"H2FrameGoAway", h2_frame_go_away_type},
    {"H2FrameRstStream", h2_frame_rst_stream_type},
    {"H2FramePriority", h2_frame_priority_type},
    {"H2FrameStreamError", h2_frame_stream_error_type},
    {"H2StreamState", stream_state_type},
    {"H2FlowControl", flow_control_type},
    {"H2Error", error_class<ErrorClass::H2>},
    {"H2ProtocolError", error_class<ErrorClass::H2Protocol>},
    {"H2StreamError", error_class<ErrorClass::H2Stream>},
    {"H2UserError", error_class<ErrorClass::H2User>},
    {"H2FlowControlError", error_class<ErrorClass::H2FlowControl>},
    {"H2Reason", h2_reason_enum},
    {"H1Codec", h1_codec_type},
    {"H1ResponseHead", h1_response_head_type},
    {"H1RequestHead", h1_request_head_type},
    {"H1BodyDecoder", body_decoder_type},
    {"ProxyMatcher", proxy_matcher_type},
    {"ProxyIntercept", proxy_intercept_type},
};

// The classes, exceptions and H2Reason live in process-wide slots, so they
// belong to the interpreter that made them: one interpreter of the process
// may use the module, the main one. Another interpreter would either share
// objects it does not own or, importing first, leave behind objects its
// own destruction frees.
bool refuse_other_interpreters() {
#if defined(PYPY_VERSION)
  return false;  // one interpreter per process
#else
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return false;
  PyErr_SetString(PyExc_ImportError,
                  "vintrel._vintrel does not support sub-interpreters; import it in the main interpreter");
  return true;
#endif
}

int exec_module(PyObject* module) {
  if (refuse_other_interpreters()) return -1;
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  for (const Export& e : kExports) {
    PyObject* value = e.get();
    PyObject* name = value ? PyUnicode_FromString(e.name) : nullptr;
    const bool ok = name != nullptr && PyModule_AddObjectRef(module, e.name, value) == 0 &&
                    PyList_Append(all, name) == 0;
    Py_XDECREF(name);
    if (!ok) {
      Py_DECREF(all);
      return -1;
    }
  }
  const int rc = PyModule_AddObjectRef(module, "__all__", all);
  Py_DECREF(all);
  return rc;
}

PyModuleDef_Slot kSlots[] = {
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {Py_mod_exec, as_slot(catching<exec_module>)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_vintrel",
    "HTTP/1.1 and HTTP/2 protocol logic without I/O: header map, HTTP/1 codec, HTTP/2 frame "
    "codec with HPACK, stream state, flow control and proxy selection.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vintrel::py

PyMODINIT_FUNC PyInit__vintrel(void) { return PyModuleDef_Init(&vintrel::py::kModule); }
