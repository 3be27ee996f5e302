#include "core/http/utf8.h"

#include <cstdint>
#include <cstring>

namespace vantric::http {

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

bool is_valid_utf8(std::string_view text) noexcept {
  // Field values are nearly always ASCII: skip it eight octets at a time.
  while (!text.empty()) {
    while (text.size() >= 8) {
      uint64_t word;
      std::memcpy(&word, text.data(), 8);
      if (word & 0x8080808080808080ull) break;
      text.remove_prefix(8);
    }
    if (text.empty()) break;
    const int n = utf8_sequence(text);
    if (n < 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vantric::http
