// Load rules of every frame type: each check, its order, and the exact
// message a connection-level failure carries.
#include <gtest/gtest.h>

#include "core/http2/frame/load.h"
#include "test_h2_support.h"

namespace vintrel::h2 {
namespace {

using test::be32;
using test::setting;

// "ok", "stream error", or the H2ProtocolError message.
template <class T>
std::string outcome(const Loaded<T>& r) {
  if (r) return "ok";
  return load_failure(r.error()).message;
}

std::string load(uint8_t type, uint8_t flags, uint32_t stream, const std::string& payload) {
  const FrameHead head{static_cast<uint32_t>(payload.size()), type, flags, stream};
  switch (type) {
    case frame_type::kData: return outcome(load_data(head, payload));
    case frame_type::kHeaders: {
      auto r = load_headers(head, payload);
      return r && r->self_dependent ? "stream error" : outcome(r);
    }
    case frame_type::kPriority: {
      auto r = load_priority(head, payload);
      return r && r->self_dependent ? "stream error" : outcome(r);
    }
    case frame_type::kRstStream: return outcome(load_rst_stream(head, payload));
    case frame_type::kSettings: return outcome(load_settings(head, payload));
    case frame_type::kPushPromise: return load_failure(push_promise_error()).message;
    case frame_type::kPing: return outcome(load_ping(head, payload));
    case frame_type::kGoAway: return outcome(load_go_away(head, payload));
    case frame_type::kWindowUpdate: return outcome(load_window_update(head, payload));
  }
  return "unknown";
}

struct Case {
  const char* what;
  uint8_t type;
  uint8_t flags;
  uint32_t stream;
  std::string payload;
  const char* expect;
};

constexpr const char* kOk = "ok";
constexpr uint8_t kPad = frame_flag::kPadded, kPrio = frame_flag::kPriority, kAck = frame_flag::kAck;

TEST(H2FrameLoad, ChecksInOrderWithExactMessages) {
  const std::string f = "failed to load frame: ";
  const Case cases[] = {
      {"data on stream 0", 0, 0, 0, "x", "InvalidStreamId"},
      {"data padded empty", 0, kPad, 1, "", "TooMuchPadding"},
      {"data pad = len - 1", 0, kPad, 1, std::string("\x03") + "abc", kOk},
      {"data pad = len", 0, kPad, 1, std::string("\x04") + "abc", "TooMuchPadding"},
      {"data stream check first", 0, kPad, 0, "", "InvalidStreamId"},
      {"headers on stream 0", 1, 0, 0, "", "InvalidStreamId"},
      {"headers padded empty", 1, kPad, 1, "", "MalformedMessage"},
      {"headers prio short", 1, kPrio, 1, "abcd", "MalformedMessage"},
      {"headers pad+prio short", 1, kPad | kPrio, 1, std::string(1, '\0') + "abcd", "MalformedMessage"},
      {"headers pad = rest", 1, kPad, 1, std::string("\x02") + "ab", kOk},
      {"headers pad > rest", 1, kPad, 1, std::string("\x03") + "ab", "TooMuchPadding"},
      {"headers pad past prio", 1, kPad | kPrio, 3, std::string("\x01") + be32(1) + "w", "TooMuchPadding"},
      {"headers self-dependent", 1, kPrio, 3, be32(3) + "w", "stream error"},
      {"headers self-dep, exclusive bit", 1, kPrio, 3, be32(0x80000003) + "w", "stream error"},
      {"priority stream 0 before length", 2, 0, 0, "abcd", "PRIORITY frame with stream ID 0"},
      {"priority 4 bytes", 2, 0, 1, "abcd", "InvalidPayloadLength"},
      {"priority self", 2, 0, 5, be32(0x80000005) + "w", "stream error"},
      {"priority other", 2, 0, 5, be32(3) + "w", kOk},
      {"rst 3 bytes", 3, 0, 1, "abc", "InvalidPayloadLength"},
      {"rst on stream 0", 3, 0, 0, be32(0xFFFFFFFF), kOk},
      {"settings on stream 1", 4, 0, 1, "", "InvalidStreamId"},
      {"settings ack with payload", 4, kAck, 0, setting(1, 0), "InvalidPayloadLength"},
      {"settings 5 bytes", 4, 0, 0, "abcde", "InvalidPayloadAckSettings"},
      {"settings push 2", 4, 0, 0, setting(2, 2), "InvalidSettingValue"},
      {"settings window 2^31", 4, 0, 0, setting(4, 0x80000000), "InvalidSettingValue"},
      {"settings window 2^31-1", 4, 0, 0, setting(4, 0x7FFFFFFF), kOk},
      {"settings frame 16383", 4, 0, 0, setting(5, 16383), "InvalidSettingValue"},
      {"settings frame 16777216", 4, 0, 0, setting(5, 16777216), "InvalidSettingValue"},
      {"settings frame bounds", 4, 0, 0, setting(5, 16384) + setting(5, 16777215), kOk},
      {"settings id 7 skipped", 4, 0, 0, setting(7, 99), kOk},
      {"settings id 8 value 2", 4, 0, 0, setting(8, 2), "InvalidSettingValue"},
      {"settings bad after good", 4, 0, 0, setting(1, 5) + setting(2, 9), "InvalidSettingValue"},
      {"push promise", 5, 0, 1, "whatever", "PUSH_PROMISE received but server push is disabled"},
      {"ping stream 1, 7 bytes", 6, 0, 1, "1234567", "InvalidStreamId"},
      {"ping 7 bytes", 6, 0, 0, "1234567", "BadFrameSize"},
      {"ping 9 bytes", 6, kAck, 0, "123456789", "BadFrameSize"},
      {"goaway 7 bytes", 7, 0, 0, "1234567", "BadFrameSize"},
      {"goaway on stream 9", 7, 0, 9, "12345678", kOk},
      {"window 3 bytes", 8, 0, 0, "abc", "BadFrameSize"},
      {"window reserved bit only", 8, 0, 0, be32(0x80000000), "InvalidWindowUpdateValue"},
      {"window 0 on stream 5", 8, 0, 5, be32(0), "InvalidWindowUpdateValue"},
  };
  for (const auto& c : cases) {
    std::string want = c.expect;
    if (want != "ok" && want != "stream error" && want.find(' ') == std::string::npos) want = f + want;
    EXPECT_EQ(load(c.type, c.flags, c.stream, c.payload), want) << c.what;
  }
}

TEST(H2FrameLoad, SettingsEntriesReplaceAndAcknowledgementsCarryNone) {
  auto s = load_settings({0, 4, 0, 0}, setting(2, 0) + setting(3, 10) + setting(3, 20) + setting(9, 1));
  ASSERT_TRUE(s);
  Settings want;
  want.enable_push = false;
  want.max_concurrent_streams = 20;  // a later entry replaces an earlier one
  EXPECT_FALSE(s->ack);
  EXPECT_EQ(s->settings, want);
  auto ack = load_settings({0, 4, 0xFF, 0}, "");
  ASSERT_TRUE(ack);
  EXPECT_TRUE(ack->ack);
  EXPECT_EQ(ack->settings, Settings{});
}

TEST(H2FrameLoad, HeadIgnoresReservedBit) {
  const std::string bytes = test::frame_bytes(0xFE, 0xAA, 0xFFFFFFFF, "");
  const FrameHead head = parse_frame_head(bytes.data());
  EXPECT_EQ(head.stream_id, 0x7FFFFFFFu);
  EXPECT_EQ(head.type, 0xFE);
  EXPECT_EQ(head.flags, 0xAA);
  EXPECT_EQ(frame_error_debug({FrameErrorKind::Hpack, "NeedMore(UnexpectedEndOfStream)"}),
            "Hpack(NeedMore(UnexpectedEndOfStream))");
  EXPECT_EQ(hpack_failure("InvalidTableIndex").message,
            "HPACK decoding failed: Hpack(InvalidTableIndex)");
}

}  // namespace
}  // namespace vintrel::h2
