#include "core/h1/client_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "handle_stub.h"

namespace vantric::h1 {
namespace {

using test::Handle;

using State = ClientState<Handle>;

TEST(H1ClientState, ExchangeClaims) {
  State s(Handle(1));
  EXPECT_TRUE(s.try_begin_exchange());
  EXPECT_FALSE(s.try_begin_exchange());
  EXPECT_TRUE(s.end_exchange());
  EXPECT_FALSE(s.end_exchange());
  s.close_now();
  EXPECT_TRUE(s.try_begin_exchange());  // only `busy` is checked
  EXPECT_TRUE(s.is_dead());
}

TEST(H1ClientState, FirstErrorWinsAndTransportIsTakenOnce) {
  State s(Handle(7));
  Handle dropped;
  EXPECT_EQ(s.fail(Handle(100), &dropped).value(), 7);
  EXPECT_FALSE(dropped);
  EXPECT_FALSE(s.fail(Handle(200), &dropped));
  EXPECT_EQ(dropped.value(), 200);
  EXPECT_EQ(s.error().value(), 100);
  EXPECT_EQ(s.repr(),
            "H1ClientState(closed=true, failed=true, busy=false, exchange_active=false, watcher=false)");
}

TEST(H1ClientState, UpgradeHandsOffForGood) {
  State s(Handle(3));
  EXPECT_EQ(s.upgrade().value(), 3);
  EXPECT_TRUE(s.closed() && s.upgraded());
  EXPECT_FALSE(s.mark_closed().transport);
  Handle refused(5);
  EXPECT_FALSE(s.arm_watcher(refused));
  EXPECT_EQ(refused.value(), 5);
}

TEST(H1ClientState, WatcherVerdicts) {
  struct Case {
    bool exchange_active;
    bool closed_first;
    int data_size;  // -1: no data
    bool error;
    WatchVerdict verdict;
    bool transport_taken;
  };
  const Case cases[] = {
      {false, false, 0, false, WatchVerdict::kIdleEof, true},
      {false, false, -1, false, WatchVerdict::kIdleEof, true},
      {false, false, 3, false, WatchVerdict::kIdleBytes, false},
      {false, false, 3, true, WatchVerdict::kIdleError, false},
      {false, false, -1, true, WatchVerdict::kIdleError, false},
      {true, false, 3, false, WatchVerdict::kHandoff, false},
      {true, false, -1, true, WatchVerdict::kHandoff, false},
  };
  for (const Case& c : cases) {
    State s(Handle(1));
    Handle done(2);
    ASSERT_TRUE(s.arm_watcher(done));
    if (c.exchange_active) {
      s.try_begin_exchange();
      s.exchange_started();
    }
    Handle data = c.data_size >= 0 ? Handle(9) : Handle();
    std::optional<std::size_t> size;
    if (c.data_size >= 0) size = static_cast<std::size_t>(c.data_size);
    auto out = s.watcher_completed(std::move(data), size, c.error ? Handle(4) : Handle());
    EXPECT_EQ(out.verdict, c.verdict);
    EXPECT_EQ(static_cast<bool>(out.transport), c.transport_taken);
    if (c.verdict == WatchVerdict::kHandoff) {
      auto [got_data, got_error] = s.take_watcher_result();
      EXPECT_EQ(static_cast<bool>(got_data), c.data_size >= 0);
      EXPECT_EQ(static_cast<bool>(got_error), c.error);
    }
  }
}

TEST(H1ClientState, CompletionAfterCloseOrWithoutSlotIsIgnored) {
  State s(Handle(1));
  EXPECT_EQ(s.watcher_completed({}, std::nullopt, Handle(4)).verdict, WatchVerdict::kIgnored);
  Handle done(2);
  ASSERT_TRUE(s.arm_watcher(done));
  s.close_now();
  auto out = s.watcher_completed({}, std::nullopt, Handle(4));
  EXPECT_EQ(out.verdict, WatchVerdict::kIgnored);
  EXPECT_EQ(out.unused_error.value(), 4);
}

TEST(H1ClientState, WatcherSlotLifecycle) {
  State s(Handle(1));
  Handle done(2);
  ASSERT_TRUE(s.arm_watcher(done));
  Handle second(3);
  EXPECT_FALSE(s.arm_watcher(second));
  EXPECT_FALSE(s.store_watcher_handle(Handle(10)));
  EXPECT_EQ(s.store_watcher_handle(Handle(11)).value(), 11);  // stored once
  s.watcher_aborted();
  EXPECT_EQ(s.take_watcher_handle().value(), 10);
  auto result = s.take_watcher_result();
  EXPECT_FALSE(result.first || result.second);
  EXPECT_FALSE(s.has_watcher());  // handle taken, then result: the slot goes

  // Result taken before the handle: the slot stays for close() to join.
  ASSERT_TRUE(s.arm_watcher(done = Handle(5)));
  s.store_watcher_handle(Handle(12));
  s.take_watcher_result();
  EXPECT_TRUE(s.has_watcher());
  auto closed = s.mark_closed();
  EXPECT_EQ(closed.transport.value(), 1);
  EXPECT_EQ(closed.done.value(), 5);
  EXPECT_TRUE(closed.idle);
}

TEST(H1ClientState, WriterScopeRefusedAfterClose) {
  State s(Handle(1));
  EXPECT_FALSE(s.store_writer(Handle(20)));
  EXPECT_EQ(s.take_writer().value(), 20);
  s.close_now();
  EXPECT_EQ(s.store_writer(Handle(21)).value(), 21);
  EXPECT_FALSE(s.take_writer());
}

TEST(H1ClientState, TakeAllEmptiesEverything) {
  State s(Handle(1));
  Handle dropped;
  s.store_writer(Handle(2));
  Handle done(3);
  s.arm_watcher(done);
  s.store_watcher_handle(Handle(4));
  std::vector<int> seen;
  s.for_each_object([&](const Handle& h) {
    if (h) seen.push_back(h.value());
  });
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
  std::vector<int> taken;
  s.take_all([&](Handle&& h) {
    if (h) taken.push_back(h.value());
  });
  EXPECT_EQ(taken, seen);
  EXPECT_FALSE(s.has_watcher());
  EXPECT_FALSE(s.transport());
}

}  // namespace
}  // namespace vantric::h1
