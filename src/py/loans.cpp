#include "src/py/loans.h"

#include <cstring>
#include <utility>

namespace vintrel::py {

Loans::Lent Loans::lend(std::string_view view) {
  if (view.empty()) return {};
  loans_.push_back(Loan{++next_, view, {}, false});
  return {next_, view.size()};
}

void Loans::settle() {
  for (Loan& loan : loans_) {
    if (loan.settled) continue;
    loan.owned.assign(loan.view);
    loan.settled = true;
  }
}

void Loans::repay(uint64_t ticket, char* out) noexcept {
  for (size_t i = 0; i < loans_.size(); ++i) {
    if (loans_[i].ticket != ticket) continue;
    const std::string_view bytes = loans_[i].bytes();
    if (out != nullptr) std::memcpy(out, bytes.data(), bytes.size());
    if (i + 1 != loans_.size()) loans_[i] = std::move(loans_.back());
    loans_.pop_back();
    return;
  }
}

}  // namespace vintrel::py
