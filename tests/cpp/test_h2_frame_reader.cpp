// The frame reader: buffering at any split, the receive limits, header-block
// assembly across CONTINUATION frames, the header rules, and the state a
// failure leaves. Header blocks use a toy coding (below) in place of HPACK,
// so that these tests fix the reader alone.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "core/http2/frame_reader.h"
#include "core/http2/frame_writer.h"
#include "test_h2_support.h"

namespace vintrel::h2 {
namespace {

using test::be32;
using test::frame_bytes;
using test::setting;

// A toy block coding: 'R' len name len value (a regular field), 'P' slot len
// value (a pseudo-header), 'X' (an undecodable representation). A
// representation cut short asks for more. Counts what it decodes, as an
// HPACK decoder's table would follow it.
class ToyDecoder final : public HeaderBlockDecoder {
 public:
  size_t decoded = 0;

  BlockDecodeStatus decode(std::string_view in, HeaderBlock& block) override {
    size_t at = 0;
    while (at < in.size()) {
      const char kind = in[at];
      if (kind == 'X') return {BlockDecodeStatus::Kind::Failed, at, "InvalidTableIndex"};
      size_t p = at + 1;
      auto text = [&](std::string_view& out) {
        if (p >= in.size()) return false;
        const size_t n = static_cast<uint8_t>(in[p]);
        if (in.size() - p - 1 < n) return false;
        out = in.substr(p + 1, n);
        p += 1 + n;
        return true;
      };
      std::string_view a, b;
      bool go_on = true;
      if (kind == 'P') {
        if (p >= in.size()) return need_more(at);
        const auto slot = static_cast<uint8_t>(in[p++] - '0');
        if (slot >= kPseudoCount) return {BlockDecodeStatus::Kind::Failed, at, "InvalidPseudoheader"};
        if (!text(b)) return need_more(at);
        go_on = block.accept_pseudo(static_cast<HeaderKind>(slot), b);
      } else {
        if (!text(a) || !text(b)) return need_more(at);
        go_on = block.accept_field(a, b);
      }
      at = p;
      ++decoded;
      if (!go_on) break;
    }
    return {BlockDecodeStatus::Kind::Done, at};
  }

 private:
  static BlockDecodeStatus need_more(size_t at) {
    return {BlockDecodeStatus::Kind::NeedMore, at, "NeedMore(StringUnderflow)"};
  }
};

// Built by appending: GCC 12 misreads chains of `+` here (-Wrestrict).
std::string& put_lv(std::string& out, std::string_view s) {
  out += static_cast<char>(s.size());
  return out.append(s);
}
std::string field(std::string_view name, std::string_view value) {
  std::string out("R");
  put_lv(out, name);
  return put_lv(out, value);
}
std::string numbered(char prefix, size_t i) {
  std::string out(1, prefix);
  return out.append(std::to_string(i));
}
std::string pseudo(HeaderKind p, std::string_view value) {
  std::string out("P");
  out += static_cast<char>('0' + static_cast<int>(p));
  return put_lv(out, value);
}

constexpr uint8_t kEndHeaders = frame_flag::kEndHeaders, kEndStream = frame_flag::kEndStream;

std::string headers(uint32_t stream, std::string_view block, uint8_t flags = kEndHeaders) {
  return frame_bytes(frame_type::kHeaders, flags, stream, block);
}
std::string continuation(uint32_t stream, std::string_view block, uint8_t flags = 0) {
  return frame_bytes(frame_type::kContinuation, flags, stream, block);
}

std::string describe(const FrameEvent& e) {
  std::ostringstream o;
  std::visit(
      [&](const auto& f) {
        using T = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<T, DataFrame>) {
          o << "Data(" << f.stream_id << "," << f.end_stream << "," << f.data << "," << f.flow_controlled_len << ")";
        } else if constexpr (std::is_same_v<T, HeadersFrame>) {
          o << "Headers(" << f.stream_id << "," << f.end_stream;
          for (size_t i = 0; i < kPseudoCount; ++i)
            if (auto v = f.pseudo(static_cast<HeaderKind>(i))) o << "," << pseudo_name(static_cast<HeaderKind>(i)) << "=" << *v;
          f.fields().for_each([&](std::string_view n, std::string_view v) { o << "," << n << "=" << v; });
          o << ")";
        } else if constexpr (std::is_same_v<T, PriorityFrame>) {
          o << "Priority(" << f.stream_id << ")";
        } else if constexpr (std::is_same_v<T, SettingsFrame>) {
          o << "Settings(" << f.ack << "," << f.settings.max_frame_size.value_or(0) << ")";
        } else if constexpr (std::is_same_v<T, RstStreamFrame>) {
          o << "Rst(" << f.stream_id << "," << f.error_code << ")";
        } else if constexpr (std::is_same_v<T, PingFrame>) {
          o << "Ping(" << f.ack << "," << std::string_view(f.data.data(), 8) << ")";
        } else if constexpr (std::is_same_v<T, GoAwayFrame>) {
          o << "GoAway(" << f.last_stream_id << "," << f.error_code << "," << f.debug_data << ")";
        } else if constexpr (std::is_same_v<T, WindowUpdateFrame>) {
          o << "Window(" << f.stream_id << "," << f.increment << ")";
        } else {
          o << "StreamError(" << f.stream_id << "," << f.error_code << ")";
        }
      },
      e);
  return o.str();
}

struct Feed {
  FrameReader reader;
  ToyDecoder decoder;
  FrameBatch batch;
  std::vector<std::string> events;
  std::string error;  // "reason: message" of the last failure

