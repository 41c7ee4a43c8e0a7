#include "core/http1/body_decoder.h"

#include <algorithm>

#include "core/http1/trailers.h"

namespace vintrel::http1 {

namespace {

BodyError error(BodyErrorKind kind) { return BodyError{kind, {}}; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Compacting the read buffer only once its consumed prefix is large and at
// least half of it keeps feeding linear.
constexpr size_t kCompactAt = 4096;

}  // namespace

std::string_view BodyError::text() const noexcept {
  switch (kind) {
    case BodyErrorKind::EofInBody:
      return "end of file before message length reached";
    case BodyErrorKind::EofInChunkLine:
      return "unexpected EOF during chunk size line";
    case BodyErrorKind::MissingSizeDigit:
      return "Invalid chunk size line: missing size digit";
    case BodyErrorKind::InvalidSize:
      return "Invalid chunk size line: Invalid Size";
    case BodyErrorKind::SizeOverflow:
      return "invalid chunk size: overflow";
    case BodyErrorKind::InvalidSizeLws:
      return "Invalid chunk size linear white space";
    case BodyErrorKind::ExtensionNewline:
      return "invalid chunk extension contains newline";
    case BodyErrorKind::ExtensionsOverLimit:
      return "chunk extensions over limit";
    case BodyErrorKind::InvalidSizeLf:
      return "Invalid chunk size LF";
    case BodyErrorKind::InvalidBodyCr:
      return "Invalid chunk body CR";
    case BodyErrorKind::InvalidBodyLf:
      return "Invalid chunk body LF";
    case BodyErrorKind::TrailerBytesOverLimit:
      return "chunk trailers bytes over limit";
    case BodyErrorKind::TrailerCountOverflow:
      return "chunk trailers count overflow";
    case BodyErrorKind::InvalidTrailerLf:
      return "Invalid trailer end LF";
    case BodyErrorKind::InvalidEndLf:
      return "Invalid chunk end LF";
    case BodyErrorKind::BadTrailers:
      return detail;
  }
  return detail;
}

BodyDecoder::BodyDecoder(BodyKind kind, uint64_t length) : kind_(kind) {
  if (kind == BodyKind::Length) remaining_ = length;
  complete_ = kind == BodyKind::Empty || (kind == BodyKind::Length && length == 0);
}

void BodyDecoder::feed(std::string_view data) {
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ >= kCompactAt && pos_ >= buf_.size() / 2) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  buf_.append(data);
}

std::optional<http::HeaderMap> BodyDecoder::take_trailers() noexcept {
  std::optional<http::HeaderMap> out = std::move(trailers_);
  trailers_.reset();
  return out;
}

BodyDecoder::Step BodyDecoder::read_some(size_t max) noexcept {
  const size_t have = buf_.size() - pos_;
  if (have == 0) return {eof_ ? Step::End : Step::Pending, {}};
  const size_t n = std::min(have, max);
  const std::string_view out(buf_.data() + pos_, n);
  pos_ += n;
  return {Step::Data, out};
}

BodyDecoder::Read BodyDecoder::read_byte(char& c) noexcept {
  if (pos_ == buf_.size()) return eof_ ? Read::Eof : Read::Pending;
  c = buf_[pos_++];
  return Read::Byte;
}

Result<std::optional<std::string_view>, BodyError> BodyDecoder::decode() {
  if (failure_) return fail(*failure_);
  if (complete_) return std::optional<std::string_view>{};
  Result<Step, BodyError> step = kind_ == BodyKind::Length    ? step_length()
                                 : kind_ == BodyKind::Chunked ? step_chunked()
                                                              : step_close();
  if (!step.ok()) {
    failure_ = step.error();
    return fail(*failure_);
  }
  switch (step->kind) {
    case Step::Data:
      return std::optional<std::string_view>(step->data);
    case Step::End:
      complete_ = true;
      break;
    case Step::Pending:
      break;
  }
  return std::optional<std::string_view>{};
}

Result<BodyDecoder::Step, BodyError> BodyDecoder::step_length() {
  if (remaining_ == 0) return Step{Step::End, {}};
  const Step read = read_some(static_cast<size_t>(std::min<uint64_t>(remaining_, SIZE_MAX)));
  if (read.kind == Step::End) return fail(error(BodyErrorKind::EofInBody));
  remaining_ -= read.data.size();
  return read;
}

Result<BodyDecoder::Step, BodyError> BodyDecoder::step_close() {
  if (saw_eof_) return Step{Step::End, {}};
  const Step read = read_some(kCloseReadSize);
  if (read.kind == Step::End) saw_eof_ = true;
  return read;
}

Result<BodyDecoder::Step, BodyError> BodyDecoder::step_chunked() {
  for (;;) {
    if (state_ == Chunked::End) {
      if (trailer_buf_) {
        auto done = finish_trailers();
        if (!done.ok()) return fail(std::move(done).error());
      }
      return Step{Step::End, {}};
    }
    if (state_ == Chunked::Body) {
      const Step read = read_some(static_cast<size_t>(std::min<uint64_t>(remaining_, SIZE_MAX)));
      if (read.kind == Step::End) return fail(error(BodyErrorKind::EofInBody));
      if (read.kind == Step::Pending) return read;
      remaining_ -= read.data.size();
      if (remaining_ == 0) state_ = Chunked::BodyCr;
      return read;
    }
    char c = 0;
    switch (read_byte(c)) {
      case Read::Pending:
        return Step{Step::Pending, {}};
      case Read::Eof:
        return fail(error(BodyErrorKind::EofInChunkLine));
      case Read::Byte:
        break;
    }
    auto moved = chunk_header_byte(c);
    if (!moved.ok()) return fail(std::move(moved).error());
  }
}

Result<void, BodyError> BodyDecoder::chunk_header_byte(char c) {
  switch (state_) {
    case Chunked::Start: {
      const int digit = hex_value(c);
      if (digit < 0) return fail(error(BodyErrorKind::MissingSizeDigit));
      remaining_ = static_cast<uint64_t>(digit);
      state_ = Chunked::Size;
      return {};
    }
    case Chunked::Size: {
      const int digit = hex_value(c);
      if (digit >= 0) {
        if (remaining_ > (UINT64_MAX >> 4)) return fail(error(BodyErrorKind::SizeOverflow));
        remaining_ = (remaining_ << 4) | static_cast<uint64_t>(digit);
      } else if (c == '\t' || c == ' ') {
        state_ = Chunked::SizeLws;
      } else if (c == ';') {
        state_ = Chunked::Extension;
      } else if (c == '\r') {
        state_ = Chunked::SizeLf;
      } else {
        return fail(error(BodyErrorKind::InvalidSize));
      }
      return {};
    }
    case Chunked::SizeLws:
      if (c == ';') {
        state_ = Chunked::Extension;
      } else if (c == '\r') {
        state_ = Chunked::SizeLf;
      } else if (c != '\t' && c != ' ') {
        return fail(error(BodyErrorKind::InvalidSizeLws));
      }
      return {};
    case Chunked::Extension:
      if (c == '\r') {
        state_ = Chunked::SizeLf;
      } else if (c == '\n') {
        return fail(error(BodyErrorKind::ExtensionNewline));
      } else if (++extension_bytes_ >= kChunkedExtensionsLimit) {
        return fail(error(BodyErrorKind::ExtensionsOverLimit));
      }
      return {};
    case Chunked::SizeLf:
      if (c != '\n') return fail(error(BodyErrorKind::InvalidSizeLf));
      state_ = remaining_ == 0 ? Chunked::EndCr : Chunked::Body;
      return {};
    case Chunked::BodyCr:
      if (c != '\r') return fail(error(BodyErrorKind::InvalidBodyCr));
      state_ = Chunked::BodyLf;
      return {};
    case Chunked::BodyLf:
      if (c != '\n') return fail(error(BodyErrorKind::InvalidBodyLf));
      state_ = Chunked::Start;
      return {};
    case Chunked::EndCr:
      if (c == '\r') {
        state_ = Chunked::EndLf;
        return trailer_buf_ ? append_trailer(c, false) : Result<void, BodyError>{};
      }
      state_ = Chunked::Trailer;
      return append_trailer(c, true);
    case Chunked::Trailer:
      if (c == '\r') state_ = Chunked::TrailerLf;
      return append_trailer(c, false);
    case Chunked::TrailerLf:
      if (c != '\n') return fail(error(BodyErrorKind::InvalidTrailerLf));
      if (trailer_lines_ >= kTrailerLineLimit) return fail(error(BodyErrorKind::TrailerCountOverflow));
      ++trailer_lines_;
      state_ = Chunked::EndCr;
      return append_trailer(c, false);
    case Chunked::EndLf:
      if (c != '\n') return fail(error(BodyErrorKind::InvalidEndLf));
      state_ = Chunked::End;
      return trailer_buf_ ? append_trailer(c, false) : Result<void, BodyError>{};
    case Chunked::Body:
    case Chunked::End:
      break;
  }
  return {};
}

// Appends one trailer byte; `create` makes the buffer when it is absent
// (that first append goes unchecked).
Result<void, BodyError> BodyDecoder::append_trailer(char c, bool create) {
  if (!trailer_buf_) {
    trailer_buf_.emplace();
    trailer_buf_->reserve(64);
    trailer_buf_->push_back(c);
    if (create) return {};
  } else {
    trailer_buf_->push_back(c);
  }
  if (trailer_buf_->size() >= kTrailerLimit) return fail(error(BodyErrorKind::TrailerBytesOverLimit));
  return {};
}

Result<void, BodyError> BodyDecoder::finish_trailers() {
  if (trailer_lines_ >= kTrailerLineLimit) return fail(error(BodyErrorKind::TrailerCountOverflow));
  auto parsed = parse_trailer_section(*trailer_buf_, trailer_lines_);
  if (!parsed.ok()) return fail(BodyError{BodyErrorKind::BadTrailers, std::move(parsed).error()});
  trailers_ = std::move(*parsed);
  trailer_buf_.reset();
  return {};
}

}  // namespace vintrel::http1
