// Range scans of the HTTP/1 head parser.
//
// A request-target, a field value and a reason phrase are runs of octets
// that end at the first octet of a small set: controls and DEL (for a target,
// SP too).  The run is found sixteen octets at a time with SSE2 where the
// target has it, else eight at a time in a 64-bit word, and only the last
// partial block is looked at octet by octet.  Both ways return the same
// offset; the tests and the fuzzers check them against each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantric::h1::scan {

// Stop octets: at most `Max` (Max < 0x80), or DEL.  Octets 0x80-0xFF
// (obs-text, RFC 9110 section 5.5) never stop a run.
template <uint8_t Max>
constexpr bool is_stop(uint8_t c) noexcept {
  static_assert(Max < 0x80);
  return c <= Max || c == 0x7f;
}

namespace detail {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHighs = 0x8080808080808080ull;

// The high bit of each octet of `word` that stops, valid up to and including
// the lowest set bit: a borrow only runs towards higher octets, so the lowest
// flagged octet is always a true stop (octets load little-endian, so the
// lowest bits are the first octet).  Octets with the high bit set are never
// flagged themselves (`& ~word`).
template <uint8_t Max>
constexpr uint64_t stop_bits(uint64_t word) noexcept {
  const uint64_t below = (word - kOnes * (Max + 1u)) & ~word & kHighs;
  const uint64_t del = word ^ (kOnes * 0x7f);
  return below | ((del - kOnes) & ~del & kHighs);
}

template <uint8_t Max>
std::size_t find_stop_bytes(const char* p, std::size_t i, std::size_t n) noexcept {
  for (; i < n; ++i)
    if (is_stop<Max>(static_cast<uint8_t>(p[i]))) return i;
  return n;
}

// Eight octets at a time.
template <uint8_t Max>
std::size_t find_stop_swar(const char* p, std::size_t i, std::size_t n) noexcept {
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    if (const uint64_t bits = stop_bits<Max>(word))
      return i + static_cast<std::size_t>(__builtin_ctzll(bits)) / 8;
  }
  return find_stop_bytes<Max>(p, i, n);
}

#if defined(__SSE2__)
// Sixteen octets at a time: max(v, Max) == Max is an unsigned v <= Max.
template <uint8_t Max>
std::size_t find_stop_sse2(const char* p, std::size_t i, std::size_t n) noexcept {
  const __m128i max = _mm_set1_epi8(static_cast<char>(Max));
  const __m128i del = _mm_set1_epi8(0x7f);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, max), max), _mm_cmpeq_epi8(v, del));
    if (const int mask = _mm_movemask_epi8(stop)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  return find_stop_swar<Max>(p, i, n);
}
#endif

}  // namespace detail

// The offset of the first stop octet in [p, p + n), or n.
template <uint8_t Max>
inline std::size_t find_stop(const char* p, std::size_t n) noexcept {
#if defined(__SSE2__)
  return detail::find_stop_sse2<Max>(p, 0, n);
#else
  return detail::find_stop_swar<Max>(p, 0, n);
#endif
}

// The end of a field value or reason phrase: the first control octet (HTAB
// included: the caller steps over it) or DEL.
inline std::size_t find_control(const char* p, std::size_t n) noexcept {
  return find_stop<0x1f>(p, n);
}

// The end of a request-target: the first SP, control octet or DEL.
inline std::size_t find_space_or_control(const char* p, std::size_t n) noexcept {
  return find_stop<0x20>(p, n);
}

}  // namespace vantric::h1::scan
