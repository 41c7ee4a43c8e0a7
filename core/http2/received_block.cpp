#include "core/http2/received_block.h"

#include <utility>

namespace vintrel::h2 {
namespace {

// Fields that belong to one HTTP/1 connection and have no place in HTTP/2.
bool is_connection_specific(std::string_view name, std::string_view value) noexcept {
  switch (name.size()) {
    case 2: return name == "te" && value != "trailers";
    case 7: return name == "upgrade";
    case 10: return name == "connection" || name == "keep-alive";
    case 16: return name == "proxy-connection";
    case 17: return name == "transfer-encoding";
    default: return false;
  }
}

}  // namespace

std::optional<std::string_view> KeptFields::pseudo(HeaderKind which) const noexcept {
  const auto& slot = pseudo_[static_cast<size_t>(which)];
  if (!slot) return std::nullopt;
  return std::string_view(pseudo_bytes_).substr(slot->offset, slot->length);
}

void KeptFields::add_pseudo(HeaderKind which, std::string_view value) {
  pseudo_[static_cast<size_t>(which)] = Span{static_cast<uint32_t>(pseudo_bytes_.size()),
                                              static_cast<uint32_t>(value.size())};
  pseudo_bytes_.append(value);
}

namespace {
constexpr size_t kKeptPseudoBytes = 8192;
}  // namespace

void KeptFields::clear() noexcept {
  if (pseudo_bytes_.capacity() > kKeptPseudoBytes) {
    pseudo_bytes_ = std::string();
  } else {
    pseudo_bytes_.clear();
  }
  pseudo_ = {};
  regular_ = http::HeaderMap();
}

namespace {
// A few per thread: a batch may hold several blocks at once.
constexpr size_t kSpareKeptFields = 8;
thread_local std::array<KeptFieldsPtr, kSpareKeptFields> spare_kept;
thread_local size_t spare_kept_count = 0;
}  // namespace

KeptFieldsPtr take_kept_fields() {
  if (spare_kept_count == 0) return std::make_unique<KeptFields>();
  return std::move(spare_kept[--spare_kept_count]);
}

void give_back_kept_fields(KeptFieldsPtr fields) noexcept {
  if (!fields || spare_kept_count == kSpareKeptFields) return;
  fields->clear();
  spare_kept[spare_kept_count++] = std::move(fields);
}

std::optional<uint16_t> HeadersFrame::status() const noexcept {
  const auto text = pseudo(HeaderKind::Status);
  if (!text || text->size() != 3) return std::nullopt;
  uint16_t code = 0;
  for (char c : *text) code = static_cast<uint16_t>(code * 10 + (c - '0'));
  return code;
}

bool HeaderBlock::count(uint64_t size) noexcept {
  list_size_ += size;
  if (list_size_ > limits_.abuse) {
    way_too_large_ = true;
    return false;
  }
  if (list_size_ >= limits_.max_list) over_size_ = true;
  return true;
}

bool HeaderBlock::accept_pseudo(HeaderKind which, std::string_view value) {
  // The decoder checks pseudo-header values as UTF-8 only; a NUL, CR or LF
  // in :path or :authority would reach a driver that may write it into an
  // HTTP/1 head, so such a block is malformed like any field value would be.
  if (saw_regular_ || kept_->pseudo(which) || value.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
    malformed_ = true;
    return true;
  }
  if (!count(pseudo_name(which).size() + value.size() + kHeaderOverhead)) return false;
  if (!over_size_) kept_->add_pseudo(which, value);
  return true;
}

bool HeaderBlock::accept_field(std::string_view name, std::string_view value) {
  if (is_connection_specific(name, value)) {
    malformed_ = true;
    return true;
  }
  saw_regular_ = true;
  if (!count(name.size() + value.size() + kHeaderOverhead)) return false;
  if (!over_size_ &&
      !kept_->regular().append(http::HeaderName::trusted(name), http::HeaderValue::trusted(value)).ok())
    over_size_ = true;  // the map holds its maximum of names
  return true;
}

HeadersFrame HeaderBlock::finish() && { return {stream_id_, end_stream_, std::move(kept_), over_size_}; }

}  // namespace vintrel::h2
