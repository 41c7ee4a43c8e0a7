// Shared helpers of the HPACK tests: decoding into plain lists, and where
// the test data lives.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/http2/hpack/decoder.h"
#include "core/http2/hpack/encoder.h"
#include "core/http2/hpack/integer.h"
#include "test_hpack_support.h"

namespace hpack_test {

using vintrel::h2::hpack::DecodedHeader;
using vintrel::h2::hpack::HpackDecodeError;
using vintrel::h2::hpack::DecodeOutcome;
using vintrel::h2::hpack::HpackDecoder;
using vintrel::h2::hpack::HpackEncoder;
using vintrel::h2::hpack::SinkAction;
using vintrel::h2::hpack::SinkFn;

inline std::filesystem::path source_dir() { return VINTREL_SOURCE_DIR; }
inline std::filesystem::path data_dir() { return source_dir() / "tests/data/hpack"; }
inline std::filesystem::path shared_corpus() { return source_dir() / "../shared/data/hpack-test-case"; }

struct Decoded {
  DecodeOutcome outcome;
  HeaderList headers;
};

inline Decoded decode(HpackDecoder& d, std::string_view block) {
  Decoded r;
  SinkFn sink([&](const DecodedHeader& h) {
    r.headers.emplace_back(std::string(h.name), std::string(h.value));
    return SinkAction::Continue;
  });
  r.outcome = d.decode_block(block, sink);
  return r;
}

// Decodes `block` delivered in pieces cut at `cuts` (ascending offsets) as
// the frame reader does: the unconsumed tail waits for the next piece.
inline HeaderList decode_in_pieces(HpackDecoder& d, std::string_view block, const std::vector<size_t>& cuts) {
  HeaderList out;
  std::string pending;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : block.size();
    pending.append(block.substr(from, to - from));
    from = to;
    Decoded r = decode(d, pending);
    out.insert(out.end(), r.headers.begin(), r.headers.end());
    const bool last = i == cuts.size();
    if (!r.outcome.ok()) {
      EXPECT_TRUE(!last && r.outcome.error->is_need_more()) << decode_error_text(*r.outcome.error);
    }
    pending.erase(0, r.outcome.consumed);
  }
  EXPECT_TRUE(pending.empty());
  return out;
}

}  // namespace hpack_test
