#include "core/h2/hpack/encoder.h"

#include <algorithm>
#include <cstring>

#include "core/h2/hpack/primitives.h"
#include "core/h2/hpack/static_table_gen.h"
#include "core/invariant.h"

namespace vantric::hpack {

namespace {

// Fields whose values are never entered in the table: they differ from message to
// message (paths, lengths, dates, tags, locations) or are secrets an attacker could
// probe for through the table (RFC 7541 section 7.1.3).  All are static names.
static_assert(kStaticTableLength + 1 == kFirstDynamicIndex);

constexpr std::array<std::string_view, 10> kNeverIndexedValueNames = {
    ":path",         "age",      "authorization", "content-length", "cookie", "etag", "if-modified-since",
    "if-none-match", "location", "set-cookie"};

constexpr std::array<bool, kStaticTableLength + 1> kNeverIndexValue = [] {
  std::array<bool, kStaticTableLength + 1> t{};
  for (std::string_view name : kNeverIndexedValueNames) t[static_name_index(name)] = true;
  return t;
}();

// One past the last static entry sharing the name of entry i (entries with one
// name are adjacent in RFC 7541 Appendix A).
constexpr std::array<uint8_t, kStaticTableLength + 1> kStaticNameEnd = [] {
  std::array<uint8_t, kStaticTableLength + 1> t{};
  for (std::size_t i = kStaticTableLength; i >= 1; --i)
    t[i] = static_cast<uint8_t>(
        i < kStaticTableLength && kStaticTable[i + 1].name == kStaticTable[i].name ? t[i + 1] : i + 1);
  return t;
}();

// The static entry equal to the field, among those that carry a value; 0 if none.
uint32_t static_field_index(uint8_t name_index, std::string_view value) {
  for (uint32_t i = name_index; i < kStaticNameEnd[name_index]; ++i)
    if (!kStaticTable[i].value.empty() && kStaticTable[i].value == value) return i;
  return 0;
}

uint32_t hash_bytes(std::string_view s, uint64_t seed) {
  constexpr uint64_t kMul = 0xbf58476d1ce4e5b9;
  uint64_t h = seed ^ (s.size() * 0x9e3779b97f4a7c15);
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 31;
  }
  if (n) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
  }
  h ^= h >> 32;
  h *= 0x94d049bb133111eb;
  return static_cast<uint32_t>(h ^ (h >> 29));
}

// hash_bytes(name, 0) of each static entry's name: a field with a static name
// (nearly every field of a usual message) hashes only its value.
const std::array<uint32_t, kStaticTableLength + 1>& static_name_hashes() {
  static const std::array<uint32_t, kStaticTableLength + 1> table = [] {
    std::array<uint32_t, kStaticTableLength + 1> t{};
    for (std::size_t i = 1; i <= kStaticTableLength; ++i) t[i] = hash_bytes(kStaticTable[i].name, 0);
    return t;
  }();
  return table;
}

void append_integer(ByteBuffer& out, uint8_t flags, int prefix_bits, uint32_t value) {
  char* start = out.prepare(kMaxIntegerLength);
  out.commit(static_cast<std::size_t>(encode_integer(start, flags, prefix_bits, value) - start));
}

// A literal representation: the name by `name_index`, or as a string when it is 0.
void append_literal(ByteBuffer& out, uint8_t flags, int prefix_bits, uint32_t name_index,
                    std::string_view name, std::string_view value) {
  const std::size_t name_code = name_index ? 0 : huffman_encoded_length(name);
  const std::size_t value_code = huffman_encoded_length(value);
  char* const start = out.prepare(3 * kMaxIntegerLength + name_code + value_code);
  char* p = encode_integer(start, flags, prefix_bits, name_index);
  if (!name_index) p = encode_string(name, name_code, p);
  p = encode_string(value, value_code, p);
  out.commit(static_cast<std::size_t>(p - start));
}

}  // namespace

Encoder::Encoder(uint32_t table_size) : table_(std::min(kTableSizeCap, table_size)) {}

void Encoder::set_header_table_size(uint32_t size) {
  const uint32_t v = std::min(kTableSizeCap, size);
  switch (pending_.kind) {
    case SizeUpdate::Kind::kNone:
      if (v != table_.max_size()) pending_ = {SizeUpdate::Kind::kOne, 0, v};
      break;
    case SizeUpdate::Kind::kOne:
      // A smaller size announced and then raised again before the next block: the
      // peer must still evict down to the smaller one (RFC 7541 section 4.2).
      if (v > pending_.final && pending_.final <= table_.max_size())
        pending_ = {SizeUpdate::Kind::kTwo, pending_.final, v};
      else
        pending_ = {SizeUpdate::Kind::kOne, 0, v};
      break;
    case SizeUpdate::Kind::kTwo:
      if (v >= pending_.min)
        pending_.final = v;
      else
        pending_ = {SizeUpdate::Kind::kOne, 0, v};
      break;
  }
}

