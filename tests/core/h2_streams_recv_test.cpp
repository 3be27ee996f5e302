// The receive path of the connection state: each frame event applied to the
// stream table, the windows, the settings and the GOAWAY facts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"
#include "handle_stub.h"

namespace vantric::h2 {
namespace {

using test::Handle;
using State = Streams<Handle>;

const MonoClock::time_point kNow = MonoClock::now();

StreamsConfig config(bool server) {
  StreamsConfig c;
  c.server = server;
  c.max_header_list_size = 65536;
  c.max_send_buf_size = 65536;
  return c;
}

// A request head, or with a status a response head.
RecvHeaders head(uint32_t id, bool end_stream = false, std::optional<uint16_t> status = std::nullopt,
                 std::optional<uint64_t> content_length = std::nullopt) {
  return RecvHeaders{id,     end_stream,
                     status, content_length,
                     false,  status ? MessageShape::response() : MessageShape::request()};
}

// A trailer section (no pseudo-header).
RecvHeaders trailers(uint32_t id, bool end_stream = true) {
  return RecvHeaders{id, end_stream, std::nullopt, std::nullopt, false, MessageShape{}};
}

RecvData data(uint32_t id, uint32_t payload, bool end_stream = false, uint32_t padding = 0) {
  return RecvData{id, payload + padding, payload, end_stream};
}

template <class T>
const Error& error_of(const Result<T>& result) {
  EXPECT_TRUE(std::holds_alternative<Error>(result));
  return std::get<Error>(result);
}

// The error as the host would see it: "protocol 1 frame on idle stream 4",
// "stream 3 7", "flow".
std::string describe(const Error& error) {
  if (const auto* p = std::get_if<ProtocolError>(&error))
    return "protocol " + std::to_string(p->reason.value_or(99)) + " " + p->message;
  if (const auto* c = std::get_if<ConnError>(&error)) {
    EXPECT_EQ(c->initiator, Initiator::kLibrary);
    return "stream " + std::to_string(c->stream_id) + " " + std::to_string(c->reason);
  }
  if (std::holds_alternative<FlowControlError>(error)) return "flow";
  return "other";
}

template <class T>
std::string describe(const Result<T>& result) {
  return std::holds_alternative<Error>(result) ? describe(std::get<Error>(result)) : "ok";
}

// The frames queued since the last call, decoded by a reader of the peer.
std::vector<FrameEvent> drain(State& s) {
  const auto drained = s.take_pending();
  FrameReader reader(false);
  std::vector<FrameEvent> events;
  EXPECT_FALSE(reader.receive(drained.bytes.view(), events));
  return events;
}

// A server with stream `id` opened by the peer (a request head without END_STREAM).
void open_request(State& s, uint32_t id, std::optional<uint64_t> content_length = std::nullopt) {
  Handle spare(static_cast<int>(id));
  std::vector<Handle> dropped;
  auto result = s.recv_headers(head(id, false, std::nullopt, content_length), spare, kNow, dropped);
  ASSERT_EQ(describe(result), "ok");
  ASSERT_EQ(std::get<HeadersVerdict<Handle>>(result).kind, HeadersKind::kOpened);
}

// A client with stream `id` open and its response head received.
void open_response(State& s, uint32_t id, std::optional<uint64_t> content_length = std::nullopt,
                   bool is_head = false) {
  s.set_next_stream_id(id + 2);
  s.insert_local_stream(id, Handle(static_cast<int>(id)), true, is_head);
  Handle none;
  std::vector<Handle> dropped;
  auto result = s.recv_headers(head(id, false, 200, content_length), none, kNow, dropped);
  ASSERT_EQ(describe(result), "ok");
}

// ---- HEADERS ------------------------------------------------------------------------

TEST(H2StreamsRecv, ServerOpensStreamsInIncreasingOddOrder) {
  State s(config(true));
  std::vector<Handle> dropped;
  Handle spare(3);
  auto opened = s.recv_headers(head(3, true), spare, kNow, dropped);
  const auto& verdict = std::get<HeadersVerdict<Handle>>(opened);
  EXPECT_EQ(verdict.kind, HeadersKind::kOpened);
  EXPECT_EQ(verdict.handle.value(), 3);
  EXPECT_TRUE(verdict.eof);
  EXPECT_EQ(verdict.flags, 0u);
  EXPECT_FALSE(spare);  // the table holds it now
  EXPECT_EQ(s.num_streams(), 1u);
  EXPECT_EQ(s.last_processed_id(), 3u);
  EXPECT_EQ(s.find(3)->state.repr(), "HalfClosedRemote(AwaitingHeaders)");
  EXPECT_TRUE(s.find(3)->recv_end_stream);

  // (stream id, error): lower, equal, even ids; the spare stays with the caller.
  const std::pair<uint32_t, std::string> refused[] = {
      {1, "protocol 1 invalid new stream id 1"},
      {2, "protocol 1 invalid new stream id 2"},
      {4, "protocol 1 invalid new stream id 4"},
  };
  for (const auto& [id, expected] : refused) {
    Handle again(9);
    EXPECT_EQ(describe(s.recv_headers(head(id), again, kNow, dropped)), expected);
    EXPECT_TRUE(again);
  }
  // Without a spare the stream is not opened, but its id is used up.
  Handle none;
  auto missing = s.recv_headers(head(5), none, kNow, dropped);
  EXPECT_TRUE(std::get<HeadersVerdict<Handle>>(missing).spare_missing);
  EXPECT_FALSE(s.find(5));
  EXPECT_EQ(describe(s.recv_headers(head(5), spare, kNow, dropped)), "protocol 1 invalid new stream id 5");
}

TEST(H2StreamsRecv, MalformedHeadsAndTrailersAreStreamErrors) {
  using hpack::Pseudo;
  // A server: a malformed request uses its id up and opens nothing.
  {
    State s(config(true));
    Handle spare(1);
    std::vector<Handle> dropped;
    RecvHeaders no_path = head(1);
    no_path.shape = MessageShape{}.with(Pseudo::kMethod).with(Pseudo::kScheme);
    EXPECT_EQ(describe(s.recv_headers(no_path, spare, kNow, dropped)), "stream 1 1");
    EXPECT_FALSE(s.find(1));
    EXPECT_EQ(s.num_streams(), 0u);
    EXPECT_EQ(describe(s.recv_headers(head(1), spare, kNow, dropped)), "protocol 1 invalid new stream id 1");
    // A head cut short by our header list limit still opens: the driver answers 431.
    RecvHeaders cut = head(3);
    cut.shape.over_size = true;
    auto opened = s.recv_headers(cut, spare, kNow, dropped);
    EXPECT_EQ(std::get<HeadersVerdict<Handle>>(opened).kind, HeadersKind::kOpened);
    // Trailers carry no pseudo-header and are whole.
    RecvHeaders pseudo_trailers = trailers(3);
    pseudo_trailers.shape.with(Pseudo::kPath);
    EXPECT_EQ(describe(s.recv_headers(pseudo_trailers, spare, kNow, dropped)), "stream 3 1");
    open_request(s, 5);
    RecvHeaders cut_trailers = trailers(5);
    cut_trailers.shape.over_size = true;
    EXPECT_EQ(describe(s.recv_headers(cut_trailers, spare, kNow, dropped)), "stream 5 1");
  }
  // A client: a response head without :status, with a request pseudo-header,
  // or cut short by our limit.
  MessageShape with_path = MessageShape::response();
  with_path.with(Pseudo::kPath);
  MessageShape cut = MessageShape::response();
  cut.over_size = true;
  for (const MessageShape& shape : {MessageShape{}, MessageShape::request(), with_path, cut}) {
    State s(config(false));
    s.set_next_stream_id(3);
    s.insert_local_stream(1, Handle(1), true, false);
    RecvHeaders response = head(1, false, 200);
    response.shape = shape;
    Handle none;
    std::vector<Handle> dropped;
    EXPECT_EQ(describe(s.recv_headers(response, none, kNow, dropped)), "stream 1 1");
  }
}

TEST(H2StreamsRecv, ServerRefusesStreamsBeyondItsConcurrencyLimitAndIgnoresIdsBeyondItsGoAway) {
  StreamsConfig c = config(true);
  c.max_concurrent_streams = 1;
  State s(c);
  open_request(s, 1);
  std::vector<Handle> dropped;
  Handle spare(3);
  EXPECT_EQ(describe(s.recv_headers(head(3), spare, kNow, dropped)), "stream 3 7");
  EXPECT_TRUE(spare);
  s.set_max_stream_id(5);
  auto ignored = s.recv_headers(head(7), spare, kNow, dropped);
  EXPECT_EQ(std::get<HeadersVerdict<Handle>>(ignored).kind, HeadersKind::kIgnored);
  EXPECT_EQ(s.table_size(), 1u);
}

TEST(H2StreamsRecv, ResponseHeadContentLengthChecks) {
  // (status, content-length, END_STREAM, invalid, response to HEAD, expected)
  struct Case {
    uint16_t status;
    std::optional<uint64_t> length;
    bool end_stream;
    bool invalid;
    bool is_head;
    const char* expected;
  };
  const Case cases[] = {
      {200, 5, true, false, false, "stream 1 1"},
      {304, 5, true, false, false, "ok"},
      {204, 5, true, false, false, "ok"},
      {200, 0, true, false, false, "ok"},
      {200, 5, false, false, false, "ok"},
      {200, std::nullopt, false, true, false, "stream 1 1"},
      {200, 5, true, false, true, "ok"},
      {200, std::nullopt, false, true, true, "ok"},
      {103, std::nullopt, true, false, false, "stream 1 1"},  // 1xx with END_STREAM
  };
  for (const Case& c : cases) {
    State s(config(false));
    s.set_next_stream_id(3);
    s.insert_local_stream(1, Handle(1), true, c.is_head);
    RecvHeaders frame = head(1, c.end_stream, c.status, c.length);
    frame.content_length_invalid = c.invalid;
    Handle none;
    std::vector<Handle> dropped;
    EXPECT_EQ(describe(s.recv_headers(frame, none, kNow, dropped)), c.expected) << c.status;
  }
}

TEST(H2StreamsRecv, InformationalHeadThenFinalHeadThenTrailers) {
  State s(config(false));
  s.set_next_stream_id(3);
  ASSERT_TRUE(s.try_claim_slot());
  s.insert_local_stream(1, Handle(1), true, false);
  Handle none;
  std::vector<Handle> dropped;
  auto info = s.recv_headers(head(1, false, 100), none, kNow, dropped);
  EXPECT_EQ(std::get<HeadersVerdict<Handle>>(info).kind, HeadersKind::kIgnored);
  EXPECT_FALSE(std::get<HeadersVerdict<Handle>>(info).handle);
  auto final_head = s.recv_headers(head(1, false, 200), none, kNow, dropped);
  EXPECT_EQ(std::get<HeadersVerdict<Handle>>(final_head).kind, HeadersKind::kHead);
  EXPECT_EQ(std::get<HeadersVerdict<Handle>>(final_head).handle.value(), 1);
  // A second block without END_STREAM is a trailer section that does not end it.
  EXPECT_EQ(describe(s.recv_headers(trailers(1, false), none, kNow, dropped)), "stream 1 1");
  auto trailer_section = s.recv_headers(trailers(1), none, kNow, dropped);
  const auto& verdict = std::get<HeadersVerdict<Handle>>(trailer_section);
  EXPECT_EQ(verdict.kind, HeadersKind::kTrailers);
  EXPECT_TRUE(verdict.eof);
  EXPECT_EQ(verdict.flags, static_cast<uint32_t>(kFlagSlotFreed));
  EXPECT_FALSE(s.find(1));  // closed out and drained: gone
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].value(), 1);
  EXPECT_EQ(s.num_streams(), 0u);
  EXPECT_EQ(s.num_open_streams(), 0u);
  // The id is now of the closed class.
  EXPECT_EQ(describe(s.recv_headers(head(1, true), none, kNow, dropped)), "stream 1 5");
  EXPECT_EQ(describe(s.recv_headers(head(3, true), none, kNow, dropped)),
            "protocol 1 frame on idle stream 3");
}

