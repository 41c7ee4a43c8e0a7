#include "src/py/errors.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "src/py/guard.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

// The exception classes, in the order of ErrorClass: each row's base comes
// before it, so a class is created after its base.
struct ErrorSpec {
  ErrorClass which;
  const char* qualname;
  std::optional<ErrorClass> base;  // none: Exception
  const char* doc;
};

constexpr ErrorSpec kErrors[] = {
    {ErrorClass::Vintrel, "_vintrel.VintrelError", std::nullopt,
     "Base class for every vintrel error (HTTP/1 and HTTP/2)."},
    {ErrorClass::ConnectionClosed, "_vintrel.ConnectionClosedError", ErrorClass::Vintrel,
     "The transport closed (EOF/reset/IO error) with work still in flight \xe2\x80\x94 a "
     "transport failure, not a protocol violation (so no GOAWAY). Protocol-neutral: raised "
     "on both HTTP/1 and HTTP/2, hence it sits under VintrelError, not H2Error."},
    {ErrorClass::H2, "_vintrel.H2Error", ErrorClass::Vintrel, "Base class for every vintrel HTTP/2 protocol error."},
    {ErrorClass::H2Protocol, "_vintrel.H2ProtocolError", ErrorClass::H2,
     "Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message)."},
    {ErrorClass::H2Stream, "_vintrel.H2StreamError", ErrorClass::H2,
     "Stream-level protocol violation (-> RST_STREAM, connection survives). "
     "args = (stream_id: int, reason: int, initiator: str)."},
    {ErrorClass::H2User, "_vintrel.H2UserError", ErrorClass::H2,
     "Local API misuse (the caller broke a rule of the API). args = (kind: str, message: str)."},
    {ErrorClass::H2FlowControl, "_vintrel.H2FlowControlError", ErrorClass::H2,
     "Flow-control window over/underflow. args = (reason: int,)."},
};
constexpr size_t kErrorCount = std::size(kErrors);

constexpr bool rows_in_order() {
  for (size_t i = 0; i < kErrorCount; ++i) {
    if (static_cast<size_t>(kErrors[i].which) != i) return false;
    if (kErrors[i].base && static_cast<size_t>(*kErrors[i].base) >= i) return false;
  }
  return true;
}
static_assert(rows_in_order(), "one row per ErrorClass, in its order, each after its base");
static_assert(static_cast<size_t>(ErrorClass::H2FlowControl) + 1 == kErrorCount, "a row for every class");

template <size_t I>
PyObject* create_error() {
  constexpr ErrorSpec spec = kErrors[I];
  PyObject* base = spec.base ? error_class(*spec.base) : PyExc_Exception;
  if (base == nullptr) return nullptr;
  return PyErr_NewExceptionWithDoc(spec.qualname, spec.doc, base, nullptr);
}

template <size_t... I>
constexpr std::array<OnceSlot::Create, sizeof...(I)> error_creators(std::index_sequence<I...>) {
  return {create_error<I>...};
}

}  // namespace

PyObject* error_class(ErrorClass which) {
  static constexpr auto kCreate = error_creators(std::make_index_sequence<kErrorCount>());
  static OnceSlot slots[kErrorCount];
  const auto i = static_cast<size_t>(which);
  return slots[i].get(kCreate[i]);
}

PyObject* h2_reason_enum() {
  static OnceSlot slot;
  return slot.get([]() -> PyObject* {
    PyObject* members = PyDict_New();
    if (members == nullptr) return nullptr;
    for (uint32_t code = 0; code < h2::reason::kNamedCount; ++code) {
      PyObject* value = PyLong_FromUnsignedLong(code);
      const std::string name(h2::reason_name(code));
      if (value == nullptr || PyDict_SetItemString(members, name.c_str(), value) < 0) {
        Py_XDECREF(value);
        Py_DECREF(members);
        return nullptr;
      }
      Py_DECREF(value);
    }
    PyObject* result = nullptr;
    PyObject* module = PyImport_ImportModule("enum");
    if (module != nullptr) {
      PyObject* int_enum = PyObject_GetAttrString(module, "IntEnum");
      if (int_enum != nullptr) {
        result = PyObject_CallFunction(int_enum, "sO", "H2Reason", members);
        Py_DECREF(int_enum);
      }
      Py_DECREF(module);
    }
    Py_DECREF(members);
    if (result != nullptr) {
      PyObject* module_name = PyUnicode_FromString("vintrel._vintrel");
      if (module_name == nullptr || PyObject_SetAttrString(result, "__module__", module_name) < 0) {
        Py_CLEAR(result);
      }
      Py_XDECREF(module_name);
    }
    return result;
  });
}

