#include "core/http/header_name.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "core/http/field_rules.h"

namespace vantric::http {
namespace {

constexpr std::array<std::string_view, kWellKnownNameCount> kWellKnownTexts = {
#define VANTRIC_X(id, text) text,
    VANTRIC_WELL_KNOWN_HEADER_NAMES(VANTRIC_X)
#undef VANTRIC_X
};

// The hash of a lowercase name, eight octets per step.  The key is the
// initial state: without it a peer cannot invert the mixing to make names
// collide.
uint32_t keyed_hash(uint64_t key, std::string_view lowercase) noexcept {
  uint64_t h = key ^ lowercase.size();
  const char* p = lowercase.data();
  std::size_t n = lowercase.size();
  auto mix = [&h](uint64_t word) {
    h = (h ^ word) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
  };
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    mix(word);
  }
  if (n != 0) {
    // The tail as a zero-padded little-endian word: one overlapping load when
    // the name is long enough, else octet by octet (never a library call).
    uint64_t word = 0;
    if (lowercase.size() >= 8) {
      std::memcpy(&word, p + n - 8, 8);
      word >>= (8 - n) * 8;
    } else {
      for (std::size_t i = 0; i < n; ++i) word |= static_cast<uint64_t>(static_cast<uint8_t>(p[i])) << (8 * i);
    }
    mix(word);
  }
  h *= 0xbf58476d1ce4e5b9ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// Open addressing from hash to well-known id; 256 slots for under 100 names
// keeps probe runs short, and an absent name usually stops at the first
// empty slot.
constexpr std::size_t kLookupSlots = 256;
static_assert(kWellKnownNameCount <= kLookupSlots / 2);

struct WellKnownTables {
  uint64_t key;
  std::array<uint32_t, kWellKnownNameCount> hashes;
  std::array<uint8_t, kLookupSlots> lookup;
};

// Built on first use (not at load, so that names made during another unit's
// static initialization are hashed with the same key).  The key only has to
// be unknown to peers: address-space randomization and the clock suffice.
const WellKnownTables& tables() noexcept {
  static const WellKnownTables t = [] {
    WellKnownTables w{};
    static const char anchor = 0;
    uint64_t x = reinterpret_cast<std::uintptr_t>(&anchor) ^
                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    w.key = x ^ (x >> 31);
    w.lookup.fill(static_cast<uint8_t>(WellKnownName::kNone));
    for (std::size_t i = 0; i < kWellKnownNameCount; ++i) {
      w.hashes[i] = keyed_hash(w.key, kWellKnownTexts[i]);
      std::size_t pos = w.hashes[i] & (kLookupSlots - 1);
      while (w.lookup[pos] != static_cast<uint8_t>(WellKnownName::kNone)) pos = (pos + 1) & (kLookupSlots - 1);
      w.lookup[pos] = static_cast<uint8_t>(i);
    }
    return w;
  }();
  return t;
}

// One load per octet validates a name octet and lowercases it: 0 for an octet
// that is not a tchar (RFC 9110 section 5.6.2), else its lowercase form.
constexpr std::array<uint8_t, 256> kNameOctet = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kTcharTable[c] ? kLowerTable[c] : 0;
  return t;
}();

// Every well-known text is lowercase letters, digits and "-", so for a
// name already validated as tchars, (octet | 0x20) == text octet holds
// exactly when the octet is the text octet in either case: the other octets
// that OR 0x20 could map onto a letter, digit or "-" are controls.
constexpr bool kTextsAreLowerAlnumDash = [] {
  for (std::string_view text : kWellKnownTexts)
    for (char c : text)
      if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  return true;
}();
static_assert(kTextsAreLowerAlnumDash);

// Compares validated raw octets with a well-known text, ignoring ASCII case,
// eight at a time.  Reads the caller's input rather than the lowercase copy
// just written, which would stall on store forwarding.
bool equals_ignoring_case(std::string_view raw, std::string_view text) noexcept {
  if (raw.size() != text.size()) return false;
  constexpr uint64_t kCaseBits = 0x2020202020202020ull;
  std::size_t i = 0;
  for (; i + 8 <= raw.size(); i += 8) {
    uint64_t a, b;
    std::memcpy(&a, raw.data() + i, 8);
    std::memcpy(&b, text.data() + i, 8);
    if ((a | kCaseBits) != b) return false;
  }
  for (; i < raw.size(); ++i)
    if ((raw[i] | 0x20) != text[i]) return false;
  return true;
}

template <class Equal>
WellKnownName lookup(const WellKnownTables& t, std::string_view name, uint32_t hash, Equal equal) noexcept {
  for (std::size_t pos = hash & (kLookupSlots - 1);; pos = (pos + 1) & (kLookupSlots - 1)) {
    uint8_t id = t.lookup[pos];
    if (id == static_cast<uint8_t>(WellKnownName::kNone)) return WellKnownName::kNone;
    if (t.hashes[id] == hash && equal(name, kWellKnownTexts[id])) return static_cast<WellKnownName>(id);
  }
}

}  // namespace

