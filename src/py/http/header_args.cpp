#include "src/py/http/header_args.h"

#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/exports.h"
#include "src/py/objects.h"

#include <cstring>
#include <type_traits>

namespace vintrel::py {
namespace {

// Names recently converted, by the address of the argument: programs pass
// the same few name objects (str constants) again and again, and checking
// a name against a remembered copy costs less than validating, folding and
// hashing it anew. An entry keeps the name's bytes (already valid and
// lowercase) and their hash, and is used only when the argument's bytes
// equal that copy exactly, so an address reused by another object with
// other contents simply misses. Per thread: no entry is ever shared, and
// the cache holds no references (nothing to release at thread exit).
// No member initialisers: a trivial type is zero-filled with the thread's
// storage, with no initialisation guard on every access.
struct RecentName {
  const void* key;
  uint32_t hash;
  uint32_t len;
  char bytes[40];
};
static_assert(std::is_trivial_v<RecentName>);
constexpr size_t kRecentNames = 64;  // a power of two
thread_local RecentName recent_names[kRecentNames];

RecentName& recent_name(const void* key) noexcept {
  return recent_names[(reinterpret_cast<uintptr_t>(key) >> 4) & (kRecentNames - 1)];
}

}  // namespace

bool name_arg(PyObject* obj, NameArg& out) {
  std::string_view raw;
  if (!header_part(obj, HeaderPart::Name, &raw)) return false;
  RecentName& r = recent_name(obj);
  if (r.key == obj && r.len == raw.size() && std::memcmp(r.bytes, raw.data(), raw.size()) == 0) {
    out.name = http::HeaderName::trusted(raw, r.hash);
    out.reuse = PyUnicode_CheckExact(obj) ? obj : nullptr;
    return true;
  }
  out.name = http::fold_header_name(raw, out.scratch);
  if (!out.name.valid()) {
    raise_value_error(http::field_error_text(http::FieldError::InvalidName));
    return false;
  }
  // The name views the argument's own characters only when folding changed
  // nothing; a str's characters are its UTF-8 form only when it is ASCII,
  // which every valid name is.
  const bool unchanged = out.name.data() == raw.data();
  out.reuse = (unchanged && PyUnicode_CheckExact(obj)) ? obj : nullptr;
  if (unchanged && raw.size() <= sizeof(r.bytes)) {
    r.key = obj;
    r.hash = out.name.fast_hash();
    r.len = static_cast<uint32_t>(raw.size());
    std::memcpy(r.bytes, raw.data(), raw.size());
  }
  return true;
}

bool value_arg(PyObject* obj, ValueArg& out) {
  std::string_view raw;
  if (!header_part(obj, HeaderPart::Value, &raw)) return false;
  if (!http::is_valid_header_value(raw)) {
    raise_value_error(http::field_error_text(http::FieldError::InvalidValue));
    return false;
  }
  out.value = http::HeaderValue::trusted(raw);
  out.reuse = PyBytes_CheckExact(obj) ? obj : nullptr;
  return true;
}

bool check_headers_arg(PyObject* obj, const char* argname, bool allow_none) {
  if ((allow_none && is_none(obj)) || is_header_map(obj)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s' must be HeaderMap%s, not %s", argname,
               allow_none ? " or None" : "", Py_TYPE(obj)->tp_name);
  return false;
}

bool headers_arg(PyObject* obj, const char* argname, bool allow_none, http::HeaderMap* out) {
  if (!check_headers_arg(obj, argname, allow_none)) return false;
  if (is_none(obj)) {
    out->clear();
    return true;
  }
  // The copy leaves the handles behind: they stay the source's.
  locked<HeaderMapState>(obj, [&](HeaderMapState& s) { *out = s.map; });
  return true;
}

PyObject* new_header_map(http::HeaderMap&& map) {
  PyObject* type = header_map_type();
  if (type == nullptr) return nullptr;
  return new_box<HeaderMapPayload>(reinterpret_cast<PyTypeObject*>(type), std::move(map));
}

}  // namespace vintrel::py
