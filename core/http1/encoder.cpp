#include "core/http1/encoder.h"

#include <algorithm>
#include <cstring>

#include "core/http/header_field.h"
#include "core/http1/fields.h"
#include "core/http1/framing.h"

namespace vintrel::http1 {

namespace {

constexpr std::string_view kLastChunk = "0\r\n\r\n";

constexpr std::array<std::string_view, 12> kForbiddenTrailers = {
    "authorization", "cache-control", "content-encoding", "content-length", "content-range", "content-type",
    "host",          "max-forwards",  "set-cookie",       "te",             "trailer",       "transfer-encoding",
};

}  // namespace

void FramedChunk::write_to(char* out) const noexcept {
  if (size_line_len != 0) std::memcpy(out, size_line.data(), size_line_len);
  out += size_line_len;
  if (!payload.empty()) std::memcpy(out, payload.data(), payload.size());
  if (crlf) std::memcpy(out + payload.size(), "\r\n", 2);
}

void Encoder::set_trailer_names(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  trailer_names_ = std::move(names);
}

bool Encoder::declares_trailer(std::string_view lower_name) const noexcept {
  return std::binary_search(trailer_names_.begin(), trailer_names_.end(), lower_name,
                            [](std::string_view a, std::string_view b) { return a < b; });
}

FramedChunk Encoder::encode_data(std::string_view chunk) noexcept {
  FramedChunk out;
  switch (kind_) {
    case EncoderKind::Chunked: {
      // Upper-case hex without leading zeros, then CRLF.
      char digits[16];
      size_t n = 0;
      for (uint64_t v = chunk.size(); v != 0 || n == 0; v >>= 4) digits[n++] = "0123456789ABCDEF"[v & 0xF];
      for (size_t i = 0; i < n; ++i) out.size_line[i] = digits[n - 1 - i];
      out.size_line[n] = '\r';
      out.size_line[n + 1] = '\n';
      out.size_line_len = static_cast<uint8_t>(n + 2);
      out.payload = chunk;
      out.crlf = true;
      break;
    }
    case EncoderKind::Length: {
      const uint64_t take = std::min<uint64_t>(remaining_, chunk.size());
      out.payload = chunk.substr(0, static_cast<size_t>(take));
      remaining_ -= take;
      break;
    }
    case EncoderKind::Close:
      out.payload = chunk;
      break;
  }
  return out;
}

std::vector<std::string> trailer_names_from_values(const std::vector<std::string_view>& values) {
  std::vector<std::string> names;
  http::NameScratch scratch;
  for (std::string_view value : values) {
    for_each_list_item(value, [&](std::string_view item) {
      if (auto name = http::parse_header_name(item, scratch); name.ok()) names.emplace_back(name->view());
    });
  }
  return names;
}

std::string_view body_encode_error_text(BodyEncodeError error) noexcept {
  switch (error) {
    case BodyEncodeError::NoMessageInFlight:
      return "serialize_data with no request in flight";
    case BodyEncodeError::ShorterThanDeclared:
      return "request body shorter than declared Content-Length";
  }
  return "";
}

bool is_forbidden_trailer(std::string_view lower_name) noexcept {
  return std::find(kForbiddenTrailers.begin(), kForbiddenTrailers.end(), lower_name) != kForbiddenTrailers.end();
}

Result<FramedChunk, BodyEncodeError> OutgoingBody::data(std::string_view chunk) noexcept {
  if (chunk.empty()) return FramedChunk{};
  if (!encoder_) return fail(BodyEncodeError::NoMessageInFlight);
  return encoder_->encode_data(chunk);
}

Result<std::string_view, BodyEncodeError> OutgoingBody::end() noexcept {
  if (!encoder_) return std::string_view{};
  const Encoder encoder = std::move(*encoder_);
  encoder_.reset();
  switch (encoder.kind()) {
    case EncoderKind::Chunked:
      return kLastChunk;
    case EncoderKind::Length:
      if (encoder.remaining() != 0) return fail(BodyEncodeError::ShorterThanDeclared);
      return std::string_view{};
    case EncoderKind::Close:
      break;
  }
  return std::string_view{};
}

Result<std::string_view, BodyEncodeError> OutgoingBody::trailers(const http::HeaderMap& trailers, std::string& out) {
  out.clear();
  if (!encoder_ || encoder_->kind() != EncoderKind::Chunked) return end();
  const Encoder encoder = std::move(*encoder_);
  encoder_.reset();
  // Kept fields in order of first appearance, each with its last value.
  std::vector<std::pair<std::string_view, std::string_view>> kept;
  for_each_field(trailers, [&](std::string_view name, std::string_view value) {
    if (!encoder.declares_trailer(name) || is_forbidden_trailer(name)) return;
    for (auto& field : kept) {
      if (field.first == name) {
        field.second = value;
        return;
      }
    }
    kept.emplace_back(name, value);
  });
  if (kept.empty()) return kLastChunk;
  out.append("0\r\n");
  for (const auto& [name, value] : kept) {
    out.append(name).append(": ").append(value).append("\r\n");
  }
  out.append("\r\n");
  return std::string_view(out);
}

}  // namespace vintrel::http1
