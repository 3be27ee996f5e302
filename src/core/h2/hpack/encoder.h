// The HPACK encoder (RFC 7541 sections 2.3, 4 and 6): fields in, a header block out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/byte_buffer.h"
#include "core/h2/constants.h"
#include "core/h2/hpack/dynamic_table.h"
#include "core/h2/hpack/field.h"
#include "core/h2/hpack/hash_index.h"

namespace vantric::hpack {

class Encoder {
 public:
  // The largest table the encoder uses, whatever the peer allows.
  static constexpr uint32_t kTableSizeCap = h2::kDefaultHeaderTableSize;

  // `table_size` (at most kTableSizeCap) is the table size both ends start from.
  explicit Encoder(uint32_t table_size = h2::kDefaultHeaderTableSize);

  // Records the peer's SETTINGS_HEADER_TABLE_SIZE.  The encoder uses at most
  // kTableSizeCap of it and announces the change at the start of the next block.
  void set_header_table_size(uint32_t size);

  // Starts a header block: appends the pending table size updates to `out` and
  // forgets the previous block's last field.  Throws std::bad_alloc.
  void begin_block(ByteBuffer& out);

  // Appends the representation of one field to `out`.  A field without a name is
  // another value of the previous field's name, whose name must stay readable
  // until this call; one that opens a block is an InvariantFailure.  Throws
  // std::bad_alloc.
  void encode_field(const Field& field, ByteBuffer& out);

  // begin_block() and encode_field() for each of `fields`.
  void encode(std::span<const Field> fields, ByteBuffer& out);

  const DynamicTable& table() const { return table_; }

 private:
  struct SizeUpdate {
    enum class Kind : uint8_t { kNone, kOne, kTwo } kind = Kind::kNone;
    uint32_t min = 0;    // kTwo: the smaller size, announced first
    uint32_t final = 0;  // the size in force after the block starts
  };
  struct EntryHashes {
    uint32_t name;
    uint32_t field;
  };

  uint32_t wire_index(uint32_t id) const { return kFirstDynamicIndex + (table_.next_id() - 1 - id); }
  // Whether entry `id` has this name (and value).
  bool holds(uint32_t id, std::string_view name) const;
  bool holds(uint32_t id, std::string_view name, std::string_view value) const;
  void insert(std::string_view name, std::string_view value, EntryHashes hashes);
  void set_table_size(uint32_t size);
  void unindex_evicted(uint32_t old_first_id);

  DynamicTable table_;
  HashIndex by_name_;                                    // name -> newest entry with that name
  HashIndex by_field_;                                   // name and value -> newest entry with both
  std::array<EntryHashes, HashIndex::kSlots> hashes_{};  // by id, for evictions
  SizeUpdate pending_;
  // What a following nameless field refers to: the previous field's name and the
  // index (0: none) its representation used or created.
  std::string_view prev_name_;
  uint32_t prev_index_ = 0;
  bool has_prev_ = false;
};

}  // namespace vantric::hpack
