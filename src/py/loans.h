// Loans: received bytes lent out of an object's buffer under its lock and
// copied into the result bytes after it is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/py/objects.h"
#include "src/py/python.h"
#include "src/py/results.h"

namespace vintrel::py {

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

}  // namespace vintrel::py
