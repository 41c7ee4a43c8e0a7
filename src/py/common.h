// The conventions every Python-facing class shares: the lock rule, the guard
// every entry point runs under, once-only process-wide slots, argument
// extraction with exact signatures, argument conversion (wire bytes, header
// parts, unsigned integers, flags, text, choices, lists of text), results
// (bytes built in place, interned texts, reprs), instance layout with a
// per-object lock, and the template of event classes. Every class uses
// these helpers; none re-implements them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

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

// The same, or None (or an omitted argument) for no value.
template <class U>
bool optional_unsigned_arg(PyObject* obj, std::optional<U>* out) {
  if (is_none(obj)) {
    *out = std::nullopt;
    return true;
  }
  U v;
  if (!unsigned_arg(obj, &v)) return false;
  *out = v;
  return true;
}

// One of a fixed set of texts: `obj` must be a str (else the TypeError of
// text_arg). *index is its position in `choices`, or -1 when it matches
// none exactly (case matters), leaving the ValueError and its wording to
// the caller, which finds the given text in *text.
template <size_t N>
bool choice_arg(PyObject* obj, const char* argname, const std::array<std::string_view, N>& choices,
                int* index, std::string_view* text) {
  if (!text_arg(obj, argname, text)) return false;
  *index = -1;
  for (size_t i = 0; i < N; ++i) {
    if (choices[i] == *text) {
      *index = static_cast<int>(i);
      break;
    }
  }
  return true;
}

// A sequence of str given as one argument: a list, a tuple or any other
// iterable, read once into a private tuple, each item as its UTF-8 view. A
// bare str is refused (a string is not taken as a sequence of names), and
// so are bytes, bytearray and any item that is not a str. The views live as
// long as the TextList; destroy it after any lock is released.
class TextList {
 public:
  TextList() = default;
  TextList(const TextList&) = delete;
  TextList& operator=(const TextList&) = delete;
  ~TextList() { Py_XDECREF(items_); }

  size_t size() const noexcept { return views_.size(); }
  std::string_view operator[](size_t i) const noexcept { return views_[i]; }
  auto begin() const noexcept { return views_.begin(); }
  auto end() const noexcept { return views_.end(); }

 private:
  friend bool text_list_arg(PyObject* obj, const char* argname, TextList* out);
  PyObject* items_ = nullptr;  // the tuple that keeps the items alive
  std::vector<std::string_view> views_;
};

// TypeError "argument '<name>' must be a sequence of str, not <type>" for
// a str, bytes, bytearray or non-iterable, and "argument '<name>' must
// contain only str, not <type>" for a wrong item.
bool text_list_arg(PyObject* obj, const char* argname, TextList* out);

// ---------------------------------------------------------------- results

