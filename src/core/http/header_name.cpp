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
// collide.  HeaderName::from() computes the same steps on the words it has
// just lowercased.
uint64_t hash_start(uint64_t key, std::size_t size) noexcept {
  return key ^ size;
}

uint64_t hash_step(uint64_t h, uint64_t word) noexcept {
  h = (h ^ word) * 0x9e3779b97f4a7c15ull;
  return h ^ (h >> 29);
}

uint32_t hash_finish(uint64_t h) noexcept {
  h *= 0xbf58476d1ce4e5b9ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

using detail::load_short_word;
using detail::load_word;

uint32_t keyed_hash(uint64_t key, std::string_view lowercase) noexcept {
  uint64_t h = hash_start(key, lowercase.size());
  const char* p = lowercase.data();
  std::size_t n = lowercase.size();
  for (; n >= 8; p += 8, n -= 8) h = hash_step(h, load_word(p));
  if (n != 0) {
    // The tail as a zero-padded word: one overlapping load when the name is
    // long enough.
    h = hash_step(h, lowercase.size() >= 8 ? load_word(p + n - 8) >> ((8 - n) * 8) : load_short_word(p, n));
  }
  return hash_finish(h);
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
      while (w.lookup[pos] != static_cast<uint8_t>(WellKnownName::kNone))
        pos = (pos + 1) & (kLookupSlots - 1);
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

// The texts zero-padded to whole words, so that a short name compares as one
// word and a long one word by word with an overlapping last word.
constexpr std::size_t kPaddedText = 40;
struct PaddedText {
  alignas(8) char octets[kPaddedText];
};
constexpr std::array<PaddedText, kWellKnownNameCount> kPaddedTexts = [] {
  std::array<PaddedText, kWellKnownNameCount> t{};
  for (std::size_t i = 0; i < kWellKnownNameCount; ++i)
    for (std::size_t j = 0; j < kWellKnownTexts[i].size(); ++j) t[i].octets[j] = kWellKnownTexts[i][j];
  return t;
}();
constexpr bool kTextsFitPadding = [] {
  for (std::string_view text : kWellKnownTexts)
    if (text.size() >= kPaddedText) return false;
  return true;
}();
static_assert(kTextsFitPadding);

// ---- eight octets at a time ---------------------------------------------------
//
// Almost every name on the wire is letters, digits and "-".  For such a word
// OR-ing 0x20 into every octet lowercases it (digits and "-" already have the
// bit), and the range checks below are exact because no octet has its top bit
// set, so no sum carries into the next octet.  A word holding any other octet
// goes through the table.

using detail::kHighs;
using detail::kOnes;

// The top bit of every octet of `w` (each below 0x80) that lies in [lo, hi].
constexpr uint64_t octets_in(uint64_t w, uint8_t lo, uint8_t hi) noexcept {
  return (w + kOnes * (0x80 - lo)) & ~(w + kOnes * (0x7f - hi)) & kHighs;
}

// The top bits of the octets of `w` that are ASCII letters, digits or "-".
constexpr uint64_t alnum_dash_octets(uint64_t w) noexcept {
  if ((w & kHighs) != 0) return 0;
  return octets_in(w | kOnes * 0x20, 'a', 'z') | octets_in(w, '0', '9') | octets_in(w, '-', '-');
}

static_assert(alnum_dash_octets(0x2d39307a61415a2dull) == kHighs);  // "-ZAaz09-"
static_assert(alnum_dash_octets(0x402f3a5b607b2c5full) == 0);       // "_,{`[:/@"
static_assert(alnum_dash_octets(0x0d0d0d0d0d0d0d0dull) == 0);       // CR never passes as "-"

// Lowercases the eight octets at `src` through the table into `dst`, returning
// them as a word; *lowest becomes 0 when one is not a tchar.
uint64_t lower_octets(const char* src, char* dst, uint8_t* lowest) noexcept {
  uint64_t word = 0;
  for (std::size_t k = 0; k < 8; ++k) {
    uint8_t c = kNameOctet[static_cast<uint8_t>(src[k])];
    dst[k] = static_cast<char>(c);
    *lowest = c < *lowest ? c : *lowest;
    word |= static_cast<uint64_t>(c) << (8 * k);
  }
  return word;
}

// The lowercase form of the word at `src` (eight octets of a name), stored at
// `dst`.
uint64_t lower_word(const char* src, char* dst, uint8_t* lowest) noexcept {
  const uint64_t w = load_word(src);
  if (alnum_dash_octets(w) != kHighs) [[unlikely]]
    return lower_octets(src, dst, lowest);
  const uint64_t lower = w | kOnes * 0x20;
  std::memcpy(dst, &lower, 8);
  return lower;
}

// Whether the validated name `raw` (at least eight octets) is `text` in any
// case, comparing words at the positions the name was read in.
bool long_name_is(std::string_view raw, const char* text) noexcept {
  const std::size_t n = raw.size();
  constexpr uint64_t kCaseBits = kOnes * 0x20;
  for (std::size_t i = 0; i + 8 < n; i += 8)
    if ((load_word(raw.data() + i) | kCaseBits) != load_word(text + i)) return false;
  return (load_word(raw.data() + n - 8) | kCaseBits) == load_word(text + n - 8);
}

template <class Equal>
WellKnownName lookup(const WellKnownTables& t, uint32_t hash, std::size_t size, Equal equal) noexcept {
  for (std::size_t pos = hash & (kLookupSlots - 1);; pos = (pos + 1) & (kLookupSlots - 1)) {
    uint8_t id = t.lookup[pos];
    if (id == static_cast<uint8_t>(WellKnownName::kNone)) return WellKnownName::kNone;
    if (t.hashes[id] == hash && kWellKnownTexts[id].size() == size && equal(id))
      return static_cast<WellKnownName>(id);
  }
}

}  // namespace

std::string_view well_known_name_text(WellKnownName id) noexcept {
  return kWellKnownTexts[static_cast<std::size_t>(id)];
}

uint32_t hash_header_name(std::string_view lowercase) noexcept {
  return keyed_hash(tables().key, lowercase);
}

WellKnownName find_well_known_name(std::string_view lowercase) noexcept {
  const WellKnownTables& t = tables();
  return lookup(t, keyed_hash(t.key, lowercase), lowercase.size(),
                [lowercase](uint8_t id) { return kWellKnownTexts[id] == lowercase; });
}

std::optional<HeaderName> HeaderName::from(std::string_view raw) {
  std::optional<HeaderName> result;
  from(raw, &result);
  return result;
}

bool HeaderName::from(std::string_view raw, std::optional<HeaderName>* out) {
  const std::size_t n = raw.size();
  if (n == 0 || n > kMaxHeaderNameLength) {
    out->reset();
    return false;
  }
  const WellKnownTables& t = tables();
  HeaderName& name = out->emplace(Tag{});
  char* dst = name.inline_;
  if (n > kInlineCapacity) {
    name.heap_.reset(new char[n]);
    dst = name.heap_.get();
  }
  // Validation, lowercasing and the hash in one pass; `lowest` becomes 0 when
  // an octet is not a tchar.
  uint8_t lowest = 0xff;
  uint64_t h = hash_start(t.key, n);
  uint64_t short_word = 0;
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) h = hash_step(h, lower_word(raw.data() + i, dst + i, &lowest));
    if (i != n) {
      // The last word overlaps the one before; the hash takes its new octets.
      const uint64_t last = lower_word(raw.data() + n - 8, dst + n - 8, &lowest);
      h = hash_step(h, last >> (8 * (8 - (n - i))));
    }
  } else {
    const uint64_t w = load_short_word(raw.data(), n);
    const uint64_t used = ~uint64_t{0} >> (8 * (8 - n));
    if (alnum_dash_octets(w) == (kHighs & used)) {
      short_word = (w | kOnes * 0x20) & used;
      std::memcpy(dst, &short_word, 8);  // inline_ has room for the whole word
    } else {
      for (std::size_t k = 0; k < n; ++k) {
        uint8_t c = kNameOctet[static_cast<uint8_t>(raw[k])];
        dst[k] = static_cast<char>(c);
        lowest = c < lowest ? c : lowest;
        short_word |= static_cast<uint64_t>(c) << (8 * k);
      }
    }
    h = hash_step(h, short_word);
  }
  if (lowest == 0) {
    out->reset();
    return false;
  }
  name.size_ = static_cast<uint16_t>(n);
  name.hash_ = hash_finish(h);
  name.id_ =
      n >= 8
          ? lookup(t, name.hash_, n, [raw](uint8_t id) { return long_name_is(raw, kPaddedTexts[id].octets); })
          : lookup(t, name.hash_, n,
                   [short_word](uint8_t id) { return load_word(kPaddedTexts[id].octets) == short_word; });
  if (name.id_ != WellKnownName::kNone)
    name.static_text_ = kWellKnownTexts[static_cast<std::size_t>(name.id_)].data();
  return true;
}

HeaderName::HeaderName(WellKnownName id) noexcept
    : static_text_(kWellKnownTexts[static_cast<std::size_t>(id)].data()),
      hash_(tables().hashes[static_cast<std::size_t>(id)]),
      size_(static_cast<uint16_t>(kWellKnownTexts[static_cast<std::size_t>(id)].size())),
      id_(id) {}

void HeaderName::copy_from(const HeaderName& other) {
  if (other.static_text_ == nullptr && other.size_ > kInlineCapacity) {
    std::unique_ptr<char[]> copy(new char[other.size_]);
    std::memcpy(copy.get(), other.heap_.get(), other.size_);
    heap_ = std::move(copy);
  } else {
    heap_.reset();
    if (other.static_text_ == nullptr) std::memcpy(inline_, other.inline_, other.size_);
  }
  static_text_ = other.static_text_;
  hash_ = other.hash_;
  size_ = other.size_;
  id_ = other.id_;
}

HeaderName::HeaderName(const HeaderName& other) {
  copy_from(other);
}

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
