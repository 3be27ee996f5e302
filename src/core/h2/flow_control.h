// One HTTP/2 flow-control window (RFC 9113 sections 5.2 and 6.9), as the
// connection engine keeps it per stream and for the connection, in each
// direction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantric::h2 {

// Why a window operation was refused; a refused operation leaves the window
// unchanged.
enum class WindowError : uint8_t {
  // The argument exceeds the largest window, 2^31 - 1 (RFC 9113 section
  // 6.9.1): a bad argument, worded by window_argument_message.
  kTooLarge,
  // A result outside the signed 32-bit range, or a send beyond the window:
  // FLOW_CONTROL_ERROR (RFC 9113 section 6.9.1).
  kOutOfRange,
};

// What a window operation did: nullopt when it was applied.
using WindowResult = std::optional<WindowError>;

// "window size N exceeds the maximum 2147483647 (RFC 9113 6.9.1)".
std::string window_argument_message(uint32_t arg);

class FlowControl {
 public:
  // The advertised window: what the other side may still send (receive
  // direction) or what we may still send (send direction).  Negative after a
  // SETTINGS_INITIAL_WINDOW_SIZE decrease (RFC 9113 section 6.9.2).
  int32_t signed_window_size() const { return window_size_; }
  // The advertised window, 0 while it is negative.
  uint32_t window_size() const { return window_size_ < 0 ? 0 : static_cast<uint32_t>(window_size_); }
  // Capacity that may be claimed: assigned to a sending stream, or released
  // by the application on the receiving side.  May be negative.
  int32_t available() const { return available_; }

  // True when the window is not negative and part of it is not available.
  bool has_unavailable() const { return window_size_ >= 0 && available_ < window_size_; }

  // The capacity available beyond the advertised window when it is at least
  // half that window, i.e. worth a WINDOW_UPDATE; else nullopt.
  std::optional<uint32_t> unclaimed_capacity() const;

  // These five take an argument of at most 2^31 - 1 (else TooLarge) and move
  // one or both values by it, each checked (else OutOfRange).
  [[nodiscard]] WindowResult claim_capacity(uint32_t capacity);   // available -= capacity
  [[nodiscard]] WindowResult assign_capacity(uint32_t capacity);  // available += capacity
  [[nodiscard]] WindowResult inc_window(uint32_t sz);             // window_size += sz
  [[nodiscard]] WindowResult dec_send_window(uint32_t sz);        // window_size -= sz
  [[nodiscard]] WindowResult dec_recv_window(uint32_t sz);        // both -= sz

  // Sends `sz` octets: both values -= sz.  OutOfRange when `sz` exceeds the
  // window (or the window is negative) or `available` would leave the range.
  // A zero `sz` changes nothing.
  [[nodiscard]] WindowResult send_data(uint32_t sz);

  // "FlowControl { window_size: Window(w), available: Window(a) }".
  std::string repr() const;

 private:
  // Adds both deltas, or neither when either result leaves the signed 32-bit range.
  WindowResult adjust(int64_t window_delta, int64_t available_delta);

  int32_t window_size_ = 0;
  int32_t available_ = 0;
};

}  // namespace vantric::h2
