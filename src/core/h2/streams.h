// The state of one HTTP/2 connection, client or server, apart from its frame
// reader: the stream table, the stream-id allocator, the concurrency counts,
// the connection flow-control windows, the local and peer settings, the
// stored connection error and GOAWAY facts, the HPACK encoder and the
// pending-send buffer a single writer drains to the transport.
//
// Plain data with no lock of its own: the host class holds it under its state
// mutex and keeps the frame reader (with the HPACK decoder) behind a second
// mutex, so decoding a large batch never blocks the senders.  `Obj` is the
// binding's owning handle of a host object (stream handles, task handles,
// the stored exception): move-only, `share()` makes another owner,
// `explicit operator bool` says whether it holds one.  Handles that leave the
// state are returned to the caller, never released here.
//
// Frames any operation produces are appended to the pending buffer in the
// order the operations ran.  The writer takes the whole buffer at once
// (take_pending), writes it, and reports it written (credit_written), which
// lowers the queued-bytes count of each stream whose DATA the batch held.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/byte_buffer.h"
#include "core/h2/constants.h"
#include "core/h2/content_length.h"
#include "core/h2/data_frame_budget.h"
#include "core/h2/flow_control.h"
#include "core/h2/frame.h"
#include "core/h2/frame_writer.h"
#include "core/h2/hpack/encoder.h"
#include "core/h2/message_rules.h"
#include "core/h2/stream_state.h"
#include "core/invariant.h"

namespace vantric::h2 {

using MonoClock = std::chrono::steady_clock;

// The constructor arguments of a connection.
struct StreamsConfig {
  bool server = false;
  uint32_t initial_window_size = kDefaultInitialWindowSize;  // our SETTINGS_INITIAL_WINDOW_SIZE
  uint32_t connection_window = kDefaultInitialWindowSize;    // target connection receive window
  uint32_t max_frame_size = kDefaultMaxFrameSize;            // our SETTINGS_MAX_FRAME_SIZE
  uint32_t max_header_list_size = 16777216;                  // our SETTINGS_MAX_HEADER_LIST_SIZE
  uint32_t max_send_buf_size = 0;                  // bytes of one stream that may wait in the pending buffer
  std::optional<uint32_t> max_concurrent_streams;  // server: advertised and enforced
  uint32_t max_pending_accept_reset_streams = 20;
  std::optional<uint32_t> max_local_error_reset_streams = 1024;  // nullopt: no cap
  std::optional<uint32_t> data_frame_budget;                     // nullopt: from connection_window
  bool auto_date_header = true;
  std::optional<bool> enable_push;  // nullopt: left out of our SETTINGS
  // Server: announce SETTINGS_ENABLE_CONNECT_PROTOCOL and accept extended
  // CONNECT requests (RFC 8441), such as WebSocket over a stream.
  bool enable_connect_protocol = false;
};

// The bad-argument message for a configuration the connection refuses
// (max_frame_size out of range, a window above 2^31 - 1), else nullopt.
std::optional<std::string> check_streams_config(const StreamsConfig& config);

// The SETTINGS frame we announce for `config` (RFC 9113 section 6.5.2).
Settings local_settings(const StreamsConfig& config);

class FrameReader;

// Applies our acknowledged settings to the connection's frame reader: the
// largest frame and header list we accept, and the HPACK table limit.
void apply_local_settings(FrameReader& reader, const StreamsConfig& config);

// A window of `size` (at most 2^31 - 1), all of it available.
FlowControl open_window(uint32_t size);

// What the peer announced; the protocol defaults until its SETTINGS arrives.
struct PeerSettings {
  uint32_t initial_window_size = kDefaultInitialWindowSize;
  uint32_t max_frame_size = kDefaultMaxFrameSize;
  uint32_t header_table_size = kDefaultHeaderTableSize;
  std::optional<uint32_t> max_concurrent_streams;
};

// The peer's GOAWAY.
struct GoAwayFacts {
  uint32_t last_stream_id = 0;
  uint32_t error_code = 0;
  std::string debug_data;
};

// Recently reset streams whose late frames are ignored: at most kCapacity ids,
// each lapsing once more than kLapse has passed since it was stored.
class ResetStore {
 public:
  static constexpr std::size_t kCapacity = 50;
  static constexpr MonoClock::duration kLapse = std::chrono::seconds(1);

