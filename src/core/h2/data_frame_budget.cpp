#include "core/h2/data_frame_budget.h"

#include <algorithm>
#include <limits>

#include "core/h2/constants.h"

namespace vantric::h2 {
namespace {

uint32_t resolve_budget(std::optional<uint32_t> configured, std::optional<uint32_t> connection_window) {
  if (configured) return *configured;
  if (connection_window) return std::max(*connection_window / 2, kDefaultDataFrameBudget);
  return kDefaultInitialWindowSize / 2;
}

// RFC 9113 section 10.5: an endpoint may treat a flood of small or empty
// frames as abuse and close the connection with ENHANCE_YOUR_CALM.
Error exhausted() {
  return ProtocolError{code(Reason::kEnhanceYourCalm), "too_many_data_frames"};
}

}  // namespace

DataFrameBudget::DataFrameBudget(std::optional<uint32_t> configured,
                                 std::optional<uint32_t> connection_window)
    : budget_(resolve_budget(configured, connection_window)), available_(budget_) {}

std::variant<uint32_t, Error> DataFrameBudget::record(uint32_t payload_len) {
  if (payload_len == 0) {
    if (empty_frames_ == std::numeric_limits<uint32_t>::max()) return exhausted();
    if (empty_frames_++ >= kMaxRecvEmptyDataFrames) return exhausted();
    return 0u;
  }
  if (payload_len >= kDefaultDataFrameOverheadThreshold) {
    release(payload_len - kDefaultDataFrameOverheadThreshold);
    return 0u;
  }
  uint32_t overhead = kDefaultDataFrameOverheadThreshold - payload_len;
  if (available_ < overhead) return exhausted();
  available_ -= overhead;
  return overhead;
}

void DataFrameBudget::release(uint32_t charge) {
  // Capped at the total, which also keeps the sum inside 32 bits.
  available_ += std::min(charge, budget_ - available_);
}

}  // namespace vantric::h2
