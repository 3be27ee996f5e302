// The header collection: an ordered, case-insensitive, multi-valued map from
// header names to header values, shared by both protocol versions.
//
// Layout, chosen so that a typical header block costs one allocation:
// - entries_: one record per distinct name, in sequence order;
// - values_: one record per value, chained per entry in insertion order
//   (freed records are kept on a free list and reused);
// - slots_: an open-addressed, linearly probed hash index from name to entry;
// - an arena: one heap buffer holding the octets of every copied name and
//   value.  Well-known names are static text and take no arena space.
// The first 16 entries, values and index slots live inline in the object.
//
// Lifetimes: every string_view handed out (names, values, iteration) stays
// valid until the next call of a non-const member on this map, including a
// failed one, since a mutation may move the arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/http/header_name.h"
#include "core/http/shared_octets.h"

namespace vantric::http {

// Why an append or an insert was refused (the map is unchanged then); they
// return nullopt when the field was stored.
enum class HeaderMapError : uint8_t {
  kInvalidName,   // not 1..65535 tchars
  kInvalidValue,  // a control octet other than HTAB, DEL, or 4 GiB or more
  kFull,          // a new distinct name would need more than kMaxIndexSlots slots
};

namespace detail {

// A vector of trivially copyable records whose first N live inline.
// reserve() is the only operation that allocates (and may throw); callers
// reserve before changing anything so that a failed allocation changes nothing.
template <class T, uint32_t N>
class InlineVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  InlineVec() noexcept = default;
  InlineVec(const InlineVec& other) { *this = other; }
  InlineVec(InlineVec&& other) noexcept { steal(other); }
  InlineVec& operator=(const InlineVec& other) {
    if (this != &other) {
      size_ = 0;
      reserve(other.size_);
      if (other.size_ != 0) std::memcpy(static_cast<void*>(data_), other.data_, other.size_ * sizeof(T));
      size_ = other.size_;
    }
    return *this;
  }
  InlineVec& operator=(InlineVec&& other) noexcept {
    if (this != &other) {
      free_heap();
      steal(other);
    }
    return *this;
  }
  ~InlineVec() { free_heap(); }

  uint32_t size() const noexcept { return size_; }
  uint32_t capacity() const noexcept { return capacity_; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](uint32_t i) noexcept { return data_[i]; }
  const T& operator[](uint32_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }

  // Makes room for `n` records, doubling; throws std::bad_alloc.
  void reserve(uint32_t n) {
    if (n <= capacity_) return;
    uint32_t cap = capacity_ * 2 > n ? capacity_ * 2 : n;
    T* fresh = static_cast<T*>(::operator new (sizeof(T) * std::size_t{cap}));
    if (size_ != 0) std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(T));
    free_heap();
    data_ = fresh;
    capacity_ = cap;
  }
  // Needs capacity for one more (reserve first).
  void push_back(const T& v) noexcept { data_[size_++] = v; }
  void pop_back() noexcept { --size_; }
  // Sets the size to `n` (within capacity) with every record equal to `v`.
  void assign(uint32_t n, const T& v) noexcept {
    for (uint32_t i = 0; i < n; ++i) data_[i] = v;
    size_ = n;
  }
  void clear() noexcept { size_ = 0; }

 private:
  bool is_inline() const noexcept { return data_ == reinterpret_cast<const T*>(inline_); }
  void free_heap() noexcept {
    if (!is_inline()) ::operator delete(data_);
    data_ = reinterpret_cast<T*>(inline_);
    capacity_ = N;
  }
  void steal(InlineVec& other) noexcept {
    if (other.is_inline()) {
      data_ = reinterpret_cast<T*>(inline_);
      capacity_ = N;
      if (other.size_ != 0) std::memcpy(static_cast<void*>(data_), other.data_, other.size_ * sizeof(T));
    } else {
      data_ = other.data_;
      capacity_ = other.capacity_;
      other.data_ = reinterpret_cast<T*>(other.inline_);
      other.capacity_ = N;
    }
    size_ = other.size_;
    other.size_ = 0;
  }

  alignas(T) unsigned char inline_[sizeof(T) * N];
  T* data_ = reinterpret_cast<T*>(inline_);
  uint32_t size_ = 0;
  uint32_t capacity_ = N;
};

}  // namespace detail

// One field as iteration yields it.  The views follow the map's lifetime rule.
struct HeaderField {
  std::string_view name;  // stored lowercase octets
  std::string_view value;
  WellKnownName name_id;  // kNone unless the name is well-known
  bool sensitive;         // never indexed by HPACK (RFC 7541 section 7.1.3)
};

class HeaderMap {
  struct Entry;
  struct Value;

 public:
  static constexpr uint32_t kInitialIndexSlots = 8;
  static constexpr uint32_t kMaxIndexSlots = 32768;
  // A name may be added while the distinct names stay below 3/4 of the slots.
  static constexpr uint32_t kMaxNames = kMaxIndexSlots - kMaxIndexSlots / 4;

