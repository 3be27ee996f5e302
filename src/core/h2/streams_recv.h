// The receive path of the connection state: one method per received frame
// event (declared in streams.h, which includes this file at its end).
//
// Closing a stream out: once its state is Closed it is taken off the active
// count (and gives back its concurrency slot), and it leaves the table when
// neither received octets the application holds nor queued DATA octets are
// left (and no reset-before-accept awaits its accept).  A server whose final GOAWAY is out stops accepting
// once no stream is active, and every close-out may let us answer the peer's GOAWAY.
//
// A frame for a stream not in the table falls into one of three classes:
// ignored (we reset the stream lately, or a server's id beyond our final
// GOAWAY), closed (an id of the opening side below the ids in use), or idle
// (anything else, a connection error: RFC 9113 section 5.1).
#pragma once

#include <string>
#include <utility>

namespace vantric::h2 {

template <class Obj>
typename Streams<Obj>::Missing Streams<Obj>::classify_missing(uint32_t stream_id,
                                                              MonoClock::time_point now) const {
  if (reset_store_.contains(stream_id, now) || (config_.server && stream_id > max_stream_id_))
    return Missing::kIgnored;
  if (stream_id != 0 && is_client_initiated(stream_id)) {
    if (config_.server ? stream_id <= peer_highest_id_ : stream_id < next_stream_id_) return Missing::kClosed;
  }
  return Missing::kIdle;
}

template <class Obj>
Error Streams<Obj>::idle_error(uint32_t stream_id) {
  // RFC 9113 section 5.1: frames other than HEADERS or PRIORITY on an idle
  // stream are a connection error of type PROTOCOL_ERROR.
  return ProtocolError{code(Reason::kProtocolError), "frame on idle stream " + std::to_string(stream_id)};
}

template <class Obj>
uint32_t Streams<Obj>::close_out(uint32_t stream_id, std::vector<Obj>& dropped) {
  uint32_t flags = 0;
  Record* record = find(stream_id);
  if (record != nullptr && record->state.is_closed()) {
    if (!record->counted_closed) {
      record->counted_closed = true;
      if (num_streams_ > 0) --num_streams_;
      if (record->holds_slot) {
        record->holds_slot = false;
        release_slot_count();
        flags |= kFlagSlotFreed;
      }
    }
    if (removable(*record)) dropped.push_back(remove_stream(stream_id));
  }
  if (config_.server && shutdown_final_ && num_streams_ == 0) flags |= kFlagStopAccepting;
  return flags | maybe_goaway_reply();
}

template <class Obj>
void Streams<Obj>::give_back_connection(uint32_t octets) {
  if (octets == 0) return;
  const WindowResult given = conn_recv_.assign_capacity(octets);
  VANTRIC_INVARIANT(given == std::nullopt, "connection capacity given back beyond the window");
  advertise(0, conn_recv_);
}

template <class Obj>
void Streams<Obj>::release_held_capacity(Record& record) {
  const uint32_t held = std::exchange(record.recv_unreleased, 0);
  record.recv_reclaimed += held;
  give_back_connection(held);
  budget_.release(std::exchange(record.data_budget_charged, 0));
}

template <class Obj>
std::optional<Error> Streams<Obj>::charge_connection(uint32_t octets) {
  // RFC 9113 section 6.9.1: a sender MUST NOT send a flow-controlled frame
  // longer than the space available in the receiver's window.
  if (conn_recv_.signed_window_size() < static_cast<int64_t>(octets) ||
      conn_recv_.dec_recv_window(octets) != std::nullopt)
    return FlowControlError{};
  return std::nullopt;
}

template <class Obj>
std::optional<Error> Streams<Obj>::track_content_length(Record& record, const RecvHeaders& frame) {
  // A response to HEAD has no content whatever its content-length says
  // (RFC 9110 section 9.3.2).
  if (record.is_head) {
    record.content_length = ContentLength(true);
    return std::nullopt;
  }
  const auto malformed = [&] { return library_reset(frame.stream_id, Reason::kProtocolError); };
  if (frame.content_length_invalid) return malformed();
  if (frame.content_length) record.content_length.set(*frame.content_length);
  // RFC 9113 section 8.1.1: a message whose content-length differs from the
  // sum of its DATA payloads is malformed; 204 and 304 responses announce a
  // length without content (RFC 9110 sections 15.3.5 and 15.4.5).
  const bool no_content = frame.status && (*frame.status == 204 || *frame.status == 304);
  if (frame.end_stream && frame.content_length.value_or(0) != 0 && !no_content) return malformed();
  return std::nullopt;
}

template <class Obj>
auto Streams<Obj>::insert_local_stream(uint32_t stream_id, Obj&& handle, bool end_stream, bool is_head)
    -> Record& {
  Record& record = insert_stream(stream_id, std::move(handle));
  const auto refused = record.state.send_open(end_stream);
  VANTRIC_INVARIANT(!refused, "a new stream refused its head");
  record.is_head = is_head;
  record.content_length = ContentLength(is_head);
  record.holds_slot = true;
  ++num_streams_;
  return record;
}

// ---- HEADERS ------------------------------------------------------------------------

template <class Obj>
auto Streams<Obj>::open_remote_stream(const RecvHeaders& frame, Obj& spare) -> Result<HeadersVerdict<Obj>> {
  const uint32_t id = frame.stream_id;
  // RFC 9113 section 5.1.1: a new stream id must be odd (client-initiated)
  // and above every id the peer opened before.
  if (!is_client_initiated(id) || id <= peer_highest_id_)
    return ProtocolError{code(Reason::kProtocolError), "invalid new stream id " + std::to_string(id)};
  peer_highest_id_ = id;
  // RFC 9113 section 8.1.1: a malformed request is a stream error of type
  // PROTOCOL_ERROR; the id is used up all the same.
  if (!is_request_head(frame.shape, config_.enable_connect_protocol))
    return library_reset(id, Reason::kProtocolError);
  // RFC 9113 section 5.1.2: beyond our MAX_CONCURRENT_STREAMS the stream is
  // refused (REFUSED_STREAM), the connection goes on.
  if (config_.max_concurrent_streams && num_streams_ >= *config_.max_concurrent_streams)
    return library_reset(id, Reason::kRefusedStream);
  HeadersVerdict<Obj> verdict;
  if (!spare) {
    verdict.spare_missing = true;
    return verdict;
  }
  Record& record = insert_stream(id, std::move(spare));
  const auto opened = record.state.recv_open(frame.end_stream, frame.is_informational());
  VANTRIC_INVARIANT(!std::holds_alternative<Error>(opened), "an idle stream refused its head");
  record.recv_end_stream = frame.end_stream;
  record.awaiting_accept = true;
  ++num_streams_;
  last_processed_id_ = id;
  if (auto error = track_content_length(record, frame)) return std::move(*error);
  verdict.kind = HeadersKind::kOpened;
  verdict.handle = record.handle.share();
  verdict.eof = frame.end_stream;
  return verdict;
}

template <class Obj>
auto Streams<Obj>::recv_headers(const RecvHeaders& frame, Obj& spare, MonoClock::time_point now,
                                std::vector<Obj>& dropped) -> Result<HeadersVerdict<Obj>> {
  const uint32_t id = frame.stream_id;
  const std::size_t before = pending_.size();
  HeadersVerdict<Obj> verdict;
  if (Record* record = find(id)) {
    StreamState& state = record->state;
    if (state.is_closed()) {
      // Late headers on a stream we reset are dropped; on a stream that ended
      // or that the peer reset they are STREAM_CLOSED (RFC 9113 section 5.1).
      if (classify_closed(*record) == Missing::kIgnored) return verdict;
      release_held_capacity(*record);
      const uint32_t flags = close_out(id, dropped);
      if (!config_.server) return library_reset(id, Reason::kStreamClosed);
      // As for a stream not in the table: no id at or below the highest the
      // peer opened can open a stream again (RFC 9113 section 5.1.1).
      if (reset_store_.contains(id, now) || id > max_stream_id_) {
        verdict.flags = flags | wake_if_grown(before);
        return verdict;
      }
      return ProtocolError{code(Reason::kProtocolError), "invalid new stream id " + std::to_string(id)};
    }
    // RFC 9113 section 5.1: after the peer's END_STREAM, "If an endpoint
    // receives additional frames, other than WINDOW_UPDATE, PRIORITY, or
    // RST_STREAM, for a stream that is in this state, it MUST respond with a
    // stream error of type STREAM_CLOSED."
    if (record->recv_end_stream) return library_reset(id, Reason::kStreamClosed);
    if (state.is_recv_streaming()) {
      // RFC 9113 section 8.1: a header block after the DATA frames is the
      // trailer section and must end the stream, without pseudo-headers, and
      // whole (the fields past our header list limit are not dropped silently).
      if (!frame.end_stream || !is_trailer_section(frame.shape) || frame.shape.over_size)
        return library_reset(id, Reason::kProtocolError);
      if (!record->content_length.is_satisfied()) return library_reset(id, Reason::kProtocolError);
      if (auto refused = state.recv_close()) return std::move(*refused);
      record->recv_end_stream = true;
      verdict.kind = HeadersKind::kTrailers;
      verdict.handle = record->handle.share();
      verdict.eof = true;
      verdict.flags = close_out(id, dropped) | wake_if_grown(before);
      return verdict;
    }
    // RFC 9113 section 8.1: an informational (1xx) head cannot end the stream.
    if (frame.end_stream && frame.is_informational()) return library_reset(id, Reason::kProtocolError);
    // A client's response head: RFC 9113 section 8.3.2; one cut short by our
    // header list limit cannot be delivered as if it were whole (RFC 9113
    // section 10.5.1: "A client can discard responses that it cannot process").
    if (!config_.server && (!is_response_head(frame.shape) || frame.shape.over_size))
      return library_reset(id, Reason::kProtocolError);
    auto opened = state.recv_open(frame.end_stream, frame.is_informational());
    if (auto* refused = std::get_if<Error>(&opened)) return std::move(*refused);
    if (frame.is_informational()) return verdict;
    record->recv_end_stream = frame.end_stream;
    if (auto error = track_content_length(*record, frame)) return std::move(*error);
    verdict.kind = HeadersKind::kHead;
    verdict.handle = record->handle.share();
    verdict.eof = frame.end_stream;
    if (frame.end_stream) verdict.flags = close_out(id, dropped);
    verdict.flags |= wake_if_grown(before);
    return verdict;
  }
  if (reset_store_.contains(id, now)) return verdict;
  if (config_.server) {
    if (id > max_stream_id_) return verdict;
    return open_remote_stream(frame, spare);
  }
  if (classify_missing(id, now) == Missing::kClosed) return library_reset(id, Reason::kStreamClosed);
  return idle_error(id);
}

// ---- DATA ---------------------------------------------------------------------------

template <class Obj>
auto Streams<Obj>::recv_data(const RecvData& frame, MonoClock::time_point now, std::vector<Obj>& dropped)
    -> Result<DataVerdict<Obj>> {
  const uint32_t id = frame.stream_id;
  const uint32_t len = frame.flow_controlled_len;
  const std::size_t before = pending_.size();
  DataVerdict<Obj> verdict;
  Record* record = find(id);
  // A stream closed, or half-closed (remote) after the peer's END_STREAM,
  // takes no DATA: RFC 9113 section 5.1, "If an endpoint receives additional
  // frames, other than WINDOW_UPDATE, PRIORITY, or RST_STREAM, for a stream
  // that is in this state, it MUST respond with a stream error of type
  // STREAM_CLOSED."
  if (record == nullptr || record->state.is_closed() || record->recv_end_stream) {
    const Missing kind = record == nullptr           ? classify_missing(id, now)
                         : record->state.is_closed() ? classify_closed(*record)
                                                     : Missing::kClosed;
    if (kind == Missing::kIdle) return idle_error(id);
    // The octets still count against the connection window, which the peer
    // cannot know we will not use (RFC 9113 section 6.9): take them and give
    // them straight back.
    if (auto error = charge_connection(len)) return std::move(*error);
    give_back_connection(len);
    if (kind == Missing::kClosed) return library_reset(id, Reason::kStreamClosed);
    verdict.flags = wake_if_grown(before);
    return verdict;
  }
  if (!record->state.is_recv_streaming())
    return ProtocolError{code(Reason::kProtocolError), "unexpected DATA on stream " + std::to_string(id)};
  if (auto error = charge_connection(len)) return std::move(*error);
  if (record->recv_flow.signed_window_size() < static_cast<int64_t>(len) ||
      record->recv_flow.dec_recv_window(len) != std::nullopt) {
    give_back_connection(len);
    return library_reset(id, Reason::kFlowControlError);
  }
  if (!record->content_length.dec(frame.payload_len) ||
      (frame.end_stream && !record->content_length.is_satisfied())) {
    give_back_connection(len);
    return library_reset(id, Reason::kProtocolError);
  }
  // The padding never reaches the application: it is released at once.
  const uint32_t padding = len - frame.payload_len;
  record->recv_unreleased += frame.payload_len;
  if (padding > 0) {
    if (!frame.end_stream) {
      const WindowResult given = record->recv_flow.assign_capacity(padding);
      VANTRIC_INVARIANT(given == std::nullopt, "stream capacity given back beyond the window");
      advertise(id, record->recv_flow);
    }
    give_back_connection(padding);
  }
  verdict.handle = record->handle.share();
  if (frame.end_stream) {
    if (auto refused = record->state.recv_close()) return std::move(*refused);
    record->recv_end_stream = true;
    verdict.deliver = true;
    verdict.eof = true;
    verdict.flags = close_out(id, dropped) | wake_if_grown(before);
    return verdict;
  }
  auto charge = budget_.record(frame.payload_len);
  if (auto* error = std::get_if<Error>(&charge)) return std::move(*error);
  record->data_budget_charged += std::get<uint32_t>(charge);
  verdict.deliver = verdict.budgeted = frame.payload_len > 0;
  verdict.flags = wake_if_grown(before);
  return verdict;
}

// ---- WINDOW_UPDATE, RST_STREAM ------------------------------------------------------

template <class Obj>
std::optional<Error> Streams<Obj>::recv_window_update(uint32_t stream_id, uint32_t increment,
                                                      MonoClock::time_point now, std::vector<Obj>& wake) {
  // RFC 9113 section 6.9.1: a window above 2^31 - 1 is FLOW_CONTROL_ERROR,
  // of the connection for stream 0, else of the stream.
  auto grow = [increment](FlowControl& flow) {
    return flow.inc_window(increment) == std::nullopt && flow.assign_capacity(increment) == std::nullopt;
  };
  if (stream_id == 0) {
    if (static_cast<int64_t>(conn_send_.signed_window_size()) + increment > kMaxWindowSize ||
        !grow(conn_send_))
      return FlowControlError{};
    wake_conn_blocked(wake);
    return std::nullopt;
  }
  if (Record* record = find(stream_id)) {
    if (static_cast<int64_t>(record->send_flow.signed_window_size()) + increment > kMaxWindowSize ||
        !grow(record->send_flow))
      return library_reset(stream_id, Reason::kFlowControlError);
    if (record->handle) wake.push_back(record->handle.share());
    return std::nullopt;
  }
  if (classify_missing(stream_id, now) == Missing::kIdle) return idle_error(stream_id);
  return std::nullopt;
}

template <class Obj>
void Streams<Obj>::queue_conn_blocked(Record& record, uint32_t stream_id, std::size_t want) {
  record.blocked_want = static_cast<uint32_t>(std::min<std::size_t>(want, UINT32_MAX));
  if (record.conn_blocked) return;
  record.conn_blocked = true;
  conn_blocked_.push_back(stream_id);
}

template <class Obj>
void Streams<Obj>::wake_conn_blocked(std::vector<Obj>& wake) {
  // Wake the first stopped senders until what they were sending covers the
  // window; each sends in turn and queues itself again behind the others if
  // the window runs out (RFC 9113 section 5.3: the share is ours to choose).
  int64_t window = conn_send_.signed_window_size();
  while (window > 0 && !conn_blocked_.empty()) {
    const uint32_t id = conn_blocked_.front();
    conn_blocked_.pop_front();
    Record* record = find(id);
    if (record == nullptr || !record->conn_blocked) continue;
    record->conn_blocked = false;
    if (!record->state.is_send_streaming() || !record->handle) continue;
    wake.push_back(record->handle.share());
    const int64_t room = std::min<int64_t>(record->send_flow.signed_window_size(),
                                           int64_t{config_.max_send_buf_size} - record->send_buffered);
    window -= std::clamp<int64_t>(std::min<int64_t>(room, record->blocked_want), 1, window);
  }
}

template <class Obj>
auto Streams<Obj>::recv_reset(uint32_t stream_id, uint32_t error_code, MonoClock::time_point now,
                              std::vector<Obj>& dropped) -> Result<std::optional<ResetVerdict<Obj>>> {
  // RFC 9113 section 6.4.
  if (stream_id == 0) return ProtocolError{code(Reason::kProtocolError), "RST_STREAM on stream 0"};
  const std::size_t before = pending_.size();
  Record* record = find(stream_id);
  if (record == nullptr) {
    if (classify_missing(stream_id, now) == Missing::kIdle) return idle_error(stream_id);
    return std::optional<ResetVerdict<Obj>>();
  }
  // A peer that opens requests and resets them before the application sees
  // them makes work for nothing: only so many may wait at a time.
  if (config_.server && record->awaiting_accept && !record->reset_before_accept) {
    if (pending_accept_resets_ >= config_.max_pending_accept_reset_streams)
      return ProtocolError{code(Reason::kEnhanceYourCalm), "too_many_resets"};
    ++pending_accept_resets_;
    record->reset_before_accept = true;
  }
  ResetVerdict<Obj> verdict;
  verdict.handle = record->handle.share();
  verdict.reason = error_code;
  verdict.notify_body = !record->recv_end_stream;
  record->state.recv_reset(stream_id, error_code, record->send_buffered > 0);
  release_held_capacity(*record);
  verdict.flags = close_out(stream_id, dropped) | wake_if_grown(before);
  return std::optional<ResetVerdict<Obj>>(std::move(verdict));
}

// ---- SETTINGS, PING, GOAWAY ---------------------------------------------------------

template <class Obj>
template <class ApplyLocal>
auto Streams<Obj>::recv_settings(const Settings& settings, bool ack, ApplyLocal&& apply_local)
    -> Result<SettingsVerdict<Obj>> {
  SettingsVerdict<Obj> verdict;
  if (ack) {
    // RFC 9113 section 6.5.3: our settings apply once acknowledged.
    if (unacked_settings_ == 0)
      return ProtocolError{code(Reason::kProtocolError), "received unexpected settings ack"};
    --unacked_settings_;
    apply_local(std::as_const(config_));
    const uint32_t previous = std::exchange(local_initial_window_, config_.initial_window_size);
    const bool grows = config_.initial_window_size >= previous;
    const uint32_t delta =
        grows ? config_.initial_window_size - previous : previous - config_.initial_window_size;
    for (auto& entry : table_) {
      FlowControl& flow = entry.second.recv_flow;
      const bool applied =
          grows ? flow.inc_window(delta) == std::nullopt && flow.assign_capacity(delta) == std::nullopt
                : flow.dec_recv_window(delta) == std::nullopt;
      if (!applied) return FlowControlError{};
    }
    return verdict;
  }
  const std::size_t before = pending_.size();
  append_settings_ack(pending_);
  verdict.initial = !std::exchange(peer_settings_seen_, true);
  if (settings.header_table_size) {
    peer_.header_table_size = *settings.header_table_size;
    encoder_.set_header_table_size(*settings.header_table_size);
  }
  if (settings.max_frame_size) peer_.max_frame_size = *settings.max_frame_size;
  if (settings.max_concurrent_streams) {
    peer_.max_concurrent_streams = settings.max_concurrent_streams;
    if (!config_.server) {
      stream_limit_ = settings.max_concurrent_streams;
      verdict.flags |= kFlagSlotFreed;
    }
  }
  if (settings.initial_window_size && *settings.initial_window_size != peer_.initial_window_size) {
    // RFC 9113 section 6.9.2: the change applies to every stream's send
    // window, which may go negative.
    const uint32_t target = *settings.initial_window_size;
    const bool grows = target > peer_.initial_window_size;
    const uint32_t delta = grows ? target - peer_.initial_window_size : peer_.initial_window_size - target;
    peer_.initial_window_size = target;
    for (auto& entry : table_) {
      Record& record = entry.second;
      if (record.state.is_send_closed()) continue;
      FlowControl& flow = record.send_flow;
      if (!grows) {
        if (flow.dec_recv_window(delta) != std::nullopt) return FlowControlError{};
        continue;
      }
      if (static_cast<int64_t>(flow.signed_window_size()) + delta > kMaxWindowSize ||
          flow.inc_window(delta) != std::nullopt || flow.assign_capacity(delta) != std::nullopt)
        return FlowControlError{};
      if (record.handle) verdict.wake.push_back(record.handle.share());
    }
  }
  verdict.flags |= wake_if_grown(before);
  return verdict;
}

template <class Obj>
uint32_t Streams<Obj>::recv_ping(std::string_view data, bool ack) {
  const std::size_t before = pending_.size();
  if (!ack) {
    // RFC 9113 section 6.7: answer with the same payload and ACK set.
    const auto frame_error = append_ping(pending_, data, true);
    VANTRIC_INVARIANT(!frame_error, "PING payload of a decoded frame not 8 octets");
    return wake_if_grown(before);
  }
  if (data != kShutdownPing || !config_.server || !graceful_ || shutdown_final_) return 0;
  // The peer has seen our first GOAWAY: every request it sent before is in,
  // so the final GOAWAY names the last one we took.
  shutdown_final_ = true;
  max_stream_id_ = last_processed_id_;
  append_go_away(pending_, last_processed_id_, code(Reason::kNoError), {});
  return wake_if_grown(before) | (num_streams_ == 0 ? uint32_t{kFlagStopAccepting} : 0u);
}

template <class Obj>
auto Streams<Obj>::recv_go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug_data,
                                std::vector<Obj>& dropped) -> Result<GoAwayVerdict<Obj>> {
  // RFC 9113 section 6.8: "Endpoints MUST NOT increase the value they send
  // in the last stream identifier".
  if (peer_goaway_ && last_stream_id > peer_goaway_->last_stream_id)
    return ProtocolError{code(Reason::kProtocolError), "GOAWAY may not raise last_stream_id"};
  const std::size_t before = pending_.size();
  peer_goaway_ = GoAwayFacts{last_stream_id, error_code, std::string(debug_data)};
  GoAwayVerdict<Obj> verdict;
  verdict.reason = error_code;
  verdict.flags = kFlagSlotFreed;
  if (!config_.server) {
    // Requests above the last stream id were not processed and may be
    // retried elsewhere.
    std::vector<uint32_t> aborted;
    for (auto& [id, record] : table_) {
      if (id <= last_stream_id || record.state.is_closed()) continue;
      record.state.recv_reset(id, error_code, false);
      verdict.aborted.push_back(record.handle.share());
      aborted.push_back(id);
    }
    for (uint32_t id : aborted) verdict.flags |= close_out(id, dropped);
  }
  verdict.flags |= wake_if_grown(before);
  return verdict;
}

template <class Obj>
uint32_t Streams<Obj>::maybe_goaway_reply() {
  // A graceful first GOAWAY (last stream id 2^31 - 1) announces a second one;
  // only a final GOAWAY is answered.
  if (goaway_replied_ || failed() || num_streams_ != 0 || !peer_goaway_ ||
      peer_goaway_->last_stream_id >= kMaxStreamId)
    return 0;
  goaway_replied_ = true;
  append_go_away(pending_, config_.server ? last_processed_id_ : 0, code(Reason::kNoError), {});
  error_message_ = "connection closed: GOAWAY exchanged";
  return kFlagWake | kFlagConnDone;
}

}  // namespace vantric::h2
