// Flow-control windows, content-length accounting and the DATA framing budget
// at their boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "core/h2/content_length.h"
#include "core/h2/data_frame_budget.h"
#include "core/h2/flow_control.h"

namespace vantric::h2 {
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

// Moves `value` to `target` through `up` and `down` in legal steps, so every
// starting window is reached through the operations themselves.
void steer(FlowControl& fc, int64_t current, int64_t target, WindowResult (FlowControl::*up)(uint32_t),
           WindowResult (FlowControl::*down)(uint32_t)) {
  while (current != target) {
    int64_t step = std::min<int64_t>(std::abs(target - current), kMax);
    ASSERT_EQ((fc.*(target > current ? up : down))(static_cast<uint32_t>(step)), std::nullopt);
    current += target > current ? step : -step;
  }
}

FlowControl make_window(int32_t window_size, int32_t available) {
  FlowControl fc;
  steer(fc, 0, window_size, &FlowControl::inc_window, &FlowControl::dec_send_window);
  steer(fc, 0, available, &FlowControl::assign_capacity, &FlowControl::claim_capacity);
  return fc;
}

enum class Call { kClaim, kAssign, kInc, kDecSend, kDecRecv, kSendData };

WindowResult call(FlowControl& fc, Call c, uint32_t arg) {
  switch (c) {
    case Call::kClaim:
      return fc.claim_capacity(arg);
    case Call::kAssign:
      return fc.assign_capacity(arg);
    case Call::kInc:
      return fc.inc_window(arg);
    case Call::kDecSend:
      return fc.dec_send_window(arg);
    case Call::kDecRecv:
      return fc.dec_recv_window(arg);
    case Call::kSendData:
      return fc.send_data(arg);
  }
  return std::nullopt;
}

TEST(H2FlowWindow, OperationsAtTheirBoundaries) {
  using R = WindowError;
  constexpr auto kApplied = std::nullopt;
  struct Case {
    int32_t window, available;
    Call call;
    uint32_t arg;
    WindowResult result;
    int32_t window_after, available_after;  // equal to the start unless refused
  };
  const Case cases[] = {
      {0, 0, Call::kInc, 2147483647, kApplied, kMax, 0},
      {kMax, 0, Call::kInc, 1, R::kOutOfRange, kMax, 0},
      {0, 0, Call::kInc, 2147483648u, R::kTooLarge, 0, 0},
      {0, 0, Call::kInc, kU32Max, R::kTooLarge, 0, 0},
      {kMin, 0, Call::kInc, 2147483647, kApplied, -1, 0},
      {65535, 0, Call::kDecSend, 70000, kApplied, -4465, 0},
      {-1, 0, Call::kDecSend, 2147483647, kApplied, kMin, 0},
      {kMin, 0, Call::kDecSend, 1, R::kOutOfRange, kMin, 0},
      {0, 0, Call::kDecSend, 2147483648u, R::kTooLarge, 0, 0},
      {100, 50, Call::kDecRecv, 10, kApplied, 90, 40},
      // The window step fits but the available one does not: neither is applied.
      {100, kMin + 5, Call::kDecRecv, 10, R::kOutOfRange, 100, kMin + 5},
      {0, 0, Call::kDecRecv, 2147483648u, R::kTooLarge, 0, 0},
      {0, -1, Call::kClaim, 2147483647, kApplied, 0, kMin},
      {0, -2, Call::kClaim, 2147483647, R::kOutOfRange, 0, -2},
      {0, 0, Call::kClaim, 2147483648u, R::kTooLarge, 0, 0},
      {0, kMax, Call::kAssign, 1, R::kOutOfRange, 0, kMax},
      {0, 0, Call::kAssign, 2147483648u, R::kTooLarge, 0, 0},
      {65535, 65535, Call::kSendData, 10000, kApplied, 55535, 55535},
      {500, 0, Call::kSendData, 500, kApplied, 0, -500},
      {500, 500, Call::kSendData, 501, R::kOutOfRange, 500, 500},
      {0, 0, Call::kSendData, 1, R::kOutOfRange, 0, 0},
      {0, 0, Call::kSendData, 0, kApplied, 0, 0},
      {-5, 10, Call::kSendData, 0, kApplied, -5, 10},
      {-5, 10, Call::kSendData, 1, R::kOutOfRange, -5, 10},
      // No argument check for sends: beyond the window is a flow-control error.
      {kMax, kMax, Call::kSendData, 2147483648u, R::kOutOfRange, kMax, kMax},
      {kMax, kMax, Call::kSendData, 2147483647, kApplied, 0, 0},
      {10, kMin, Call::kSendData, 5, R::kOutOfRange, 10, kMin},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "start (" << c.window << ", " << c.available << ") call "
                                      << static_cast<int>(c.call) << " arg " << c.arg);
    FlowControl fc = make_window(c.window, c.available);
    EXPECT_EQ(call(fc, c.call, c.arg), c.result);
    EXPECT_EQ(fc.signed_window_size(), c.window_after);
    EXPECT_EQ(fc.available(), c.available_after);
  }
}

