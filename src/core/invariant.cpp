#include "core/invariant.h"

#include <string>

namespace vantric {
namespace {

thread_local unsigned t_failures = 0;

}  // namespace

InvariantFailure::InvariantFailure(const std::string& what) : std::logic_error(what) {
  ++t_failures;
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
