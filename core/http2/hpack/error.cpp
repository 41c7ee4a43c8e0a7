#include "core/http2/hpack/error.h"

namespace vintrel::h2::hpack {

std::string_view need_more_cause_text(NeedMoreCause cause) noexcept {
  switch (cause) {
    case NeedMoreCause::UnexpectedEndOfStream: return "UnexpectedEndOfStream";
    case NeedMoreCause::IntegerUnderflow: return "IntegerUnderflow";
    case NeedMoreCause::StringUnderflow: return "StringUnderflow";
  }
  return "";
}

std::string decode_error_text(HpackDecodeError error) { return std::string(decode_error_view(error)); }

std::string_view decode_error_view(HpackDecodeError error) noexcept {
  switch (error.kind) {
    case DecodeErrorKind::NeedMore:
      switch (error.cause) {
        case NeedMoreCause::UnexpectedEndOfStream: return "NeedMore(UnexpectedEndOfStream)";
        case NeedMoreCause::IntegerUnderflow: return "NeedMore(IntegerUnderflow)";
        case NeedMoreCause::StringUnderflow: return "NeedMore(StringUnderflow)";
      }
      return "NeedMore";
    case DecodeErrorKind::InvalidRepresentation: return "InvalidRepresentation";
    case DecodeErrorKind::InvalidIntegerPrefix: return "InvalidIntegerPrefix";
    case DecodeErrorKind::InvalidTableIndex: return "InvalidTableIndex";
    case DecodeErrorKind::InvalidHuffmanCode: return "InvalidHuffmanCode";
    case DecodeErrorKind::InvalidUtf8: return "InvalidUtf8";
    case DecodeErrorKind::InvalidStatusCode: return "InvalidStatusCode";
    case DecodeErrorKind::InvalidPseudoheader: return "InvalidPseudoheader";
    case DecodeErrorKind::InvalidMaxDynamicSize: return "InvalidMaxDynamicSize";
    case DecodeErrorKind::IntegerOverflow: return "IntegerOverflow";
    case DecodeErrorKind::TableInvariant: return "Size of table != 0, but no headers left!";
  }
  return "";
}

}  // namespace vintrel::h2::hpack
