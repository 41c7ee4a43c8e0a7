#include "src/py/http/header_args.h"

#include "src/py/errors.h"
#include "src/py/exports.h"

namespace vintrel::py {

bool name_arg(PyObject* obj, NameArg& out) {
  std::string_view raw;
  if (!header_part(obj, HeaderPart::Name, &raw)) return false;
  out.name = http::fold_header_name(raw, out.scratch);
  if (!out.name.valid()) {
    raise_value_error(http::field_error_text(http::FieldError::InvalidName));
    return false;
  }
  // The name views the argument's own characters only when folding changed
  // nothing; a str's characters are its UTF-8 form only when it is ASCII,
  // which every valid name is.
  out.reuse = (out.name.data() == raw.data() && PyUnicode_CheckExact(obj)) ? obj : nullptr;
  return true;
}

bool value_arg(PyObject* obj, ValueArg& out) {
  std::string_view raw;
  if (!header_part(obj, HeaderPart::Value, &raw)) return false;
  if (!http::is_valid_header_value(raw)) {
    raise_value_error(http::field_error_text(http::FieldError::InvalidValue));
    return false;
  }
  out.value = http::HeaderValue::trusted(raw);
  out.reuse = PyBytes_CheckExact(obj) ? obj : nullptr;
  return true;
}

bool check_headers_arg(PyObject* obj, const char* argname, bool allow_none) {
  if ((allow_none && is_none(obj)) || is_header_map(obj)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap%s, not %s", argname,
               allow_none ? " or None" : "", Py_TYPE(obj)->tp_name);
  return false;
}

bool headers_arg(PyObject* obj, const char* argname, bool allow_none, http::HeaderMap* out) {
  if (!check_headers_arg(obj, argname, allow_none)) return false;
  if (is_none(obj)) {
    out->clear();
    return true;
  }
  // The copy leaves the handles behind: they stay the source's.
  locked<HeaderMapState>(obj, [&](HeaderMapState& s) { *out = s.map; });
  return true;
}

PyObject* new_header_map(http::HeaderMap&& map) {
  PyObject* type = header_map_type();
  if (type == nullptr) return nullptr;
  return new_box<HeaderMapPayload>(reinterpret_cast<PyTypeObject*>(type), std::move(map));
}

}  // namespace vintrel::py