  // Purges lapsed ids, then stores `id` when there is room; false when the
  // store is full of live ids.  Throws std::bad_alloc.
  bool store(uint32_t id, MonoClock::time_point now);
  // Stored and not lapsed at `now`.
  bool contains(uint32_t id, MonoClock::time_point now) const;
  std::size_t size() const noexcept { return stored_.size(); }

 private:
  std::map<uint32_t, MonoClock::time_point> stored_;
};

// One stream of the table.
template <class Obj>
struct StreamRecord {
  StreamState state;
  Obj handle;                        // the driver's stream object, notified on its behalf
  FlowControl send_flow;             // what we may still send on the stream
  FlowControl recv_flow;             // what we advertised and what the peer may send
  uint32_t send_buffered = 0;        // DATA octets queued and not yet credited
  uint32_t recv_unreleased = 0;      // received octets the application has not released
  uint32_t recv_reclaimed = 0;       // received octets given back without the application
  uint32_t data_budget_charged = 0;  // DATA-framing budget held by undelivered payloads
  ContentLength content_length;
  bool is_head = false;              // a response to HEAD
  bool recv_end_stream = false;      // the peer's END_STREAM arrived
  bool counted_closed = false;       // its close was taken off num_streams
  bool holds_slot = false;           // opened by us on a claimed concurrency slot
  bool awaiting_accept = false;      // server: the application has not accepted it yet
  bool reset_before_accept = false;  // counted in the resets before accept
  bool conn_blocked = false;         // waits in the queue for connection window
  uint32_t blocked_want = 0;         // octets it was sending when the connection window stopped it
};

// The facts of a received header block the connection reads.
struct RecvHeaders {
  uint32_t stream_id = 0;
  bool end_stream = false;
  std::optional<uint16_t> status;
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
  MessageShape shape;  // which pseudo-headers it carried, and the facts the message rules read

  bool is_informational() const { return status && *status >= 100 && *status <= 199; }
};

// The facts of a received DATA frame.
struct RecvData {
  uint32_t stream_id = 0;
  uint32_t flow_controlled_len = 0;  // payload, padding and pad-length octet
  uint32_t payload_len = 0;          // without the padding
  bool end_stream = false;
};

template <class Obj>
struct HeadersVerdict {
  HeadersKind kind = HeadersKind::kIgnored;
  Obj handle;  // the stream's own, or the spare of a new stream
  bool eof = false;
  uint32_t flags = 0;
  // Server: the frame opens a stream and no spare handle was given; nothing
  // changed after the checks that precede the opening.
  bool spare_missing = false;
};

template <class Obj>
struct DataVerdict {
  Obj handle;
  bool deliver = false;   // the payload goes to the stream's readers
  bool budgeted = false;  // ... charged to the DATA-framing budget
  bool eof = false;
  uint32_t flags = 0;
};

template <class Obj>
struct ResetVerdict {
  Obj handle;
  uint32_t reason = 0;
  bool notify_body = false;  // the peer's side had not ended: its readers must see the stop
  uint32_t flags = 0;
};

template <class Obj>
struct SettingsVerdict {
  bool initial = false;   // the peer's first SETTINGS
  std::vector<Obj> wake;  // streams whose send window grew
  uint32_t flags = 0;
};

// A stream the peer's GOAWAY aborted: its handle and the GOAWAY's error code.
template <class Obj>
struct GoAwayVerdict {
  std::vector<Obj> aborted;
  uint32_t reason = 0;
  uint32_t flags = 0;
};

// What the waiters of a stream that can no longer send or read are told:
// the error code that stopped it (nullopt for a clean end or a local
// cancel) and whether the connection ended it.
struct Stop {
  std::optional<uint32_t> reason;
  bool conn = false;
};

template <class Obj>
struct SendVerdict {
  uint32_t sent = 0;            // octets of data[offset:] framed and queued
  bool done = false;            // the last octet (and END_STREAM when asked) is queued
  std::optional<Stop> stopped;  // the stream cannot send
  uint32_t flags = 0;
  // Server, response complete before the request body: its readers and the
  // stop they must see.
  Obj handle;
  std::optional<Stop> reader_stop;
};

// Our reset of a stream.
template <class Obj>
struct LocalResetVerdict {
  Obj handle;                // empty when no live stream
  std::optional<Stop> stop;  // nullopt for a clean end by a local cancel
  uint32_t flags = 0;
};

// A value or the error to raise.
template <class T>
using Result = std::variant<T, Error>;

template <class Obj>
class Streams {
 public:
  using Record = StreamRecord<Obj>;
  using Table = std::map<uint32_t, Record>;
  // (stream id, DATA payload octets) of the pending or in-flight bytes.
  using Credit = std::pair<uint32_t, uint32_t>;