TEST(H2StreamsRecv, TrailersBeforeTheAnnouncedLengthIsComplete) {
  State s(config(false));
  open_response(s, 1, 10);
  std::vector<Handle> dropped;
  ASSERT_EQ(describe(s.recv_data(data(1, 4), kNow, dropped)), "ok");
  Handle none;
  EXPECT_EQ(describe(s.recv_headers(trailers(1), none, kNow, dropped)), "stream 1 1");
}

TEST(H2StreamsRecv, HeadersOnClosedStreamsStillInTheTable) {
  // Reset by us: ignored.  Reset by the peer: a client answers STREAM_CLOSED,
  // a server treats the id as reused.
  for (bool server : {false, true}) {
    for (Initiator initiator : {Initiator::kUser, Initiator::kLibrary, Initiator::kRemote}) {
      State s(config(server));
      if (server) {
        open_request(s, 1);
      } else {
        open_response(s, 1);
      }
      State::Record* record = s.find(1);
      record->recv_unreleased = 7;  // keeps the record after the close-out
      record->state.set_reset(1, 8, initiator);
      Handle none;
      std::vector<Handle> dropped;
      auto result = s.recv_headers(head(1, true), none, kNow, dropped);
      if (initiator != Initiator::kRemote) {
        EXPECT_EQ(std::get<HeadersVerdict<Handle>>(result).kind, HeadersKind::kIgnored);
        continue;
      }
      EXPECT_EQ(describe(result), server ? "protocol 1 invalid new stream id 1" : "stream 1 5");
      EXPECT_FALSE(s.find(1));  // its held octets went back, so it left the table
      EXPECT_EQ(s.conn_recv_available(), 65535 + 7);
    }
  }
}

