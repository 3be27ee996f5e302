#include "core/h2/hpack/primitives.h"

#include <cstring>

#include "core/h2/hpack/huffman_table_gen.h"

namespace vantric::hpack {

DecodeStatus decode_integer(const uint8_t** p, const uint8_t* end, int prefix_bits, uint32_t* value) {
  if (prefix_bits < 1 || prefix_bits > 8) return DecodeError::kInvalidIntegerPrefix;
  const uint8_t* q = *p;
  if (q == end) return DecodeError::kIntegerUnderflow;
  const uint32_t prefix_max = (1u << prefix_bits) - 1;
  uint32_t v = *q++ & prefix_max;
  if (v == prefix_max) {
    // RFC 7541 section 5.1: the rest follows in 7-bit groups, least significant
    // first.  Four groups already reach 2^28 - 1 past the prefix.
    for (int shift = 0;; shift += 7) {
      if (q == end) return DecodeError::kIntegerUnderflow;
      const uint8_t b = *q++;
      v += static_cast<uint32_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) break;
      if (shift == 7 * (kMaxIntegerContinuations - 1)) return DecodeError::kIntegerOverflow;
    }
  }
  *p = q;
  *value = v;
  return std::nullopt;
}

char* encode_integer(char* out, uint8_t flags, int prefix_bits, uint32_t value) {
  const uint32_t prefix_max = (1u << prefix_bits) - 1;
  if (value < prefix_max) {
    *out++ = static_cast<char>(flags | value);
    return out;
  }
  *out++ = static_cast<char>(flags | prefix_max);
  value -= prefix_max;
  while (value >= 0x80) {
    *out++ = static_cast<char>(0x80 | (value & 0x7f));
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

std::size_t huffman_encoded_length(std::string_view in) {
  std::size_t bits = 0;
  for (char c : in) bits += kHuffmanCodes[static_cast<uint8_t>(c)].bits;
  return (bits + 7) / 8;
}

char* huffman_encode(std::string_view in, char* out) {
  // `acc` holds `pending` not yet written bits at its low end; codes are at most
  // 30 bits, so whole 32-bit words can be flushed without overflowing it.
  uint64_t acc = 0;
  unsigned pending = 0;
  for (char c : in) {
    const HuffmanCode& code = kHuffmanCodes[static_cast<uint8_t>(c)];
    acc = (acc << code.bits) | code.code;
    pending += code.bits;
    if (pending >= 32) {
      pending -= 32;
      const auto word = static_cast<uint32_t>(acc >> pending);
      out[0] = static_cast<char>(word >> 24);
      out[1] = static_cast<char>(word >> 16);
      out[2] = static_cast<char>(word >> 8);
      out[3] = static_cast<char>(word);
      out += 4;
    }
  }
  while (pending >= 8) {
    pending -= 8;
    *out++ = static_cast<char>(acc >> pending);
  }
  // RFC 7541 section 5.2: pad with the most significant bits of EOS (all ones).
  if (pending > 0) *out++ = static_cast<char>((acc << (8 - pending)) | (0xffu >> pending));
  return out;
}

namespace {

uint64_t load_be64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

}  // namespace

std::optional<std::size_t> huffman_decode(std::string_view in, char* out) {
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  const uint8_t* const end = p + in.size();
  char* o = out;
  // The next `avail` input bits sit at the top of `bits`; below them are zeros or
  // copies of the octets that will be loaded next, so OR-ing a reload is harmless.
  uint64_t bits = 0;
  unsigned avail = 0;
  unsigned state = 0;
  for (;;) {
    if (end - p >= 8) {
      bits |= load_be64(p) >> avail;
      p += (63 - avail) >> 3;
      avail |= 56;
    } else {
      while (avail <= 56 && p != end) {
        bits |= static_cast<uint64_t>(*p++) << (56 - avail);
        avail += 8;
      }
      if (avail < 8) break;
    }
    do {
      const uint16_t e = kHuffmanDecode[state][bits >> 56];
      if (e & kHuffmanEmit) {
        *o++ = static_cast<char>(e & 0xff);
        state = 0;
      } else if (e & kHuffmanNext) {
        state = e & 0xff;
      } else {
        return std::nullopt;  // RFC 7541 section 5.2: EOS in a string is an error
      }
      const unsigned used = (e >> 8) & 0xf;
      bits <<= used;
      avail -= used;
    } while (avail >= 8);
  }
  // Fewer than 8 bits are left: short symbols, then at most 7 bits of padding.
  while (avail > 0) {
    const unsigned window = static_cast<unsigned>(bits >> 56) | (0xffu >> avail);
    const uint16_t e = kHuffmanDecode[state][window];
    const unsigned used = (e >> 8) & 0xf;
    if ((e & kHuffmanEmit) && used <= avail) {
      *o++ = static_cast<char>(e & 0xff);
      bits <<= used;
      avail -= used;
      state = 0;
      continue;
    }
    // RFC 7541 section 5.2: "A padding strictly longer than 7 bits MUST be treated
    // as a decoding error.  A padding not corresponding to the most significant
    // bits of the code for the EOS symbol MUST be treated as a decoding error."
    // Outside state 0 the unfinished code already spans 8 bits or more.
    if (state != 0 || window != 0xff) return std::nullopt;
    avail = 0;
  }
  if (state != 0) return std::nullopt;
  return static_cast<std::size_t>(o - out);
}

char* encode_string(std::string_view in, std::size_t huffman_length, char* out) {
  if (in.empty()) {
    *out++ = 0;
    return out;
  }
  out = encode_integer(out, 0x80, 7, static_cast<uint32_t>(huffman_length));
  return huffman_encode(in, out);
}

}  // namespace vantric::hpack
