// A fixed-size Robin Hood hash index from a 32-bit key hash to the insertion id of
// a dynamic table entry, so that the encoder finds entries without scanning the
// table and evictions take their slots out again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vantric::hpack {

class HashIndex {
 public:
  // Twice the most entries a table the encoder uses can hold (4096 / 33), so
  // probe sequences stay short.
  static constexpr std::size_t kSlots = 256;

  // The id stored for `hash` whose entry `same(id)` accepts.
  template <class Same>
  std::optional<uint32_t> find(uint32_t hash, Same&& same) const {
    for (std::size_t dist = 0, i = hash & kMask;; ++dist, i = (i + 1) & kMask) {
      const Slot& s = slots_[i];
      if (!s.used || distance(s, i) < dist) return std::nullopt;
      if (s.hash == hash && same(s.id)) return s.id;
    }
  }

  // Points the key at `id`: overwrites the slot of an older entry with the same key
  // (`same` accepts it), otherwise adds a slot.
  template <class Same>
  void put(uint32_t hash, uint32_t id, Same&& same) {
    Slot carry{hash, id, true};
    std::size_t dist = 0;
    for (std::size_t i = hash & kMask;; ++dist, i = (i + 1) & kMask) {
      Slot& s = slots_[i];
      if (!s.used) {
        s = carry;
        return;
      }
      if (carry.id == id && s.hash == hash && same(s.id)) {
        s.id = id;
        return;
      }
      // Robin Hood: the slot goes to whichever key is further from home.
      if (const std::size_t d = distance(s, i); d < dist) {
        std::swap(s, carry);
        dist = d;
      }
    }
  }

  // Removes the slot holding `id`, if any: a newer entry with the same key may own
  // the slot by now.
  void erase(uint32_t hash, uint32_t id) {
    for (std::size_t dist = 0, i = hash & kMask;; ++dist, i = (i + 1) & kMask) {
      const Slot& s = slots_[i];
      if (!s.used || distance(s, i) < dist) return;
      if (s.id == id && s.hash == hash) {
        // Backward shift keeps every probe sequence unbroken without tombstones.
        for (std::size_t j = (i + 1) & kMask; slots_[j].used && distance(slots_[j], j) > 0;
             i = j, j = (j + 1) & kMask)
          slots_[i] = slots_[j];
        slots_[i].used = false;
        return;
      }
    }
  }

 private:
  static constexpr std::size_t kMask = kSlots - 1;
  struct Slot {
    uint32_t hash = 0;
    uint32_t id = 0;
    bool used = false;
  };
  static std::size_t distance(const Slot& s, std::size_t i) { return (i - s.hash) & kMask; }

  std::array<Slot, kSlots> slots_{};
};

}  // namespace vantric::hpack
