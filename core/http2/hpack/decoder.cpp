#include "core/http2/hpack/decoder.h"

#include <cstring>

#include "core/http/chars.h"
#include "core/http2/hpack/huffman.h"
#include "core/http2/hpack/integer.h"
#include "core/http2/hpack/static_table.h"
#include "core/util/utf8.h"

namespace vintrel::h2::hpack {
namespace {

using Failure = std::optional<HpackDecodeError>;

constexpr HpackDecodeError error(DecodeErrorKind kind) noexcept { return HpackDecodeError{kind}; }

Failure integer_failure(IntegerStatus status) noexcept {
  if (status == IntegerStatus::Underflow) return HpackDecodeError::need_more(NeedMoreCause::IntegerUnderflow);
  return error(DecodeErrorKind::IntegerOverflow);
}

// The pseudo-header a literal name names; Field when it names none.
HeaderKind pseudo_kind(std::string_view name) noexcept {
  for (const HeaderKind k : {HeaderKind::Authority, HeaderKind::Method, HeaderKind::Scheme, HeaderKind::Path,
                             HeaderKind::Protocol, HeaderKind::Status}) {
    if (name == pseudo_name(k)) return k;
  }
  return HeaderKind::Field;
}

// A method: a non-empty run of token characters; the nine standard ones by
// exact match.
bool parse_method(std::string_view text, http::MethodKind* kind) noexcept {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!http::chars::token(c)) return false;
  }
  *kind = http::MethodKind::Extension;
  for (const auto k : {http::MethodKind::Get, http::MethodKind::Post, http::MethodKind::Put,
                       http::MethodKind::Delete, http::MethodKind::Head, http::MethodKind::Options,
                       http::MethodKind::Connect, http::MethodKind::Patch, http::MethodKind::Trace}) {
    if (text == http::standard_method_text(k)) {
      *kind = k;
      break;
    }
  }
  return true;
}

// Exactly three digits, 100 to 999.
bool parse_status(std::string_view text, uint16_t* code) noexcept {
  if (text.size() != 3 || text[0] < '1' || text[0] > '9') return false;
  uint16_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = static_cast<uint16_t>(v * 10 + (c - '0'));
  }
  *code = v;
  return true;
}

// Gives `h` (whose kind and name are set) the value `value`, checked as the
// kind requires. A bad :status is InvalidStatusCode under a name from the
// table and InvalidUtf8 under a literal name.
Failure set_value(DecodedHeader* h, std::string_view value, bool name_from_table) noexcept {
  h->value = value;
  switch (h->kind) {
    case HeaderKind::Field:
      if (!http::is_valid_header_value(value)) return error(DecodeErrorKind::InvalidUtf8);
      return std::nullopt;
    case HeaderKind::Method:
      if (!parse_method(value, &h->method)) return error(DecodeErrorKind::InvalidUtf8);
      return std::nullopt;
    case HeaderKind::Status:
      if (!parse_status(value, &h->status)) {
        return error(name_from_table ? DecodeErrorKind::InvalidStatusCode : DecodeErrorKind::InvalidUtf8);
      }
      return std::nullopt;
    case HeaderKind::Authority:
    case HeaderKind::Scheme:
    case HeaderKind::Path:
    case HeaderKind::Protocol:
      if (!utf8::is_valid(value)) return error(DecodeErrorKind::InvalidUtf8);
      return std::nullopt;
  }
  return std::nullopt;
}

// Regular names must already be lowercase tokens: a peer's uppercase name
// is refused, not folded.
Failure set_literal_name(DecodedHeader* h, std::string_view name) noexcept {
  if (name.empty()) return HpackDecodeError::need_more(NeedMoreCause::UnexpectedEndOfStream);
  if (name[0] == ':') {
    h->kind = pseudo_kind(name);
    if (h->kind == HeaderKind::Field) return error(DecodeErrorKind::InvalidPseudoheader);
  } else if (http::name_shape(name) != http::NameShape::Lower) {
    return error(DecodeErrorKind::InvalidUtf8);
  } else {
    h->kind = HeaderKind::Field;
  }
  h->name = name;
  return std::nullopt;
}

}  // namespace

HpackDecoder::HpackDecoder() : scratch_(std::make_unique<char[]>(4096)), scratch_capacity_(4096) {}

void HpackDecoder::queue_size_update(size_t size) noexcept {
  pending_ = pending_.has_value() && *pending_ > size ? *pending_ : size;
}

Failure HpackDecoder::read_string(const uint8_t** p, const uint8_t* end, size_t* scratch_used, Str* out) {
  const uint8_t* at = *p;
  if (at == end) return HpackDecodeError::need_more(NeedMoreCause::UnexpectedEndOfStream);
  const bool huffman = (*at & 0x80u) != 0;
  uint32_t length = 0;
  if (const IntegerStatus s = decode_integer(&at, end, 7, &length); s != IntegerStatus::Ok) {
    return integer_failure(s);
  }
  if (length > static_cast<size_t>(end - at)) return HpackDecodeError::need_more(NeedMoreCause::StringUnderflow);
  const auto* raw = reinterpret_cast<const char*>(at);
  if (!huffman) {
    *out = Str{raw, 0, length};
  } else {
    const size_t room = huffman::decode_room(length);
    if (*scratch_used + room > scratch_capacity_) {
      size_t grown = scratch_capacity_ * 2;
      if (grown < *scratch_used + room) grown = *scratch_used + room;
      auto fresh = std::make_unique<char[]>(grown);
      std::memcpy(fresh.get(), scratch_.get(), *scratch_used);
      scratch_ = std::move(fresh);
      scratch_capacity_ = grown;
    }
    size_t decoded = 0;
    if (!huffman::decode(std::string_view(raw, length), scratch_.get() + *scratch_used, &decoded)) {
      return error(DecodeErrorKind::InvalidHuffmanCode);
    }
    *out = Str{nullptr, *scratch_used, decoded};
    *scratch_used += decoded;
  }
  *p = at + length;
  return std::nullopt;
}

