// HTTP/2 framing vocabulary (RFC 9113 sections 3.4, 4 and 6): the frame header,
// the frame types and flags, SETTINGS, the client preface, and the stateless
// checks both directions share.  The reading side is frame_reader.h, the
// writing side frame_writer.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/h2/constants.h"
#include "core/http/header_map.h"
#include "core/progress.h"

namespace vantric::h2 {

enum class Role : uint8_t { kClient, kServer };

// RFC 9113 section 4.1: length (24 bits), type, flags, R bit and stream id.
inline constexpr std::size_t kFrameHeaderLength = 9;

// RFC 9113 section 6.  Types 10 to 255 are extensions, skipped on receipt.
enum class FrameType : uint8_t {
  kData = 0,
  kHeaders = 1,
  kPriority = 2,
  kRstStream = 3,
  kSettings = 4,
  kPushPromise = 5,
  kPing = 6,
  kGoAway = 7,
  kWindowUpdate = 8,
  kContinuation = 9,
};

inline constexpr uint8_t kEndStreamFlag = 0x1;   // DATA, HEADERS
inline constexpr uint8_t kAckFlag = 0x1;         // SETTINGS, PING
inline constexpr uint8_t kEndHeadersFlag = 0x4;  // HEADERS, PUSH_PROMISE, CONTINUATION
inline constexpr uint8_t kPaddedFlag = 0x8;      // DATA, HEADERS, PUSH_PROMISE
inline constexpr uint8_t kPriorityFlag = 0x20;   // HEADERS

// The 31 bits of a stream identifier or window increment; the top bit is
// reserved (RFC 9113 sections 4.1 and 6.9).
inline constexpr uint32_t kStreamIdMask = 0x7fffffff;

struct FrameHeader {
  uint32_t length;
  uint8_t type;
  uint8_t flags;
  uint32_t stream_id;  // reserved bit masked off
};

// The header in the 9 octets at `p`.  "The semantics of this bit are
// undefined, and the bit MUST remain unset (0x00) when sending and MUST be
// ignored when receiving" (RFC 9113 section 4.1).
FrameHeader decode_frame_header(const char* p) noexcept;

// Writes the 9 octets of a frame header at `out` (reserved bit 0); returns
// the end.  `length` below 2^24, `stream_id` at most kMaxStreamId.
char* encode_frame_header(char* out, uint32_t length, FrameType type, uint8_t flags,
                          uint32_t stream_id) noexcept;

// Network-order 32-bit integer at `p`.
uint32_t load_u32(const char* p) noexcept;

// RFC 9113 section 6.5.2.
enum class SettingId : uint16_t {
  kHeaderTableSize = 1,
  kEnablePush = 2,
  kMaxConcurrentStreams = 3,
  kInitialWindowSize = 4,
  kMaxFrameSize = 5,
  kMaxHeaderListSize = 6,
  kEnableConnectProtocol = 8,  // RFC 8441 section 3
};

// The parameters of one SETTINGS frame; absent ones were not sent.
struct Settings {
  std::optional<uint32_t> header_table_size;
  std::optional<bool> enable_push;
  std::optional<uint32_t> max_concurrent_streams;
  std::optional<uint32_t> initial_window_size;
  std::optional<uint32_t> max_frame_size;
  std::optional<uint32_t> max_header_list_size;
  // RFC 8441 section 3; sent only: a received value is validated, not kept.
  std::optional<bool> enable_connect_protocol;

  bool operator==(const Settings&) const = default;
};

// Matching the client connection preface (RFC 9113 section 3.4): compares
// the first min(size, 24) octets of `data` with the preface.  kNeedMore: the
// octets so far agree, fewer than 24 of them; kDone: 24 octets agree;
// kFailed: they differ.
Progress match_preface(std::string_view data) noexcept;

// SETTINGS_MAX_FRAME_SIZE bounds (RFC 9113 section 6.5.2).
constexpr bool is_valid_max_frame_size(uint32_t value) {
  return value >= kDefaultMaxFrameSize && value <= kMaxMaxFrameSize;
}
// "max_frame_size must be in [16384, 16777215], got " and `value`.
std::string max_frame_size_message(uint32_t value);
// "initial_window_size must be <= 2147483647, got " and `value`.
std::string initial_window_size_message(uint32_t value);

// The CONTINUATION frames one header block may take: m = max(1, list / frame)
// and the limit max(5, m + m/4), so a block that fits the header list limit in
// full frames always fits, with a quarter to spare for HPACK overhead.
uint32_t max_continuation_frames(uint32_t max_header_list_size, uint32_t max_frame_size) noexcept;

// Whether `method` is exactly HEAD (methods are case-sensitive, RFC 9110
// section 9.1); any other text, token or not, is not.
bool method_is_head(std::string_view method) noexcept;

// RFC 9113 section 5.1.1: "Streams initiated by a client MUST use
// odd-numbered stream identifiers".
constexpr bool is_client_initiated(uint32_t stream_id) {
  return (stream_id & 1) != 0;
}

// Whether `headers` holds a field HTTP/2 forbids in a message we send
// (RFC 9113 section 8.2.2): connection, keep-alive, proxy-connection,
// transfer-encoding, upgrade, or te with a value other than "trailers".
bool has_connection_specific_field(const http::HeaderMap& headers) noexcept;

}  // namespace vantric::h2
