// The 9-byte HTTP/2 frame head, the frame types and flags, and the
// big-endian integer reads and writes that every frame layout is made of.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vintrel::h2 {

// Unsigned 31-bit stream identifier; 0 names the connection.
using StreamId = uint32_t;

inline constexpr size_t kFrameHeadLen = 9;
// The largest value the 24-bit length field can carry.
inline constexpr uint32_t kMaxFramePayload = 0xFFFFFF;
// The default SETTINGS_MAX_FRAME_SIZE, also the smallest a peer may set.
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;
// Bits 0 to 30 of a stream-id field; bit 31 is reserved.
inline constexpr uint32_t kStreamIdMask = 0x7FFFFFFF;

namespace frame_type {
inline constexpr uint8_t kData = 0x0;
inline constexpr uint8_t kHeaders = 0x1;
inline constexpr uint8_t kPriority = 0x2;
inline constexpr uint8_t kRstStream = 0x3;
inline constexpr uint8_t kSettings = 0x4;
inline constexpr uint8_t kPushPromise = 0x5;
inline constexpr uint8_t kPing = 0x6;
inline constexpr uint8_t kGoAway = 0x7;
inline constexpr uint8_t kWindowUpdate = 0x8;
inline constexpr uint8_t kContinuation = 0x9;
}  // namespace frame_type

namespace frame_flag {
inline constexpr uint8_t kEndStream = 0x01;
inline constexpr uint8_t kAck = 0x01;
inline constexpr uint8_t kEndHeaders = 0x04;
inline constexpr uint8_t kPadded = 0x08;
inline constexpr uint8_t kPriority = 0x20;
}  // namespace frame_flag

inline uint32_t read_be24(const char* p) noexcept {
  return static_cast<uint32_t>(static_cast<uint8_t>(p[0])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(p[1])) << 8 | static_cast<uint8_t>(p[2]);
}

inline uint32_t read_be32(const char* p) noexcept {
  return static_cast<uint32_t>(static_cast<uint8_t>(p[0])) << 24 | read_be24(p + 1);
}

inline uint16_t read_be16(const char* p) noexcept {
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) << 8 | static_cast<uint8_t>(p[1]));
}

inline char* put_be16(char* p, uint16_t v) noexcept {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v & 0xFF);
  return p + 2;
}

inline char* put_be32(char* p, uint32_t v) noexcept {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>((v >> 16) & 0xFF);
  p[2] = static_cast<char>((v >> 8) & 0xFF);
  p[3] = static_cast<char>(v & 0xFF);
  return p + 4;
}

struct FrameHead {
  uint32_t length;  // payload octets, the head not included
  uint8_t type;
  uint8_t flags;
  StreamId stream_id;

  bool has(uint8_t flag) const noexcept { return (flags & flag) != 0; }
};

// Reads the head from the 9 octets at `p`; the reserved bit is dropped.
inline FrameHead parse_frame_head(const char* p) noexcept {
  return {read_be24(p), static_cast<uint8_t>(p[3]), static_cast<uint8_t>(p[4]),
          read_be32(p + 5) & kStreamIdMask};
}

// Writes the 9 octets of `head` at `p` (length below 2^24, stream id below
// 2^31: the writer checks both first) and returns the end.
inline char* put_frame_head(char* p, const FrameHead& head) noexcept {
  p[0] = static_cast<char>((head.length >> 16) & 0xFF);
  p[1] = static_cast<char>((head.length >> 8) & 0xFF);
  p[2] = static_cast<char>(head.length & 0xFF);
  p[3] = static_cast<char>(head.type);
  p[4] = static_cast<char>(head.flags);
  return put_be32(p + 5, head.stream_id & kStreamIdMask);
}

}  // namespace vintrel::h2
