// HeaderMap: an ordered, case-insensitive, multi-valued header collection, a
// thin shell over http::HeaderMap behind the object's own lock.
//
// Every argument is converted before the lock is taken. The map keeps a
// Python object for each name and value once one exists (see
// HeaderMapState), so a read under the lock only takes references; objects
// still missing are made after the lock is released and stored on a second,
// short hold if the map has not moved meanwhile. Lists and tuples, which
// the collector tracks, are built only after the lock is released.
#include "src/py/http/header_map.h"

#include <cstring>
#include <string>
#include <vector>

#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/http/header_args.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

using http::HeaderMap;
using http::HeaderName;
using Handle = HeaderMap::Handle;
using Payload = HeaderMapPayload;

PyObject* raise_full() { return raise_value_error(http::map_error_text(http::MapError::Full)); }

// Takes a reference to what the map now holds.
void keep(HeaderMap::Handles taken) noexcept {
  if (taken.name) Py_INCREF(handle_object(taken.name));
  if (taken.value) Py_INCREF(handle_object(taken.value));
}

HeaderMap::Handles offer(const NameArg& name, const ValueArg& value) noexcept {
  return {object_handle(name.reuse), object_handle(value.reuse)};
}

// What on_entry's callable returns: the entry the name denotes afterwards
// (npos when absent), or kNeedName to be run again with the converted name.
constexpr size_t kNeedName = HeaderMapState::kUnknown;

// Runs f(HeaderMapState&, size_t entry, const NameArg* name) under the lock
// for the name argument `key`; entry is npos when the name is absent.
// `name` is the converted name, or nullptr when the entry came from the
// recent lookups without converting `key`; f may then return kNeedName
// (before changing anything) and runs again with it. `name` receives the
// conversion when one was made. False with an exception set when `key` is
// no valid name.
template <class F>
bool on_entry(PyObject* self, PyObject* key, NameArg& name, F&& f) {
  const bool recallable = PyUnicode_CheckExact(key) || PyBytes_CheckExact(key);
  if (recallable && payload_of<Payload>(self).value.may_recall(key)) {
    const bool done = locked<HeaderMapState>(self, [&](HeaderMapState& s) {
      const size_t entry = s.recall(key);
      if (entry == HeaderMapState::kUnknown) return false;
      const uint64_t epoch = s.map.name_epoch();
      const size_t names = s.map.name_count();
      const size_t after = f(s, entry, static_cast<const NameArg*>(nullptr));
      if (after == kNeedName) return false;
      // Unchanged, what is remembered still holds.
      if (after != entry || s.map.name_epoch() != epoch || s.map.name_count() != names) s.remember(key, after);
      s.publish_length();
      return true;
    });
    if (done) return true;
  }
  if (!name_arg(key, name)) return false;
  locked<HeaderMapState>(self, [&](HeaderMapState& s) {
    const size_t after = f(s, s.map.find(name.name), static_cast<const NameArg*>(&name));
    if (recallable) s.remember(key, after);
    s.publish_length();
  });
  return true;
}

// ---------------------------------------------------------------- reading

// References gathered under the lock, in listing order: for each name or
// value a new reference to its object, or a hole whose bytes were copied so
// that the object can be made once the lock is released.
class Gather {
 public:
  Gather() = default;
  Gather(const Gather&) = delete;
  Gather& operator=(const Gather&) = delete;
  ~Gather() {
    for (PyObject* o : objs_) Py_XDECREF(o);
  }

  // Under the lock.
  void start(const HeaderMap& m, size_t expected) {
    epoch_ = m.epoch();
    objs_.reserve(expected);
  }
  void name(const HeaderMap& m, size_t entry) { add(m.name_handle(entry), true, entry, m.name(entry)); }
  void values(const HeaderMap& m, size_t entry) {
    const HeaderMap::Values vs = m.values(entry);
    for (auto it = vs.begin(); it != vs.end(); ++it) add(m.value_handle(it.record()), false, it.record(), *it);
  }
  // (name, value) for every value of the entry, one after the other.
  void pairs(const HeaderMap& m, size_t entry) {
    const HeaderMap::Values vs = m.values(entry);
    for (auto it = vs.begin(); it != vs.end(); ++it) {
      name(m, entry);
      add(m.value_handle(it.record()), false, it.record(), *it);
    }
  }

