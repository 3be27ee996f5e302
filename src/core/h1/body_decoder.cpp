#include "core/h1/body_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "core/h1/message.h"
#include "core/http/field_rules.h"
#include "core/http/utf8.h"
#include "core/invariant.h"

namespace vantric::h1 {
namespace {

constexpr uint8_t kNotHex = 0xff;

// RFC 9112 section 7.1: chunk-size = 1*HEXDIG, either case.
constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> t{};
  t.fill(kNotHex);
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
  return t;
}();

constexpr char kEofBeforeLength[] = "end of file before message length reached";
constexpr char kEofInSizeLine[] = "unexpected EOF during chunk size line";

// Offset of the first CR or LF in `in`, or in.size().
std::size_t find_line_end(std::string_view in) noexcept {
  const void* cr = std::memchr(in.data(), '\r', in.size());
  const std::size_t limit =
      cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - in.data()) : in.size();
  const void* lf = std::memchr(in.data(), '\n', limit);
  return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - in.data()) : limit;
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  out += '"';
}

bool is_ows(char c) noexcept {
  return c == ' ' || c == '\t';
}

}  // namespace

BodyDecoder::BodyDecoder(BodyFraming framing, uint64_t length) noexcept
    : remaining_(length), framing_(framing), complete_(framing == BodyFraming::kLength && length == 0) {}

BodyDecoder BodyDecoder::from_kind_name(std::string_view kind, uint64_t length) noexcept {
  if (kind == body_kind_name(BodyFraming::kLength)) return BodyDecoder::length(length);
  if (kind == body_kind_name(BodyFraming::kChunked)) return chunked();
  if (kind == body_kind_name(BodyFraming::kClose)) return close_delimited();
  return BodyDecoder::length(0);
}

BodyDecoder BodyDecoder::for_body_length(uint64_t body_length) noexcept {
  switch (body_framing(body_length)) {
    case BodyFraming::kChunked:
      return chunked();
    case BodyFraming::kClose:
      return close_delimited();
    case BodyFraming::kEmpty:
    case BodyFraming::kLength:
      break;
  }
  return BodyDecoder::length(body_length);
}

// ---- input ---------------------------------------------------------------------

void BodyDecoder::own_borrowed() {
  if (borrowed_.empty()) return;
  owned_.append(borrowed_);
  borrowed_ = {};
}

void BodyDecoder::feed(std::string_view bytes) {
  if (bytes.empty()) return;
  own_borrowed();
  owned_.append(bytes);
}

void BodyDecoder::feed_borrowed(std::string_view bytes) {
  if (bytes.empty()) return;
  own_borrowed();
  borrowed_ = bytes;
}

void BodyDecoder::append(ByteBuffer&& bytes) {
  if (bytes.empty()) return;
  own_borrowed();
  if (owned_.empty()) {
    // Take the storage over even when ours is larger: the bytes just read
    // are not copied.
    owned_ = std::move(bytes);
    return;
  }
  owned_.append(std::move(bytes));
}

ByteBuffer BodyDecoder::take_buffered() {
  own_borrowed();
  return owned_.take();
}

void BodyDecoder::consume(std::size_t n) noexcept {
  if (!owned_.empty()) {
    owned_.consume(n);
  } else {
    borrowed_.remove_prefix(n);
  }
}

// ---- decoding ------------------------------------------------------------------

Error BodyDecoder::fail(IoKind kind, std::string text) {
  failed_kind_ = kind;
  failed_text_ = text;
  return Error::body(kind, std::move(text));
}

std::optional<Error> BodyDecoder::decode(std::string_view& piece) {
  piece = {};
  if (failed_kind_) [[unlikely]]
    return Error::body(*failed_kind_, failed_text_);
  if (complete_) return std::nullopt;
  switch (framing_) {
    case BodyFraming::kChunked:
      return decode_chunked(piece);
    case BodyFraming::kEmpty:
    case BodyFraming::kLength:
      return decode_length(piece);
    case BodyFraming::kClose:
      break;
  }
  return decode_close(piece);
}

