#include "core/h1/serializer.h"

#include <array>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/h1/field_values.h"
#include "core/h1/scan.h"
#include "core/http/header_name.h"

namespace vantric::h1 {
namespace {

using http::HeaderMap;
using http::HeaderName;
using http::WellKnownName;

constexpr std::string_view kCrlf = "\r\n";

// ---- writing ------------------------------------------------------------------------

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

// Copies `n` octets from `src` to `dst`; returns the end.  Names and values
// are short: overlapping word copies, inline, cost less than a call to the
// library's copy that has to find out the size first.
inline char* copy(char* dst, const char* src, std::size_t n) noexcept {
  if (n >= 16) {
    if (n > 64) {
      std::memcpy(dst, src, n);
      return dst + n;
    }
    for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(dst + i, src + i, 16);
    std::memcpy(dst + n - 16, src + n - 16, 16);
  } else if (n >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, src, 8);
    std::memcpy(&tail, src + n - 8, 8);
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + n - 4, 4);
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + n - 4, &tail, 4);
  } else if (n != 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
  return dst + n;
}

// Writes a head into a ByteBuffer (cleared first) through a cursor: room is
// reserved in blocks, so a line costs one comparison before its copies.
class HeadWriter {
 public:
  explicit HeadWriter(ByteBuffer& out) : out_(out) {
    out_.clear();
    reserve(kBlock);
  }
  HeadWriter(const HeadWriter&) = delete;
  HeadWriter& operator=(const HeadWriter&) = delete;

  // Commits what was written.
  void finish() noexcept { out_.commit(static_cast<std::size_t>(p_ - start_)); }

  void need(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - p_) < n) [[unlikely]]
      grow(n);
  }
  // Copies `text` into room made by need().
  void put(std::string_view text) noexcept { p_ = copy(p_, text.data(), text.size()); }
  // The same for a literal, whose size the compiler knows.
  template <std::size_t N>
  void put(const char (&text)[N]) noexcept {
    std::memcpy(p_, text, N - 1);
    p_ += N - 1;
  }
  void put_name(std::string_view name, bool title_case) noexcept {
    if (title_case) {
      p_ = put_title_case(p_, name);
    } else {
      put(name);
    }
  }

  void text(std::string_view text) {
    need(text.size());
    put(text);
  }
  // name ": " value CRLF.
  void line(std::string_view name, std::string_view value, bool title_case = false) {
    need(name.size() + value.size() + 4);
    put_name(name, title_case);
    put(": ");
    put(value);
    put("\r\n");
  }
  // name ": " the values joined by ", ", then `suffix`, CRLF.
  void joined_line(std::string_view name, HeaderMap::ValueRange values, bool title_case,
                   std::string_view suffix = {}) {
    std::size_t size = name.size() + 4 + suffix.size();
    for (std::string_view v : values) size += v.size() + 2;
    need(size);
    put_name(name, title_case);
    put(": ");
    bool first = true;
    for (std::string_view v : values) {
      if (!first) put(", ");
      put(v);
      first = false;
    }
    put(suffix);
    put("\r\n");
  }

 private:
  static constexpr std::size_t kBlock = 1024;

  // Room for `n` more octets.
  void reserve(std::size_t n) {
    start_ = p_ = out_.prepare(n);
    limit_ = p_ + n;
  }
  void grow(std::size_t n) {
    finish();
    reserve(n > kBlock ? n : kBlock);
  }

  ByteBuffer& out_;
  char* start_ = nullptr;  // the first octet not yet committed
  char* p_ = nullptr;
  char* limit_ = nullptr;
};