TEST(H2FlowWindow, ReadingsOfTheWindow) {
  struct Case {
    int32_t window, available;
    uint32_t window_size;
    bool has_unavailable;
    std::optional<uint32_t> unclaimed;
  };
  const Case cases[] = {
      {0, 0, 0, false, std::nullopt},
      {100, 149, 100, false, std::nullopt},  // 49 is below half of 100
      {100, 150, 100, false, 50},
      {101, 151, 101, false, 50},  // half of 101 rounds toward zero
      {100, 100, 100, false, std::nullopt},
      {65535, 1000, 65535, true, std::nullopt},
      {0, 1, 0, false, 1},
      {-4465, 0, 0, false, 4465},
      {-3, -1, 0, false, 2},
      {-10, -20, 0, false, std::nullopt},
      {kMin, kMax, 0, false, 4294967295u},  // wider than any signed 32-bit value
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "(" << c.window << ", " << c.available << ")");
    FlowControl fc = make_window(c.window, c.available);
    EXPECT_EQ(fc.window_size(), c.window_size);
    EXPECT_EQ(fc.has_unavailable(), c.has_unavailable);
    EXPECT_EQ(fc.unclaimed_capacity(), c.unclaimed);
  }
}

// RFC 9113 section 6.9.2: a SETTINGS_INITIAL_WINDOW_SIZE decrease can drive a
// send window negative; sending resumes only once WINDOW_UPDATEs lift it.
TEST(H2FlowWindow, NegativeSendWindowAfterSettingsDecrease) {
  FlowControl fc = make_window(65535, 65535);
  ASSERT_EQ(fc.send_data(1000), std::nullopt);
  ASSERT_EQ(fc.dec_send_window(65535), std::nullopt);  // 65535 -> 0
  EXPECT_EQ(fc.signed_window_size(), -1000);
  EXPECT_EQ(fc.window_size(), 0u);
  EXPECT_EQ(fc.send_data(1), WindowError::kOutOfRange);
  ASSERT_EQ(fc.inc_window(1000), std::nullopt);
  EXPECT_EQ(fc.send_data(1), WindowError::kOutOfRange);
  ASSERT_EQ(fc.inc_window(500), std::nullopt);
  EXPECT_EQ(fc.send_data(500), std::nullopt);
  EXPECT_EQ(fc.repr(), "FlowControl { window_size: Window(0), available: Window(64035) }");
}

TEST(H2FlowWindow, ReprAndArgumentMessage) {
  EXPECT_EQ(FlowControl().repr(), "FlowControl { window_size: Window(0), available: Window(0) }");
  EXPECT_EQ(make_window(-4465, kMin).repr(),
            "FlowControl { window_size: Window(-4465), available: Window(-2147483648) }");
  EXPECT_EQ(window_argument_message(2147483648u),
            "window size 2147483648 exceeds the maximum 2147483647 (RFC 9113 6.9.1)");
}

TEST(H2ContentLength, CountsDownDeclaredLength) {
  struct Step {
    uint64_t len;
    bool accepted;
  };
  struct Case {
    bool is_head;
    std::optional<uint64_t> declared;
    std::vector<Step> steps;
    bool satisfied;
  };
  constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
  const Case cases[] = {
      {false, std::nullopt, {{5, true}, {kU64Max, true}}, true},
      {false, 10, {{4, true}}, false},
      {false, 10, {{4, true}, {7, false}, {6, true}, {0, true}, {1, false}}, true},
      {false, 0, {{1, false}}, true},
      {false, kU64Max, {{kU64Max, true}}, true},
      // A response to HEAD keeps no body whatever length it declares.
      {true, 10, {{0, true}, {1, false}}, true},
      {true, std::nullopt, {{kU64Max, false}}, true},
  };
  for (const Case& c : cases) {
    ContentLength cl(c.is_head);
    if (c.declared) cl.set(*c.declared);
    EXPECT_EQ(cl.is_head(), c.is_head);
    for (const Step& step : c.steps) EXPECT_EQ(cl.dec(step.len), step.accepted) << step.len;
    EXPECT_EQ(cl.is_satisfied(), c.satisfied);
  }
}

