// The state of one HTTP/1 server connection and of its current request: where
// the next request head comes from, who may read the transport, whether a
// response may start, and whether the connection is reused, closed or handed
// off.  Every decision a driver needs is one call; the state performs no I/O
// and hands back what the caller must act on (the transport to read, close or
// hand off, the event to await, the bytes read past the last message).
//
// Plain data with no lock of its own: the host class holds it under its
// mutex.  `Obj` is the binding's owning handle of a host object (see
// watcher.h).  The state owns the connection's codec and the current
// request's body decoder as `Obj`s and reaches their byte work through
// `Peers`, a type of static functions:
//
//   std::size_t Peers::codec_buffered(const Obj& codec)
//   void        Peers::codec_feed(const Obj& codec, ByteBuffer&& bytes)
//   void        Peers::codec_feed_data(const Obj& codec, const Obj& data)
//   ByteBuffer  Peers::codec_take(const Obj& codec)
//   void        Peers::codec_reset(const Obj& codec)
//   ByteBuffer  Peers::decoder_take_buffered(const Obj& decoder)
//
// The binding implements them by taking the codec's or the decoder's own
// lock inside the state's (never the reverse); a test implements them over
// plain values.  codec_feed_data appends the octets of a bytes object the
// watcher read.  Each may throw std::bad_alloc.
//
// Objects that leave the state are returned or put in a Dropped record, never
// released here, so the caller releases them after unlocking.
//
// Request sequence numbers: the first accepted request is 1; a per-request
// call with 0 or another request's number is stale and is answered without
// touching the request state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/byte_buffer.h"
#include "core/h1/codes.h"
#include "core/h1/connection_base.h"
#include "core/invariant.h"

namespace vantric::h1 {

// What the state copies from an accepted request head.
struct RequestFacts {
  bool expect_continue = false;
  bool http10 = false;
  bool keep_alive = false;
  bool is_upgrade = false;  // an Upgrade field, or CONNECT
  bool is_connect = false;
};

// The encoder's verdicts on a response head it wrote (Codec::response_is_last
// and Codec::response_close_delimited).
struct ResponseVerdicts {
  bool is_last = false;
  bool close_delimited = false;
};

// Host objects a transition gave up and nobody gets back: a replaced decoder,
// an event that was not stored, the arguments of an ignored completion.
// Declared by the caller before its lock guard, so they are released after it.
template <class Obj>
class Dropped {
 public:
  void add(Obj&& obj) {
    if (!obj) return;
    for (Obj& slot : objects_) {
      if (!slot) {
        slot = std::move(obj);
        return;
      }
    }
    VANTRIC_INVARIANT(false, "more objects dropped by one transition than it can give up");
  }
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Obj& obj : objects_) visit(obj);
  }

 private:
  Obj objects_[2];
};

// The per-request fields, reset by each accepted head.
struct RequestFields {
  bool expect_continue = false;
  bool http10 = false;
  bool keep_alive = false;
  bool is_upgrade = false;
  bool is_connect = false;
  bool may_switch = false;        // the response might switch protocols
  bool responded = false;         // the response (or a detach) is claimed, once
  bool head_pending = false;      // a claim waits for a 100 Continue write
  bool response_done = true;      // the mid-message window is over
  bool body_complete = true;      // the request body was read to its end
  bool read_owned = false;        // a body reader or a drain owns the transport read
  bool continue_claimed = false;  // the body reader claimed the 100 Continue
  bool peer_closed = false;       // the client left while the response was in flight
  bool head_negotiated = false;   // whether the response switches is decided
  bool is_switch = false;         // the encoded head switches protocols
  bool reuse = false;             // the encoder's verdict: another message may follow
  bool want = false;              // somebody asked for the background read

  bool operator==(const RequestFields&) const = default;
};

template <class Obj, class Peers>
class ServerState : public ConnectionBase<Obj> {
  using Base = ConnectionBase<Obj>;
  using Base::close;
  using Base::closed_;
  using Base::transport_;
  using Base::watcher_;