// ---- DATA ---------------------------------------------------------------------------

TEST(H2StreamsRecv, DataDeliveryBudgetAndEnd) {
  State s(config(true));
  open_request(s, 1);
  std::vector<Handle> dropped;
  auto small = s.recv_data(data(1, 10), kNow, dropped);
  const auto& first = std::get<DataVerdict<Handle>>(small);
  EXPECT_TRUE(first.deliver);
  EXPECT_TRUE(first.budgeted);
  EXPECT_FALSE(first.eof);
  EXPECT_EQ(first.handle.value(), 1);
  EXPECT_EQ(s.find(1)->data_budget_charged, 246u);
  EXPECT_EQ(s.data_frame_budget().available(), s.data_frame_budget().budget() - 246u);
  auto empty = s.recv_data(data(1, 0), kNow, dropped);
  EXPECT_FALSE(std::get<DataVerdict<Handle>>(empty).deliver);
  EXPECT_FALSE(std::get<DataVerdict<Handle>>(empty).budgeted);
  EXPECT_EQ(s.data_frame_budget().empty_frames(), 1u);
  auto last = s.recv_data(data(1, 5, true), kNow, dropped);
  const auto& end = std::get<DataVerdict<Handle>>(last);
  EXPECT_TRUE(end.deliver);
  EXPECT_FALSE(end.budgeted);
  EXPECT_TRUE(end.eof);
  EXPECT_EQ(s.find(1)->recv_unreleased, 15u);
  EXPECT_EQ(s.conn_recv_available(), 65535 - 15);
  EXPECT_TRUE(s.find(1)->recv_end_stream);
  // Half-closed (remote): STREAM_CLOSED, and the octets come back to the connection.
  EXPECT_EQ(describe(s.recv_data(data(1, 1), kNow, dropped)), "stream 1 5");
  EXPECT_EQ(s.conn_recv_available(), 65535 - 15);
  Handle none;
  EXPECT_EQ(describe(s.recv_headers(trailers(1), none, kNow, dropped)), "stream 1 5");
}