TEST(H2BudgetResolve, ConfiguredThenHalfTheConnectionWindowThenDefault) {
  struct Case {
    std::optional<uint32_t> configured, connection_window;
    uint32_t budget;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, 32767}, {std::nullopt, 1048576, 524288}, {std::nullopt, 40000, 25600},
      {std::nullopt, 51201, 25600},        {std::nullopt, 51202, 25601},    {std::nullopt, 0, 25600},
      {std::nullopt, kU32Max, 2147483647}, {1000, 1048576, 1000},           {0, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    DataFrameBudget budget(c.configured, c.connection_window);
    EXPECT_EQ(budget.budget(), c.budget);
    EXPECT_EQ(budget.available(), c.budget);
    EXPECT_EQ(budget.empty_frames(), 0u);
  }
}

bool is_exhausted(const std::variant<uint32_t, Error>& result) {
  auto* error = std::get_if<Error>(&result);
  auto* protocol = error ? std::get_if<ProtocolError>(error) : nullptr;
  return protocol && protocol->reason == std::optional<uint32_t>(11) &&
         protocol->message == "too_many_data_frames";
}

// A DATA frame of `len` octets: its charge, or -1 when the budget refuses it.
int64_t charge(DataFrameBudget& budget, uint32_t len) {
  std::variant<uint32_t, Error> result = budget.record(len);
  if (is_exhausted(result)) return -1;
  return std::get<uint32_t>(result);
}

TEST(H2BudgetRecord, SmallFramesCostLargeFramesEarn) {
  struct Step {
    uint32_t len;
    int64_t charge;  // -1: refused with ENHANCE_YOUR_CALM
    uint32_t available_after;
  };
  struct Case {
    uint32_t budget;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {1000, {{6, 250, 750}, {6, 250, 500}, {6, 250, 250}, {6, 250, 0}, {6, -1, 0}, {1256, 0, 1000}}},
      {1000, {{255, 1, 999}, {256, 0, 999}, {257, 0, 1000}, {1, 255, 745}}},
      {0, {{255, -1, 0}, {256, 0, 0}, {kU32Max, 0, 0}}},
      // Earning saturates at the total instead of wrapping.
      {kU32Max, {{6, 250, kU32Max - 250}, {kU32Max, 0, kU32Max}}},
  };
  for (const Case& c : cases) {
    DataFrameBudget budget(c.budget);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(::testing::Message() << "budget " << c.budget << " frame " << step.len);
      EXPECT_EQ(charge(budget, step.len), step.charge);
      EXPECT_EQ(budget.available(), step.available_after);
    }
  }
}

TEST(H2BudgetRecord, ReleaseNeverExceedsTheTotal) {
  DataFrameBudget budget(1000);
  ASSERT_EQ(charge(budget, 6), 250);
  budget.release(250);
  EXPECT_EQ(budget.available(), 1000u);
  budget.release(250);
  EXPECT_EQ(budget.available(), 1000u);
  ASSERT_EQ(charge(budget, 6), 250);
  budget.release(kU32Max);
  EXPECT_EQ(budget.available(), 1000u);
}

TEST(H2BudgetRecord, HundredAndFirstEmptyFrameIsRefused) {
  DataFrameBudget budget;
  for (uint32_t i = 1; i <= 100; ++i) ASSERT_EQ(charge(budget, 0), 0) << "empty frame " << i;
  EXPECT_EQ(charge(budget, 0), -1);
  EXPECT_EQ(budget.empty_frames(), 101u);
  EXPECT_EQ(charge(budget, 0), -1);
  EXPECT_EQ(budget.empty_frames(), 102u);
  // Empty frames cost no budget; payload frames are judged apart.
  EXPECT_EQ(budget.available(), 32767u);
  EXPECT_EQ(charge(budget, 200), 56);
}

}  // namespace
}  // namespace vantric::h2