  // `config` passed check_streams_config.
  explicit Streams(const StreamsConfig& config)
      : config_(config),
        next_stream_id_(config.server ? 2 : 1),
        conn_send_(open_window(kDefaultInitialWindowSize)),
        conn_recv_(open_window(kDefaultInitialWindowSize)),
        budget_(config.data_frame_budget, config.connection_window) {}

  // ---- handshake ------------------------------------------------------------------

  // Queues the client preface (client only), our SETTINGS, and a connection
  // WINDOW_UPDATE when the target receive window exceeds the protocol default
  // by at least half of it (RFC 9113 sections 3.4, 6.5 and 6.9.2).  A second
  // call queues nothing.  Throws std::bad_alloc, leaving the state unchanged.
  void begin() {
    if (began_) return;
    ByteBuffer frames;
    if (!config_.server) frames.append(kPreface);
    const auto settings_error = append_settings(frames, local_settings(config_));
    VANTRIC_INVARIANT(!settings_error, "settings of a checked configuration refused");
    pending_.append(frames.view());
    began_ = true;
    ++unacked_settings_;
    const uint32_t target = std::max(config_.connection_window, kDefaultInitialWindowSize);
    if (target > kDefaultInitialWindowSize) {
      const WindowResult grown = conn_recv_.assign_capacity(target - kDefaultInitialWindowSize);
      VANTRIC_INVARIANT(grown == std::nullopt, "connection window target out of range");
      advertise(0, conn_recv_);
    }
  }

  // The window-update rule: when the capacity we are willing to grant exceeds
  // the window last advertised by at least half that window, advertise it
  // and queue WINDOW_UPDATE(stream_id, the difference).  True when queued.
  bool advertise(uint32_t stream_id, FlowControl& flow) {
    const std::optional<uint32_t> increment = flow.unclaimed_capacity();
    if (!increment) return false;
    const auto frame_error = append_window_update(pending_, stream_id, *increment);
    VANTRIC_INVARIANT(!frame_error, "window increment out of range");
    const WindowResult grown = flow.inc_window(*increment);
    VANTRIC_INVARIANT(grown == std::nullopt, "advertised window out of range");
    return true;
  }

  // ---- the write batch ----------------------------------------------------------

  // Queues one DATA frame of `payload` on the stream `stream_id` (in the
  // table) and counts its octets against the stream until credit_written().
  // Credits of consecutive frames of one stream merge.  Throws std::bad_alloc.
  void queue_data(uint32_t stream_id, std::string_view payload, bool end_stream) {
    Record* record = find(stream_id);
    VANTRIC_INVARIANT(record != nullptr, "DATA queued on a stream not in the table");
    const auto size = static_cast<uint32_t>(payload.size());
    const auto frame_error = append_data(pending_, stream_id, payload, end_stream, kMaxMaxFrameSize);
    VANTRIC_INVARIANT(!frame_error, "DATA payload beyond the largest frame");
    if (!pending_credits_.empty() && pending_credits_.back().first == stream_id)
      pending_credits_.back().second += size;
    else
      pending_credits_.emplace_back(stream_id, size);
    record->send_buffered += size;
  }

