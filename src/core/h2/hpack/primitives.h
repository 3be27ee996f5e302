// HPACK integer and string primitives (RFC 7541 sections 5.1 and 5.2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/h2/hpack/status.h"

namespace vantric::hpack {

// Continuation octets a decoded integer may use: enough for every size, index and
// length this core produces, few enough that the value fits 32 bits.
inline constexpr int kMaxIntegerContinuations = 4;

// The most octets encode_integer writes (a prefix octet and five continuations).
inline constexpr std::size_t kMaxIntegerLength = 6;

// Decodes an integer with a `prefix_bits`-bit prefix starting at *p (the flag bits
// above the prefix are ignored).  On success, *p is moved past it.  Errors:
// kInvalidIntegerPrefix (prefix outside 1..8), kIntegerUnderflow (the input ends
// inside the integer), kIntegerOverflow (a fourth continuation octet still has its
// high bit set).  *p is left alone on error.
DecodeStatus decode_integer(const uint8_t** p, const uint8_t* end, int prefix_bits, uint32_t* value);

// Writes `value` with a `prefix_bits`-bit prefix, OR-ing `flags` into the first
// octet.  `out` needs room for kMaxIntegerLength octets; returns the end.
char* encode_integer(char* out, uint8_t flags, int prefix_bits, uint32_t value);

// Octets the Huffman code of `in` takes, padding included.
std::size_t huffman_encoded_length(std::string_view in);

// Writes the Huffman code of `in`, padded with the high bits of EOS, into `out`,
// which needs room for huffman_encoded_length(in) octets.  Returns the end.
char* huffman_encode(std::string_view in, char* out);

// The most octets Huffman data of `encoded_length` octets can decode to: every
// code has at least 5 bits.
constexpr std::size_t huffman_max_decoded_length(std::size_t encoded_length) {
  return encoded_length * 8 / 5;
}

// Decodes Huffman data into `out` (room for huffman_max_decoded_length octets).
// Returns the decoded length, or nothing when the data holds EOS or ends in more
// than 7 bits of an unfinished code, or in bits that are not all ones (RFC 7541
// section 5.2).
std::optional<std::size_t> huffman_decode(std::string_view in, char* out);

// Writes a string literal (H bit, 7-bit-prefix length, octets) holding the Huffman
// code of `in`, which takes `huffman_length` octets (huffman_encoded_length(in));
// the empty string becomes the single octet 0x00.  `out` needs room for
// kMaxIntegerLength + huffman_length octets; returns the end.
char* encode_string(std::string_view in, std::size_t huffman_length, char* out);

}  // namespace vantric::hpack
