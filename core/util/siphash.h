// SipHash-1-3: a keyed 64-bit hash of a byte string. With a secret key, an
// outsider cannot predict which inputs collide, which is what a table that
// indexes peer-chosen strings needs to resist flooding.
#pragma once

#include <cstdint>
#include <string_view>

namespace vintrel {

struct SipKey {
  uint64_t k0;
  uint64_t k1;
};

uint64_t siphash13(const SipKey& key, std::string_view bytes) noexcept;

// A key drawn once per process from std::random_device (or, on a platform
// without one, from values an outside peer cannot see: addresses under ASLR
// and the clock). Never exposed.
const SipKey& process_sip_key() noexcept;

}  // namespace vintrel
