#include "core/invariant.h"

#include <string>

namespace vantric {

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