// The decimal text of `n` at the end of `buf`; returns where it starts.
char* decimal(uint64_t n, char* end) noexcept {
  // Two digits per division.
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char* p = end;
  while (n >= 100) {
    const std::size_t pair = static_cast<std::size_t>(n % 100) * 2;
    n /= 100;
    p -= 2;
    p[0] = kPairs[pair];
    p[1] = kPairs[pair + 1];
  }
  if (n >= 10) {
    p -= 2;
    p[0] = kPairs[n * 2];
    p[1] = kPairs[n * 2 + 1];
  } else {
    *--p = static_cast<char>('0' + n);
  }
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

// The names the request rewriting edits a copy with; a HeaderName of a
// well-known id is static text and a hash, built once.
struct FramingNames {
  HeaderName connection{WellKnownName::kConnection};
  HeaderName transfer_encoding{WellKnownName::kTransferEncoding};
  HeaderName content_length{WellKnownName::kContentLength};
};

const FramingNames& names() noexcept {
  static const FramingNames kNames;
  return kNames;
}

// Where the fields that decide framing and connection handling stand in a
// collection, found in one pass over its names (cheaper than a lookup each).
struct FramingFields {
  static constexpr std::size_t kAbsent = SIZE_MAX;
  std::size_t connection = kAbsent;
  std::size_t transfer_encoding = kAbsent;
  std::size_t content_length = kAbsent;
  std::size_t trailer = kAbsent;

  explicit FramingFields(const HeaderMap& fields) noexcept {
    const std::size_t n = fields.name_count();
    for (std::size_t i = 0; i < n; ++i) {
      switch (fields.name_id_at(i)) {
        case WellKnownName::kConnection:
          connection = i;
          break;
        case WellKnownName::kTransferEncoding:
          transfer_encoding = i;
          break;
        case WellKnownName::kContentLength:
          content_length = i;
          break;
        case WellKnownName::kTrailer:
          trailer = i;
          break;
        default:
          break;
      }
    }
  }
};

// The values of entry `at`, or nullopt when absent.
using OptionalValues = std::optional<HeaderMap::ValueRange>;

OptionalValues values_of(const HeaderMap& fields, std::size_t at) noexcept {
  if (at == FramingFields::kAbsent) return std::nullopt;
  return fields.values_at(at);
}

std::string_view last_value(HeaderMap::ValueRange values) noexcept {
  std::string_view last;
  for (std::string_view v : values) last = v;
  return last;
}

bool any_lists(OptionalValues values, std::string_view token) noexcept {
  if (values)
    for (std::string_view v : *values)
      if (lists_token(v, token)) return true;
  return false;
}

// RFC 9110 section 8.6: Content-Length lines that repeat one number, each a
// comma-separated list, give that number; none, or any disagreement, gives
// nullopt.
std::optional<uint64_t> agreed_content_length(OptionalValues values) noexcept {
  std::optional<uint64_t> agreed;
  if (values)
    for (std::string_view v : *values)
      if (!fold_content_length_list(v, agreed)) return std::nullopt;
  return agreed;
}

// Adds the names that Trailer lines announce to `list`, lowercased (field
// names are case-insensitive, RFC 9110 section 5.1) and joined by commas;
// `has_list` records that there was a Trailer line.
void collect_trailer_names(HeaderMap::ValueRange values, std::string& list, bool& has_list) {
  for (std::string_view v : values) {
    if (has_list) list += ',';
    has_list = true;
    for (char c : v) list += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
}

// ---- request ------------------------------------------------------------------------

// The changes a request head makes to the caller's fields, in the order they
// apply.  A line set to a value keeps its place, or is appended when absent.
struct RequestEdits {
  std::string_view connection;  // Connection set to this one value, unless empty
  bool remove_transfer_encoding = false;
  bool append_chunked = false;  // ", chunked" after the last Transfer-Encoding value
  bool remove_content_length = false;
  bool set_content_length = false;  // Content-Length set to content_length
  bool add_chunked = false;         // a Transfer-Encoding line "chunked" appended
  uint64_t content_length = 0;
};

// The field lines of `fields` with `edits` applied to values in place and the
// set lines appended when absent.  Removals must already be applied to
// `fields`.
void write_request_fields(const HeaderMap& fields, const RequestEdits& edits, HeadWriter& out) {
  bool have_connection = false;
  bool have_content_length = false;
  const std::size_t count = fields.name_count();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = fields.name_at(i);
    const auto values = fields.values_at(i);
    switch (fields.name_id_at(i)) {
      case WellKnownName::kConnection:
        have_connection = true;
        if (!edits.connection.empty()) {
          out.line(name, edits.connection);
          continue;
        }
        break;
      case WellKnownName::kContentLength:
        have_content_length = true;
        if (edits.set_content_length) {
          out.line(name, DecimalText(edits.content_length).view);
          continue;
        }
        break;
      case WellKnownName::kTransferEncoding:
        if (edits.append_chunked) {
          // The last value gains the coding; the others stay as they are.
          for (auto it = values.begin(); it != values.end();) {
            const std::string_view v = *it;
            if (++it != values.end()) {
              out.line(name, v);
              continue;
            }
            out.need(name.size() + v.size() + 13);
            out.put(name);
            out.put(": ");
            out.put(v);
            out.put(", chunked\r\n");
          }
          continue;
        }
        break;
      default:
        break;
    }
    for (std::string_view v : values) out.line(name, v);
  }
  if (!edits.connection.empty() && !have_connection) out.line("connection", edits.connection);
  if (edits.set_content_length && !have_content_length)
    out.line("content-length", DecimalText(edits.content_length).view);
  if (edits.add_chunked) out.text("transfer-encoding: chunked\r\n");
}

void write_request_line(const RequestTarget& target, bool http10, HeadWriter& out) {
  const std::span<const std::string_view> pieces(target.target.data(), target.target_pieces);
  std::size_t size = target.method.size() + 11;
  for (std::string_view piece : pieces) size += piece.size();
  out.need(size);
  out.put(target.method);
  out.put(" ");
  for (std::string_view piece : pieces) out.put(piece);
  if (http10) {
    out.put(" HTTP/1.0\r\n");
  } else {
    out.put(" HTTP/1.1\r\n");
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

void write_status_line(uint16_t status, bool http10, HeadWriter& out) {
  if (status == 200 && !http10) {
    out.text(kStatus200);
    return;
  }
  const std::string_view reason = reason_phrase(status);
  out.need(9 + 3 + 1 + reason.size() + 2);
  if (http10) {
    out.put("HTTP/1.0 ");
  } else {
    out.put("HTTP/1.1 ");
  }
  const char digits[4] = {static_cast<char>('0' + status / 100), static_cast<char>('0' + status / 10 % 10),
                          static_cast<char>('0' + status % 10), ' '};
  out.put({digits, 4});
  out.put(reason);
  out.put("\r\n");
}

Error user_error(UserKind kind) {
  return Error::user(kind);
}

// The end of an origin-form target's path and query: the first space,
// control, DEL or "#" in p[0, n), else n.
std::size_t find_target_end(const char* p, std::size_t n) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i max = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7f);
    const __m128i hash = _mm_set1_epi8('#');
    const auto stops = [&](std::size_t at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
      const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, max), max),
                                        _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, hash)));
      return _mm_movemask_epi8(stop);
    };
    for (; i + 16 <= n; i += 16)
      if (const int mask = stops(i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    // The last partial block, read as the last 16 octets.
    if (i == n) return n;
    if (const int mask = stops(n - 16) >> (16 - (n - i)))
      return i + static_cast<std::size_t>(__builtin_ctz(mask));
    return n;
  }
#endif
  for (; i < n; ++i) {
    const auto c = static_cast<uint8_t>(p[i]);
    if (c <= 0x20 || c == 0x7f || c == '#') return i;
  }
  return n;
}

