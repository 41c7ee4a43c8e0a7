#include "core/http2/hpack_adapter.h"

namespace vintrel::h2 {

BlockDecodeStatus HpackBlockDecoder::decode(std::string_view fragment, HeaderBlock& block) {
  hpack::SinkFn sink([&block](const hpack::DecodedHeader& h) {
    const bool go_on = h.is_pseudo() ? block.accept_pseudo(h.kind, h.value)
                                     : block.accept_field(h.name, h.value);
    return go_on ? hpack::SinkAction::Continue : hpack::SinkAction::Stop;
  });
  const hpack::DecodeOutcome outcome = decoder_.decode_block(fragment, sink);
  using Kind = BlockDecodeStatus::Kind;
  if (outcome.ok()) return {Kind::Done, outcome.consumed};
  // An empty literal name reads as NeedMore(UnexpectedEndOfStream) as well:
  // it waits for the next fragment like a cut representation, and fails
  // with that text once the block ends. The pending bytes it leaves are
  // bounded by the same limits as any cut representation.
  return {outcome.error->is_need_more() ? Kind::NeedMore : Kind::Failed, outcome.consumed,
          hpack::decode_error_view(*outcome.error)};
}

void HpackBlockEncoder::encode(const SendPseudo& pseudo, const http::HeaderMap* fields, std::string& out) {
  list_.clear();
  for (size_t i = 0; i < kPseudoCount; ++i) {
    if (pseudo.slots[i]) list_.push_back(hpack::DecodedHeader::pseudo(static_cast<HeaderKind>(i), *pseudo.slots[i]));
  }
  if (fields != nullptr) {
    list_.reserve(list_.size() + fields->value_count());
    for (size_t i = 0; i < fields->name_count(); ++i) {
      const std::string_view name = fields->name(i);
      bool first = true;
      for (std::string_view v : fields->values(i)) {
        list_.push_back(first ? hpack::DecodedHeader::field(name, v) : hpack::DecodedHeader::more(v));
        first = false;
      }
    }
  }
  // Every regular field has a name: MissingName cannot arise.
  (void)encoder_.encode_block(list_, out);
}

}  // namespace vintrel::h2
