#include "core/http2/hpack/name_index.h"


namespace vintrel::h2::hpack {

size_t NameIndex::find(const HeaderTable& table, std::string_view name, uint64_t hash) const noexcept {
  if (slots_.empty()) return SIZE_MAX;
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.serial == kNone) return SIZE_MAX;
    if (s.hash == hash && table.get(table.position(s.serial)).name == name) return i;
  }
}

uint64_t NameIndex::newest(const HeaderTable& table, std::string_view name, uint64_t hash) const noexcept {
  const size_t i = find(table, name, hash);
  return i == SIZE_MAX ? kNone : slots_[i].serial;
}

void NameIndex::place(uint64_t hash, uint64_t serial) noexcept {
  const size_t mask = slots_.size() - 1;
  size_t i = static_cast<size_t>(hash) & mask;
  while (slots_[i].serial != kNone) i = (i + 1) & mask;
  slots_[i] = Slot{hash, serial};
}

void NameIndex::grow_slots() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{0, kNone});
  for (const Slot& s : old) {
    if (s.serial != kNone) place(s.hash, s.serial);
  }
}

void NameIndex::add(const HeaderTable& table, uint64_t hash) {
  const uint64_t serial = table.serial(0);
  if (links_.size() < table.count()) {
    // Re-file the live links under the larger modulus.
    std::vector<Link> old = std::move(links_);
    links_.assign(old.empty() ? 16 : old.size() * 2, Link{0, kNone});
    for (uint64_t s = table.oldest_serial(); s < serial; ++s) {
      links_[s & (links_.size() - 1)] = old[s & (old.size() - 1)];
    }
  }
  const DecodedHeader h = table.get(0);
  size_t i = find(table, h.name, hash);
  // The slot points at the newest entry of a name, so the lookup above finds
  // the new entry itself only if the slot was already updated: it was not.
  Link& link = links_[serial & (links_.size() - 1)];
  link.hash = hash;
  if (i != SIZE_MAX && slots_[i].serial != serial) {
    link.prev = slots_[i].serial;
    slots_[i].serial = serial;
    return;
  }
  link.prev = kNone;
  if ((used_ + 1) * 2 > slots_.size()) grow_slots();
  place(hash, serial);
  ++used_;
}

void NameIndex::remove_oldest(const HeaderTable& table) noexcept {
  const uint64_t serial = table.oldest_serial();
  const uint64_t hash = links_[serial & (links_.size() - 1)].hash;
  const size_t mask = slots_.size() - 1;
  size_t i = static_cast<size_t>(hash) & mask;
  while (slots_[i].serial != serial) {
    // Only the newest entry of a name holds a slot; an older one has none.
    if (slots_[i].serial == kNone) return;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion: pull later members of the probe run into the
  // hole when their home slot does not lie between the hole and them.
  size_t hole = i;
  for (size_t j = (i + 1) & mask; slots_[j].serial != kNone; j = (j + 1) & mask) {
    const size_t home = static_cast<size_t>(slots_[j].hash) & mask;
    const bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
    if (movable) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = Slot{0, kNone};
  --used_;
}

void NameIndex::clear() noexcept {
  for (Slot& s : slots_) s = Slot{0, kNone};
  used_ = 0;
}

}  // namespace vintrel::h2::hpack
