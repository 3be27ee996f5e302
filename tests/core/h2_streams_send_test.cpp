// The send path and the end of the connection state: opening streams, DATA
// within every limit, response heads, trailers, our resets, capacity release,
// GOAWAY, failure and the graceful shutdown, read back by a peer's reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"
#include "core/http/header_map.h"
#include "handle_stub.h"

namespace vantric::h2 {
namespace {

using test::Handle;
using State = Streams<Handle>;

const MonoClock::time_point kNow = MonoClock::now();

// Every limit at its default but the send buffer, which the defaults leave at 0.
StreamsConfig config(bool server) {
  return {.server = server, .max_send_buf_size = 65536};
}

// The frames queued since the last call, as the peer's reader sees them
// (HEADERS blocks decoded; a server's reader after the client preface).
std::vector<FrameEvent> drain(State& s, FrameReader& peer) {
  const auto drained = s.take_pending();
  std::vector<FrameEvent> events;
  EXPECT_FALSE(peer.receive(drained.bytes.view(), events));
  return events;
}

// "DATA 1 16384 ES", "HEADERS 3 ES", "RST 1 8", "GOAWAY 0 0", "PING SHUTDOWN", "WU 0 100".
std::vector<std::string> names(const std::vector<FrameEvent>& events) {
  std::vector<std::string> out;
  for (const FrameEvent& event : events) {
    if (const auto* d = std::get_if<DataEvent>(&event))
      out.push_back("DATA " + std::to_string(d->stream_id) + " " + std::to_string(d->data.size()) +
                    (d->end_stream ? " ES" : ""));
    else if (const auto* h = std::get_if<HeadersEvent>(&event))
      out.push_back("HEADERS " + std::to_string(h->stream_id) + (h->end_stream ? " ES" : ""));
    else if (const auto* r = std::get_if<RstStreamEvent>(&event))
      out.push_back("RST " + std::to_string(r->stream_id) + " " + std::to_string(r->error_code));
    else if (const auto* g = std::get_if<GoAwayEvent>(&event))
      out.push_back("GOAWAY " + std::to_string(g->last_stream_id) + " " + std::to_string(g->error_code));
    else if (const auto* p = std::get_if<PingEvent>(&event))
      out.push_back(std::string("PING ") + std::string(p->data.data(), 8) + (p->ack ? " ACK" : ""));
    else if (const auto* w = std::get_if<WindowUpdateEvent>(&event))
      out.push_back("WU " + std::to_string(w->stream_id) + " " + std::to_string(w->increment));
    else
      out.push_back("other");
  }
  return out;
}

using Names = std::vector<std::string>;

// A client with one request stream open (head sent, body to come); returns its id.
uint32_t open_request(State& s, bool end_stream = false) {
  EXPECT_TRUE(s.try_claim_slot());
  auto opened = s.open_stream(build_request_head("POST", "https://example.com/x", std::nullopt, std::nullopt),
                              nullptr, end_stream, false, Handle(7));
  return std::get<std::optional<uint32_t>>(opened).value_or(0);
}

// A server with request `id` received (END_STREAM as given), accepted.
void receive_request(State& s, uint32_t id, bool end_stream) {
  Handle spare(static_cast<int>(id));
  std::vector<Handle> dropped;
  auto opened =
      s.recv_headers(RecvHeaders{id, end_stream, std::nullopt, std::nullopt, false, MessageShape::request()},
                     spare, kNow, dropped);
  ASSERT_TRUE(std::holds_alternative<HeadersVerdict<Handle>>(opened));
  s.accepted(id, dropped);
}

TEST(H2StreamsSend, OpenStreamAllocatesIdsInOrderUntilTheSpaceIsExhausted) {
  State s(config(false));
  FrameReader peer(true);
  std::vector<FrameEvent> ignored;
  ASSERT_FALSE(peer.receive(kPreface, ignored));
  EXPECT_EQ(open_request(s, true), 1u);
  EXPECT_EQ(open_request(s), 3u);
  EXPECT_EQ(names(drain(s, peer)), (Names{"HEADERS 1 ES", "HEADERS 3"}));
  EXPECT_EQ(s.find(1)->state.repr(), "HalfClosedLocal(AwaitingHeaders)");
  EXPECT_EQ(s.num_streams(), 2u);

  s.set_next_stream_id(kMaxStreamId);
  EXPECT_EQ(open_request(s), kMaxStreamId);
  EXPECT_EQ(s.num_open_streams(), 3u);
  ASSERT_TRUE(s.try_claim_slot());
  auto exhausted =
      s.open_stream(build_request_head("GET", "/", "https", "a"), nullptr, true, false, Handle(1));
  const auto& error = std::get<ProtocolError>(std::get<Error>(exhausted));
  EXPECT_EQ(error.reason, 7u);
  EXPECT_EQ(error.message, "stream ID space exhausted (OverflowedStreamId)");
  EXPECT_EQ(s.num_open_streams(), 3u);  // the claimed slot was given back

  // A refused head and a closed connection give the slot back too.
  State t(config(false));
  ASSERT_TRUE(t.try_claim_slot());
  auto refused = t.open_stream(build_request_head("GET", "/", std::nullopt, std::nullopt), nullptr, true,
                               false, Handle(1));
  EXPECT_TRUE(std::holds_alternative<InvalidArgument>(refused));
  std::vector<std::pair<Handle, Stop>> aborted;
  std::vector<Handle> dropped;
  t.fail(Handle(), "connection closed", aborted, dropped);
  ASSERT_TRUE(t.try_claim_slot());
  auto closed = t.open_stream(build_request_head("GET", "/", "https", "a"), nullptr, true, false, Handle(1));
  EXPECT_EQ(std::get<std::optional<uint32_t>>(closed), std::nullopt);
  EXPECT_EQ(t.num_open_streams(), 0u);
  EXPECT_EQ(t.next_stream_id(), 1u);
}

TEST(H2StreamsSend, SendDataStaysWithinTheWindowsTheBufferAndTheFrameSize) {
  State s(config(false));
  FrameReader peer(true);
  std::vector<FrameEvent> ignored;
  ASSERT_FALSE(peer.receive(kPreface, ignored));
  const uint32_t id = open_request(s);
  drain(s, peer);
  std::vector<Handle> dropped;
  const std::string body(40000, 'b');
  // (offset, sent, done): three frames of at most the peer's 16384 octets.
  const uint32_t expected[][3] = {{0, 16384, 0}, {16384, 16384, 0}, {32768, 7232, 1}};
  for (const auto& [offset, sent, done] : expected) {
    auto verdict = std::get<SendVerdict<Handle>>(s.send_data(id, body, offset, true, dropped));
    EXPECT_EQ(verdict.sent, sent);
    EXPECT_EQ(verdict.done, done != 0);
    EXPECT_EQ(verdict.flags, uint32_t{kFlagWake});
  }
  EXPECT_EQ(names(drain(s, peer)), (Names{"DATA 1 16384", "DATA 1 16384", "DATA 1 7232 ES"}));
  EXPECT_EQ(s.find(id)->send_flow.window_size(), 65535u - 40000u);
  EXPECT_EQ(s.conn_send_window(), 65535u - 40000u);
  // The half is closed: a further send is told so, with a bare stop.
  auto after = std::get<SendVerdict<Handle>>(s.send_data(id, "x", 0, false, dropped));
  ASSERT_TRUE(after.stopped);
  EXPECT_EQ(after.stopped->reason, std::nullopt);
  // The response ends the stream; it leaves the table once its DATA is written.
  Handle none;
  s.recv_headers(RecvHeaders{id, true, 200, std::nullopt, false, MessageShape::response()}, none, kNow,
                 dropped);
  ASSERT_TRUE(s.find(id) && s.find(id)->state.is_closed());
  std::vector<Handle> written;
  s.credit_written(written, dropped);
  EXPECT_EQ(s.find(id), nullptr);
  EXPECT_EQ(written.size(), 1u);

  // A full send buffer: nothing until the writer credits it.
  StreamsConfig c = config(false);
  State b(c);
  const uint32_t bid = open_request(b);
  b.queue_data(bid, std::string(65536, 'q'), false);
  const std::string more(10, 'm');
  auto blocked = std::get<SendVerdict<Handle>>(b.send_data(bid, more, 0, false, dropped));
  EXPECT_EQ(blocked.sent, 0u);
  EXPECT_FALSE(blocked.done);
  EXPECT_EQ(blocked.flags, 0u);
  b.take_pending();
  std::vector<Handle> wake;
  b.credit_written(wake);
  EXPECT_EQ(std::get<SendVerdict<Handle>>(b.send_data(bid, more, 0, false, dropped)).sent, 10u);

  // Empty data ends the stream with one empty DATA frame.
  const uint32_t eid = open_request(s);
  drain(s, peer);
  auto empty = std::get<SendVerdict<Handle>>(s.send_data(eid, "", 0, true, dropped));
  EXPECT_TRUE(empty.done);
  EXPECT_EQ(names(drain(s, peer)), (Names{"DATA 3 0 ES"}));
  EXPECT_TRUE(s.find(eid)->state.is_send_closed());
  // An unknown stream: a bare stop, nothing queued.
  auto unknown = std::get<SendVerdict<Handle>>(s.send_data(99, "x", 0, false, dropped));
  EXPECT_TRUE(unknown.stopped && !unknown.stopped->conn && !s.has_pending());
}

TEST(H2StreamsSend, ServerResponsesTrailersAndTheResetOfAnUnfinishedRequest) {
  State s(config(true));
  FrameReader peer(false);
  receive_request(s, 1, true);
  receive_request(s, 3, false);
  std::vector<Handle> dropped;
  http::HeaderMap bad;
  ASSERT_EQ(bad.append("connection", "close"), std::nullopt);
  auto refused = s.send_response_head(1, 200, &bad, false, dropped);
  EXPECT_EQ(std::get<UserError>(std::get<Error>(refused)).kind, UserErrorKind::kMalformedHeaders);
  auto invalid = s.send_response_head(1, 99, nullptr, false, dropped);
  EXPECT_EQ(std::get<InvalidArgument>(invalid).message, "invalid status: 99");
  EXPECT_FALSE(s.has_pending());

  // Stream 1: head, then trailers end it and it leaves the table.
  EXPECT_TRUE(std::get<SendVerdict<Handle>>(s.send_response_head(1, 200, nullptr, false, dropped)).done);
  http::HeaderMap trailers;
  ASSERT_EQ(trailers.append("grpc-status", "0"), std::nullopt);
  auto ended = s.send_trailers(1, trailers, dropped);
  EXPECT_TRUE(ended.done && !ended.handle);
  EXPECT_FALSE(s.find(1));
  // Stream 3 still sending its body: answered at once, then reset with NO_ERROR.
  auto answered = std::get<SendVerdict<Handle>>(s.send_response_head(3, 204, nullptr, true, dropped));
  EXPECT_EQ(answered.handle.value(), 3);
  ASSERT_TRUE(answered.reader_stop);
  EXPECT_EQ(answered.reader_stop->reason, 0u);
  EXPECT_EQ(names(drain(s, peer)), (Names{"HEADERS 1", "HEADERS 1 ES", "HEADERS 3 ES", "RST 3 0"}));
  EXPECT_EQ(s.num_streams(), 0u);
  // The body the client sent before it saw that reset is dropped, not reset again.
  EXPECT_TRUE(s.in_reset_store(3, MonoClock::now()));
  auto late_body = s.recv_data(RecvData{3, 10, 10, false}, MonoClock::now(), dropped);
  EXPECT_FALSE(std::get<DataVerdict<Handle>>(late_body).deliver);
  EXPECT_FALSE(s.has_pending());
  // A stream the peer reset meanwhile: its stop, nothing queued.
  receive_request(s, 5, false);
  s.recv_reset(5, 8, kNow, dropped);
  receive_request(s, 7, false);
  std::vector<Handle> gone;
  s.recv_reset(7, 2, kNow, gone);
  auto late = std::get<SendVerdict<Handle>>(s.send_response_head(7, 200, nullptr, false, dropped));
  EXPECT_TRUE(late.stopped && !late.stopped->reason);  // gone from the table: a bare stop
  EXPECT_FALSE(s.has_pending());
}

TEST(H2StreamsSend, ResetsOnErrorAreCappedAndStoreUnknownIds) {
  StreamsConfig c = config(true);
  c.max_local_error_reset_streams = 2;
  State s(c);
  FrameReader peer(false);
  receive_request(s, 1, false);
  std::vector<Handle> dropped;
  auto live = std::get<LocalResetVerdict<Handle>>(s.reset_on_error(1, 1, kNow, dropped));
  EXPECT_EQ(live.handle.value(), 1);
  EXPECT_EQ(live.stop->reason, 1u);
  auto unknown = std::get<LocalResetVerdict<Handle>>(s.reset_on_error(9, 1, kNow, dropped));
  EXPECT_FALSE(unknown.handle);
  EXPECT_TRUE(s.in_reset_store(9, kNow));
  EXPECT_EQ(names(drain(s, peer)), (Names{"RST 1 1", "RST 9 1"}));
  // Late DATA on the id we reset is dropped, not an error.
  auto late = s.recv_data(RecvData{9, 10, 10, false}, kNow + std::chrono::milliseconds(500), dropped);
  EXPECT_FALSE(std::get<DataVerdict<Handle>>(late).deliver);
  auto capped = s.reset_on_error(11, 1, kNow, dropped);
  const auto& error = std::get<ProtocolError>(std::get<Error>(capped));
  EXPECT_EQ(error.reason, 11u);
  EXPECT_EQ(error.message, "too many stream resets");
  EXPECT_FALSE(s.has_pending());
}

TEST(H2StreamsSend, AConnectionWindowUpdateWakesOnlyWhoItStopped) {
  State s(config(false));
  std::vector<Handle> dropped, wake;
  auto open = [&](int handle) {
    EXPECT_TRUE(s.try_claim_slot());
    auto opened =
        s.open_stream(build_request_head("POST", "https://example.com/x", std::nullopt, std::nullopt),
                      nullptr, false, false, Handle(handle));
    return std::get<std::optional<uint32_t>>(opened).value();
  };
  auto send = [&](uint32_t id, std::size_t offset = 0) {
    static const std::string body(70000, 'x');
    return std::get<SendVerdict<Handle>>(s.send_data(id, body, offset, false, dropped)).sent;
  };
  // Stream 1 takes its whole window, which is all of the connection's; 3 and
  // 5 are then stopped by the connection window, 1 by its own as well.
  const uint32_t a = open(1), b = open(3), c = open(5);
  std::size_t offset = 0;
  while (offset < 65535) offset += send(a, offset);
  for (uint32_t id : {a, b, c, b})  // a second refusal does not queue twice
    EXPECT_EQ(send(id), 0u);
  // A small update wakes the first stopped only: a flood of them costs the
  // same whatever the number of stopped streams.
  ASSERT_FALSE(s.recv_window_update(0, 10, kNow, wake));
  ASSERT_EQ(wake.size(), 1u);
  EXPECT_EQ(wake[0].value(), 3);
  wake.clear();
  ASSERT_FALSE(s.recv_window_update(0, 100000, kNow, wake));
  ASSERT_EQ(wake.size(), 1u);
  EXPECT_EQ(wake[0].value(), 5);
  EXPECT_EQ(send(b), 16384u);
  wake.clear();
  // Nobody waits for the connection window any more; 1 waits for its own.
  ASSERT_FALSE(s.recv_window_update(0, 1, kNow, wake));
  EXPECT_TRUE(wake.empty());
  ASSERT_FALSE(s.recv_window_update(a, 1, kNow, wake));
  ASSERT_EQ(wake.size(), 1u);
  EXPECT_EQ(wake[0].value(), 1);
}

TEST(H2StreamsSend, FramesOnAStreamThePeerClosedAreAnsweredOnce) {
  State s(config(true));
  FrameReader peer(false);
  std::vector<Handle> dropped;
  auto stream_closed = [&](uint32_t id) {
    auto result = s.recv_data(RecvData{id, 4, 4, false}, kNow, dropped);
    const auto* error = std::get_if<Error>(&result);
    return error != nullptr && std::get<ConnError>(*error).reason == 5;
  };
  // Stream 1 is reset by the peer while our response DATA is still queued, so
  // it stays in the table; stream 3 leaves it at once.
  receive_request(s, 1, false);
  ASSERT_TRUE(std::get<SendVerdict<Handle>>(s.send_response_head(1, 200, nullptr, false, dropped)).done);
  ASSERT_EQ(std::get<SendVerdict<Handle>>(s.send_data(1, "body", 0, false, dropped)).sent, 4u);
  receive_request(s, 3, false);
  drain(s, peer);
  s.recv_reset(1, 8, kNow, dropped);
  s.recv_reset(3, 8, kNow, dropped);
  ASSERT_TRUE(s.find(1));
  ASSERT_FALSE(s.find(3));
  for (uint32_t id : {1u, 3u}) {
    ASSERT_TRUE(stream_closed(id)) << id;
    auto answer = std::get<LocalResetVerdict<Handle>>(s.reset_on_error(id, 5, kNow, dropped));
    EXPECT_EQ(answer.flags & kFlagWake, static_cast<uint32_t>(kFlagWake));
    // Once: the next frame is ignored, and a second stream error sends nothing.
    EXPECT_FALSE(stream_closed(id)) << id;
    auto again = std::get<LocalResetVerdict<Handle>>(s.reset_on_error(id, 1, kNow, dropped));
    EXPECT_EQ(again.flags, 0u);
  }
  EXPECT_EQ(names(drain(s, peer)), (Names{"RST 1 5", "RST 3 5"}));
  EXPECT_EQ(s.local_error_resets(), 2u);
  // Our own reset is not followed by a second one either.
  receive_request(s, 5, false);
  s.reset_stream(5, 8, Initiator::kUser, kNow, dropped);
  EXPECT_EQ(std::get<LocalResetVerdict<Handle>>(s.reset_on_error(5, 1, kNow, dropped)).flags, 0u);
  EXPECT_EQ(names(drain(s, peer)), (Names{"RST 5 8"}));
  EXPECT_EQ(s.local_error_resets(), 2u);
}

TEST(H2StreamsSend, ReaderCloseCapacityReleaseAndTheDataBudget) {
  State s(config(true));
  FrameReader peer(false);
  receive_request(s, 1, false);
  receive_request(s, 3, false);
  std::vector<Handle> dropped;
  auto receive = [&](uint32_t id, uint32_t n) {
    auto got = s.recv_data(RecvData{id, n, n, false}, kNow, dropped);
    return std::get<DataVerdict<Handle>>(got).budgeted;
  };
  ASSERT_TRUE(receive(1, 40000));
  ASSERT_TRUE(receive(1, 10));
  const uint32_t budget = s.data_frame_budget().available();
  const uint32_t charged = s.find(1)->data_budget_charged;
  s.release_data_frame(1, 300);  // large frames never owe anything
  s.release_data_frame(1, 10);
  EXPECT_EQ(s.data_frame_budget().available(), budget + std::min(charged, 246u));
  EXPECT_EQ(s.find(1)->data_budget_charged, charged - std::min(charged, 246u));

  // Windows of 25525 after 40010 octets: 10000 more to grant is below half
  // of that; the rest (clamped to what the stream holds) is past it, for the
  // stream and the connection alike.
  EXPECT_EQ(s.release_capacity(1, 10000, dropped), 0u);
  EXPECT_EQ(s.release_capacity(1, 30100, dropped), uint32_t{kFlagWake});
  EXPECT_EQ(names(drain(s, peer)), (Names{"WU 1 40010", "WU 0 40010"}));
  EXPECT_EQ(s.find(1)->recv_unreleased, 0u);

  // Closing the reader of stream 3 cancels it and gives its octets back
  // (20000 of a 45535 window: no WINDOW_UPDATE yet).
  ASSERT_TRUE(receive(3, 20000));
  auto cancelled = s.aclose_body(3, kNow, dropped);
  EXPECT_EQ(cancelled.handle.value(), 3);
  EXPECT_FALSE(cancelled.stop);  // a local cancel is a clean end
  EXPECT_EQ(s.find(3), nullptr);
  EXPECT_EQ(s.release_capacity(3, 100, dropped), 0u);
  EXPECT_EQ(names(drain(s, peer)), (Names{"RST 3 8"}));
  // A reader closed after the peer's END_STREAM: no frame.
  receive_request(s, 5, true);
  EXPECT_EQ(s.aclose_body(5, kNow, dropped).flags, 0u);
  EXPECT_FALSE(s.has_pending());
}

TEST(H2StreamsSend, AcceptingARequestResetBeforeAcceptFreesItsPlace) {
  StreamsConfig c = config(true);
  c.max_pending_accept_reset_streams = 1;
  State s(c);
  std::vector<Handle> dropped;
  Handle spare(1);
  s.recv_headers(RecvHeaders{1, false, std::nullopt, std::nullopt, false, MessageShape::request()}, spare,
                 kNow, dropped);
  ASSERT_TRUE(std::holds_alternative<std::optional<ResetVerdict<Handle>>>(s.recv_reset(1, 8, kNow, dropped)));
  EXPECT_EQ(s.pending_accept_resets(), 1u);
  s.accepted(1, dropped);
  EXPECT_EQ(s.pending_accept_resets(), 0u);
  EXPECT_EQ(s.find(1), nullptr);
}

TEST(H2StreamsSend, GracefulShutdownGoAwayAndFailure) {
  State s(config(true));
  FrameReader peer(false);
  receive_request(s, 1, true);
  EXPECT_EQ(s.begin_graceful_shutdown(), uint32_t{kFlagWake});
  EXPECT_EQ(s.begin_graceful_shutdown(), 0u);
  EXPECT_EQ(names(drain(s, peer)), (Names{"GOAWAY 2147483647 0", "PING SHUTDOWN"}));
  s.recv_ping(kShutdownPing, true);
  EXPECT_EQ(s.send_goaway(2), uint32_t{kFlagWake});
  EXPECT_EQ(names(drain(s, peer)), (Names{"GOAWAY 1 0", "GOAWAY 1 2"}));

  // Failure: every live stream is aborted by the connection, the first error stays.
  State f(config(true));
  receive_request(f, 1, true);
  std::vector<std::pair<Handle, Stop>> aborted;
  std::vector<Handle> dropped;
  f.fail(Handle(100), "", aborted, dropped);
  ASSERT_EQ(aborted.size(), 1u);
  EXPECT_EQ(aborted[0].first.value(), 1);
  EXPECT_TRUE(aborted[0].second.conn && !aborted[0].second.reason);
  EXPECT_TRUE(f.is_closed() && f.failed());
  EXPECT_EQ(f.num_streams(), 0u);
  receive_request(f, 3, false);  // a stream that arrived after the failure
  aborted.clear();
  f.fail(Handle(200), "", aborted, dropped);
  EXPECT_EQ(f.error_object().value(), 100);
  ASSERT_EQ(aborted.size(), 1u);
  EXPECT_EQ(aborted[0].first.value(), 3);
  EXPECT_TRUE(std::any_of(dropped.begin(), dropped.end(), [](const Handle& h) { return h.value() == 200; }));
}

}  // namespace
}  // namespace vantric::h2
