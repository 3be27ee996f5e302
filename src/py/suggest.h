// "Did you mean" suggestions for misspelt keyword arguments.
//
// The same rule as the interpreter's own (3.13 and newer) so that an unexpected
// keyword argument reads exactly as it would for a function written in the host
// language: a weighted Levenshtein distance (a case change costs 1, any other
// edit 2) and a candidate qualifies when at most a third of the characters
// involved change.
#pragma once

#include <span>
#include <string_view>

namespace vantric::py {

// The candidate closest to `name`, or an empty view when none is close enough
// (or `name` equals a candidate).  The result views one of `candidates`.
std::string_view closest_name(std::string_view name, std::span<const std::string_view> candidates);

}  // namespace vantric::py
