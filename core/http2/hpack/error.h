// The failures of HPACK decoding, one enumeration. A kind prints as its
// name; NeedMore carries a cause and prints as NeedMore(<cause>).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vintrel::h2::hpack {

enum class DecodeErrorKind : uint8_t {
  // The block ended inside a representation (see NeedMoreCause).
  NeedMore,
  // Kept for the complete set of kinds: every first octet selects a
  // representation and every prefix size is fixed, so no input gives these.
  InvalidRepresentation,
  InvalidIntegerPrefix,
  InvalidTableIndex,
  InvalidHuffmanCode,
  InvalidUtf8,
  InvalidStatusCode,
  InvalidPseudoheader,
  InvalidMaxDynamicSize,
  IntegerOverflow,
  // A broken invariant of the table, not an input error.
  TableInvariant,
};

enum class NeedMoreCause : uint8_t { UnexpectedEndOfStream, IntegerUnderflow, StringUnderflow };

struct HpackDecodeError {
  DecodeErrorKind kind;
  NeedMoreCause cause = NeedMoreCause::UnexpectedEndOfStream;  // meaningful for NeedMore only

  static constexpr HpackDecodeError need_more(NeedMoreCause c) noexcept {
    return {DecodeErrorKind::NeedMore, c};
  }
  constexpr bool is_need_more() const noexcept { return kind == DecodeErrorKind::NeedMore; }
  friend constexpr bool operator==(HpackDecodeError a, HpackDecodeError b) noexcept {
    return a.kind == b.kind && (a.kind != DecodeErrorKind::NeedMore || a.cause == b.cause);
  }
};

// "InvalidTableIndex", "NeedMore(StringUnderflow)", ...; the broken table
// invariant reads "Size of table != 0, but no headers left!".
std::string decode_error_text(HpackDecodeError error);
// The same text, with static storage.
std::string_view decode_error_view(HpackDecodeError error) noexcept;
std::string_view need_more_cause_text(NeedMoreCause cause) noexcept;

}  // namespace vintrel::h2::hpack
