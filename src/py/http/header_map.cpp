// HeaderMap: an ordered, case-insensitive, multi-valued header collection, a
// thin shell over http::HeaderMap behind the object's own lock. Every
// argument is converted before the lock is taken, and results are copied
// out under the lock and turned into Python objects after it is released,
// so no interpreter code ever runs while the lock is held.
#include "src/py/http/header_map.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "src/py/errors.h"
#include "src/py/exports.h"

namespace vintrel::py {
namespace {

using http::HeaderMap;
using http::HeaderName;
using http::HeaderValue;
using http::NameScratch;
using Payload = HeaderMapPayload;

// Runs f on the core map under the object's lock.
template <class F>
decltype(auto) locked(PyObject* self, F&& f) {
  return payload_of<Payload>(self).with([&](HeaderMapState& s) -> decltype(auto) { return f(s.map); });
}

// Runs f on the whole state (map and cache) under the object's lock.
template <class F>
decltype(auto) locked_state(PyObject* self, F&& f) {
  return payload_of<Payload>(self).with(std::forward<F>(f));
}

PyObject* raise_full() { return raise_value_error(http::map_error_text(http::MapError::Full)); }

// A value copied out under the lock: short values stay on the stack.
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

// The whole map, copied under the lock, for the operations that list it.
HeaderMap snapshot(PyObject* self) {
  return locked(self, [](HeaderMap& m) { return m; });
}

PyObject* keys_of(const HeaderMap& m) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(m.name_count()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (size_t e = 0; e < m.name_count(); ++e) {
    PyObject* name = str_from(m.name(e));
    if (name == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, name);
  }
  return list;
}

PyObject* values_of(const HeaderMap& m) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(m.value_count()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (size_t e = 0; e < m.name_count(); ++e) {
    for (std::string_view v : m.values(e)) {
      PyObject* value = bytes_from(v);
      if (value == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, i++, value);
    }
  }
  return list;
}

PyObject* items_of(const HeaderMap& m) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(m.value_count()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (size_t e = 0; e < m.name_count(); ++e) {
    PyObject* name = str_from(m.name(e));  // shared by the pairs of one name
    if (name == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    for (std::string_view v : m.values(e)) {
      PyObject* value = bytes_from(v);
      PyObject* pair = value ? PyTuple_Pack(2, name, value) : nullptr;
      Py_XDECREF(value);
      if (pair == nullptr) {
        Py_DECREF(name);
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, i++, pair);
    }
    Py_DECREF(name);
  }
  return list;
}

// ---------------------------------------------------------------- construction

// Converts one (name, value) pair and appends it to a map that no other
// thread can see yet.
bool append_pair(PyObject* name_obj, PyObject* value_obj, HeaderMap& out) {
  NameScratch scratch;
  HeaderName name;
  HeaderValue value = HeaderValue::trusted({});
  if (!header_name_arg(name_obj, scratch, &name) || !header_value_arg(value_obj, &value)) return false;
  if (!out.append(name, value)) {
    raise_full();
    return false;
  }
  return true;
}

bool fill_from_iterable(PyObject* init, HeaderMap& out) {
  PyObject* it = PyObject_GetIter(init);
  if (it == nullptr) return false;
  bool ok = true;
  while (PyObject* e = PyIter_Next(it)) {
    PyObject* name;
    PyObject* value;
    if (PyTuple_CheckExact(e) && PyTuple_GET_SIZE(e) >= 2) {
      name = Py_NewRef(PyTuple_GET_ITEM(e, 0));
      value = Py_NewRef(PyTuple_GET_ITEM(e, 1));
    } else {
      // Any other element: e[0] and e[1], whatever its length.
      PyObject* zero = PyLong_FromLong(0);
      PyObject* one = zero ? PyLong_FromLong(1) : nullptr;
      name = one ? PyObject_GetItem(e, zero) : nullptr;
      value = name ? PyObject_GetItem(e, one) : nullptr;
      Py_XDECREF(zero);
      Py_XDECREF(one);
    }
    ok = value != nullptr && append_pair(name, value, out);
    Py_XDECREF(name);
    Py_XDECREF(value);
    Py_DECREF(e);
    if (!ok) break;
  }
  Py_DECREF(it);
  return ok && !PyErr_Occurred();
}

// Builds the new map's contents completely before any object exists.
bool fill_from(PyObject* init, HeaderMap& out) {
  if (is_none(init)) return true;
  if (is_header_map(init)) {
    out = snapshot(init);
    return true;
  }
  if (PyDict_Check(init)) {
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
  return fill_from_iterable(init, out);
}

constexpr Params<1> kInit{"HeaderMap", {"init"}, 0};

PyObject* new_header_map_object(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[1];
  if (!parse_args(kInit, args, kwargs, arg)) return nullptr;
  HeaderMap contents;
  if (!fill_from(arg[0], contents)) return nullptr;
  return new_box<Payload>(type, std::move(contents));
}

// ---------------------------------------------------------------- lookups

// The first value of `name` as bytes (a new reference): the cached object
// when there is one, else a new one, cached for the next read. Returns
// nullptr with *present false when the name is absent, or with an exception
// set when making the bytes failed.
PyObject* first_bytes(PyObject* self, HeaderName name, bool* present) {
  ValueCopy copy;
  size_t index = 0;
  uint64_t generation = 0;
  PyObject* hit = nullptr;
  *present = locked_state(self, [&](HeaderMapState& s) {
    const size_t e = s.map.find(name);
    if (e == HeaderMap::npos) return false;
    index = e;
    hit = s.cached(index);
    if (hit == nullptr) {
      copy.set(s.map.values(e).front());
      generation = s.generation();
    }
    return true;
  });
  if (!*present || hit != nullptr) return hit;
  PyObject* bytes = bytes_from(copy.view());
  if (bytes != nullptr) locked_state(self, [&](HeaderMapState& s) { s.remember(index, bytes, generation); });
  return bytes;
}

PyObject* raise_key_error(HeaderName name) {
  PyObject* key = str_from(name.view());
  if (key == nullptr) return nullptr;
  PyErr_SetObject(PyExc_KeyError, key);
  Py_DECREF(key);
  return nullptr;
}

constexpr Params<2> kGet{"get", {"name", "default"}, 1};

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kGet, args, nargs, kwnames, arg)) return nullptr;
  NameScratch scratch;
  HeaderName name;
  if (!header_name_arg(arg[0], scratch, &name)) return nullptr;
  bool present;
  PyObject* value = first_bytes(self, name, &present);
  if (present) return value;
  return Py_NewRef(arg[1] ? arg[1] : Py_None);
}

constexpr Params<1> kGetAll{"get_all", {"name"}, 1};

PyObject* get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(kGetAll, args, nargs, kwnames, arg)) return nullptr;
  NameScratch scratch;
  HeaderName name;
  if (!header_name_arg(arg[0], scratch, &name)) return nullptr;
  const std::vector<std::string> values = locked(self, [&](HeaderMap& m) {
    const HeaderMap::Values v = m.get_all(name);
    return std::vector<std::string>(v.begin(), v.end());
  });
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return list;
  Py_ssize_t i = 0;
  for (std::string_view v : values) {
    PyObject* b = bytes_from(v);
    if (b == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, b);
  }
  return list;
}

