// Where the frame codec meets HPACK: the connection's decoder behind the
// reader's header-block seam, and the encoder behind the writer's header
// blocks (pseudo-headers first, then the caller's fields in map order).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/http/header_map.h"
#include "core/http2/received_block.h"
#include "core/http2/hpack/decoder.h"
#include "core/http2/hpack/encoder.h"
#include "core/http2/send_pseudo.h"

namespace vintrel::h2 {

// The receive side: decodes fragments with the connection's HPACK decoder
// and hands every header to the block's checks.
class HpackBlockDecoder final : public HeaderBlockDecoder {
 public:
  BlockDecodeStatus decode(std::string_view fragment, HeaderBlock& block) override;

  hpack::HpackDecoder& hpack() noexcept { return decoder_; }

 private:
  hpack::HpackDecoder decoder_;
};

// The send side: one header list per block, encoded with the connection's
// HPACK encoder. The list is kept between blocks so a warm connection
// allocates nothing for it.
class HpackBlockEncoder {
 public:
  // Appends the block of `pseudo` followed by every value of `fields` (when
  // given) to `out`. Names and values come from checked arguments or a
  // HeaderMap, so the encoder cannot refuse them.
  void encode(const SendPseudo& pseudo, const http::HeaderMap* fields, std::string& out);

  hpack::HpackEncoder& hpack() noexcept { return encoder_; }

 private:
  hpack::HpackEncoder encoder_;
  std::vector<hpack::DecodedHeader> list_;
};

}  // namespace vintrel::h2