 public:
  ServerState(Obj codec, Obj transport, bool keep_alive, bool half_close)
      : Base(std::move(transport)),
        codec_(std::move(codec)),
        half_close_(half_close),
        keep_alive_enabled_(keep_alive) {}

  // A verdict of the read step and the object it names (transport or event).
  struct Step {
    ReadStep code;
    Obj object;
  };

  // What respond_head() decided.  `encoded` is false when the claim was
  // refused or the encoder failed (`code` is kOk then; the caller raises the
  // encoder's error).
  struct Respond {
    RequestClaim code;
    bool encoded;
    bool armed;
  };

  // What finish_response() hands back: a switch hands off the transport with
  // the bytes read past the last message; a close hands it back to close.
  struct Finish {
    bool switched;
    bool close;
    Obj transport;
    std::optional<ByteBuffer> leftover;
  };

  struct Detach {
    RequestClaim code;
    Obj transport;
    std::optional<ByteBuffer> leftover;
  };

  struct Closed {
    Obj transport;
    Obj done;
    bool already_closed;
  };

  // ---- observers ------------------------------------------------------------------

  const Obj& codec() const { return codec_; }
  const Obj& decoder() const { return decoder_; }
  // The transport while the connection is open; null once closed or handed off.
  const Obj* open_transport() const { return closed_ || !transport_ ? nullptr : &transport_; }
  uint64_t current_seq() const { return seq_; }
  const RequestFields& request() const { return request_; }
  bool closed() const { return closed_; }
  bool reusable() const { return reusable_; }
  bool upgraded() const { return this->upgraded_; }
  bool half_close() const { return half_close_; }
  bool keep_alive_enabled() const { return keep_alive_enabled_; }
  bool shutdown_requested() const { return shutdown_requested_; }
  bool idle_read_parked() const { return idle_read_parked_; }
  bool has_watcher() const { return watcher_.present(); }
  bool watcher_parked() const { return watcher_.parked(); }

  // ---- the next request ---------------------------------------------------------

  // Where the next request head comes from, or why there is none.
  Step begin_read(Dropped<Obj>& dropped) {
    if (closed_ || !reusable_) return {ReadStep::kNextNone, {}};
    if (seq_ == 0) return ready_step(dropped);
    if (!request_.response_done) return {ReadStep::kNextRaise, {}};
    if (request_.body_complete) return ready_step(dropped);
    if (request_.read_owned) {
      // A body reader is parked on the transport: the unread rest of the
      // body cannot be skipped without taking its read away.
      reusable_ = false;
      return {ReadStep::kNextClose, close()};
    }
    request_.read_owned = true;
    return {ReadStep::kNextDrain, {}};
  }

  // One drain attempt ended; `complete` when the body was read to its end.
  Step drain_done(bool complete, Dropped<Obj>& dropped) {
    request_.read_owned = false;
    if (complete) {
      request_.body_complete = true;
      return ready_step(dropped);
    }
    reusable_ = false;
    return {ReadStep::kNextClose, close()};
  }

  // The idle read returned: from now on a shutdown no longer closes under it.
  // True when a shutdown closed the connection while it was parked.
  bool unpark_idle_read() {
    idle_read_parked_ = false;
    return closed_;
  }

  // A complete request head was parsed from the codec: `decoder` (its body
  // decoder, already holding the bytes that followed the head; `complete`
  // when its body is empty) becomes the current one and the request gets the
  // next sequence number, which is returned.
  uint64_t accept(const RequestFacts& facts, Obj decoder, bool complete, Dropped<Obj>& dropped) {
    dropped.add(std::exchange(decoder_, std::move(decoder)));
    seq_ = next_seq_++;
    request_ = RequestFields{};
    request_.expect_continue = facts.expect_continue;
    request_.http10 = facts.http10;
    request_.keep_alive = facts.keep_alive;
    request_.is_upgrade = facts.is_upgrade;
    request_.is_connect = facts.is_connect;
    request_.may_switch = facts.is_upgrade || facts.is_connect;
    request_.response_done = false;
    request_.body_complete = complete;
    return seq_;
  }