PyObject* subscript(PyObject* self, PyObject* key) {
  NameScratch scratch;
  HeaderName name;
  if (!header_name_arg(key, scratch, &name)) return nullptr;
  bool present;
  PyObject* value = first_bytes(self, name, &present);
  if (present) return value;
  return raise_key_error(name);
}

int contains(PyObject* self, PyObject* key) {
  NameScratch scratch;
  HeaderName name;
  if (!header_name_arg(key, scratch, &name)) return -1;
  return locked(self, [&](HeaderMap& m) { return m.contains(name); }) ? 1 : 0;
}

// ---------------------------------------------------------------- changes

constexpr Params<2> kAdd{"add", {"name", "value"}, 2};

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kAdd, args, nargs, kwnames, arg)) return nullptr;
  NameScratch scratch;
  HeaderName name;
  HeaderValue value = HeaderValue::trusted({});
  if (!header_name_arg(arg[0], scratch, &name) || !header_value_arg(arg[1], &value)) return nullptr;
  // Appending never changes a first value nor moves an entry: the cache of
  // first values stays valid.
  const bool ok = locked(self, [&](HeaderMap& m) { return m.append(name, value).ok(); });
  return ok ? none() : raise_full();
}

constexpr Params<2> kSetdefault{"setdefault", {"name", "value"}, 2};

PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[2];
  if (!parse_args(kSetdefault, args, nargs, kwnames, arg)) return nullptr;
  NameScratch scratch;
  HeaderName name;
  if (!header_name_arg(arg[0], scratch, &name)) return nullptr;
  // A present name leaves `value` unconverted and unchecked.
  bool present;
  PyObject* existing = first_bytes(self, name, &present);
  if (present) return existing;
  HeaderValue value = HeaderValue::trusted({});
  if (!header_value_arg(arg[1], &value)) return nullptr;
  // Another thread may have stored the name meanwhile: the core operation
  // decides again under the lock.
  bool ok = true;
  bool stored = false;
  ValueCopy result;
  locked_state(self, [&](HeaderMapState& s) {
    const size_t names = s.map.name_count();
    auto r = s.map.setdefault(name, value);
    if (!r) {
      ok = false;
      return;
    }
    stored = s.map.name_count() > names;
    if (!stored) result.set(*r);
  });
  if (!ok) return raise_full();
  return bytes_from(stored ? value.view() : result.view());
}

int ass_subscript(PyObject* self, PyObject* key, PyObject* value_obj) {
  NameScratch scratch;
  HeaderName name;
  if (!header_name_arg(key, scratch, &name)) return -1;
  std::vector<PyObject*> stale;
  if (value_obj == nullptr) {
    // Removal moves the last entry into the hole: every cached index moves.
    const bool removed = locked_state(self, [&](HeaderMapState& s) {
      if (!s.map.remove(name)) return false;
      stale = s.take_stale();
      return true;
    });
    release_stale(stale);
    if (removed) return 0;
    raise_key_error(name);
    return -1;
  }
  HeaderValue value = HeaderValue::trusted({});
  if (!header_value_arg(value_obj, &value)) return -1;
  const bool ok = locked_state(self, [&](HeaderMapState& s) {
    if (!s.map.replace(name, value)) return false;
    stale = s.take_stale();
    return true;
  });
  release_stale(stale);
  if (ok) return 0;
  raise_full();
  return -1;
}

// ---------------------------------------------------------------- listing

PyObject* keys(PyObject* self, PyObject*) { return keys_of(snapshot(self)); }
PyObject* values(PyObject* self, PyObject*) { return values_of(snapshot(self)); }
PyObject* items(PyObject* self, PyObject*) { return items_of(snapshot(self)); }

PyObject* iter(PyObject* self) {
  PyObject* list = keys_of(snapshot(self));
  if (list == nullptr) return nullptr;
  PyObject* it = PyObject_GetIter(list);
  Py_DECREF(list);
  return it;
}

Py_ssize_t length(PyObject* self) {
  return static_cast<Py_ssize_t>(locked(self, [](HeaderMap& m) { return m.value_count(); }));
}

PyObject* repr(PyObject* self) {
  PyObject* list = items_of(snapshot(self));
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
    // Both locks at once; std::scoped_lock orders the acquisition so that two
    // threads comparing a == b and b == a cannot deadlock.
    Payload& a = payload_of<Payload>(self);
    Payload& b = payload_of<Payload>(other);
    std::scoped_lock hold(a.mu, b.mu);
    equal = a.value.map == b.value.map;
  }
  return bool_from(op == Py_EQ ? equal : !equal);
}

