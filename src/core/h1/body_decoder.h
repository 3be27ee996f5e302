// HTTP/1 message body decoding: a Content-Length body, a chunked body (RFC
// 9112 section 7.1) or a body delimited by the peer closing the connection
// (RFC 9112 section 6.3, rule 8).
//
// Sans-IO and incremental: bytes are fed as they arrive, end of file is marked
// when the transport reports it, and decode() pulls one piece of content at a
// time.  Pieces are views into the input, never copies, so a binding makes
// exactly one host object per piece.  The chunked grammar is stepped one octet
// at a time through the thirteen ChunkState states, so where the input was
// split between feeds never changes the pieces' concatenation, the trailers or
// the error.
//
// Input is a queue of at most two segments: an owned buffer, followed by an
// optional borrowed segment (bytes the caller keeps alive, so that a read
// handed over whole is never copied; see feed_borrowed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "core/h1/error.h"
#include "core/h1/message.h"
#include "core/http/header_map.h"
#include "core/io_kind.h"

namespace vantric::h1 {

// Positions in the chunked grammar, in the order of the grammar.
enum class ChunkState : uint8_t {
  kStart,      // before the first hex digit of a chunk size
  kSize,       // inside the chunk size
  kSizeLws,    // whitespace after the size
  kExtension,  // inside the chunk extensions (skipped)
  kSizeLf,     // after the CR of the size line
  kBody,       // chunk data
  kBodyCr,     // after the chunk data
  kBodyLf,     // after the CR that ends the chunk data
  kTrailer,    // inside a trailer line
  kTrailerLf,  // after the CR of a trailer line
  kEndCr,      // after the last-chunk line or a trailer line
  kEndLf,      // after the CR of the final empty line
  kEnd,        // the body ended
};

class BodyDecoder {
 public:
  // Chunk-extension octets allowed over the whole body (not per chunk).
  static constexpr uint64_t kMaxExtensionBytes = 16384;
  // Trailer lines and raw trailer-section octets (the final empty line counts
  // towards the octets).
  static constexpr uint32_t kMaxTrailerLines = 100;
  static constexpr std::size_t kMaxTrailerBytes = 16384;
  static constexpr std::size_t kTrailerInitialCapacity = 64;
  // Largest piece a close-delimited body returns per call.
  static constexpr std::size_t kCloseReadSize = 8192;

  // A Content-Length body of `length` octets; complete at once when 0.
  static BodyDecoder length(uint64_t length) noexcept { return BodyDecoder(BodyFraming::kLength, length); }
  static BodyDecoder chunked() noexcept { return BodyDecoder(BodyFraming::kChunked, 0); }
  static BodyDecoder close_delimited() noexcept { return BodyDecoder(BodyFraming::kClose, 0); }
  // From the host's body kind name: "length" (of `length` octets), "chunked"
  // or "close"; any other name is an empty body (a length of 0).
  static BodyDecoder from_kind_name(std::string_view kind, uint64_t length) noexcept;
  // From a parsed head's body length (message.h: 0, a length, kBodyChunked or
  // kBodyCloseDelimited).
  static BodyDecoder for_body_length(uint64_t body_length) noexcept;

  BodyDecoder(BodyDecoder&&) noexcept = default;
  BodyDecoder& operator=(BodyDecoder&&) noexcept = default;

  BodyFraming framing() const noexcept { return framing_; }
  ChunkState chunk_state() const noexcept { return state_; }

  // Appends a copy of `bytes` to the input without decoding.  Throws
  // std::bad_alloc with the input unchanged.
  void feed(std::string_view bytes);
  // Appends `bytes` without copying them: the decoder refers to them until
  // borrowing() turns false, and the caller keeps them alive and unchanged
  // until then.  Whatever was still borrowed from an earlier call is copied
  // first (only its unread rest).  Throws std::bad_alloc with the input
  // unchanged.
  void feed_borrowed(std::string_view bytes);
  // Appends every byte of `bytes` and leaves it empty; when the input is
  // empty, the storage is taken over without copying.  Throws std::bad_alloc.
  void append(ByteBuffer&& bytes);
  // The transport reached end of file: an empty input now means the peer is
  // done rather than that more is coming.
  void mark_eof() noexcept { eof_ = true; }

