// The HPACK dynamic table (RFC 7541 section 2.3.2 and section 4).
//
// Entries are numbered by a 32-bit insertion id; the oldest live entry has
// first_id(), the newest next_id() - 1, and dynamic position 0 (wire index 62) is
// the newest.  Their octets live in one ring of bytes, each entry contiguous, so
// an insertion copies the field once and allocates only when the ring must grow
// (a ring of twice max_size octets always has room, so the capacity stays below
// four times the largest max_size the table served).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/h2/constants.h"
#include "core/h2/hpack/field.h"
#include "core/h2/hpack/status.h"

namespace vantric::hpack {

// RFC 7541 section 2.3.3: the dynamic table's entries follow the 61 static ones.
inline constexpr uint32_t kFirstDynamicIndex = 62;

class DynamicTable {
 public:
  // `validity` is what the decoder found of the field when it was inserted:
  // nullopt, or the rule HTTP/2 says it breaks (the table keeps such fields all the same,
  // to stay in step with the peer's); `name_invalid` says the name broke it.
  struct Entry {
    std::string_view name;
    std::string_view value;
    DecodeStatus validity = std::nullopt;
    bool name_invalid = false;
  };

  explicit DynamicTable(std::size_t max_size = h2::kDefaultHeaderTableSize);

  std::size_t size() const { return size_; }  // sum of entry sizes
  std::size_t max_size() const { return max_size_; }
  std::size_t count() const { return next_id_ - first_id_; }
  uint32_t first_id() const { return first_id_; }
  uint32_t next_id() const { return next_id_; }

  // The entry at dynamic position `pos` (< count()), 0 being the newest.  The views
  // stay valid until the next insert() or set_max_size().
  Entry at(std::size_t pos) const { return by_id(next_id_ - 1 - static_cast<uint32_t>(pos)); }
  // The entry with insertion id `id` (first_id() <= id < next_id()); views as at().
  Entry by_id(uint32_t id) const;

  // Inserts a field as the newest entry, evicting the oldest entries until it fits.
  // An entry larger than max_size() empties the table and is not inserted
  // (RFC 7541 section 4.4); returns whether it was.  `name` may view an entry of
  // this table, even one this insertion evicts; `value` must not.
  bool insert(std::string_view name, std::string_view value, DecodeStatus validity = std::nullopt,
              bool name_invalid = false);

  // Sets the maximum size, evicting the oldest entries until the table fits.
  void set_max_size(std::size_t max_size);

 private:
  struct Slot {
    uint32_t pos;  // ring position of the name; the value follows it
    uint32_t name_len;
    uint32_t value_len;
    DecodeStatus validity;
    bool name_invalid;
  };

  const Slot& slot(uint32_t id) const { return slots_[id & (slots_.size() - 1)]; }
  void evict_oldest();
  uint32_t reserve(std::size_t len, std::unique_ptr<char[]>* old_bytes);
  void grow_bytes(std::size_t len, std::unique_ptr<char[]>* old_bytes);

  std::vector<Slot> slots_;        // a power of two long, indexed by id
  std::unique_ptr<char[]> bytes_;  // the ring; a power of two long
  std::size_t capacity_ = 0;
  uint32_t head_ = 0;  // ring position after the newest entry, unwrapped
  uint32_t first_id_ = 0;
  uint32_t next_id_ = 0;
  std::size_t size_ = 0;
  std::size_t max_size_;
};

}  // namespace vantric::hpack
