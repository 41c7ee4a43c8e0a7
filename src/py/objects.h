// Objects: the instance layout every class shares (an object header and one
// C++ payload), the per-object lock and the locked payload of classes with
// mutable state, and types made from specs with the flags every class has.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

#include "src/py/guard.h"
#include "src/py/python.h"

namespace vintrel::py {

// ---------------------------------------------------------------- instances

// The layout of every instance: the object header and one C++ payload,
// constructed in place after allocation and destroyed before the memory is
// freed. No instance has a __dict__, so none accepts new attributes.
template <class Payload>
struct Box {
  PyObject_HEAD
  Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) {
  return reinterpret_cast<Box<Payload>*>(self)->payload;
}

// Allocates an instance of `type` and constructs its payload from `args`.
// A payload constructor that throws (an allocation failure) frees the
// instance and propagates to the entry guard.
template <class Payload, class... Args>
PyObject* new_box(PyTypeObject* type, Args&&... args) {
  assert_unlocked("allocating an instance");
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  try {
    new (&payload_of<Payload>(self)) Payload(std::forward<Args>(args)...);
  } catch (...) {
    type->tp_free(self);
    Py_DECREF(type);  // the allocation took a reference to the heap type
    throw;
  }
  return self;
}

template <class Payload>
void box_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  payload_of<Payload>(self).~Payload();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- locks

// An object's own lock. Holders run a few core operations and never the
// interpreter, so a hold lasts nanoseconds: a waiter spins, yielding its
// time slice, instead of sleeping in the kernel, and an uncontended
// lock/unlock costs one atomic exchange and one plain store.
class ObjectLock {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  bool try_lock() noexcept {
    return !held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire);
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

// Whether R holds a Python object: a locked callable may not return one,
// because making or dropping one can run Python code.
template <class R>
inline constexpr bool kIsPythonObject =
    std::is_convertible_v<std::remove_cvref_t<R>, const PyObject*> &&
    !std::is_same_v<std::remove_cvref_t<R>, std::nullptr_t>;

// The payload of a class with mutable state: the core value behind the
// object's own lock. Callers convert every argument first, take the lock,
// run core code only (never the interpreter), release it, and only then
// build the Python result from what the callable returned.
template <class T>
struct Guarded {
  template <class... Args>
  explicit Guarded(Args&&... args) : value(std::forward<Args>(args)...) {}
  template <class F>
  decltype(auto) with(F&& f) {
    static_assert(!kIsPythonObject<std::invoke_result_t<F&&, T&>>,
                  "a callable run under an object's lock may not return a Python object: "
                  "return core values and build the object after the lock is released");
    std::lock_guard<ObjectLock> hold(mu);
#ifdef VINTREL_LOCK_CHECKS
    HeldMark mark;
#endif
    return std::forward<F>(f)(value);
  }
  ObjectLock mu;
  T value;

 private:
#ifdef VINTREL_LOCK_CHECKS
  struct HeldMark {
    HeldMark() noexcept { ++held_locks(); }
    ~HeldMark() { --held_locks(); }
    HeldMark(const HeldMark&) = delete;
    HeldMark& operator=(const HeldMark&) = delete;
  };
#endif
};

// Runs f on the core value of `self`, an instance whose payload is
// Guarded<T>, under the object's lock.
template <class T, class F>
decltype(auto) locked(PyObject* self, F&& f) {
  return payload_of<Guarded<T>>(self).with(std::forward<F>(f));
}

// ---------------------------------------------------------------- types

// A type from its spec; the flags of every class are added here.
PyObject* make_type(PyType_Spec* spec);

// Flags shared by every class.
inline constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                       | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;
// Flags of a class that Python code cannot instantiate.
inline constexpr unsigned kNoConstructorFlags = kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// The tp_new of a class that Python code cannot instantiate: a backstop for
// interpreters that do not honour the flag above. Raises the interpreter's
// usual TypeError, "cannot create '<type>' instances".
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace vintrel::py
