#include <gtest/gtest.h>

#include <random>

#include "test_hpack_common.h"

namespace hpack_test {
namespace {

using vintrel::h2::hpack::DecodeErrorKind;
using vintrel::h2::hpack::NeedMoreCause;

std::string error_text(const DecodeOutcome& o) { return o.ok() ? "ok" : decode_error_text(*o.error); }

TEST(HpackDecoder, RfcExamplesWholeAndBytewise) {
  const Json doc = read_json(data_dir() / "examples.json");
  ASSERT_EQ(doc["examples"].items.size(), 8u);
  for (const Json& ex : doc["examples"].items) {
    SCOPED_TRACE(ex["example"].text);
    HpackDecoder whole;
    HpackDecoder bytewise;
    const auto table_size = static_cast<size_t>(ex["header_table_size"].number);
    for (size_t i = 0; i < ex["cases"].items.size(); ++i) {
      const Json& c = ex["cases"].items[i];
      std::string wire = unhex(c["wire"].text);
      if (i == 0 && table_size != 4096) {
        // The examples assume a table the peer already shrank: announce it
        // the way a peer would, with a size update in front of the block.
        std::string update;
        vintrel::h2::hpack::append_integer(update, 0x20, 5, table_size);
        wire = update + wire;
      }
      HeaderList expected;
      for (const Json& h : c["headers"].items) expected.emplace_back(h.items[0].text, h.items[1].text);
      const Decoded r = decode(whole, wire);
      ASSERT_TRUE(r.outcome.ok()) << error_text(r.outcome);
      EXPECT_EQ(r.outcome.consumed, wire.size());
      EXPECT_EQ(r.headers, expected);
      EXPECT_EQ(whole.table_size(), static_cast<size_t>(c["table_size_after"].number));
      std::vector<size_t> cuts;
      for (size_t k = 1; k < wire.size(); ++k) cuts.push_back(k);
      EXPECT_EQ(decode_in_pieces(bytewise, wire, cuts), expected);
      EXPECT_EQ(bytewise.table_size(), whole.table_size());
    }
  }
}

// Decodes every encoded story under `root` (each case after its table size
// is acknowledged) and compares with the recorded headers. Returns the
// number of cases.
size_t check_corpus(const std::filesystem::path& root, bool random_cuts) {
  std::mt19937 rng(7);
  size_t cases = 0;
  for (const auto& [folder, stories] : corpus_stories(root)) {
    if (folder == "raw-data") continue;
    for (const auto& path : stories) {
      SCOPED_TRACE(path.string());
      HpackDecoder d;
      for (const StoryCase& c : read_story(path)) {
        if (c.header_table_size != 0) d.queue_size_update(c.header_table_size);
        if (random_cuts) {
          std::vector<size_t> cuts;
          for (size_t k = 1; k < c.wire.size(); k += 1 + rng() % 40) cuts.push_back(k);
          EXPECT_EQ(decode_in_pieces(d, c.wire, cuts), c.headers);
        } else {
          const Decoded r = decode(d, c.wire);
          EXPECT_TRUE(r.outcome.ok()) << error_text(r.outcome);
          EXPECT_EQ(r.headers, c.headers);
        }
        if (::testing::Test::HasFailure()) return cases;
        ++cases;
      }
    }
  }
  return cases;
}

TEST(HpackDecoder, CorpusCopyAtRandomSplits) { EXPECT_GE(check_corpus(data_dir() / "corpus", true), 40u); }

TEST(HpackDecoder, WholeSharedCorpus) {
  if (!std::filesystem::is_directory(shared_corpus())) {
    GTEST_SKIP() << "the shared hpack-test-case corpus is not beside the checkout";
  }
  EXPECT_GT(check_corpus(shared_corpus(), false), 3000u);
}

struct FailureCase {
  const char* what;
  const char* hex;
  HpackDecodeError error;
  size_t consumed;  // octets of the representations completed before it
};

constexpr HpackDecodeError kind(DecodeErrorKind k) { return HpackDecodeError{k}; }
constexpr HpackDecodeError need(NeedMoreCause c) { return HpackDecodeError::need_more(c); }

TEST(HpackDecoder, EachFailureKind) {
  const FailureCase cases[] = {
      {"index 0", "80", kind(DecodeErrorKind::InvalidTableIndex), 0},
      {"index 62 with an empty table", "82be", kind(DecodeErrorKind::InvalidTableIndex), 1},
      {"four continuations decode", "ff808080 00", kind(DecodeErrorKind::InvalidTableIndex), 0},
      {"fourth continuation still continues", "ff80808080", kind(DecodeErrorKind::IntegerOverflow), 0},
      {"overflow with more octets after it", "ff8080808001", kind(DecodeErrorKind::IntegerOverflow), 0},
      {"integer cut short", "82ff8080", need(NeedMoreCause::IntegerUnderflow), 1},
      {"value octet missing", "0f2b", need(NeedMoreCause::UnexpectedEndOfStream), 0},
      {"value shorter than declared", "000161056162", need(NeedMoreCause::StringUnderflow), 0},
      {"empty literal name", "000000", need(NeedMoreCause::UnexpectedEndOfStream), 0},
      {"huffman padding of eleven bits", "0182 1fff", kind(DecodeErrorKind::InvalidHuffmanCode), 0},
      {"huffman padding with a zero bit", "0181 1e", kind(DecodeErrorKind::InvalidHuffmanCode), 0},
      {"EOS inside a string", "0184 fffffffc", kind(DecodeErrorKind::InvalidHuffmanCode), 0},
      {"size update after a header", "823fe11f", kind(DecodeErrorKind::InvalidMaxDynamicSize), 1},
      {"size update above the allowed maximum", "3fe21f", kind(DecodeErrorKind::InvalidMaxDynamicSize), 0},
      {"unknown pseudo-header", "00043a666f6f 00", kind(DecodeErrorKind::InvalidPseudoheader), 0},
      {"lone colon", "00013a 00", kind(DecodeErrorKind::InvalidPseudoheader), 0},
      {"uppercase name", "000c436f6e74656e742d54797065 00", kind(DecodeErrorKind::InvalidUtf8), 0},
      {"double quote in a name", "000122 00", kind(DecodeErrorKind::InvalidUtf8), 0},
      {"DEL in a value", "00016101 7f", kind(DecodeErrorKind::InvalidUtf8), 0},
      {"LF in a value", "00016101 0a", kind(DecodeErrorKind::InvalidUtf8), 0},
      {":status 099, literal name", "00073a737461747573 03303939", kind(DecodeErrorKind::InvalidUtf8), 0},
      {":status 20, literal name", "00073a737461747573 023230", kind(DecodeErrorKind::InvalidUtf8), 0},
      {":status 099, table name", "08 03303939", kind(DecodeErrorKind::InvalidStatusCode), 0},
      {":status 2000, table name", "08 0432303030", kind(DecodeErrorKind::InvalidStatusCode), 0},
      {"method with a space", "02 03472054", kind(DecodeErrorKind::InvalidUtf8), 0},
      {"path not UTF-8", "04 01ff", kind(DecodeErrorKind::InvalidUtf8), 0},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    HpackDecoder d;
    const Decoded r = decode(d, unhex(c.hex));
    ASSERT_FALSE(r.outcome.ok());
    EXPECT_EQ(decode_error_text(*r.outcome.error), decode_error_text(c.error));
    EXPECT_EQ(r.outcome.consumed, c.consumed);
    EXPECT_EQ(r.headers.size(), c.consumed == 0 ? 0u : 1u);
  }
}

TEST(HpackDecoder, AcceptedOddities) {
  HpackDecoder d;
  // Tab and 0xff in a value; a valid :status under both name forms; an
  // extension method; a never-indexed literal.
  const Decoded r = decode(d, unhex("00016102 09ff" "08 03313939" "00073a737461747573 03393939" "02 054d2d534541"
                                    "10016101 62"));
  ASSERT_TRUE(r.outcome.ok()) << error_text(r.outcome);
  const HeaderList expected{
      {"a", "\t\xff"}, {":status", "199"}, {":status", "999"}, {":method", "M-SEA"}, {"a", "b"}};
  EXPECT_EQ(r.headers, expected);
  EXPECT_TRUE(decode(d, "").outcome.ok());
  EXPECT_EQ(decode_error_text(kind(DecodeErrorKind::TableInvariant)), "Size of table != 0, but no headers left!");
}

TEST(HpackDecoder, SizeUpdates) {
  HpackDecoder d;
  ASSERT_TRUE(decode(d, unhex("4001610162")).outcome.ok());
  EXPECT_EQ(d.table_size(), 34u);
  // 4096 then 0 at the start of a block: both taken, the table emptied.
  ASSERT_TRUE(decode(d, unhex("3fe11f20")).outcome.ok());
  EXPECT_EQ(d.table_size(), 0u);
  EXPECT_EQ(d.max_table_size(), 0u);
  // The flag starts over with every call: an update may open a later
  // fragment of the same block.
  ASSERT_TRUE(decode(d, unhex("82")).outcome.ok());
  ASSERT_TRUE(decode(d, unhex("3fe11f82")).outcome.ok());

  for (const auto& order : {std::pair<size_t, size_t>{100, 8192}, {8192, 100}}) {
    HpackDecoder q;
    q.queue_size_update(order.first);
    q.queue_size_update(order.second);
    EXPECT_EQ(q.pending_size(), 8192u);
    ASSERT_TRUE(decode(q, unhex("3fe13f")).outcome.ok());  // 8192
    EXPECT_EQ(q.max_table_size(), 8192u);
    EXPECT_FALSE(q.pending_size().has_value());
    EXPECT_EQ(q.allowed_max_size(), 8192u);
  }
  // A smaller advertised size lowers only the ceiling.
  HpackDecoder s;
  s.queue_size_update(100);
  EXPECT_EQ(decode(s, unhex("3f46")).outcome.error, kind(DecodeErrorKind::InvalidMaxDynamicSize));  // 101
  ASSERT_TRUE(decode(s, unhex("3f45")).outcome.ok());  // 100
  EXPECT_EQ(s.max_table_size(), 100u);
}

TEST(HpackDecoder, OversizedLiteralEmptiesTableAndIsDelivered) {
  HpackDecoder d;
  // Table maximum 64, "a: b" (34), then "b" with 33 octets (66 alone).
  std::string block = unhex("3f21" "4001610162");
  block += unhex("400162" "21") + std::string(33, 'x');
  const Decoded r = decode(d, block);
  ASSERT_TRUE(r.outcome.ok()) << error_text(r.outcome);
  ASSERT_EQ(r.headers.size(), 2u);
  EXPECT_EQ(r.headers[1], (std::pair<std::string, std::string>{"b", std::string(33, 'x')}));
  EXPECT_EQ(d.table().count(), 0u);
  EXPECT_EQ(d.table_size(), 0u);
}

// Literals that name the oldest entry by index while their own insertion
// evicts it, with names and values of many lengths so that the table's
// byte storage wraps, compacts and grows under them.
TEST(HpackDecoder, NameOfEvictedEntryIsKept) {
  std::mt19937 rng(11);
  HpackDecoder d;
  std::string name = "n";
  ASSERT_TRUE(decode(d, unhex("4001") + "n" + unhex("00")).outcome.ok());
  for (int round = 0; round < 2000; ++round) {
    std::string value(rng() % 300, 'v');
    std::string block;
    // Every third round the table first keeps just its newest entry, then
    // grows to one octet less than that entry and the new one need: the
    // insertion evicts the entry whose name it takes.
    size_t max_size = 4096;
    if (round % 3 == 0) {
      const size_t kept = d.table().get(0).entry_size();
      std::string shrink;
      vintrel::h2::hpack::append_integer(shrink, 0x20, 5, kept);
      ASSERT_TRUE(decode(d, shrink).outcome.ok());
      max_size = kept + d.table().oldest().name.size() + value.size() + 32 - 1;
    }
    vintrel::h2::hpack::append_integer(block, 0x20, 5, max_size);
    vintrel::h2::hpack::append_integer(block, 0x40, 6, 62 + d.table().count() - 1);  // the oldest
    const std::string expected_name(d.table().oldest().name);
    vintrel::h2::hpack::append_integer(block, 0x00, 7, value.size());
    block += value;
    const Decoded r = decode(d, block);
    ASSERT_TRUE(r.outcome.ok()) << error_text(r.outcome);
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].first, expected_name);
    EXPECT_EQ(r.headers[0].second, value);
    if (round % 3 == 0) {
      EXPECT_EQ(d.table().count(), 1u);
    }
    if (round % 7 == 0) {
      // A fresh name now and then.
      name = std::string(1 + rng() % 60, static_cast<char>('a' + rng() % 26));
      block.clear();
      block += '\x40';
      vintrel::h2::hpack::append_integer(block, 0x00, 7, name.size());
      block += name;
      block += '\x00';
      ASSERT_TRUE(decode(d, block).outcome.ok());
    }
    if (d.table().count() > 0) {
      size_t sum = 0;
      for (size_t i = 0; i < d.table().count(); ++i) sum += d.table().get(i).entry_size();
      EXPECT_EQ(sum, d.table_size());
    }
    ASSERT_GT(d.table().count(), 0u);
  }
}

