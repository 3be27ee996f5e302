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

constexpr bool is_tchar(uint8_t c) { return kTcharTable[c]; }
constexpr bool is_field_value_octet(uint8_t c) { return kFieldValueTable[c]; }

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

constexpr bool valid_value_octets(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!kFieldValueTable[static_cast<uint8_t>(p[i])]) return false;
  return true;
}

// Whether any octet of the word is below 0x20 or is DEL (0x7f).  Exact for
// octets below 0x80 and never set by octets 0x80-0xff, so obs-text passes.
constexpr bool word_has_control(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  const uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighs;
  const uint64_t del = word ^ (kOnes * 0x7f);
  const uint64_t is_del = (del - kOnes) & ~del & kHighs;
  return (below_space | is_del) != 0;
}

}  // namespace detail

// Values are long and almost always clean, so eight octets are checked at a
// time; only a word holding a control octet (HTAB is one) is looked at octet
// by octet.
constexpr bool is_valid_header_value(std::string_view value) {
  if (std::is_constant_evaluated()) return detail::valid_value_octets(value.data(), value.size());
  const char* p = value.data();
  std::size_t n = value.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (detail::word_has_control(word) && !detail::valid_value_octets(p, 8)) return false;
  }
  return detail::valid_value_octets(p, n);
}

}  // namespace vantric::http
