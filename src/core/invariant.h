// Invariant failures: conditions the design rules out.
//
// Input never triggers these; they mark bugs.  They are thrown as C++
// exceptions so that the host crossing can turn them into the internal-fault
// exception with the failure text, and so that a held object lock is marked
// abandoned on the way out.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vantric {

class InvariantFailure : public std::logic_error {
 public:
  explicit InvariantFailure(const std::string& what);
};

// How many invariant failures this thread has raised so far.  A lock guard
// compares it across its scope to tell a failed invariant (the guarded state
// may be half-changed) from an allocation failure, which every operation
// survives with its state unchanged.
unsigned invariant_failure_count() noexcept;

namespace detail {
extern std::atomic<uint64_t> g_invariant_failure_serial;
}  // namespace detail

// The serial number of the latest invariant failure raised by any thread (0
// before the first).  One relaxed load of a process-wide counter and no
// thread-local access, so a lock guard can afford it on every acquisition;
// the rare guard that sees it move asks invariant_failed_since() whether the
// failure was its own thread's.
inline uint64_t invariant_failure_serial() noexcept {
  return detail::g_invariant_failure_serial.load(std::memory_order_relaxed);
}

// Whether this thread raised an invariant failure after invariant_failure_serial()
// returned `serial` on this thread.  Exact: a thread's own failures are numbered
// in the order it raises them.
bool invariant_failed_since(uint64_t serial) noexcept;

[[noreturn]] void fail_invariant(const char* what, const char* file, int line);

}  // namespace vantric

#define VANTRIC_INVARIANT(cond, what)                        \
  do {                                                       \
    if (!(cond)) [[unlikely]]                                \
      ::vantric::fail_invariant((what), __FILE__, __LINE__); \
  } while (0)