  // Takes the whole pending buffer (the spare one, when kept, becomes the new
  // empty pending buffer), moves its credits in flight and reports whether
  // the writer must stop after writing it.  Throws std::bad_alloc.
  struct Drained {
    ByteBuffer bytes;
    bool stopping;
  };
  Drained take_pending() {
    in_flight_.reserve(in_flight_.size() + pending_credits_.size());
    in_flight_.insert(in_flight_.end(), pending_credits_.begin(), pending_credits_.end());
    pending_credits_.clear();
    ByteBuffer drained = std::move(pending_);
    pending_ = spare_ ? std::move(*spare_) : ByteBuffer();
    spare_.reset();
    return {std::move(drained), stopping_};
  }

  // A drained buffer the writer is done with: kept, emptied, as the spare
  // buffer when there is none, else freed.
  void give_back(ByteBuffer&& buffer) noexcept {
    if (spare_ || buffer.capacity() == 0) return;
    buffer.clear();
    spare_.emplace(std::move(buffer));
  }

  // The batch in flight was written: lowers the queued-bytes count of every
  // stream still in the table by its credited octets and appends its handle
  // to `wake` once, however many of its frames the batch held.  A closed
  // stream left holding nothing leaves the table, its handle into `dropped`
  // (its close-out flags were reported when it closed).  Throws std::bad_alloc.
  void credit_written(std::vector<Obj>& wake, std::vector<Obj>& dropped) {
    std::vector<Credit> credits = std::move(in_flight_);
    in_flight_.clear();
    std::vector<uint32_t> woken;
    for (const auto& [stream_id, octets] : credits) {
      auto it = table_.find(stream_id);
      if (it == table_.end()) continue;
      Record& record = it->second;
      record.send_buffered -= std::min(record.send_buffered, octets);
      if (std::find(woken.begin(), woken.end(), stream_id) != woken.end()) continue;
      woken.push_back(stream_id);
      if (record.handle) wake.push_back(record.handle.share());
    }
    for (uint32_t stream_id : woken) {
      const Record& record = table_.at(stream_id);
      if (record.counted_closed && removable(record)) dropped.push_back(remove_stream(stream_id));
    }
  }
  // The same, releasing dropped handles here: for handles that may be
  // released under the state's lock (plain values in tests).
  void credit_written(std::vector<Obj>& wake) {
    std::vector<Obj> dropped;
    credit_written(wake, dropped);
  }

  bool has_pending() const noexcept { return !pending_.empty(); }
  std::string_view pending_view() const noexcept { return pending_.view(); }
  void stop_pump() noexcept { stopping_ = true; }
  bool stopping() const noexcept { return stopping_; }
  bool has_spare() const noexcept { return spare_.has_value(); }

  // ---- task handles -------------------------------------------------------------

  // Stores both handles; the replaced ones go to `dropped`.
  void store_task_handles(Obj&& read, Obj&& pump, std::vector<Obj>& dropped) {
    dropped.push_back(std::exchange(read_handle_, std::move(read)));
    dropped.push_back(std::exchange(pump_handle_, std::move(pump)));
  }
  Obj take_read_handle() noexcept { return std::exchange(read_handle_, Obj()); }
  Obj take_pump_handle() noexcept { return std::exchange(pump_handle_, Obj()); }

  // ---- concurrency slots --------------------------------------------------------

  bool can_open() const noexcept { return !stream_limit_ || num_open_streams_ < *stream_limit_; }
  bool try_claim_slot() noexcept {
    if (!can_open()) return false;
    ++num_open_streams_;
    return true;
  }
  void release_slot_count() noexcept {
    if (num_open_streams_ > 0) --num_open_streams_;
  }
  // A limit below the open count only stops further claims.
  void apply_stream_limit(std::optional<uint32_t> limit) noexcept { stream_limit_ = limit; }

