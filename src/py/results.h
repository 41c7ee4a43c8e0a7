// Results: the Python values a call returns, made once any lock is
// released (an allocation may collect garbage, and on some interpreters
// that runs finalizers, Python code): bytes and str from views, bytes
// written in place, interned fixed texts, and the str of an event repr.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "src/py/guard.h"
#include "src/py/once.h"
#include "src/py/python.h"
#include "src/py/repr.h"

namespace vintrel::py {

inline PyObject* bytes_from(std::string_view s) {
  assert_unlocked("making a result");
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* str_from(std::string_view s) {
  assert_unlocked("making a result");
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* bool_from(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* none() { return Py_NewRef(Py_None); }

// A new bytes object of `size` bytes that fill(char* out) writes in place:
// allocated once, each payload byte copied once, no intermediate string.
// Call it once the lock is released, on data moved or copied out under it.
template <class Fill>
PyObject* new_bytes(size_t size, Fill&& fill) {
  assert_unlocked("making a result");
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (out == nullptr) return nullptr;
  std::forward<Fill>(fill)(PyBytes_AS_STRING(out));
  return out;
}

// The pieces one after another in one new bytes object (a frame header and
// its payload, a chunk-size line and its data).
PyObject* bytes_joined(std::initializer_list<std::string_view> pieces);

// A fixed set of texts (body kinds, roles) as interned str objects, made
// once per process: interned<kTexts>(i) is a new reference to the i-th,
// the same object on every call. kTexts is a constexpr
// std::array<std::string_view, N>.
PyObject* make_interned_tuple(const std::string_view* texts, size_t count);

template <const auto& Texts>
PyObject* interned(size_t i) {
  static OnceSlot slot;
  PyObject* all = slot.get([] { return make_interned_tuple(Texts.data(), Texts.size()); });
  return all ? Py_NewRef(PyTuple_GET_ITEM(all, static_cast<Py_ssize_t>(i))) : nullptr;
}

// The str of a finished event repr (Repr: integers, true/false,
// Some(v)/None, quoted text). Always valid UTF-8: the quoting escapes every
// byte that is not.
inline PyObject* repr_from(Repr& repr) { return str_from(repr.finish()); }

}  // namespace vintrel::py
