// The state of one HTTP/1 client connection: who holds the connection, whether
// it is still usable, the stored failure, the in-flight request writer and the
// idle watcher.  Every decision a driver makes about the connection is one
// call; the state performs no I/O and hands back what the caller must act on
// (the transport to close, the event to await, the handle to join).
//
// Plain data with no lock of its own: the host class holds it under its mutex.
// `Obj` is the binding's owning handle of a host object (see watcher.h);
// `obj.share()` makes a second owner of the same object.
// Objects that leave the state are returned, never released here, so the
// caller can release them after unlocking.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "core/h1/codes.h"
#include "core/h1/connection_base.h"

namespace vantric::h1 {

template <class Obj>
class ClientState : public ConnectionBase<Obj> {
  using Base = ConnectionBase<Obj>;
  using Base::close;
  using Base::closed_;
  using Base::transport_;
  using Base::watcher_;

 public:
  explicit ClientState(Obj transport) : Base(std::move(transport)) {}

  // What mark_closed() hands back.
  struct Closed {
    Obj transport;
    Obj done;
    Obj writer_scope;
    bool idle;
  };

  // The result of watcher_completed(): the verdict, the taken transport when
  // the connection closed, and the arguments the state did not keep.
  struct Completion {
    WatchVerdict verdict;
    Obj transport;
    Obj unused_data;
    Obj unused_error;
  };

  const Obj& error() const { return error_; }
  bool closed() const { return closed_; }
  bool busy() const { return busy_; }
  bool upgraded() const { return this->upgraded_; }
  bool peer_http10() const { return peer_http10_; }
  bool writer_finished() const { return writer_finished_; }
  bool has_watcher() const { return watcher_.present(); }
  bool is_dead() const { return closed_ || static_cast<bool>(error_); }

  void set_peer_http10(bool value) { peer_http10_ = value; }

  // Claims the connection for an exchange; false while another holds it.
  bool try_begin_exchange() {
    if (busy_) return false;
    busy_ = true;
    exchange_active_ = false;
    writer_finished_ = false;
    return true;
  }
  // Releases the claim; true when it flipped (the caller wakes idle waiters).
  bool end_exchange() { return std::exchange(busy_, false); }
  // From now on a completing watcher read belongs to the exchange.
  void exchange_started() { exchange_active_ = true; }

  // Stores `exc` unless an error is stored already (first error wins; the
  // refused one is returned through *dropped), closes, and takes the transport.
  Obj fail(Obj exc, Obj* dropped) {
    if (error_) {
      *dropped = std::move(exc);
    } else {
      error_ = std::move(exc);
    }
    return close();
  }
  Obj close_now() { return close(); }
  Closed mark_closed() {
    return {close(), this->share_watcher_done(), std::exchange(writer_scope_, Obj{}), !busy_};
  }
  // The transport is handed off for a protocol switch: never closed here again.
  Obj upgrade() { return this->hand_off(); }

  // Stores the request writer's scope; hands it back when the connection
  // closed meanwhile.
  Obj store_writer(Obj scope) {
    if (closed_) return scope;
    writer_scope_ = std::move(scope);
    return {};
  }
  Obj take_writer() { return std::exchange(writer_scope_, Obj{}); }
  void writer_done() { writer_finished_ = true; }

  // Parks a watcher with its `done` event; the argument comes back (refused)
  // when the connection is closed, failed, has no transport or has a watcher.
  bool arm_watcher(Obj& done) {
    if (closed_ || error_ || !transport_ || watcher_.present()) return false;
    exchange_active_ = false;
    watcher_.arm(std::move(done));
    return true;
  }
  // The watcher's read finished with `data` (absent, or bytes of
  // `data_size` octets; a size that cannot be told counts as end of stream)
  // or `error`.
  Completion watcher_completed(Obj data, std::optional<std::size_t> data_size, Obj error) {
    Completion out{WatchVerdict::kIgnored, {}, {}, {}};
    WatcherSlot<Obj>* slot = watcher_.slot();
    if (slot == nullptr) {
      out.unused_data = std::move(data);
      out.unused_error = std::move(error);
      return out;
    }
    slot->phase = WatcherPhase::kCompleted;
    if (exchange_active_) {
      out.unused_data = std::exchange(slot->data, std::move(data));
      out.unused_error = std::exchange(slot->error, std::move(error));
      out.verdict = WatchVerdict::kHandoff;
      return out;
    }
    const bool has_bytes = data && data_size.value_or(0) != 0;
    out.unused_data = std::move(data);
    if (has_bytes && !error) {
      out.verdict = WatchVerdict::kIdleBytes;
      return out;
    }
    if (error) {
      out.unused_error = std::move(error);
      out.verdict = closed_ ? WatchVerdict::kIgnored : WatchVerdict::kIdleError;
      return out;
    }
    // End of stream, or nothing found at all.
    out.transport = close();
    out.verdict = WatchVerdict::kIdleEof;
    return out;
  }

  // "H1ClientState(closed=false, failed=false, busy=false, exchange_active=false, watcher=false)"
  std::string repr() const {
    auto b = [](bool v) { return v ? "true" : "false"; };
    std::string out = "H1ClientState(closed=";
    out += b(closed_);
    out += ", failed=";
    out += b(static_cast<bool>(error_));
    out += ", busy=";
    out += b(busy_);
    out += ", exchange_active=";
    out += b(exchange_active_);
    out += ", watcher=";
    out += b(watcher_.present());
    out += ')';
    return out;
  }

  // Calls visit(const Obj&) for each held host object (garbage collection).
  template <class Visit>
  void for_each_object(Visit&& visit) const {
    visit(transport_);
    visit(error_);
    visit(writer_scope_);
    watcher_.for_each(visit);
  }
  // Moves every held host object into `sink(Obj&&)` (garbage collection
  // clearing); the watcher slot becomes absent.
  template <class Sink>
  void take_all(Sink&& sink) {
    sink(std::exchange(transport_, Obj{}));
    sink(std::exchange(error_, Obj{}));
    sink(std::exchange(writer_scope_, Obj{}));
    watcher_.take_all(sink);
  }

 private:
  Obj error_;
  Obj writer_scope_;
  bool busy_ = false;
  bool exchange_active_ = false;
  bool peer_http10_ = false;
  bool writer_finished_ = false;
};

}  // namespace vantric::h1
