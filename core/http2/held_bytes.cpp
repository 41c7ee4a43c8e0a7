#include "core/http2/held_bytes.h"

#include <algorithm>
#include <cstring>

namespace vintrel::h2 {
namespace {

// Small remainders (a cut frame head, a short frame) share one size, so a
// block is rarely grown before its frame's length is known.
constexpr size_t kMinBlock = 256;

}  // namespace

void HeldBytes::move_to(size_t capacity, ByteBlocks& retired) {
  auto fresh = std::make_unique_for_overwrite<char[]>(capacity);
  const size_t n = size();
  if (n != 0) std::memcpy(fresh.get(), block_.get() + begin_, n);
  if (viewed_) retired.push_back(std::move(block_));
  block_ = std::move(fresh);
  capacity_ = capacity;
  begin_ = 0;
  end_ = n;
  viewed_ = false;
}

void HeldBytes::make_room(size_t n, size_t grown, ByteBlocks& retired) {
  if (capacity_ - begin_ >= n) return;
  if (!viewed_ && capacity_ >= n) {
    // Nobody views this block: its unconsumed bytes move to the front.
    const size_t held = size();
    if (held != 0) std::memmove(block_.get(), block_.get() + begin_, held);
    begin_ = 0;
    end_ = held;
    return;
  }
  move_to(std::max(grown, kMinBlock), retired);
}

void HeldBytes::reserve(size_t n, ByteBlocks& retired) { make_room(n, n, retired); }

void HeldBytes::append(std::string_view bytes, ByteBlocks& retired) {
  if (bytes.empty()) return;
  const size_t need = size() + bytes.size();
  make_room(need, std::max(need, 2 * size()), retired);
  std::memcpy(block_.get() + end_, bytes.data(), bytes.size());
  end_ += bytes.size();
}

void HeldBytes::release_viewed(ByteBlocks& owner) {
  if (!viewed_) return;
  if (empty()) {
    owner.push_back(std::move(block_));
    capacity_ = begin_ = end_ = 0;
    viewed_ = false;
    return;
  }
  move_to(std::max(size(), kMinBlock), owner);
}

}  // namespace vintrel::h2
