// Invariant failures: conditions the design rules out.
//
// Input never triggers these; they mark bugs.  They are thrown as C++
// exceptions so that the host crossing can turn them into the internal-fault
// exception with the failure text, and so that a held object lock is marked
// abandoned on the way out.
#pragma once

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

[[noreturn]] void fail_invariant(const char* what, const char* file, int line);

}  // namespace vantric

#define VANTRIC_INVARIANT(cond, what)                                   \
  do {                                                                 \
    if (!(cond)) [[unlikely]]                                          \
      ::vantric::fail_invariant((what), __FILE__, __LINE__);            \
  } while (0)
