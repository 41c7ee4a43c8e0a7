// One header as HPACK carries it: a regular field or one of the six
// pseudo-headers. Its entry size (name octets + value octets + 32) is what
// the dynamic tables and the header-list accounting count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/http/header_field.h"
#include "core/http/method.h"

namespace vintrel::h2::hpack {

// The one enumeration of the six pseudo-headers, for HPACK and framing
// alike: first, in the order a block carries them (so each is also its
// slot number, 0 to kPseudoCount - 1, where a block keeps them), then a
// regular field.
enum class HeaderKind : uint8_t { Method, Scheme, Authority, Path, Protocol, Status, Field };
inline constexpr size_t kPseudoCount = 6;
static_assert(static_cast<size_t>(HeaderKind::Field) == kPseudoCount);

inline constexpr size_t kEntryOverhead = 32;

// ":method" for HeaderKind::Method and so on; empty for Field.
constexpr std::string_view pseudo_name(HeaderKind kind) noexcept {
  switch (kind) {
    case HeaderKind::Method: return ":method";
    case HeaderKind::Scheme: return ":scheme";
    case HeaderKind::Authority: return ":authority";
    case HeaderKind::Path: return ":path";
    case HeaderKind::Protocol: return ":protocol";
    case HeaderKind::Status: return ":status";
    case HeaderKind::Field: break;
  }
  return {};
}

// The views point into storage owned by someone else: the decoder's input,
// its scratch buffer or its table (valid for the duration of one sink call),
// or the caller's buffers when handed to the encoder.
//
// For the encoder, a Field with an empty name is a later value of the
// previous header's name.
struct DecodedHeader {
  HeaderKind kind = HeaderKind::Field;
  // The lowercase field name, or the pseudo-header name with its colon.
  std::string_view name;
  // The value octets; the method text for :method, three digits for :status.
  std::string_view value;
  // Set for :method only.
  http::MethodKind method = http::MethodKind::Extension;
  // Set for :status only (100 to 999).
  uint16_t status = 0;

  constexpr size_t entry_size() const noexcept { return name.size() + value.size() + kEntryOverhead; }
  constexpr bool is_pseudo() const noexcept { return kind != HeaderKind::Field; }
  // A regular field's name (decoded names are already checked lowercase
  // tokens).
  http::HeaderName field_name() const noexcept { return http::HeaderName::trusted(name); }

  // Builders for headers to encode; the caller vouches for the validity of
  // what it passes (the frame writer takes it from checked arguments).
  static constexpr DecodedHeader field(std::string_view name, std::string_view value) noexcept {
    return {HeaderKind::Field, name, value};
  }
  // A later value of the previous header's name.
  static constexpr DecodedHeader more(std::string_view value) noexcept { return {HeaderKind::Field, {}, value}; }
  static constexpr DecodedHeader pseudo(HeaderKind kind, std::string_view value) noexcept {
    return {kind, pseudo_name(kind), value};
  }
  static DecodedHeader method_of(const http::Method& m) noexcept {
    return {HeaderKind::Method, pseudo_name(HeaderKind::Method), m.text(), m.kind()};
  }
  // `digits` is the three-digit text of `code` (http::status_digits).
  static constexpr DecodedHeader status_of(uint16_t code, std::string_view digits) noexcept {
    return {HeaderKind::Status, pseudo_name(HeaderKind::Status), digits, http::MethodKind::Extension, code};
  }
};

}  // namespace vintrel::h2::hpack
