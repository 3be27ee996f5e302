// Fuzzes the HTTP/2 connection state against a hostile peer: the peer's bytes
// go through a frame reader of our role, and every event goes to the recv_*
// method the binding dispatches it to, as the driver would call them.
//
// Input: one configuration octet, then the peer's bytes.
//   bit 0     our role: server (the bytes start with the client preface) or client
//   bits 1-2  our windows: default; a 16-octet stream window; 1 MiB streams and
//             a 16 MiB connection (frames up to 1 MiB); 2^31 - 1 for both
//   bit 3     tight limits: MAX_CONCURRENT_STREAMS 2 (server) and 2 resets
//             before accept, else none and 20
//   bit 4     the peer acknowledged our SETTINGS before its first octet
//   bit 5     the driver answers each stream error with its reset (the stream
//             closes as our own reset and its id enters the reset store)
//   bit 6     the bytes arrive in pieces of 29 octets, else at once
//   bit 7     server: a graceful shutdown has begun (its SHUTDOWN PING is out);
//             client: after each batch the driver opens a stream if a slot is free
// A client opens streams 1 to 17 before the first octet (GET, HEAD and POST
// heads, some with END_STREAM), so that responses find streams to land on.
//
// A stream error is what the driver answers with a reset: the run goes on.  A
// connection error, or our GOAWAY answering the peer's, ends it.
//
// Properties, besides no crash, no undefined behaviour and no leak:
// - every error is a stream reset of the frame's stream, or a connection error
//   with an HTTP/2 error code (0 to 13); never a user or transport error;
// - verdicts and the handle lists carry the handle of the stream they name;
//   dropped handles belong to streams that left the table;
// - the active count equals the table entries whose close was not counted,
//   the slot count those holding a slot; a counted close is a closed stream,
//   and a closed stream is counted unless it had a stream error (whose
//   reset, the send path's, counts it);
// - a server never holds more streams than its MAX_CONCURRENT_STREAMS, nor
//   more resets before accept than allowed;
// - each batch we queue is at most 64 octets per event applied (plus the
//   handshake), so the pending bytes are bounded by the input;
// - everything we queue decodes with a reader of the peer's role: our SETTINGS
//   first, then one SETTINGS ACK per peer SETTINGS, one PING ACK per PING with
//   its payload, WINDOW_UPDATEs for the connection or a stream we had, GOAWAY
//   NO_ERROR; no HEADERS or DATA (the send path does not run here);
// - the connection receive window equals the protocol default plus our
//   WINDOW_UPDATEs minus the peer's DATA, never negative; a stream window as
//   the peer sees it (our SETTINGS_INITIAL_WINDOW_SIZE, plus our updates,
//   minus its DATA) never exceeds 2^31 - 1 (RFC 9113 section 6.9.1).
//
// Seeds in corpus/h2_streams: request and response sequences written by the
// frame writer, and the recorded nghttp exchanges of corpus/h2_frame behind a
// configuration octet.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"

// Undefined behaviour is a finding, not a line in the log.
extern "C" const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}

namespace {

using namespace vantric;
using namespace vantric::h2;

// A failed property names itself, then aborts so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "h2_streams_fuzzer.cpp:%d: property failed: %s\n", line, what);
  std::abort();
}
#define CHECK(cond) ((cond) ? void() : fail(#cond, __LINE__))

// The binding's owning handle, in miniature: a shared stream id, empty when absent.
struct Handle {
  std::shared_ptr<const uint32_t> id;
  Handle() = default;
  explicit Handle(uint32_t v) : id(std::make_shared<const uint32_t>(v)) {}
  explicit operator bool() const { return static_cast<bool>(id); }
  Handle share() const {
    Handle h;
    h.id = id;
    return h;
  }
  uint32_t value() const { return id ? *id : 0; }
};

using State = Streams<Handle>;

constexpr std::size_t kPerEvent = 64;  // octets one event may queue, at most
constexpr std::size_t kPiece = 29;
constexpr uint32_t kLastClientStream = 199;