PyMethodDef kMethods[] = {
    {"get", as_cfunction(get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, name, default=None)\n--\n\n"
     "The first value of name, or default when the name is absent."},
    {"get_all", as_cfunction(get_all), METH_FASTCALL | METH_KEYWORDS,
     "get_all($self, name)\n--\n\n"
     "Every value of name in insertion order; an empty list when absent."},
    {"add", as_cfunction(add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, name, value)\n--\n\n"
     "Append value to name's values; a new name goes to the end."},
    {"setdefault", as_cfunction(setdefault), METH_FASTCALL | METH_KEYWORDS,
     "setdefault($self, name, value)\n--\n\n"
     "The first value of name when present (value is then ignored); otherwise "
     "store value as the name's only value and return it."},
    {"keys", keys, METH_NOARGS, "keys($self)\n--\n\nThe distinct names, in order."},
    {"values", values, METH_NOARGS,
     "values($self)\n--\n\nEvery value in the map's order, duplicates included."},
    {"items", items, METH_NOARGS,
     "items($self)\n--\n\nEvery (name, value) pair in the map's order, duplicates included."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "HeaderMap(init=None)\n--\n\n"
                    "An ordered, case-insensitive, multi-valued header collection. Names are "
                    "returned as lowercase str, values as bytes; both are accepted as str "
                    "(UTF-8) or bytes. Names keep the order of their first insertion and the "
                    "values of one name stay grouped in insertion order. init is None, a "
                    "HeaderMap, a dict or an iterable of (name, value) pairs. len() counts "
                    "values; at most 24,576 distinct names.")},
    {Py_tp_new, reinterpret_cast<void*>(new_header_map_object)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Payload>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_tp_methods, kMethods},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(contains)},
    {0, nullptr},
};

PyType_Spec kSpec = {"vintrel._vintrel.HeaderMap", sizeof(Box<Payload>), 0, kTypeFlags, kSlots};

}  // namespace

HeaderMapState::~HeaderMapState() {
  for (PyObject* o : first_bytes_) Py_XDECREF(o);
}

PyObject* HeaderMapState::cached(size_t index) const noexcept {
  PyObject* o = index < first_bytes_.size() ? first_bytes_[index] : nullptr;
  return o != nullptr ? Py_NewRef(o) : nullptr;
}

void HeaderMapState::remember(size_t index, PyObject* bytes, uint64_t generation) {
  if (generation != generation_ || index >= map.name_count()) return;
  if (first_bytes_.size() <= index) first_bytes_.resize(map.name_count(), nullptr);
  if (first_bytes_[index] == nullptr) first_bytes_[index] = Py_NewRef(bytes);
}

std::vector<PyObject*> HeaderMapState::take_stale() noexcept {
  ++generation_;
  return std::exchange(first_bytes_, {});
}

void release_stale(std::vector<PyObject*>& stale) noexcept {
  for (PyObject* o : stale) Py_XDECREF(o);
  stale.clear();
}

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

bool header_name_arg(PyObject* obj, NameScratch& scratch, HeaderName* out) {
  std::string_view raw;
  if (!header_part(obj, HeaderPart::Name, &raw)) return false;
  *out = http::fold_header_name(raw, scratch);
  if (!out->valid()) {
    raise_value_error(http::field_error_text(http::FieldError::InvalidName));
    return false;
  }
  return true;
}

bool header_value_arg(PyObject* obj, HeaderValue* out) {
  std::string_view raw;
  if (!header_part(obj, HeaderPart::Value, &raw)) return false;
  auto value = http::parse_header_value(raw);
  if (!value) {
    raise_value_error(http::field_error_text(value.error()));
    return false;
  }
  *out = *value;
  return true;
}

bool headers_arg(PyObject* obj, const char* argname, bool allow_none, HeaderMap* out) {
  if (allow_none && is_none(obj)) {
    out->clear();
    return true;
  }
  if (!is_header_map(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap%s, not %s", argname,
                 allow_none ? " or None" : "", Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = snapshot(obj);
  return true;
}

PyObject* new_header_map(HeaderMap&& map) {
  PyObject* type = header_map_type();
  if (type == nullptr) return nullptr;
  return new_box<Payload>(reinterpret_cast<PyTypeObject*>(type), std::move(map));
}

}  // namespace vintrel::py
