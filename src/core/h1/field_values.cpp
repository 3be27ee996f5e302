#include "core/h1/field_values.h"

namespace vantric::h1 {
namespace {

constexpr bool is_ows(char c) noexcept {
  return c == ' ' || c == '\t';
}

std::string_view trim_ows(std::string_view text) noexcept {
  while (!text.empty() && is_ows(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ows(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

bool is_visible_ascii(std::string_view value) noexcept {
  for (char c : value) {
    const auto u = static_cast<uint8_t>(c);
    if (u != '\t' && (u < 0x20 || u > 0x7e)) return false;
  }
  return true;
}

bool equals_ignoring_case(std::string_view text, std::string_view lowercase) noexcept {
  if (text.size() != lowercase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lowercase[i]) return false;
  }
  return true;
}

bool lists_token(std::string_view value, std::string_view lowercase_token) noexcept {
  if (!is_visible_ascii(value)) return false;
  for (;;) {
    const std::size_t comma = value.find(',');
    if (equals_ignoring_case(trim_ows(value.substr(0, comma)), lowercase_token)) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

bool is_chunked_last(std::string_view value) noexcept {
  if (!is_visible_ascii(value)) return false;
  const std::size_t comma = value.rfind(',');
  if (comma != std::string_view::npos) value.remove_prefix(comma + 1);
  return equals_ignoring_case(trim_ows(value), "chunked");
}

std::optional<uint64_t> parse_decimal(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
}

bool fold_content_length_list(std::string_view value, std::optional<uint64_t>& agreed) noexcept {
  for (;;) {
    const std::size_t comma = value.find(',');
    const auto number = parse_decimal(trim_ows(value.substr(0, comma)));
    if (!number || (agreed && *agreed != *number)) return false;
    agreed = number;
    if (comma == std::string_view::npos) return true;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace vantric::h1