// ---------------------------------------------------------------- raising

namespace {

// Raises `cls(*args)` where args is built by Py_BuildValue(format, ...).
template <class... A>
PyObject* raise_with(PyObject* cls, const char* format, A... values) {
  assert_unlocked("raising");
  if (cls == nullptr) return nullptr;
  PyObject* args = Py_BuildValue(format, values...);
  if (args == nullptr) return nullptr;
  PyErr_SetObject(cls, args);
  Py_DECREF(args);
  return nullptr;
}

Py_ssize_t ssize(std::string_view s) { return static_cast<Py_ssize_t>(s.size()); }

}  // namespace

PyObject* raise_h2_error(const h2::Error& error) {
  if (const auto* reset = std::get_if<h2::StreamReset>(&error)) {
    const std::string_view who = h2::initiator_text(reset->initiator);
    return raise_with(error_class(ErrorClass::H2Stream), "(kks#)", static_cast<unsigned long>(reset->stream_id),
                      static_cast<unsigned long>(reset->reason), who.data(), ssize(who));
  }
  if (const auto* away = std::get_if<h2::GoAway>(&error)) {
    const std::string_view text = h2::reason_description(away->reason);
    return raise_with(error_class(ErrorClass::H2Protocol), "(ks#)", static_cast<unsigned long>(away->reason),
                      text.data(), ssize(text));
  }
  const auto& io = std::get<h2::IoError>(error);
  return raise_with(error_class(ErrorClass::ConnectionClosed), "(s#)", io.text.data(), ssize(io.text));
}

PyObject* raise_user_error(h2::UserErrorKind kind, std::string_view message) {
  const std::string_view name = h2::user_error_kind(kind);
  if (message.empty()) message = h2::user_error_message(kind);
  return raise_with(error_class(ErrorClass::H2User), "(s#s#)", name.data(), ssize(name), message.data(),
                    ssize(message));
}

PyObject* raise_flow_control_error() {
  return raise_with(error_class(ErrorClass::H2FlowControl), "(k)",
                    static_cast<unsigned long>(h2::reason::kFlowControlError));
}

PyObject* raise_protocol_error(std::optional<uint32_t> reason, std::string_view message) {
  if (reason) {
    return raise_with(error_class(ErrorClass::H2Protocol), "(ks#)", static_cast<unsigned long>(*reason),
                      message.data(), ssize(message));
  }
  return raise_with(error_class(ErrorClass::H2Protocol), "(Os#)", Py_None, message.data(), ssize(message));
}

PyObject* raise_value_error(std::string_view message) {
  assert_unlocked("raising");
  PyObject* text = str_from(message);
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_value_error(std::string_view prefix, std::string_view detail) {
  std::string text(prefix);
  text += ": ";
  text += detail;
  return raise_value_error(text);
}

PyObject* raise_failure(const h2::Failure& failure) {
  assert_unlocked("raising");
  struct Visit {
    PyObject* operator()(const h2::Error& e) const { return raise_h2_error(e); }
    PyObject* operator()(const h2::UserError& e) const {
      return raise_user_error(e.kind, e.message);
    }
    PyObject* operator()(const h2::FlowControlError&) const { return raise_flow_control_error(); }
    PyObject* operator()(const h2::ProtocolError& e) const {
      return raise_protocol_error(e.reason, e.message);
    }
    PyObject* operator()(const h2::InvalidValue& e) const { return raise_value_error(e.message); }
    PyObject* operator()(const h2::InvalidState& e) const {
      PyObject* text = str_from(e.message);
      if (text != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, text);
        Py_DECREF(text);
      }
      return nullptr;
    }
  };
  return std::visit(Visit{}, failure);
}

}  // namespace vintrel::py
