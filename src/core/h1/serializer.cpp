#include "core/h1/serializer.h"

#include <array>
#include <cstring>

#include "core/h1/field_values.h"
#include "core/http/header_name.h"

namespace vantric::h1 {
namespace {

using http::HeaderMap;
using http::HeaderName;
using http::WellKnownName;

constexpr std::string_view kCrlf = "\r\n";

// ---- writing ------------------------------------------------------------------------

char* put(char* p, std::string_view text) noexcept {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// RFC 9110 section 5.1 leaves the case of field names to the sender; some
// old peers still expect Content-Length rather than content-length.
char* put_title_case(char* p, std::string_view name) noexcept {
  bool upper = true;
  for (char c : name) {
    *p++ = upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    upper = c == '-';
  }
  return p;
}

char* put_name(char* p, std::string_view name, bool title_case) noexcept {
  return title_case ? put_title_case(p, name) : put(p, name);
}

// name ": " value CRLF, in one reservation.
void field_line(ByteBuffer& out, std::string_view name, std::string_view value, bool title_case = false) {
  char* p = out.prepare(name.size() + value.size() + 4);
  p = put_name(p, name, title_case);
  p = put(p, ": ");
  p = put(p, value);
  p = put(p, kCrlf);
  out.commit(name.size() + value.size() + 4);
}

// name ": " the values joined by ", ", then `suffix`, CRLF.
void joined_line(ByteBuffer& out, std::string_view name, HeaderMap::ValueRange values, bool title_case,
                 std::string_view suffix = {}) {
  std::size_t size = name.size() + 4 + suffix.size();
  bool first = true;
  for (std::string_view v : values) {
    size += v.size() + (first ? 0 : 2);
    first = false;
  }
  char* p = out.prepare(size);
  p = put_name(p, name, title_case);
  p = put(p, ": ");
  first = true;
  for (std::string_view v : values) {
    if (!first) p = put(p, ", ");
    p = put(p, v);
    first = false;
  }
  p = put(p, suffix);
  put(p, kCrlf);
  out.commit(size);
}

// The decimal text of `n` at the end of `buf`; returns where it starts.
char* decimal(uint64_t n, char* end) noexcept {
  char* p = end;
  do {
    *--p = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  return p;
}

struct DecimalText {
  char buf[20];
  std::string_view view;
  explicit DecimalText(uint64_t n) noexcept {
    char* start = decimal(n, buf + sizeof buf);
    view = std::string_view(start, static_cast<std::size_t>(buf + sizeof buf - start));
  }
};

// ---- field tests --------------------------------------------------------------------

// The names the serializers look up; a HeaderName of a well-known id is
// static text and a hash, built once.
struct FramingNames {
  HeaderName connection{WellKnownName::kConnection};
  HeaderName transfer_encoding{WellKnownName::kTransferEncoding};
  HeaderName content_length{WellKnownName::kContentLength};
  HeaderName trailer{WellKnownName::kTrailer};
};

const FramingNames& names() noexcept {
  static const FramingNames kNames;
  return kNames;
}

std::optional<std::string_view> last_value(HeaderMap::ValueRange values) noexcept {
  std::optional<std::string_view> last;
  for (std::string_view v : values) last = v;
  return last;
}

// RFC 9110 section 8.6: Content-Length lines that repeat one number, each a
// comma-separated list, give that number; none, or any disagreement, gives
// nullopt.
std::optional<uint64_t> agreed_content_length(HeaderMap::ValueRange values) noexcept {
  std::optional<uint64_t> agreed;
  for (std::string_view v : values)
    if (!fold_content_length_list(v, agreed)) return std::nullopt;
  return agreed;
}

// Adds the names that Trailer lines announce to `encoder`'s list, lowercased
// (field names are case-insensitive, RFC 9110 section 5.1) and joined by
// commas.
void collect_trailer_names(HeaderMap::ValueRange values, BodyEncoder& encoder) {
  for (std::string_view v : values) {
    if (encoder.has_trailer_list) encoder.allowed_trailers += ',';
    encoder.has_trailer_list = true;
    for (char c : v) encoder.allowed_trailers += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
}

// ---- request ------------------------------------------------------------------------

// The changes a request head makes to the caller's fields, in the order they
// apply.  A line set to a value keeps its place, or is appended when absent.
struct RequestEdits {
  std::optional<std::string_view> connection;  // Connection set to this one value
  bool remove_transfer_encoding = false;
  bool append_chunked = false;  // ", chunked" after the last Transfer-Encoding value
  bool remove_content_length = false;
  std::optional<uint64_t> content_length;  // Content-Length set to this number
  bool add_chunked = false;                // a Transfer-Encoding line "chunked" appended
};

// The field lines of `fields` with `edits` applied to values in place and the
// set lines appended when absent.  Removals must already be applied to
// `fields`.
void write_request_fields(const HeaderMap& fields, const RequestEdits& edits, ByteBuffer& out) {
  bool have_connection = false;
  bool have_content_length = false;
  const std::size_t names = fields.name_count();
  for (std::size_t i = 0; i < names; ++i) {
    const std::string_view name = fields.name_at(i);
    const auto values = fields.values_at(i);
    switch (fields.name_id_at(i)) {
      case WellKnownName::kConnection:
        have_connection = true;
        if (edits.connection) {
          field_line(out, name, *edits.connection);
          continue;
        }
        break;
      case WellKnownName::kContentLength:
        have_content_length = true;
        if (edits.content_length) {
          field_line(out, name, DecimalText(*edits.content_length).view);
          continue;
        }
        break;
      case WellKnownName::kTransferEncoding:
        if (edits.append_chunked) {
          // The last value gains the coding; the others stay as they are.
          auto it = values.begin();
          for (;;) {
            const std::string_view v = *it;
            if (++it == values.end()) {
              const std::size_t size = name.size() + v.size() + 13;
              char* p = out.prepare(size);
              p = put(p, name);
              p = put(p, ": ");
              p = put(p, v);
              put(p, ", chunked\r\n");
              out.commit(size);
              break;
            }
            field_line(out, name, v);
          }
          continue;
        }
        break;
      default:
        break;
    }
    for (std::string_view v : values) field_line(out, name, v);
  }
  if (edits.connection && !have_connection) field_line(out, "connection", *edits.connection);
  if (edits.content_length && !have_content_length)
    field_line(out, "content-length", DecimalText(*edits.content_length).view);
  if (edits.add_chunked) out.append("transfer-encoding: chunked\r\n");
}

void write_target(const http::Uri& uri, ByteBuffer& out) {
  switch (uri.form) {
    case http::UriForm::kOrigin:
    case http::UriForm::kAsterisk:
      // A fragment is never sent (RFC 9112 section 3.2: the request-target
      // has none); the parser split it off.
      out.append(uri.path_and_query);
      return;
    case http::UriForm::kAuthority:
      out.append(uri.authority);
      return;
    case http::UriForm::kAbsolute:
      out.append(uri.scheme);
      out.append("://");
      out.append(uri.authority);
      // RFC 9112 section 3.2.2: an absolute-form target with an empty path
      // is sent with the path "/".
      if (uri.path.empty()) out.append("/");
      out.append(uri.path_and_query);
      return;
  }
}

// ---- response -----------------------------------------------------------------------

struct Reason {
  uint16_t code;
  std::string_view text;
};

constexpr Reason kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {103, "Early Hints"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {418, "I'm a teapot"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Entity"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};
static_assert(std::size(kReasons) == 62);

// Status code -> 1 + its row in kReasons, 0 for a code without a phrase.
constexpr std::array<uint8_t, 1000> kReasonRow = [] {
  std::array<uint8_t, 1000> t{};
  for (std::size_t i = 0; i < std::size(kReasons); ++i) t[kReasons[i].code] = static_cast<uint8_t>(i + 1);
  return t;
}();

constexpr std::string_view kStatus200 = "HTTP/1.1 200 OK\r\n";

void write_status_line(uint16_t status, bool http10, ByteBuffer& out) {
  if (status == 200 && !http10) {
    out.append(kStatus200);
    return;
  }
  const std::string_view reason = reason_phrase(status);
  const std::size_t size = 9 + 3 + 1 + reason.size() + 2;
  char* p = out.prepare(size);
  p = put(p, http10 ? "HTTP/1.0 " : "HTTP/1.1 ");
  *p++ = static_cast<char>('0' + status / 100);
  *p++ = static_cast<char>('0' + status / 10 % 10);
  *p++ = static_cast<char>('0' + status % 10);
  *p++ = ' ';
  p = put(p, reason);
  put(p, kCrlf);
  out.commit(size);
}

Error user_error(UserKind kind) { return Error::user(kind); }

}  // namespace

// ---- request ------------------------------------------------------------------------

RequestLineCheck check_request_line(std::string_view method, std::string_view url, RequestTarget& out) noexcept {
  if (!is_method_token(method)) return {RequestLineError::kMethod, http::UriError::kNone};
  if (const http::UriError e = http::parse_uri(url, out.uri); e != http::UriError::kNone)
    return {RequestLineError::kUrl, e};
  out.method = method;
  out.method_id = method_from_token(method);
  return {};
}

RequestHeadResult write_request_head(const RequestTarget& target, const HeaderMap& headers,
                                     const RequestOptions& options, ByteBuffer& out) {
  out.clear();
  RequestHeadResult result;
  const auto connection = headers.get_all(names().connection);
  for (std::string_view v : connection) result.connection_close = result.connection_close || lists_token(v, "close");

  RequestEdits edits;
  if (options.http10) {
    // HTTP/1.0 connections close after each exchange unless the request asks
    // for keep-alive (RFC 9112 Appendix C.2.2).
    const bool asks_keep_alive = !connection.empty() && lists_token(*connection.begin(), "keep-alive");
    if (!asks_keep_alive && !result.connection_close) edits.connection = "keep-alive";
  } else if (result.connection_close) {
    edits.connection = "close";
  }

  const auto transfer_encoding = headers.get_all(names().transfer_encoding);
  const auto content_length = headers.get_all(names().content_length);
  BodyEncoder& encoder = result.encoder;
  const BodyRequest body = options.body;
  if (body.kind == BodyRequest::Kind::None) {
    edits.remove_transfer_encoding = true;
    // A Content-Length of the caller's goes out as written, so the body must
    // be as long as it says: cutting it to nothing would leave the peer
    // waiting for the rest (RFC 9112 section 6.3).
    if (const auto n = agreed_content_length(content_length)) encoder = BodyEncoder::length(*n);
  } else if (options.http10) {
    // RFC 9112 section 6.1: no transfer coding to an HTTP/1.0 recipient.
    edits.remove_transfer_encoding = true;
    if (const auto n = agreed_content_length(content_length)) {
      encoder = BodyEncoder::length(*n);
    } else if (body.kind == BodyRequest::Kind::Known) {
      edits.content_length = body.length;
      encoder = BodyEncoder::length(body.length);
    }
  } else if (!transfer_encoding.empty()) {
    // RFC 9112 section 6.1: chunked must be the final coding of a request.
    edits.append_chunked = !is_chunked_last(*last_value(transfer_encoding));
    // RFC 9112 section 6.2: a sender MUST NOT send Content-Length together
    // with Transfer-Encoding; any value, numeric or not, would give a
    // recipient a second framing to disagree on.
    edits.remove_content_length = true;
    encoder = BodyEncoder::chunked();
  } else if (const auto n = agreed_content_length(content_length)) {
    encoder = BodyEncoder::length(*n);
  } else if (body.kind == BodyRequest::Kind::Unknown) {
    // RFC 9110 section 9.3: GET, HEAD and CONNECT bodies have no defined
    // meaning; they are not sent rather than announced.
    const Method m = target.method_id;
    if (m != Method::Get && m != Method::Head && m != Method::Connect) {
      edits.remove_content_length = true;  // a value that did not parse
      edits.add_chunked = true;
      encoder = BodyEncoder::chunked();
    }
  } else {
    edits.content_length = body.length;
    encoder = BodyEncoder::length(body.length);
  }
  if (encoder.kind == BodyEncoder::Kind::Chunked)
    collect_trailer_names(headers.get_all(names().trailer), encoder);

  out.append(target.method);
  out.append(" ");
  write_target(target.uri, out);
  out.append(options.http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");

  const bool removes = (edits.remove_transfer_encoding && !transfer_encoding.empty()) ||
                       (edits.remove_content_length && !content_length.empty());
  if (!removes) {
    write_request_fields(headers, edits, out);
  } else {
    // A removed name's place goes to the last name: the order of the lines
    // is that of the caller's collection edited by its own rules.
    HeaderMap fields(headers);
    if (edits.connection) fields.insert(names().connection, *edits.connection);
    if (edits.remove_transfer_encoding) fields.remove(names().transfer_encoding);
    if (edits.remove_content_length) fields.remove(names().content_length);
    // Placeholders that keep the places; write_request_fields puts the values.
    if (edits.content_length) fields.insert(names().content_length, "");
    RequestEdits values = edits;
    // Only a collection that is full refuses the line; it then goes last.
    if (edits.add_chunked)
      values.add_chunked = fields.insert(names().transfer_encoding, "chunked") != http::HeaderMapStatus::kOk;
    write_request_fields(fields, values, out);
  }
  out.append(kCrlf);
  return result;
}

// ---- response -----------------------------------------------------------------------

std::string_view reason_phrase(uint16_t status) noexcept {
  if (status < kReasonRow.size())
    if (const uint8_t row = kReasonRow[status]; row != 0) return kReasons[row - 1].text;
  return "<none>";
}

std::optional<Error> write_response_head(const ResponseOptions& options, const HeaderMap& headers,
                                         ByteBuffer& out, BodyEncoder& encoder_out) {
  const uint16_t status = options.status;
  const bool http10 = options.http10;
  const bool title = options.title_case;
  const bool head_request = options.request_method == Method::Head;
  const bool connect_2xx = options.request_method == Method::Connect && status >= 200 && status <= 299;
  const bool informational = status >= 100 && status <= 199;
  const bool no_content = status == 204 || status == 304;
  // RFC 9112 section 6.3: responses to HEAD, 1xx, 204, 304 and a 2xx to
  // CONNECT carry no body; RFC 9110 section 8.6: no Content-Length in 1xx,
  // 204, a 2xx to CONNECT, and 304 describes another response.
  const bool can_have_body = !head_request && !connect_2xx && !informational && !no_content;
  const bool can_have_length = !informational && !connect_2xx && !no_content;
  const bool implicit_zero = can_have_length && !head_request;

  bool is_last;
  if (status == 101) {
    is_last = true;
  } else if (connect_2xx) {
    is_last = true;
  } else if (informational) {
    // RFC 9110 section 15.2: interim responses are written apart (100
    // Continue), never as the head of the final response.
    return user_error(UserKind::UnsupportedStatusCode);
  } else {
    is_last = !options.keep_alive;
  }

  const auto connection = headers.get_all(names().connection);
  std::optional<std::string_view> set_connection;
  if (http10) {
    if (options.keep_alive && !(!connection.empty() && lists_token(*connection.begin(), "keep-alive"))) {
      // A Connection line of the caller's that says close is not turned
      // into its opposite: the close stands and ends the connection below.
      bool close = false;
      for (std::string_view v : connection) close = close || lists_token(v, "close");
      if (!close) set_connection = "keep-alive";
    }
  } else if (!options.keep_alive) {
    set_connection = "close";
  }

  out.clear();
  write_status_line(status, http10, out);

  BodyEncoder encoder;
  BodyEncoder trailer_list;  // the announced trailers, for a chunked encoder
  bool framing_written = connect_2xx;
  bool date_written = false;
  const BodyRequest body = options.body;

  const auto write_connection = [&](std::string_view name, std::optional<HeaderMap::ValueRange> values) {
    if (values) {
      joined_line(out, name, *values, title);
      if (!is_last)
        for (std::string_view v : *values) is_last = is_last || lists_token(v, "close");
    } else {
      field_line(out, name, *set_connection, title);
      is_last = is_last || lists_token(*set_connection, "close");
    }
  };

  bool have_connection = false;
  const std::size_t names = headers.name_count();
  for (std::size_t i = 0; i < names; ++i) {
    const std::string_view name = headers.name_at(i);
    const auto values = headers.values_at(i);
    switch (headers.name_id_at(i)) {
      case WellKnownName::kContentLength: {
        if (framing_written) return user_error(UserKind::UnexpectedHeader);
        framing_written = true;
        const std::string_view first = *values.begin();
        switch (body.kind) {
          case BodyRequest::Kind::Known: {
            // The line goes out as written, so the body must be as long as
            // it says, whatever length the caller announced apart from it.
            const auto n = parse_decimal(first);
            if (!n) return user_error(UserKind::UnexpectedHeader);
            field_line(out, name, first, title);
            encoder = BodyEncoder::length(*n);
            break;
          }
          case BodyRequest::Kind::Unknown: {
            // RFC 9110 section 8.6: Content-Length = 1*DIGIT, one number.
            const auto n = parse_decimal(first);
            if (!n) return user_error(UserKind::UnexpectedHeader);
            for (std::string_view v : values)
              if (parse_decimal(v) != n) return user_error(UserKind::UnexpectedHeader);
            field_line(out, name, first, title);
            encoder = BodyEncoder::length(*n);
            break;
          }
          case BodyRequest::Kind::None:
            // RFC 9110 section 8.6: a response to HEAD may say how long the
            // body of a GET would have been.
            if (head_request) {
              for (std::string_view v : values) field_line(out, name, v, title);
            } else if (implicit_zero) {
              // The response has no body; without a length line an HTTP/1.1
              // client would read it until the connection closes (RFC 9112
              // section 6.3).
              field_line(out, name, "0", title);
            }
            break;
        }
        continue;
      }
      case WellKnownName::kTransferEncoding: {
        if (framing_written) return user_error(UserKind::UnexpectedHeader);
        // RFC 9112 section 6.1: no transfer coding to HTTP/1.0, and none
        // where there is no body to code.
        if (http10 || !can_have_body) continue;
        framing_written = true;
        encoder = BodyEncoder::chunked();
        joined_line(out, name, values, title, is_chunked_last(*last_value(values)) ? "" : ", chunked");
        continue;
      }
      case WellKnownName::kConnection:
        have_connection = true;
        if (set_connection) {
          write_connection(name, std::nullopt);
        } else {
          write_connection(name, values);
        }
        continue;
      case WellKnownName::kDate:
        date_written = true;
        break;
      case WellKnownName::kTrailer:
        if (http10 || !can_have_body) continue;
        joined_line(out, name, values, title);
        collect_trailer_names(values, trailer_list);
        continue;
      default:
        break;
    }
    for (std::string_view v : values) field_line(out, name, v, title);
  }
  // A Connection line set where the caller had none comes last among the
  // caller's lines, where the collection would have appended it.
  if (set_connection && !have_connection) write_connection("connection", std::nullopt);

  if (!framing_written) {
    switch (body.kind) {
      case BodyRequest::Kind::Unknown:
        if (http10 || !can_have_body) {
          // RFC 9112 section 6.3 rule 8: the body ends when the connection
          // closes.
          encoder = BodyEncoder::close_delimited();
        } else {
          field_line(out, "transfer-encoding", "chunked", title);
          encoder = BodyEncoder::chunked();
        }
        break;
      case BodyRequest::Kind::Known:
        if (body.length != 0) {
          if (can_have_length) {
            field_line(out, "content-length", DecimalText(body.length).view, title);
            encoder = BodyEncoder::length(body.length);
          }
          break;
        }
        [[fallthrough]];
      case BodyRequest::Kind::None:
        if (implicit_zero) field_line(out, "content-length", "0", title);
        break;
    }
  }
  if (!can_have_body) {
    encoder.kind = BodyEncoder::Kind::Length;
    encoder.remaining = 0;
  }

  if (!date_written && options.date != nullptr) {
    // RFC 9110 section 6.6.1: an origin server with a clock MUST send Date.
    field_line(out, "date", options.date->current(), title);
  }
  out.append(kCrlf);

  if (encoder.kind == BodyEncoder::Kind::Chunked) {
    encoder.has_trailer_list = trailer_list.has_trailer_list;
    encoder.allowed_trailers = std::move(trailer_list.allowed_trailers);
  }
  encoder.is_last = is_last;
  encoder_out = std::move(encoder);
  return std::nullopt;
}

// ---- body -------------------------------------------------------------------------

std::size_t write_chunk_size_line(uint64_t size, char* out) noexcept {
  static constexpr char kHex[] = "0123456789ABCDEF";
  int digits = 1;
  while (digits < 16 && (size >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i) *out++ = kHex[(size >> (4 * i)) & 0xf];
  out[0] = '\r';
  out[1] = '\n';
  return static_cast<std::size_t>(digits) + 2;
}

std::optional<std::size_t> chunk_frame_size(std::size_t size) noexcept {
  char line[kMaxChunkSizeLine];
  const std::size_t framing = write_chunk_size_line(size, line) + 2;
  if (size > SIZE_MAX - framing) return std::nullopt;
  return size + framing;
}

char* write_chunk(std::string_view data, char* out) noexcept {
  out += write_chunk_size_line(data.size(), out);
  out = put(out, data);
  return put(out, kCrlf);
}

bool lists_close(const HeaderMap& headers) noexcept {
  for (std::string_view v : headers.get_all(names().connection))
    if (lists_token(v, "close")) return true;
  return false;
}

namespace {

// RFC 9110 section 6.5.1: fields a sender must not put in a trailer section
// because a recipient needs them before the content (framing, routing,
// authentication, request modifiers, content handling).
constexpr std::array<bool, http::kWellKnownNameCount> kNeverTrailers = [] {
  std::array<bool, http::kWellKnownNameCount> t{};
  for (WellKnownName id :
       {WellKnownName::kAuthorization, WellKnownName::kCacheControl, WellKnownName::kContentEncoding,
        WellKnownName::kContentLength, WellKnownName::kContentRange, WellKnownName::kContentType,
        WellKnownName::kHost, WellKnownName::kMaxForwards, WellKnownName::kSetCookie, WellKnownName::kTe,
        WellKnownName::kTrailer, WellKnownName::kTransferEncoding})
    t[static_cast<std::size_t>(id)] = true;
  return t;
}();

bool is_ows(char c) noexcept { return c == ' ' || c == '\t'; }

// Whether the comma-separated list `allowed` (lowercase) names `name`.
bool announces(std::string_view allowed, std::string_view name) noexcept {
  for (;;) {
    const std::size_t comma = allowed.find(',');
    std::string_view element = allowed.substr(0, comma);
    while (!element.empty() && is_ows(element.front())) element.remove_prefix(1);
    while (!element.empty() && is_ows(element.back())) element.remove_suffix(1);
    if (element == name) return true;
    if (comma == std::string_view::npos) return false;
    allowed.remove_prefix(comma + 1);
  }
}

}  // namespace

void write_trailer_section(const BodyEncoder& encoder, const HeaderMap& trailers, ByteBuffer& out) {
  out.clear();
  out.append("0\r\n");
  const std::size_t names = trailers.name_count();
  for (std::size_t i = 0; i < names; ++i) {
    const WellKnownName id = trailers.name_id_at(i);
    if (id != WellKnownName::kNone && kNeverTrailers[static_cast<std::size_t>(id)]) continue;
    const std::string_view name = trailers.name_at(i);
    if (!announces(encoder.allowed_trailers, name)) continue;
    for (std::string_view v : trailers.values_at(i)) field_line(out, name, v);
  }
  out.append(kCrlf);
}

}  // namespace vantric::h1