TEST(H2StreamsRecv, DataContentLengthAndWindows) {
  // (content-length, payload, END_STREAM, expected)
  struct Case {
    std::optional<uint64_t> length;
    uint32_t payload;
    bool end_stream;
    const char* expected;
  };
  const Case cases[] = {
      {5, 6, false, "stream 1 1"},   {5, 5, true, "ok"}, {5, 4, true, "stream 1 1"}, {5, 5, false, "ok"},
      {std::nullopt, 9, true, "ok"}, {0, 0, true, "ok"},
  };
  for (const Case& c : cases) {
    State s(config(false));
    open_response(s, 1, c.length);
    std::vector<Handle> dropped;
    EXPECT_EQ(describe(s.recv_data(data(1, c.payload, c.end_stream), kNow, dropped)), c.expected)
        << c.payload;
    // A refused frame leaves the connection window as it was.
    if (std::string(c.expected) != "ok") {
      EXPECT_EQ(s.conn_recv_available(), 65535);
    }
  }
  State s(config(false));
  open_response(s, 1, std::nullopt, true);  // a response to HEAD has no content
  std::vector<Handle> dropped;
  EXPECT_EQ(describe(s.recv_data(data(1, 1), kNow, dropped)), "stream 1 1");
  EXPECT_EQ(describe(s.recv_data(data(1, 0, true), kNow, dropped)), "ok");
}

