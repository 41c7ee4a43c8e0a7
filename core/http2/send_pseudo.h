// The pseudo-headers of the header blocks we send, built and checked from
// the caller's arguments before the HPACK encoder is touched, so a refused
// block leaves the table as it was.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/util/result.h"
#include "core/http2/error.h"
#include "core/http2/hpack/header.h"

namespace vintrel::h2 {

// By slot, in the order they go out (":method", ":scheme", ":authority",
// ":path", ":protocol", ":status"). The views point into the caller's
// arguments or into static text.
struct SendPseudo {
  std::array<std::optional<std::string_view>, hpack::kPseudoCount> slots{};

  std::optional<std::string_view> get(hpack::HeaderKind which) const noexcept { return slots[static_cast<size_t>(which)]; }
};

// ":method"; for CONNECT ":authority" if the URL has one and nothing else;
// otherwise ":scheme" (http and https in any case sent in lowercase, others
// as written) and ":authority" when present, and ":path" with the path and
// query, or "*" (OPTIONS) or "/" when there is none. Failures:
// "invalid method: invalid HTTP method", "invalid url: <uri error>".
Result<SendPseudo, InvalidValue> request_pseudo(std::string_view method, std::string_view url);
// ":status" as three digits; outside 100 to 999 "invalid status: invalid
// status code".
Result<SendPseudo, InvalidValue> response_pseudo(uint16_t status);

}  // namespace vintrel::h2