RequestLineError url_refused(http::UriError why) noexcept {
  return {RequestLineError::Where::kUrl, why};
}

}  // namespace

// ---- request ------------------------------------------------------------------------

std::optional<RequestLineError> check_request_line(std::string_view method, std::string_view url,
                                                   RequestTarget& out) noexcept {
  if (!is_method_token(method)) return RequestLineError{RequestLineError::Where::kMethod};
  out.method = method;
  out.method_id = method_from_token(method);
  // A fragment is never sent (RFC 9112 section 3.2: the request-target has
  // none).
  if (!url.empty() && url[0] == '/') {
    // Origin form, the common case: parse_uri takes every octet but space,
    // controls and DEL there ("?" and "#" only split it), so one scan gives
    // its verdict.
    if (url.size() > http::kMaxUriLength) return url_refused(http::UriError::kTooLong);
    const std::size_t end = find_target_end(url.data(), url.size());
    if (end != url.size() && url[end] != '#') return url_refused(http::UriError::kInvalidUriChar);
    if (end != url.size() &&
        scan::find_space_or_control(url.data() + end, url.size() - end) != url.size() - end)
      return url_refused(http::UriError::kInvalidUriChar);
    out.target[0] = url.substr(0, end);
    out.target_pieces = 1;
    return std::nullopt;
  }
  http::Uri uri;
  if (const std::optional<http::UriError> e = http::parse_uri(url, uri)) return url_refused(*e);
  out.target_pieces = 1;
  switch (uri.form) {
    case http::UriForm::kOrigin:
    case http::UriForm::kAsterisk:
      out.target[0] = uri.path_and_query;
      break;
    case http::UriForm::kAuthority:
      out.target[0] = uri.authority;
      break;
    case http::UriForm::kAbsolute:
      // RFC 9112 section 3.2.2: an absolute-form target with an empty path
      // is sent with the path "/".
      out.target = {uri.scheme, "://", uri.authority, uri.path.empty() ? "/" : "", uri.path_and_query};
      out.target_pieces = 5;
      break;
  }
  return std::nullopt;
}

