// The watcher slot: the record of a background read that a driver parks on
// an idle HTTP/1 connection, so that a peer's close or stray bytes are seen at
// once and a read still in flight when the next exchange starts is handed to
// that exchange.
//
// `Obj` is the owning handle of a host object supplied by the binding (a
// move-only type whose empty value means "absent" and which converts to bool);
// the core never looks inside it.
#pragma once

#include <cstdint>

namespace vantric::h1 {

enum class WatcherPhase : uint8_t {
  Parked,     // the read is in flight
  Completed,  // the read returned or was aborted
};

template <class Obj>
struct WatcherSlot {
  Obj done;    // the event the watcher task sets when it finishes
  Obj handle;  // the spawned task's handle, stored after spawning, taken once
  Obj data;    // bytes the watcher read, for the exchange
  Obj error;   // the transport error the watcher read, for the exchange
  WatcherPhase phase = WatcherPhase::Parked;

  // Calls visit(const Obj&) for each held object.
  template <class Visit>
  void for_each(Visit&& visit) const {
    visit(done);
    visit(handle);
    visit(data);
    visit(error);
  }
};

}  // namespace vantric::h1