  bool operator()(std::string_view data) {
    auto status = reader.receive(data, decoder, batch);
    for (const auto& e : batch.events) events.push_back(describe(e));
    if (!status) {
      EXPECT_TRUE(batch.events.empty());
      error = std::to_string(status.error().reason.value_or(999)) + ": " + status.error().message;
    }
    return status.ok();
  }
};

// One of every kind of frame, padded DATA, a block cut inside a
// representation, an unknown type and a malformed block.
std::string mixed_stream() {
  std::string s;
  s += frame_bytes(frame_type::kSettings, 0, 0, setting(5, 20000) + setting(3, 7));
  s += frame_bytes(frame_type::kData, frame_flag::kPadded | kEndStream, 1, std::string("\x02") + "body" + "pp");
  const std::string block = pseudo(HeaderKind::Status, "200") + field("content-type", "text/plain") + field("x", "yz");
  s += headers(3, block.substr(0, 9), 0);
  s += continuation(3, block.substr(9, 12));
  s += continuation(3, block.substr(21), kEndHeaders);
  s += frame_bytes(0xB, 0xFF, 3, "ignored");
  s += frame_bytes(frame_type::kPing, 0, 0, "abcdefgh");
  s += frame_bytes(frame_type::kGoAway, 0, 0, be32(5) + be32(2) + "bye");
  s += frame_bytes(frame_type::kWindowUpdate, 0, 3, be32(1000));
  s += frame_bytes(frame_type::kRstStream, 0, 5, be32(8));
  s += frame_bytes(frame_type::kPriority, 0, 7, be32(1) + "w");
  s += frame_bytes(frame_type::kPriority, 0, 9, be32(9) + "w");
  s += headers(11, field("connection", "close") + field("a", "b"), kEndHeaders | kEndStream);
  s += frame_bytes(frame_type::kHeaders, kEndHeaders | kEndStream | frame_flag::kPadded | frame_flag::kPriority, 13,
                   std::string("\x02") + be32(0x80000001) + "w" + pseudo(HeaderKind::Method, "GET") +
                       pseudo(HeaderKind::Path, "/") + "pp");
  s += frame_bytes(frame_type::kData, 0, 1, "");
  s += frame_bytes(frame_type::kData, frame_flag::kPadded, 1, std::string("\x03") + "ppp");
  return s;
}

const std::vector<std::string> kMixedEvents{
    "Settings(0,20000)",
    "Data(1,1,body,7)",
    "Headers(3,0,:status=200,content-type=text/plain,x=yz)",
    "Ping(0,abcdefgh)",
    "GoAway(5,2,bye)",
    "Window(3,1000)",
    "Rst(5,8)",
    "Priority(7)",
    "StreamError(9,1)",
    "StreamError(11,1)",
    "Headers(13,1,:method=GET,:path=/)",
    "Data(1,0,,0)",
    "Data(1,0,,4)",
};

TEST(H2FrameReader, SameEventsWholeByteByByteAndAtRandomSplits) {
  const std::string stream = mixed_stream();
  {
    Feed feed;
    ASSERT_TRUE(feed(stream));
    EXPECT_EQ(feed.events, kMixedEvents);
    EXPECT_EQ(feed.reader.buffered(), 0u);
  }
  {
    Feed feed;
    for (char c : stream) ASSERT_TRUE(feed(std::string_view(&c, 1)));
    EXPECT_EQ(feed.events, kMixedEvents);
  }
  std::mt19937 rng(20261208);
  for (int round = 0; round < 200; ++round) {
    Feed feed;
    std::string_view rest = stream;
    while (!rest.empty()) {
      const size_t n = std::min<size_t>(rest.size(), rng() % 40);
      // Each chunk lives only for its call: a view kept past it would read
      // freed bytes under the sanitizers.
      const std::string chunk(rest.substr(0, n));
      ASSERT_TRUE(feed(chunk));
      rest.remove_prefix(n);
      EXPECT_LT(feed.reader.buffered(), 40u + kFrameHeadLen);
    }
    EXPECT_EQ(feed.events, kMixedEvents) << "round " << round;
  }
}

// Every layout the writer makes, read back to the same fields.
TEST(H2FrameReader, ReadsBackEveryLayoutWeWrite) {
  std::string wire;
  auto put = [&](size_t len, auto&& write) {
    const size_t at = wire.size();
    wire.resize(at + len);
    write(wire.data() + at);
  };
  Settings s;
  s.header_table_size = 0;
  s.enable_push = true;
  s.max_concurrent_streams = 0xFFFFFFFF;
  s.initial_window_size = 0x7FFFFFFF;
  s.max_frame_size = 16777215;
  s.max_header_list_size = 1;
  put(settings_frame_len(s), [&](char* o) { write_settings(o, s); });
  put(kSettingsAckFrameLen, write_settings_ack);
  put(data_frame_len(3), [](char* o) { write_data(o, 9, "xyz", true); });
  put(go_away_frame_len(5), [](char* o) { write_go_away(o, 0x7FFFFFFF, 11, "calm!"); });
  put(kRstStreamFrameLen, [](char* o) { write_rst_stream(o, 0, 0xABCDEF01); });
  put(kWindowUpdateFrameLen, [](char* o) { write_window_update(o, 7, 1); });
  put(kPingFrameLen, [](char* o) { write_ping(o, "pingpong", true); });
  SendFrameSize m;
  ASSERT_TRUE(m.set(4));
  const std::string block = pseudo(HeaderKind::Status, "404") + field("vary", "accept");
  put(m.header_block_len(block.size()), [&](char* o) { m.write_header_block(o, 3, block, true); });

  Feed feed;
  ASSERT_TRUE(feed(wire));
  EXPECT_EQ(feed.events, (std::vector<std::string>{
                             "Settings(0,16777215)", "Settings(1,0)", "Data(9,1,xyz,3)",
                             "GoAway(2147483647,11,calm!)", "Rst(0,2882400001)", "Window(7,1)",
                             "Ping(1,pingpong)", "Headers(3,1,:status=404,vary=accept)"}));
  EXPECT_EQ(std::get<SettingsFrame>(feed.batch.events[0]).settings, s);
  EXPECT_EQ(std::get<HeadersFrame>(feed.batch.events[7]).status(), 404);
}

// Damaged streams at random splits: whatever the outcome, no read outside
// the input (the sanitizer build checks), and nothing held beyond one frame
// plus the unread rest.
TEST(H2FrameReader, DamagedInputNeverMisbehaves) {
  const std::string clean = mixed_stream();
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes = clean;
    for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips)
      bytes[rng() % bytes.size()] ^= static_cast<char>(1u << (rng() % 8));
    Feed feed;
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const size_t n = std::min<size_t>(rest.size(), 1 + rng() % 64);
      const std::string chunk(rest.substr(0, n));
      rest.remove_prefix(n);
      if (!feed(chunk)) break;
      EXPECT_LE(feed.reader.buffered(), kFrameHeadLen + kDefaultMaxFrameSize);
    }
  }
}