bool write_request_head(const RequestTarget& target, const HeaderMap& headers, const RequestOptions& options,
                        ByteBuffer& buffer, BodyEncoder& encoder) {
  const FramingFields at(headers);
  const auto connection = values_of(headers, at.connection);
  const bool connection_close = any_lists(connection, "close");

  RequestEdits edits;
  if (options.http10) {
    // HTTP/1.0 connections close after each exchange unless the request asks
    // for keep-alive (RFC 9112 Appendix C.2.2).
    const bool asks_keep_alive = connection && lists_token(*connection->begin(), "keep-alive");
    if (!asks_keep_alive && !connection_close) edits.connection = "keep-alive";
  } else if (connection_close) {
    edits.connection = "close";
  }

  const auto transfer_encoding = values_of(headers, at.transfer_encoding);
  const auto content_length = values_of(headers, at.content_length);
  BodyFraming kind = BodyFraming::kLength;
  uint64_t length = 0;
  const BodyRequest& body = options.body;
  if (body.kind == BodyRequest::Kind::kNone) {
    edits.remove_transfer_encoding = true;
    // A Content-Length of the caller's goes out as written, so the body must
    // be as long as it says: cutting it to nothing would leave the peer
    // waiting for the rest (RFC 9112 section 6.3).
    if (content_length) length = agreed_content_length(content_length).value_or(0);
  } else if (options.http10) {
    // RFC 9112 section 6.1: no transfer coding to an HTTP/1.0 recipient.
    edits.remove_transfer_encoding = true;
    if (const auto n = agreed_content_length(content_length)) {
      length = *n;
    } else if (body.kind == BodyRequest::Kind::kKnown) {
      edits.set_content_length = true;
      edits.content_length = length = body.length;
    }
  } else if (transfer_encoding) {
    // RFC 9112 section 6.1: chunked must be the final coding of a request.
    edits.append_chunked = !is_chunked_last(last_value(*transfer_encoding));
    // RFC 9112 section 6.2: a sender MUST NOT send Content-Length together
    // with Transfer-Encoding; any value, numeric or not, would give a
    // recipient a second framing to disagree on.
    edits.remove_content_length = true;
    kind = BodyFraming::kChunked;
  } else if (const auto n = agreed_content_length(content_length)) {
    length = *n;
  } else if (body.kind == BodyRequest::Kind::kUnknown) {
    // RFC 9110 section 9.3: GET, HEAD and CONNECT bodies have no defined
    // meaning; they are not sent rather than announced.
    const Method m = target.method_id;
    if (m != Method::kGet && m != Method::kHead && m != Method::kConnect) {
      edits.remove_content_length = true;  // a value that did not parse
      edits.add_chunked = true;
      kind = BodyFraming::kChunked;
    }
  } else {
    edits.set_content_length = true;
    edits.content_length = length = body.length;
  }
  std::string trailer_names;
  bool has_trailer_list = false;
  if (kind == BodyFraming::kChunked && at.trailer != FramingFields::kAbsent)
    collect_trailer_names(headers.values_at(at.trailer), trailer_names, has_trailer_list);

  HeadWriter out(buffer);
  write_request_line(target, options.http10, out);
  const bool removes = (edits.remove_transfer_encoding && transfer_encoding) ||
                       (edits.remove_content_length && content_length);
  const bool changes =
      !edits.connection.empty() || edits.append_chunked || edits.set_content_length || edits.add_chunked;
  if (!removes && !changes) {
    // The caller's fields as they are: most requests.
    for (const http::HeaderField& f : headers) out.line(f.name, f.value);
  } else if (!removes) {
    write_request_fields(headers, edits, out);
  } else {
    // A removed name's place goes to the last name: the order of the lines
    // is that of the caller's collection edited by its own rules.
    HeaderMap fields(headers);
    if (!edits.connection.empty()) fields.insert(names().connection, edits.connection);
    if (edits.remove_transfer_encoding) fields.remove(names().transfer_encoding);
    if (edits.remove_content_length) fields.remove(names().content_length);
    // A placeholder that keeps the place; write_request_fields puts the value.
    if (edits.set_content_length) fields.insert(names().content_length, "");
    RequestEdits values = edits;
    // Only a collection that is full refuses the line; it then goes last.
    if (edits.add_chunked)
      values.add_chunked = fields.insert(names().transfer_encoding, "chunked") != std::nullopt;
    write_request_fields(fields, values, out);
  }
  out.text(kCrlf);
  out.finish();

  encoder.kind = kind;
  encoder.remaining = length;
  encoder.is_last = false;
  encoder.has_trailer_list = has_trailer_list;
  encoder.allowed_trailers.swap(trailer_names);
  return connection_close;
}