std::optional<Error> BodyDecoder::decode_into(std::string& out) {
  std::string_view piece;
  std::optional<Error> error = decode(piece);
  out.append(piece);
  return error;
}

std::optional<Error> BodyDecoder::decode_length(std::string_view& piece) {
  const std::string_view in = front();
  if (in.empty()) {
    if (eof_) return fail(IoKind::kUnexpectedEof, kEofBeforeLength);
    return std::nullopt;
  }
  const std::size_t n = remaining_ < in.size() ? static_cast<std::size_t>(remaining_) : in.size();
  piece = in.substr(0, n);
  consume(n);
  remaining_ -= n;
  complete_ = remaining_ == 0;
  return std::nullopt;
}

std::optional<Error> BodyDecoder::decode_close(std::string_view& piece) {
  const std::string_view in = front();
  if (in.empty()) {
    // RFC 9112 section 6.3 rule 8: the body is what arrived before the close.
    complete_ = eof_;
    return std::nullopt;
  }
  piece = in.substr(0, std::min(in.size(), kCloseReadSize));
  consume(piece.size());
  return std::nullopt;
}

std::optional<Error> BodyDecoder::decode_chunked(std::string_view& piece) {
  for (;;) {
    if (state_ == ChunkState::kEnd) {
      if (trailer_started_)
        if (std::optional<Error> error = finish_trailers()) return error;
      complete_ = true;
      return std::nullopt;
    }
    const std::string_view in = front();
    if (in.empty()) {
      if (!eof_) return std::nullopt;
      return fail(IoKind::kUnexpectedEof, state_ == ChunkState::kBody ? kEofBeforeLength : kEofInSizeLine);
    }
    if (state_ == ChunkState::kBody) {
      // At most one chunk and at most one input segment per piece.
      const std::size_t n = chunk_size_ < in.size() ? static_cast<std::size_t>(chunk_size_) : in.size();
      piece = in.substr(0, n);
      consume(n);
      chunk_size_ -= n;
      if (chunk_size_ == 0) state_ = ChunkState::kBodyCr;
      return std::nullopt;
    }
    std::size_t used = 0;
    std::optional<Error> error = step_framing(in, &used);
    consume(used);
    if (error) return error;
  }
}

bool BodyDecoder::trailer_append(std::string_view bytes) {
  if (!trailer_started_) {
    trailer_.reserve(kTrailerInitialCapacity);
    trailer_started_ = true;
  }
  trailer_.append(bytes);
  return trailer_.size() < kMaxTrailerBytes;
}

