// The state of one HTTP/2 stream (RFC 9113 section 5.1), seen from this
// endpoint.
//
// Beyond the RFC's seven states the value records, for each open sending half,
// whether that half has sent its final header block yet, and for a closed
// stream why it closed.  The connection engine keeps one per stream under its
// own lock; every operation is one check-and-transition on a plain value.  No
// transition allocates except `recv_eof`, which stores its message text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/h2/error.h"

namespace vantric::h2 {

// One sending half: has it sent its final header block?  1xx heads leave it
// awaiting, since a final head must still follow them (RFC 9110 section 15.2).
enum class PeerState : uint8_t { kAwaitingHeaders, kStreaming };

class StreamState {
 public:
  enum class Kind : uint8_t {
    kIdle,
    kReservedLocal,     // we sent PUSH_PROMISE
    kReservedRemote,    // the peer sent PUSH_PROMISE
    kOpen,              // both halves open
    kHalfClosedLocal,   // our half ended; the peer may still send
    kHalfClosedRemote,  // the peer's half ended; we may still send
    kClosed,
  };

  // Why a stream is Closed.
  enum class Cause : uint8_t {
    kEndStream,              // both halves ended normally
    kStreamError,            // reset or failed ("Error" in the repr)
    kErrorAfterEndStream,    // failed, or reset by the peer, once the peer's
                             // END_STREAM had arrived: the received body is complete
    kScheduledLibraryReset,  // we decided to reset; the RST_STREAM is still to be sent
  };

  Kind kind() const { return kind_; }
  // Meaningful only when Closed.
  Cause cause() const { return cause_; }
  // The error a stream closed with (Error or ErrorAfterEndStream), else null.
  // Valid until the next transition.
  const ConnError* error() const { return has_stored_error() ? &error_ : nullptr; }

  // --- Transitions.  A refused transition returns its error and changes nothing.

  // We send a header block, with END_STREAM when `eos`.  Refused (user error
  // unexpected_frame_type) unless our half still awaits its head.
  [[nodiscard]] std::optional<Error> send_open(bool eos);

  // The peer's header block; `informational` marks a 1xx head.  Returns true
  // when the head opened the stream (from Idle or ReservedRemote).  Refused
  // (GOAWAY PROTOCOL_ERROR) unless the peer's half still awaits its head.
  [[nodiscard]] std::variant<bool, Error> recv_open(bool eos, bool informational);

  // The peer promised this stream.  Refused (GOAWAY PROTOCOL_ERROR) unless Idle.
  [[nodiscard]] std::optional<Error> reserve_remote();
  // We promised this stream.  Refused (user error) unless Idle.
  [[nodiscard]] std::optional<Error> reserve_local();

  // The peer's END_STREAM after its DATA or trailers.  Refused (GOAWAY
  // PROTOCOL_ERROR) unless the peer's half is open.
  [[nodiscard]] std::optional<Error> recv_close();

  // Our END_STREAM: closes our half if it is streaming and returns true; any
  // other state (a concurrent reset included) is left alone and gives false.
  bool send_close();

  // The peer sent RST_STREAM; `queued` says frames of the stream still wait to
  // be sent.  A closed stream changes only when `queued`, so that the send
  // queue sees the reset and drops those frames.  `stream_id` <= kMaxStreamId.
  void recv_reset(uint32_t stream_id, uint32_t reason, bool queued);

  // The connection's input ended: abort with the broken-pipe I/O error.
  void recv_eof();

  // The connection failed with `error`: a stream not yet closed closes with
  // it, as ErrorAfterEndStream when the peer's END_STREAM had arrived.
  void abort(ConnError error);

  // Closes the stream with a reset from any state.  `stream_id` <= kMaxStreamId.
  void set_reset(uint32_t stream_id, uint32_t reason, Initiator initiator);

  // Schedules our own reset with `reason` and returns true, unless the stream
  // is already closed (a peer reset that landed first wins): false, no change.
  bool set_scheduled_reset(uint32_t reason);

  // The reason of a scheduled reset, else nullopt.
  std::optional<uint32_t> get_scheduled_reset() const;

  // May the peer still send on this stream?  A stream closed with an error
  // returns that error; one with a scheduled reset returns GOAWAY with its
  // reason, initiated by the library.
  std::variant<bool, Error> ensure_recv_open() const;

  // --- Predicates.

  bool is_idle() const { return kind_ == Kind::kIdle; }
  bool is_closed() const { return kind_ == Kind::kClosed; }
  // Closed by anything but a clean END_STREAM on both halves.
  bool is_reset() const { return is_closed() && cause_ != Cause::kEndStream; }
  bool is_scheduled_reset() const { return is_closed() && cause_ == Cause::kScheduledLibraryReset; }
  // Closed by our own decision or a local failure, not by the peer.
  bool is_local_error() const;
  // Closed by the peer's RST_STREAM.
  bool is_remote_reset() const;
  bool is_send_streaming() const;
  bool is_send_closed() const;
  // The peer's half still owes its final header block.
  bool is_recv_headers() const;
  bool is_recv_streaming() const;
  // The peer's END_STREAM was received.
  bool is_recv_end_stream() const;

  // The state spelt out, e.g. "Open { local: Streaming, remote: AwaitingHeaders }"
  // or "Closed(Error(Reset(StreamId(1), CANCEL, Remote)))".
  std::string repr() const;

 private:
  bool has_stored_error() const {
    return is_closed() && (cause_ == Cause::kStreamError || cause_ == Cause::kErrorAfterEndStream);
  }
  void set_open(PeerState local, PeerState remote);
  void set_half_closed_local(PeerState remote);
  void set_half_closed_remote(PeerState local);
  void close(Cause cause) {
    kind_ = Kind::kClosed;
    cause_ = cause;
  }
  void close_with_error(Cause cause, ConnError error) {
    close(cause);
    error_ = std::move(error);
  }
  // Closed(Error(error)), or ErrorAfterEndStream once the peer's half ended.
  void close_after_failure(ConnError error);

  Kind kind_ = Kind::kIdle;
  PeerState local_ = PeerState::kAwaitingHeaders;   // Open, HalfClosedRemote
  PeerState remote_ = PeerState::kAwaitingHeaders;  // Open, HalfClosedLocal
  Cause cause_ = Cause::kEndStream;                 // Closed
  uint32_t scheduled_reason_ = 0;                   // Closed(ScheduledLibraryReset)
  ConnError error_;                                 // Closed(Error | ErrorAfterEndStream)
};

// A stream error value spelt out as in the state's repr:
// "Reset(StreamId(1), CANCEL, Remote)", "GoAway(b\"\", PROTOCOL_ERROR, Library)",
// "Io(BrokenPipe, Some(\"...\"))".
std::string conn_error_repr(const ConnError& error);

// "user", "library" or "remote" to its initiator; nullopt for anything else.
std::optional<Initiator> parse_initiator(std::string_view text);
// The bad-argument message for an initiator text parse_initiator refused.
std::string initiator_error_message(std::string_view given);

}  // namespace vantric::h2