TEST(H2StreamsRecv, WindowsExceeded) {
  StreamsConfig c = config(false);
  c.initial_window_size = 1000;
  State s(c);
  s.begin();
  (void)s.recv_settings({}, true, [](const StreamsConfig&) {});
  open_response(s, 1);
  std::vector<Handle> dropped;
  EXPECT_EQ(describe(s.recv_data(data(1, 1001), kNow, dropped)), "stream 1 3");
  EXPECT_EQ(s.conn_recv_available(), 65535);  // given back
  ASSERT_EQ(describe(s.recv_data(data(1, 1000), kNow, dropped)), "ok");
  open_response(s, 3);
  s.find(3)->recv_flow = open_window(1 << 20);
  // The refused 1001 octets used up the window the peer sees until an update.
  ASSERT_EQ(describe(s.recv_data(data(3, 65535 - 1001 - 1000), kNow, dropped)), "ok");
  EXPECT_EQ(describe(s.recv_data(data(3, 1), kNow, dropped)), "flow");
}

TEST(H2StreamsRecv, PaddingIsReleasedAtOnce) {
  StreamsConfig c = config(false);
  State s(c);
  open_response(s, 1);
  std::vector<Handle> dropped;
  auto padded = s.recv_data(data(1, 10, false, 40000), kNow, dropped);
  // Both windows had 40000 of 65535 back at once: each owes a WINDOW_UPDATE.
  EXPECT_EQ(std::get<DataVerdict<Handle>>(padded).flags, static_cast<uint32_t>(kFlagWake));
  EXPECT_EQ(s.find(1)->recv_unreleased, 10u);
  const auto events = drain(s);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(std::get<WindowUpdateEvent>(events[0]).stream_id, 1u);
  EXPECT_EQ(std::get<WindowUpdateEvent>(events[0]).increment, 40000u);
  EXPECT_EQ(std::get<WindowUpdateEvent>(events[1]).stream_id, 0u);
  EXPECT_EQ(std::get<WindowUpdateEvent>(events[1]).increment, 40000u);
}

TEST(H2StreamsRecv, DataOnStreamsNotInTheTable) {
  // (server, id, reset lately, expected)
  struct Case {
    bool server;
    uint32_t id;
    bool stored;
    const char* expected;
  };
  const Case cases[] = {
      {true, 3, true, "ok"},                                   // reset store
      {true, 1, false, "stream 1 5"},                          // below the highest peer id
      {true, 3, false, "stream 3 5"},                          // the highest itself
      {true, 5, false, "protocol 1 frame on idle stream 5"},   // not opened yet
      {true, 2, false, "protocol 1 frame on idle stream 2"},   // a server id
      {false, 1, false, "stream 1 5"},                         // below next_stream_id
      {false, 5, false, "protocol 1 frame on idle stream 5"},  // not opened yet
      {false, 2, false, "protocol 1 frame on idle stream 2"},  // a push id
      {false, 7, true, "ok"},
  };
  for (const Case& c : cases) {
    State s(config(c.server));
    if (c.server) {
      open_request(s, 3);
      (void)s.remove_stream(3);
    } else {
      s.set_next_stream_id(5);
    }
    if (c.stored) {
      ASSERT_TRUE(s.reset_store().store(c.id, kNow));
    }
    std::vector<Handle> dropped;
    auto result = s.recv_data(data(c.id, 100), kNow, dropped);
    EXPECT_EQ(describe(result), c.expected) << c.server << " " << c.id;
    // Ignored and closed frames still pass through the connection window.
    EXPECT_EQ(s.conn_recv_available(), 65535);
  }
}

TEST(H2StreamsRecv, IgnoredDataGivesTheConnectionWindowBackAndLapses) {
  State s(config(true));
  open_request(s, 1);
  open_request(s, 3);
  s.find(1)->state.set_reset(1, 8, Initiator::kLibrary);
  (void)s.remove_stream(3);
  ASSERT_TRUE(s.reset_store().store(3, kNow));
  std::vector<Handle> dropped;
  uint32_t wakes = 0;
  for (int i = 0; i < 4; ++i) {
    auto result = s.recv_data(data(i % 2 ? 1 : 3, 10000), kNow, dropped);
    ASSERT_EQ(describe(result), "ok");
    EXPECT_FALSE(std::get<DataVerdict<Handle>>(result).handle);
    wakes += std::get<DataVerdict<Handle>>(result).flags;
  }
  // Each frame returns at once; the window owes an update once half of it
  // (32767) is owed: after the third frame.
  EXPECT_EQ(wakes, 1u);
  const auto events = drain(s);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::get<WindowUpdateEvent>(events[0]).increment, 30000u);
  // More than a second later the stored id has lapsed: closed class.
  const auto later = kNow + ResetStore::kLapse + std::chrono::milliseconds(1);
  EXPECT_EQ(describe(s.recv_data(data(3, 1), later, dropped)), "stream 3 5");
}

