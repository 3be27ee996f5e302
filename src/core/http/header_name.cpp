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

WellKnownName lookup(std::string_view lowercase, uint32_t hash) noexcept {
  for (std::size_t pos = hash & (kLookupSlots - 1);; pos = (pos + 1) & (kLookupSlots - 1)) {
    uint8_t id = kWellKnownLookup[pos];
    if (id == static_cast<uint8_t>(WellKnownName::kNone)) return WellKnownName::kNone;
    if (kWellKnownHashes[id] == hash && kWellKnownTexts[id] == lowercase)
      return static_cast<WellKnownName>(id);
  }
}

}  // namespace

std::string_view well_known_name_text(WellKnownName id) noexcept {
  return kWellKnownTexts[static_cast<std::size_t>(id)];
}

WellKnownName find_well_known_name(std::string_view lowercase) noexcept {
  return lookup(lowercase, hash_header_name(lowercase));
}

std::optional<HeaderName> HeaderName::from(std::string_view raw) {
  if (raw.empty() || raw.size() > kMaxHeaderNameLength) return std::nullopt;
  HeaderName out;
  char* dst = out.inline_;
  if (raw.size() > kInlineCapacity) {
    out.heap_.resize(raw.size());
    dst = out.heap_.data();
  }
  // Validation and lowercasing in one pass over the input.
  for (std::size_t i = 0; i < raw.size(); ++i) {
    uint8_t c = kNameOctet[static_cast<uint8_t>(raw[i])];
    if (c == 0) return std::nullopt;
    dst[i] = static_cast<char>(c);
  }
  std::string_view lowercase(dst, raw.size());
  out.size_ = static_cast<uint16_t>(raw.size());
  out.hash_ = hash_header_name(lowercase);
  out.id_ = lookup(lowercase, out.hash_);
  if (out.id_ != WellKnownName::kNone) {
    out.static_text_ = kWellKnownTexts[static_cast<std::size_t>(out.id_)].data();
    out.heap_.clear();
  }
  return out;
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
