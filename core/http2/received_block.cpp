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

std::optional<std::string_view> HeaderFields::pseudo(HeaderKind which) const noexcept {
  const auto& slot = pseudo_[static_cast<size_t>(which)];
  if (!slot) return std::nullopt;
  return view(*slot);
}

// A typical block fits in one allocation of each: the byte store and the
// field list start at these sizes instead of growing from nothing.
constexpr size_t kFirstBytes = 512;
constexpr size_t kFirstFields = 16;

namespace {
thread_local HeaderFields spare_fields;
constexpr size_t kKeptFieldStorage = 8192;
}  // namespace

HeaderFields take_spare_fields() noexcept { return std::exchange(spare_fields, HeaderFields{}); }

void give_back_fields(HeaderFields&& fields) noexcept {
  if (fields.storage() > kKeptFieldStorage || fields.storage() <= spare_fields.storage()) return;
  fields.clear();
  spare_fields = std::move(fields);
}

HeaderFields::Span HeaderFields::store(std::string_view bytes) {
  if (bytes_.capacity() < kFirstBytes) bytes_.reserve(kFirstBytes);
  const Span s{static_cast<uint32_t>(bytes_.size()), static_cast<uint32_t>(bytes.size())};
  bytes_.append(bytes);
  return s;
}

void HeaderFields::add_pseudo(HeaderKind which, std::string_view value) {
  pseudo_[static_cast<size_t>(which)] = store(value);
}

void HeaderFields::add_field(std::string_view name, std::string_view value) {
  const Span n = store(name);
  if (fields_.empty()) fields_.reserve(kFirstFields);
  fields_.push_back({n, store(value)});
}

std::optional<uint16_t> HeadersFrame::status() const noexcept {
  const auto text = fields.pseudo(HeaderKind::Status);
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
  if (saw_regular_ || fields_.pseudo(which) || value.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
    malformed_ = true;
    return true;
  }
  if (!count(pseudo_name(which).size() + value.size() + kHeaderOverhead)) return false;
  if (!over_size_) fields_.add_pseudo(which, value);
  return true;
}

bool HeaderBlock::accept_field(std::string_view name, std::string_view value) {
  if (is_connection_specific(name, value)) {
    malformed_ = true;
    return true;
  }
  saw_regular_ = true;
  if (!count(name.size() + value.size() + kHeaderOverhead)) return false;
  if (!over_size_ && room_for_name(name)) fields_.add_field(name, value);
  return true;
}

bool HeaderBlock::room_for_name(std::string_view name) {
  if (fields_.size() < kMaxDistinctFieldNames) return true;
  if (!names_) {
    names_ = std::make_unique<std::unordered_set<std::string>>();
    for (size_t i = 0; i < fields_.size(); ++i) names_->emplace(fields_.name(i));
  }
  std::string key(name);
  if (names_->count(key) != 0) return true;
  if (names_->size() >= kMaxDistinctFieldNames) {
    over_size_ = true;
    return false;
  }
  names_->insert(std::move(key));
  return true;
}

HeadersFrame HeaderBlock::finish() && { return {stream_id_, end_stream_, std::move(fields_)}; }

}  // namespace vintrel::h2