  // After the lock: makes the missing objects, and stores them in the map
  // unless it has moved meanwhile. False with an exception set.
  bool complete(PyObject* self) {
    if (holes_.empty()) return true;
    const Hole* made_name = nullptr;
    for (const Hole& h : holes_) {
      PyObject* o;
      if (h.is_name && made_name != nullptr && made_name->id == h.id) {
        o = Py_NewRef(objs_[made_name->pos]);  // the same name again: one object
      } else {
        const std::string_view bytes(text_.data() + h.off, h.len);
        o = h.is_name ? str_from(bytes) : bytes_from(bytes);
        if (o == nullptr) return false;
        if (h.is_name) made_name = &h;
      }
      objs_[h.pos] = o;
    }
    locked<HeaderMapState>(self, [&](HeaderMapState& s) {
      HeaderMap& m = s.map;
      if (m.epoch() != epoch_) return;
      for (const Hole& h : holes_) {
        PyObject* o = objs_[h.pos];
        if (h.is_name && m.name_handle(h.id) == 0) {
          m.set_name_handle(h.id, object_handle(Py_NewRef(o)));
        } else if (!h.is_name && m.value_handle(static_cast<uint32_t>(h.id)) == 0) {
          m.set_value_handle(static_cast<uint32_t>(h.id), object_handle(Py_NewRef(o)));
        }
      }
    });
    return true;
  }

  size_t size() const noexcept { return objs_.size(); }
  // Hands the reference at i to the caller.
  PyObject* take(size_t i) noexcept { return std::exchange(objs_[i], nullptr); }

  // A list of every gathered object.
  PyObject* list() {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(objs_.size()));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < objs_.size(); ++i) PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), take(i));
    return out;
  }

 private:
  struct Hole {
    size_t pos;
    size_t id;  // entry number or value record
    bool is_name;
    size_t off;
    size_t len;
  };

  void add(Handle h, bool is_name, size_t id, std::string_view bytes) {
    if (h != 0) {
      objs_.push_back(Py_NewRef(handle_object(h)));
      return;
    }
    if (is_name && last_name_ < holes_.size() && holes_[last_name_].id == id) {
      const Hole again = holes_[last_name_];  // its bytes are copied already
      holes_.push_back(again);
    } else {
      holes_.push_back(Hole{0, id, is_name, text_.size(), bytes.size()});
      text_.append(bytes);
    }
    holes_.back().pos = objs_.size();
    if (is_name) last_name_ = holes_.size() - 1;
    objs_.push_back(nullptr);
  }

  std::vector<PyObject*> objs_;
  std::vector<Hole> holes_;
  size_t last_name_ = static_cast<size_t>(-1);  // the latest name hole
  std::string text_;
  uint64_t epoch_ = 0;
};

// A first value copied out under the lock: short values stay on the stack.
class ValueCopy {
 public:
  void set(std::string_view v) {
    if (v.size() <= sizeof(inline_)) {
      std::memcpy(inline_, v.data(), v.size());
      view_ = std::string_view(inline_, v.size());
    } else {
      heap_.assign(v);
      view_ = heap_;
    }
  }
  std::string_view view() const noexcept { return view_; }

 private:
  char inline_[128];
  std::string heap_;
  std::string_view view_;
};

// The first value of the name `key` as a new reference to its bytes: the
// map's own object, made and stored now if it has none yet. Otherwise
// nullptr, with *present false when the name is absent and true with an
// exception set.
PyObject* first_value(PyObject* self, PyObject* key, NameArg& name, bool* present) {
  PyObject* hit = nullptr;
  uint32_t rec = 0;
  uint64_t epoch = 0;
  ValueCopy copy;
  *present = false;
  const bool ok = on_entry(self, key, name, [&](HeaderMapState& s, size_t e, const NameArg*) {
    *present = e != HeaderMap::npos;
    if (!*present) return e;
    rec = s.map.first_record(e);
    if (const Handle h = s.map.value_handle(rec)) {
      hit = Py_NewRef(handle_object(h));
    } else {
      copy.set(s.map.values(e).front());
      epoch = s.map.epoch();
    }
    return e;
  });
  if (!ok) {
    *present = true;  // an error, not an absent name
    return nullptr;
  }
  if (!*present || hit != nullptr) return hit;
  PyObject* bytes = bytes_from(copy.view());
  if (bytes == nullptr) return nullptr;
  locked<HeaderMapState>(self, [&](HeaderMapState& s) {
    if (s.map.epoch() == epoch && s.map.value_handle(rec) == 0) {
      s.map.set_value_handle(rec, object_handle(Py_NewRef(bytes)));
    }
  });
  return bytes;
}

