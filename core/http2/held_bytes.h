// The received bytes a frame reader holds between calls: one heap block
// consumed by an offset. Bytes handed out as views are never written again:
// a block that the events of a call view is released whole into that call's
// batch (`release_viewed`), and growing a viewed block retires it there too,
// so a view stays valid for as long as the batch that owns its block.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace vintrel::h2 {

using ByteBlocks = std::vector<std::unique_ptr<char[]>>;

class HeldBytes {
 public:
  std::string_view view() const noexcept { return {block_.get() + begin_, end_ - begin_}; }
  size_t size() const noexcept { return end_ - begin_; }
  bool empty() const noexcept { return end_ == begin_; }

  // Room for `n` bytes counted from the first unconsumed one, so appends up
  // to that size move nothing. A viewed block that must grow goes to
  // `retired`.
  void reserve(size_t n, ByteBlocks& retired);
  // Appends, growing geometrically when the room runs out.
  void append(std::string_view bytes, ByteBlocks& retired);
  // Consumes the first `n` bytes, which the caller may keep viewing: the
  // block is viewed from now on.
  void consume_viewed(size_t n) noexcept {
    begin_ += n;
    viewed_ = true;
  }
  // Hands a viewed block to `owner`, keeping its unconsumed bytes in a new
  // one. Called once the call's views are made.
  void release_viewed(ByteBlocks& owner);

 private:
  // Room for `n` unconsumed bytes: in place when the block allows it,
  // else in a new block of `grown` bytes.
  void make_room(size_t n, size_t grown, ByteBlocks& retired);
  void move_to(size_t capacity, ByteBlocks& retired);

  std::unique_ptr<char[]> block_;
  size_t capacity_ = 0;
  size_t begin_ = 0;  // the first unconsumed byte
  size_t end_ = 0;    // one past the last byte held
  bool viewed_ = false;
};

}  // namespace vintrel::h2