  // ---- the stream table ---------------------------------------------------------

  // The record of `stream_id`, or nullptr.
  Record* find(uint32_t stream_id) {
    auto it = table_.find(stream_id);
    return it == table_.end() ? nullptr : &it->second;
  }
  const Record* find(uint32_t stream_id) const {
    auto it = table_.find(stream_id);
    return it == table_.end() ? nullptr : &it->second;
  }
  // Adds a stream with the windows of the current settings: the peer's
  // initial window to send, ours (once acknowledged) to receive.  `stream_id` is not in the
  // table.  Throws std::bad_alloc.
  Record& insert_stream(uint32_t stream_id, Obj&& handle) {
    auto [it, inserted] = table_.try_emplace(stream_id);
    VANTRIC_INVARIANT(inserted, "stream inserted twice");
    Record& record = it->second;
    record.handle = std::move(handle);
    record.send_flow = open_window(peer_.initial_window_size);
    record.recv_flow = open_window(local_initial_window_);
    return record;
  }
  // Removes the stream and returns its handle (empty for an unknown id).
  Obj remove_stream(uint32_t stream_id) {
    auto it = table_.find(stream_id);
    if (it == table_.end()) return Obj();
    Obj handle = std::move(it->second.handle);
    table_.erase(it);
    return handle;
  }
  std::size_t table_size() const noexcept { return table_.size(); }
  bool in_reset_store(uint32_t stream_id, MonoClock::time_point now) const {
    return reset_store_.contains(stream_id, now);
  }
  ResetStore& reset_store() noexcept { return reset_store_; }

  // ---- the receive path (streams_recv.h) -------------------------------------------
  //
  // One method per received frame event, each a check-and-change of the whole
  // state.  A stream error comes back as a library reset of the stream
  // (H2StreamError), a connection error as ProtocolError or FlowControlError;
  // changes made before the failing check stay (charged windows stay
  // charged).  `now` times the reset store.  Handles removed from the table
  // go to `dropped`, for the caller to release after unlocking; verdicts hold
  // handles of their own.  `flags` gets kFlagWake exactly when the pending
  // buffer grew.  Each throws std::bad_alloc.

  // A header block: a new stream (server, around `spare`, which is moved
  // from only then), a head, trailers, or an ignored frame.
  Result<HeadersVerdict<Obj>> recv_headers(const RecvHeaders& frame, Obj& spare, MonoClock::time_point now,
                                           std::vector<Obj>& dropped);
  // A DATA frame: charges the windows and says whether to deliver its payload.
  Result<DataVerdict<Obj>> recv_data(const RecvData& frame, MonoClock::time_point now,
                                     std::vector<Obj>& dropped);
  // WINDOW_UPDATE: the handles of the senders that may go on, into `wake`.
  // On the connection (stream 0) only senders the connection window stopped,
  // first stopped first, as many as the new window may serve: the work per
  // frame does not grow with the number of blocked streams.
  std::optional<Error> recv_window_update(uint32_t stream_id, uint32_t increment, MonoClock::time_point now,
                                          std::vector<Obj>& wake);
  // RST_STREAM: nullopt when the frame concerns no stream in the table.
  Result<std::optional<ResetVerdict<Obj>>> recv_reset(uint32_t stream_id, uint32_t error_code,
                                                      MonoClock::time_point now, std::vector<Obj>& dropped);
  // SETTINGS.  An acknowledgement calls `apply_local(config())` to apply our
  // settings to the frame reader, then applies our initial window.
  template <class ApplyLocal>
  Result<SettingsVerdict<Obj>> recv_settings(const Settings& settings, bool ack, ApplyLocal&& apply_local);
  // PING: the flags.  `data` is 8 octets.
  uint32_t recv_ping(std::string_view data, bool ack);
  // GOAWAY: the client streams it aborted.
  Result<GoAwayVerdict<Obj>> recv_go_away(uint32_t last_stream_id, uint32_t error_code,
                                          std::string_view debug_data, std::vector<Obj>& dropped);
  // Our GOAWAY answering the peer's once no stream is left: the flags.
  uint32_t maybe_goaway_reply();