TEST(H2FrameReader, EmptyAndShortInputWaits) {
  Feed feed;
  ASSERT_TRUE(feed(""));
  EXPECT_TRUE(feed.events.empty());
  ASSERT_TRUE(feed(std::string(8, '\0')));
  ASSERT_TRUE(feed(""));
  EXPECT_EQ(feed.reader.buffered(), 8u);
}

TEST(H2FrameReader, FrameSizeCheckedAsSoonAsTheHeadIsComplete) {
  Feed feed;
  const std::string big = frame_bytes(frame_type::kData, 0, 1, std::string(20000, 'd'));
  EXPECT_FALSE(feed(big.substr(0, 9)));
  EXPECT_EQ(feed.error, "6: frame length exceeds SETTINGS_MAX_FRAME_SIZE");
  EXPECT_EQ(feed.reader.buffered(), 9u);
  EXPECT_FALSE(feed(big.substr(9, 100)));  // the frame stays and fails again
  EXPECT_EQ(feed.reader.buffered(), 109u);

  Feed raised;
  ASSERT_TRUE(raised.reader.set_max_recv_frame_size(32768));
  ASSERT_TRUE(raised(big));
  EXPECT_EQ(raised.events.size(), 1u);
  EXPECT_EQ(raised.reader.set_max_recv_frame_size(0).error().message,
            "receive max frame size must be at least 1, got 0");
  EXPECT_EQ(raised.reader.max_recv_frame_size(), 32768u);

  Feed tail;  // an oversize frame after a good one in the same call
  EXPECT_FALSE(tail(frame_bytes(frame_type::kPing, 0, 0, "12345678") + big.substr(0, 12)));
  EXPECT_TRUE(tail.events.empty());
  EXPECT_EQ(tail.reader.buffered(), 12u);
}

