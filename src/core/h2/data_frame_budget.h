// The connection's defence against DATA fragmentation.
//
// Flow control bounds payload octets, not frames: a peer that splits its data
// into tiny frames bloats the buffered chunk queue while staying inside every
// window.  A non-final frame below the overhead threshold costs the overhead it
// imposes, a larger frame earns budget back, and empty frames count against a
// lifetime cap of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "core/h2/error.h"

namespace vantric::h2 {

class DataFrameBudget {
 public:
  // The budget is `configured` when given; else half `connection_window` (our
  // receive window target), never below kDefaultDataFrameBudget; else half the
  // protocol's default window.
  explicit DataFrameBudget(std::optional<uint32_t> configured = std::nullopt,
                           std::optional<uint32_t> connection_window = std::nullopt);

  // Accounts one received DATA frame without END_STREAM, before its payload
  // is buffered.  Returns the charge to give back through release() once the
  // payload is consumed (0 for frames that cost nothing), or the
  // ENHANCE_YOUR_CALM connection error once the budget or the empty-frame cap
  // is exhausted.  A refused empty frame still counts.
  [[nodiscard]] std::variant<uint32_t, Error> record(uint32_t payload_len);

  // Gives back a charge record() took, or budget a large frame earned; the
  // available budget never exceeds the total.
  void release(uint32_t charge);

  uint32_t budget() const { return budget_; }
  uint32_t available() const { return available_; }
  uint32_t empty_frames() const { return empty_frames_; }

 private:
  uint32_t budget_;
  uint32_t available_;
  uint32_t empty_frames_ = 0;
};

}  // namespace vantric::h2
