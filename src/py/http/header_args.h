// What the codecs need of HeaderMap: header name and value arguments, a
// `headers` / `trailers` argument read under its map's lock, and new maps
// for received headers.
#pragma once

#include "core/http/header_field.h"
#include "core/http/header_map.h"
#include "src/py/http/header_map.h"
#include "src/py/objects.h"
#include "src/py/python.h"

namespace vintrel::py {

// A header name argument: str (its UTF-8 form) or bytes, validated and
// folded to lowercase (into `scratch` unless already lowercase). `reuse` is
// the argument itself when it is exactly the stored form (an exact str,
// already lowercase), so a map can keep it instead of making its own.
// Raises TypeError / UnicodeEncodeError / ValueError("invalid header name").
// The name views `obj` or `scratch` and lives as long as both.
struct NameArg {
  http::HeaderName name;
  PyObject* reuse = nullptr;  // borrowed
  http::NameScratch scratch;
};
bool name_arg(PyObject* obj, NameArg& out);

// A header value argument: str (its UTF-8 form) or bytes, validated.
// `reuse` is the argument itself when it is an exact bytes object. Raises
// TypeError / UnicodeEncodeError / ValueError("invalid header value").
struct ValueArg {
  http::HeaderValue value = http::HeaderValue::trusted({});
  PyObject* reuse = nullptr;  // borrowed
};
bool value_arg(PyObject* obj, ValueArg& out);

// TypeError naming `argname` unless `obj` is a HeaderMap (or None when
// `allow_none`).
bool check_headers_arg(PyObject* obj, const char* argname, bool allow_none);

// A `headers` or `trailers` argument: a HeaderMap, or None (absent) when
// `allow_none`; anything else raises TypeError naming `argname`. `out`
// receives a copy of the map's contents taken under the map's lock (left
// empty for None).
bool headers_arg(PyObject* obj, const char* argname, bool allow_none, http::HeaderMap* out);

// The locked read-only view an encoder walks without copying: runs
// `f(const http::HeaderMap&)` under the lock of the HeaderMap `obj`. `f`
// must not call into Python. TypeError naming `argname` when `obj` is not
// a HeaderMap.
template <class F>
bool with_headers(PyObject* obj, const char* argname, F&& f) {
  if (!check_headers_arg(obj, argname, false)) return false;
  locked<HeaderMapState>(obj, [&](HeaderMapState& s) { f(static_cast<const http::HeaderMap&>(s.map)); });
  return true;
}

// A new HeaderMap object that takes over `map` (headers received by a
// codec), or nullptr with an exception set. The map must hold no handles.
PyObject* new_header_map(http::HeaderMap&& map);

}  // namespace vintrel::py
