// The outcomes of HPACK decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/progress.h"

namespace vantric::hpack {

// Why decoding (part of) a header block stopped.  The names are the
// protocol's vocabulary: the frame codec reports "HPACK decoding failed: " + name.
enum class DecodeError : uint8_t {
  // Not an HPACK error: the field sink stopped decoding because the header list
  // grew past its abuse limit.
  kOverAbuseLimit,
  // The block was cut short; while the block is still being continued the caller
  // keeps the undecoded tail and resumes with the next fragment.
  kUnexpectedEndOfStream,
  kIntegerUnderflow,
  kStringUnderflow,
  kInvalidRepresentation,
  kInvalidIntegerPrefix,
  kInvalidTableIndex,
  kInvalidHuffmanCode,
  kInvalidUtf8,
  kInvalidStatusCode,
  kInvalidPseudoheader,
  kInvalidMaxDynamicSize,
  kIntegerOverflow,
};

// The outcome of decoding: nullopt when every representation was decoded.
using DecodeStatus = std::optional<DecodeError>;

inline constexpr std::array<std::string_view, 13> kDecodeErrorNames = {
    "OverAbuseLimit",
    "NeedMore(UnexpectedEndOfStream)",
    "NeedMore(IntegerUnderflow)",
    "NeedMore(StringUnderflow)",
    "InvalidRepresentation",
    "InvalidIntegerPrefix",
    "InvalidTableIndex",
    "InvalidHuffmanCode",
    "InvalidUtf8",
    "InvalidStatusCode",
    "InvalidPseudoheader",
    "InvalidMaxDynamicSize",
    "IntegerOverflow",
};

constexpr std::string_view decode_error_name(DecodeError error) {
  return kDecodeErrorNames[static_cast<std::size_t>(error)];
}

// The block was cut short (rather than malformed): more octets may complete it.
constexpr bool is_need_more(DecodeError error) {
  return error == DecodeError::kUnexpectedEndOfStream || error == DecodeError::kIntegerUnderflow ||
         error == DecodeError::kStringUnderflow;
}

// A decoding outcome in the vocabulary of every incremental parser: kDone
// when every representation was decoded, kNeedMore when the block was cut
// short, kFailed otherwise (the error says why).
constexpr Progress progress_of(const DecodeStatus& status) {
  if (!status) return Progress::kDone;
  return is_need_more(*status) ? Progress::kNeedMore : Progress::kFailed;
}

}  // namespace vantric::hpack