class Run {
 public:
  explicit Run(uint8_t cfg) : cfg_(cfg), state_(make_config(cfg)), reader_(server()), peer_(!server()) {}

  // Feeds the peer's bytes; returns when they are spent or the connection ended.
  void play(std::string_view input) {
    state_.begin();
    if (cfg_ & 16) {
      auto acked = state_.recv_settings(Settings{}, true, apply_local());
      CHECK(!std::holds_alternative<Error>(acked));
    }
    if (server() && (cfg_ & 128)) state_.mark_graceful();
    if (!server()) {
      for (uint32_t id = 1; id <= 17; id += 2) {
        const uint32_t kind = (id / 2) % 4;
        open_local(id, /*end_stream=*/kind != 2, /*is_head=*/kind == 1);
      }
    }
    drain();
    const std::size_t piece = (cfg_ & 64) ? kPiece : std::max<std::size_t>(input.size(), 1);
    for (std::size_t at = 0; alive_ && at < input.size(); at += piece) {
      // Each piece in its own heap block, as a transport read would be.
      const std::string bytes(input.substr(at, piece));
      events_.clear();
      if (auto error = reader_.receive(bytes, events_)) {
        check_connection_error(*error);
        alive_ = false;
        break;
      }
      for (FrameEvent& event : events_) {
        dispatch(event);
        if (!alive_) break;
        // The writer drains concurrently with the reader.
        if (state_.pending_view().size() > 1024) drain();
      }
      if (alive_) after_batch();
      drain();
    }
    drain();
  }

  // Octets of every batch we queued.
  std::size_t sent_total() const { return sent_; }

 private:
  bool server() const { return cfg_ & 1; }

  // What the binding passes to recv_settings: our acknowledged settings go
  // to the reader of the peer's frames.
  struct ApplyLocal {
    FrameReader* reader;
    void operator()(const StreamsConfig& config) const { apply_local_settings(*reader, config); }
  };
  ApplyLocal apply_local() { return ApplyLocal{&reader_}; }

  static StreamsConfig make_config(uint8_t cfg) {
    StreamsConfig c;
    c.server = cfg & 1;
    c.max_header_list_size = 65536;
    c.max_send_buf_size = 65536;
    switch ((cfg >> 1) & 3) {
      case 0:
        break;
      case 1:
        c.initial_window_size = 16;
        break;
      case 2:
        c.initial_window_size = 1u << 20;
        c.connection_window = 1u << 24;
        c.max_frame_size = 1u << 20;
        break;
      case 3:
        c.initial_window_size = kMaxWindowSize;
        c.connection_window = kMaxWindowSize;
        break;
    }
    if (cfg & 8) {
      if (c.server) c.max_concurrent_streams = 2;
      c.max_pending_accept_reset_streams = 2;
    }
    CHECK(!check_streams_config(c));
    return c;
  }

  // A deterministic clock: every event moves it 20 ms on, so a stored reset
  // lapses after 50 events.
  MonoClock::time_point now() const {
    return MonoClock::time_point{} + std::chrono::milliseconds(20 * ticks_);
  }

  void open_local(uint32_t id, bool end_stream, bool is_head) {
    if (!state_.try_claim_slot()) return;
    state_.insert_local_stream(id, Handle(id), end_stream, is_head);
    state_.set_next_stream_id(std::max(state_.next_stream_id(), id + 2));
    known_.insert(id);
  }

  // ---- one event ----------------------------------------------------------------

  void dispatch(FrameEvent& event) {
    ++ticks_;
    ++events_since_drain_;
    const std::size_t before = state_.pending_view().size();
    std::visit([this](auto& e) { apply(e); }, event);
    const std::size_t after = state_.pending_view().size();
    CHECK(after >= before && after - before <= kPerEvent);
    check_dropped();
  }