TEST(H2FrameReader, FailureDropsTheCallsEventsAndKeepsLaterBytes) {
  Feed feed;
  const std::string next = frame_bytes(frame_type::kPing, 0, 0, "12345678");
  EXPECT_FALSE(feed(frame_bytes(frame_type::kData, 0, 1, "lost") +
                    frame_bytes(frame_type::kPing, 0, 1, "12345678") + next));
  EXPECT_EQ(feed.error, "1: failed to load frame: InvalidStreamId");
  EXPECT_TRUE(feed.events.empty());
  EXPECT_EQ(feed.reader.buffered(), next.size());
  ASSERT_TRUE(feed(""));
  EXPECT_EQ(feed.events, std::vector<std::string>{"Ping(0,12345678)"});

  Feed held;  // the failing frame completed from held bytes
  const std::string bad = frame_bytes(frame_type::kPushPromise, 0, 1, "xxxx");
  ASSERT_TRUE(held(bad.substr(0, 5)));
  EXPECT_FALSE(held(bad.substr(5) + next.substr(0, 3)));
  EXPECT_EQ(held.error, "1: PUSH_PROMISE received but server push is disabled");
  EXPECT_EQ(held.reader.buffered(), 3u);
}

// After a failure, the frames held behind the failing one read exactly as
// a fresh reader reads the same bytes, whatever their kind and size, and
// whether the next call brings more bytes or none.
TEST(H2FrameReader, BytesHeldAfterAFailureReadAsFresh) {
  const std::string failing[] = {
      frame_bytes(frame_type::kPing, 0, 1, "12345678"),                      // a load error
      frame_bytes(frame_type::kPushPromise, kEndHeaders, 1, be32(2)),        // refused outright
      headers(1, field("a", "b") + "X"),                                      // HPACK failure
      frame_bytes(frame_type::kData, 0, 1, std::string(20000, 'd')),          // oversize: stays
  };
  const std::string block = field("x", "y");
  const std::string tails[] = {
      frame_bytes(frame_type::kData, 0, 1, "") + frame_bytes(frame_type::kData, kEndStream, 3, "tail"),
      frame_bytes(frame_type::kGoAway, 0, 0, be32(1) + be32(0) + "d") + frame_bytes(frame_type::kPing, 0, 0, "ABCDEFGH"),
      frame_bytes(frame_type::kRstStream, 0, 3, be32(8)) + frame_bytes(frame_type::kWindowUpdate, 0, 0, be32(9)),
      frame_bytes(frame_type::kSettings, 0, 0, setting(3, 7)) + frame_bytes(0xE, 0, 0, "??") +
          frame_bytes(frame_type::kData, 0, 1, "after-unknown"),
      headers(5, block.substr(0, 2), 0) + continuation(5, block.substr(2), kEndHeaders),
  };
  std::mt19937 rng(7);
  for (const std::string& bad : failing) {
    const bool oversize = bad.size() > 10000;
    for (const std::string& tail : tails) {
      Feed fresh;
      ASSERT_TRUE(fresh(tail));
      const std::string extra = frame_bytes(frame_type::kData, 0, 1, "more");
      Feed fresh_more;
      ASSERT_TRUE(fresh_more(tail + extra));
      for (int round = 0; round < 20; ++round) {
        // Good frames, the failing one and the tail, cut anywhere.
        const std::string stream = frame_bytes(frame_type::kData, 0, 1, "ok") + bad + tail;
        Feed feed;
        size_t at = 0;
        while (at < stream.size()) {
          const size_t n = round == 0 ? stream.size() : std::min<size_t>(stream.size() - at, 1 + rng() % 30);
          const bool ok = feed(stream.substr(at, n));
          at += n;
          if (!ok) break;
        }
        ASSERT_FALSE(feed.error.empty());
        feed.events.clear();
        // The rest of the stream arrives with the next calls.
        if (at < stream.size()) feed(stream.substr(at));
        if (oversize) {
          EXPECT_EQ(feed.reader.buffered(), bad.size() + tail.size());
          ASSERT_TRUE(feed.reader.set_max_recv_frame_size(32768));
          ASSERT_TRUE(feed(""));
          ASSERT_FALSE(feed.events.empty());
          EXPECT_EQ(feed.events[0], "Data(1,0," + std::string(20000, 'd') + ",20000)");
          feed.events.erase(feed.events.begin());
        } else {
          ASSERT_TRUE(feed(""));
        }
        ASSERT_TRUE(feed(extra));
        EXPECT_EQ(feed.events, fresh_more.events) << "round " << round;
        EXPECT_EQ(feed.reader.buffered(), 0u);
      }
    }
  }
}