// ---- WINDOW_UPDATE ------------------------------------------------------------------

TEST(H2StreamsRecv, WindowUpdates) {
  State s(config(false));
  open_response(s, 1);
  open_response(s, 3);
  s.set_next_stream_id(7);
  s.insert_local_stream(5, Handle(5), false, false);
  std::vector<Handle> wake;
  // No sender waits for the connection window (stream 5 has its own room).
  ASSERT_FALSE(s.recv_window_update(0, 100, kNow, wake));
  EXPECT_TRUE(wake.empty());
  EXPECT_EQ(s.conn_send_window(), 65635u);
  EXPECT_EQ(describe(*s.recv_window_update(0, kMaxWindowSize - 65635 + 1, kNow, wake)), "flow");
  wake.clear();
  ASSERT_FALSE(s.recv_window_update(1, 10, kNow, wake));
  ASSERT_EQ(wake.size(), 1u);
  EXPECT_EQ(wake[0].value(), 1);
  EXPECT_EQ(describe(*s.recv_window_update(3, kMaxWindowSize - 65535 + 1, kNow, wake)), "stream 3 3");
  (void)s.remove_stream(1);
  wake.clear();
  EXPECT_FALSE(s.recv_window_update(1, 1, kNow, wake));  // closed: ignored
  EXPECT_TRUE(wake.empty());
  EXPECT_EQ(describe(*s.recv_window_update(9, 1, kNow, wake)), "protocol 1 frame on idle stream 9");
}

// ---- RST_STREAM ---------------------------------------------------------------------

TEST(H2StreamsRecv, ResetsFromThePeer) {
  State s(config(false));
  ASSERT_TRUE(s.try_claim_slot());
  open_response(s, 1);
  std::vector<Handle> dropped;
  EXPECT_EQ(describe(s.recv_reset(0, 8, kNow, dropped)), "protocol 1 RST_STREAM on stream 0");
  s.find(1)->recv_unreleased = 100;
  const int32_t before = s.conn_recv_available();
  auto result = s.recv_reset(1, 8, kNow, dropped);
  const auto& verdict = *std::get<std::optional<ResetVerdict<Handle>>>(result);
  EXPECT_EQ(verdict.handle.value(), 1);
  EXPECT_EQ(verdict.reason, 8u);
  EXPECT_TRUE(verdict.notify_body);
  EXPECT_EQ(verdict.flags, static_cast<uint32_t>(kFlagSlotFreed));
  EXPECT_FALSE(s.find(1));
  EXPECT_EQ(s.conn_recv_available(), before + 100);
  // Late frames of it: closed class.
  EXPECT_FALSE(std::get<std::optional<ResetVerdict<Handle>>>(s.recv_reset(1, 8, kNow, dropped)));
  EXPECT_EQ(describe(s.recv_reset(5, 8, kNow, dropped)), "protocol 1 frame on idle stream 5");
}

TEST(H2StreamsRecv, ResetsBeforeAcceptAreCapped) {
  StreamsConfig c = config(true);
  c.max_pending_accept_reset_streams = 2;
  State s(c);
  std::vector<Handle> dropped;
  for (uint32_t id = 1; id <= 5; id += 2) {
    open_request(s, id);
    s.find(id)->send_buffered = 1;  // keeps the record in the table
    auto result = s.recv_reset(id, 8, kNow, dropped);
    if (id < 5) {
      ASSERT_EQ(describe(result), "ok");
      // A second reset of the same stream is not counted again.
      ASSERT_EQ(describe(s.recv_reset(id, 8, kNow, dropped)), "ok");
    } else {
      EXPECT_EQ(describe(result), "protocol 11 too_many_resets");
    }
  }
  EXPECT_EQ(s.pending_accept_resets(), 2u);
}

// ---- SETTINGS -----------------------------------------------------------------------

