// One received header block as it decodes: the checks every decoded header
// passes, the size accounting against the header-list limits, and the
// fields kept for the event. The HPACK decoder reaches it through the seam
// at the bottom of this file.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/http/header_map.h"
#include "core/http2/frame/head.h"
#include "core/http2/hpack/header.h"

namespace vintrel::h2 {

// The pseudo-headers are the HPACK header kinds before Field; a block keeps
// each in the slot of its number.
using hpack::HeaderKind;
using hpack::kPseudoCount;
using hpack::pseudo_name;

// What a decoded header costs against the header-list limits: name octets
// (a pseudo-header's colon included) + value octets + 32.
inline constexpr uint64_t kHeaderOverhead = 32;

// What a header block keeps for its event: the pseudo-headers by slot, in
// one byte store, and the regular fields in arrival order, in the header
// map the event hands out.
class KeptFields {
 public:
  std::optional<std::string_view> pseudo(HeaderKind which) const noexcept;
  void add_pseudo(HeaderKind which, std::string_view value);
  http::HeaderMap& regular() noexcept { return regular_; }
  const http::HeaderMap& regular() const noexcept { return regular_; }
  // Empty again; the pseudo-headers' store keeps its storage when modest.
  void clear() noexcept;

 private:
  // 32-bit offsets: a block keeps less than the header-list size, which
  // is itself a 32-bit setting.
  struct Span {
    uint32_t offset;
    uint32_t length;
  };
  std::string pseudo_bytes_;
  std::array<std::optional<Span>, kPseudoCount> pseudo_{};
  http::HeaderMap regular_;
};

// Kept fields live on the heap, so that an event holds a pointer rather
// than a map (frame events stay small); emptied ones circulate per thread,
// so a steady connection allocates none. A block takes one when it starts;
// whoever consumes the event gives it back.
using KeptFieldsPtr = std::unique_ptr<KeptFields>;
KeptFieldsPtr take_kept_fields();
void give_back_kept_fields(KeptFieldsPtr fields) noexcept;

// A complete header block: the event of a HEADERS frame and its
// CONTINUATION frames. END_HEADERS is always set on it.
struct HeadersFrame {
  StreamId stream_id;
  bool end_stream;
  KeptFieldsPtr kept;  // never null until given back
  // The list reached the max header list size: the headers from there on
  // were dropped, so the fields are not the whole request.
  bool truncated = false;

  // The regular fields.
  const http::HeaderMap& fields() const noexcept { return kept->regular(); }
  std::optional<std::string_view> pseudo(HeaderKind which) const noexcept { return kept->pseudo(which); }
  std::optional<std::string_view> method() const noexcept { return pseudo(HeaderKind::Method); }
  std::optional<std::string_view> scheme() const noexcept { return pseudo(HeaderKind::Scheme); }
  std::optional<std::string_view> authority() const noexcept { return pseudo(HeaderKind::Authority); }
  std::optional<std::string_view> path() const noexcept { return pseudo(HeaderKind::Path); }
  // The decoder hands over three digits 100 to 999.
  std::optional<uint16_t> status() const noexcept;
};

// The header-list bounds a block is decoded under. A list past `max_list`
// keeps its first headers and drops the rest (the block goes "over size");
// past `abuse` decoding stops and the connection fails.
struct HeaderLimits {
  uint64_t max_list;
  uint64_t abuse;
};

// The sink the HPACK decoder delivers each decoded header to, in block
// order. Each accept answers whether decoding should go on: false only when
// the list passed the abuse limit.
class HeaderBlock {
 public:
  // A list size above 2^32 - 1 counts as 2^32 - 1 (the setting is 32-bit,
  // and the kept bytes are addressed by 32-bit offsets).
  HeaderBlock(StreamId stream_id, bool end_stream, HeaderLimits limits)
      : stream_id_(stream_id),
        end_stream_(end_stream),
        limits_{std::min<uint64_t>(limits.max_list, UINT32_MAX), limits.abuse},
        kept_(take_kept_fields()) {}

  // The value is valid UTF-8 (a method token for :method, three digits 100
  // to 999 for :status): the decoder checks it.
  bool accept_pseudo(HeaderKind which, std::string_view value);
  // The name is a valid lowercase field name and the value a valid field
  // value: the decoder checks both. Past the header map's capacity of
  // names the block goes over size.
  bool accept_field(std::string_view name, std::string_view value);

  StreamId stream_id() const noexcept { return stream_id_; }
  bool malformed() const noexcept { return malformed_; }
  bool way_too_large() const noexcept { return way_too_large_; }
  bool over_size() const noexcept { return over_size_; }
  uint64_t list_size() const noexcept { return list_size_; }

  HeadersFrame finish() &&;

 private:
  // Size accounting and keeping (or dropping, once over size); false past
  // the abuse limit.
  bool count(uint64_t size) noexcept;

  StreamId stream_id_;
  bool end_stream_;
  HeaderLimits limits_;
  bool malformed_ = false;
  bool way_too_large_ = false;
  bool over_size_ = false;
  bool saw_regular_ = false;
  uint64_t list_size_ = 0;
  KeptFieldsPtr kept_;
};

// The seam between header-block assembly and the HPACK decoder.
struct BlockDecodeStatus {
  enum class Kind : uint8_t {
    Done,      // every representation decoded, or the sink stopped
    NeedMore,  // the fragment ends inside a representation
    Failed,    // any other HPACK failure
  };
  Kind kind;
  // Octets of complete representations taken from the front of the
  // fragment; the rest waits for the next fragment (NeedMore).
  size_t consumed;
  // NeedMore and Failed: the HPACK failure's debug text with static
  // storage, e.g. "NeedMore(StringUnderflow)", "InvalidTableIndex".
  std::string_view failure{};
};

// Decodes complete representations at the front of a fragment into a block.
// One lives per connection and keeps its dynamic table across blocks.
class HeaderBlockDecoder {
 public:
  virtual BlockDecodeStatus decode(std::string_view fragment, HeaderBlock& block) = 0;

 protected:
  ~HeaderBlockDecoder() = default;
};

}  // namespace vintrel::h2