std::optional<Error> BodyDecoder::step_framing(std::string_view in, std::size_t* used) {
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  // Every failure consumes the octet that caused it.
  auto failure = [&](IoKind kind, const char* text) {
    *used = i + 1;
    return fail(kind, text);
  };
  auto trailer_overflow = [&] { return failure(IoKind::kInvalidData, "chunk trailers bytes over limit"); };

  while (i < n) {
    const uint8_t c = p[i];
    switch (state_) {
      case ChunkState::kStart: {
        const uint8_t digit = kHexValue[c];
        if (digit == kNotHex)
          return failure(IoKind::kInvalidInput, "Invalid chunk size line: missing size digit");
        chunk_size_ = digit;
        state_ = ChunkState::kSize;
        break;
      }
      case ChunkState::kSize: {
        if (const uint8_t digit = kHexValue[c]; digit != kNotHex) {
          // A 64-bit size with any of its top four bits set cannot take another digit.
          if (chunk_size_ >> 60 != 0) return failure(IoKind::kInvalidData, "invalid chunk size: overflow");
          chunk_size_ = chunk_size_ << 4 | digit;
        } else if (c == ' ' || c == '\t') {
          state_ = ChunkState::kSizeLws;
        } else if (c == ';') {
          state_ = ChunkState::kExtension;
        } else if (c == '\r') {
          state_ = ChunkState::kSizeLf;
        } else {
          return failure(IoKind::kInvalidInput, "Invalid chunk size line: Invalid Size");
        }
        break;
      }
      case ChunkState::kSizeLws:
        if (c == ';') {
          state_ = ChunkState::kExtension;
        } else if (c == '\r') {
          state_ = ChunkState::kSizeLf;
        } else if (c != ' ' && c != '\t') {
          return failure(IoKind::kInvalidInput, "Invalid chunk size linear white space");
        }
        break;
      case ChunkState::kExtension: {
        // RFC 9112 section 7.1.1: extensions are skipped, but their octets
        // count against one limit for the whole body.  The octet that
        // reaches the limit fails, so `budget` octets may be looked at.
        const std::size_t budget = static_cast<std::size_t>(kMaxExtensionBytes - extension_bytes_);
        const std::size_t window = std::min(n - i, budget);
        const std::size_t skip = find_line_end(in.substr(i, window));
        extension_bytes_ += skip;
        i += skip;
        if (skip == window) {
          if (window == budget) {
            --i;
            return failure(IoKind::kInvalidData, "chunk extensions over limit");
          }
          continue;  // the segment ended inside the extensions
        }
        if (p[i] == '\n') return failure(IoKind::kInvalidData, "invalid chunk extension contains newline");
        state_ = ChunkState::kSizeLf;
        break;
      }
      case ChunkState::kSizeLf:
        if (c != '\n') return failure(IoKind::kInvalidInput, "Invalid chunk size LF");
        if (chunk_size_ == 0) {
          state_ = ChunkState::kEndCr;
        } else {
          state_ = ChunkState::kBody;
          *used = i + 1;
          return std::nullopt;
        }
        break;
      case ChunkState::kBody:
        VANTRIC_INVARIANT(false, "chunk data reached the framing step");
        break;
      case ChunkState::kBodyCr:
        if (c != '\r') return failure(IoKind::kInvalidInput, "Invalid chunk body CR");
        state_ = ChunkState::kBodyLf;
        break;
      case ChunkState::kBodyLf:
        if (c != '\n') return failure(IoKind::kInvalidInput, "Invalid chunk body LF");
        state_ = ChunkState::kStart;
        break;
      case ChunkState::kEndCr:
        // RFC 9112 section 7.1.2: a trailer section may follow the last chunk.
        if (c == '\r') {
          state_ = ChunkState::kEndLf;
          if (trailer_started_ && !trailer_append("\r")) return trailer_overflow();
        } else {
          state_ = ChunkState::kTrailer;
          if (!trailer_append(in.substr(i, 1))) return trailer_overflow();
        }
        break;
      case ChunkState::kTrailer: {
        // Up to and including the CR, within the room left; the octet that
        // fills the buffer fails.
        const std::size_t room = kMaxTrailerBytes - trailer_.size();
        const std::size_t window = std::min(n - i, room);
        const void* cr = std::memchr(p + i, '\r', window);
        const std::size_t take =
            cr ? static_cast<std::size_t>(static_cast<const uint8_t*>(cr) - (p + i)) + 1 : window;
        const bool fits = trailer_append(in.substr(i, take));
        i += take - 1;
        if (!fits) return trailer_overflow();
        if (cr) state_ = ChunkState::kTrailerLf;
        break;
      }
      case ChunkState::kTrailerLf:
        if (c != '\n') return failure(IoKind::kInvalidInput, "Invalid trailer end LF");
        if (trailer_lines_ == kMaxTrailerLines)
          return failure(IoKind::kInvalidData, "chunk trailers count overflow");
        ++trailer_lines_;
        state_ = ChunkState::kEndCr;
        if (!trailer_append("\n")) return trailer_overflow();
        break;
      case ChunkState::kEndLf:
        if (c != '\n') return failure(IoKind::kInvalidInput, "Invalid chunk end LF");
        state_ = ChunkState::kEnd;
        if (trailer_started_ && !trailer_append("\n")) return trailer_overflow();
        *used = i + 1;
        return std::nullopt;
      case ChunkState::kEnd:
        *used = i;
        return std::nullopt;
    }
    ++i;
  }
  *used = n;
  return std::nullopt;
}

