#include "core/invariant.h"

#include <string>

namespace vantric {
namespace {

thread_local unsigned t_failures = 0;
// The serial number of this thread's latest invariant failure.
thread_local uint64_t t_last_serial = 0;

}  // namespace

namespace detail {
std::atomic<uint64_t> g_invariant_failure_serial{0};
}  // namespace detail

InvariantFailure::InvariantFailure(const std::string& what) : std::logic_error(what) {
  ++t_failures;
  t_last_serial = detail::g_invariant_failure_serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool invariant_failed_since(uint64_t serial) noexcept {
  // A serial read earlier on this thread precedes, in the counter's
  // modification order, every increment this thread made after reading it.
  return t_last_serial > serial;
}

unsigned invariant_failure_count() noexcept {
  return t_failures;
}

void fail_invariant(const char* what, const char* file, int line) {
  std::string text(what);
  text += " (";
  text += file;
  text += ':';
  text += std::to_string(line);
  text += ')';
  throw InvariantFailure(text);
}

}  // namespace vantric