TEST(H2StreamsRecv, SettingsAckAppliesOurSettingsOnce) {
  StreamsConfig c = config(true);
  c.initial_window_size = 100000;
  c.max_frame_size = 32768;
  State s(c);
  auto none = [](const StreamsConfig&) { FAIL() << "applied without an outstanding SETTINGS"; };
  EXPECT_EQ(describe(s.recv_settings({}, true, none)), "protocol 1 received unexpected settings ack");
  s.begin();
  open_request(s, 1);
  EXPECT_EQ(s.find(1)->recv_flow.signed_window_size(), 65535);  // the default until acknowledged
  FrameReader reader(true);
  auto result =
      s.recv_settings({}, true, [&](const StreamsConfig& local) { apply_local_settings(reader, local); });
  ASSERT_EQ(describe(result), "ok");
  EXPECT_FALSE(std::get<SettingsVerdict<Handle>>(result).initial);
  EXPECT_EQ(std::get<SettingsVerdict<Handle>>(result).flags, 0u);
  EXPECT_EQ(reader.max_recv_frame_size(), 32768u);
  EXPECT_EQ(reader.max_header_list_size(), 65536u);
  EXPECT_EQ(s.find(1)->recv_flow.signed_window_size(), 100000);
  open_request(s, 3);
  EXPECT_EQ(s.find(3)->recv_flow.signed_window_size(), 100000);
  EXPECT_EQ(describe(s.recv_settings({}, true, none)), "protocol 1 received unexpected settings ack");
}

TEST(H2StreamsRecv, PeerSettings) {
  State s(config(false));
  open_response(s, 1);
  s.set_next_stream_id(5);
  s.insert_local_stream(3, Handle(3), false, false);
  ASSERT_EQ(s.find(3)->send_flow.send_data(1000), std::nullopt);
  const auto apply = [](const StreamsConfig&) {};
  Settings lower;
  lower.initial_window_size = 0;
  lower.max_concurrent_streams = 10;
  lower.max_frame_size = 20000;
  auto first = s.recv_settings(lower, false, apply);
  const auto& verdict = std::get<SettingsVerdict<Handle>>(first);
  EXPECT_TRUE(verdict.initial);
  EXPECT_TRUE(verdict.wake.empty());
  EXPECT_EQ(verdict.flags, static_cast<uint32_t>(kFlagWake | kFlagSlotFreed));
  EXPECT_EQ(s.find(3)->send_flow.signed_window_size(), -1000);
  EXPECT_EQ(s.find(1)->send_flow.signed_window_size(), 65535);  // its send side is closed
  EXPECT_EQ(s.stream_limit(), 10u);
  EXPECT_EQ(s.peer().max_frame_size, 20000u);
  const auto events = drain(s);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(std::get<SettingsEvent>(events[0]).ack);

  Settings raise;
  raise.initial_window_size = 2000;
  auto second = s.recv_settings(raise, false, apply);
  EXPECT_FALSE(std::get<SettingsVerdict<Handle>>(second).initial);
  ASSERT_EQ(std::get<SettingsVerdict<Handle>>(second).wake.size(), 1u);
  EXPECT_EQ(std::get<SettingsVerdict<Handle>>(second).wake[0].value(), 3);
  EXPECT_EQ(s.find(3)->send_flow.signed_window_size(), 1000);
  // Unchanged: nobody woken.
  EXPECT_TRUE(std::get<SettingsVerdict<Handle>>(s.recv_settings(raise, false, apply)).wake.empty());
  std::vector<Handle> wake;
  ASSERT_EQ(s.recv_window_update(3, kMaxWindowSize - 1000, kNow, wake), std::nullopt);
  Settings overflow;
  overflow.initial_window_size = 2001;
  EXPECT_EQ(describe(s.recv_settings(overflow, false, apply)), "flow");
}

// ---- PING, GOAWAY -------------------------------------------------------------------

