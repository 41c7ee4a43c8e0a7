// HeaderMap, the Python shell around http::HeaderMap: what an instance
// keeps, shared by the class (header_map.cpp) and the helpers the codecs
// use to take and return header maps (header_args.h).
#pragma once

#include <atomic>

#include "core/http/header_map.h"
#include "src/py/objects.h"
#include "src/py/python.h"

namespace vintrel::py {

// What a HeaderMap object keeps behind its lock: the core map, whose
// handles are the Python objects handed out for its names (exact
// lowercase str) and values (exact bytes). Each handle is a reference the
// map owns. Names and values get their object when first read (or, for a
// lowercase str name or a bytes value, the caller's own object when
// stored), and every later read takes a reference to the same object.
class HeaderMapState {
 public:
  HeaderMapState() noexcept { map.release_with(release_handle); }
  explicit HeaderMapState(http::HeaderMap contents) noexcept : map(std::move(contents)) {
    map.release_with(release_handle);
    publish_length();
  }
  HeaderMapState(const HeaderMapState&) = delete;
  HeaderMapState& operator=(const HeaderMapState&) = delete;
  // Runs in the object's dealloc (or when construction fails), with the
  // interpreter lock held: releases every handle.
  ~HeaderMapState();

  // The map releases the handles of names and values it drops at once,
  // under the object's lock. That is safe: a handle is an exact str or
  // bytes, whose deallocation frees memory and runs no Python code.
  static void release_handle(http::HeaderMap::Handle h) noexcept;

  // Recent lookups, by the very object passed as the name: a program reads
  // the same few names again and again, mostly as the same str constants,
  // and an exact str or bytes never changes, so the object itself (held
  // here, so that its address cannot be reused) identifies the name
  // without folding or hashing it again. An entry holds while the map
  // keeps its name epoch (entry numbers unchanged) and, for an absent name, its
  // name count (no name added since).
  static constexpr size_t kUnknown = http::HeaderMap::npos - 1;
  // Whether `key` may be remembered: a hint read without the lock (keys
  // change only under it), so that a lookup the map has surely not seen
  // costs no extra hold. recall() decides under the lock.
  bool may_recall(PyObject* key) const noexcept {
    return recent_[slot_of(key)].key.load(std::memory_order_relaxed) == key;
  }
  // The entry of `key` (npos when absent), or kUnknown.
  size_t recall(PyObject* key) const noexcept {
    const Recent& r = recent_[slot_of(key)];
    if (r.key.load(std::memory_order_relaxed) != key || r.epoch != map.name_epoch()) return kUnknown;
    if (r.entry == http::HeaderMap::npos && r.names != map.name_count()) return kUnknown;
    return r.entry;
  }
  // Remembers what `key` (an exact str or bytes) denotes now. The key it
  // displaces is an exact str or bytes too: releasing it under the lock
  // runs no Python code.
  void remember(PyObject* key, size_t entry) noexcept {
    Recent& r = recent_[slot_of(key)];
    PyObject* old = r.key.load(std::memory_order_relaxed);
    if (old != key) {
      r.key.store(Py_NewRef(key), std::memory_order_relaxed);
      Py_XDECREF(old);
    }
    r.entry = entry;
    r.epoch = map.name_epoch();
    r.names = map.name_count();
  }

  http::HeaderMap map;

  // The number of values, published under the lock after every change so
  // that len() reads it without taking the lock.
  void publish_length() noexcept { length_.store(map.value_count(), std::memory_order_relaxed); }
  size_t length() const noexcept { return length_.load(std::memory_order_relaxed); }

 private:
  std::atomic<size_t> length_{0};
  // Only `key` needs a start value: the rest is read only once remember()
  // has set it.
  struct Recent {
    std::atomic<PyObject*> key{nullptr};
    size_t entry;
    uint64_t epoch;
    size_t names;
  };
  static constexpr size_t kRecent = 4;
  static size_t slot_of(PyObject* key) noexcept {
    return (reinterpret_cast<uintptr_t>(key) >> 4) & (kRecent - 1);
  }
  Recent recent_[kRecent];
};

using HeaderMapPayload = Guarded<HeaderMapState>;

inline PyObject* handle_object(http::HeaderMap::Handle h) noexcept { return reinterpret_cast<PyObject*>(h); }
inline http::HeaderMap::Handle object_handle(PyObject* o) noexcept {
  return reinterpret_cast<http::HeaderMap::Handle>(o);
}

// Whether `obj` is a HeaderMap instance.
bool is_header_map(PyObject* obj);

}  // namespace vintrel::py
