#include "src/py/results.h"

#include <cstring>

namespace vintrel::py {

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

}  // namespace vintrel::py
