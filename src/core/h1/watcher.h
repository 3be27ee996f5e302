// The watcher slot: the record of a background read that a driver parks on an
// HTTP/1 connection, so that a peer's close or stray bytes are seen at once
// and a read still in flight when the next message starts is handed to it.
// The client parks it between exchanges, the server while a response is in
// flight; both use the same slot and the same hand-over rules.
//
// `Obj` is the owning handle of a host object supplied by the binding (a
// move-only type whose empty value means "absent", which converts to bool and
// makes a second owner with share()); the core never looks inside it.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

namespace vantric::h1 {

enum class WatcherPhase : uint8_t {
  kParked,     // the read is in flight
  kCompleted,  // the read returned or was aborted
};

template <class Obj>
struct WatcherSlot {
  Obj done;    // the event the watcher task sets when it finishes
  Obj handle;  // the spawned task's handle, stored after spawning, taken once
  Obj data;    // bytes the watcher read, for the next reader
  Obj error;   // the transport error the watcher read, for the next reader
  WatcherPhase phase = WatcherPhase::kParked;

  // Calls visit(const Obj&) for each held object.
  template <class Visit>
  void for_each(Visit&& visit) const {
    visit(done);
    visit(handle);
    visit(data);
    visit(error);
  }
};

// The optional slot and the operations both connection states share.  The
// handle is stored once and taken once; the slot goes away only when its
// result is taken after its handle, so a closing driver can still join a task
// whose result somebody else consumed.
template <class Obj>
class Watcher {
 public:
  bool present() const { return slot_.has_value(); }
  bool parked() const { return slot_ && slot_->phase == WatcherPhase::kParked; }
  WatcherSlot<Obj>* slot() { return slot_ ? &*slot_ : nullptr; }

  // Creates the slot for `done` (there is none).
  void arm(Obj&& done) {
    slot_.emplace();
    slot_->done = std::move(done);
  }
  // Stores the task's handle unless `closed`, there is no slot or it has a
  // handle already; a refused handle is returned (its spawner joins it).
  Obj store_handle(Obj handle, bool closed) {
    if (closed || !slot_ || slot_->handle) return handle;
    slot_->handle = std::move(handle);
    return {};
  }
  void aborted() {
    if (slot_) slot_->phase = WatcherPhase::kCompleted;
  }
  const Obj* done() const { return slot_ ? &slot_->done : nullptr; }
  Obj take_handle() { return slot_ ? std::exchange(slot_->handle, Obj{}) : Obj{}; }
  // Takes (data, error); the slot goes once its handle was taken too.
  std::pair<Obj, Obj> take_result() {
    if (!slot_) return {};
    std::pair<Obj, Obj> out{std::exchange(slot_->data, Obj{}), std::exchange(slot_->error, Obj{})};
    if (!slot_->handle) slot_.reset();
    return out;
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    if (slot_) slot_->for_each(visit);
  }
  // Moves every held object into `sink(Obj&&)`; the slot becomes absent.
  template <class Sink>
  void take_all(Sink&& sink) {
    if (!slot_) return;
    sink(std::exchange(slot_->done, Obj{}));
    sink(std::exchange(slot_->handle, Obj{}));
    sink(std::exchange(slot_->data, Obj{}));
    sink(std::exchange(slot_->error, Obj{}));
    slot_.reset();
  }

 private:
  std::optional<WatcherSlot<Obj>> slot_;
};

}  // namespace vantric::h1
