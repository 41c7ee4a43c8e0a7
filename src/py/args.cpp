#include "src/py/args.h"

#include "src/py/guard.h"

namespace vintrel::py {

// ---------------------------------------------------------------- extraction

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

}  // namespace vintrel::py