  // ---- connection-level closes ----------------------------------------------------

  // A head could not be parsed: closed; the transport comes back for the
  // automatic error response and the close.
  Obj fail_read() { return close(); }
  // The serve loop ends; the transport stays for mark_closed().
  void stop_serving() { closed_ = true; }
  // The body read broke: no further request on this connection.
  void mark_unusable() { reusable_ = false; }
  Closed mark_closed() {
    const bool already = closed_;
    return {close(), this->share_watcher_done(), already};
  }
  // A graceful shutdown: no further request; an idle read parked for the
  // next head is ended by closing the transport returned here.
  Obj request_shutdown() {
    reusable_ = false;
    shutdown_requested_ = true;
    if (!idle_read_parked_) return {};
    return close();
  }

  // ---- body reading ---------------------------------------------------------------

  bool begin_body_read(uint64_t seq) {
    if (!current(seq) || request_.body_complete || request_.read_owned) return false;
    request_.read_owned = true;
    return true;
  }
  void end_body_read(uint64_t seq, bool complete) {
    if (!current(seq)) return;
    request_.read_owned = false;
    if (complete) request_.body_complete = true;
  }
  // Claims the one 100 Continue (RFC 9110 section 10.1.1): only to an
  // HTTP/1.1 client that asked, and never once the response is claimed.
  bool try_send_continue(uint64_t seq) {
    if (!current(seq) || !request_.expect_continue || request_.continue_claimed || request_.responded ||
        request_.http10)
      return false;
    request_.continue_claimed = true;
    return true;
  }

  // ---- the response -------------------------------------------------------------

  // Claims the response of request `seq` and has `encode(keep_alive,
  // http10)` write its head with `status`: it returns the encoder's
  // verdicts, or nullopt when the encoder failed (the claim then stands).
  // Afterwards the background read is armed for `done` (moved out) when the
  // arm decision allows it; otherwise `done` stays with the caller.
  template <class Encode>
  Respond respond_head(uint64_t seq, uint16_t status, bool want, Obj& done, Encode&& encode) {
    Respond out = claim_response(seq);
    if (out.code != RequestClaim::kOk) return out;
    // A connection that will not carry another request says so (RFC 9112
    // section 9.6): after a shutdown request, and after a broken body read.
    const bool keep_alive = keep_alive_enabled_ && request_.keep_alive && !shutdown_requested_ && reusable_;
    const std::optional<ResponseVerdicts> verdicts = encode(keep_alive, request_.http10);
    if (!verdicts) return out;
    out.encoded = true;
    request_.reuse = !verdicts->is_last && !verdicts->close_delimited;
    request_.is_switch = switches(status);
    request_.head_negotiated = true;
    if (want) request_.want = true;
    out.armed = arm_decision(done);
    return out;
  }

  // The response of request `seq` is fully on the wire.
  Finish finish_response(uint64_t seq) {
    if (!current(seq)) return {false, false, {}, std::nullopt};
    request_.response_done = true;
    if (request_.is_switch) {
      move_decoder_bytes();
      ByteBuffer leftover = Peers::codec_take(codec_);
      reusable_ = false;
      return {true, false, this->hand_off(), std::move(leftover)};
    }
    reusable_ = reusable_ && request_.reuse;
    if (reusable_) return {false, false, {}, std::nullopt};
    return {false, true, close(), std::nullopt};
  }

  // The response failed: the connection closes whatever `seq` is.
  Obj fail_response(uint64_t seq) {
    if (current(seq)) request_.response_done = true;
    reusable_ = false;
    return close();
  }