  // ---- the send path (streams_send.h) ---------------------------------------------
  //
  // The methods through which request and response tasks act: each a
  // check-and-change of the whole state whose frames go to the pending
  // buffer.  Handles removed from the table go to `dropped`; verdicts hold
  // handles of their own.  Each throws std::bad_alloc.

  // Client, on a claimed slot: allocates the next id, opens the stream around
  // `handle` and queues its head.  nullopt (the slot given back) when the
  // connection failed or the peer sent GOAWAY; the slot is given back too
  // when the id space is exhausted (ProtocolError) or `head` is refused.
  using Opened = std::variant<std::optional<uint32_t>, Error, InvalidArgument>;
  Opened open_stream(const std::variant<RequestHead, InvalidArgument>& head, const http::HeaderMap* headers,
                     bool end_stream, bool is_head, Obj&& handle);
  // At most one DATA frame of data[offset:], within the windows, the send
  // buffer room and the peer's frame size.  FlowControlError when a window
  // would go below zero.
  Result<SendVerdict<Obj>> send_data(uint32_t stream_id, std::string_view data, std::size_t offset,
                                     bool end_stream, std::vector<Obj>& dropped);
  SendVerdict<Obj> send_trailers(uint32_t stream_id, const http::HeaderMap& trailers,
                                 std::vector<Obj>& dropped);
  // Server: the response head.  UserError for a connection-specific field,
  // InvalidArgument for a status outside 100..999; nothing changes then.
  std::variant<SendVerdict<Obj>, Error, InvalidArgument> send_response_head(uint32_t stream_id,
                                                                            uint32_t status,
                                                                            const http::HeaderMap* headers,
                                                                            bool end_stream,
                                                                            std::vector<Obj>& dropped);
  LocalResetVerdict<Obj> reset_stream(uint32_t stream_id, uint32_t reason, Initiator initiator,
                                      MonoClock::time_point now, std::vector<Obj>& dropped);
  // Our answer to the peer's stream error; ProtocolError beyond the cap of
  // local error resets.
  Result<LocalResetVerdict<Obj>> reset_on_error(uint32_t stream_id, uint32_t reason,
                                                MonoClock::time_point now, std::vector<Obj>& dropped);
  LocalResetVerdict<Obj> aclose_body(uint32_t stream_id, MonoClock::time_point now,
                                     std::vector<Obj>& dropped);
  // The application consumed `n` received octets of the stream: the flags.
  uint32_t release_capacity(uint32_t stream_id, uint32_t n, std::vector<Obj>& dropped);
  void release_data_frame(uint32_t stream_id, uint32_t payload_len);
  void accepted(uint32_t stream_id, std::vector<Obj>& dropped);
  uint32_t send_goaway(uint32_t reason);
  // Stores the first error (`exc`, else `message`; a later `exc` goes to
  // `dropped`) and aborts every live stream: (handle, stop) pairs into `aborted`.
  void fail(Obj&& exc, std::string_view message, std::vector<std::pair<Obj, Stop>>& aborted,
            std::vector<Obj>& dropped);
  uint32_t begin_graceful_shutdown();
  // The stored error: the host exception, else the closure message.
  const Obj& error_object() const noexcept { return error_object_; }
  const std::optional<std::string>& error_message() const noexcept { return error_message_; }
  bool is_closed() const noexcept { return failed() || peer_goaway_.has_value(); }

  // The record part of opening a stream on a claimed slot: the stream enters
  // the table, sends its head (END_STREAM when `end_stream`) and counts as
  // active.  `stream_id` is not in the table.
  Record& insert_local_stream(uint32_t stream_id, Obj&& handle, bool end_stream, bool is_head);
  // Graceful shutdown started: our first GOAWAY and its PING were queued.
  void mark_graceful() noexcept { graceful_ = true; }
  // Our SETTINGS frames not yet acknowledged.
  uint32_t unacked_settings() const noexcept { return unacked_settings_; }
  // Requests the peer reset before they were accepted.
  uint32_t pending_accept_resets() const noexcept { return pending_accept_resets_; }

