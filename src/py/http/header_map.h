// HeaderMap, the Python shell around http::HeaderMap, and the helpers that
// the codecs use to take a `headers` / `trailers` argument and to hand back
// received headers.
#pragma once

#include "src/py/common.h"
#include "core/http/header_map.h"

namespace vintrel::py {

using HeaderMapPayload = Guarded<http::HeaderMap>;

// Whether `obj` is a HeaderMap instance.
bool is_header_map(PyObject* obj);

// A header name or value argument: str (its UTF-8 form) or bytes, then
// validated; the name is folded into `scratch` unless already lowercase.
// Raises TypeError / UnicodeEncodeError / ValueError("invalid header ...").
// The results view `obj` or `scratch` and live as long as both.
bool header_name_arg(PyObject* obj, http::NameScratch& scratch, http::HeaderName* out);
bool header_value_arg(PyObject* obj, http::HeaderValue* out);

// A `headers` or `trailers` argument: a HeaderMap, or None (absent) when
// `allow_none`; anything else raises TypeError naming `argname`. `out`
// receives a copy of the map's contents taken under the map's lock (left
// empty for None).
bool headers_arg(PyObject* obj, const char* argname, bool allow_none, http::HeaderMap* out);

// Runs `f(const http::HeaderMap&)` under the lock of the HeaderMap `obj`
// (a locked view, no copy). `f` must not call into Python. TypeError naming
// `argname` when `obj` is not a HeaderMap.
template <class F>
bool with_headers(PyObject* obj, const char* argname, F&& f) {
  if (!is_header_map(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap, not %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  payload_of<HeaderMapPayload>(obj).with([&](http::HeaderMap& m) { f(static_cast<const http::HeaderMap&>(m)); });
  return true;
}

// A new HeaderMap object that takes over `map` (headers received by a
// codec), or nullptr with an exception set.
PyObject* new_header_map(http::HeaderMap&& map);

}  // namespace vintrel::py