  // Pulls one piece of content.  On success `piece` is either non-empty (the
  // next content octets) or empty: more input is needed (is_complete() false)
  // or the body ended (is_complete() true).  The piece is a view into the
  // input, valid until the next non-const call.  On failure returns a Body
  // error with I/O kind InvalidInput, InvalidData or UnexpectedEof; the octet
  // that caused it is consumed, is_complete() stays false, and every later
  // call returns the same error.  Allocates only when a trailer section
  // starts, when trailers are parsed, and for the error.
  [[nodiscard]] std::optional<Error> decode(std::string_view& piece);
  // decode(), the piece appended to `out` instead (an owned copy).
  [[nodiscard]] std::optional<Error> decode_into(std::string& out);

  // The parsed trailer section, moved out: non-null once, after a chunked
  // body with trailers completed.
  std::unique_ptr<http::HeaderMap> take_trailers() noexcept { return std::move(trailers_); }

  bool is_complete() const noexcept { return complete_; }
  bool eof_marked() const noexcept { return eof_; }
  // Fed octets not yet consumed; after completion, the octets past the body.
  std::size_t buffered() const noexcept { return owned_.size() + borrowed_.size(); }
  // Moves the unconsumed octets out (copying only a borrowed rest), leaving
  // the input empty.  Throws std::bad_alloc with the input unchanged.
  ByteBuffer take_buffered();
  // Whether the decoder still refers to bytes given to feed_borrowed.
  bool borrowing() const noexcept { return !borrowed_.empty(); }

 private:
  BodyDecoder(BodyFraming framing, uint64_t length) noexcept;

  // The first non-empty input segment (empty when there is no input).
  std::string_view front() const noexcept { return owned_.empty() ? borrowed_ : owned_.view(); }
  // Drops `n` octets of the segment front() returned.
  void consume(std::size_t n) noexcept;
  // Copies a borrowed rest into the owned buffer.
  void own_borrowed();

  std::optional<Error> decode_length(std::string_view& piece);
  std::optional<Error> decode_close(std::string_view& piece);
  std::optional<Error> decode_chunked(std::string_view& piece);
  // Steps the non-data chunked states over `in` until chunk data begins, End
  // is reached, `in` is used up or a failure; *used is what was consumed.
  std::optional<Error> step_framing(std::string_view in, std::size_t* used);
  // Records a failure so that later calls repeat it; returns it.
  Error fail(IoKind kind, std::string text);
  bool trailer_append(std::string_view bytes);
  std::optional<Error> finish_trailers();

  ByteBuffer owned_;
  std::string_view borrowed_;
  uint64_t remaining_ = 0;   // Length: octets still expected
  uint64_t chunk_size_ = 0;  // Chunked: size being parsed, then octets left in the chunk
  uint64_t extension_bytes_ = 0;
  std::string trailer_;  // raw trailer section; allocated at its first octet
  uint32_t trailer_lines_ = 0;
  BodyFraming framing_;
  ChunkState state_ = ChunkState::kStart;
  bool eof_ = false;
  bool complete_ = false;
  bool trailer_started_ = false;
  // A failure, kept so that later calls report it again.
  std::optional<IoKind> failed_kind_;
  std::string failed_text_;
  std::unique_ptr<http::HeaderMap> trailers_;
};

// Trailer parsing, exposed for its tests: the raw trailer section (every line
// with its line end, then the final empty line) parsed as header field lines
// with room for `max_fields`, into `out`.  Returns the failure text (the
// grammar's description, "Partial header", or the collection's refusal with
// the offending field) or nullopt.
std::optional<std::string> parse_trailer_section(std::string_view section, std::size_t max_fields,
                                                 http::HeaderMap& out);

// "Header { name: \"x\", value: \"y\" }": a field as failure texts show it;
// a value that is not UTF-8 is shown as the list of its octets.
std::string field_debug_text(std::string_view name, std::string_view value);

}  // namespace vantric::h1
