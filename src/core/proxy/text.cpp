#include "core/proxy/text.h"

#include <cstdint>

namespace vantric::proxy {
namespace {

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or the
// length of its maximal subpart negated (at least -1) when it is ill-formed.
// The bounds of the second octet exclude overlong forms, surrogates and code
// points above U+10FFFF (RFC 3629 section 4, Unicode table 3-7).
int utf8_sequence(std::string_view text) noexcept {
  const auto lead = static_cast<uint8_t>(text[0]);
  if (lead < 0x80) return 1;
  int needed = 0;
  uint8_t lower = 0x80;
  uint8_t upper = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    needed = 1;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    needed = 2;
    if (lead == 0xe0) lower = 0xa0;
    if (lead == 0xed) upper = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    needed = 3;
    if (lead == 0xf0) lower = 0x90;
    if (lead == 0xf4) upper = 0x8f;
  } else {
    return -1;
  }
  for (int k = 1; k <= needed; ++k) {
    if (static_cast<std::size_t>(k) >= text.size()) return -k;
    const auto c = static_cast<uint8_t>(text[k]);
    if (c < lower || c > upper) return -k;
    lower = 0x80;
    upper = 0xbf;
  }
  return needed + 1;
}

}  // namespace

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) << 4 | hex_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view text) noexcept {
  while (!text.empty()) {
    const int n = utf8_sequence(text);
    if (n < 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string replace_invalid_utf8(std::string_view text) {
  static constexpr std::string_view kReplacement = "\xef\xbf\xbd";
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const int n = utf8_sequence(text);
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
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
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
