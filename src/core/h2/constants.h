// HTTP/2 protocol constants and the verdict codes shared with the drivers.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantric::h2 {

// RFC 9113 section 3.4: the client connection preface.
inline constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

// The payload of the PING that follows the first GOAWAY of a graceful
// shutdown; its acknowledgement triggers the final GOAWAY.
inline constexpr std::string_view kShutdownPing = "SHUTDOWN";

inline constexpr uint32_t kDefaultHeaderTableSize = 4096;     // RFC 9113 section 6.5.2
inline constexpr uint32_t kDefaultInitialWindowSize = 65535;  // RFC 9113 section 6.9.2
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;       // RFC 9113 section 4.2
inline constexpr uint32_t kMaxMaxFrameSize = 16777215;        // 2^24 - 1
inline constexpr uint32_t kMaxStreamId = 2147483647;          // 2^31 - 1
inline constexpr uint32_t kMaxWindowSize = 2147483647;        // RFC 9113 section 6.9.1
// DATA frames below this payload size (not ending the stream) are charged overhead.
inline constexpr uint32_t kDefaultDataFrameOverheadThreshold = 256;
inline constexpr uint32_t kDefaultDataFrameBudget = 25600;
// Lifetime cap on empty DATA frames received on one connection.
inline constexpr uint32_t kMaxRecvEmptyDataFrames = 100;

// Bits of the `flags` of a verdict: what the driver must wake.
enum VerdictFlag : uint32_t {
  kFlagWake = 1,
  kFlagSlotFreed = 2,
  kFlagConnDone = 4,
  kFlagStopAccepting = 8,
};

// `kind` of a received-HEADERS verdict.
enum class HeadersKind : uint8_t { kIgnored = 0, kOpened = 1, kHead = 2, kTrailers = 3 };

}  // namespace vantric::h2
