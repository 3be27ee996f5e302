// Octet and text helpers for proxy credentials and environment values.
#pragma once

#include <string>
#include <string_view>

#include "core/http/utf8.h"

namespace vantric::proxy {

// RFC 3986 section 2.1: "%" and two hexadecimal digits become that octet.  A
// "%" not followed by two hexadecimal digits stays as it is: credentials in
// proxy settings are written by hand, and curl keeps such a sign too.
// Throws std::bad_alloc.
std::string percent_decode(std::string_view text);

// The shared UTF-8 check, under the name the proxy code has always used.
using http::is_valid_utf8;

// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD, one per
// maximal subpart (Unicode section 3.9, the practice of the WHATWG decoder
// and of the host's own "replace" error handler).  Throws std::bad_alloc.
std::string replace_invalid_utf8(std::string_view text);

// RFC 4648 section 4 Base64 with "=" padding.  Throws std::bad_alloc.
std::string base64(std::string_view octets);

}  // namespace vantric::proxy
