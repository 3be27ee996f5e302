// HTTP/1 head parsing (RFC 9112 sections 2 to 6): a request head on the
// server side, a response head on the client side, each with the body
// framing and keep-alive decision it implies.
//
// A parse reads the front of a connection's read buffer.  It needs more
// bytes, fails with a parse error kind, or takes exactly the head's bytes off
// the front of the buffer.  While scanning it only records offsets (up to 100
// field lines in fixed storage); a complete head is then copied once into a
// shared block, and the method, target, field names and values are views of
// that block.  The header collection attaches the block, so values are never
// copied again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/byte_buffer.h"
#include "core/h1/error.h"
#include "core/h1/message.h"
#include "core/h1/method.h"
#include "core/http/header_map.h"
#include "core/http/shared_octets.h"
#include "core/progress.h"

namespace vantric::h1 {

// Field lines a head may carry unless configured otherwise (always on the
// response side).
inline constexpr std::size_t kDefaultMaxHeaders = 100;
// The default cap on an incomplete head: room for the request line and 100
// fields of 4 KiB.
inline constexpr std::size_t kDefaultMaxBufSize = 8192 + 4096 * 100;
inline constexpr std::size_t kMinMaxBufSize = 8192;
// RFC 9112 section 3 leaves the limit to the recipient; a longer target is
// answered with 414.
inline constexpr std::size_t kMaxTargetLength = 65534;

struct ParseLimits {
  // Request side only; the response side always admits kDefaultMaxHeaders.
  std::size_t max_headers = kDefaultMaxHeaders;
  // Request side only: skip a malformed field line instead of failing.
  bool ignore_invalid_headers = false;
  // An incomplete head this long or longer fails with TooLarge.
  std::size_t max_buf_size = kDefaultMaxBufSize;
};

struct HeadResult {
  Progress status = Progress::kNeedMore;
  ParseKind error = ParseKind::kInternal;  // meaningful when kFailed
};

struct RequestHead {
  // The head's octets; every view below points into it.
  http::SharedOctets block;
  Method method = Method::kGet;
  std::string_view method_text;
  // The request-target as the host sees it: `target_scheme` followed by
  // `target`.  `target_scheme` is "http" or "https" when an absolute-form
  // target spelled that scheme in another case (then `target` starts after
  // the scheme as received), else empty and `target` is the whole text.
  std::string_view target_scheme;
  std::string_view target;
  uint64_t body_length = 0;  // see message.h
  bool keep_alive = true;
  bool expect_continue = false;
  bool is_upgrade = false;
  bool http10 = false;
  bool allow_trailers = false;
  // Host field lines, counted up to 2 (RFC 9112 section 3.2 wants exactly
  // one in an HTTP/1.1 request).
  uint8_t host_count = 0;
};

struct ResponseHead {
  http::SharedOctets block;
  uint16_t status = 0;
  uint64_t body_length = 0;
  bool keep_alive = true;
  bool is_upgrade = false;
  bool http10 = false;
};

// Parses a request head from the front of `buffer`.  kDone: the head's
// bytes are consumed, `out` is filled (its views live as long as `out.block`
// or a copy of it) and `headers` holds the field lines in arrival order, less
// the Content-Length lines the framing rules drop; the values are views of the
// block, which `headers` attaches.  The head's fields go into a map the caller
// owns so that it can be one the host already holds, filled in place.
// kNeedMore and kFailed consume nothing and leave `out` and `headers`
// unspecified.  Failure kinds: Method, Version, VersionH2 (the HTTP/2
// connection preface), Uri, UriTooLong, HeaderToken,
// HeaderContentLengthInvalid, HeaderTransferEncodingInvalid,
// HeaderTransferEncodingUnexpected, TooLarge.  Fewer than 24 bytes that begin
// the HTTP/2 preface need more.  Throws std::bad_alloc only, consuming
// nothing.
HeadResult parse_request(ByteBuffer& buffer, const ParseLimits& limits, RequestHead& out,
                         http::HeaderMap& headers);

// How far an incomplete request head was found valid: the start of its first
// incomplete line, after the request line, with the field lines before it
// counted.  A head that arrives in small pieces is then checked from that line
// on instead of from its start, so that a peer trickling a large head costs
// time linear in its size rather than quadratic; the full parse runs once,
// when the head is complete or fails.  Valid only while the buffer is only
// appended to; reset it whenever bytes are consumed.
struct RequestScanProgress {
  std::size_t line_start = 0;  // 0: the request line is not complete yet
  std::size_t fields = 0;
};

// parse_request, resuming from and updating `progress`.  Gives exactly the
// result parse_request gives on the same buffer.
HeadResult parse_request(ByteBuffer& buffer, const ParseLimits& limits, RequestHead& out,
                         http::HeaderMap& headers, RequestScanProgress& progress);

// Parses a response head to a request of `request_method` (nullopt: none
// recorded, treated like any method but HEAD and CONNECT) from the front of
// `buffer`.  Interim 1xx heads before it (except 101) are consumed and
// skipped, whatever the outcome.  Otherwise as parse_request (`headers` gets
// every field line); failure kinds:
// Version, Status, HeaderToken, HeaderContentLengthInvalid,
// HeaderTransferEncodingUnexpected, TooLarge.  `limits.max_headers` and
// `limits.ignore_invalid_headers` are not used.
HeadResult parse_response(ByteBuffer& buffer, std::optional<Method> request_method, const ParseLimits& limits,
                          ResponseHead& out, http::HeaderMap& headers);

// The status a server answers a failed request head with before closing:
// 400, 414 (UriTooLong), 431 (TooLarge), or none (VersionH2, Status,
// Internal: nothing is written).
std::optional<uint16_t> automatic_status(ParseKind kind) noexcept;

}  // namespace vantric::h1