// ---- response -----------------------------------------------------------------------

std::string_view reason_phrase(uint16_t status) noexcept {
  if (status < kReasonRow.size())
    if (const uint8_t row = kReasonRow[status]; row != 0) return kReasons[row - 1].text;
  return "<none>";
}

std::optional<Error> write_response_head(const ResponseOptions& options, const HeaderMap& headers,
                                         ByteBuffer& buffer, BodyEncoder& encoder_out) {
  const uint16_t status = options.status;
  const bool http10 = options.http10;
  const bool title = options.title_case;
  const bool keep_alive = options.keep_alive;
  const bool head_request = options.request_method == Method::kHead;
  const bool connect_2xx = options.request_method == Method::kConnect && status >= 200 && status <= 299;
  const bool informational = status >= 100 && status <= 199;
  const bool no_content = status == 204 || status == 304;
  // RFC 9112 section 6.3: responses to HEAD, 1xx, 204, 304 and a 2xx to
  // CONNECT carry no body; RFC 9110 section 8.6: no Content-Length in 1xx,
  // 204, a 2xx to CONNECT, and 304 describes another response.
  const bool can_have_body = !head_request && !connect_2xx && !informational && !no_content;
  const bool can_have_length = !informational && !connect_2xx && !no_content;
  const bool implicit_zero = can_have_length && !head_request;

  bool is_last;
  if (status == 101 || connect_2xx) {
    is_last = true;
  } else if (informational) {
    // RFC 9110 section 15.2: interim responses are written apart (100
    // Continue), never as the head of the final response.
    return user_error(UserKind::kUnsupportedStatusCode);
  } else {
    is_last = !keep_alive;
  }

  HeadWriter out(buffer);
  write_status_line(status, http10, out);

  // The encoder being decided; the caller's is set only on success.
  BodyFraming kind = BodyFraming::kLength;
  uint64_t remaining = 0;
  std::string trailer_names;  // announced by Trailer lines, for a chunked encoder
  bool has_trailer_list = false;
  bool framing_written = connect_2xx;
  bool date_written = false;
  bool have_connection = false;
  const BodyRequest& body = options.body;

  const std::size_t count = headers.name_count();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = headers.name_at(i);
    const auto values = headers.values_at(i);
    switch (headers.name_id_at(i)) {
      case WellKnownName::kContentLength: {
        if (framing_written) return user_error(UserKind::kUnexpectedHeader);
        framing_written = true;
        const std::string_view first = *values.begin();
        switch (body.kind) {
          case BodyRequest::Kind::kKnown: {
            // The line goes out as written, so the body must be as long as
            // it says, whatever length the caller announced apart from it.
            const auto n = parse_decimal(first);
            if (!n) return user_error(UserKind::kUnexpectedHeader);
            out.line(name, first, title);
            kind = BodyFraming::kLength;
            remaining = *n;
            break;
          }
          case BodyRequest::Kind::kUnknown: {
            // RFC 9110 section 8.6: Content-Length = 1*DIGIT, one number.
            const auto n = parse_decimal(first);
            if (!n) return user_error(UserKind::kUnexpectedHeader);
            for (std::string_view v : values)
              if (parse_decimal(v) != n) return user_error(UserKind::kUnexpectedHeader);
            out.line(name, first, title);
            kind = BodyFraming::kLength;
            remaining = *n;
            break;
          }
          case BodyRequest::Kind::kNone:
            // RFC 9110 section 8.6: a response to HEAD may say how long the
            // body of a GET would have been.
            if (head_request) {
              for (std::string_view v : values) out.line(name, v, title);
            } else if (implicit_zero) {
              // The response has no body; without a length line an HTTP/1.1
              // client would read it until the connection closes (RFC 9112
              // section 6.3).
              out.line(name, "0", title);
            }
            break;
        }
        continue;
      }
      case WellKnownName::kTransferEncoding:
        if (framing_written) return user_error(UserKind::kUnexpectedHeader);
        // RFC 9112 section 6.1: no transfer coding to HTTP/1.0, and none
        // where there is no body to code.
        if (http10 || !can_have_body) continue;
        framing_written = true;
        kind = BodyFraming::kChunked;
        out.joined_line(name, values, title, is_chunked_last(last_value(values)) ? "" : ", chunked");
        continue;
      case WellKnownName::kConnection: {
        have_connection = true;
        // HTTP/1.0 closes unless the response asks for keep-alive (RFC 9112
        // Appendix C.2.2); a caller's close is not turned into keep-alive,
        // it stands and ends the connection.
        const bool close = any_lists(values, "close");
        std::string_view set;
        if (http10) {
          if (keep_alive && !lists_token(*values.begin(), "keep-alive") && !close) set = "keep-alive";
        } else if (!keep_alive) {
          set = "close";
        }
        if (!set.empty()) {
          out.line(name, set, title);
        } else {
          out.joined_line(name, values, title);
          is_last = is_last || close;
        }
        continue;
      }
      case WellKnownName::kDate:
        date_written = true;
        break;
      case WellKnownName::kTrailer:
        if (http10 || !can_have_body) continue;
        out.joined_line(name, values, title);
        collect_trailer_names(values, trailer_names, has_trailer_list);
        continue;
      default:
        break;
    }
    for (std::string_view v : values) out.line(name, v, title);
  }
  // A Connection line set where the caller had none comes last among the
  // caller's lines, where the collection would have appended it.
  if (!have_connection) {
    if (http10 && keep_alive) {
      out.line("connection", "keep-alive", title);
    } else if (!http10 && !keep_alive) {
      out.line("connection", "close", title);
    }
  }

  if (!framing_written) {
    switch (body.kind) {
      case BodyRequest::Kind::kUnknown:
        if (http10 || !can_have_body) {
          // RFC 9112 section 6.3 rule 8: the body ends when the connection
          // closes.
          kind = BodyFraming::kClose;
        } else {
          out.line("transfer-encoding", "chunked", title);
          kind = BodyFraming::kChunked;
        }
        break;
      case BodyRequest::Kind::kKnown:
        if (body.length != 0) {
          if (can_have_length) {
            out.line("content-length", DecimalText(body.length).view, title);
            remaining = body.length;
          }
          break;
        }
        [[fallthrough]];
      case BodyRequest::Kind::kNone:
        if (implicit_zero) out.line("content-length", "0", title);
        break;
    }
  }
  if (!can_have_body) {
    kind = BodyFraming::kLength;
    remaining = 0;
  }

  if (!date_written && options.date != nullptr) {
    // RFC 9110 section 6.6.1: an origin server with a clock MUST send Date.
    const std::string_view date = options.date->current();
    out.need(date.size() + 10);
    out.put_name("date", title);
    out.put(": ");
    out.put(date);
    out.put("\r\n\r\n");
  } else {
    out.text(kCrlf);
  }
  out.finish();

  encoder_out.kind = kind;
  encoder_out.remaining = kind == BodyFraming::kLength ? remaining : 0;
  encoder_out.is_last = is_last;
  encoder_out.has_trailer_list = kind == BodyFraming::kChunked && has_trailer_list;
  if (encoder_out.has_trailer_list) {
    encoder_out.allowed_trailers = std::move(trailer_names);
  } else {
    encoder_out.allowed_trailers.clear();
  }
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
  if (!data.empty()) std::memcpy(out, data.data(), data.size());
  out += data.size();
  out[0] = '\r';
  out[1] = '\n';
  return out + 2;
}

bool lists_close(const HeaderMap& headers) noexcept {
  return any_lists(values_of(headers, FramingFields(headers).connection), "close");
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

bool is_ows(char c) noexcept {
  return c == ' ' || c == '\t';
}

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

void write_trailer_section(const BodyEncoder& encoder, const HeaderMap& trailers, ByteBuffer& buffer) {
  HeadWriter out(buffer);
  out.text("0\r\n");
  const std::size_t count = trailers.name_count();
  for (std::size_t i = 0; i < count; ++i) {
    const WellKnownName id = trailers.name_id_at(i);
    if (id != WellKnownName::kNone && kNeverTrailers[static_cast<std::size_t>(id)]) continue;
    const std::string_view name = trailers.name_at(i);
    if (!announces(encoder.allowed_trailers, name)) continue;
    for (std::string_view v : trailers.values_at(i)) out.line(name, v);
  }
  out.text(kCrlf);
  out.finish();
}

}  // namespace vantric::h1
