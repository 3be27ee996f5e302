// Tests on HTTP/1 field values that decide framing and connection handling:
// token lists (Connection, Transfer-Encoding, TE), decimal Content-Length
// values.  Shared by the head parser and the message serializers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantric::h1 {

// Whether every octet of `value` is HTAB or 0x20-0x7E.  Token tests look only
// at such values; a value carrying obs-text or controls never lists a token.
bool is_visible_ascii(std::string_view value) noexcept;

// `text` equals `lowercase` ignoring ASCII case.
bool equals_ignoring_case(std::string_view text, std::string_view lowercase) noexcept;

// RFC 9110 section 5.6.1: whether one comma-separated element of `value`,
// trimmed of SP and HTAB, equals `lowercase_token` ignoring ASCII case.
// False for a value that is not visible ASCII.
bool lists_token(std::string_view value, std::string_view lowercase_token) noexcept;

// RFC 9112 section 6.3: whether the last transfer coding of `value` (its last
// comma-separated element, trimmed) is "chunked", ignoring ASCII case.  False
// for a value that is not visible ASCII.
bool is_chunked_last(std::string_view value) noexcept;

// One decimal number: one or more ASCII digits and nothing else, fitting 64
// bits (RFC 9110 section 8.6: Content-Length = 1*DIGIT).  nullopt otherwise.
std::optional<uint64_t> parse_decimal(std::string_view text) noexcept;

// RFC 9110 section 8.6 allows a recipient to accept a Content-Length that
// repeats one number, in a list or over several lines.  Folds one value, a
// comma-separated list of decimal numbers with elements trimmed of SP and
// HTAB, into `agreed`: false when an element does not parse or differs from a
// number seen before (in this value or an earlier one).
bool fold_content_length_list(std::string_view value, std::optional<uint64_t>& agreed) noexcept;

}  // namespace vantric::h1
