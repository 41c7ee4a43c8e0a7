#include <gtest/gtest.h>

#include <random>

#include "test_hpack_common.h"

namespace hpack_test {
namespace {

using vintrel::h2::hpack::encode_error_text;
using vintrel::h2::hpack::EncodeError;
using vintrel::h2::hpack::HeaderKind;
using vintrel::h2::hpack::HeaderTable;

DecodedHeader pseudo(HeaderKind k, std::string_view v) { return DecodedHeader::pseudo(k, v); }
DecodedHeader field(std::string_view n, std::string_view v) { return DecodedHeader::field(n, v); }

std::string encode(HpackEncoder& e, std::vector<DecodedHeader> headers) {
  std::string out;
  EXPECT_TRUE(e.encode_block(headers, out).ok());
  return hex(out);
}

struct Block {
  std::vector<size_t> updates;  // update_max_size calls before the block
  std::vector<DecodedHeader> headers;
  const char* hex;
};

TEST(HpackEncoder, RepresentationChoices) {
  const std::string big(3100, 'v');
  const struct {
    const char* what;
    std::vector<Block> blocks;
  } cases[] = {
      {"static matches", {{{}, {pseudo(HeaderKind::Method, "GET"), pseudo(HeaderKind::Scheme, "https"),
                                pseudo(HeaderKind::Path, "/")}, "828784"}}},
      {"authority inserted, then indexed",
       {{{}, {pseudo(HeaderKind::Authority, "www.example.com")}, "418cf1e3c2e5f23a6ba0ab90f4ff"},
        {{}, {pseudo(HeaderKind::Authority, "www.example.com")}, "be"}}},
      {"path never inserted",
       {{{}, {pseudo(HeaderKind::Path, "/a")}, "0482607f"}, {{}, {pseudo(HeaderKind::Path, "/a")}, "0482607f"}}},
      {"cookie never inserted",
       {{{}, {field("cookie", "a=1")}, "0f11821c01"}, {{}, {field("cookie", "a=1")}, "0f11821c01"}}},
      {"accept-encoding", {{{}, {field("accept-encoding", "gzip, deflate"), field("accept-encoding", "br")},
                            "9050828ecf"}}},
      {"two values of a custom name",
       {{{}, {field("x-a", "1"), DecodedHeader::more("2")}, "4083f2b0ff810f" "0f2f8117"}}},
      {"a later value after a literal that was not inserted",
       {{{}, {field("x-a", big), DecodedHeader::more("2")}, nullptr}}},
      {"dynamic name index, counted before the insertion",
       {{{}, {field("x-a", "1")}, "4083f2b0ff810f"}, {{}, {field("x-a", "2")}, "7e8117"}}},
      {"status", {{{}, {DecodedHeader::status_of(404, "404"), DecodedHeader::status_of(302, "302")},
                   "8d48826402"}}},
      {"empty value", {{{}, {field("x-a", "")}, "4083f2b0ff00"}}},
      {"shrink to 0 then back", {{{0, 4096}, {}, "203fe11f"}}},
      {"grow then shrink: one update", {{{8192, 100}, {}, "3f45"}}},
      {"the current size: nothing to announce", {{{4096}, {}, ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HpackEncoder e;
    HpackDecoder d;
    for (const Block& b : c.blocks) {
      for (const size_t u : b.updates) {
        e.update_max_size(u);
        d.queue_size_update(u);
      }
      std::string out;
      ASSERT_TRUE(e.encode_block(b.headers, out).ok());
      if (b.hex != nullptr) {
        EXPECT_EQ(hex(out), b.hex);
      }
      EXPECT_TRUE(decode(d, out).outcome.ok());
    }
  }
}

TEST(HpackEncoder, LargeEntriesStayOutOfTheTable) {
  HpackEncoder e;
  // 32 + 3 + 3037 = 3072 is exactly three quarters: inserted; one more
  // octet is not.
  encode(e, {field("x-a", std::string(3037, 'v'))});
  EXPECT_EQ(e.table().count(), 1u);
  encode(e, {field("x-b", std::string(3038, 'v'))});
  EXPECT_EQ(e.table().count(), 1u);
  // With a table of 0 nothing is inserted at all.
  e.update_max_size(0);
  EXPECT_EQ(encode(e, {field("x-a", "1")}), "20" "0083f2b0ff810f");
  EXPECT_EQ(e.table().count(), 0u);
}

TEST(HpackEncoder, PendingSizeUpdateRules) {
  const struct {
    std::vector<size_t> updates;
    const char* hex;
  } cases[] = {
      {{100}, "3f45"},
      {{100, 50}, "3f13"},                 // a smaller one replaces it
      {{8192, 16384}, "3fe17f"},           // both above the current size: the last
      {{100, 8192}, "3f45" "3fe13f"},      // shrink first, then grow
      {{100, 8192, 50}, "3f13"},           // below the smallest: one value
      {{100, 8192, 200}, "3f45" "3fa901"}, // the pair keeps its smallest
  };
  for (const auto& c : cases) {
    HpackEncoder e;
    for (const size_t u : c.updates) e.update_max_size(u);
    EXPECT_EQ(encode(e, {}), c.hex);
    EXPECT_EQ(encode(e, {}), "");
  }
}

TEST(HpackEncoder, FirstFieldWithoutName) {
  for (const auto& list : {std::vector<DecodedHeader>{DecodedHeader::more("x")},
                           std::vector<DecodedHeader>{pseudo(HeaderKind::Path, "/"), DecodedHeader::more("x")}}) {
    HpackEncoder e;
    e.update_max_size(100);
    std::string out;
    const auto r = e.encode_block(list, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(encode_error_text(r.error()), "encoding header without name, but no previous index to use for name");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(e.max_table_size(), 4096u);  // the pending update is still due
  }
}

// The static table's name slots are hashed at compile time, names to encode
// at run time, by other code paths: they must agree at every length.
TEST(HpackEncoder, NameHashSameAtCompileAndRunTime) {
  static constexpr std::string_view kText = "abcdefghijklmnopqrstuvwxyz0123456789-_.!";
  static constexpr auto kHashes = [] {
    std::array<uint64_t, kText.size() + 1> t{};
    for (size_t n = 0; n <= kText.size(); ++n) t[n] = vintrel::h2::hpack::name_hash(kText.substr(0, n));
    return t;
  }();
  for (size_t n = 0; n <= kText.size(); ++n) {
    const std::string copy(kText.substr(0, n));  // exactly n bytes on the heap
    EXPECT_EQ(vintrel::h2::hpack::name_hash(copy), kHashes[n]) << n;
  }
}

void expect_same_tables(const HeaderTable& a, const HeaderTable& b) {
  ASSERT_EQ(a.count(), b.count());
  EXPECT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.count(); ++i) {
    EXPECT_EQ(a.get(i).name, b.get(i).name);
    EXPECT_EQ(a.get(i).value, b.get(i).value);
  }
}

// The list a decoder gives back for an encoder input: later values carry
// their name again.
HeaderList expand(const std::vector<DecodedHeader>& input) {
  HeaderList out;
  for (const DecodedHeader& h : input) {
    out.emplace_back(h.name.empty() ? out.back().first : std::string(h.name), std::string(h.value));
  }
  return out;
}

// Encodes each block, decodes it back, and checks the lists and the two
// tables after every block.
void round_trip(HpackEncoder& e, HpackDecoder& d, const std::vector<DecodedHeader>& input) {
  std::string out;
  ASSERT_TRUE(e.encode_block(input, out).ok());
  const Decoded r = decode(d, out);
  ASSERT_TRUE(r.outcome.ok()) << decode_error_text(*r.outcome.error);
  ASSERT_EQ(r.headers, expand(input));
  ASSERT_EQ(e.max_table_size(), d.max_table_size());
  expect_same_tables(e.table(), d.table());
}

TEST(HpackEncoder, RoundTripsRfcExamples) {
  const Json doc = read_json(data_dir() / "examples.json");
  for (const Json& ex : doc["examples"].items) {
    HpackEncoder e;
    HpackDecoder d;
    for (const Json& c : ex["cases"].items) {
      HeaderList list;
      for (const Json& h : c["headers"].items) list.emplace_back(h.items[0].text, h.items[1].text);
      round_trip(e, d, to_encoder_input(list));
    }
  }
}

size_t round_trip_raw_stories(const std::filesystem::path& root) {
  size_t cases = 0;
  const auto stories = corpus_stories(root);
  if (!stories.contains("raw-data")) return 0;
  size_t n = 0;
  for (const auto& path : stories.at("raw-data")) {
    SCOPED_TRACE(path.string());
    HpackEncoder e;
    HpackDecoder d;
    // Each story under another table size, so eviction is exercised too.
    const size_t size = std::vector<size_t>{4096, 256, 1365, 0, 65536}[n++ % 5];
    e.update_max_size(size);
    d.queue_size_update(size);
    for (const StoryCase& c : read_story(path)) {
      round_trip(e, d, to_encoder_input(c.headers));
      if (::testing::Test::HasFailure()) return cases;
      ++cases;
    }
  }
  return cases;
}

TEST(HpackEncoder, RoundTripsCorpusCopy) { EXPECT_GE(round_trip_raw_stories(data_dir() / "corpus"), 10u); }

TEST(HpackEncoder, RoundTripsWholeSharedCorpus) {
  if (!std::filesystem::is_directory(shared_corpus())) {
    GTEST_SKIP() << "the shared hpack-test-case corpus is not beside the checkout";
  }
  EXPECT_GT(round_trip_raw_stories(shared_corpus()), 500u);
}

TEST(HpackEncoder, RandomRoundTrip) {
  std::mt19937 rng(5);
  const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::string_view names[] = {"x-a", "cookie", "accept-encoding", "content-type", "x-long-custom-name",
                                    "set-cookie", "etag", "user-agent", "x-b"};
  const HeaderKind pseudos[] = {HeaderKind::Authority, HeaderKind::Scheme, HeaderKind::Path, HeaderKind::Protocol};
  std::vector<std::string> values;  // a pool, so values repeat
  for (int i = 0; i < 40; ++i) {
    std::string v(pick(i % 10 == 0 ? 900 : 30), ' ');
    for (char& c : v) {
      // Every legal value byte: tab, 0x20-0x7e, 0x80-0xff.
      const auto b = static_cast<unsigned>(pick(224));
      c = static_cast<char>(b == 0 ? 9 : b < 96 ? b + 31 : b + 32);
    }
    values.push_back(v);
  }
  const std::string_view methods[] = {"GET", "POST", "PATCH", "M-SEARCH"};
  const uint16_t statuses[] = {200, 204, 302, 404, 599};
  const std::string_view status_texts[] = {"200", "204", "302", "404", "599"};
  HpackEncoder e;
  HpackDecoder d;
  for (int block = 0; block < 3000; ++block) {
    for (size_t k = pick(4) == 0 ? 1 + pick(3) : 0; k > 0; --k) {
      const size_t size = std::vector<size_t>{0, 64, 200, 1000, 4096, 10000}[pick(6)];
      e.update_max_size(size);
      d.queue_size_update(size);
    }
    std::vector<DecodedHeader> input;
    if (pick(2) == 0) {
      const size_t m = pick(4);
      input.push_back({HeaderKind::Method, ":method", methods[m], vintrel::http::MethodKind::Extension});
    }
    for (const HeaderKind k : pseudos) {
      if (pick(3) == 0) input.push_back(pseudo(k, pick(2) == 0 ? "/" : "x.example"));
    }
    if (pick(3) == 0) {
      const size_t s = pick(5);
      input.push_back(DecodedHeader::status_of(statuses[s], status_texts[s]));
    }
    for (size_t n = pick(12); n > 0; --n) {
      input.push_back(field(names[pick(std::size(names))], values[pick(values.size())]));
      for (size_t more = pick(4) == 0 ? pick(3) : 0; more > 0; --more) {
        input.push_back(DecodedHeader::more(values[pick(values.size())]));
      }
    }
    round_trip(e, d, input);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace hpack_test