  void apply(DataEvent& e) {
    const RecvData frame{e.stream_id, e.flow_controlled_len, static_cast<uint32_t>(e.data.size()),
                         e.end_stream};
    auto result = state_.recv_data(frame, now(), dropped_);
    const bool stream_error = failed(result, e.stream_id);
    if (!alive_) return;
    // Short of a connection error the peer spent the octets from its view of
    // both windows, a stream error included: the core charged them first.
    data_in_ += e.flow_controlled_len;
    stream_data_in_[e.stream_id] += e.flow_controlled_len;
    if (stream_error) return;
    const auto& v = std::get<DataVerdict<Handle>>(result);
    CHECK(!v.handle || v.handle.value() == e.stream_id);
    CHECK(!v.deliver || v.handle);
    CHECK(!v.budgeted || v.deliver);
    CHECK(v.eof == (v.deliver && e.end_stream));
    flags(v.flags);
  }

  void apply(HeadersEvent& e) {
    const HeaderBlock& block = *e.block;
    const RecvHeaders frame{
        e.stream_id,    e.end_stream, block.status, block.content_length, block.content_length_invalid,
        shape_of(block)};
    Handle spare = server() ? Handle(e.stream_id) : Handle();
    auto result = state_.recv_headers(frame, spare, now(), dropped_);
    if (state_.find(e.stream_id) != nullptr) known_.insert(e.stream_id);
    if (failed(result, e.stream_id)) return;
    const auto& v = std::get<HeadersVerdict<Handle>>(result);
    CHECK(!v.spare_missing);
    if (v.kind == HeadersKind::kIgnored) {
      CHECK(!v.handle && !v.eof);
    } else {
      CHECK(v.handle.value() == e.stream_id);
      CHECK(v.eof == (e.end_stream || v.kind == HeadersKind::kTrailers));
    }
    // The spare is taken exactly when a stream opens.
    if (server()) CHECK((v.kind == HeadersKind::kOpened) == !spare);
    flags(v.flags);
  }

  void apply(PriorityEvent&) {}  // no recv method: priorities are not acted on

  void apply(RstStreamEvent& e) {
    auto result = state_.recv_reset(e.stream_id, e.error_code, now(), dropped_);
    if (failed(result, e.stream_id)) return;
    const auto& v = std::get<std::optional<ResetVerdict<Handle>>>(result);
    if (!v) return;
    CHECK(v->handle.value() == e.stream_id && v->reason == e.error_code);
    flags(v->flags);
  }

  void apply(SettingsEvent& e) {
    if (!e.ack) ++settings_in_;
    auto result = state_.recv_settings(e.settings, e.ack, apply_local());
    if (failed(result, 0)) return;
    const auto& v = std::get<SettingsVerdict<Handle>>(result);
    CHECK(!e.ack || (v.wake.empty() && !v.initial));
    for (const Handle& h : v.wake) CHECK(h && state_.find(h.value()) != nullptr);
    flags(v.flags);
  }

  void apply(PingEvent& e) {
    const std::string_view data(e.data.data(), e.data.size());
    if (!e.ack) pings_in_.emplace_back(data);
    flags(state_.recv_ping(data, e.ack));
  }

  void apply(GoAwayEvent& e) {
    auto result = state_.recv_go_away(e.last_stream_id, e.error_code, e.debug_data, dropped_);
    if (failed(result, 0)) return;
    const auto& v = std::get<GoAwayVerdict<Handle>>(result);
    CHECK(v.reason == e.error_code);
    for (const Handle& h : v.aborted) CHECK(!server() && h && h.value() > e.last_stream_id);
    flags(v.flags);
  }

  void apply(WindowUpdateEvent& e) {
    std::vector<Handle> wake;
    auto error = state_.recv_window_update(e.stream_id, e.increment, now(), wake);
    if (error) {
      failed_with(*error, e.stream_id);
      return;
    }
    for (const Handle& h : wake) {
      CHECK(h && state_.find(h.value()) != nullptr);
      CHECK(e.stream_id == 0 || h.value() == e.stream_id);
    }
  }

  void apply(StreamErrorEvent& e) {
    CHECK(e.stream_id != 0 && e.error_code < kReasonCount);
    answer_reset(e.stream_id, e.error_code);
  }

  // ---- errors -------------------------------------------------------------------

  template <class T>
  bool failed(const Result<T>& result, uint32_t stream_id) {
    const auto* error = std::get_if<Error>(&result);
    if (error == nullptr) return false;
    failed_with(*error, stream_id);
    return true;
  }

