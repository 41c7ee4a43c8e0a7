// The receive side of HPACK: turns the header blocks of one connection into
// decoded headers, keeping the receive-side dynamic table in step with the
// peer's encoder. It knows nothing of frames or streams; the frame reader
// drives it through decode_block and a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "core/http2/hpack/error.h"
#include "core/http2/hpack/header.h"
#include "core/http2/hpack/table.h"

namespace vintrel::h2::hpack {

inline constexpr size_t kDefaultTableSize = 4096;

enum class SinkAction : uint8_t { Continue, Stop };

// Receives each decoded header in block order. The header's views are valid
// only during the call.
class HeaderSink {
 public:
  virtual SinkAction on_header(const DecodedHeader& header) = 0;

 protected:
  ~HeaderSink() = default;
};

// A sink made of a callable: SinkFn sink([&](const DecodedHeader& h) { ... });
template <class F>
class SinkFn final : public HeaderSink {
 public:
  explicit SinkFn(F f) : f_(std::move(f)) {}
  SinkAction on_header(const DecodedHeader& header) override { return f_(header); }

 private:
  F f_;
};

struct DecodeOutcome {
  // Octets of the completely decoded representations at the front of the
  // block, size updates included; the caller drops them. After a NeedMore
  // error the rest is the incomplete representation, to be completed by
  // the next fragment.
  size_t consumed = 0;
  std::optional<HpackDecodeError> error;

  bool ok() const noexcept { return !error.has_value(); }
};

class HpackDecoder {
 public:
  HpackDecoder();

  // The local side advertised SETTINGS_HEADER_TABLE_SIZE = size: the next
  // decode_block allows the peer size updates up to the largest size
  // advertised since the last call. The table itself is untouched.
  void queue_size_update(size_t size) noexcept;

  // Decodes every complete representation at the front of `block` and hands
  // each header to `sink`. Returns at the first failure, with everything
  // before it applied (entries inserted, sizes updated, headers delivered);
  // a sink that answers Stop ends the call at once with success.
  DecodeOutcome decode_block(std::string_view block, HeaderSink& sink);

  const HeaderTable& table() const noexcept { return table_; }
  size_t table_size() const noexcept { return table_.size(); }
  size_t max_table_size() const noexcept { return max_size_; }
  size_t allowed_max_size() const noexcept { return allowed_max_; }
  std::optional<size_t> pending_size() const noexcept { return pending_; }

 private:
  // A string literal: raw octets of the input, or Huffman output at an
  // offset of the scratch buffer (which may move while a second string is
  // decoded, so the view is made afterwards).
  struct Str {
    const char* raw;
    size_t offset;
    size_t length;
  };

  std::optional<HpackDecodeError> read_string(const uint8_t** p, const uint8_t* end, size_t* scratch_used, Str* out);
  std::string_view view(const Str& s) const noexcept {
    return {s.raw != nullptr ? s.raw : scratch_.get() + s.offset, s.length};
  }
  std::optional<HpackDecodeError> resolve(uint32_t index, DecodedHeader* out) const noexcept;
  std::optional<HpackDecodeError> read_literal(const uint8_t** p, const uint8_t* end, unsigned prefix,
                                          DecodedHeader* out);
  std::optional<HpackDecodeError> resize(size_t max_size) noexcept;
  // Stores `h` unless it alone is larger than the maximum; true if stored.
  bool insert(const DecodedHeader& h);

  std::optional<size_t> pending_;
  size_t allowed_max_ = kDefaultTableSize;
  size_t max_size_ = kDefaultTableSize;
  HeaderTable table_;
  std::unique_ptr<char[]> scratch_;
  size_t scratch_capacity_ = 0;
};

}  // namespace vintrel::h2::hpack
