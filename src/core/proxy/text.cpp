#include "core/proxy/text.h"

#include <cstdint>

#include "core/http/utf8.h"

namespace vantric::proxy {
namespace {

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

}  // namespace

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) << 4 | hex_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string replace_invalid_utf8(std::string_view text) {
  static constexpr std::string_view kReplacement = "\xef\xbf\xbd";
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const int n = http::utf8_sequence(text);
    if (n > 0) {
      out.append(text.substr(0, static_cast<std::size_t>(n)));
      text.remove_prefix(static_cast<std::size_t>(n));
    } else {
      out.append(kReplacement);
      text.remove_prefix(static_cast<std::size_t>(-n));
    }
  }
  return out;
}

std::string base64(std::string_view octets) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((octets.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto at = [&octets](std::size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(octets[k])); };
  for (; i + 3 <= octets.size(); i += 3) {
    const uint32_t group = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(group >> shift) & 63]);
  }
  const std::size_t rest = octets.size() - i;
  if (rest != 0) {
    const uint32_t group = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out.push_back(kAlphabet[group >> 18]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace vantric::proxy
