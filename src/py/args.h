// Arguments: extraction against a method's exact signature, and conversion
// of each argument (wire bytes, header parts, text, flags, unsigned
// integers of a fixed width, choices among fixed texts, lists of text).
// Every conversion happens before any lock is taken: it may run Python code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "src/py/python.h"

namespace vintrel::py {

// ---------------------------------------------------------------- extraction

// A method's parameters, in the order of its text signature. The first
// `required` must be given; only the first `positional` may be passed by
// position (the rest follow `*` and are keyword-only).
struct ParamsView {
  const char* fname;
  const char* const* names;
  int count;
  int required;
  int positional;
};

template <size_t N>
struct Params {
  const char* fname;
  std::array<const char*, N> names;
  int required;
  int positional = static_cast<int>(N);
  ParamsView view() const { return {fname, names.data(), static_cast<int>(N), required, positional}; }
};

// Fills out[0..count) with borrowed references, nullptr for an omitted
// argument. Raises the interpreter's usual TypeError on a missing, surplus,
// unknown or duplicated argument.
bool parse_fastcall(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for a constructor's (args tuple, kwargs dict).
bool parse_tuple(const ParamsView& params, PyObject* args, PyObject* kwargs, PyObject** out);

template <size_t N>
bool parse_args(const Params<N>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject* (&out)[N]) {
  if (kwnames == nullptr && nargs >= p.required && nargs <= p.positional) {
    const auto given = static_cast<size_t>(nargs);
    for (size_t i = 0; i < given; ++i) out[i] = args[i];
    for (size_t i = given; i < N; ++i) out[i] = nullptr;
    return true;
  }
  return parse_fastcall(p.view(), args, nargs, kwnames, out);
}

template <size_t N>
bool parse_args(const Params<N>& p, PyObject* args, PyObject* kwargs, PyObject* (&out)[N]) {
  return parse_tuple(p.view(), args, kwargs, out);
}

// Refuses any argument to a constructor without parameters.
bool no_constructor_args(const char* cls, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------- conversion

// An argument that is absent or None.
inline bool is_none(PyObject* arg) { return arg == nullptr || arg == Py_None; }

// Wire input: bytes or a subclass; anything else is a TypeError naming the
// argument. The view lives as long as `obj`.
bool wire_bytes(PyObject* obj, const char* argname, std::string_view* out);

// A header name or value given as str (taken as its UTF-8 encoding) or
// bytes. The view lives as long as `obj`.
enum class HeaderPart { Name, Value };
bool header_part(PyObject* obj, HeaderPart part, std::string_view* out);

// Text argument (str only); the view is the UTF-8 form and lives as long as
// `obj`.
bool text_arg(PyObject* obj, const char* argname, std::string_view* out);

// A flag: True or False only.
bool bool_arg(PyObject* obj, const char* argname, bool* out);

// An integer through the index protocol, in 0..2^64-1.
bool index_u64(PyObject* obj, uint64_t* out);

// An unsigned integer of a fixed width (8, 16, 32 or 64 bits). A value that
// the interpreter converts but that exceeds the width is an OverflowError
// reading "out of range integral type conversion attempted".
template <class U>
bool unsigned_arg(PyObject* obj, U* out) {
  static_assert(std::numeric_limits<U>::is_integer && !std::numeric_limits<U>::is_signed);
  uint64_t v;
  if (!index_u64(obj, &v)) return false;
  if (v > std::numeric_limits<U>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<U>(v);
  return true;
}

// The same, or None (or an omitted argument) for no value.
template <class U>
bool optional_unsigned_arg(PyObject* obj, std::optional<U>* out) {
  if (is_none(obj)) {
    *out = std::nullopt;
    return true;
  }
  U v;
  if (!unsigned_arg(obj, &v)) return false;
  *out = v;
  return true;
}

// One of a fixed set of texts: `obj` must be a str (else the TypeError of
// text_arg). *index is its position in `choices`, or -1 when it matches
// none exactly (case matters), leaving the ValueError and its wording to
// the caller, which finds the given text in *text.
template <size_t N>
bool choice_arg(PyObject* obj, const char* argname, const std::array<std::string_view, N>& choices,
                int* index, std::string_view* text) {
  if (!text_arg(obj, argname, text)) return false;
  *index = -1;
  for (size_t i = 0; i < N; ++i) {
    if (choices[i] == *text) {
      *index = static_cast<int>(i);
      break;
    }
  }
  return true;
}

// A sequence of str given as one argument: a list, a tuple or any other
// iterable, read once into a private tuple, each item as its UTF-8 view. A
// bare str is refused (a string is not taken as a sequence of names), and
// so are bytes, bytearray and any item that is not a str. The views live as
// long as the TextList; destroy it after any lock is released.
class TextList {
 public:
  TextList() = default;
  TextList(const TextList&) = delete;
  TextList& operator=(const TextList&) = delete;
  ~TextList() { Py_XDECREF(items_); }

  size_t size() const noexcept { return views_.size(); }
  std::string_view operator[](size_t i) const noexcept { return views_[i]; }
  auto begin() const noexcept { return views_.begin(); }
  auto end() const noexcept { return views_.end(); }

 private:
  friend bool text_list_arg(PyObject* obj, const char* argname, TextList* out);
  PyObject* items_ = nullptr;  // the tuple that keeps the items alive
  std::vector<std::string_view> views_;
};

// TypeError "argument '<name>' must be a sequence of str, not <type>" for
// a str, bytes, bytearray or non-iterable, and "argument '<name>' must
// contain only str, not <type>" for a wrong item.
bool text_list_arg(PyObject* obj, const char* argname, TextList* out);

}  // namespace vintrel::py