TEST(H2StreamsRecv, PingsAndTheShutdownAcknowledgement) {
  State client(config(false));
  EXPECT_EQ(client.recv_ping("12345678", false), static_cast<uint32_t>(kFlagWake));
  const auto events = drain(client);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(std::get<PingEvent>(events[0]).ack);
  EXPECT_EQ(std::string(std::get<PingEvent>(events[0]).data.data(), 8), "12345678");
  EXPECT_EQ(client.recv_ping("12345678", true), 0u);
  client.mark_graceful();
  EXPECT_EQ(client.recv_ping(kShutdownPing, true), 0u);  // a client has no phase 2

  State server(config(true));
  EXPECT_EQ(server.recv_ping(kShutdownPing, true), 0u);  // not in graceful shutdown
  open_request(server, 1);
  server.mark_graceful();
  EXPECT_EQ(server.recv_ping(kShutdownPing, true), static_cast<uint32_t>(kFlagWake));
  EXPECT_TRUE(server.shutdown_final());
  EXPECT_EQ(server.max_stream_id(), 1u);
  const auto final_goaway = drain(server);
  ASSERT_EQ(final_goaway.size(), 1u);
  EXPECT_EQ(std::get<GoAwayEvent>(final_goaway[0]).last_stream_id, 1u);
  EXPECT_EQ(server.recv_ping(kShutdownPing, true), 0u);  // once
  // The last stream's close-out tells the server to stop accepting.
  std::vector<Handle> dropped;
  auto reset = server.recv_reset(1, 8, kNow, dropped);
  EXPECT_EQ(std::get<std::optional<ResetVerdict<Handle>>>(reset)->flags,
            static_cast<uint32_t>(kFlagStopAccepting));

  State idle(config(true));
  idle.mark_graceful();
  EXPECT_EQ(idle.recv_ping(kShutdownPing, true), static_cast<uint32_t>(kFlagWake | kFlagStopAccepting));
}

TEST(H2StreamsRecv, GoAwayAbortsUnprocessedClientStreamsAndIsAnsweredWhenIdle) {
  State s(config(false));
  for (uint32_t id : {1u, 3u, 5u}) {
    ASSERT_TRUE(s.try_claim_slot());
    s.set_next_stream_id(id);
    s.insert_local_stream(id, Handle(static_cast<int>(id)), false, false);
  }
  s.set_next_stream_id(7);
  std::vector<Handle> dropped;
  auto first = s.recv_go_away(3, 0, "bye", dropped);
  const auto& verdict = std::get<GoAwayVerdict<Handle>>(first);
  ASSERT_EQ(verdict.aborted.size(), 1u);
  EXPECT_EQ(verdict.aborted[0].value(), 5);
  EXPECT_EQ(verdict.flags, static_cast<uint32_t>(kFlagSlotFreed));
  EXPECT_EQ(s.num_streams(), 2u);
  EXPECT_EQ(s.num_open_streams(), 2u);
  EXPECT_EQ(s.peer_goaway()->debug_data, "bye");
  EXPECT_EQ(describe(s.recv_go_away(4, 0, "", dropped)), "protocol 1 GOAWAY may not raise last_stream_id");
  // A lower one replaces it and aborts stream 3; stream 1 remains.
  auto second = s.recv_go_away(1, 2, "", dropped);
  ASSERT_EQ(std::get<GoAwayVerdict<Handle>>(second).aborted.size(), 1u);
  EXPECT_EQ(s.peer_goaway()->last_stream_id, 1u);
  EXPECT_EQ(s.maybe_goaway_reply(), 0u);
  // The last stream ends: the close-out answers the GOAWAY, once.
  auto reset = s.recv_reset(1, 0, kNow, dropped);
  EXPECT_EQ(std::get<std::optional<ResetVerdict<Handle>>>(reset)->flags,
            static_cast<uint32_t>(kFlagSlotFreed | kFlagWake | kFlagConnDone));
  EXPECT_TRUE(s.goaway_replied());
  EXPECT_TRUE(s.failed());
  EXPECT_EQ(s.maybe_goaway_reply(), 0u);
  const auto events = drain(s);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::get<GoAwayEvent>(events[0]).last_stream_id, 0u);
}

TEST(H2StreamsRecv, GracefulGoAwayIsNotAnswered) {
  State s(config(true));
  std::vector<Handle> dropped;
  ASSERT_EQ(describe(s.recv_go_away(kMaxStreamId, 0, "", dropped)), "ok");
  EXPECT_EQ(s.maybe_goaway_reply(), 0u);
  open_request(s, 1);
  s.set_last_processed_id(1);
  ASSERT_EQ(describe(s.recv_go_away(0, 0, "", dropped)), "ok");
  EXPECT_EQ(s.maybe_goaway_reply(), 0u);  // a stream is still active
  (void)s.recv_reset(1, 8, kNow, dropped);
  EXPECT_TRUE(s.goaway_replied());
  const auto events = drain(s);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::get<GoAwayEvent>(events[0]).last_stream_id, 1u);
}

}  // namespace
}  // namespace vantric::h2
