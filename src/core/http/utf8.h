// UTF-8 well-formedness (RFC 3629 section 4), shared by every check of text
// that arrives as octets: HPACK pseudo-header values, proxy credentials and
// environment values, HTTP/1 chunk extensions.
#pragma once

#include <string_view>

namespace vantric::http {

// The length (1 to 4) of the well-formed UTF-8 sequence at the start of
// `text` (not empty), or, when it is ill-formed, its maximal subpart negated
// (-1 to -3; Unicode section 3.9).  The bounds of the second octet exclude
// overlong forms, surrogates and code points above U+10FFFF (Unicode table
// 3-7).
int utf8_sequence(std::string_view text) noexcept;

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vantric::http
