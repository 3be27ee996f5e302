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
  using std::logic_error::logic_error;
};

[[noreturn]] void fail_invariant(const char* what, const char* file, int line);

}  // namespace vantric

#define VANTRIC_INVARIANT(cond, what)                                   \
  do {                                                                 \
    if (!(cond)) [[unlikely]]                                          \
      ::vantric::fail_invariant((what), __FILE__, __LINE__);            \
  } while (0)
