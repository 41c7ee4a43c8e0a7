#include "core/http1/recv_buffer.h"

#include <cstring>

namespace vintrel::http1 {

namespace {
// The consumed prefix is dropped once it is this large and at least half of
// the buffer, which keeps appending amortised linear.
constexpr size_t kCompactAt = 4096;
}  // namespace

void RecvBuffer::append(std::string_view data) {
  if (pos_ == buf_.size()) {
    clear();
  } else if (pos_ >= kCompactAt && pos_ >= buf_.size() / 2) {
    buf_.erase(0, pos_);
    scan_ -= pos_;
    pos_ = 0;
  }
  buf_.append(data);
}

void RecvBuffer::consume(size_t n) noexcept {
  pos_ += n < size() ? n : size();
  if (scan_ < pos_) scan_ = pos_;
}

void RecvBuffer::clear() noexcept {
  buf_.clear();
  pos_ = 0;
  scan_ = 0;
}

size_t RecvBuffer::find_head_end() noexcept {
  const size_t end = buf_.size();
  const char* const base = buf_.data();
  while (pos_ < end) {
    if (base[pos_] == '\n') {
      ++pos_;
    } else if (base[pos_] == '\r' && pos_ + 1 < end && base[pos_ + 1] == '\n') {
      pos_ += 2;
    } else {
      break;
    }
  }
  if (scan_ < pos_) scan_ = pos_;
  // The head ends at the first LF followed by LF or CRLF. An LF whose
  // followers have not arrived yet is where the next search resumes.
  for (size_t i = scan_; i < end;) {
    const void* found = std::memchr(base + i, '\n', end - i);
    if (found == nullptr) break;
    const size_t lf = static_cast<size_t>(static_cast<const char*>(found) - base);
    scan_ = lf;
    if (lf + 1 >= end) return 0;
    if (base[lf + 1] == '\n') return lf + 2 - pos_;
    if (base[lf + 1] == '\r') {
      if (lf + 2 >= end) return 0;
      if (base[lf + 2] == '\n') return lf + 3 - pos_;
    }
    i = lf + 1;
  }
  scan_ = end;
  return 0;
}

}  // namespace vintrel::http1