std::optional<Error> BodyDecoder::finish_trailers() {
  auto map = std::make_unique<http::HeaderMap>();
  if (std::optional<std::string> failure = parse_trailer_section(trailer_, trailer_lines_, *map))
    return fail(IoKind::kInvalidInput, std::move(*failure));
  trailers_ = std::move(map);
  trailer_started_ = false;
  std::string().swap(trailer_);
  return std::nullopt;
}

// ---- trailer section -------------------------------------------------------------

std::optional<std::string> parse_trailer_section(std::string_view section, std::size_t max_fields,
                                                 http::HeaderMap& out) {
  struct Field {
    std::string_view name;
    std::string_view value;
  };
  // The whole section is checked against the grammar before any field is
  // stored, so a malformed line wins over a refused field before it.
  std::vector<Field> fields;
  fields.reserve(max_fields);
  const char* p = section.data();
  const std::size_t n = section.size();
  std::size_t i = 0;
  for (;;) {
    if (i >= n) return std::string("Partial header");
    // RFC 9112 section 5: field-line = field-name ":" OWS field-value OWS,
    // each ended by CRLF or a bare LF; an empty line ends the section.
    if (p[i] == '\r') {
      if (i + 1 >= n) return std::string("Partial header");
      if (p[i + 1] != '\n') return std::string("invalid new line");
      break;
    }
    if (p[i] == '\n') break;
    if (!http::is_tchar(static_cast<uint8_t>(p[i]))) return std::string("invalid header name");
    if (fields.size() == max_fields) return std::string("too many headers");
    const std::size_t name_begin = i;
    while (i < n && http::is_tchar(static_cast<uint8_t>(p[i]))) ++i;
    if (i >= n) return std::string("Partial header");
    if (p[i] != ':') return std::string("invalid header name");
    const std::string_view name(p + name_begin, i - name_begin);
    ++i;
    while (i < n && is_ows(p[i])) ++i;
    const std::size_t value_begin = i;
    while (i < n && http::is_field_value_octet(static_cast<uint8_t>(p[i]))) ++i;
    if (i >= n) return std::string("Partial header");
    std::size_t value_end = i;
    if (p[i] == '\r') {
      if (i + 1 >= n) return std::string("Partial header");
      if (p[i + 1] != '\n') return std::string("invalid header value");
      i += 2;
    } else if (p[i] == '\n') {
      ++i;
    } else {
      return std::string("invalid header value");
    }
    while (value_end > value_begin && is_ows(p[value_end - 1])) --value_end;
    fields.push_back({name, std::string_view(p + value_begin, value_end - value_begin)});
  }
  for (const Field& field : fields) {
    const std::optional<http::HeaderMapError> refused = out.append(field.name, field.value);
    if (!refused) continue;
    switch (*refused) {
      case http::HeaderMapError::kInvalidName:
        return "Invalid header name: " + field_debug_text(field.name, field.value);
      case http::HeaderMapError::kInvalidValue:
        return "Invalid header value: " + field_debug_text(field.name, field.value);
      case http::HeaderMapError::kFull:
        // At most kMaxTrailerLines names reach the map.
        VANTRIC_INVARIANT(false, "trailer map full");
    }
  }
  return std::nullopt;
}

std::string field_debug_text(std::string_view name, std::string_view value) {
  std::string out = "Header { name: ";
  append_quoted(out, name);
  out += ", value: ";
  if (http::is_valid_utf8(value)) {
    append_quoted(out, value);
  } else {
    out += '[';
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i != 0) out += ", ";
      out += std::to_string(static_cast<uint8_t>(value[i]));
    }
    out += ']';
  }
  out += " }";
  return out;
}

}  // namespace vantric::h1