TEST(HpackDecoder, SinkStopEndsTheCall) {
  HpackDecoder d;
  int seen = 0;
  SinkFn sink([&](const DecodedHeader&) {
    ++seen;
    return SinkAction::Stop;
  });
  const std::string block = unhex("828487");
  const DecodeOutcome o = d.decode_block(block, sink);
  EXPECT_TRUE(o.ok());
  EXPECT_EQ(o.consumed, 1u);
  EXPECT_EQ(seen, 1);
}

// Hostile input: random blocks and corpus blocks with flipped bits. Nothing
// may crash or read out of bounds, consumed stays within the block, and
// the table stays within its maximum.
TEST(HpackDecoder, GarbageIsRefusedSafely) {
  std::mt19937 rng(3);
  const auto stories = corpus_stories(data_dir() / "corpus");
  std::vector<std::string> seeds;
  for (const StoryCase& c : read_story(stories.at("nghttp2").front())) seeds.push_back(c.wire);
  HpackDecoder d;
  d.queue_size_update(1 << 20);
  for (int i = 0; i < 20000; ++i) {
    std::string block;
    if (i % 2 == 0) {
      block.resize(rng() % 64);
      for (char& c : block) c = static_cast<char>(rng());
    } else {
      block = seeds[rng() % seeds.size()];
      for (int k = 0; k < 3 && !block.empty(); ++k) {
        block[rng() % block.size()] ^= static_cast<char>(1 << (rng() % 8));
      }
    }
    const Decoded r = decode(d, block);
    ASSERT_LE(r.outcome.consumed, block.size());
    ASSERT_LE(d.table_size(), d.max_table_size());
  }
}

}  // namespace
}  // namespace hpack_test
