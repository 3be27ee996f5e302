// Header-field octet rules shared by every protocol path (RFC 9110 section 5).
//
// The tables are built at compile time from the grammar so that each check is
// one load per octet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantric::http {

// RFC 9110 section 5.6.2: tchar = "!" / "#" / "$" / "%" / "&" / "'" / "*" / "+" /
// "-" / "." / "^" / "_" / "`" / "|" / "~" / DIGIT / ALPHA
inline constexpr std::array<bool, 256> kTcharTable = [] {
  std::array<bool, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
  for (char c : std::string_view("!#$%&'*+-.^_`|~")) t[static_cast<uint8_t>(c)] = true;
  return t;
}();

// RFC 9110 section 5.5: field-vchar = VCHAR / obs-text, plus SP and HTAB inside
// a value.  Controls (including CR and LF) and DEL are refused.
inline constexpr std::array<bool, 256> kFieldValueTable = [] {
  std::array<bool, 256> t{};
  t['\t'] = true;
  for (int c = 0x20; c <= 0x7e; ++c) t[c] = true;
  for (int c = 0x80; c <= 0xff; ++c) t[c] = true;
  return t;
}();

inline constexpr std::array<uint8_t, 256> kLowerTable = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return t;
}();

inline constexpr std::size_t kMaxHeaderNameLength = 65535;

constexpr bool is_tchar(uint8_t c) {
  return kTcharTable[c];
}
constexpr bool is_field_value_octet(uint8_t c) {
  return kFieldValueTable[c];
}

// A header name as the host may give it: 1..65535 tchars, any case.
constexpr bool is_valid_header_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxHeaderNameLength) return false;
  for (char c : name)
    if (!kTcharTable[static_cast<uint8_t>(c)]) return false;
  return true;
}

// A header name as stored and as HTTP/2 carries it: valid and already lowercase.
constexpr bool is_valid_lowercase_header_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxHeaderNameLength) return false;
  for (char c : name) {
    auto u = static_cast<uint8_t>(c);
    if (!kTcharTable[u] || (u >= 'A' && u <= 'Z')) return false;
  }
  return true;
}

namespace detail {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHighs = kOnes * 0x80;

constexpr bool valid_value_octets(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!kFieldValueTable[static_cast<uint8_t>(p[i])]) return false;
  return true;
}

// The eight octets at `p` as a little-endian word.
inline uint64_t load_word(const char* p) noexcept {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// The 1 to 7 octets at `p` as a zero-padded little-endian word, from two
// overlapping loads (never a library call, never past the last octet).
inline uint64_t load_short_word(const char* p, std::size_t n) noexcept {
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return lo | (static_cast<uint64_t>(hi) << (8 * (n - 4)));
  }
  auto at = [p](std::size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(p[i])); };
  return at(0) | (at(n / 2) << (8 * (n / 2))) | (at(n - 1) << (8 * (n - 1)));
}

// The top bit of every octet of `word` that is 0x20-0x7E or 0x80-0xFF: the
// value octets other than HTAB.  Below 0x80, adding 1 to the low seven bits
// takes DEL to 0x80, whose low seven bits are 0, and adding 0x5f then sets
// the top bit exactly for 0x20-0x7E; no sum carries into the next octet.
constexpr uint64_t plain_value_octets(uint64_t word) {
  constexpr uint64_t kLow7 = kOnes * 0x7f;
  const uint64_t stepped = (word & kLow7) + kOnes;
  return (((stepped & kLow7) + kOnes * 0x5f) | word) & kHighs;
}

static_assert(plain_value_octets(0x7e20ff807f1f0900ull) == 0x8080808000000000ull);

}  // namespace detail

namespace detail {

// Whether the eight octets at `p` are valid value octets.
inline bool valid_value_word(const char* p) noexcept {
  return plain_value_octets(load_word(p)) == kHighs || valid_value_octets(p, 8);
}

#if defined(__SSE2__)
// Whether the sixteen octets at `p` are valid value octets.  Unsigned
// minimum finds the octets up to 0x1f, compare-equal finds DEL.
inline bool valid_value_block(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);
  const __m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f));
  return _mm_movemask_epi8(_mm_or_si128(control, del)) == 0 || valid_value_octets(p, 16);
}
#endif

}  // namespace detail

// Values are long and almost always clean, so they are checked sixteen (or
// eight) octets at a time, the last block overlapping the one before; only a
// block holding an octet below 0x20 (HTAB is one) or DEL is looked at octet
// by octet.
constexpr bool is_valid_header_value(std::string_view value) {
  if (std::is_constant_evaluated()) return detail::valid_value_octets(value.data(), value.size());
  const char* p = value.data();
  const std::size_t n = value.size();
  if (n < 8) {
    if (n == 0) return true;
    // The octets past the value are taken as spaces.
    const uint64_t unused = ~uint64_t{0} << (8 * n);
    const uint64_t word = detail::load_short_word(p, n) | (unused & detail::kOnes * 0x20);
    return detail::plain_value_octets(word) == detail::kHighs || detail::valid_value_octets(p, n);
  }
#if defined(__SSE2__)
  if (n >= 16) {
    for (std::size_t i = 0; i + 16 < n; i += 16)
      if (!detail::valid_value_block(p + i)) return false;
    return detail::valid_value_block(p + n - 16);
  }
#endif
  for (std::size_t i = 0; i + 8 < n; i += 8)
    if (!detail::valid_value_word(p + i)) return false;
  return detail::valid_value_word(p + n - 8);
}

}  // namespace vantric::http