  // The values of one name, in insertion order.
  class ValueRange {
   public:
    class iterator {
     public:
      using iterator_category = std::forward_iterator_tag;
      using value_type = std::string_view;
      using difference_type = std::ptrdiff_t;
      using pointer = void;
      using reference = std::string_view;

      iterator() noexcept = default;
      std::string_view operator*() const noexcept;
      bool sensitive() const noexcept;
      // The value's record: a small number, below record_count(), that no
      // other stored value has.  It stays the value's own until the value is
      // replaced or removed, after which a new value may take it (appending
      // changes no existing value's record).  A binding can key what it made
      // from a value by it.
      uint32_t record() const noexcept { return value_; }
      iterator& operator++() noexcept;
      iterator operator++(int) noexcept {
        iterator old = *this;
        ++*this;
        return old;
      }
      friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.value_ == b.value_; }

     private:
      friend class ValueRange;
      iterator(const HeaderMap* map, uint32_t value) noexcept : map_(map), value_(value) {}
      const HeaderMap* map_ = nullptr;
      uint32_t value_ = UINT32_MAX;
    };

    iterator begin() const noexcept { return {map_, first_}; }
    iterator end() const noexcept { return {map_, UINT32_MAX}; }
    bool empty() const noexcept { return first_ == UINT32_MAX; }
    // Counts by walking the chain.
    std::size_t count() const noexcept;

