// The rules every entry point keeps: the lock rule (no Python code under an
// object's lock, checked at run time where lock checks are on) and the entry
// guard (no C++ exception escapes into the interpreter), with the casts that
// register entry points in method tables and type slots.
#pragma once

#include <type_traits>

#include "src/py/python.h"

// Lock checks: on in debug builds, and wherever VINTREL_LOCK_CHECKS is
// defined (the sanitizer build).
#if !defined(NDEBUG) && !defined(VINTREL_LOCK_CHECKS)
#define VINTREL_LOCK_CHECKS 1
#endif

namespace vintrel::py {

// ---------------------------------------------------------------- lock rule

// Nothing that can run Python code (raising, allocating a tracked object,
// calling a method, creating a once-only value) may happen while this thread
// holds an object's lock: that code could re-enter the object and wait on
// the lock forever. Guarded::with enforces the rule at compile time for what
// the locked callable returns; assert_unlocked checks it at run time, in
// builds with lock checks, at the places that can run Python code.

#ifdef VINTREL_LOCK_CHECKS
// The number of object locks the calling thread holds.
int& held_locks() noexcept;
void fail_locked(const char* what) noexcept;  // fatal: reports and aborts
inline void assert_unlocked(const char* what) noexcept {
  if (held_locks() != 0) fail_locked(what);
}
#else
inline void assert_unlocked(const char*) noexcept {}
#endif

// ---------------------------------------------------------------- entry guard

// Turns the C++ exception in flight into a Python exception: std::bad_alloc
// (and std::length_error, a request for more than can ever be allocated)
// become MemoryError; anything else, which the core never throws by design,
// becomes SystemError rather than a terminated process.
void raise_from_cpp_exception() noexcept;

namespace detail {

template <class R>
R failed_result() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);  // int, Py_ssize_t, Py_hash_t: -1 with an exception set
  }
}

template <auto Fn, class Sig = decltype(Fn)>
struct Catching;

template <auto Fn, class R, class... A>
struct Catching<Fn, R (*)(A...)> {
  static R call(A... a) noexcept {
    try {
      return Fn(a...);
    } catch (...) {
      raise_from_cpp_exception();
      return failed_result<R>();
    }
  }
};

// A function that cannot throw needs no guard.
template <auto Fn, class R, class... A>
struct Catching<Fn, R (*)(A...) noexcept> {
  static R call(A... a) noexcept { return Fn(a...); }
};

}  // namespace detail

// `Fn` as an interpreter entry point: any C++ exception escaping it (an
// allocation failure deep in the core) is raised as a Python exception
// instead of terminating the process. Every method, getter, slot and module
// step is registered through it:
//   {"name", as_cfunction(catching<impl>), METH_FASTCALL | METH_KEYWORDS, doc}
//   {Py_tp_repr, as_slot(catching<repr_impl>)}
template <auto Fn>
inline constexpr auto catching = &detail::Catching<Fn>::call;

// The signature of a METH_FASTCALL | METH_KEYWORDS method.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method table entry's function pointer, whatever its calling convention.
template <class F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A type slot's function pointer.
template <class F>
void* as_slot(F fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace vintrel::py
