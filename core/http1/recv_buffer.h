// The receive buffer of an HTTP/1 connection: bytes are consumed by moving
// an offset, and the search for the end of a head resumes where the last
// one stopped, so a head trickling in one byte at a time costs linear work.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vintrel::http1 {

class RecvBuffer {
 public:
  // Appending may move the bytes: views of the buffer end here.
  void append(std::string_view data);
  // The bytes not consumed.
  std::string_view view() const noexcept { return std::string_view(buf_).substr(pos_); }
  size_t size() const noexcept { return buf_.size() - pos_; }
  // Views stay valid until the next append.
  void consume(size_t n) noexcept;
  void clear() noexcept;

  // Drops the empty lines (CRLF or LF) that may precede a head, then looks
  // for the empty line that ends it: the head's length in view(), its
  // final line end included, or 0 while it is incomplete.
  size_t find_head_end() noexcept;

 private:
  std::string buf_;
  size_t pos_ = 0;   // start of the unconsumed bytes
  size_t scan_ = 0;  // where the next search for the head's end starts
};

}  // namespace vintrel::http1
