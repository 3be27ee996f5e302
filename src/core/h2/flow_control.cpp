#include "core/h2/flow_control.h"

#include <limits>

#include "core/h2/constants.h"

namespace vantric::h2 {
namespace {

std::optional<int32_t> checked_add(int32_t value, int64_t delta) {
  int64_t sum = int64_t{value} + delta;
  if (sum < std::numeric_limits<int32_t>::min() || sum > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(sum);
}

// RFC 9113 section 6.9.1: no window may exceed 2^31 - 1, so neither may one
// step of it.
bool exceeds_max_window(uint32_t arg) {
  return arg > kMaxWindowSize;
}

}  // namespace

std::string window_argument_message(uint32_t arg) {
  std::string out = "window size ";
  out += std::to_string(arg);
  out += " exceeds the maximum ";
  out += std::to_string(kMaxWindowSize);
  out += " (RFC 9113 6.9.1)";
  return out;
}

WindowResult FlowControl::adjust(int64_t window_delta, int64_t available_delta) {
  std::optional<int32_t> window = checked_add(window_size_, window_delta);
  std::optional<int32_t> available = checked_add(available_, available_delta);
  if (!window || !available) return WindowError::kOutOfRange;
  window_size_ = *window;
  available_ = *available;
  return std::nullopt;
}

std::optional<uint32_t> FlowControl::unclaimed_capacity() const {
  // 64-bit: with a negative window the difference may exceed 2^31 - 1.
  int64_t unclaimed = int64_t{available_} - window_size_;
  if (unclaimed <= 0 || unclaimed < window_size_ / 2) return std::nullopt;
  return static_cast<uint32_t>(unclaimed);
}

WindowResult FlowControl::claim_capacity(uint32_t capacity) {
  if (exceeds_max_window(capacity)) return WindowError::kTooLarge;
  return adjust(0, -int64_t{capacity});
}

WindowResult FlowControl::assign_capacity(uint32_t capacity) {
  if (exceeds_max_window(capacity)) return WindowError::kTooLarge;
  return adjust(0, capacity);
}

WindowResult FlowControl::inc_window(uint32_t sz) {
  if (exceeds_max_window(sz)) return WindowError::kTooLarge;
  return adjust(sz, 0);
}

WindowResult FlowControl::dec_send_window(uint32_t sz) {
  if (exceeds_max_window(sz)) return WindowError::kTooLarge;
  return adjust(-int64_t{sz}, 0);
}

WindowResult FlowControl::dec_recv_window(uint32_t sz) {
  if (exceeds_max_window(sz)) return WindowError::kTooLarge;
  return adjust(-int64_t{sz}, -int64_t{sz});
}

WindowResult FlowControl::send_data(uint32_t sz) {
  if (sz == 0) return std::nullopt;
  // RFC 9113 section 6.9.1: a sender must not send a flow-controlled frame
  // longer than the space available in the window.
  if (window_size_ < 0 || sz > static_cast<uint32_t>(window_size_)) return WindowError::kOutOfRange;
  return adjust(-int64_t{sz}, -int64_t{sz});
}

std::string FlowControl::repr() const {
  std::string out = "FlowControl { window_size: Window(";
  out += std::to_string(window_size_);
  out += "), available: Window(";
  out += std::to_string(available_);
  out += ") }";
  return out;
}

}  // namespace vantric::h2
