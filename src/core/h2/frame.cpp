#include "core/h2/frame.h"

#include <algorithm>

#include "core/h2/hpack/header_list.h"

namespace vantric::h2 {

FrameHeader decode_frame_header(const char* p) noexcept {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return FrameHeader{
      static_cast<uint32_t>(u[0]) << 16 | static_cast<uint32_t>(u[1]) << 8 | u[2],
      u[3],
      u[4],
      load_u32(p + 5) & kStreamIdMask,
  };
}

char* encode_frame_header(char* out, uint32_t length, FrameType type, uint8_t flags,
                          uint32_t stream_id) noexcept {
  out[0] = static_cast<char>(length >> 16);
  out[1] = static_cast<char>(length >> 8);
  out[2] = static_cast<char>(length);
  out[3] = static_cast<char>(type);
  out[4] = static_cast<char>(flags);
  stream_id &= kStreamIdMask;
  out[5] = static_cast<char>(stream_id >> 24);
  out[6] = static_cast<char>(stream_id >> 16);
  out[7] = static_cast<char>(stream_id >> 8);
  out[8] = static_cast<char>(stream_id);
  return out + kFrameHeaderLength;
}

uint32_t load_u32(const char* p) noexcept {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return static_cast<uint32_t>(u[0]) << 24 | static_cast<uint32_t>(u[1]) << 16 |
         static_cast<uint32_t>(u[2]) << 8 | u[3];
}

Progress match_preface(std::string_view data) noexcept {
  const std::size_t n = std::min(data.size(), kPreface.size());
  if (data.substr(0, n) != kPreface.substr(0, n)) return Progress::kFailed;
  return n == kPreface.size() ? Progress::kDone : Progress::kNeedMore;
}

std::string max_frame_size_message(uint32_t value) {
  return "max_frame_size must be in [" + std::to_string(kDefaultMaxFrameSize) + ", " +
         std::to_string(kMaxMaxFrameSize) + "], got " + std::to_string(value);
}

std::string initial_window_size_message(uint32_t value) {
  return "initial_window_size must be <= " + std::to_string(kMaxWindowSize) + ", got " +
         std::to_string(value);
}

uint32_t max_continuation_frames(uint32_t max_header_list_size, uint32_t max_frame_size) noexcept {
  const uint64_t m = std::max<uint64_t>(1, max_header_list_size / std::max<uint32_t>(max_frame_size, 1));
  return static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(5, m + m / 4), UINT32_MAX));
}

bool method_is_head(std::string_view method) noexcept {
  return method == "HEAD";
}

bool has_connection_specific_field(const http::HeaderMap& headers) noexcept {
  for (const http::HeaderField field : headers)
    if (hpack::is_connection_specific(field.name, field.value)) return true;
  return false;
}

}  // namespace vantric::h2
