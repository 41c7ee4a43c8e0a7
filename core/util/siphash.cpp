#include "core/util/siphash.h"

#include <chrono>
#include <random>

namespace vintrel {

namespace {

constexpr uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

uint64_t load_le64(const char* p) noexcept {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace

uint64_t siphash13(const SipKey& key, std::string_view bytes) noexcept {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const char* p = bytes.data();
  const size_t n = bytes.size();
  const size_t whole = n & ~static_cast<size_t>(7);
  for (size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));
  uint64_t last = static_cast<uint64_t>(n) << 56;
  for (size_t i = whole; i < n; ++i) last |= static_cast<uint64_t>(static_cast<uint8_t>(p[i])) << (8 * (i - whole));
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

const SipKey& process_sip_key() noexcept {
  static const SipKey key = []() noexcept {
    SipKey k{0, 0};
    try {
      std::random_device rd;
      k.k0 = (static_cast<uint64_t>(rd()) << 32) ^ rd();
      k.k1 = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
      static int anchor;
      const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      k.k0 = siphash13({now, reinterpret_cast<uintptr_t>(&anchor)}, "k0");
      k.k1 = siphash13({reinterpret_cast<uintptr_t>(&k), now}, "k1");
    }
    return k;
  }();
  return key;
}

}  // namespace vintrel
