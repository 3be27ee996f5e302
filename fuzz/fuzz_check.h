// The checks every harness makes: a failed property aborts, so that libFuzzer
// keeps the input; views a parse returns must lie inside what it was given.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace vantric::fuzz {

inline void check(bool ok) {
  if (!ok) std::abort();
}

// Whether `part` lies inside `whole` (an empty view is anywhere).
inline bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  auto p = reinterpret_cast<std::uintptr_t>(part.data());
  auto b = reinterpret_cast<std::uintptr_t>(whole.data());
  return p >= b && p - b + part.size() <= whole.size();
}

}  // namespace vantric::fuzz
