// A header field as HPACK sees it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantric::hpack {

// RFC 7541 section 4.1: an entry's size is its name and value lengths plus 32.
inline constexpr std::size_t kEntryOverhead = 32;

constexpr std::size_t field_size(std::string_view name, std::string_view value) {
  return name.size() + value.size() + kEntryOverhead;
}

// The pseudo-header fields of RFC 9113 section 8.3 and RFC 8441 (:protocol).
enum class Pseudo : uint8_t { kNone, kAuthority, kMethod, kScheme, kPath, kProtocol, kStatus };

inline constexpr std::array<std::string_view, 7> kPseudoNames = {"",      ":authority", ":method", ":scheme",
                                                                 ":path", ":protocol",  ":status"};

constexpr std::string_view pseudo_name(Pseudo pseudo) {
  return kPseudoNames[static_cast<std::size_t>(pseudo)];
}

// One header field.  The encoder reads `name` (lowercase; empty means "another value
// of the previous field's name") and `value`; `pseudo` only tells the decoder's
// consumer which slot a pseudo-header belongs in.  `sensitive` is the never-indexed
// mark of RFC 7541 section 7.1.3 in both directions.
struct Field {
  std::string_view name;
  std::string_view value;
  Pseudo pseudo = Pseudo::kNone;
  bool sensitive = false;

  static constexpr Field make_pseudo(Pseudo pseudo, std::string_view value) {
    return Field{pseudo_name(pseudo), value, pseudo, false};
  }
};

}  // namespace vantric::hpack
