#include "src/py/common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vintrel::py {

// ---------------------------------------------------------------- lock rule

// What a locked callable may return: core values, never an object pointer.
static_assert(kIsPythonObject<PyObject*> && kIsPythonObject<PyObject* const&>);
static_assert(!kIsPythonObject<int> && !kIsPythonObject<std::string> && !kIsPythonObject<const char*>);

#ifdef VINTREL_LOCK_CHECKS
int& held_locks() noexcept {
  thread_local int held = 0;
  return held;
}

void fail_locked(const char* what) noexcept {
  std::fprintf(stderr, "vintrel: %s while holding an object's lock\n", what);
  std::fflush(stderr);
  std::abort();
}
#endif

// ---------------------------------------------------------------- entry guard

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "unexpected internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected internal error");
  }
}

// ---------------------------------------------------------------- once slots

PyObject* OnceSlot::slow_get(Create create) {
  assert_unlocked("creating a once-only value");
  const std::thread::id self = std::this_thread::get_id();
  if (creator_.load(std::memory_order_acquire) == self) {
    // This thread is inside create() already, re-entered through the Python
    // code create() runs; waiting would wait on itself forever.
    PyErr_SetString(PyExc_RuntimeError,
                    "re-entrant initialisation of a vintrel module object");
    return nullptr;
  }
  if (!mu_.try_lock()) {
    // Another thread is creating the object and may need the interpreter
    // lock to finish: wait without holding it.
    Py_BEGIN_ALLOW_THREADS
    mu_.lock();
    Py_END_ALLOW_THREADS
  }
  std::unique_lock<std::mutex> hold(mu_, std::adopt_lock);
  PyObject* p = value_.load(std::memory_order_acquire);
  if (p == nullptr) {
    struct Creating {
      std::atomic<std::thread::id>& creator;
      ~Creating() { creator.store(std::thread::id{}, std::memory_order_release); }
    } creating{creator_};
    creator_.store(self, std::memory_order_release);
    p = create();
    if (p != nullptr) value_.store(p, std::memory_order_release);
  }
  return p;
}

// ---------------------------------------------------------------- arguments

namespace {

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

int param_index(const ParamsView& p, PyObject* key) {
  for (int i = 0; i < p.count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) return i;
  }
  return -1;
}

bool too_many(const ParamsView& p, Py_ssize_t nargs) {
  if (p.positional == 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", p.fname);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)", p.fname,
                 p.positional, plural(p.positional), nargs);
  }
  return false;
}

bool place_keyword(const ParamsView& p, PyObject* key, PyObject* value, PyObject** out) {
  int i = param_index(p, key);
  if (i < 0) {
    if (PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, p.fname);
    } else {
      PyErr_Format(PyExc_TypeError, "keywords must be strings");
    }
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)",
                 p.fname, p.names[i], i + 1);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_required(const ParamsView& p, PyObject** out) {
  for (int i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.fname,
                   p.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_fastcall(const ParamsView& p, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  if (nargs > p.positional) return too_many(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(p, out);
}

bool parse_tuple(const ParamsView& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > p.positional) return too_many(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(p, key, value, out)) return false;
    }
  }
  return check_required(p, out);
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

bool no_constructor_args(const char* cls, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_GET_SIZE(args) != 0) || (kwargs && PyDict_Size(kwargs) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", cls);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- conversion

bool text_list_arg(PyObject* obj, const char* argname, TextList* out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a sequence of str, not %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  assert_unlocked("iterating an argument");
  PyObject* items;
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    items = PySequence_Tuple(obj);
  } else {
    // Only a failure to iterate at all is reported as the wrong type; an
    // error raised while iterating propagates as it is.
    PyObject* iter = PyObject_GetIter(obj);
    if (iter == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a sequence of str, not %s", argname,
                     Py_TYPE(obj)->tp_name);
      }
      return false;
    }
    items = PySequence_Tuple(iter);
    Py_DECREF(iter);
  }
  if (items == nullptr) return false;
  Py_XDECREF(out->items_);
  out->items_ = items;
  out->views_.clear();
  const Py_ssize_t n = PyTuple_GET_SIZE(items);
  out->views_.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items, i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must contain only str, not %s", argname,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    std::string_view view;
    if (!text_arg(item, argname, &view)) return false;
    out->views_.push_back(view);
  }
  return true;
}

bool wire_bytes(PyObject* obj, const char* argname, std::string_view* out) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bytes, not %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

namespace {

// The UTF-8 form of a str: an ASCII string is its own UTF-8, read in place
// without a call; any other goes through the interpreter, which caches the
// encoding in the object and raises on lone surrogates.
bool utf8_view(PyObject* obj, std::string_view* out) {
#if !defined(PYPY_VERSION)
#if PY_VERSION_HEX < 0x030C0000
  const bool ascii = PyUnicode_IS_READY(obj) && PyUnicode_IS_ASCII(obj);
#else
  const bool ascii = PyUnicode_IS_ASCII(obj);  // every str is ready from 3.12 on
#endif
  if (ascii) {
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
#endif
  assert_unlocked("encoding a str");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) return false;
  *out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

}  // namespace

bool header_part(PyObject* obj, HeaderPart part, std::string_view* out) {
  if (PyUnicode_Check(obj)) return utf8_view(obj, out);
  if (PyBytes_Check(obj)) {
    *out = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, part == HeaderPart::Name ? "header name must be str or bytes"
                                                            : "header value must be str or bytes");
  return false;
}

bool text_arg(PyObject* obj, const char* argname, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  return utf8_view(obj, out);
}

bool bool_arg(PyObject* obj, const char* argname, bool* out) {
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = obj == Py_True;
  return true;
}

bool index_u64(PyObject* obj, uint64_t* out) {
  assert_unlocked("converting an integer");  // __index__ may run Python code
  PyObject* index = PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
  if (index == nullptr) return false;
  // OverflowError for negative values and values above 2^64-1.
  unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// ---------------------------------------------------------------- results

PyObject* bytes_joined(std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  return new_bytes(size, [&](char* out) {
    for (std::string_view p : pieces) {
      if (!p.empty()) std::memcpy(out, p.data(), p.size());
      out += p.size();
    }
  });
}

Loans::Lent Loans::lend(std::string_view view) {
  if (view.empty()) return {};
  loans_.push_back(Loan{++next_, view, {}, false});
  return {next_, view.size()};
}

void Loans::settle() {
  for (Loan& loan : loans_) {
    if (loan.settled) continue;
    loan.owned.assign(loan.view);
    loan.settled = true;
  }
}

void Loans::repay(uint64_t ticket, char* out) noexcept {
  for (size_t i = 0; i < loans_.size(); ++i) {
    if (loans_[i].ticket != ticket) continue;
    const std::string_view bytes = loans_[i].bytes();
    if (out != nullptr) std::memcpy(out, bytes.data(), bytes.size());
    if (i + 1 != loans_.size()) loans_[i] = std::move(loans_.back());
    loans_.pop_back();
    return;
  }
}

PyObject* make_interned_tuple(const std::string_view* texts, size_t count) {
  PyObject* all = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (all == nullptr) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* text = str_from(texts[i]);
    if (text == nullptr) {
      Py_DECREF(all);
      return nullptr;
    }
    PyUnicode_InternInPlace(&text);
    PyTuple_SET_ITEM(all, static_cast<Py_ssize_t>(i), text);
  }
  return all;
}

PyObject* make_type(PyType_Spec* spec) { return PyType_FromSpec(spec); }

}  // namespace vintrel::py
