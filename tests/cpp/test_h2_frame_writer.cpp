// Frame layouts we write: exact bytes, the checks before writing, header
// blocks cut at the peer's frame size, and every layout read back by the
// load rules.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/http2/frame/load.h"
#include "core/http2/frame_writer.h"

namespace vintrel::h2 {
namespace {

std::string written(size_t len, const std::function<void(char*)>& write) {
  std::string out(len, '\xEE');
  write(out.data());
  return out;
}

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(H2FrameWriter, ExactLayouts) {
  Settings none;
  Settings two;
  two.max_frame_size = 16384;
  two.enable_push = false;
  const struct {
    std::string bytes;
    const char* want;
  } cases[] = {
      {written(settings_frame_len(none), [&](char* o) { write_settings(o, none); }),
       "00 00 00 04 00 00 00 00 00"},
      {written(kSettingsAckFrameLen, write_settings_ack), "00 00 00 04 01 00 00 00 00"},
      {written(settings_frame_len(two), [&](char* o) { write_settings(o, two); }),
       "00 00 0C 04 00 00 00 00 00 00 02 00 00 00 00 00 05 00 00 40 00"},
      {written(kWindowUpdateFrameLen, [](char* o) { write_window_update(o, 0, 65535); }),
       "00 00 04 08 00 00 00 00 00 00 00 FF FF"},
      {written(kWindowUpdateFrameLen, [](char* o) { write_window_update(o, 1, 0x80000000); }),
       "00 00 04 08 00 00 00 00 01 80 00 00 00"},
      {written(kRstStreamFrameLen, [](char* o) { write_rst_stream(o, 1, 8); }),
       "00 00 04 03 00 00 00 00 01 00 00 00 08"},
      {written(go_away_frame_len(0), [](char* o) { write_go_away(o, 3, 0, ""); }),
       "00 00 08 07 00 00 00 00 00 00 00 00 03 00 00 00 00"},
      {written(go_away_frame_len(2), [](char* o) { write_go_away(o, 0, 0xFFFFFFFF, "hi"); }),
       "00 00 0A 07 00 00 00 00 00 00 00 00 00 FF FF FF FF 68 69"},
      {written(kPingFrameLen, [](char* o) { write_ping(o, "12345678", false); }),
       "00 00 08 06 00 00 00 00 00 31 32 33 34 35 36 37 38"},
      {written(kPingFrameLen, [](char* o) { write_ping(o, "12345678", true); }),
       "00 00 08 06 01 00 00 00 00 31 32 33 34 35 36 37 38"},
      {written(data_frame_len(0), [](char* o) { write_data(o, 1, "", true); }),
       "00 00 00 00 01 00 00 00 01"},
      {written(data_frame_len(2), [](char* o) { write_data(o, 0x7FFFFFFF, "ab", false); }),
       "00 00 02 00 00 7F FF FF FF 61 62"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(c.bytes), c.want);
}

TEST(H2FrameWriter, ChecksRefuseWithExactTexts) {
  EXPECT_EQ(check_stream_id(0x80000000).error().message, "invalid stream ID -- MSB is set");
  EXPECT_EQ(*check_stream_id(0x7FFFFFFF), 0x7FFFFFFFu);
  EXPECT_EQ(check_ping_payload("1234567").error().message, "ping payload must be exactly 8 bytes");
  EXPECT_TRUE(check_ping_payload("12345678"));

  Settings s;
  s.initial_window_size = 0x80000000;
  s.max_frame_size = 16383;  // checked first
  EXPECT_EQ(check_settings(s).error().message, "max_frame_size must be in [16384, 16777215], got 16383");
  s.max_frame_size = 16777215;
  EXPECT_EQ(check_settings(s).error().message, "initial_window_size must be <= 2147483647, got 2147483648");
  s.initial_window_size = 0x7FFFFFFF;
  EXPECT_TRUE(check_settings(s));

  EXPECT_TRUE(check_go_away_debug(std::string(kMaxGoAwayDebug, 'x')));
  EXPECT_EQ(check_go_away_debug(std::string(kMaxGoAwayDebug + 1, 'x')).error().message,
            "GOAWAY debug data too long: 16777208 bytes, at most 16777207");

  SendFrameSize m;
  EXPECT_TRUE(m.check_data(16384));
  const auto big = m.check_data(16385);
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().kind, UserErrorKind::PayloadTooBig);
  EXPECT_EQ(big.error().message, "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384");
  for (uint32_t bad : {0u, 16777216u, 0xFFFFFFFFu}) {
    auto r = m.set(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "send max frame size must be in [1, 16777215], got " + std::to_string(bad));
    EXPECT_EQ(m.get(), 16384u);  // nothing stored
  }
  ASSERT_TRUE(m.set(100));
  EXPECT_EQ(m.check_data(101).error().message, "DATA payload 101 exceeds SETTINGS_MAX_FRAME_SIZE 100");
}

// (payload length, type, flags) of each frame in `bytes`.
std::vector<std::tuple<uint32_t, int, int>> frame_shapes(std::string_view bytes, uint32_t stream) {
  std::vector<std::tuple<uint32_t, int, int>> out;
  while (!bytes.empty()) {
    const FrameHead head = parse_frame_head(bytes.data());
    EXPECT_EQ(head.stream_id, stream);
    out.emplace_back(head.length, head.type, head.flags);
    bytes.remove_prefix(kFrameHeadLen + head.length);
  }
  return out;
}

TEST(H2FrameWriter, HeaderBlocksSplitAtTheSendFrameSize) {
  using Shapes = std::vector<std::tuple<uint32_t, int, int>>;
  const struct {
    uint32_t max;
    size_t block;
    bool end_stream;
    Shapes want;
  } cases[] = {
      {16384, 0, true, {{0, 1, 0x05}}},
      {16384, 2, false, {{2, 1, 0x04}}},
      {100, 100, false, {{100, 1, 0x04}}},
      {100, 250, false, {{100, 1, 0x00}, {100, 9, 0x00}, {50, 9, 0x04}}},
      {16384, 40000, true, {{16384, 1, 0x01}, {16384, 9, 0x00}, {7232, 9, 0x04}}},
      {1, 3, true, {{1, 1, 0x01}, {1, 9, 0x00}, {1, 9, 0x04}}},
  };
  for (const auto& c : cases) {
    SendFrameSize m;
    ASSERT_TRUE(m.set(c.max));
    std::string block(c.block, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    const std::string out = written(m.header_block_len(block.size()),
                                    [&](char* o) { m.write_header_block(o, 5, block, c.end_stream); });
    EXPECT_EQ(frame_shapes(out, 5), c.want) << c.max << " " << c.block;
    std::string joined;  // the fragments put back together are the block
    for (std::string_view rest = out; !rest.empty();) {
      const uint32_t n = parse_frame_head(rest.data()).length;
      joined.append(rest.substr(kFrameHeadLen, n));
      rest.remove_prefix(kFrameHeadLen + n);
    }
    EXPECT_EQ(joined, block);
  }
}

}  // namespace
}  // namespace vintrel::h2
