// What the HTTP/1 client and server connection states hold alike: the
// transport, whether the connection is closed or handed off, and the watcher
// slot, with the close rule and the watcher calls they share.
//
// `Obj` is the binding's owning handle of a host object (see watcher.h).
// Objects that leave are returned, never released here, so the caller can
// release them after unlocking.
#pragma once

#include <utility>

#include "core/h1/watcher.h"

namespace vantric::h1 {

template <class Obj>
class ConnectionBase {
 public:
  const Obj& transport() const { return transport_; }

  // Stores the watcher task's handle once; hands it back otherwise (also
  // once the connection is closed).
  Obj store_watcher_handle(Obj handle) { return watcher_.store_handle(std::move(handle), closed_); }
  void watcher_aborted() { watcher_.aborted(); }
  const Obj* watcher_done() const { return watcher_.done(); }
  Obj take_watcher_handle() { return watcher_.take_handle(); }
  // Takes the handed-off read; the slot goes once its handle was taken too.
  std::pair<Obj, Obj> take_watcher_result() { return watcher_.take_result(); }

 protected:
  explicit ConnectionBase(Obj transport) : transport_(std::move(transport)) {}
  ~ConnectionBase() = default;

  // Sets closed and takes the transport unless it was handed off.
  Obj close() {
    closed_ = true;
    if (upgraded_) return {};
    return std::exchange(transport_, Obj{});
  }
  // Sets closed and hands the transport off for a protocol switch: it is
  // never closed here again.
  Obj hand_off() {
    closed_ = true;
    upgraded_ = true;
    return std::exchange(transport_, Obj{});
  }
  // A second owner of the watcher's `done` event, for a closing driver to
  // wake it; none without a watcher.
  Obj share_watcher_done() const {
    const Obj* done = watcher_.done();
    return done != nullptr ? done->share() : Obj{};
  }

  Obj transport_;
  Watcher<Obj> watcher_;
  bool closed_ = false;
  bool upgraded_ = false;
};

}  // namespace vantric::h1