void Encoder::begin_block(ByteBuffer& out) {
  // RFC 7541 section 4.2: size updates open the first block after the change.
  if (pending_.kind == SizeUpdate::Kind::kTwo) {
    append_integer(out, 0x20, 5, pending_.min);
    set_table_size(pending_.min);
  }
  if (pending_.kind != SizeUpdate::Kind::kNone) {
    append_integer(out, 0x20, 5, pending_.final);
    set_table_size(pending_.final);
  }
  pending_ = {};
  has_prev_ = false;
  prev_index_ = 0;
}

void Encoder::encode(std::span<const Field> fields, ByteBuffer& out) {
  begin_block(out);
  for (const Field& field : fields) encode_field(field, out);
}

void Encoder::encode_field(const Field& field, ByteBuffer& out) {
  const std::string_view name = field.name;
  const std::string_view value = field.value;
  // RFC 7541 section 6.2.3: a never-indexed literal tells intermediaries to keep it
  // out of their tables too.
  const uint8_t unindexed = field.sensitive ? 0x10 : 0x00;

  if (name.empty()) {
    // Further values of one name are never entered in the table; they reuse the
    // name index of the previous field.
    VANTRIC_INVARIANT(has_prev_, "encoding header without name, but no previous index to use for name");
    append_literal(out, unindexed, 4, prev_index_, prev_name_, value);
    return;
  }
  has_prev_ = true;
  prev_name_ = name;

  const uint8_t static_name = static_name_index(name);
  if (static_name) {
    if (const uint32_t index = static_field_index(static_name, value)) {
      append_integer(out, 0x80, 7, index);
      prev_index_ = index;
      return;
    }
    if (kNeverIndexValue[static_name]) {
      append_literal(out, unindexed, 4, static_name, name, value);
      prev_index_ = static_name;
      return;
    }
  }
  // Fields over three quarters of the table would flush most of it for one entry.
  if (field_size(name, value) * 4 > table_.max_size() * 3 || field.sensitive) {
    append_literal(out, unindexed, 4, static_name, name, value);
    prev_index_ = static_name;
    return;
  }

  const uint32_t name_hash = static_name ? static_name_hashes()[static_name] : hash_bytes(name, 0);
  const EntryHashes hashes{name_hash, hash_bytes(value, name_hash)};
  if (const auto id = by_field_.find(hashes.field, [&](uint32_t i) { return holds(i, name, value); })) {
    prev_index_ = wire_index(*id);
    append_integer(out, 0x80, 7, prev_index_);
    return;
  }
  uint32_t name_index = static_name;
  if (!name_index) {
    const auto id = by_name_.find(name_hash, [&](uint32_t i) { return holds(i, name); });
    if (id) name_index = wire_index(*id);
  }
  append_literal(out, 0x40, 6, name_index, name, value);  // section 6.2.1
  insert(name, value, hashes);
  prev_index_ = static_name ? static_name : kFirstDynamicIndex;
}

void Encoder::insert(std::string_view name, std::string_view value, EntryHashes hashes) {
  const uint32_t old_first = table_.first_id();
  table_.insert(name, value);  // fits: larger fields never get here
  unindex_evicted(old_first);
  const uint32_t id = table_.next_id() - 1;
  hashes_[id % hashes_.size()] = hashes;
  by_name_.put(hashes.name, id, [&](uint32_t i) { return holds(i, name); });
  by_field_.put(hashes.field, id, [&](uint32_t i) { return holds(i, name, value); });
}

bool Encoder::holds(uint32_t id, std::string_view name) const {
  return table_.by_id(id).name == name;
}

bool Encoder::holds(uint32_t id, std::string_view name, std::string_view value) const {
  const auto entry = table_.by_id(id);
  return entry.name == name && entry.value == value;
}

void Encoder::set_table_size(uint32_t size) {
  const uint32_t old_first = table_.first_id();
  table_.set_max_size(size);
  unindex_evicted(old_first);
}

void Encoder::unindex_evicted(uint32_t old_first_id) {
  for (uint32_t id = old_first_id; id != table_.first_id(); ++id) {
    const EntryHashes& h = hashes_[id % hashes_.size()];
    by_name_.erase(h.name, id);
    by_field_.erase(h.field, id);
  }
}

}  // namespace vantric::hpack