  void failed_with(const Error& error, uint32_t stream_id) {
    if (const auto* reset = std::get_if<ConnError>(&error);
        reset && reset->variant == ConnError::Variant::kReset) {
      // A stream error: a library reset of the frame's own stream.
      CHECK(stream_id != 0 && reset->stream_id == stream_id && reset->initiator == Initiator::kLibrary);
      CHECK(reset->reason != 0 && reset->reason < kReasonCount);
      answer_reset(stream_id, reset->reason);
      return;
    }
    check_connection_error(error);
    alive_ = false;
  }

  static void check_connection_error(const Error& error) {
    if (const auto* p = std::get_if<ProtocolError>(&error)) {
      CHECK(p->reason && *p->reason < kReasonCount && !p->message.empty());
    } else if (const auto* c = std::get_if<ConnError>(&error)) {
      CHECK(c->variant == ConnError::Variant::kGoAway && c->reason < kReasonCount);
    } else {
      CHECK(std::holds_alternative<FlowControlError>(error));
    }
  }

  // The driver's answer to a stream error, as the send path leaves the state:
  // the stream closes with our reset and its late frames are ignored.
  void answer_reset(uint32_t stream_id, uint32_t reason) {
    errored_.insert(stream_id);
    if (!(cfg_ & 32)) return;
    if (State::Record* record = state_.find(stream_id))
      record->state.set_reset(stream_id, reason, Initiator::kLibrary);
    state_.reset_store().store(stream_id, now());
  }

  void flags(uint32_t f) {
    CHECK((f & ~uint32_t{kFlagWake | kFlagSlotFreed | kFlagConnDone | kFlagStopAccepting}) == 0);
    if (f & kFlagStopAccepting) CHECK(server());
    if (f & kFlagConnDone) {
      CHECK(state_.goaway_replied() && state_.failed());
      alive_ = false;
    }
  }

  void check_dropped() {
    for (Handle& h : dropped_) {
      CHECK(h && state_.find(h.value()) == nullptr && known_.count(h.value()) == 1);
      gone_.insert(h.value());
    }
    dropped_.clear();
  }

  // ---- between batches ----------------------------------------------------------

  void after_batch() {
    flags(state_.maybe_goaway_reply());
    if (!alive_ || server() || !(cfg_ & 128)) return;
    if (state_.peer_goaway() || state_.failed() || !state_.can_open()) return;
    const uint32_t id = state_.next_stream_id();
    if (id <= kLastClientStream) open_local(id, id % 4 == 1, false);
  }

  // Takes the pending bytes, as the writer does, and decodes them as the peer.
  void drain() {
    State::Drained drained = state_.take_pending();
    const std::string_view bytes = drained.bytes.view();
    CHECK(bytes.size() <= 256 + kPerEvent * events_since_drain_);
    events_since_drain_ = 0;
    sent_ += bytes.size();
    std::vector<FrameEvent> out;
    CHECK(!peer_.receive(bytes, out));
    CHECK(peer_.buffered() == 0);  // whole frames only
    for (const FrameEvent& event : out) std::visit([this](const auto& e) { sent(e); }, event);
    std::vector<Handle> wake;
    state_.credit_written(wake);
    CHECK(wake.empty());
    state_.give_back(std::move(drained.bytes));
    if (alive_) check_tables();
  }

