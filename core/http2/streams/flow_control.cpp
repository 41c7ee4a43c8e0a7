#include "core/http2/streams/flow_control.h"

#include <algorithm>
#include <limits>

namespace vintrel::h2 {
namespace {

// Stores value + delta in *slot when the exact result fits in int32.
bool apply(int32_t* slot, int64_t delta) noexcept {
  const int64_t next = int64_t{*slot} + delta;
  if (next < std::numeric_limits<int32_t>::min() || next > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  *slot = static_cast<int32_t>(next);
  return true;
}

FlowControl::Status refused() { return fail(FlowControlError{}); }

}  // namespace

bool FlowControl::has_unavailable() const noexcept {
  return window_ >= 0 && window_ > available_;
}

std::optional<uint32_t> FlowControl::unclaimed_capacity() const noexcept {
  if (window_ >= available_) return std::nullopt;
  // Exact in 64 bits: available - window may exceed int32 when the window
  // is negative (window -1, available 2^31-1 gives 2^31).
  const int64_t unclaimed = int64_t{available_} - int64_t{window_};
  const int64_t threshold = window_ / 2;  // truncates toward zero
  if (unclaimed < threshold) return std::nullopt;
  constexpr int64_t kMaxIncrement = std::numeric_limits<int32_t>::max();
  return static_cast<uint32_t>(std::min(unclaimed, kMaxIncrement));
}

FlowControl::Status FlowControl::claim_capacity(uint32_t capacity) noexcept {
  return apply(&available_, -int64_t{capacity}) ? Status{} : refused();
}

FlowControl::Status FlowControl::assign_capacity(uint32_t capacity) noexcept {
  return apply(&available_, int64_t{capacity}) ? Status{} : refused();
}

FlowControl::Status FlowControl::inc_window(uint32_t sz) noexcept {
  return apply(&window_, int64_t{sz}) ? Status{} : refused();
}

FlowControl::Status FlowControl::dec_send_window(uint32_t sz) noexcept {
  return apply(&window_, -int64_t{sz}) ? Status{} : refused();
}

FlowControl::Status FlowControl::dec_recv_window(uint32_t sz) noexcept {
  if (!apply(&window_, -int64_t{sz})) return refused();
  return apply(&available_, -int64_t{sz}) ? Status{} : refused();
}

FlowControl::Status FlowControl::send_data(uint32_t sz) noexcept {
  if (sz == 0) return {};
  if (sz > window_size()) return refused();
  window_ -= static_cast<int32_t>(sz);  // sz <= window, so no underflow
  return apply(&available_, -int64_t{sz}) ? Status{} : refused();
}

std::string FlowControl::debug() const {
  return "FlowControl { window_size: Window(" + std::to_string(window_) +
         "), available: Window(" + std::to_string(available_) + ") }";
}

}  // namespace vintrel::h2
