// One HTTP/2 flow-control window: the window as the peer knows it and the
// capacity assigned to the window's user. Both stay in the signed 32-bit
// range; an update whose exact result would leave it is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/util/result.h"
#include "core/http2/error.h"

namespace vintrel::h2 {

class FlowControl {
 public:
  using Status = Result<void, FlowControlError>;

  // The window if positive, else 0.
  uint32_t window_size() const noexcept { return window_ > 0 ? static_cast<uint32_t>(window_) : 0; }
  int32_t available() const noexcept { return available_; }
  int32_t raw_window() const noexcept { return window_; }
  bool has_unavailable() const noexcept;
  // The increment of a WINDOW_UPDATE worth sending, if any. The shortfall
  // is computed exactly, but the increment offered is capped at 2^31-1, the
  // largest a WINDOW_UPDATE may carry: a negative window can leave a
  // shortfall of up to 2^32-1, which no single frame can announce.
  std::optional<uint32_t> unclaimed_capacity() const noexcept;

  // Amounts are taken at their true unsigned value: an amount of 2^31 or
  // more is never read as a negative number. Any result outside the signed
  // 32-bit range is refused, so a huge increment can never shrink a window.
  Status claim_capacity(uint32_t capacity) noexcept;
  Status assign_capacity(uint32_t capacity) noexcept;
  Status inc_window(uint32_t sz) noexcept;
  Status dec_send_window(uint32_t sz) noexcept;
  // Lowers the window, then available; a failure of the second step keeps
  // the lowered window.
  Status dec_recv_window(uint32_t sz) noexcept;
  // Records sz octets of DATA sent; sz above window_size() is refused.
  Status send_data(uint32_t sz) noexcept;

  // FlowControl { window_size: Window(w), available: Window(a) }
  std::string debug() const;

 private:
  int32_t window_ = 0;
  int32_t available_ = 0;
};

}  // namespace vintrel::h2
