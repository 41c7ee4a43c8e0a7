// The conventions every Python-facing class shares: once-only process-wide
// slots, the guard every entry point runs under, argument extraction with
// exact signatures, argument conversion (wire bytes, header parts, unsigned
// integers, flags, text), instance layout with a per-object lock, and reprs.
// Every class uses these helpers; none re-implements them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include "core/util/repr.h"

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

// ---------------------------------------------------------------- once slots

// A process-wide object created at most once and kept for the life of the
// process. A thread that finds another thread in the middle of creating it
// waits with the interpreter lock released, so the creator can finish. The
// creating thread asking for the same slot again (creation re-entered
// through the Python code it runs) gets RuntimeError instead of waiting on
// itself.
class OnceSlot {
 public:
  using Create = PyObject* (*)();
  // Borrowed reference, or nullptr with an exception set.
  PyObject* get(Create create) {
    PyObject* p = value_.load(std::memory_order_acquire);
    return p ? p : slow_get(create);
  }

 private:
  PyObject* slow_get(Create create);
  std::atomic<PyObject*> value_{nullptr};
  std::atomic<std::thread::id> creator_{};
  std::mutex mu_;
};

// ---------------------------------------------------------------- arguments

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

// ---------------------------------------------------------------- results

inline PyObject* bytes_from(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* str_from(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* bool_from(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* none() { return Py_NewRef(Py_None); }

// The str of a finished event repr (util::Repr: integers, true/false,
// Some(v)/None, quoted text). Always valid UTF-8: the quoting escapes every
// byte that is not.
inline PyObject* repr_from(util::Repr& repr) { return str_from(repr.finish()); }

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

// Refuses any argument to a constructor without parameters.
bool no_constructor_args(const char* cls, PyObject* args, PyObject* kwargs);

}  // namespace vintrel::py
