// The send path and the end of the connection state: opening a stream,
// response heads, DATA, trailers, our resets, capacity release, GOAWAY,
// failure and the graceful shutdown (declared in streams.h, which includes
// this file at its end).
//
// Sending END_STREAM closes our half; what follows is the same for DATA,
// trailers and a response head (finish_send): a server whose response is
// complete while the request body is still arriving resets the stream with
// NO_ERROR (RFC 9113 section 8.1), then the stream is closed out.
#pragma once

#include <string>
#include <utility>

namespace vantric::h2 {

template <class Obj>
Stop Streams<Obj>::stop_of(const StreamState& state) {
  if (std::optional<uint32_t> scheduled = state.get_scheduled_reset()) return Stop{scheduled, false};
  const ConnError* error = state.error();
  if (error == nullptr) return Stop{};
  switch (error->variant) {
    case ConnError::Variant::kReset:
      // A local cancel is the application's own clean end.
      if (error->initiator == Initiator::kUser && error->reason == code(Reason::kCancel)) return Stop{};
      return Stop{error->reason, false};
    case ConnError::Variant::kGoAway:
      return Stop{error->reason, true};
    case ConnError::Variant::kIo:
      break;
  }
  return Stop{std::nullopt, true};
}

template <class Obj>
auto Streams<Obj>::sender(uint32_t stream_id, SendVerdict<Obj>& verdict) -> Record* {
  Record* record = find(stream_id);
  if (record != nullptr && record->state.is_send_streaming()) return record;
  verdict.stopped = record != nullptr ? stop_of(record->state) : Stop{};
  return nullptr;
}

template <class Obj>
auto Streams<Obj>::open_stream(const std::variant<RequestHead, InvalidArgument>& head,
                               const http::HeaderMap* headers, bool end_stream, bool is_head, Obj&& handle)
    -> Opened {
  if (failed() || peer_goaway_) {
    release_slot_count();
    return std::optional<uint32_t>();
  }
  if (next_stream_id_ > kMaxStreamId) {
    release_slot_count();
    return ProtocolError{code(Reason::kRefusedStream), "stream ID space exhausted (OverflowedStreamId)"};
  }
  if (const auto* refused = std::get_if<InvalidArgument>(&head)) {
    release_slot_count();
    return *refused;
  }
  // Allocation, insertion and encoding in one step: ids reach the wire in
  // increasing order (RFC 9113 section 5.1.1).
  const uint32_t id = next_stream_id_;
  next_stream_id_ += 2;
  insert_local_stream(id, std::move(handle), end_stream, is_head);
  append_request_headers(pending_, encoder_, id, std::get<RequestHead>(head), headers, end_stream,
                         peer_.max_frame_size);
  return std::optional<uint32_t>(id);
}

template <class Obj>
uint32_t Streams<Obj>::finish_send(uint32_t stream_id, SendVerdict<Obj>& verdict, std::vector<Obj>& dropped) {
  Record& record = *find(stream_id);
  if (config_.server && !record.state.is_closed() && !record.recv_end_stream) {
    // RFC 9113 section 8.1: a server may answer before the request is
    // complete and then ask the client, with RST_STREAM(NO_ERROR), to stop
    // sending it.
    verdict.handle = record.handle.share();
    verdict.reader_stop = Stop{code(Reason::kNoError), false};
    record.state.set_reset(stream_id, code(Reason::kNoError), Initiator::kLibrary);
    append_rst_stream(pending_, stream_id, code(Reason::kNoError));
    // The DATA the client sent before it saw the reset is ignored, not
    // answered with a second RST_STREAM (RFC 9113 section 5.1, "closed").
    reset_store_.store(stream_id, MonoClock::now());
    release_held_capacity(record);
  } else if (record.state.is_closed()) {
    release_held_capacity(record);
  }
  return close_out(stream_id, dropped);
}

template <class Obj>
auto Streams<Obj>::send_data(uint32_t stream_id, std::string_view data, std::size_t offset, bool end_stream,
                             std::vector<Obj>& dropped) -> Result<SendVerdict<Obj>> {
  SendVerdict<Obj> verdict;
  Record* record = sender(stream_id, verdict);
  if (record == nullptr) return verdict;
  const std::size_t before = pending_.size();
  const std::size_t remaining = data.size() - std::min(offset, data.size());
  bool ends = end_stream;
  if (remaining > 0) {
    auto room = [](int64_t n) { return static_cast<std::size_t>(std::max<int64_t>(n, 0)); };
    const std::size_t buffer_room = room(int64_t{config_.max_send_buf_size} - record->send_buffered);
    const std::size_t stream_room = room(record->send_flow.signed_window_size());
    const std::size_t reservation =
        std::min({buffer_room, stream_room, room(conn_send_.signed_window_size())});
    if (reservation == 0) {
      // Only the connection window stops it: a connection WINDOW_UPDATE wakes it.
      if (buffer_room > 0 && stream_room > 0) queue_conn_blocked(*record, stream_id, remaining);
      return verdict;
    }
    const auto len =
        static_cast<uint32_t>(std::min({reservation, remaining, std::size_t{peer_.max_frame_size}}));
    if (record->send_flow.send_data(len) != std::nullopt || conn_send_.send_data(len) != std::nullopt)
      return FlowControlError{};
    verdict.sent = len;
    verdict.done = len == remaining;
    ends = end_stream && verdict.done;
    queue_data(stream_id, data.substr(offset, len), ends);
  } else {
    queue_data(stream_id, {}, end_stream);
    verdict.done = true;
  }
  if (ends) {
    record->state.send_close();
    verdict.flags = finish_send(stream_id, verdict, dropped);
  }
  verdict.flags |= wake_if_grown(before);
  return verdict;
}

template <class Obj>
auto Streams<Obj>::send_trailers(uint32_t stream_id, const http::HeaderMap& trailers,
                                 std::vector<Obj>& dropped) -> SendVerdict<Obj> {
  SendVerdict<Obj> verdict;
  Record* record = sender(stream_id, verdict);
  if (record == nullptr) return verdict;
  const std::size_t before = pending_.size();
  append_trailers(pending_, encoder_, stream_id, trailers, peer_.max_frame_size);
  record->state.send_close();
  verdict.done = true;
  verdict.flags = finish_send(stream_id, verdict, dropped) | wake_if_grown(before);
  return verdict;
}

template <class Obj>
auto Streams<Obj>::send_response_head(uint32_t stream_id, uint32_t status, const http::HeaderMap* headers,
                                      bool end_stream, std::vector<Obj>& dropped)
    -> std::variant<SendVerdict<Obj>, Error, InvalidArgument> {
  // RFC 9113 section 8.2.2: no connection-specific fields, te only as "trailers".
  if (headers != nullptr && has_connection_specific_field(*headers))
    return user_error(UserErrorKind::kMalformedHeaders);
  SendVerdict<Obj> verdict;
  Record* record = find(stream_id);
  if (record == nullptr || record->state.is_closed()) {
    verdict.stopped = record != nullptr ? stop_of(record->state) : Stop{};
    return verdict;
  }
  if (auto refused = check_status(status)) return std::move(*refused);
  if (auto refused = record->state.send_open(end_stream)) return std::move(*refused);
  const std::size_t before = pending_.size();
  const auto appended = append_response_headers(pending_, encoder_, stream_id, status, headers, end_stream,
                                                config_.auto_date_header, peer_.max_frame_size);
  VANTRIC_INVARIANT(!appended, "a checked status refused");
  verdict.done = true;
  if (end_stream) verdict.flags = finish_send(stream_id, verdict, dropped);
  verdict.flags |= wake_if_grown(before);
  return verdict;
}

// ---- resets -------------------------------------------------------------------------

template <class Obj>
auto Streams<Obj>::reset_live(uint32_t stream_id, uint32_t reason, Initiator initiator,
                              MonoClock::time_point now, std::vector<Obj>& dropped, bool even_if_closed)
    -> LocalResetVerdict<Obj> {
  Record& record = *find(stream_id);
  const std::size_t before = pending_.size();
  LocalResetVerdict<Obj> verdict;
  verdict.handle = record.handle.share();
  const bool was_closed = record.state.is_closed();
  record.state.set_reset(stream_id, reason, initiator);
  if (Stop stop = stop_of(record.state); stop.reason) verdict.stop = stop;
  release_held_capacity(record);
  if (!was_closed || even_if_closed) {
    append_rst_stream(pending_, stream_id, reason);
    // The peer's frames already in flight are ignored for a while (RFC 9113
    // section 5.4.2); a full store leaves them to the closed-stream rule.
    reset_store_.store(stream_id, now);
  }
  verdict.flags = close_out(stream_id, dropped) | wake_if_grown(before);
  return verdict;
}

template <class Obj>
auto Streams<Obj>::reset_stream(uint32_t stream_id, uint32_t reason, Initiator initiator,
                                MonoClock::time_point now, std::vector<Obj>& dropped)
    -> LocalResetVerdict<Obj> {
  if (find(stream_id) == nullptr) return {};
  return reset_live(stream_id, reason, initiator, now, dropped);
}

template <class Obj>
auto Streams<Obj>::reset_on_error(uint32_t stream_id, uint32_t reason, MonoClock::time_point now,
                                  std::vector<Obj>& dropped) -> Result<LocalResetVerdict<Obj>> {
  // A stream we reset already is not reset twice: its late frames are
  // ignored (RFC 9113 section 5.1, "closed").
  Record* record = find(stream_id);
  if (record != nullptr ? record->state.is_local_error() : reset_store_.contains(stream_id, now))
    return LocalResetVerdict<Obj>{};
  // A peer that keeps making us reset streams costs work for nothing.
  ++local_error_resets_;
  if (config_.max_local_error_reset_streams && local_error_resets_ > *config_.max_local_error_reset_streams)
    return ProtocolError{code(Reason::kEnhanceYourCalm), "too many stream resets"};
  // A stream that ended, or that the peer reset, and still gets frames is
  // told so once (STREAM_CLOSED), then remembered as reset by us.
  if (record != nullptr) return reset_live(stream_id, reason, Initiator::kLibrary, now, dropped, true);
  reset_store_.store(stream_id, now);
  append_rst_stream(pending_, stream_id, reason);
  LocalResetVerdict<Obj> verdict;
  verdict.flags = kFlagWake;
  return verdict;
}

template <class Obj>
auto Streams<Obj>::aclose_body(uint32_t stream_id, MonoClock::time_point now, std::vector<Obj>& dropped)
    -> LocalResetVerdict<Obj> {
  Record* record = find(stream_id);
  if (record == nullptr) return {};
  if (record->recv_end_stream || record->state.is_closed()) {
    // Nothing more is coming: only what the readers held goes back.
    LocalResetVerdict<Obj> verdict;
    verdict.handle = record->handle.share();
    const std::size_t before = pending_.size();
    release_held_capacity(*record);
    verdict.flags = close_out(stream_id, dropped) | wake_if_grown(before);
    return verdict;
  }
  return reset_live(stream_id, code(Reason::kCancel), Initiator::kUser, now, dropped);
}

// ---- capacity -------------------------------------------------------------------------

template <class Obj>
uint32_t Streams<Obj>::release_capacity(uint32_t stream_id, uint32_t n, std::vector<Obj>& dropped) {
  Record* record = find(stream_id);
  // Octets reclaimed without the application were given back already.
  if (record == nullptr || record->recv_reclaimed > 0) return 0;
  // More than the stream holds cannot have been received on it.
  const uint32_t released = std::min(n, record->recv_unreleased);
  if (released == 0) return 0;
  const std::size_t before = pending_.size();
  record->recv_unreleased -= released;
  if (!record->state.is_closed() && !record->recv_end_stream) {
    const WindowResult given = record->recv_flow.assign_capacity(released);
    VANTRIC_INVARIANT(given == std::nullopt, "stream capacity released beyond the window");
    advertise(stream_id, record->recv_flow);
  }
  give_back_connection(released);
  uint32_t flags = 0;
  if (record->state.is_closed()) flags = close_out(stream_id, dropped);
  return flags | wake_if_grown(before);
}

template <class Obj>
void Streams<Obj>::release_data_frame(uint32_t stream_id, uint32_t payload_len) {
  if (payload_len < 1 || payload_len >= kDefaultDataFrameOverheadThreshold) return;
  Record* record = find(stream_id);
  if (record == nullptr) return;
  const uint32_t charge =
      std::min(record->data_budget_charged, kDefaultDataFrameOverheadThreshold - payload_len);
  record->data_budget_charged -= charge;
  budget_.release(charge);
}

template <class Obj>
void Streams<Obj>::accepted(uint32_t stream_id, std::vector<Obj>& dropped) {
  Record* record = find(stream_id);
  if (record == nullptr) return;
  record->awaiting_accept = false;
  if (!std::exchange(record->reset_before_accept, false)) return;
  if (pending_accept_resets_ > 0) --pending_accept_resets_;
  close_out(stream_id, dropped);
}

// ---- the end of the connection ------------------------------------------------------

template <class Obj>
uint32_t Streams<Obj>::send_goaway(uint32_t reason) {
  append_go_away(pending_, config_.server ? last_processed_id_ : 0, reason, {});
  return kFlagWake;
}

template <class Obj>
void Streams<Obj>::fail(Obj&& exc, std::string_view message, std::vector<std::pair<Obj, Stop>>& aborted,
                        std::vector<Obj>& dropped) {
  // The first error wins.
  if (failed())
    dropped.push_back(std::move(exc));
  else if (exc)
    error_object_ = std::move(exc);
  else
    error_message_ = std::string(message);
  std::vector<uint32_t> ids;
  for (auto& [id, record] : table_) {
    if (record.state.is_closed()) continue;
    record.state.abort(ConnError::io(IoKind::kConnectionAborted, error_message_));
    aborted.emplace_back(record.handle.share(), Stop{std::nullopt, true});
    ids.push_back(id);
  }
  for (uint32_t id : ids) close_out(id, dropped);
}

template <class Obj>
uint32_t Streams<Obj>::begin_graceful_shutdown() {
  if (graceful_) return 0;
  // RFC 9113 section 6.8: a GOAWAY with the largest id announces the end,
  // and the PING after it tells when the peer has seen it; its ACK
  // (recv_ping) sends the final GOAWAY.
  append_go_away(pending_, kMaxStreamId, code(Reason::kNoError), {});
  const auto ping_error = append_ping(pending_, kShutdownPing, false);
  VANTRIC_INVARIANT(!ping_error, "the shutdown PING is not 8 octets");
  mark_graceful();
  return kFlagWake;
}

}  // namespace vantric::h2