// Results are made once the lock is released: an allocation may collect
// garbage, and on some interpreters that runs finalizers, Python code.
inline PyObject* bytes_from(std::string_view s) {
  assert_unlocked("making a result");
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* str_from(std::string_view s) {
  assert_unlocked("making a result");
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* bool_from(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* none() { return Py_NewRef(Py_None); }

// A new bytes object of `size` bytes that fill(char* out) writes in place:
// allocated once, each payload byte copied once, no intermediate string.
// Call it once the lock is released, on data moved or copied out under it.
template <class Fill>
PyObject* new_bytes(size_t size, Fill&& fill) {
  assert_unlocked("making a result");
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (out == nullptr) return nullptr;
  std::forward<Fill>(fill)(PyBytes_AS_STRING(out));
  return out;
}

// The pieces one after another in one new bytes object (a frame header and
// its payload, a chunk-size line and its data).
PyObject* bytes_joined(std::initializer_list<std::string_view> pieces);

// A fixed set of texts (body kinds, roles) as interned str objects, made
// once per process: interned<kTexts>(i) is a new reference to the i-th,
// the same object on every call. kTexts is a constexpr
// std::array<std::string_view, N>.
PyObject* make_interned_tuple(const std::string_view* texts, size_t count);

template <const auto& Texts>
PyObject* interned(size_t i) {
  static OnceSlot slot;
  PyObject* all = slot.get([] { return make_interned_tuple(Texts.data(), Texts.size()); });
  return all ? Py_NewRef(PyTuple_GET_ITEM(all, static_cast<Py_ssize_t>(i))) : nullptr;
}

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

// Views of an object's buffer handed out under its lock and copied into
// the result bytes after it is released, so that each byte is copied once:
// the result cannot be allocated under the lock, and the buffer cannot be
// read without it. Between the two steps another thread may call the
// object: every operation that could move or overwrite lent bytes calls
// settle() first, which turns each outstanding view into an owned copy (the
// one extra copy, paid only by a concurrent caller).
class Loans {
 public:
  struct Lent {
    uint64_t ticket = 0;  // 0: nothing lent (an empty view)
    size_t size = 0;
  };
  // Under the lock: records `view` until repaid.
  Lent lend(std::string_view view);
  // Under the lock, before anything that may move or overwrite lent bytes.
  void settle();
  // Under the lock: copies the loan to `out` (when not null) and forgets it.
  void repay(uint64_t ticket, char* out) noexcept;

 private:
  struct Loan {
    uint64_t ticket;
    std::string_view view;  // the lent bytes, until settled
    std::string owned;      // the bytes, once settled
    bool settled;
    std::string_view bytes() const noexcept { return settled ? std::string_view(owned) : view; }
  };
  std::vector<Loan> loans_;
  uint64_t next_ = 0;
};

// The result bytes of a view lent under the lock of `self`, whose payload is
// Guarded<T> with a member `Loans loans`: allocated after the lock, filled
// under it again.
template <class T>
PyObject* bytes_from_loan(PyObject* self, Loans::Lent lent) {
  if (lent.ticket == 0) return bytes_from({});
  PyObject* out = new_bytes(lent.size, [&](char* p) { locked<T>(self, [&](T& s) { s.loans.repay(lent.ticket, p); }); });
  if (out == nullptr) locked<T>(self, [&](T& s) { s.loans.repay(lent.ticket, nullptr); });
  return out;
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

// ---------------------------------------------------------------- events

// Event classes (head and frame events, ProxyIntercept): an immutable C++
// struct E as the payload of Box<E>, no lock, no constructor, read-only
// properties from a field table:
//   PyGetSetDef kGetSet[] = {event_field<&E::stream_id>("stream_id", "doc"), ..., {}};
//   PyType_Slot kSlots[] = {{Py_tp_doc, ...}, {Py_tp_new, as_slot(refuse_new)},
//                           {Py_tp_dealloc, as_slot(box_dealloc<E>)},
//                           {Py_tp_getset, kGetSet}, {0, nullptr}};
//   PyType_Spec kSpec = event_spec<E>("vintrel._vintrel.Name", kSlots);
// and made with new_event(type, E{...}).

// A strong reference that an event holds (a HeaderMap, a bytes payload),
// released with the event.
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* steal) noexcept : obj_(steal) {}
  OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(obj_); }
  PyObject* get() const noexcept { return obj_; }

 private:
  PyObject* obj_ = nullptr;
};

// A value among fixed texts, stored as its position and shown to Python as
// the interned str (interned<Texts>).
template <const auto& Texts>
struct Choice {
  uint8_t index;
};

// Event fields as Python values (new references): flags as bool, integers
// as int, text as str, optional values as the value or None.
inline PyObject* to_python(bool v) { return bool_from(v); }
template <std::unsigned_integral U>
  requires(!std::same_as<U, bool>)
PyObject* to_python(U v) {
  return PyLong_FromUnsignedLongLong(v);
}
template <std::signed_integral I>
PyObject* to_python(I v) {
  return PyLong_FromLongLong(v);
}
inline PyObject* to_python(const std::string& v) { return str_from(v); }
inline PyObject* to_python(const OwnedRef& v) { return Py_NewRef(v.get()); }
template <const auto& Texts>
PyObject* to_python(Choice<Texts> v) {
  return interned<Texts>(v.index);
}
template <class T>
PyObject* to_python(const std::optional<T>& v) {
  return v ? to_python(*v) : none();
}

namespace detail {
template <class M>
struct MemberOf;
template <class C, class T>
struct MemberOf<T C::*> {
  using Class = C;
};
template <auto M>
PyObject* get_member(PyObject* self, void*) {
  using E = typename MemberOf<decltype(M)>::Class;
  return to_python(payload_of<E>(self).*M);
}
}  // namespace detail

// A read-only property of an event class, read from the payload member M.
template <auto M>
PyGetSetDef event_field(const char* name, const char* doc) {
  return {name, catching<detail::get_member<M>>, nullptr, doc, nullptr};
}

template <class E>
PyType_Spec event_spec(const char* name, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(Box<E>)), 0, kNoConstructorFlags, slots};
}

// A new event of the class `type` (nullptr with an exception set passes
// through).
template <class E>
PyObject* new_event(PyObject* type, E&& value) {
  if (type == nullptr) return nullptr;
  return new_box<std::remove_cvref_t<E>>(reinterpret_cast<PyTypeObject*>(type), std::forward<E>(value));
}

}  // namespace vintrel::py
