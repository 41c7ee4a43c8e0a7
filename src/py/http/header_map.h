// HeaderMap, the Python shell around http::HeaderMap, and the helpers that
// the codecs use to take a `headers` / `trailers` argument and to hand back
// received headers.
#pragma once

#include "src/py/common.h"

#include <vector>

#include "core/http/header_map.h"

namespace vintrel::py {

// What a HeaderMap object keeps behind its lock: the core map, and the
// first values already handed out as bytes, by entry index, so that reading
// a header again returns the same immutable object instead of a new copy.
// The cache owns its references; they are taken under the lock (a count
// increment runs no interpreter code) and given back only after it is
// released (see `take_stale`).
class HeaderMapState {
 public:
  HeaderMapState() = default;
  explicit HeaderMapState(http::HeaderMap contents) : map(std::move(contents)) {}
  HeaderMapState(const HeaderMapState&) = delete;
  HeaderMapState& operator=(const HeaderMapState&) = delete;
  // Runs in the object's dealloc, with the interpreter lock held.
  ~HeaderMapState();

  http::HeaderMap map;

  // A new reference to the cached first value of entry `index`, or nullptr.
  PyObject* cached(size_t index) const noexcept;
  // Caches `bytes` as the first value of entry `index` (taking a reference)
  // unless the map has changed shape since `generation` was read.
  void remember(size_t index, PyObject* bytes, uint64_t generation);
  uint64_t generation() const noexcept { return generation_; }
  // After an operation that changed a first value or moved entries: every
  // cached object becomes stale. The caller drops them with release_stale
  // once the lock is released.
  std::vector<PyObject*> take_stale() noexcept;

 private:
  std::vector<PyObject*> first_bytes_;
  uint64_t generation_ = 0;
};

// Drops references handed out by take_stale (outside the lock).
void release_stale(std::vector<PyObject*>& stale) noexcept;

using HeaderMapPayload = Guarded<HeaderMapState>;

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
  payload_of<HeaderMapPayload>(obj).with([&](HeaderMapState& s) { f(static_cast<const http::HeaderMap&>(s.map)); });
  return true;
}

// A new HeaderMap object that takes over `map` (headers received by a
// codec), or nullptr with an exception set.
PyObject* new_header_map(http::HeaderMap&& map);

}  // namespace vintrel::py
