// The outcomes of HPACK decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantric::hpack {

// The outcome of decoding (part of) a header block.  The error names are the
// protocol's vocabulary: the frame codec reports "HPACK decoding failed: " + name.
enum class DecodeStatus : uint8_t {
  kOk,
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

inline constexpr std::array<std::string_view, 14> kDecodeStatusNames = {
    "Ok",
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

constexpr std::string_view decode_status_name(DecodeStatus status) {
  return kDecodeStatusNames[static_cast<std::size_t>(status)];
}

constexpr bool is_need_more(DecodeStatus status) {
  return status == DecodeStatus::kUnexpectedEndOfStream ||
         status == DecodeStatus::kIntegerUnderflow || status == DecodeStatus::kStringUnderflow;
}

}  // namespace vantric::hpack