// KeyError carrying the lowercase name.
PyObject* raise_key_error(PyObject* key, NameArg& name) {
  if (!name.name.valid() && !name_arg(key, name)) return nullptr;
  PyObject* text = str_from(name.name.view());
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_KeyError, text);
  Py_DECREF(text);
  return nullptr;
}

// ---------------------------------------------------------------- construction

// Converts one (name, value) pair and appends it to a map no other thread
// can see yet.
bool append_pair(PyObject* name_obj, PyObject* value_obj, HeaderMapState& out) {
  NameArg name;
  ValueArg value;
  if (!name_arg(name_obj, name) || !value_arg(value_obj, value)) return false;
  HeaderMap::Handles taken;
  auto r = out.map.append(name.name, value.value, offer(name, value), taken);
  if (!r) {
    raise_full();
    return false;
  }
  keep(taken);
  return true;
}

// One element e of an iterable: e[0] and e[1], whatever its length.
bool append_element(PyObject* e, HeaderMapState& out) {
  if (PyTuple_CheckExact(e) && PyTuple_GET_SIZE(e) >= 2) {
    return append_pair(PyTuple_GET_ITEM(e, 0), PyTuple_GET_ITEM(e, 1), out);
  }
  PyObject* zero = PyLong_FromLong(0);
  PyObject* one = zero ? PyLong_FromLong(1) : nullptr;
  PyObject* name = one ? PyObject_GetItem(e, zero) : nullptr;
  PyObject* value = name ? PyObject_GetItem(e, one) : nullptr;
  const bool ok = value != nullptr && append_pair(name, value, out);
  Py_XDECREF(zero);
  Py_XDECREF(one);
  Py_XDECREF(name);
  Py_XDECREF(value);
  return ok;
}

// Room for `n` fields of typical size.
void reserve_for(HeaderMapState& out, Py_ssize_t n) {
  if (n > 0) out.map.reserve(static_cast<size_t>(n), static_cast<size_t>(n), static_cast<size_t>(n) * 32);
}

bool fill_from_iterable(PyObject* init, HeaderMapState& out) {
  if (PyList_CheckExact(init) || PyTuple_CheckExact(init)) {
    // Walked by index, the size read again at each step: indexing an
    // element may run code that changes the list.
    reserve_for(out, PySequence_Fast_GET_SIZE(init));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(init); ++i) {
      PyObject* e = Py_NewRef(PySequence_Fast_GET_ITEM(init, i));
      const bool ok = append_element(e, out);
      Py_DECREF(e);
      if (!ok) return false;
    }
    return true;
  }
  PyObject* it = PyObject_GetIter(init);
  if (it == nullptr) return false;
  bool ok = true;
  while (PyObject* e = PyIter_Next(it)) {
    ok = append_element(e, out);
    Py_DECREF(e);
    if (!ok) break;
  }
  Py_DECREF(it);
  return ok && !PyErr_Occurred();
}

// A copy of another map, taken under its lock; the copy owns a reference
// to each of the source's objects.
void copy_from(PyObject* src, HeaderMapState& out) {
  locked<HeaderMapState>(src, [&](HeaderMapState& s) {
    out.map = HeaderMap(s.map, HeaderMap::KeepHandles{});
    out.map.for_each_handle([](Handle h) { Py_INCREF(handle_object(h)); });
  });
}

// Builds the new map's contents completely before any object exists.
bool fill_from(PyObject* init, HeaderMapState& out) {
  if (is_none(init)) return true;
  if (is_header_map(init)) {
    copy_from(init, out);
    return true;
  }
  if (PyDict_CheckExact(init)) {
    reserve_for(out, PyDict_GET_SIZE(init));
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    // Converting str and bytes runs no Python code, so the dict cannot
    // change under this loop.
    while (PyDict_Next(init, &pos, &key, &value)) {
      if (!append_pair(key, value, out)) return false;
    }
    return true;
  }
  if (PyDict_Check(init)) {
    // A subclass may order its items its own way (an OrderedDict after
    // move_to_end): read it through its own items().
    PyObject* items = PyObject_CallMethod(init, "items", nullptr);
    if (items == nullptr) return false;
    const bool ok = fill_from_iterable(items, out);
    Py_DECREF(items);
    return ok;
  }
  return fill_from_iterable(init, out);
}

