#include "core/http/header_map.h"

#include <cstdint>
#include <string>

#include "core/http/field_rules.h"

namespace vantric::http {
namespace {

// Enough for the field values of a typical request or response head, so
// that building one allocates the arena once.
constexpr std::size_t kMinArena = 512;
constexpr uint32_t kTagMask = 0xffff0000u;
constexpr char kEmptyValue[] = "";

static_assert(HeaderMap::kMaxNames < 0xffff, "entry index + 1 must fit in the low half of a slot");

uint32_t make_slot(uint32_t hash, uint32_t entry) noexcept {
  return (hash & kTagMask) | (entry + 1);
}
uint32_t slot_entry(uint32_t slot) noexcept {
  return (slot & 0xffffu) - 1;
}

// The name hash is keyed per process (header_name.cpp), so its low bits can
// place a name directly.
uint32_t home_slot(uint32_t hash, uint32_t mask) noexcept {
  return hash & mask;
}

}  // namespace

// ---- iteration ---------------------------------------------------------------

std::size_t HeaderMap::ValueRange::count() const noexcept {
  std::size_t n = 0;
  for (uint32_t v = first_; v != kNoValue; v = map_->values_[v].next) ++n;
  return n;
}

HeaderMap::iterator HeaderMap::begin() const noexcept {
  if (entries_.size() == 0) return end();
  return {this, 0, entries_[0].first};
}

// ---- copy and move -------------------------------------------------------------

HeaderMap::HeaderMap(const HeaderMap& other)
    : entries_(other.entries_),
      values_(other.values_),
      slots_(other.slots_),
      free_values_(other.free_values_),
      total_values_(other.total_values_),
      attached_(other.attached_) {
  // The copied records still point into `other`'s arena; relocate() copies
  // the live octets into an arena of our own and repoints them.
  std::size_t live = other.arena_used_ - other.arena_garbage_;
  if (live != 0) relocate(live);
}

HeaderMap& HeaderMap::operator=(const HeaderMap& other) {
  if (this != &other) {
    HeaderMap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

HeaderMap::HeaderMap(HeaderMap&& other) noexcept
    : entries_(std::move(other.entries_)),
      values_(std::move(other.values_)),
      slots_(std::move(other.slots_)),
      free_values_(other.free_values_),
      total_values_(other.total_values_),
      arena_(std::move(other.arena_)),
      arena_capacity_(other.arena_capacity_),
      arena_used_(other.arena_used_),
      arena_garbage_(other.arena_garbage_),
      attached_(std::move(other.attached_)) {
  other.clear();
}

HeaderMap& HeaderMap::operator=(HeaderMap&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    values_ = std::move(other.values_);
    slots_ = std::move(other.slots_);
    free_values_ = other.free_values_;
    total_values_ = other.total_values_;
    arena_ = std::move(other.arena_);
    arena_capacity_ = other.arena_capacity_;
    arena_used_ = other.arena_used_;
    arena_garbage_ = other.arena_garbage_;
    attached_ = std::move(other.attached_);
    other.clear();
  }
  return *this;
}

void HeaderMap::clear() noexcept {
  entries_.clear();
  values_.clear();
  slots_.clear();
  free_values_ = kNoValue;
  total_values_ = 0;
  arena_used_ = 0;
  arena_garbage_ = 0;
  // The arena is kept for reuse, unless a move just took it.
  if (!arena_) arena_capacity_ = 0;
  attached_.clear();
}

// ---- lookup --------------------------------------------------------------------

// Inlined into every caller: the calls are few, and appends and lookups spend
// most of their time here.
[[gnu::always_inline]] inline uint32_t HeaderMap::probe(std::string_view name, WellKnownName id,
                                                        uint32_t hash, bool* found) const noexcept {
  // The index is never more than 3/4 full, so the walk meets an empty slot.
  const uint32_t mask = slots_.size() - 1;
  const uint32_t tag = hash & kTagMask;
  for (uint32_t pos = home_slot(hash, mask);; pos = (pos + 1) & mask) {
    uint32_t slot = slots_[pos];
    if (slot == 0) {
      *found = false;
      return pos;
    }
    if ((slot & kTagMask) != tag) continue;
    const Entry& e = entries_[slot_entry(slot)];
    // A well-known name is always stored by id, so ids decide alone.
    bool same = id != WellKnownName::kNone
                    ? e.id == id
                    : e.id == WellKnownName::kNone && e.hash == hash && e.name_size == name.size() &&
                          std::memcmp(e.name, name.data(), name.size()) == 0;
    if (same) {
      *found = true;
      return pos;
    }
  }
}

uint32_t HeaderMap::find(std::string_view name, WellKnownName id, uint32_t hash) const noexcept {
  if (slots_.size() == 0) return kNotFound;
  bool found;
  uint32_t pos = probe(name, id, hash, &found);
  return found ? slot_entry(slots_[pos]) : kNotFound;
}

uint32_t HeaderMap::find(const HeaderName& name) const noexcept {
  return find(name.view(), name.well_known(), name.hash());
}

std::optional<std::string_view> HeaderMap::get(const HeaderName& name) const noexcept {
  uint32_t e = find(name);
  if (e == kNotFound) return std::nullopt;
  const Value& v = values_[entries_[e].first];
  return std::string_view(v.data, v.size);
}

HeaderMap::ValueRange HeaderMap::get_all(const HeaderName& name) const noexcept {
  uint32_t e = find(name);
  return {this, e == kNotFound ? kNoValue : entries_[e].first};
}

bool operator==(const HeaderMap& a, const HeaderMap& b) noexcept {
  if (&a == &b) return true;
  if (a.total_values_ != b.total_values_) return false;
  // Equal totals and equal value lists for every name of `a` leave no room
  // for a name that only `b` has, so one direction suffices.
  for (uint32_t i = 0; i < a.entries_.size(); ++i) {
    const HeaderMap::Entry& ea = a.entries_[i];
    uint32_t j = b.find({ea.name, ea.name_size}, ea.id, ea.hash);
    if (j == HeaderMap::kNotFound) return false;
    uint32_t va = ea.first;
    uint32_t vb = b.entries_[j].first;
    for (; va != HeaderMap::kNoValue && vb != HeaderMap::kNoValue;
         va = a.values_[va].next, vb = b.values_[vb].next) {
      const HeaderMap::Value& x = a.values_[va];
      const HeaderMap::Value& y = b.values_[vb];
      if (x.size != y.size || (x.size != 0 && std::memcmp(x.data, y.data, x.size) != 0)) return false;
    }
    if (va != vb) return false;  // one list is longer
  }
  return true;
}

// ---- mutation ------------------------------------------------------------------

std::optional<HeaderMapError> HeaderMap::append(std::string_view name, std::string_view value,
                                                bool sensitive) {
  auto key = HeaderName::from(name);
  if (!key) return HeaderMapError::kInvalidName;
  return put(*key, value, sensitive, false);
}

std::optional<HeaderMapError> HeaderMap::insert(std::string_view name, std::string_view value,
                                                bool sensitive) {
  auto key = HeaderName::from(name);
  if (!key) return HeaderMapError::kInvalidName;
  return put(*key, value, sensitive, true);
}

void HeaderMap::attach(const SharedOctets& block) {
  if (!block) return;
  for (const auto& b : attached_)
    if (b == block) return;
  attached_.push_back(block);
}

std::optional<HeaderMapError> HeaderMap::put(const HeaderName& name, std::string_view value, bool sensitive,
                                             bool replace) {
  // RFC 9110 section 5.5: no CR, LF, NUL or other control octet but HTAB.
  if (value.size() > UINT32_MAX || !is_valid_header_value(value)) return HeaderMapError::kInvalidValue;
  // A view of our own octets would move with the arena; take it out first.
  if (!value.empty() && in_arena(value.data())) [[unlikely]]
    return put_copy(name, value, sensitive, replace);

  const bool external = value.empty() || (!attached_.empty() && is_attached(value));
  const uint32_t size = static_cast<uint32_t>(value.size());
  const std::string_view key = name.view();
  const WellKnownName id = name.well_known();
  const uint32_t hash = name.hash();
  bool found = false;
  uint32_t pos = slots_.size() == 0 ? 0 : probe(key, id, hash, &found);

  if (found) {
    const uint32_t e = slot_entry(slots_[pos]);
    if (replace) {
      // Reuse the first value record; its octets too when the new value fits.
      const bool in_place =
          !external && values_[entries_[e].first].owned && size <= values_[entries_[e].first].size;
      if (!external && !in_place) ensure_arena(size);
      Entry& entry = entries_[e];
      Value& first = values_[entry.first];
      if (first.next != kNoValue) total_values_ -= free_chain(first.next);
      if (in_place) {
        arena_garbage_ += first.size - size;
        std::memcpy(const_cast<char*>(first.data), value.data(), size);
        first = {first.data, size, kNoValue, true, sensitive};
      } else {
        if (first.owned) arena_garbage_ += first.size;
        first = stored_value(value, external, sensitive);
      }
      entry.last = entry.first;
      return std::nullopt;
    }
    reserve_value_record();
    if (!external) ensure_arena(size);
    uint32_t v = take_value_record();
    values_[v] = stored_value(value, external, sensitive);
    Entry& entry = entries_[e];
    values_[entry.last].next = v;
    entry.last = v;
    ++total_values_;
    return std::nullopt;
  }

  // A new distinct name.  Everything that can throw happens before the first
  // change, so a failure leaves the map as it was.
  const uint32_t count = entries_.size() + 1;
  if (count > kMaxNames) return HeaderMapError::kFull;
  const bool name_owned = id == WellKnownName::kNone;
  entries_.reserve(count);
  reserve_value_record();
  ensure_arena((external ? 0 : size) + (name_owned ? key.size() : 0));
  if (slots_.size() == 0) {
    slots_.assign(kInitialIndexSlots, 0);
    pos = home_slot(hash, kInitialIndexSlots - 1);
  } else if (count >= slots_.size() / 4 * 3 && slots_.size() < kMaxIndexSlots) {
    // Reaching 3/4 of the slots doubles them (6 of 8, 12 of 16, ...).
    grow_index(slots_.size() * 2);
    pos = probe(key, id, hash, &found);
  }

  const uint32_t v = take_value_record();
  values_[v] = stored_value(value, external, sensitive);
  const char* stored_name = name_owned ? arena_take(key) : key.data();
  entries_.push_back({stored_name, hash, v, v, static_cast<uint16_t>(key.size()), id, name_owned});
  slots_[pos] = make_slot(hash, count - 1);
  ++total_values_;
  return std::nullopt;
}

std::optional<HeaderMapError> HeaderMap::put_copy(const HeaderName& name, std::string_view value,
                                                  bool sensitive, bool replace) {
  std::string copy(value);
  return put(name, copy, sensitive, replace);
}

bool HeaderMap::remove(const HeaderName& name) noexcept {
  if (slots_.size() == 0) return false;
  bool found;
  uint32_t pos = probe(name.view(), name.well_known(), name.hash(), &found);
  if (!found) return false;
  const uint32_t e = slot_entry(slots_[pos]);
  total_values_ -= free_chain(entries_[e].first);
  if (entries_[e].name_owned) arena_garbage_ += entries_[e].name_size;
  erase_slot(pos);

  // The last entry takes the hole, so no other entry moves.
  const uint32_t last = entries_.size() - 1;
  if (e != last) {
    entries_[e] = entries_[last];
    const uint32_t mask = slots_.size() - 1;
    uint32_t p = home_slot(entries_[e].hash, mask);
    while (slot_entry(slots_[p]) != last) p = (p + 1) & mask;
    slots_[p] = make_slot(entries_[e].hash, e);
  }
  entries_.pop_back();
  if (entries_.size() == 0) {
    // Nothing live is left: start the records and the arena over.
    values_.clear();
    free_values_ = kNoValue;
    arena_used_ = 0;
    arena_garbage_ = 0;
  }
  return true;
}

// ---- internals -----------------------------------------------------------------

bool HeaderMap::is_attached(std::string_view value) const noexcept {
  for (const auto& b : attached_)
    if (b.contains(value)) return true;
  return false;
}

bool HeaderMap::in_arena(const char* p) const noexcept {
  if (!arena_) return false;
  auto begin = reinterpret_cast<std::uintptr_t>(arena_.get());
  auto q = reinterpret_cast<std::uintptr_t>(p);
  return q >= begin && q - begin < arena_capacity_;
}

void HeaderMap::grow_arena(std::size_t extra) {
  // Room for twice the live octets keeps growth amortized, and a relocation
  // drops the garbage that replaced and removed values left behind.
  std::size_t live = arena_used_ - arena_garbage_;
  std::size_t capacity = 2 * (live + extra);
  relocate(capacity < kMinArena ? kMinArena : capacity);
}

void HeaderMap::relocate(std::size_t capacity) {
  std::unique_ptr<char[]> fresh(new char[capacity]);
  std::size_t used = 0;
  auto move_octets = [&](const char* from, std::size_t n) {
    char* to = fresh.get() + used;
    std::memcpy(to, from, n);
    used += n;
    return to;
  };
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (e.name_owned) e.name = move_octets(e.name, e.name_size);
    for (uint32_t v = e.first; v != kNoValue; v = values_[v].next) {
      Value& rec = values_[v];
      if (rec.owned) rec.data = move_octets(rec.data, rec.size);
    }
  }
  arena_ = std::move(fresh);
  arena_capacity_ = capacity;
  arena_used_ = used;
  arena_garbage_ = 0;
}

HeaderMap::Value HeaderMap::stored_value(std::string_view value, bool external, bool sensitive) noexcept {
  const char* data = external ? (value.empty() ? kEmptyValue : value.data()) : arena_take(value);
  return {data, static_cast<uint32_t>(value.size()), kNoValue, !external, sensitive};
}

char* HeaderMap::arena_take(std::string_view octets) noexcept {
  char* to = arena_.get() + arena_used_;
  std::memcpy(to, octets.data(), octets.size());
  arena_used_ += octets.size();
  return to;
}

void HeaderMap::grow_values() {
  // Record indices are u32 with UINT32_MAX as the end mark; the memory for
  // that many records runs out first, but say so rather than wrap.
  if (values_.size() >= kNoValue - 1) throw std::bad_alloc();
  values_.reserve(values_.size() + 1);
}

uint32_t HeaderMap::take_value_record() noexcept {
  if (free_values_ != kNoValue) {
    uint32_t v = free_values_;
    free_values_ = values_[v].next;
    return v;
  }
  values_.push_back({});
  return values_.size() - 1;
}

std::size_t HeaderMap::free_chain(uint32_t first) noexcept {
  std::size_t n = 0;
  uint32_t v = first;
  for (;;) {
    Value& rec = values_[v];
    if (rec.owned) arena_garbage_ += rec.size;
    rec.data = nullptr;
    rec.owned = false;
    ++n;
    if (rec.next == kNoValue) break;
    v = rec.next;
  }
  values_[v].next = free_values_;
  free_values_ = first;
  return n;
}

void HeaderMap::grow_index(uint32_t slots) {
  // The index is rebuilt from the entries, in place: only reserve() can
  // throw, and it does so before anything changes.
  slots_.reserve(slots);
  slots_.assign(slots, 0);
  const uint32_t mask = slots - 1;
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    uint32_t pos = home_slot(entries_[i].hash, mask);
    while (slots_[pos] != 0) pos = (pos + 1) & mask;
    slots_[pos] = make_slot(entries_[i].hash, i);
  }
}

void HeaderMap::erase_slot(uint32_t pos) noexcept {
  // Backward-shift deletion: pull later members of the probe run into the
  // hole when their home slot does not lie cyclically in (hole, current].
  const uint32_t mask = slots_.size() - 1;
  uint32_t hole = pos;
  for (uint32_t j = (pos + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
    uint32_t home = home_slot(entries_[slot_entry(slots_[j])].hash, mask);
    bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!stays) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = 0;
}

}  // namespace vantric::http
