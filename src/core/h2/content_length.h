// The declared content-length of a received HTTP/2 message, counted down by
// its DATA payloads (RFC 9113 section 8.1.1).
#pragma once

#include <cstdint>

namespace vantric::h2 {

class ContentLength {
 public:
  enum class State : uint8_t {
    kOmitted,    // no content-length declared
    kHead,       // answers a HEAD request: no body (RFC 9110 section 9.3.2)
    kRemaining,  // remaining_ octets still expected
  };

  explicit ContentLength(bool is_head = false) : state_(is_head ? State::kHead : State::kOmitted) {}

  bool is_head() const { return state_ == State::kHead; }

  // Expects `value` octets, unless this answers a HEAD request: a response
  // to HEAD declares the length of the body it omits.
  void set(uint64_t value) {
    if (state_ == State::kHead) return;
    state_ = State::kRemaining;
    remaining_ = value;
  }

  // May `len` more body octets arrive?  Counts them when so; false leaves the
  // count unchanged, and the caller reports a malformed message (RFC 9113
  // section 8.1.1).
  [[nodiscard]] bool dec(uint64_t len) {
    switch (state_) {
      case State::kOmitted:
        return true;
      case State::kHead:
        return len == 0;
      case State::kRemaining:
        break;
    }
    if (len > remaining_) return false;
    remaining_ -= len;
    return true;
  }

  // False while declared octets are still missing.
  bool is_satisfied() const { return state_ != State::kRemaining || remaining_ == 0; }

 private:
  State state_;
  uint64_t remaining_ = 0;
};

}  // namespace vantric::h2