std::string_view well_known_name_text(WellKnownName id) noexcept {
  return kWellKnownTexts[static_cast<std::size_t>(id)];
}

uint32_t hash_header_name(std::string_view lowercase) noexcept { return keyed_hash(tables().key, lowercase); }

WellKnownName find_well_known_name(std::string_view lowercase) noexcept {
  const WellKnownTables& t = tables();
  return lookup(t, lowercase, keyed_hash(t.key, lowercase),
                [](std::string_view a, std::string_view b) { return a == b; });
}

std::optional<HeaderName> HeaderName::from(std::string_view raw) {
  std::optional<HeaderName> result;
  if (raw.empty() || raw.size() > kMaxHeaderNameLength) return result;
  const WellKnownTables& t = tables();
  HeaderName& out = result.emplace(Tag{});
  char* dst = out.inline_;
  if (raw.size() > kInlineCapacity) {
    out.heap_.resize(raw.size());
    dst = out.heap_.data();
  }
  // Validation and lowercasing in one branch-free pass (an invalid octet maps
  // to 0), then the hash over the lowercase copy a word at a time.
  uint8_t lowest = 0xff;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    uint8_t c = kNameOctet[static_cast<uint8_t>(raw[i])];
    dst[i] = static_cast<char>(c);
    lowest = c < lowest ? c : lowest;
  }
  if (lowest == 0) {
    result.reset();
    return result;
  }
  out.size_ = static_cast<uint16_t>(raw.size());
  out.hash_ = keyed_hash(t.key, std::string_view(dst, raw.size()));
  out.id_ = lookup(t, raw, out.hash_, equals_ignoring_case);
  if (out.id_ != WellKnownName::kNone) out.static_text_ = kWellKnownTexts[static_cast<std::size_t>(out.id_)].data();
  return result;
}

HeaderName::HeaderName(WellKnownName id) noexcept
    : static_text_(kWellKnownTexts[static_cast<std::size_t>(id)].data()),
      hash_(tables().hashes[static_cast<std::size_t>(id)]),
      size_(static_cast<uint16_t>(kWellKnownTexts[static_cast<std::size_t>(id)].size())),
      id_(id) {}

void HeaderName::copy_from(const HeaderName& other) {
  if (other.static_text_ == nullptr && other.size_ > kInlineCapacity) {
    heap_ = other.heap_;
  } else {
    heap_.clear();
    if (other.static_text_ == nullptr) std::memcpy(inline_, other.inline_, other.size_);
  }
  static_text_ = other.static_text_;
  hash_ = other.hash_;
  size_ = other.size_;
  id_ = other.id_;
}

HeaderName::HeaderName(const HeaderName& other) { copy_from(other); }

HeaderName& HeaderName::operator=(const HeaderName& other) {
  if (this != &other) copy_from(other);
  return *this;
}

HeaderName::HeaderName(HeaderName&& other) noexcept
    : static_text_(other.static_text_),
      hash_(other.hash_),
      size_(other.size_),
      id_(other.id_),
      heap_(std::move(other.heap_)) {
  if (static_text_ == nullptr && size_ <= kInlineCapacity) std::memcpy(inline_, other.inline_, size_);
}

HeaderName& HeaderName::operator=(HeaderName&& other) noexcept {
  if (this != &other) {
    static_text_ = other.static_text_;
    hash_ = other.hash_;
    size_ = other.size_;
    id_ = other.id_;
    heap_ = std::move(other.heap_);
    if (static_text_ == nullptr && size_ <= kInlineCapacity) std::memcpy(inline_, other.inline_, size_);
  }
  return *this;
}

}  // namespace vantric::http
