// The mutex of every host object with mutable state.
//
// One byte of state, one compare-and-swap on the uncontended path.  A thread
// that must block first detaches from the interpreter, so it never holds the
// interpreter while waiting for a thread that may need it (the idiom of the
// standard library's own extension modules).  A lock whose holder left through
// an internal fault is marked abandoned: every later acquisition fails with an
// internal fault instead of working on a state that may be half-changed.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/invariant.h"

namespace vantric::py {

class HostMutex {
 public:
  HostMutex() = default;
  HostMutex(const HostMutex&) = delete;
  HostMutex& operator=(const HostMutex&) = delete;

  void lock() {
    uint8_t expected = kUnlocked;
    if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                        std::memory_order_relaxed)) [[unlikely]]
      lock_contended();
  }

  bool try_lock() {
    uint8_t expected = kUnlocked;
    return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock() {
    if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) [[unlikely]]
      state_.notify_all();
  }

  bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }
  void mark_abandoned() { abandoned_.store(true, std::memory_order_relaxed); }

 private:
  static constexpr uint8_t kUnlocked = 0;
  static constexpr uint8_t kLocked = 1;
  static constexpr uint8_t kContended = 2;

  void lock_contended() {
    Py_BEGIN_ALLOW_THREADS
        // Futex-style: mark the lock contended so the holder wakes us on unlock.
        while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked)
            state_.wait(kContended, std::memory_order_relaxed);
    Py_END_ALLOW_THREADS
  }

  std::atomic<uint8_t> state_{kUnlocked};
  std::atomic<bool> abandoned_{false};
};

// Scoped hold of a HostMutex.  Refuses (with an internal fault) a lock that an
// earlier internal fault abandoned; marks the lock abandoned when this thread
// raised an invariant failure inside the scope.  An allocation failure leaves
// it usable: core operations change nothing when they cannot allocate.
//
// The guard remembers the process-wide failure serial rather than a
// thread-local count: in a shared object every thread-local access is a call
// into the dynamic loader, and the uncontended path should cost no more than
// the lock's own compare-and-swap.
class HostLock {
 public:
  explicit HostLock(HostMutex& mutex) : mutex_(mutex) {
    mutex_.lock();
    if (mutex_.abandoned()) [[unlikely]] {
      mutex_.unlock();
      ::vantric::fail_invariant("object lock abandoned by an earlier internal fault", __FILE__, __LINE__);
    }
    serial_ = invariant_failure_serial();
  }
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;
  ~HostLock() {
    if (invariant_failure_serial() != serial_) [[unlikely]] {
      if (invariant_failed_since(serial_)) mutex_.mark_abandoned();
    }
    mutex_.unlock();
  }

 private:
  HostMutex& mutex_;
  uint64_t serial_ = 0;
};

}  // namespace vantric::py
