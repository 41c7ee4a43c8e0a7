// Once-only slots: the process-wide objects (classes, exceptions, interned
// texts, the version) that are created on first use and kept for the life
// of the process.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "src/py/python.h"

namespace vintrel::py {

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

}  // namespace vintrel::py
