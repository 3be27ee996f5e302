#include "py/suggest.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

namespace vantric::py {
namespace {

constexpr std::size_t kMaxStringSize = 40;
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxCandidates = 750;

std::size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

// Distance between a and b, or max_cost + 1 as soon as it must exceed max_cost.
std::size_t distance(std::string_view a, std::string_view b, std::size_t max_cost) {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxStringSize || b.size() > kMaxStringSize) return max_cost + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;

  // One row of the edit matrix, updated in place.
  std::array<std::size_t, kMaxStringSize> row{};
  for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t bi = 0; bi < b.size(); ++bi) {
    std::size_t diagonal = bi * kMoveCost;
    result = diagonal;
    std::size_t row_minimum = std::numeric_limits<std::size_t>::max();
    for (std::size_t ai = 0; ai < a.size(); ++ai) {
      std::size_t substitute = diagonal + substitution_cost(b[bi], a[ai]);
      diagonal = row[ai];
      std::size_t insert_delete = std::min(result, diagonal) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[ai] = result;
      row_minimum = std::min(row_minimum, result);
    }
    if (row_minimum > max_cost) return max_cost + 1;
  }
  return result;
}

}  // namespace

std::string_view closest_name(std::string_view name, std::span<const std::string_view> candidates) {
  if (candidates.size() >= kMaxCandidates) return {};
  std::string_view best;
  std::size_t best_distance = std::numeric_limits<std::size_t>::max();
  for (std::string_view candidate : candidates) {
    if (candidate == name) continue;
    std::size_t max_distance = (name.size() + candidate.size() + 3) * kMoveCost / 6;
    max_distance = std::min(max_distance, best_distance - 1);
    std::size_t d = distance(name, candidate, max_distance);
    if (d > max_distance) continue;
    if (best.empty() || d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace vantric::py
