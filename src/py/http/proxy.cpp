// ProxyMatcher and ProxyIntercept: immutable shells over proxy::Matcher and
// proxy::Intercept. Neither holds an interpreter object, so neither needs a
// lock: any number of threads may call intercept at once.
//
// Only an argument of the wrong type raises: the TypeError of text_arg,
// "argument '<name>' must be str, not <type>" (None is also accepted where
// the signature shows a default of None). A str that has no UTF-8 form
// (a lone surrogate) is never a usable URL: as a destination it gives None,
// as a proxy it gives no proxy, and in `no` each such character stands for
// "?" so that the other rules still apply.
#include <cstdlib>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "core/proxy/matcher.h"
#include "src/py/args.h"
#include "src/py/event_class.h"
#include "src/py/exports.h"
#include "src/py/guard.h"
#include "src/py/objects.h"
#include "src/py/once.h"
#include "src/py/repr.h"
#include "src/py/results.h"

namespace vintrel::py {
namespace {

// -------------------------------------------------------- text arguments

enum class TextStatus { Ok, Unencodable, Error };

TextStatus text_or_unencodable(PyObject* obj, const char* argname, std::string_view* out) {
  if (text_arg(obj, argname, out)) return TextStatus::Ok;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return TextStatus::Error;
  PyErr_Clear();
  return TextStatus::Unencodable;
}

// An optional str argument of from_parts; `replaced` keeps alive the bytes
// of a str whose lone surrogates were replaced.
bool optional_text(PyObject* obj, const char* argname, bool replace_unencodable,
                   std::optional<std::string_view>* out, PyObject** replaced) {
  *out = std::nullopt;
  if (is_none(obj)) return true;
  std::string_view text;
  switch (text_or_unencodable(obj, argname, &text)) {
    case TextStatus::Ok:
      *out = text;
      return true;
    case TextStatus::Error:
      return false;
    case TextStatus::Unencodable:
      break;
  }
  if (!replace_unencodable) return true;
  *replaced = PyUnicode_AsEncodedString(obj, "utf-8", "replace");
  if (*replaced == nullptr) return false;
  *out = std::string_view(PyBytes_AS_STRING(*replaced), static_cast<size_t>(PyBytes_GET_SIZE(*replaced)));
  return true;
}

// -------------------------------------------------------- ProxyIntercept

using InterceptPayload = proxy::Intercept;

PyObject* new_intercept(proxy::Intercept value) { return new_event(proxy_intercept_type(), std::move(value)); }

PyObject* intercept_basic_auth(PyObject* self, PyObject*) {
  const auto& p = payload_of<InterceptPayload>(self);
  return p.auth == proxy::AuthKind::Basic ? str_from(p.basic) : none();
}

PyObject* intercept_raw_auth(PyObject* self, PyObject*) {
  const auto& p = payload_of<InterceptPayload>(self);
  if (p.auth != proxy::AuthKind::Raw) return none();
  PyObject* user = str_from(p.user);
  PyObject* password = user ? str_from(p.password) : nullptr;
  PyObject* pair = password ? PyTuple_Pack(2, user, password) : nullptr;
  Py_XDECREF(user);
  Py_XDECREF(password);
  return pair;
}

// The uri between double quotes; see util::append_quoted for the escapes.
PyObject* intercept_repr(PyObject* self) {
  return repr_from(Repr("ProxyIntercept").text("uri", payload_of<InterceptPayload>(self).uri));
}

PyMethodDef kInterceptMethods[] = {
    {"basic_auth", as_cfunction(catching<intercept_basic_auth>), METH_NOARGS,
     "basic_auth($self)\n--\n\n"
     "The Proxy-Authorization value \"Basic <base64>\" for an http or https\n"
     "proxy whose URL carried a userinfo, else None.\n"
     "\n"
     "Send it as the proxy-authorization header of the CONNECT request (or of\n"
     "each request sent to an http proxy)."},
    {"raw_auth", as_cfunction(catching<intercept_raw_auth>), METH_NOARGS,
     "raw_auth($self)\n--\n\n"
     "The tuple (user, password) for a SOCKS proxy whose URL carried a\n"
     "userinfo, else None: the credentials of the SOCKS handshake."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kInterceptGetSet[] = {
    event_field<&proxy::Intercept::uri>(
        "uri", "The proxy URL as scheme://host[:port]/, without userinfo, path or query."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInterceptSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The proxy chosen for one destination: its URL without userinfo and\n"
                    "the credentials that the userinfo carried. Returned by\n"
                    "ProxyMatcher.intercept; immutable.\n"
                    "\n"
                    "Connect to uri instead of the destination (through an http or https\n"
                    "proxy, an https destination needs a CONNECT tunnel).")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(box_dealloc<InterceptPayload>)},
    {Py_tp_repr, as_slot(catching<intercept_repr>)},
    {Py_tp_methods, kInterceptMethods},
    {Py_tp_getset, kInterceptGetSet},
    {0, nullptr},
};

PyType_Spec kInterceptSpec = event_spec<InterceptPayload>("vintrel._vintrel.ProxyIntercept", kInterceptSlots);

// -------------------------------------------------------- ProxyMatcher

using MatcherPayload = proxy::Matcher;

PyObject* new_matcher(proxy::Matcher value) {
  PyObject* type = proxy_matcher_type();
  if (type == nullptr) return nullptr;
  return new_box<MatcherPayload>(reinterpret_cast<PyTypeObject*>(type), std::move(value));
}

// One variable of the real process environment, as UTF-8; the interpreter
// lock keeps os.environ writers out while it is read.
std::optional<std::string> environment_variable(const char* name) {
#ifdef _WIN32
  // The narrow environment holds the ANSI code page's bytes: read the wide
  // one (where os.environ writes) and convert it. The names are ASCII. A
  // lone surrogate becomes U+FFFD.
  std::wstring wide_name;
  for (const char* p = name; *p != '\0'; ++p) wide_name += static_cast<wchar_t>(*p);
  std::wstring value(64, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set and empty
    }
    if (n < value.size()) {  // fitted: n characters, without the terminator
      value.resize(n);
      break;
    }
    value.resize(n);  // too small: n is the size needed, terminator included
  }
  const int wide_len = static_cast<int>(value.size());
  const int len = WideCharToMultiByte(CP_UTF8, 0, value.data(), wide_len, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return std::string();
  std::string out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.data(), wide_len, out.data(), len, nullptr, nullptr);
  return out;
#else
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
#endif
}

PyObject* matcher_from_env(PyObject*, PyObject*) {
  return new_matcher(proxy::Matcher::from_env(environment_variable));
}

constexpr Params<4> kFromParts{"from_parts", {"all", "http", "https", "no"}, 0, 0};

PyObject* matcher_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[4];
  if (!parse_args(kFromParts, args, nargs, kwnames, arg)) return nullptr;
  std::optional<std::string_view> text[4];
  PyObject* replaced = nullptr;
  for (size_t i = 0; i < 4; ++i) {
    if (!optional_text(arg[i], kFromParts.names[i], i == 3, &text[i], &replaced)) return nullptr;
  }
  PyObject* result = new_matcher(proxy::Matcher::from_parts(text[0], text[1], text[2], text[3]));
  Py_XDECREF(replaced);
  return result;
}

constexpr Params<1> kIntercept{"intercept", {"url"}, 1};

PyObject* matcher_intercept(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[1];
  if (!parse_args(kIntercept, args, nargs, kwnames, arg)) return nullptr;
  std::string_view url;
  switch (text_or_unencodable(arg[0], "url", &url)) {
    case TextStatus::Ok:
      break;
    case TextStatus::Unencodable:
      return none();
    case TextStatus::Error:
      return nullptr;
  }
  auto chosen = payload_of<MatcherPayload>(self).intercept(url);
  return chosen ? new_intercept(std::move(*chosen)) : none();
}

PyMethodDef kMatcherMethods[] = {
    {"from_env", as_cfunction(catching<matcher_from_env>), METH_NOARGS | METH_STATIC,
     "from_env()\n--\n\n"
     "A matcher from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY.\n"
     "\n"
     "Each setting comes from its uppercase variable when that is set (even\n"
     "to the empty string, which means no proxy), else from its lowercase\n"
     "twin. When REQUEST_METHOD is set (a CGI program, where HTTP_PROXY may\n"
     "come from a request header), the matcher proxies nothing. The\n"
     "environment is read once, now: build a new matcher after it changes."},
    {"from_parts", as_cfunction(catching<matcher_from_parts>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_parts(*, all=None, http=None, https=None, no=None)\n--\n\n"
     "A matcher from explicit settings; None means unset.\n"
     "\n"
     "all, http and https are proxy URLs (no scheme means http; http,\n"
     "https, socks4, socks4a, socks5 and socks5h are supported); an unset,\n"
     "empty or unusable http or https proxy falls back to all. no is a\n"
     "comma-separated list of host names, domain suffixes (\".example.com\"),\n"
     "\"*\", IP addresses and CIDR networks."},
    {"intercept", as_cfunction(catching<matcher_intercept>), METH_FASTCALL | METH_KEYWORDS,
     "intercept($self, url)\n--\n\n"
     "The ProxyIntercept for the destination url, or None when it goes direct.\n"
     "\n"
     "Call it for each request's URL before connecting. None also for URLs\n"
     "that do not parse, that have no host, or whose scheme is neither http\n"
     "nor https."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMatcherSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Proxy selection: the proxies for http and https destinations and the\n"
                    "no-proxy rules, fixed when built by from_env() or from_parts();\n"
                    "immutable.\n"
                    "\n"
                    "Calling the class raises TypeError.")},
    {Py_tp_new, as_slot(refuse_new)},
    {Py_tp_dealloc, as_slot(box_dealloc<MatcherPayload>)},
    {Py_tp_methods, kMatcherMethods},
    {0, nullptr},
};

PyType_Spec kMatcherSpec = {"vintrel._vintrel.ProxyMatcher", sizeof(Box<MatcherPayload>), 0,
                            kNoConstructorFlags, kMatcherSlots};

}  // namespace

PyObject* proxy_matcher_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kMatcherSpec); });
}

PyObject* proxy_intercept_type() {
  static OnceSlot slot;
  return slot.get([] { return make_type(&kInterceptSpec); });
}

}  // namespace vintrel::py
