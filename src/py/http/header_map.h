// HeaderMap, the Python shell around http::HeaderMap: what an instance
// keeps, shared by the class (header_map.cpp) and the helpers the codecs
// use to take and return header maps (header_args.h).
#pragma once

#include "src/py/common.h"

#include "core/http/header_map.h"

namespace vintrel::py {

// What a HeaderMap object keeps behind its lock: the core map, whose
// handles are the Python objects handed out for its names (exact
// lowercase str) and values (exact bytes). Each handle is a reference the
// map owns. Names and values get their object when first read (or, for a
// lowercase str name or a bytes value, the caller's own object when
// stored), and every later read takes a reference to the same object.
class HeaderMapState {
 public:
  HeaderMapState() = default;
  explicit HeaderMapState(http::HeaderMap contents) noexcept : map(std::move(contents)) {}
  HeaderMapState(HeaderMapState&& other) noexcept = default;
  HeaderMapState(const HeaderMapState&) = delete;
  HeaderMapState& operator=(const HeaderMapState&) = delete;
  HeaderMapState& operator=(HeaderMapState&&) = delete;
  // Runs in the object's dealloc (or when construction fails), with the
  // interpreter lock held: releases every handle.
  ~HeaderMapState();

  // Releases the handles of names and values the map has dropped. Safe
  // under the object's lock: a handle is an exact str or bytes, whose
  // deallocation frees memory and runs no Python code.
  void release_dropped() noexcept;

  http::HeaderMap map;
};

using HeaderMapPayload = Guarded<HeaderMapState>;

inline PyObject* handle_object(http::HeaderMap::Handle h) noexcept { return reinterpret_cast<PyObject*>(h); }
inline http::HeaderMap::Handle object_handle(PyObject* o) noexcept {
  return reinterpret_cast<http::HeaderMap::Handle>(o);
}

// Whether `obj` is a HeaderMap instance.
bool is_header_map(PyObject* obj);

}  // namespace vintrel::py
