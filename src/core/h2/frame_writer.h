// The writing half of the HTTP/2 frame codec: frames appended to a byte
// buffer (RFC 9113 section 6).
//
// Stateless functions: the HPACK encoder and the peer's SETTINGS_MAX_FRAME_SIZE
// are the caller's (the stand-alone codec keeps its own; a connection keeps
// them in its state).  Each appends whole frames to `out` and leaves what was
// there before untouched.  Arguments a host caller gives are checked here and
// refused with the error value the host raises; stream ids with the reserved
// bit set are refused earlier, by the binding's argument conversion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/byte_buffer.h"
#include "core/h2/error.h"
#include "core/h2/frame.h"
#include "core/h2/hpack/encoder.h"
#include "core/h2/hpack/field.h"
#include "core/http/header_map.h"

namespace vantric::h2 {

// A caller's argument the protocol cannot carry; the host raises ValueError
// with `message`.
struct InvalidArgument {
  std::string message;
};

// Appends one frame: header and `payload` (shorter than 2^24 octets).
void append_frame(ByteBuffer& out, FrameType type, uint8_t flags, uint32_t stream_id,
                  std::string_view payload);
// The same for a frame of any type octet, extensions included (tests, fuzzing).
void append_raw_frame(ByteBuffer& out, uint8_t type, uint8_t flags, uint32_t stream_id,
                      std::string_view payload);

// SETTINGS on stream 0 with the given parameters, in identifier order.  A
// value the peer would have to refuse (RFC 9113 section 6.5.2) is refused:
// initial_window_size above 2^31 - 1, max_frame_size outside 2^14..2^24 - 1;
// nothing is appended then.
std::optional<InvalidArgument> append_settings(ByteBuffer& out, const Settings& settings);
// The 9 octets of an empty SETTINGS with ACK.
void append_settings_ack(ByteBuffer& out);

// PayloadTooBig, "DATA payload N exceeds SETTINGS_MAX_FRAME_SIZE M", when
// `length` exceeds `max_frame_size`.
std::optional<Error> check_data_payload(std::size_t length, uint32_t max_frame_size);
// One DATA frame (END_STREAM when `end_stream`), after check_data_payload.
std::optional<Error> append_data(ByteBuffer& out, uint32_t stream_id, std::string_view payload,
                                 bool end_stream, uint32_t max_frame_size);
// The 9-octet header of that DATA frame at `out`, for a caller that places the
// payload itself; returns the end.
char* encode_data_header(char* out, uint32_t stream_id, std::size_t length, bool end_stream) noexcept;

// WINDOW_UPDATE; an increment with the reserved bit set cannot be sent
// (RFC 9113 section 6.9: 1 to 2^31 - 1; 0 is sent as given).
std::optional<InvalidArgument> append_window_update(ByteBuffer& out, uint32_t stream_id, uint32_t increment);
// PING, with ACK when `ack`; the payload must be 8 octets (RFC 9113 section 6.7).
std::optional<InvalidArgument> append_ping(ByteBuffer& out, std::string_view payload, bool ack);
// GOAWAY on stream 0: last stream id, error code, debug data.
void append_go_away(ByteBuffer& out, uint32_t last_stream_id, uint32_t error_code,
                    std::string_view debug_data);
void append_rst_stream(ByteBuffer& out, uint32_t stream_id, uint32_t error_code);
// PRIORITY (RFC 9113 section 6.3): dependency, exclusive bit, weight - 1.
void append_priority(ByteBuffer& out, uint32_t stream_id, uint32_t dependency, bool exclusive,
                     uint8_t weight);

// ---- header blocks ----------------------------------------------------------------

// The pseudo-header fields of a request (RFC 9113 section 8.3.1), viewing the
// texts they were built from.
struct RequestHead {
  std::array<hpack::Field, 4> fields;
  std::size_t count = 0;

  std::span<const hpack::Field> pseudo() const { return {fields.data(), count}; }
};

// Builds the request pseudo-header fields from a method, a target and the
// connection's scheme and authority:
// - `method` must be a token: "invalid method: invalid HTTP method";
// - `target` must parse as a URI: "invalid url: " + the parser's text;
// - an absolute target gives :scheme and :authority (its user information
//   left out, RFC 9113 section 8.3.1); any other target takes `scheme` and
//   `authority`, which must then both be given and valid;
// - :path is the target's path and query, "/" for an empty path;
// - CONNECT (RFC 9113 section 8.5) carries only :method and :authority.
// The views point into the arguments.
std::variant<RequestHead, InvalidArgument> build_request_head(std::string_view method,
                                                              std::string_view target,
                                                              std::optional<std::string_view> scheme,
                                                              std::optional<std::string_view> authority);

// "invalid status: N" for a status outside 100..999.
std::optional<InvalidArgument> check_status(uint32_t status);

// Encodes one header block (the `pseudo` fields, the fields of `headers`
// when given, then `extra`) with `encoder` and appends it as a HEADERS frame
// and as many CONTINUATION frames as fragments of `max_frame_size` octets it
// takes; END_STREAM on the HEADERS frame when `end_stream`, END_HEADERS on
// the last.  Further values of a name go out as nameless fields (never
// indexed), a value's sensitive mark as never-indexed.  Throws
// std::bad_alloc; `out` may then hold part of the frames and the encoder's
// table is ahead of the peer's, so the connection must fail.
void append_header_block(ByteBuffer& out, hpack::Encoder& encoder, uint32_t stream_id,
                         std::span<const hpack::Field> pseudo, const http::HeaderMap* headers,
                         std::span<const hpack::Field> extra, bool end_stream, uint32_t max_frame_size);

// A request head: the pseudo-header fields of `head`, then `headers`.
void append_request_headers(ByteBuffer& out, hpack::Encoder& encoder, uint32_t stream_id,
                            const RequestHead& head, const http::HeaderMap* headers, bool end_stream,
                            uint32_t max_frame_size);

// A response head: :status, then `headers`, then, with `auto_date` and no
// date field in `headers`, a date field with the thread's cached Date value.
// check_status() first; nothing is appended when it refuses.
std::optional<InvalidArgument> append_response_headers(ByteBuffer& out, hpack::Encoder& encoder,
                                                       uint32_t stream_id, uint32_t status,
                                                       const http::HeaderMap* headers, bool end_stream,
                                                       bool auto_date, uint32_t max_frame_size);

// Trailers: the fields of `trailers` in a block with END_STREAM.
void append_trailers(ByteBuffer& out, hpack::Encoder& encoder, uint32_t stream_id,
                     const http::HeaderMap& trailers, uint32_t max_frame_size);

}  // namespace vantric::h2
