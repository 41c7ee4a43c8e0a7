// The template of event classes (head and frame events, ProxyIntercept): an
// immutable C++ struct E as the payload of Box<E>, no lock, no constructor,
// read-only properties from a field table:
//   PyGetSetDef kGetSet[] = {event_field<&E::stream_id>("stream_id", "doc"), ..., {}};
//   PyType_Slot kSlots[] = {{Py_tp_doc, ...}, {Py_tp_new, as_slot(refuse_new)},
//                           {Py_tp_dealloc, as_slot(box_dealloc<E>)},
//                           {Py_tp_getset, kGetSet}, {0, nullptr}};
//   PyType_Spec kSpec = event_spec<E>("vintrel._vintrel.Name", kSlots);
// and made with new_event(type, E{...}).
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "src/py/guard.h"
#include "src/py/objects.h"
#include "src/py/python.h"
#include "src/py/results.h"

namespace vintrel::py {

// A strong reference that an event holds (a HeaderMap, a bytes payload),
// released with the event.
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* steal) noexcept : obj_(steal) {}
  OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(obj_); }
  PyObject* get() const noexcept { return obj_; }

 private:
  PyObject* obj_ = nullptr;
};

// A value among fixed texts, stored as its position and shown to Python as
// the interned str (interned<Texts>).
template <const auto& Texts>
struct Choice {
  uint8_t index;
};

// Event fields as Python values (new references): flags as bool, integers
// as int, text as str, optional values as the value or None.
inline PyObject* to_python(bool v) { return bool_from(v); }
template <std::unsigned_integral U>
  requires(!std::same_as<U, bool>)
PyObject* to_python(U v) {
  return PyLong_FromUnsignedLongLong(v);
}
template <std::signed_integral I>
PyObject* to_python(I v) {
  return PyLong_FromLongLong(v);
}
inline PyObject* to_python(const std::string& v) { return str_from(v); }
inline PyObject* to_python(const OwnedRef& v) { return Py_NewRef(v.get()); }
template <const auto& Texts>
PyObject* to_python(Choice<Texts> v) {
  return interned<Texts>(v.index);
}
template <class T>
PyObject* to_python(const std::optional<T>& v) {
  return v ? to_python(*v) : none();
}

namespace detail {
template <class M>
struct MemberOf;
template <class C, class T>
struct MemberOf<T C::*> {
  using Class = C;
};
template <auto M>
PyObject* get_member(PyObject* self, void*) {
  using E = typename MemberOf<decltype(M)>::Class;
  return to_python(payload_of<E>(self).*M);
}
}  // namespace detail

// A read-only property of an event class, read from the payload member M.
template <auto M>
PyGetSetDef event_field(const char* name, const char* doc) {
  return {name, catching<detail::get_member<M>>, nullptr, doc, nullptr};
}

template <class E>
PyType_Spec event_spec(const char* name, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(Box<E>)), 0, kNoConstructorFlags, slots};
}

// A new event of the class `type` (nullptr with an exception set passes
// through).
template <class E>
PyObject* new_event(PyObject* type, E&& value) {
  if (type == nullptr) return nullptr;
  return new_box<std::remove_cvref_t<E>>(reinterpret_cast<PyTypeObject*>(type), std::forward<E>(value));
}

}  // namespace vintrel::py