// A block found malformed (or refused) before END_HEADERS is decoded to
// its end wherever the peer cut its fragments, and costs its stream only.
TEST(H2FrameReader, MalformedBlocksCostTheirStreamWhereverTheyAreCut) {
  const std::string malformed[] = {
      field("connection", "keep-alive") + field("a", "b") + field("c", "d"),
      field("te", "gzip") + field("a", "b"),
      field("a", "b") + pseudo(HeaderKind::Path, "/") + field("c", "d"),
  };
  for (const std::string& block : malformed) {
    for (bool refused : {false, true}) {
      const std::string prefix = refused ? be32(1) + "w" : "";
      const uint8_t flags = refused ? frame_flag::kPriority : 0;
      const size_t representations = static_cast<size_t>(std::count(block.begin(), block.end(), 'R') +
                                                         std::count(block.begin(), block.end(), 'P'));
      for (size_t a = 0; a <= block.size(); ++a) {
        for (size_t b = a; b <= block.size(); ++b) {
          Feed feed;
          std::string s = frame_bytes(frame_type::kHeaders, flags, 1, prefix + block.substr(0, a));
          s += continuation(1, block.substr(a, b - a));
          s += continuation(1, block.substr(b), kEndHeaders);
          s += frame_bytes(frame_type::kPing, 0, 0, "12345678");
          ASSERT_TRUE(feed(s)) << feed.error;
          EXPECT_EQ(feed.events, (std::vector<std::string>{"StreamError(1,1)", "Ping(0,12345678)"}));
          EXPECT_EQ(feed.decoder.decoded, representations);
          EXPECT_FALSE(feed.reader.block_open());
        }
      }
    }
  }
}

