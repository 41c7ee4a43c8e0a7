// The frame reader's header blocks decoded by the real HPACK decoder: the
// seam the codec uses, made for the fuzz targets (each decoded header goes
// to the block as a pseudo-header or a regular field).
#pragma once

#include <string>

#include "core/http2/header_block.h"
#include "core/http2/hpack/decoder.h"

namespace vintrel::fuzz {

class HpackBlockDecoder final : public h2::HeaderBlockDecoder {
 public:
  h2::hpack::HpackDecoder hpack;

  h2::BlockDecodeStatus decode(std::string_view fragment, h2::HeaderBlock& block) override {
    h2::hpack::SinkFn sink([&block](const h2::hpack::DecodedHeader& h) {
      const bool go_on =
          h.is_pseudo() ? block.accept_pseudo(pseudo_of(h.kind), h.value) : block.accept_field(h.name, h.value);
      return go_on ? h2::hpack::SinkAction::Continue : h2::hpack::SinkAction::Stop;
    });
    const auto out = hpack.decode_block(fragment, sink);
    if (out.ok()) return {h2::BlockDecodeStatus::Kind::Done, out.consumed};
    // The failure text must outlive the call: it is kept here until the next.
    failure_ = h2::hpack::decode_error_text(*out.error);
    const auto kind =
        out.error->is_need_more() ? h2::BlockDecodeStatus::Kind::NeedMore : h2::BlockDecodeStatus::Kind::Failed;
    return {kind, out.consumed, failure_};
  }

 private:
  static h2::Pseudo pseudo_of(h2::hpack::HeaderKind kind) noexcept {
    using K = h2::hpack::HeaderKind;
    switch (kind) {
      case K::Method: return h2::Pseudo::Method;
      case K::Scheme: return h2::Pseudo::Scheme;
      case K::Authority: return h2::Pseudo::Authority;
      case K::Path: return h2::Pseudo::Path;
      case K::Protocol: return h2::Pseudo::Protocol;
      case K::Status: return h2::Pseudo::Status;
      case K::Field: break;
    }
    return h2::Pseudo::Method;
  }

  std::string failure_;
};

}  // namespace vintrel::fuzz