  // ---- introspection ------------------------------------------------------------

  bool is_server() const noexcept { return config_.server; }
  bool began() const noexcept { return began_; }
  const StreamsConfig& config() const noexcept { return config_; }
  const PeerSettings& peer() const noexcept { return peer_; }
  uint32_t num_streams() const noexcept { return num_streams_; }
  std::optional<uint32_t> stream_limit() const noexcept { return stream_limit_; }
  uint32_t num_open_streams() const noexcept { return num_open_streams_; }
  uint32_t next_stream_id() const noexcept { return next_stream_id_; }
  uint32_t max_stream_id() const noexcept { return max_stream_id_; }
  uint32_t last_processed_id() const noexcept { return last_processed_id_; }
  bool graceful() const noexcept { return graceful_; }
  bool shutdown_final() const noexcept { return shutdown_final_; }
  bool goaway_replied() const noexcept { return goaway_replied_; }
  uint32_t conn_send_window() const noexcept { return conn_send_.window_size(); }
  int32_t conn_recv_available() const noexcept { return conn_recv_.available(); }
  const FlowControl& conn_recv() const noexcept { return conn_recv_; }
  const DataFrameBudget& data_frame_budget() const noexcept { return budget_; }
  uint32_t local_error_resets() const noexcept { return local_error_resets_; }
  bool failed() const noexcept { return static_cast<bool>(error_object_) || error_message_.has_value(); }
  const std::optional<GoAwayFacts>& peer_goaway() const noexcept { return peer_goaway_; }

  void set_next_stream_id(uint32_t id) noexcept { next_stream_id_ = id; }
  void set_max_stream_id(uint32_t id) noexcept { max_stream_id_ = id; }
  void set_last_processed_id(uint32_t id) noexcept { last_processed_id_ = id; }

  // "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)".
  std::string repr() const {
    auto flag = [](bool value) { return value ? "true" : "false"; };
    std::string out = "H2Streams(role=";
    out += config_.server ? "server" : "client";
    out += ", streams=" + std::to_string(table_.size());
    out += ", active=" + std::to_string(num_streams_);
    out += ", failed=";
    out += flag(failed());
    out += ", goaway=";
    out += flag(peer_goaway_.has_value());
    out += ')';
    return out;
  }

  // ---- host references ----------------------------------------------------------

  // Visits every host reference: the stream handles, the stored exception and
  // the two task handles.
  template <class Visit>
  void for_each_object(Visit&& visit) const {
    for (const auto& entry : table_) visit(entry.second.handle);
    visit(error_object_);
    visit(read_handle_);
    visit(pump_handle_);
  }
  // Moves every host reference out to `sink`; the stream records stay.
  template <class Sink>
  void take_all(Sink&& sink) {
    for (auto& entry : table_) sink(std::move(entry.second.handle));
    sink(std::move(error_object_));
    sink(std::move(read_handle_));
    sink(std::move(pump_handle_));
  }

