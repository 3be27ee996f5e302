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

enum class BodyKind : uint8_t { kEmpty, kLength, kChunked, kClose };

constexpr BodyKind body_kind(uint64_t body_length) noexcept {
  if (body_length == 0) return BodyKind::kEmpty;
  if (body_length == kBodyChunked) return BodyKind::kChunked;
  if (body_length == kBodyCloseDelimited) return BodyKind::kClose;
  return BodyKind::kLength;
}

// "empty", "length", "chunked" or "close": the host's body_kind strings.
constexpr std::string_view body_kind_name(BodyKind kind) noexcept {
  switch (kind) {
    case BodyKind::kEmpty:
      return "empty";
    case BodyKind::kLength:
      return "length";
    case BodyKind::kChunked:
      return "chunked";
    case BodyKind::kClose:
      break;
  }
  return "close";
}

}  // namespace vantric::h1