TEST(H2FrameReader, ContinuationFloodCap) {
  EXPECT_EQ(calc_max_continuation_frames(16777216, 16384), 1280u);
  EXPECT_EQ(calc_max_continuation_frames(100, 16384), 5u);
  EXPECT_EQ(calc_max_continuation_frames(16777216, 16777215), 5u);
  EXPECT_EQ(calc_max_continuation_frames(UINT64_MAX, 1), UINT64_MAX);
  FrameReader r;
  r.set_max_header_list_size(100);
  EXPECT_EQ(r.continuation_cap(), 5u);
  EXPECT_EQ(r.abuse_limit(), 400u);

  for (const size_t frames : {1280u, 1281u}) {
    Feed feed;
    std::string s = headers(1, "", 0);
    for (size_t i = 0; i < frames; ++i) s += continuation(1, "");
    s += continuation(1, field("a", "b"), kEndHeaders);
    const bool ok = feed(s);
    EXPECT_EQ(ok, frames == 1280);
    if (ok) EXPECT_EQ(feed.events, std::vector<std::string>{"Headers(1,0,a=b)"});
    else EXPECT_EQ(feed.error, "11: too_many_continuations");
    EXPECT_FALSE(feed.reader.block_open());
  }
}

TEST(H2FrameReader, BlockAssemblyFailures) {
  const struct {
    const char* what;
    std::string bytes;
    const char* error;
    bool open_after;
  } cases[] = {
      {"ping inside a block", headers(1, "", 0) + frame_bytes(frame_type::kPing, 0, 0, "12345678"),
       "1: expected CONTINUATION frame", true},
      {"unknown type inside a block", headers(1, "", 0) + frame_bytes(0xC, 0, 1, ""),
       "1: expected CONTINUATION frame", true},
      {"continuation without a block", continuation(1, "", kEndHeaders),
       "1: received unexpected CONTINUATION frame", false},
      {"continuation on another stream", headers(1, "", 0) + continuation(3, "", kEndHeaders),
       "1: CONTINUATION frame stream ID does not match previous frame stream ID", false},
      {"hpack failure", headers(1, field("a", "b") + "X"), "1: HPACK decoding failed: Hpack(InvalidTableIndex)",
       false},
      {"hpack failure in a continuation", headers(1, "", 0) + continuation(1, "X"),
       "1: HPACK decoding failed: Hpack(InvalidTableIndex)", false},
      {"block cut short at END_HEADERS", headers(1, field("a", "b").substr(0, 3)),
       "1: HPACK decoding failed: Hpack(NeedMore(StringUnderflow))", false},
      {"push promise inside a block", headers(1, "", 0) + frame_bytes(frame_type::kPushPromise, 0, 1, ""),
       "1: expected CONTINUATION frame", true},
  };
  for (const auto& c : cases) {
    Feed feed;
    EXPECT_FALSE(feed(c.bytes)) << c.what;
    EXPECT_EQ(feed.error, c.error) << c.what;
    EXPECT_EQ(feed.reader.block_open(), c.open_after) << c.what;
  }
}

