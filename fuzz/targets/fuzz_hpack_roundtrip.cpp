// HPACK encode then decode, differential: over a run of blocks and table
// size changes, the decoder gives back every list as it was encoded, and
// both dynamic tables hold the same entries afterwards.
#include <vector>

#include "core/http/method.h"
#include "core/http/status.h"
#include "core/http2/hpack/decoder.h"
#include "core/http2/hpack/encoder.h"
#include "core/util/utf8.h"
#include "generate.h"

using namespace vintrel;
using namespace vintrel::h2::hpack;

namespace {

struct Expected {
  HeaderKind kind;
  std::string name;
  std::string value;
};

void same_tables(const HeaderTable& a, const HeaderTable& b) {
  fuzz::check(a.count() == b.count() && a.size() == b.size(), "tables differ in size");
  for (size_t i = 0; i < a.count(); ++i) {
    const DecodedHeader x = a.get(i), y = b.get(i);
    fuzz::check(x.kind == y.kind && x.name == y.name && x.value == y.value, "tables differ in an entry");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  HpackEncoder encoder;
  HpackDecoder decoder;
  constexpr HeaderKind kPseudo[] = {HeaderKind::Method, HeaderKind::Scheme, HeaderKind::Authority,
                                    HeaderKind::Path,   HeaderKind::Protocol, HeaderKind::Status};
  constexpr std::string_view kMethods[] = {"GET", "POST", "HEAD", "CONNECT", "OPTIONS", "PURGE"};
  for (int round = 0; round < 16 && in.remaining_bytes() > 0; ++round) {
    if (in.ConsumeBool()) {
      const auto s = in.ConsumeIntegralInRange<size_t>(0, 4096);
      encoder.update_max_size(s);
      decoder.queue_size_update(s);
    }
    // The strings the list views, kept in place while it is encoded.
    std::vector<std::string> store;
    store.reserve(64);
    std::vector<DecodedHeader> list;
    std::vector<Expected> expected;
    std::optional<http::Method> method;  // an extension method's text lives here
    for (HeaderKind kind : kPseudo) {
      if (!in.ConsumeBool()) continue;
      if (kind == HeaderKind::Method) {
        method = *http::Method::parse(in.PickValueInArray(kMethods));
        list.push_back(DecodedHeader::method_of(*method));
      } else if (kind == HeaderKind::Status) {
        const auto code = in.ConsumeIntegralInRange<uint16_t>(100, 999);
        list.push_back(DecodedHeader::status_of(code, http::status_digits(code)));
      } else {
        store.push_back(utf8::to_valid_lossy(in.ConsumeRandomLengthString(48)));
        list.push_back(DecodedHeader::pseudo(kind, store.back()));
      }
      expected.push_back({kind, std::string(list.back().name), std::string(list.back().value)});
    }
    const auto fields = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t i = 0; i < fields; ++i) {
      // A later value of the same name, or a field of its own.
      const bool more = i > 0 && in.ConsumeBool();
      if (!more) store.push_back(fuzz::make_name(in));
      const std::string name = more ? expected.back().name : store.back();
      store.push_back(fuzz::make_value(in, false));
      list.push_back(more ? DecodedHeader::more(store.back()) : DecodedHeader::field(store[store.size() - 2], store.back()));
      expected.push_back({HeaderKind::Field, name, store.back()});
    }

    std::string block;
    fuzz::check(encoder.encode_block(list, block).ok(), "encoding failed");
    size_t at = 0;
    SinkFn sink([&](const DecodedHeader& h) {
      fuzz::check(at < expected.size(), "more headers decoded than encoded");
      const Expected& e = expected[at++];
      fuzz::check(h.kind == e.kind && h.name == e.name && h.value == e.value, "decoded header differs");
      return SinkAction::Continue;
    });
    const DecodeOutcome out = decoder.decode_block(block, sink);
    fuzz::check(out.ok() && out.consumed == block.size(), "encoded block does not decode");
    fuzz::check(at == expected.size(), "fewer headers decoded than encoded");
    same_tables(encoder.table(), decoder.table());
    fuzz::check(encoder.max_table_size() == decoder.max_table_size(), "table maxima differ");
  }
  return 0;
}