  void sent(const SettingsEvent& e) {
    if (!settings_seen_) {
      CHECK(!e.ack && e.settings == local_settings(state_.config()));
      settings_seen_ = true;
      return;
    }
    CHECK(e.ack);
    ++settings_acks_out_;
  }
  void sent(const PingEvent& e) {
    CHECK(e.ack && !pings_in_.empty());
    CHECK(std::string_view(e.data.data(), e.data.size()) == pings_in_.front());
    pings_in_.erase(pings_in_.begin());
  }
  void sent(const WindowUpdateEvent& e) {
    CHECK(settings_seen_);
    if (e.stream_id == 0) {
      conn_updates_ += e.increment;
    } else {
      CHECK(known_.count(e.stream_id) == 1);
      stream_updates_[e.stream_id] += e.increment;
    }
  }
  void sent(const GoAwayEvent& e) {
    CHECK(e.error_code == code(Reason::kNoError) && e.debug_data.empty() && ++goaways_out_ <= 2);
    // A server names the last request it took, a client none.
    CHECK(e.last_stream_id == (server() ? state_.last_processed_id() : 0));
  }
  void sent(const RstStreamEvent& e) { CHECK(e.stream_id != 0 && e.error_code < kReasonCount); }
  void sent(const DataEvent&) { CHECK(false); }
  void sent(const HeadersEvent&) { CHECK(false); }
  void sent(const PriorityEvent&) { CHECK(false); }
  void sent(const StreamErrorEvent&) { CHECK(false); }

  // The counts against the table, and the windows against what was sent.
  void check_tables() {
    CHECK(settings_acks_out_ == settings_in_);
    uint32_t active = 0;
    uint32_t slots = 0;
    for (uint32_t id : known_) {
      const State::Record* record = state_.find(id);
      if (record == nullptr) {
        CHECK(gone_.count(id) == 1);
        continue;
      }
      CHECK(record->handle.value() == id);
      if (record->counted_closed) CHECK(record->state.is_closed());
      // Counting the close of a stream that had a stream error is left to the
      // reset the driver answers it with.
      if (record->state.is_closed() && !record->counted_closed) CHECK(errored_.count(id) == 1);
      if (!record->counted_closed) ++active;
      if (record->holds_slot) ++slots;
      // What the peer may still send on the stream.
      const int64_t peer_view =
          int64_t{state_.config().initial_window_size} + stream_updates_[id] - stream_data_in_[id];
      CHECK(peer_view <= kMaxWindowSize);
    }
    CHECK(active == state_.num_streams() && slots == state_.num_open_streams());
    CHECK(state_.table_size() == known_.size() - gone_.size());
    // A server's table holds only streams the peer opened, the last one
    // processed the highest.
    if (server()) CHECK(state_.last_processed_id() == (known_.empty() ? 0 : *known_.rbegin()));
    if (server() && state_.config().max_concurrent_streams)
      CHECK(state_.num_streams() <= *state_.config().max_concurrent_streams);
    CHECK(state_.pending_accept_resets() <= state_.config().max_pending_accept_reset_streams);
    CHECK(state_.unacked_settings() <= 1);
    // The connection window as both ends see it, once our updates are out.
    if (!state_.has_pending()) {
      const int64_t window = int64_t{kDefaultInitialWindowSize} + conn_updates_ - data_in_;
      CHECK(window >= 0 && window <= kMaxWindowSize && window == state_.conn_recv().signed_window_size());
    }
  }

  const uint8_t cfg_;
  State state_;
  FrameReader reader_;  // the peer's frames, as our role reads them
  FrameReader peer_;    // our frames, as the peer reads them
  std::vector<FrameEvent> events_;
  std::vector<Handle> dropped_;
  bool alive_ = true;
  uint64_t ticks_ = 0;
  std::size_t events_since_drain_ = 0;
  std::size_t sent_ = 0;

  std::set<uint32_t> known_;    // every stream the table held
  std::set<uint32_t> gone_;     // ... and dropped since
  std::set<uint32_t> errored_;  // streams with a stream error, which the driver resets
  uint32_t settings_in_ = 0;
  uint32_t settings_acks_out_ = 0;
  bool settings_seen_ = false;
  std::vector<std::string> pings_in_;  // PING payloads not yet acknowledged
  uint32_t goaways_out_ = 0;
  int64_t data_in_ = 0;
  int64_t conn_updates_ = 0;
  std::map<uint32_t, int64_t> stream_data_in_;
  std::map<uint32_t, int64_t> stream_updates_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  Run run(data[0]);
  run.play(input);
  // What we queue grows with the input, never beyond it by more than the
  // per-event allowance: the handshake, then at most 64 octets per 9-octet frame.
  CHECK(run.sent_total() <= 256 + 8 * size);
  return 0;
}
