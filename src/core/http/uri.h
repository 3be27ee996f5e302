// The URI grammar shared by request targets, request serialization, the
// HTTP/2 :authority and :path checks, URL splitting and proxy selection.
//
// One parser accepts the four forms of a request-target (RFC 9112 section
// 3.2) with the component grammar of RFC 3986:
//   absolute-form   scheme "://" authority [ path ] [ "?" query ] [ "#" fragment ]
//   authority-form  [ userinfo "@" ] host [ ":" port ]
//   origin-form     "/" path [ "?" query ] [ "#" fragment ]
//   asterisk-form   "*"
// Where RFC 3986 and practice differ, the grammar follows what curl and
// browsers send and what servers accept; each such choice is noted at the
// table or check that makes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantric::http {

// Why a URI was refused; the parsers return nullopt for an accepted one.
enum class UriError : uint8_t {
  kInvalidUriChar,
  kInvalidScheme,
  kInvalidAuthority,
  kInvalidPort,
  kInvalidFormat,
  kSchemeMissing,
  kAuthorityMissing,
  kPathMissing,
  kPathNoSlash,
  kTooLong,
  kEmpty,
  kSchemeTooLong,
};

// The description of an error, e.g. "invalid uri character".
std::string_view uri_error_text(UriError error) noexcept;

enum class UriForm : uint8_t { kOrigin, kAbsolute, kAuthority, kAsterisk };
enum class SchemeKind : uint8_t { kNone, kHttp, kHttps, kOther };

// Longest input accepted (RFC 9112 section 3 leaves the limit to the
// recipient; a longer request-target is answered with 414).
inline constexpr std::size_t kMaxUriLength = 65534;
// No registered scheme comes near this; a longer one is refused.
inline constexpr std::size_t kMaxSchemeLength = 64;

// A parsed URI.  Every view points into the parsed input (valid as long as
// it is), except `scheme` for http and https, which is static lowercase text.
// Absent components are empty views; the has_ flags tell an absent
// component from an empty one ("h:" has an empty port, "/?" an empty query).
struct Uri {
  UriForm form = UriForm::kOrigin;
  SchemeKind scheme_kind = SchemeKind::kNone;
  bool has_userinfo = false;
  bool has_port = false;
  bool has_query = false;
  bool has_fragment = false;
  // The port text as a number when it is 0..65535.
  std::optional<uint16_t> port;

  std::string_view scheme;          // "http"/"https" lowercase; other schemes as written
  std::string_view authority;       // the whole authority, user information included
  std::string_view userinfo;        // before the "@", without it
  std::string_view host;            // letters as written; an IPv6 literal keeps its brackets
  std::string_view port_text;       // the digits after the colon
  std::string_view path;            // "*" for the asterisk form
  std::string_view query;           // after the "?", without it
  std::string_view path_and_query;  // path, then "?" and the query when present
  std::string_view fragment;        // after the "#", without it
};

// Parses `input` as one of the four forms.  On nullopt `out` describes the
// input; on an error `out` is unspecified.
std::optional<UriError> parse_uri(std::string_view input, Uri& out) noexcept;

// Parses `input` as an authority alone (the HTTP/2 :authority field, a Host
// value, an authority given for a connection): kEmpty, kInvalidAuthority,
// kInvalidPort, kInvalidUriChar or kTooLong.
std::optional<UriError> parse_authority(std::string_view input, Uri& out) noexcept;

// Parses `input` as a request path (the HTTP/2 :path field): origin-form or
// "*".  kPathMissing for an empty input, kPathNoSlash for any other start,
// kInvalidUriChar, kTooLong.
std::optional<UriError> parse_request_path(std::string_view input, Uri& out) noexcept;

// Text forms of IP addresses in network byte order.  IPv4: four decimal
// octets without leading zeros (RFC 3986 section 3.2.2 dec-octet).  IPv6:
// RFC 4291 section 2.2 text, "::" at most once, an IPv4 tail allowed; no
// brackets, no zone.
bool parse_ipv4(std::string_view text, std::array<uint8_t, 4>* out) noexcept;
bool parse_ipv6(std::string_view text, std::array<uint8_t, 16>* out) noexcept;

// The default port of a scheme, compared exactly: http and ws 80, https and
// wss 443, none for any other scheme.
std::optional<uint16_t> default_port(std::string_view scheme) noexcept;

// What a client needs to dial a URL (the module's uri_parts).
struct UriParts {
  std::optional<std::string_view> scheme;  // as Uri::scheme
  std::optional<std::string_view> host;    // without leading "[" and trailing "]"
  // The explicit port when valid, else the scheme's default.
  std::optional<uint16_t> port;
  // The host as written, brackets kept, then ":" and the port; only when both exist.
  std::optional<std::string> authority;
};

// Splits `url`; the views point into `url`, or are static.  Errors as
// parse_uri.  Throws std::bad_alloc (the authority text).
std::optional<UriError> uri_parts(std::string_view url, UriParts& out);

// `text` in double quotes for a message: backslash escapes for the quote, the
// backslash, HTAB (\t), LF (\n), CR (\r), other C0 and C1 controls and DEL
// (\xhh), and octets that are not UTF-8 (\xhh); other characters as they are.
// Throws std::bad_alloc.
std::string quote_for_message(std::string_view text);

}  // namespace vantric::http