  // Hands the raw connection over without a response, with every byte read
  // past the request head.  A parked watcher read refuses it: the read can be
  // neither handed over nor cancelled without losing bytes.
  Detach detach(uint64_t seq, Dropped<Obj>& dropped) {
    if (!current(seq)) return {RequestClaim::kStale, {}, std::nullopt};
    if (request_.responded) return {RequestClaim::kAlready, {}, std::nullopt};
    if (watcher_.parked()) return {RequestClaim::kParked, {}, std::nullopt};
    // Wire order: the decoder's bytes past the body, then what the watcher
    // read after them.
    move_decoder_bytes();
    if (WatcherSlot<Obj>* slot = watcher_.slot(); slot != nullptr && slot->data) {
      Peers::codec_feed_data(codec_, slot->data);
      dropped.add(std::exchange(slot->data, Obj{}));
    }
    ByteBuffer leftover = Peers::codec_take(codec_);
    request_.responded = true;
    request_.response_done = true;
    reusable_ = false;
    return {RequestClaim::kOk, this->hand_off(), std::move(leftover)};
  }

  // ---- the mid-message window -----------------------------------------------------

  // Stale: false; the window over: whether the peer closed; open: nullopt
  // (the caller arms the watcher and waits).
  std::optional<bool> peer_closed_now(uint64_t seq) const {
    if (!current(seq)) return false;
    if (request_.response_done) return request_.peer_closed;
    return std::nullopt;
  }
  bool peer_closed_flag(uint64_t seq) const { return current(seq) && request_.peer_closed; }
  // Ends the window early; true when it flipped.
  bool close_window(uint64_t seq) {
    if (!current(seq) || request_.response_done) return false;
    request_.response_done = true;
    return true;
  }

  // ---- the watcher ----------------------------------------------------------------

  // Arms the background read for `done` (moved out) when the arm decision
  // allows it; otherwise `done` stays with the caller.
  bool arm_watcher(uint64_t seq, Obj& done, bool want, bool head_negotiated) {
    if (!current(seq)) return false;
    if (head_negotiated) request_.head_negotiated = true;
    if (want) request_.want = true;
    return arm_decision(done);
  }
  // The background read finished with `data` (absent, or bytes; `has_bytes`
  // when they are not empty) or `error`.  True when it tells that the client
  // left while the response was in flight (the caller resolves the request's
  // peer-closed event); the connection is then not reused.
  bool watcher_completed(Obj data, bool has_bytes, Obj error, Dropped<Obj>& dropped) {
    WatcherSlot<Obj>* slot = watcher_.slot();
    if (slot == nullptr) {
      dropped.add(std::move(data));
      dropped.add(std::move(error));
      return false;
    }
    const bool gone = !has_bytes;
    dropped.add(std::exchange(slot->data, std::move(data)));
    dropped.add(std::exchange(slot->error, std::move(error)));
    slot->phase = WatcherPhase::kCompleted;
    if (!gone || request_.response_done || request_.peer_closed) return false;
    reusable_ = false;
    request_.peer_closed = true;
    return true;
  }

  // "H1ServerState(seq=0, closed=false, reusable=true, responded=false, response_done=true, watcher=false)"
  std::string repr() const {
    auto b = [](bool v) { return v ? "true" : "false"; };
    std::string out = "H1ServerState(seq=";
    out += std::to_string(seq_);
    out += ", closed=";
    out += b(closed_);
    out += ", reusable=";
    out += b(reusable_);
    out += ", responded=";
    out += b(request_.responded);
    out += ", response_done=";
    out += b(request_.response_done);
    out += ", watcher=";
    out += b(watcher_.present());
    out += ')';
    return out;
  }