constexpr Params<1> kInit{"HeaderMap", {"init"}, 0};

PyObject* new_header_map_object(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[1];
  if (!parse_args(kInit, args, kwargs, arg)) return nullptr;
  // Filled in place before anyone else can see the object; on a failure
  // it is released again, so that to the caller none was made.
  PyObject* self = new_box<Payload>(type);
  if (self == nullptr) return nullptr;
  try {
    HeaderMapState& state = payload_of<Payload>(self).value;
    if (fill_from(arg[0], state)) {
      state.publish_length();
    } else {
      Py_CLEAR(self);
    }
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  return self;
}

// ---------------------------------------------------------------- lookups

constexpr Params<2> kGet{"get", {"name", "default"}, 1};

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kGet, args, nargs, kwnames, arg)) return nullptr;
  NameArg name;
  bool present;
  PyObject* value = first_value(self, arg[0], name, &present);
  if (present) return value;
  return Py_NewRef(arg[1] ? arg[1] : Py_None);
}

constexpr Params<1> kGetAll{"get_all", {"name"}, 1};

PyObject* get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(kGetAll, args, nargs, kwnames, arg)) return nullptr;
  NameArg name;
  Gather g;
  const bool ok = on_entry(self, arg[0], name, [&](HeaderMapState& s, size_t e, const NameArg*) {
    if (e != HeaderMap::npos) {
      g.start(s.map, s.map.values(e).size());
      g.values(s.map, e);
    }
    return e;
  });
  return ok && g.complete(self) ? g.list() : nullptr;
}

PyObject* subscript(PyObject* self, PyObject* key) {
  NameArg name;
  bool present;
  PyObject* value = first_value(self, key, name, &present);
  if (present) return value;
  return raise_key_error(key, name);
}

int contains(PyObject* self, PyObject* key) {
  NameArg name;
  bool present = false;
  const bool ok = on_entry(self, key, name, [&](HeaderMapState&, size_t e, const NameArg*) {
    present = e != HeaderMap::npos;
    return e;
  });
  return ok ? present : -1;
}

// ---------------------------------------------------------------- changes

// A value argument, converted before the name's lock is taken. When both
// are bad, the name's error is the one raised, as if the name came first.
bool value_first(PyObject* key, PyObject* value_obj, ValueArg& value) {
  if (value_arg(value_obj, value)) return true;
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  NameArg name;
  if (!name_arg(key, name)) {
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
    return false;
  }
  PyErr_Restore(type, exc, tb);
  return false;
}

// Stores `value` under the name `key`: after its existing values, or (with
// `replace`) as its only value. False when the map is full.
bool store(PyObject* self, PyObject* key, const ValueArg& value, bool replace, bool* ok) {
  NameArg name;
  *ok = true;
  return on_entry(self, key, name, [&](HeaderMapState& s, size_t e, const NameArg* n) {
    HeaderMap::Handles taken;
    size_t after = e;
    HeaderMap::Status r;
    if (e != HeaderMap::npos) {
      const HeaderMap::Handles h{n ? object_handle(n->reuse) : 0, object_handle(value.reuse)};
      r = replace ? s.map.replace_at(e, value.value, h, taken) : s.map.append_at(e, value.value, h, taken);
    } else if (n == nullptr) {
      return kNeedName;
    } else {
      r = s.map.insert_new(n->name, value.value, offer(*n, value), taken);
      after = s.map.name_count() - 1;
    }
    if (!r) {
      *ok = false;
      return e;
    }
    keep(taken);
    return after;
  });
}

constexpr Params<2> kAdd{"add", {"name", "value"}, 2};

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kAdd, args, nargs, kwnames, arg)) return nullptr;
  ValueArg value;
  bool ok;
  if (!value_first(arg[0], arg[1], value) || !store(self, arg[0], value, false, &ok)) return nullptr;
  return ok ? none() : raise_full();
}

constexpr Params<2> kSetdefault{"setdefault", {"name", "value"}, 2};

PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kSetdefault, args, nargs, kwnames, arg)) return nullptr;
  for (;;) {
    // A present name leaves `value` unconverted and unchecked.
    NameArg name;
    bool present;
    PyObject* existing = first_value(self, arg[0], name, &present);
    if (present) return existing;
    ValueArg value;
    if (!value_arg(arg[1], value)) return nullptr;
    // The result is the stored object itself, made before the lock.
    PyObject* stored = value.reuse ? Py_NewRef(value.reuse) : bytes_from(value.value.view());
    if (stored == nullptr) return nullptr;
    value.reuse = stored;
    enum { Stored, Raced, Full } outcome = Stored;
    const bool ok = on_entry(self, arg[0], name, [&](HeaderMapState& s, size_t e, const NameArg* n) {
      if (e != HeaderMap::npos) {
        outcome = Raced;  // another thread stored the name meanwhile
        return e;
      }
      if (n == nullptr) return kNeedName;
      HeaderMap::Handles taken;
      auto r = s.map.insert_new(n->name, value.value, offer(*n, value), taken);
      if (!r) {
        outcome = Full;
        return e;
      }
      keep(taken);
      return s.map.name_count() - 1;
    });
    if (ok && outcome == Stored) return stored;
    Py_DECREF(stored);
    if (!ok) return nullptr;
    if (outcome == Full) return raise_full();
  }
}

int ass_subscript(PyObject* self, PyObject* key, PyObject* value_obj) {
  if (value_obj == nullptr) {
    NameArg name;
    bool removed = false;
    const bool ok = on_entry(self, key, name, [&](HeaderMapState& s, size_t e, const NameArg*) {
      if (e == HeaderMap::npos) return e;
      s.map.remove_at(e);
      removed = true;
      return HeaderMap::npos;
    });
    if (!ok) return -1;
    if (removed) return 0;
    raise_key_error(key, name);
    return -1;
  }
  ValueArg value;
  bool ok;
  if (!value_first(key, value_obj, value) || !store(self, key, value, true, &ok)) return -1;
  if (ok) return 0;
  raise_full();
  return -1;
}

// ---------------------------------------------------------------- listing

void gather_names(PyObject* self, Gather& g) {
  locked<HeaderMapState>(self, [&](HeaderMapState& s) {
    g.start(s.map, s.map.name_count());
    for (size_t e = 0; e < s.map.name_count(); ++e) g.name(s.map, e);
  });
}

PyObject* keys(PyObject* self, PyObject*) {
  Gather g;
  gather_names(self, g);
  return g.complete(self) ? g.list() : nullptr;
}

PyObject* values(PyObject* self, PyObject*) {
  Gather g;
  locked<HeaderMapState>(self, [&](HeaderMapState& s) {
    g.start(s.map, s.map.value_count());
    for (size_t e = 0; e < s.map.name_count(); ++e) g.values(s.map, e);
  });
  return g.complete(self) ? g.list() : nullptr;
}

PyObject* items_list(PyObject* self) {
  Gather g;
  locked<HeaderMapState>(self, [&](HeaderMapState& s) {
    const HeaderMap& m = s.map;
    g.start(m, 2 * m.value_count());
    for (size_t e = 0; e < m.name_count(); ++e) g.pairs(m, e);
  });
  if (!g.complete(self)) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(g.size() / 2));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < g.size(); i += 2) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, g.take(i));
    PyTuple_SET_ITEM(pair, 1, g.take(i + 1));
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i / 2), pair);
  }
  return list;
}

PyObject* items(PyObject* self, PyObject*) { return items_list(self); }

PyObject* iter(PyObject* self) {
  PyObject* list = keys(self, nullptr);
  if (list == nullptr) return nullptr;
  PyObject* it = PyObject_GetIter(list);
  Py_DECREF(list);
  return it;
}

// The length published by the last change: reading one word needs no
// hold of the lock, and it is the length the map had at that moment.
Py_ssize_t length(PyObject* self) {
  return static_cast<Py_ssize_t>(payload_of<Payload>(self).value.length());
}

PyObject* repr(PyObject* self) {
  PyObject* list = items_list(self);
  if (list == nullptr) return nullptr;
  PyObject* r = PyUnicode_FromFormat("HeaderMap(%R)", list);
  Py_DECREF(list);
  return r;
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal = false;
  if (self == other) {
    equal = true;  // without taking the lock twice
  } else if (is_header_map(other)) {
    // Both locks, always the lower address first, so that two threads
    // comparing a == b and b == a cannot deadlock.
    PyObject* first = self < other ? self : other;
    PyObject* second = self < other ? other : self;
    equal = locked<HeaderMapState>(first, [&](HeaderMapState& a) {
      return locked<HeaderMapState>(second, [&](HeaderMapState& b) { return a.map == b.map; });
    });
  }
  return bool_from(op == Py_EQ ? equal : !equal);
}