TEST(H2FrameReader, HeaderRulesMakeStreamErrors) {
  const struct {
    std::string block;
    bool malformed;
  } cases[] = {
      {field("connection", "close"), true},
      {field("transfer-encoding", "chunked"), true},
      {field("upgrade", "h2c"), true},
      {field("keep-alive", "1"), true},
      {field("proxy-connection", "x"), true},
      {field("te", "gzip"), true},
      {field("te", "trailers, gzip"), true},
      {field("te", "trailers"), false},
      {field("connections", "x") + field("tee", "x"), false},
      {field("a", "1") + pseudo(HeaderKind::Path, "/"), true},
      {pseudo(HeaderKind::Path, "/") + pseudo(HeaderKind::Path, "/x"), true},
      {pseudo(HeaderKind::Status, "200") + pseudo(HeaderKind::Method, "GET") + pseudo(HeaderKind::Protocol, "ws"), false},
  };
  for (const auto& c : cases) {
    Feed feed;
    // Decoding goes on past the bad field: the table must see it all.
    ASSERT_TRUE(feed(frame_bytes(frame_type::kData, 0, 1, "d") + headers(3, c.block + field("z", "z"))));
    ASSERT_EQ(feed.events.size(), 2u);
    EXPECT_EQ(feed.events[1].rfind(c.malformed ? "StreamError(3,1)" : "Headers(3", 0), 0u) << feed.events[1];
    EXPECT_EQ(feed.decoder.decoded, static_cast<size_t>(std::count(c.block.begin(), c.block.end(), 'R') +
                                                        std::count(c.block.begin(), c.block.end(), 'P') + 1));
  }
}

TEST(H2FrameReader, SelfDependentHeadersStillFeedTheDecoder) {
  Feed feed;
  ASSERT_TRUE(feed(frame_bytes(frame_type::kHeaders, frame_flag::kPriority | kEndHeaders, 5,
                               be32(5) + "w" + field("a", "b") + field("c", "d"))));
  EXPECT_EQ(feed.events, std::vector<std::string>{"StreamError(5,1)"});
  EXPECT_EQ(feed.decoder.decoded, 2u);
}

TEST(H2FrameReader, HeaderListLimits) {
  // Each field "k<n>" = 10 bytes of value costs 2 + 10 + 32 = 44.
  auto block_of = [](int n) {
    std::string b;
    for (int i = 0; i < n; ++i) b += field(numbered('k', static_cast<size_t>(i)), "0123456789");
    return b;
  };
  {
    Feed feed;
    feed.reader.set_max_header_list_size(100);
    ASSERT_TRUE(feed(headers(1, pseudo(HeaderKind::Status, "204") + block_of(3))));  // 42 + 44 kept, 132 >= 100
    EXPECT_EQ(feed.events, std::vector<std::string>{"Headers(1,0,:status=204,k0=0123456789)"});
  }
  {
    Feed feed;
    feed.reader.set_max_header_list_size(100);
    EXPECT_FALSE(feed(headers(1, block_of(10))));  // 440 > 400
    EXPECT_EQ(feed.error, "11: decoded header list size over abuse limit");
    EXPECT_EQ(feed.decoder.decoded, 10u);
  }
  {
    // Across frames: the running size continues, and an over-size block's
    // pending tail is bounded by the ignorable limit.
    Feed feed;
    feed.reader.set_max_header_list_size(100);
    const std::string big = field("long", std::string(200, 'v'));
    ASSERT_TRUE(feed(headers(1, block_of(3), 0)));
    ASSERT_TRUE(feed(continuation(1, big.substr(0, 50))));
    EXPECT_FALSE(feed(continuation(1, big.substr(50, 60))));
    EXPECT_EQ(feed.error, "9: CONTINUATION frame header block size over ignorable limit");
    EXPECT_FALSE(feed.reader.block_open());
  }
}

TEST(H2FrameReader, DistinctNamesBeyondTheMapCapacityGoOverSize) {
  Feed feed;
  ASSERT_TRUE(feed.reader.set_max_recv_frame_size(kMaxFramePayload));
  feed.reader.set_max_header_list_size(UINT32_MAX);
  std::string block;
  for (size_t i = 0; i <= http::HeaderMap::kMaxNames; ++i) block += field(numbered('n', i), "");
  block += field("n0", "again");
  ASSERT_TRUE(feed(headers(1, block)));
  const auto& h = std::get<HeadersFrame>(feed.batch.events.at(0));
  EXPECT_EQ(h.fields().value_count(), http::HeaderMap::kMaxNames);
  EXPECT_EQ(h.fields().name(h.fields().name_count() - 1), "n24575");
}

}  // namespace
}  // namespace vintrel::h2