 private:
  // Where a frame for a stream not in the table goes.
  enum class Missing : uint8_t { kIgnored, kClosed, kIdle };
  Missing classify_missing(uint32_t stream_id, MonoClock::time_point now) const;
  // The class of a stream still in the table in state Closed: ignored when
  // we reset it ourselves, else closed.
  static Missing classify_closed(const Record& record) {
    return record.state.is_local_error() ? Missing::kIgnored : Missing::kClosed;
  }
  static Error idle_error(uint32_t stream_id);
  // A closed stream leaves the table once it holds no received octets the
  // application has not released and no queued DATA, and no
  // reset-before-accept awaits its accept (accepted() drops that count).
  static bool removable(const Record& record) {
    return record.recv_unreleased == 0 && record.send_buffered == 0 && !record.reset_before_accept;
  }
  // The flags of the close-out of `stream_id` (see streams_recv.h).
  uint32_t close_out(uint32_t stream_id, std::vector<Obj>& dropped);
  // The received octets the application still holds go back to the
  // connection window (their DATA-framing budget too), without it.
  void release_held_capacity(Record& record);
  // `octets` of the connection receive window become grantable again.
  void give_back_connection(uint32_t octets);
  // Charges the connection receive window; FLOW_CONTROL_ERROR beyond it.
  std::optional<Error> charge_connection(uint32_t octets);
  // Sets up the content-length tracker of a head; a stream error when the
  // head's length is unusable.
  std::optional<Error> track_content_length(Record& record, const RecvHeaders& frame);
  Result<HeadersVerdict<Obj>> open_remote_stream(const RecvHeaders& frame, Obj& spare);
  // What a stream that cannot send tells its sender.
  static Stop stop_of(const StreamState& state);
  // The record of a stream that may send DATA or trailers; else nullptr,
  // with the stop its sender is told in `verdict`.
  Record* sender(uint32_t stream_id, SendVerdict<Obj>& verdict);
  // After our END_STREAM was queued: a server resets a request whose body is
  // still arriving, a closed stream gives back what it holds; then the close-out.
  uint32_t finish_send(uint32_t stream_id, SendVerdict<Obj>& verdict, std::vector<Obj>& dropped);
  // Resets a stream in the table: RST_STREAM unless it was closed already
  // (or even then, `even_if_closed`: our answer to a frame on a closed stream).
  LocalResetVerdict<Obj> reset_live(uint32_t stream_id, uint32_t reason, Initiator initiator,
                                    MonoClock::time_point now, std::vector<Obj>& dropped,
                                    bool even_if_closed = false);
  uint32_t wake_if_grown(std::size_t before) const noexcept {
    return pending_.size() > before ? uint32_t{kFlagWake} : 0u;
  }
  // Senders the connection window stopped, in the order they stopped, each
  // queued once; entries of streams that are gone are skipped when reached.
  void queue_conn_blocked(Record& record, uint32_t stream_id, std::size_t want);
  void wake_conn_blocked(std::vector<Obj>& wake);

  StreamsConfig config_;
  PeerSettings peer_;
  bool began_ = false;

  Table table_;
  uint32_t next_stream_id_;
  uint32_t num_open_streams_ = 0;
  std::optional<uint32_t> stream_limit_;
  uint32_t num_streams_ = 0;

  FlowControl conn_send_;
  FlowControl conn_recv_;
  DataFrameBudget budget_;
  uint32_t local_error_resets_ = 0;
  ResetStore reset_store_;
  uint32_t last_processed_id_ = 0;
  uint32_t max_stream_id_ = kMaxStreamId;

  // The stored connection error: a host exception, or a closure message.
  Obj error_object_;
  std::optional<std::string> error_message_;
  std::optional<GoAwayFacts> peer_goaway_;
  bool stopping_ = false;
  bool goaway_replied_ = false;
  bool graceful_ = false;
  bool shutdown_final_ = false;
  uint32_t unacked_settings_ = 0;    // our SETTINGS frames sent and not acknowledged
  bool peer_settings_seen_ = false;  // the peer's first SETTINGS arrived
  uint32_t local_initial_window_ = kDefaultInitialWindowSize;  // ours, in force once acknowledged
  uint32_t peer_highest_id_ = 0;                               // server: the highest stream the peer opened
  uint32_t pending_accept_resets_ = 0;

  hpack::Encoder encoder_;
  ByteBuffer pending_;
  std::optional<ByteBuffer> spare_;
  std::vector<Credit> pending_credits_;
  std::vector<Credit> in_flight_;
  std::deque<uint32_t> conn_blocked_;

  Obj read_handle_;
  Obj pump_handle_;
};

}  // namespace vantric::h2

#include "core/h2/streams_recv.h"  // IWYU pragma: export
#include "core/h2/streams_send.h"  // IWYU pragma: export
