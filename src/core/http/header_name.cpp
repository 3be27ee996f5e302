#include "core/http/header_name.h"

#include <array>
#include <cstring>

#include "core/http/field_rules.h"

namespace vantric::http {
namespace {

constexpr std::array<std::string_view, kWellKnownNameCount> kWellKnownTexts = {
#define VANTRIC_X(id, text) text,
    VANTRIC_WELL_KNOWN_HEADER_NAMES(VANTRIC_X)
#undef VANTRIC_X
};

constexpr std::array<uint32_t, kWellKnownNameCount> kWellKnownHashes = [] {
  std::array<uint32_t, kWellKnownNameCount> t{};
  for (std::size_t i = 0; i < kWellKnownNameCount; ++i) t[i] = hash_header_name(kWellKnownTexts[i]);
  return t;
}();

// Open-addressed lookup from hash to well-known id, filled at compile time.
// 256 slots for under 100 names keeps probe sequences short; an absent name
// usually stops at the first empty slot.
constexpr std::size_t kLookupSlots = 256;
static_assert(kWellKnownNameCount <= kLookupSlots / 2);

constexpr std::array<uint8_t, kLookupSlots> kWellKnownLookup = [] {
  std::array<uint8_t, kLookupSlots> t{};
  for (auto& s : t) s = static_cast<uint8_t>(WellKnownName::kNone);
  for (std::size_t i = 0; i < kWellKnownNameCount; ++i) {
    std::size_t pos = kWellKnownHashes[i] & (kLookupSlots - 1);
    while (t[pos] != static_cast<uint8_t>(WellKnownName::kNone)) pos = (pos + 1) & (kLookupSlots - 1);
    t[pos] = static_cast<uint8_t>(i);
  }
  return t;
}();

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
WellKnownName lookup(std::string_view name, uint32_t hash, Equal equal) noexcept {
  for (std::size_t pos = hash & (kLookupSlots - 1);; pos = (pos + 1) & (kLookupSlots - 1)) {
    uint8_t id = kWellKnownLookup[pos];
    if (id == static_cast<uint8_t>(WellKnownName::kNone)) return WellKnownName::kNone;
    if (kWellKnownHashes[id] == hash && equal(name, kWellKnownTexts[id])) return static_cast<WellKnownName>(id);
  }
}

}  // namespace

std::string_view well_known_name_text(WellKnownName id) noexcept {
  return kWellKnownTexts[static_cast<std::size_t>(id)];
}

WellKnownName find_well_known_name(std::string_view lowercase) noexcept {
  return lookup(lowercase, hash_header_name(lowercase),
                [](std::string_view a, std::string_view b) { return a == b; });
}

std::optional<HeaderName> HeaderName::from(std::string_view raw) {
  std::optional<HeaderName> result;
  if (raw.empty() || raw.size() > kMaxHeaderNameLength) return result;
  HeaderName& out = result.emplace(Tag{});
  char* dst = out.inline_;
  if (raw.size() > kInlineCapacity) {
    out.heap_.resize(raw.size());
    dst = out.heap_.data();
  }
  // Validation, lowercasing and hashing in one pass over the input.
  NameHasher hasher(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    uint8_t c = kNameOctet[static_cast<uint8_t>(raw[i])];
    if (c == 0) {
      result.reset();
      return result;
    }
    dst[i] = static_cast<char>(c);
    hasher.add(c);
  }
  out.size_ = static_cast<uint16_t>(raw.size());
  out.hash_ = hasher.finish();
  out.id_ = lookup(raw, out.hash_, equals_ignoring_case);
  if (out.id_ != WellKnownName::kNone) out.static_text_ = kWellKnownTexts[static_cast<std::size_t>(out.id_)].data();
  return result;
}

HeaderName::HeaderName(WellKnownName id) noexcept
    : static_text_(kWellKnownTexts[static_cast<std::size_t>(id)].data()),
      hash_(kWellKnownHashes[static_cast<std::size_t>(id)]),
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
