// HTTP/1 message serialization (RFC 9112): request and response heads with
// the header rewriting that decides their body framing, chunked framing of
// body data, the last chunk and the trailer section.
//
// The functions here are pure: they read a header collection and the caller's
// options, write into a byte buffer they are given, and report the body
// encoder the head implies.  The codec (codec_write.cpp) owns the buffer and
// the encoder in flight and decides when they change.
//
// Header collections are never modified.  The rewriting a head needs (a
// Connection line replaced, a framing line removed, added or extended) is
// applied while writing; only a removal of a line that is present changes the
// order of the other lines (the last name takes the removed one's place, the
// collection's own rule), and only then is the collection copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "core/h1/error.h"
#include "core/h1/message.h"
#include "core/h1/method.h"
#include "core/http/date.h"
#include "core/http/header_map.h"
#include "core/http/uri.h"

namespace vantric::h1 {

// The outgoing body framing in flight (RFC 9112 sections 6 and 7).
struct BodyEncoder {
  BodyFraming kind = BodyFraming::kLength;  // never kEmpty
  uint64_t remaining = 0;                   // Length: body octets still to send
  bool is_last = false;                     // the connection closes after this message
  // Chunked: whether the message had Trailer lines, and the names they
  // announce, lowercased, the values joined by commas.
  bool has_trailer_list = false;
  std::string allowed_trailers;

  static BodyEncoder length(uint64_t n) noexcept {
    BodyEncoder e;
    e.remaining = n;
    return e;
  }
  static BodyEncoder chunked() noexcept {
    BodyEncoder e;
    e.kind = BodyFraming::kChunked;
    return e;
  }
  static BodyEncoder close_delimited() noexcept {
    BodyEncoder e;
    e.kind = BodyFraming::kClose;
    return e;
  }
};

// The body the caller announces with a head: none, a known length, or an
// unknown length (chunked=True).  `chunked` wins over `content_length`.
struct BodyRequest {
  enum class Kind : uint8_t { kNone, kKnown, kUnknown };
  Kind kind = Kind::kNone;
  uint64_t length = 0;  // Known

  static constexpr BodyRequest of(std::optional<uint64_t> content_length, bool chunked) noexcept {
    if (chunked) return {Kind::kUnknown, 0};
    if (content_length) return {Kind::kKnown, *content_length};
    return {};
  }
};

// ---- request head -----------------------------------------------------------------

// A validated request line: the method token and the request-target in the
// pieces it is written from (views into the caller's text, which must outlive
// it, or static text).
struct RequestTarget {
  std::string_view method;
  Method method_id = Method::kGet;
  // The target as given, less a fragment, in its first `target_pieces`
  // pieces; an absolute form without a path gains "/".
  std::array<std::string_view, 5> target{};
  std::size_t target_pieces = 0;
};

// Why a request line was refused: the method is not a token, or the URL is
// not a request-target (with the URI parser's verdict).
struct RequestLineError {
  enum class Where : uint8_t { kMethod, kUrl };
  Where where = Where::kMethod;
  http::UriError uri_error = http::UriError::kEmpty;  // kUrl: why

  bool operator==(const RequestLineError&) const = default;
};

// Validates `method` as a method token (RFC 9110 section 9.1) and `url` as a
// URI reference of one of the four request-target forms, with the verdicts
// of http::parse_uri; fills `out` on success (views into the arguments).
std::optional<RequestLineError> check_request_line(std::string_view method, std::string_view url,
                                                   RequestTarget& out) noexcept;

struct RequestOptions {
  bool http10 = false;
  BodyRequest body;
};

// Writes the request head for `target` and `headers` into `out` (cleared
// first): request line, field lines (lowercase names), empty line; sets
// `encoder` to what the framing decision leaves (its is_last false) and
// returns whether some Connection line of the caller's lists "close".  No
// Host field is added and the target is not rewritten: the caller supplies
// both.  Throws std::bad_alloc, with `out` unspecified and `encoder`
// unchanged.
bool write_request_head(const RequestTarget& target, const http::HeaderMap& headers,
                        const RequestOptions& options, ByteBuffer& out, BodyEncoder& encoder);

// ---- response head ----------------------------------------------------------------

struct ResponseOptions {
  uint16_t status = 200;  // 100..999
  bool keep_alive = true;
  bool http10 = false;
  BodyRequest body;
  // The method of the request this response answers, if known.
  std::optional<Method> request_method;
  bool title_case = false;
  // The Date value source; nullptr writes no Date line of our own.
  http::DateCache* date = nullptr;
};

// Writes the response head into `out` (cleared first) and sets `encoder`
// (with is_last) on success.  Fails, with `encoder` unchanged and `out`
// unspecified, with User errors UnsupportedStatusCode (a 1xx other than 101)
// and UnexpectedHeader (a framing line after the framing was written, or a
// Content-Length that does not give the body length).  Throws
// std::bad_alloc.
std::optional<Error> write_response_head(const ResponseOptions& options, const http::HeaderMap& headers,
                                         ByteBuffer& out, BodyEncoder& encoder);

// The reason phrase written after `status`; "<none>" for a code without one.
// Static storage.
std::string_view reason_phrase(uint16_t status) noexcept;

// ---- body -------------------------------------------------------------------------

// "0" CRLF CRLF: the last chunk of a chunked body without trailers.
inline constexpr std::string_view kLastChunk = "0\r\n\r\n";
// The longest chunk-size line: 16 hex digits, CRLF.
inline constexpr std::size_t kMaxChunkSizeLine = 18;

// Writes the chunk-size line of a `size`-octet chunk (upper-case hex without
// leading zeros, CRLF) at `out`, which has kMaxChunkSizeLine octets of room;
// returns its length.
std::size_t write_chunk_size_line(uint64_t size, char* out) noexcept;

// The octets of `size` octets of data framed as one chunk: the size line,
// the data, CRLF.  nullopt when that does not fit std::size_t.
std::optional<std::size_t> chunk_frame_size(std::size_t size) noexcept;

// Writes `data` framed as one chunk at `out`, which has
// chunk_frame_size(data.size()) octets of room; returns the end.
char* write_chunk(std::string_view data, char* out) noexcept;

// How one piece of body data goes out.
struct DataPlan {
  enum class Kind : uint8_t {
    kNoEncoder,  // no message in flight
    kWhole,      // the data itself, unchanged (within a length, or close-delimited)
    kPrefix,     // its first `size` octets: the rest is past the declared length
    kChunk,      // framed as one chunk of `size` octets
  };
  Kind kind = Kind::kNoEncoder;
  std::size_t size = 0;
};

// How a message ends.
struct EndPlan {
  enum class Kind : uint8_t {
    kNothing,        // no octets
    kLastChunkOnly,  // the octets of kLastChunk
    kTrailers,       // `bytes`: the last chunk and a trailer section
  };
  Kind kind = Kind::kNothing;
  std::string_view bytes;
};

// Some Connection line of `headers` lists "close" (RFC 9112 section 9.6).
bool lists_close(const http::HeaderMap& headers) noexcept;

// Writes the end of a chunked body carrying `trailers` into `out` (cleared
// first): the last chunk, the field lines of every trailer whose name the
// encoder's Trailer list announces and which is not a field a trailer may
// not carry (RFC 9110 section 6.5.1), then CRLF.  Throws std::bad_alloc.
void write_trailer_section(const BodyEncoder& encoder, const http::HeaderMap& trailers, ByteBuffer& out);

}  // namespace vantric::h1
