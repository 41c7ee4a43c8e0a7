// The frame codec's HPACK seams: header blocks encoded by the writer's path,
// cut into frames and received back through the reader with the real
// decoder at every split; the views of a frame completed across calls
// surviving the next call once taken. (Failures are checked through the
// Python layer.)
#include <gtest/gtest.h>

#include "core/http2/frame_reader.h"
#include "core/http2/frame_writer.h"
#include "core/http2/hpack_adapter.h"
#include "test_h2_support.h"

namespace vintrel::h2 {
namespace {

using test::frame_bytes;

http::HeaderMap fields(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
  http::HeaderMap m;
  for (auto [n, v] : pairs) EXPECT_TRUE(m.append(http::HeaderName::trusted(n), http::HeaderValue::trusted(v)));
  return m;
}

std::string frames_of(HpackBlockEncoder& enc, const SendPseudo& pseudo, const http::HeaderMap* map,
                      uint32_t frame_size, StreamId id = 1) {
  std::string block;
  enc.encode(pseudo, map, block);
  SendFrameSize size;
  EXPECT_TRUE(size.set(frame_size));
  std::string out(size.header_block_len(block.size()), '\0');
  size.write_header_block(out.data(), id, block, false);
  return out;
}

std::string failure_of(FrameReader::Status& s) { return s.error().message; }

TEST(H2HpackBlock, RequestOnAFreshConnectionIsTwoStaticIndices) {
  HpackBlockEncoder enc;
  auto pseudo = request_pseudo("GET", "/");
  ASSERT_TRUE(pseudo);
  EXPECT_EQ(frames_of(enc, *pseudo, nullptr, 16384), frame_bytes(1, 4, 1, "\x82\x84"));
}

TEST(H2HpackBlock, BlocksRoundTripAtEveryFrameSizeAndSplit) {
  const http::HeaderMap map = fields({{"user-agent", "probe/1.0"},
                                      {"accept", "*/*"},
                                      {"cookie", "a=1"},
                                      {"cookie", "b=2"},
                                      {"x-long", std::string(300, 'v')}});
  for (uint32_t frame_size : {1u, 7u, 64u, 16384u}) {
    HpackBlockEncoder enc;
    auto pseudo = request_pseudo("POST", "https://example.com/upload?x=1");
    ASSERT_TRUE(pseudo);
    // Two blocks, so the second reads entries the first put in the table.
    std::string wire = frames_of(enc, *pseudo, &map, frame_size);
    wire += frames_of(enc, *pseudo, &map, frame_size, 3);
    for (size_t step : {size_t{1}, size_t{5}, wire.size()}) {
      HpackBlockDecoder dec;
      FrameReader reader;
      FrameBatch batch;
      std::vector<HeadersFrame> got;
      for (size_t at = 0; at < wire.size(); at += step) {
        auto st = reader.receive(std::string_view(wire).substr(at, step), dec, batch);
        ASSERT_TRUE(st) << failure_of(st) << " frame size " << frame_size << " step " << step;
        for (auto& e : batch.events) got.push_back(std::get<HeadersFrame>(std::move(e)));
      }
      ASSERT_EQ(got.size(), 2u);
      for (const HeadersFrame& h : got) {
        EXPECT_EQ(h.method(), "POST");
        EXPECT_EQ(h.scheme(), "https");
        EXPECT_EQ(h.authority(), "example.com");
        EXPECT_EQ(h.path(), "/upload?x=1");
        std::vector<std::pair<std::string, std::string>> kept;
        h.fields().for_each([&](std::string_view n, std::string_view v) { kept.emplace_back(n, v); });
        ASSERT_EQ(kept.size(), 5u);
        EXPECT_EQ(kept[3], (std::pair<std::string, std::string>("cookie", "b=2")));
        EXPECT_EQ(kept[4].second, std::string(300, 'v'));
      }
      EXPECT_EQ(got[1].stream_id, 3u);
      EXPECT_EQ(dec.hpack().table_size(), enc.hpack().table().size());
    }
  }
}

// A batch owns the held bytes its events view: it reads the same after any
// number of later calls, whatever sizes the frames and cuts have (short
// frames included, which once lived in a buffer that moved on a swap).
TEST(H2HpackBlock, BatchesOutliveLaterCalls) {
  for (size_t len : {0u, 1u, 5u, 6u, 7u, 16u, 100u}) {
    FrameReader reader;
    HpackBlockDecoder dec;
    std::string wire;
    for (char c = 'a'; c < 'a' + 12; ++c) wire += frame_bytes(0, 0, 1, std::string(len, c));
    const size_t frame = kFrameHeadLen + len;
    std::vector<FrameBatch> kept;
    std::vector<std::string> seen;
    // Cuts that end 1 to frame + 8 octets into a frame, so that most frames
    // complete from held bytes while the next one is cut.
    size_t at = 0;
    for (size_t cut = 1; at < wire.size(); cut = cut % (frame + 8) + 1) {
      const size_t n = std::min(cut + frame / 2, wire.size() - at);
      const std::string chunk = wire.substr(at, n);  // dies after the call
      kept.emplace_back();
      ASSERT_TRUE(reader.receive(chunk, dec, kept.back()));
      for (const auto& e : kept.back().events) {
        // Views into the chunk end with it; only held bytes may be kept.
        const std::string_view d = std::get<DataFrame>(e).data;
        const bool viewed_chunk = d.data() >= chunk.data() && d.data() < chunk.data() + chunk.size();
        seen.emplace_back(viewed_chunk ? std::string(d) : std::string("held:") + std::string(d));
      }
      at += n;
    }
    ASSERT_EQ(seen.size(), 12u);
    size_t i = 0;
    for (const FrameBatch& batch : kept) {
      for (const auto& e : batch.events) {
        const std::string want(len, static_cast<char>('a' + i));
        const std::string& was = seen[i++];
        const bool held = was.rfind("held:", 0) == 0;
        if (held) {
          EXPECT_EQ(std::get<DataFrame>(e).data, want) << len;
        }
        EXPECT_EQ(was.substr(held ? 5 : 0), want) << len;
      }
    }
  }
}

TEST(H2HpackBlock, KeptFieldsGivenBackStartTheNextBlockEmpty) {
  HeaderBlock used(1, false, {1000, 4000});
  ASSERT_TRUE(used.accept_pseudo(HeaderKind::Path, "/a-path-longer-than-any-inline-string"));
  ASSERT_TRUE(used.accept_field("x-old", "1"));
  HeadersFrame old = std::move(used).finish();
  give_back_kept_fields(std::move(old.kept));
  HeaderBlock next(3, true, {1000, 4000});
  ASSERT_TRUE(next.accept_pseudo(HeaderKind::Method, "GET"));
  ASSERT_TRUE(next.accept_field("x-new", "2"));
  const HeadersFrame h = std::move(next).finish();
  EXPECT_FALSE(h.path());
  EXPECT_EQ(h.method(), "GET");
  ASSERT_EQ(h.fields().value_count(), 1u);
  EXPECT_EQ(h.fields().name(0), "x-new");
}

}  // namespace
}  // namespace vintrel::h2