  // Calls visit(const Obj&) for each held host object (garbage collection).
  template <class Visit>
  void for_each_object(Visit&& visit) const {
    visit(codec_);
    visit(transport_);
    watcher_.for_each(visit);
    visit(decoder_);
  }
  // Moves the transport, the watcher slot's objects and the decoder into
  // `sink(Obj&&)` (garbage collection clearing).  The codec stays: it holds
  // no host object, so it is never part of a cycle, and every method needs it.
  template <class Sink>
  void take_all(Sink&& sink) {
    sink(std::exchange(transport_, Obj{}));
    watcher_.take_all(sink);
    sink(std::exchange(decoder_, Obj{}));
  }
  // Deallocation: the codec too.
  Obj take_codec() { return std::exchange(codec_, Obj{}); }

 private:
  bool current(uint64_t seq) const { return seq != 0 && seq == seq_; }

  // Positions the connection at the next request head.
  Step ready_step(Dropped<Obj>& dropped) {
    move_decoder_bytes();
    Peers::codec_reset(codec_);
    dropped.add(std::exchange(decoder_, Obj{}));
    request_.response_done = true;
    request_.body_complete = true;
    if (Peers::codec_buffered(codec_) != 0) return {ReadStep::kReadParse, {}};
    if (shutdown_requested_) return {ReadStep::kReadShutdown, {}};
    if (const Obj* done = watcher_.done()) {
      idle_read_parked_ = true;
      return {ReadStep::kReadWatcher, done->share()};
    }
    if (!transport_) return {ReadStep::kReadEof, {}};
    idle_read_parked_ = true;
    return {ReadStep::kReadTransport, transport_.share()};
  }

  // The first two steps of respond_head: the claim, with the detour around a
  // claimed 100 Continue.
  Respond claim_response(uint64_t seq) {
    if (!current(seq)) return {RequestClaim::kStale, false, false};
    if (request_.head_pending) {
      request_.head_pending = false;  // the second call, after the continue
    } else if (request_.responded) {
      return {RequestClaim::kAlready, false, false};
    } else {
      request_.responded = true;
      if (request_.continue_claimed) {
        // RFC 9110 section 15.2: the interim response goes out first.
        request_.head_pending = true;
        return {RequestClaim::kContinue, false, false};
      }
    }
    if (request_.peer_closed) return {RequestClaim::kPeerClosed, false, false};
    return {RequestClaim::kOk, false, false};
  }

  // RFC 9110 section 15.2.2 (101 to an Upgrade) and RFC 9110 section 9.3.6
  // (any 2xx to CONNECT makes the connection a tunnel).
  bool switches(uint16_t status) const {
    if (status == 101 && request_.is_upgrade) return true;
    return request_.is_connect && status >= 200 && status <= 299;
  }

  // Whether a background read may be parked now: only while the response is
  // in flight, the body is read, and the connection stays HTTP.  Bytes of
  // the next request already here make it pointless (and it would steal
  // them): those past the body go back to the codec instead.
  bool arm_decision(Obj& done) {
    if (!request_.want || half_close_ || closed_ || !transport_ || watcher_.present() ||
        !request_.body_complete || request_.response_done)
      return false;
    if (request_.may_switch && (!request_.head_negotiated || request_.is_switch)) return false;
    if (Peers::codec_buffered(codec_) != 0) return false;
    if (move_decoder_bytes()) return false;
    watcher_.arm(std::move(done));
    return true;
  }

  // Moves the bytes the decoder holds past its body to the end of the
  // codec's read buffer, where the next head is parsed from; true when there
  // were any.
  bool move_decoder_bytes() {
    if (!decoder_) return false;
    ByteBuffer past = Peers::decoder_take_buffered(decoder_);
    if (past.empty()) return false;
    Peers::codec_feed(codec_, std::move(past));
    return true;
  }

  Obj codec_;
  Obj decoder_;
  uint64_t next_seq_ = 1;
  uint64_t seq_ = 0;
  RequestFields request_;
  bool reusable_ = true;
  bool half_close_;
  bool keep_alive_enabled_;
  bool shutdown_requested_ = false;
  bool idle_read_parked_ = false;
};

}  // namespace vantric::h1
