#include "src/py/once.h"

#include "src/py/guard.h"

namespace vintrel::py {

PyObject* OnceSlot::slow_get(Create create) {
  assert_unlocked("creating a once-only value");
  const std::thread::id self = std::this_thread::get_id();
  if (creator_.load(std::memory_order_acquire) == self) {
    // This thread is inside create() already, re-entered through the Python
    // code create() runs; waiting would wait on itself forever.
    PyErr_SetString(PyExc_RuntimeError,
                    "re-entrant initialisation of a vintrel module object");
    return nullptr;
  }
  if (!mu_.try_lock()) {
    // Another thread is creating the object and may need the interpreter
    // lock to finish: wait without holding it.
    Py_BEGIN_ALLOW_THREADS
    mu_.lock();
    Py_END_ALLOW_THREADS
  }
  std::unique_lock<std::mutex> hold(mu_, std::adopt_lock);
  PyObject* p = value_.load(std::memory_order_acquire);
  if (p == nullptr) {
    struct Creating {
      std::atomic<std::thread::id>& creator;
      ~Creating() { creator.store(std::thread::id{}, std::memory_order_release); }
    } creating{creator_};
    creator_.store(self, std::memory_order_release);
    p = create();
    if (p != nullptr) value_.store(p, std::memory_order_release);
  }
  return p;
}

}  // namespace vintrel::py