Failure HpackDecoder::resolve(uint32_t index, DecodedHeader* out) const noexcept {
  if (index == 0) return error(DecodeErrorKind::InvalidTableIndex);
  if (index <= kStaticTableSize) {
    *out = kStaticTable[index - 1];
    return std::nullopt;
  }
  const size_t dynamic = index - kStaticTableSize - 1;
  if (dynamic >= table_.count()) return error(DecodeErrorKind::InvalidTableIndex);
  *out = table_.get(dynamic);
  return std::nullopt;
}

Failure HpackDecoder::read_literal(const uint8_t** p, const uint8_t* end, unsigned prefix, DecodedHeader* out) {
  const uint8_t* at = *p;
  uint32_t name_index = 0;
  if (const IntegerStatus s = decode_integer(&at, end, prefix, &name_index); s != IntegerStatus::Ok) {
    return integer_failure(s);
  }
  size_t scratch_used = 0;
  Str value{};
  DecodedHeader h;
  if (name_index == 0) {
    Str name{};
    if (Failure f = read_string(&at, end, &scratch_used, &name)) return f;
    if (Failure f = read_string(&at, end, &scratch_used, &value)) return f;
    if (Failure f = set_literal_name(&h, view(name))) return f;
    if (Failure f = set_value(&h, view(value), false)) return f;
  } else {
    if (Failure f = resolve(name_index, &h)) return f;
    if (Failure f = read_string(&at, end, &scratch_used, &value)) return f;
    if (Failure f = set_value(&h, view(value), true)) return f;
  }
  *out = h;
  *p = at;
  return std::nullopt;
}

Failure HpackDecoder::resize(size_t max_size) noexcept {
  max_size_ = max_size;
  while (table_.size() > max_size_) {
    if (table_.empty()) return error(DecodeErrorKind::TableInvariant);
    table_.pop_oldest();
  }
  return std::nullopt;
}

bool HpackDecoder::insert(const DecodedHeader& h) {
  const size_t s = h.entry_size();
  while (table_.size() + s > max_size_ && !table_.empty()) table_.pop_oldest();
  if (table_.size() + s > max_size_) return false;
  table_.push(h);
  return true;
}

DecodeOutcome HpackDecoder::decode_block(std::string_view block, HeaderSink& sink) {
  if (pending_.has_value()) {
    allowed_max_ = *pending_;
    pending_.reset();
  }
  bool size_update_allowed = true;
  const auto* const begin = reinterpret_cast<const uint8_t*>(block.data());
  const uint8_t* const end = begin + block.size();
  const uint8_t* p = begin;
  DecodeOutcome outcome;
  const auto fail_with = [&](HpackDecodeError e) {
    outcome.consumed = static_cast<size_t>(p - begin);
    outcome.error = e;
    return outcome;
  };
  while (p < end) {
    const uint8_t first = *p;
    const uint8_t* at = p;
    DecodedHeader h;
    if ((first & 0x80u) != 0) {
      uint32_t index = 0;
      if (const IntegerStatus s = decode_integer(&at, end, 7, &index); s != IntegerStatus::Ok) {
        return fail_with(*integer_failure(s));
      }
      if (Failure f = resolve(index, &h)) return fail_with(*f);
    } else if ((first & 0x40u) != 0) {
      if (Failure f = read_literal(&at, end, 6, &h)) return fail_with(*f);
      // Deliver the stored copy: `h` may view a table entry that the
      // insertion evicted and moved.
      if (insert(h)) h = table_.get(0);
    } else if ((first & 0x20u) != 0) {
      if (!size_update_allowed) return fail_with(error(DecodeErrorKind::InvalidMaxDynamicSize));
      uint32_t size = 0;
      if (const IntegerStatus s = decode_integer(&at, end, 5, &size); s != IntegerStatus::Ok) {
        return fail_with(*integer_failure(s));
      }
      if (size > allowed_max_) return fail_with(error(DecodeErrorKind::InvalidMaxDynamicSize));
      if (Failure f = resize(size)) return fail_with(*f);
      p = at;
      continue;
    } else {
      // Without indexing and never indexed (0001xxxx) are handled alike.
      if (Failure f = read_literal(&at, end, 4, &h)) return fail_with(*f);
    }
    size_update_allowed = false;
    p = at;
    if (sink.on_header(h) == SinkAction::Stop) break;
  }
  outcome.consumed = static_cast<size_t>(p - begin);
  return outcome;
}

}  // namespace vintrel::h2::hpack