   private:
    friend class HeaderMap;
    ValueRange(const HeaderMap* map, uint32_t first) noexcept : map_(map), first_(first) {}
    const HeaderMap* map_;
    uint32_t first_;
  };

  // Every field: entry by entry in sequence order, each entry's values in order.
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = HeaderField;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = HeaderField;

    iterator() noexcept = default;
    HeaderField operator*() const noexcept;
    iterator& operator++() noexcept;
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept {
      return a.entry_ == b.entry_ && a.value_ == b.value_;
    }

   private:
    friend class HeaderMap;
    iterator(const HeaderMap* map, uint32_t entry, uint32_t value) noexcept
        : map_(map), entry_(entry), value_(value) {}
    const HeaderMap* map_ = nullptr;
    uint32_t entry_ = 0;
    uint32_t value_ = UINT32_MAX;
  };

  HeaderMap() noexcept = default;
  // A deep copy: same sequence and values; later changes to either map do not
  // affect the other.  Shares the attached blocks.  Throws std::bad_alloc.
  HeaderMap(const HeaderMap& other);
  HeaderMap& operator=(const HeaderMap& other);
  // Leaves `other` empty.
  HeaderMap(HeaderMap&& other) noexcept;
  HeaderMap& operator=(HeaderMap&& other) noexcept;
  ~HeaderMap() = default;

  // Total number of values (a name with three values counts three).
  std::size_t size() const noexcept { return total_values_; }
  bool empty() const noexcept { return total_values_ == 0; }
  // Number of distinct names.
  std::size_t name_count() const noexcept { return entries_.size(); }
  // Current size of the hash index: 0 while empty, then 8, doubling up to 32768.
  std::size_t index_slots() const noexcept { return slots_.size(); }
  // One more than the largest value record in use (see ValueRange::iterator::record).
  uint32_t record_count() const noexcept { return values_.size(); }

  // The first value of `name`, or nullopt.
  std::optional<std::string_view> get(const HeaderName& name) const noexcept;
  // Every value of `name` in order; empty when absent.
  ValueRange get_all(const HeaderName& name) const noexcept;
  bool contains(const HeaderName& name) const noexcept { return find(name) != kNotFound; }

  // Adds `value` after the existing values of `name`, or as a new entry at the
  // end of the sequence.  kInvalidValue or kFull leave the map unchanged.
  // When `value` lies inside an attached block it is referenced, otherwise it
  // is copied (it may be a view into this map).  Throws std::bad_alloc, also
  // leaving the map unchanged.
  std::optional<HeaderMapError> append(const HeaderName& name, std::string_view value,
                                       bool sensitive = false) {
    return put(name, value, sensitive, false);
  }
  // Validates and lowercases `name` first (kInvalidName).
  std::optional<HeaderMapError> append(std::string_view name, std::string_view value, bool sensitive = false);
  // Replaces every value of `name` by `value`, keeping the entry's place, or
  // adds a new entry at the end.  Errors, storage and exceptions as append.
  std::optional<HeaderMapError> insert(const HeaderName& name, std::string_view value,
                                       bool sensitive = false) {
    return put(name, value, sensitive, true);
  }
  std::optional<HeaderMapError> insert(std::string_view name, std::string_view value, bool sensitive = false);
  // Removes `name` and all its values; the last entry of the sequence moves
  // into its place.  False when absent.
  bool remove(const HeaderName& name) noexcept;
  // Removes everything, attached blocks included.
  void clear() noexcept;

  // Keeps `block` alive for the life of this map (and of its copies) so that
  // values inside it are stored without copying.  Attaching a block twice
  // keeps one reference.  Blocks stay attached until clear() or destruction.
  // Throws std::bad_alloc.
  void attach(const SharedOctets& block);

  iterator begin() const noexcept;
  iterator end() const noexcept { return {this, entries_.size(), UINT32_MAX}; }

  // Entry `i` (below name_count()) in sequence order.
  std::string_view name_at(std::size_t i) const noexcept {
    const Entry& e = entries_[static_cast<uint32_t>(i)];
    return {e.name, e.name_size};
  }
  WellKnownName name_id_at(std::size_t i) const noexcept { return entries_[static_cast<uint32_t>(i)].id; }
  ValueRange values_at(std::size_t i) const noexcept {
    return {this, entries_[static_cast<uint32_t>(i)].first};
  }

  // Same total length, and for every name of `a` the same list of values in
  // `b`, in the same order.  Name order and sensitivity are ignored.
  friend bool operator==(const HeaderMap& a, const HeaderMap& b) noexcept;

 private:
  static constexpr uint32_t kNotFound = UINT32_MAX;
  static constexpr uint32_t kNoValue = UINT32_MAX;

  struct Entry {
    const char* name;  // arena octets, or static text when name_owned is false
    uint32_t hash;
    uint32_t first;  // first and last value record of the chain
    uint32_t last;
    uint16_t name_size;
    WellKnownName id;
    bool name_owned;
  };

  struct Value {
    const char* data;  // arena octets when owned, else inside an attached block or static
    uint32_t size;
    uint32_t next;  // next value of the same entry, or the next free record
    bool owned;
    bool sensitive;
  };

  // Entry index of a name, or kNotFound.
  uint32_t find(const HeaderName& name) const noexcept;
  uint32_t find(std::string_view name, WellKnownName id, uint32_t hash) const noexcept;
  // The slot holding the name (*found), else the empty slot where it would go.
  // Needs a non-empty index.
  uint32_t probe(std::string_view name, WellKnownName id, uint32_t hash, bool* found) const noexcept;
  std::optional<HeaderMapError> put(const HeaderName& name, std::string_view value, bool sensitive,
                                    bool replace);
  // put() of a copy of `value`, which is a view into this map's arena.
  [[gnu::noinline]] std::optional<HeaderMapError> put_copy(const HeaderName& name, std::string_view value,
                                                           bool sensitive, bool replace);
  bool is_attached(std::string_view value) const noexcept;
  bool in_arena(const char* p) const noexcept;
  // Makes room for `extra` more arena octets (may relocate; throws).
  void ensure_arena(std::size_t extra) {
    if (arena_capacity_ - arena_used_ < extra) [[unlikely]]
      grow_arena(extra);
  }
  void grow_arena(std::size_t extra);
  // Copies the live octets into a new arena of `capacity` and repoints them.
  void relocate(std::size_t capacity);
  // Copies into reserved arena room.
  char* arena_take(std::string_view octets) noexcept;
  // A chain-end record for `value`: referenced when external (empty or in an
  // attached block), else copied into reserved arena room.
  Value stored_value(std::string_view value, bool external, bool sensitive) noexcept;
  // Makes sure take_value_record() will not allocate (throws).
  void reserve_value_record() {
    if (free_values_ == kNoValue && values_.size() == values_.capacity()) [[unlikely]]
      grow_values();
  }
  void grow_values();
  uint32_t take_value_record() noexcept;
  // Puts a chain on the free list; returns how many values it held.
  std::size_t free_chain(uint32_t first) noexcept;
  void grow_index(uint32_t slots);
  void erase_slot(uint32_t pos) noexcept;

  detail::InlineVec<Entry, 16> entries_;
  detail::InlineVec<Value, 16> values_;
  // slot = (upper 16 bits of the name hash) | (entry index + 1); 0 is empty.
  detail::InlineVec<uint32_t, 16> slots_;
  uint32_t free_values_ = kNoValue;
  std::size_t total_values_ = 0;

  std::unique_ptr<char[]> arena_;
  std::size_t arena_capacity_ = 0;
  std::size_t arena_used_ = 0;
  std::size_t arena_garbage_ = 0;  // octets of removed names and values

  std::vector<SharedOctets> attached_;
};

// Iteration is on the hot path of every header block the host reads, so its
// steps are inline.

inline std::string_view HeaderMap::ValueRange::iterator::operator*() const noexcept {
  const Value& v = map_->values_[value_];
  return {v.data, v.size};
}

inline bool HeaderMap::ValueRange::iterator::sensitive() const noexcept {
  return map_->values_[value_].sensitive;
}

inline HeaderMap::ValueRange::iterator& HeaderMap::ValueRange::iterator::operator++() noexcept {
  value_ = map_->values_[value_].next;
  return *this;
}

inline HeaderField HeaderMap::iterator::operator*() const noexcept {
  const Entry& e = map_->entries_[entry_];
  const Value& v = map_->values_[value_];
  return {{e.name, e.name_size}, {v.data, v.size}, e.id, v.sensitive};
}

inline HeaderMap::iterator& HeaderMap::iterator::operator++() noexcept {
  value_ = map_->values_[value_].next;
  if (value_ == kNoValue) {
    ++entry_;
    if (entry_ < map_->entries_.size()) value_ = map_->entries_[entry_].first;
  }
  return *this;
}

}  // namespace vantric::http
