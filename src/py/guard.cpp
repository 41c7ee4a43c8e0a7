#include "src/py/guard.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace vintrel::py {

// ---------------------------------------------------------------- lock rule

#ifdef VINTREL_LOCK_CHECKS
int& held_locks() noexcept {
  thread_local int held = 0;
  return held;
}

void fail_locked(const char* what) noexcept {
  std::fprintf(stderr, "vintrel: %s while holding an object's lock\n", what);
  std::fflush(stderr);
  std::abort();
}
#endif

// ---------------------------------------------------------------- entry guard

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "unexpected internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected internal error");
  }
}

}  // namespace vintrel::py
