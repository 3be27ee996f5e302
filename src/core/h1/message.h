// HTTP/1 message vocabulary shared by parsing, serialization and body
// decoding: the body framing a head implies.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace vantric::h1 {

// The body length of a head: an unsigned 64-bit value whose two top values
// are reserved for the chunked and the close-delimited framings.
inline constexpr uint64_t kBodyChunked = std::numeric_limits<uint64_t>::max() - 1;
inline constexpr uint64_t kBodyCloseDelimited = std::numeric_limits<uint64_t>::max();
// A declared length must stay below the reserved values.
inline constexpr uint64_t kMaxBodyLength = kBodyChunked - 1;

// How a message body is delimited (RFC 9112 section 6.3): no body, a known
// length, chunked transfer coding, or the end of the connection.  A body
// being encoded or decoded is never kEmpty: an empty one is kLength of 0.
enum class BodyFraming : uint8_t { kEmpty, kLength, kChunked, kClose };

constexpr BodyFraming body_framing(uint64_t body_length) noexcept {
  if (body_length == 0) return BodyFraming::kEmpty;
  if (body_length == kBodyChunked) return BodyFraming::kChunked;
  if (body_length == kBodyCloseDelimited) return BodyFraming::kClose;
  return BodyFraming::kLength;
}

// "empty", "length", "chunked" or "close": the host's body_kind strings.
constexpr std::string_view body_kind_name(BodyFraming framing) noexcept {
  switch (framing) {
    case BodyFraming::kEmpty:
      return "empty";
    case BodyFraming::kLength:
      return "length";
    case BodyFraming::kChunked:
      return "chunked";
    case BodyFraming::kClose:
      break;
  }
  return "close";
}

}  // namespace vantric::h1
