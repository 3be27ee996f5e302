#include "core/h2/hpack/dynamic_table.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/invariant.h"

namespace vantric::hpack {

DynamicTable::DynamicTable(std::size_t max_size) : slots_(16), max_size_(max_size) {}

DynamicTable::Entry DynamicTable::by_id(uint32_t id) const {
  const Slot& s = slot(id);
  const char* p = bytes_.get() + (s.pos & (capacity_ - 1));
  return {{p, s.name_len}, {p + s.name_len, s.value_len}, s.validity, s.name_invalid};
}

void DynamicTable::evict_oldest() {
  VANTRIC_INVARIANT(count() != 0, "Size of table != 0, but no headers left!");
  const Slot& s = slot(first_id_);
  size_ -= s.name_len + s.value_len + kEntryOverhead;
  ++first_id_;
}

void DynamicTable::set_max_size(std::size_t max_size) {
  max_size_ = max_size;
  while (size_ > max_size_) evict_oldest();
}

// Finds room for `len` contiguous octets after the newest entry.  Positions count
// up without wrapping; an entry that would cross the end of the ring starts at
// the beginning instead, leaving a gap the next evictions reclaim.
uint32_t DynamicTable::reserve(std::size_t len, std::unique_ptr<char[]>* old_bytes) {
  if (len <= capacity_ && capacity_ != 0) {
    const uint32_t tail = count() ? slot(first_id_).pos : head_;
    uint32_t start = head_;
    const uint32_t offset = start & static_cast<uint32_t>(capacity_ - 1);
    if (offset + len > capacity_) start += static_cast<uint32_t>(capacity_ - offset);
    if (start - tail + len <= capacity_) return start;
  }
  grow_bytes(len, old_bytes);
  return head_;
}

// Moves the live entries to the front of a larger ring.  The old ring is handed
// back so that a name viewing it stays readable until the insertion is done.
void DynamicTable::grow_bytes(std::size_t len, std::unique_ptr<char[]>* old_bytes) {
  std::size_t live = 0;
  for (uint32_t id = first_id_; id != next_id_; ++id) live += slot(id).name_len + slot(id).value_len;
  const std::size_t capacity = std::bit_ceil(std::max({capacity_ * 2, live + len, std::size_t{256}}));
  auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
  uint32_t pos = 0;
  for (uint32_t id = first_id_; id != next_id_; ++id) {
    Slot& s = slots_[id & (slots_.size() - 1)];
    const std::size_t n = s.name_len + s.value_len;
    if (n) std::memcpy(bytes.get() + pos, bytes_.get() + (s.pos & (capacity_ - 1)), n);
    s.pos = pos;
    pos += static_cast<uint32_t>(n);
  }
  *old_bytes = std::move(bytes_);
  bytes_ = std::move(bytes);
  capacity_ = capacity;
  head_ = pos;
}

bool DynamicTable::insert(std::string_view name, std::string_view value, DecodeStatus validity,
                          bool name_invalid) {
  const std::size_t entry_size = field_size(name, value);
  // RFC 7541 section 4.4: "an attempt to add an entry larger than the maximum size
  // causes the table to be emptied of all existing entries and results in an empty
  // table."
  if (entry_size > max_size_) {
    while (count()) evict_oldest();
    return false;
  }
  while (size_ + entry_size > max_size_) evict_oldest();

  if (count() == slots_.size()) {
    std::vector<Slot> slots(slots_.size() * 2);
    for (uint32_t id = first_id_; id != next_id_; ++id) slots[id & (slots.size() - 1)] = slot(id);
    slots_ = std::move(slots);
  }
  std::unique_ptr<char[]> old_bytes;
  const std::size_t len = name.size() + value.size();
  const uint32_t pos = reserve(len, &old_bytes);
  char* dst = bytes_.get() + (pos & (capacity_ - 1));
  // The name may lie in an entry just evicted, whose octets this one now covers.
  if (!name.empty()) std::memmove(dst, name.data(), name.size());
  if (!value.empty()) std::memcpy(dst + name.size(), value.data(), value.size());
  slots_[next_id_ & (slots_.size() - 1)] = {pos, static_cast<uint32_t>(name.size()),
                                            static_cast<uint32_t>(value.size()), validity, name_invalid};
  ++next_id_;
  head_ = pos + static_cast<uint32_t>(len);
  size_ += entry_size;
  return true;
}

}  // namespace vantric::hpack