PyMethodDef kMethods[] = {
    {"get", as_cfunction(catching<get>), METH_FASTCALL | METH_KEYWORDS,
     "get($self, name, default=None)\n--\n\n"
     "The first value of name, or default when the name is absent."},
    {"get_all", as_cfunction(catching<get_all>), METH_FASTCALL | METH_KEYWORDS,
     "get_all($self, name)\n--\n\n"
     "Every value of name in insertion order; an empty list when absent."},
    {"add", as_cfunction(catching<add>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, name, value)\n--\n\n"
     "Append value to name's values; a new name goes to the end."},
    {"setdefault", as_cfunction(catching<setdefault>), METH_FASTCALL | METH_KEYWORDS,
     "setdefault($self, name, value)\n--\n\n"
     "The first value of name when present (value is then ignored); otherwise "
     "store value as the name's only value and return it."},
    {"keys", as_cfunction(catching<keys>), METH_NOARGS, "keys($self)\n--\n\nThe distinct names, in order."},
    {"values", as_cfunction(catching<values>), METH_NOARGS,
     "values($self)\n--\n\nEvery value in the map's order, duplicates included."},
    {"items", as_cfunction(catching<items>), METH_NOARGS,
     "items($self)\n--\n\nEvery (name, value) pair in the map's order, duplicates included."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "HeaderMap(init=None)\n--\n\n"
                    "An ordered, case-insensitive, multi-valued header collection.\n"
                    "\n"
                    "Names are returned as lowercase str and values as bytes; both are\n"
                    "accepted as str (taken as UTF-8) or bytes. A name is 1 to 65535 token\n"
                    "characters; a value may hold tab, 32-126 and 128-255 bytes. Other types\n"
                    "raise TypeError, invalid names and values ValueError.\n"
                    "\n"
                    "Names keep the order of their first insertion; the values of one name\n"
                    "stay grouped in insertion order. A map holds at most 24,576 distinct\n"
                    "names; beyond that every storing operation raises\n"
                    "ValueError(\"header map is full (http::HeaderMap MAX_SIZE, 32768 entries)\")\n"
                    "and leaves the map unchanged.\n"
                    "\n"
                    "init is None, a HeaderMap (copied), a dict (its items in order, appended\n"
                    "as by add) or any iterable of elements e giving the name e[0] and the\n"
                    "value e[1].\n"
                    "\n"
                    "As a mapping: m[name] is the first value (KeyError with the lowercase\n"
                    "name when absent); m[name] = value makes value the name's only value\n"
                    "(an existing name keeps its place); del m[name] removes the name and\n"
                    "its values (the last name moves into its place); name in m tells\n"
                    "whether it is present (an invalid name raises); iteration gives a\n"
                    "snapshot of the distinct names; len() counts values, not names. Maps\n"
                    "compare equal when they hold the same names with the same values in\n"
                    "the same order per name; they are not hashable and not ordered.")},
    {Py_tp_new, as_slot(catching<new_header_map_object>)},
    {Py_tp_dealloc, as_slot(box_dealloc<Payload>)},
    {Py_tp_repr, as_slot(catching<repr>)},
    {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, as_slot(catching<richcompare>)},
    {Py_tp_iter, as_slot(catching<iter>)},
    {Py_tp_methods, kMethods},
    {Py_mp_length, as_slot(catching<length>)},
    {Py_sq_length, as_slot(catching<length>)},  // len() looks here first
    {Py_mp_subscript, as_slot(catching<subscript>)},
    {Py_mp_ass_subscript, as_slot(catching<ass_subscript>)},
    {Py_sq_contains, as_slot(catching<contains>)},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.HeaderMap", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

HeaderMapState::~HeaderMapState() {
  for (Recent& r : recent_) Py_XDECREF(r.key.load(std::memory_order_relaxed));
  map.for_each_handle(release_handle);
}

void HeaderMapState::release_handle(Handle h) noexcept { Py_DECREF(handle_object(h)); }

PyObject* header_map_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kSpec); });
}

bool is_header_map(PyObject* obj) {
  PyObject* type = header_map_type();
  if (type == nullptr) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace vintrel::py
