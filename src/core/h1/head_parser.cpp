#include "core/h1/head_parser.h"

#include <array>
#include <cstring>
#include <memory>

#include "core/h1/field_values.h"
#include "core/h1/scan.h"
#include "core/h2/constants.h"
#include "core/http/field_rules.h"
#include "core/http/status.h"
#include "core/http/uri.h"
#include "core/invariant.h"

namespace vantric::h1 {
namespace {

using http::WellKnownName;

// One field line, as offsets into the buffer (and later into the block).
struct FieldSpan {
  std::size_t name_at;
  std::size_t name_size;
  std::size_t value_at;
  std::size_t value_size;
};

// The field lines of one parse: the first kDefaultMaxHeaders in fixed
// storage, so that a head within the default limit allocates nothing here;
// only a configured limit above it spills to the heap, growing with the lines
// actually received rather than with the limit.
class FieldList {
 public:
  FieldList() noexcept = default;
  FieldList(const FieldList&) = delete;
  FieldList& operator=(const FieldList&) = delete;

  std::size_t size() const noexcept { return size_; }
  const FieldSpan& operator[](std::size_t i) const noexcept { return data_[i]; }
  void clear() noexcept { size_ = 0; }

  // Throws std::bad_alloc.
  void push(const FieldSpan& field) {
    if (size_ == capacity_) grow();
    data_[size_++] = field;
  }

 private:
  void grow() {
    const std::size_t capacity = capacity_ * 2;
    auto fresh = std::make_unique_for_overwrite<FieldSpan[]>(capacity);
    std::memcpy(fresh.get(), data_, size_ * sizeof(FieldSpan));
    heap_ = std::move(fresh);
    data_ = heap_.get();
    capacity_ = capacity;
  }

  FieldSpan inline_[kDefaultMaxHeaders];
  std::unique_ptr<FieldSpan[]> heap_;
  FieldSpan* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kDefaultMaxHeaders;
};

// A cursor over the buffered bytes.
struct Scanner {
  const char* p;
  std::size_t n;
  std::size_t pos = 0;
  ParseKind error = ParseKind::kInternal;

  Progress fail(ParseKind kind) noexcept {
    error = kind;
    return Progress::kFailed;
  }
  uint8_t at(std::size_t i) const noexcept { return static_cast<uint8_t>(p[i]); }
};

constexpr bool is_ows(uint8_t c) noexcept {
  return c == ' ' || c == '\t';
}

// RFC 9112 section 2.2: "a server that is expecting to receive and parse a
// request-line SHOULD ignore at least one empty line (CRLF) received prior
// to the request-line"; any number are skipped, CRLF or a bare LF.
Progress skip_empty_lines(Scanner& s) noexcept {
  while (s.pos < s.n) {
    if (s.p[s.pos] == '\n') {
      ++s.pos;
    } else if (s.p[s.pos] == '\r') {
      if (s.pos + 1 == s.n) return Progress::kNeedMore;
      if (s.p[s.pos + 1] != '\n') return s.fail(ParseKind::kHeaderToken);
      s.pos += 2;
    } else {
      return Progress::kDone;
    }
  }
  return Progress::kNeedMore;
}

// HTTP-version = "HTTP/1.1" or "HTTP/1.0" exactly (RFC 9112 section 2.3;
// other versions are not HTTP/1 messages this parser can frame).
Progress scan_version(Scanner& s, bool* http10) noexcept {
  static constexpr char kHttp1[] = "HTTP/1.";
  if (s.n - s.pos >= 8 && std::memcmp(s.p + s.pos, kHttp1, 7) == 0) {
    const char minor = s.p[s.pos + 7];
    if (minor != '0' && minor != '1') return s.fail(ParseKind::kVersion);
    *http10 = minor == '0';
    s.pos += 8;
    return Progress::kDone;
  }
  // Fewer than eight octets: fail at the first one that cannot match.
  for (std::size_t i = 0; i < 7 && s.pos + i < s.n; ++i)
    if (s.p[s.pos + i] != kHttp1[i]) return s.fail(ParseKind::kVersion);
  return s.n - s.pos >= 8 ? s.fail(ParseKind::kVersion) : Progress::kNeedMore;
}

// CRLF, or a bare LF (RFC 9112 section 2.2 lets a recipient accept it).
Progress scan_line_end(Scanner& s, ParseKind kind) noexcept {
  if (s.pos == s.n) return Progress::kNeedMore;
  if (s.p[s.pos] == '\n') {
    ++s.pos;
    return Progress::kDone;
  }
  if (s.p[s.pos] == '\r') {
    if (s.pos + 1 == s.n) return Progress::kNeedMore;
    if (s.p[s.pos + 1] == '\n') {
      s.pos += 2;
      return Progress::kDone;
    }
  }
  return s.fail(kind);
}

struct RequestLine {
  std::size_t method_at = 0;
  std::size_t method_size = 0;
  std::size_t target_at = 0;
  std::size_t target_size = 0;
  Method method = Method::kGet;
  bool http10 = false;
};

// request-line = method SP request-target SP HTTP-version CRLF
// (RFC 9112 section 3).
Progress scan_request_line(Scanner& s, RequestLine& line) noexcept {
  if (Progress step = skip_empty_lines(s); step != Progress::kDone) return step;
  line.method_at = s.pos;
  const std::size_t left = s.n - s.pos;
  // The two methods of nearly every request skip the token scan.
  if (left >= 4 && std::memcmp(s.p + s.pos, "GET ", 4) == 0) {
    line.method = Method::kGet;
    line.method_size = 3;
    s.pos += 4;
  } else if (left >= 5 && std::memcmp(s.p + s.pos, "POST ", 5) == 0) {
    line.method = Method::kPost;
    line.method_size = 4;
    s.pos += 5;
  } else {
    std::size_t i = s.pos;
    while (i < s.n && http::is_tchar(s.at(i))) ++i;
    if (i == s.n) return Progress::kNeedMore;
    // method = token, then a single SP.
    if (s.p[i] != ' ' || i == s.pos) return s.fail(ParseKind::kMethod);
    line.method_size = i - s.pos;
    line.method = method_from_token({s.p + s.pos, line.method_size});
    s.pos = i + 1;
  }

  // The target ends at the single SP before the version; controls, DEL and
  // a second SP are not part of any request-target form.
  line.target_at = s.pos;
  const std::size_t end = s.pos + scan::find_space_or_control(s.p + s.pos, s.n - s.pos);
  if (end == s.n) return Progress::kNeedMore;
  if (s.p[end] != ' ' || end == s.pos) return s.fail(ParseKind::kUri);
  line.target_size = end - s.pos;
  s.pos = end + 1;

  if (Progress step = scan_version(s, &line.http10); step != Progress::kDone) return step;
  if (Progress step = scan_line_end(s, ParseKind::kHeaderToken); step != Progress::kDone) return step;
  if (line.target_size > kMaxTargetLength) return s.fail(ParseKind::kUriTooLong);
  return Progress::kDone;
}

// status-line = HTTP-version SP status-code SP [ reason-phrase ] CRLF
// (RFC 9112 section 4); the second SP may be left out with the reason.
Progress scan_status_line(Scanner& s, uint16_t* status, bool* http10) noexcept {
  if (Progress step = skip_empty_lines(s); step != Progress::kDone) return step;
  if (Progress step = scan_version(s, http10); step != Progress::kDone) return step;
  if (s.pos == s.n) return Progress::kNeedMore;
  if (s.p[s.pos] != ' ') return s.fail(ParseKind::kVersion);
  ++s.pos;
  unsigned code = 0;
  for (int i = 0; i < 3; ++i, ++s.pos) {
    if (s.pos == s.n) return Progress::kNeedMore;
    const uint8_t c = s.at(s.pos);
    if (c < '0' || c > '9') return s.fail(ParseKind::kStatus);
    code = code * 10 + (c - '0');
  }
  if (!http::is_status_code(code)) return s.fail(ParseKind::kStatus);
  *status = static_cast<uint16_t>(code);
  if (s.pos == s.n) return Progress::kNeedMore;
  if (s.p[s.pos] == ' ') {
    // reason-phrase = 1*( HTAB / SP / VCHAR / obs-text )
    ++s.pos;
    for (;;) {
      s.pos += scan::find_control(s.p + s.pos, s.n - s.pos);
      if (s.pos == s.n) return Progress::kNeedMore;
      if (s.p[s.pos] != '\t') break;
      ++s.pos;
    }
  }
  return scan_line_end(s, ParseKind::kStatus);
}

// One field line from s.pos: field-name ":" OWS field-value OWS, ended by
// CRLF or LF (RFC 9112 section 5).  On kDone, `field` is set and *next is the
// start of the following line; on kFailed, *failure is kHeaderToken for a
// malformed line or kTooLarge for an overlong name.
Progress scan_field_line(const Scanner& s, FieldSpan* field, std::size_t* next, ParseKind* failure) noexcept {
  *failure = ParseKind::kHeaderToken;
  std::size_t i = s.pos;
  while (i < s.n && http::is_tchar(s.at(i))) ++i;
  if (i == s.n) return Progress::kNeedMore;
  // RFC 9112 section 5.1: no whitespace is allowed between the field name
  // and the colon; a line that starts with whitespace is obsolete line
  // folding (section 5.2), which is not accepted either.
  if (s.p[i] != ':' || i == s.pos) return Progress::kFailed;
  field->name_at = s.pos;
  field->name_size = i - s.pos;
  ++i;
  while (i < s.n && is_ows(s.at(i))) ++i;
  field->value_at = i;
  for (;;) {
    i += scan::find_control(s.p + i, s.n - i);
    if (i == s.n) return Progress::kNeedMore;
    if (s.p[i] != '\t') break;
    ++i;
  }
  std::size_t end = i;
  if (s.p[i] == '\n') {
    ++i;
  } else if (s.p[i] == '\r') {
    if (i + 1 == s.n) return Progress::kNeedMore;
    if (s.p[i + 1] != '\n') return Progress::kFailed;
    i += 2;
  } else {
    // RFC 9110 section 5.5: no control octet but HTAB inside a value.
    return Progress::kFailed;
  }
  // Only whole lines are judged, so that the outcome does not depend on
  // where the input was split.
  if (field->name_size > http::kMaxHeaderNameLength) {
    *failure = ParseKind::kTooLarge;
    return Progress::kFailed;
  }
  while (end > field->value_at && is_ows(s.at(end - 1))) --end;
  field->value_size = end - field->value_at;
  *next = i;
  return Progress::kDone;
}

// Field lines up to and including the empty line that ends the head.
Progress scan_fields(Scanner& s, FieldList& fields, std::size_t limit, bool skip_malformed) {
  for (;;) {
    if (s.pos == s.n) return Progress::kNeedMore;
    if (s.p[s.pos] == '\n' || s.p[s.pos] == '\r') return scan_line_end(s, ParseKind::kHeaderToken);
    FieldSpan field;
    std::size_t next = 0;
    ParseKind failure;
    switch (scan_field_line(s, &field, &next, &failure)) {
      case Progress::kDone:
        if (fields.size() == limit) return s.fail(ParseKind::kTooLarge);
        fields.push(field);
        s.pos = next;
        break;
      case Progress::kNeedMore:
        return Progress::kNeedMore;
      case Progress::kFailed: {
        if (failure != ParseKind::kHeaderToken || !skip_malformed) return s.fail(failure);
        const void* lf = std::memchr(s.p + s.pos, '\n', s.n - s.pos);
        if (lf == nullptr) return Progress::kNeedMore;
        s.pos = static_cast<std::size_t>(static_cast<const char*>(lf) - s.p) + 1;
        break;
      }
    }
  }
}

// RFC 9112 section 9.3: HTTP/1.1 defaults to persistence unless "close" is
// listed; HTTP/1.0 persists only when "keep-alive" is listed.  Each line is
// judged against the verdict left by the previous one.
void apply_connection(std::string_view value, bool& keep_alive) noexcept {
  if (keep_alive) {
    if (lists_token(value, "close")) keep_alive = false;
  } else if (lists_token(value, "keep-alive")) {
    keep_alive = true;
  }
}

// Well-known names by their shape, so that the names of nearly every field
// line are recognised without hashing them: an open-addressed table keyed by
// the length and the first and last octets (ASCII case folded), holding
// well-known ids; a candidate is confirmed by comparing the octets.
constexpr std::size_t kShapeSlots = 512;

constexpr std::array<std::string_view, http::kWellKnownNameCount> kWellKnownTexts = {
#define VANTRIC_X(id, text) text,
    VANTRIC_WELL_KNOWN_HEADER_NAMES(VANTRIC_X)
#undef VANTRIC_X
};

constexpr std::size_t shape_slot(std::size_t size, uint8_t first, uint8_t last) noexcept {
  return (size * 61 + (first | 0x20u) * 7 + (last | 0x20u)) & (kShapeSlots - 1);
}

constexpr std::array<uint8_t, kShapeSlots> kShapeTable = [] {
  std::array<uint8_t, kShapeSlots> t{};
  for (auto& slot : t) slot = static_cast<uint8_t>(WellKnownName::kNone);
  for (std::size_t id = 0; id < http::kWellKnownNameCount; ++id) {
    const std::string_view text = kWellKnownTexts[id];
    std::size_t pos =
        shape_slot(text.size(), static_cast<uint8_t>(text.front()), static_cast<uint8_t>(text.back()));
    while (t[pos] != static_cast<uint8_t>(WellKnownName::kNone)) pos = (pos + 1) & (kShapeSlots - 1);
    t[pos] = static_cast<uint8_t>(id);
  }
  return t;
}();

// Every well-known text is lowercase letters, digits and "-".  For octets
// already scanned as tchars, (octet | 0x20) equals such a text octet exactly
// when the octet is that text octet in either case: the other octets that OR
// 0x20 maps onto a letter, a digit or "-" are controls.
bool equals_folded(const char* raw, std::string_view text) noexcept {
  constexpr uint64_t kFold = 0x2020202020202020ull;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t a, b;
    std::memcpy(&a, raw + i, 8);
    std::memcpy(&b, text.data() + i, 8);
    if ((a | kFold) != b) return false;
  }
  for (; i < text.size(); ++i)
    if ((raw[i] | 0x20) != text[i]) return false;
  return true;
}

WellKnownName well_known_by_shape(std::string_view raw) noexcept {
  if (raw.empty()) return WellKnownName::kNone;
  for (std::size_t pos =
           shape_slot(raw.size(), static_cast<uint8_t>(raw.front()), static_cast<uint8_t>(raw.back()));
       ; pos = (pos + 1) & (kShapeSlots - 1)) {
    const uint8_t id = kShapeTable[pos];
    if (id == static_cast<uint8_t>(WellKnownName::kNone)) return WellKnownName::kNone;
    const std::string_view text = kWellKnownTexts[id];
    if (text.size() == raw.size() && equals_folded(raw.data(), text)) return static_cast<WellKnownName>(id);
  }
}

// The name of a scanned field line in stored form.  The line was scanned as
// tchars of a valid length, so this cannot fail.
void field_name(std::string_view raw, std::optional<http::HeaderName>& out) {
  if (const WellKnownName id = well_known_by_shape(raw); id != WellKnownName::kNone) {
    out.emplace(id);
    return;
  }
  out = http::HeaderName::from(raw);
  VANTRIC_INVARIANT(out.has_value(), "a scanned field name is a valid header name");
}

bool append_field(http::HeaderMap& map, const http::HeaderName& name, std::string_view value) {
  // A scanned value is always valid; only the collection's own capacity (a
  // configured limit far above the default) can refuse it.
  return map.append(name, value) == std::nullopt;
}

HeadResult failed(ParseKind kind) noexcept {
  return {Progress::kFailed, kind};
}

// What a head's field rule makes of one field line.
struct FieldVerdict {
  enum class Action : uint8_t { kAppend, kDrop, kFail };
  Action action = Action::kAppend;
  ParseKind error = ParseKind::kInternal;  // meaningful when Fail
};

constexpr FieldVerdict kAppendField{};
constexpr FieldVerdict kDropField{FieldVerdict::Action::kDrop};
constexpr FieldVerdict reject_field(ParseKind kind) noexcept {
  return {FieldVerdict::Action::kFail, kind};
}

// Fills `map` from the field lines of a complete head whose octets `block`
// holds (the spans are offsets into it), attaching the block: each line's
// name and value go, in arrival order, to rule(name, value), and the lines it
// keeps are appended.  Returns Internal, or the kind of the first failure:
// the rule's, or TooLarge when the map refuses a line.  Throws
// std::bad_alloc.
template <class Rule>
ParseKind fill_fields(const FieldList& fields, const http::SharedOctets& block, http::HeaderMap& map,
                      Rule&& rule) {
  const char* base = block.view().data();
  map.clear();
  map.attach(block);
  std::optional<http::HeaderName> name_slot;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSpan& f = fields[i];
    field_name({base + f.name_at, f.name_size}, name_slot);
    const http::HeaderName& name = *name_slot;
    const std::string_view value(base + f.value_at, f.value_size);
    const FieldVerdict verdict = rule(name, value);
    if (verdict.action == FieldVerdict::Action::kFail) return verdict.error;
    if (verdict.action == FieldVerdict::Action::kDrop) continue;
    if (!append_field(map, name, value)) return ParseKind::kTooLarge;
  }
  return ParseKind::kInternal;
}

HeadResult need_more(const ByteBuffer& buffer, const ParseLimits& limits) noexcept {
  if (buffer.size() >= limits.max_buf_size) return failed(ParseKind::kTooLarge);
  return {Progress::kNeedMore, ParseKind::kInternal};
}

// The target as the host sees it (see RequestHead), as offsets.
struct TargetText {
  std::string_view scheme;
  std::size_t at = 0;
  std::size_t size = 0;
};

ParseKind request_target(std::string_view target, std::size_t target_at, TargetText* out) noexcept {
  http::Uri uri;
  if (http::parse_uri(target, uri) != std::nullopt) return ParseKind::kUri;
  out->at = target_at;
  out->size = target.size();
  switch (uri.form) {
    case http::UriForm::kOrigin:
      // path [ "?" query ]: a fragment is never part of a request.
      out->size = uri.path_and_query.size();
      break;
    case http::UriForm::kAbsolute:
      if (uri.scheme_kind != http::SchemeKind::kOther && target.substr(0, uri.scheme.size()) != uri.scheme) {
        out->scheme = uri.scheme;
        out->at += uri.scheme.size();
        out->size -= uri.scheme.size();
      }
      break;
    case http::UriForm::kAuthority:
    case http::UriForm::kAsterisk:
      break;
  }
  return ParseKind::kInternal;
}

HeadResult parse_request_head(ByteBuffer& buffer, const ParseLimits& limits, RequestHead& out,
                              http::HeaderMap& map, RequestScanProgress* progress) {
  const std::string_view input = buffer.view();
  Scanner s{input.data(), input.size()};
  RequestLine line;
  switch (scan_request_line(s, line)) {
    case Progress::kDone:
      break;
    case Progress::kNeedMore:
      return need_more(buffer, limits);
    case Progress::kFailed:
      return failed(s.error);
  }
  TargetText target;
  if (ParseKind kind =
          request_target(input.substr(line.target_at, line.target_size), line.target_at, &target);
      kind != ParseKind::kInternal)
    return failed(kind);

  FieldList fields;
  switch (scan_fields(s, fields, limits.max_headers, limits.ignore_invalid_headers)) {
    case Progress::kDone:
      break;
    case Progress::kNeedMore:
      // scan_fields stops at the start of the line it could not finish.
      if (progress != nullptr) *progress = {s.pos, fields.size()};
      return need_more(buffer, limits);
    case Progress::kFailed:
      return failed(s.error);
  }

  // The head is complete: split it off into one block and build the views.
  out.block = http::SharedOctets::copy_of(input.substr(0, s.pos));
  const char* base = out.block.view().data();
  out.method = line.method;
  out.method_text = {base + line.method_at, line.method_size};
  out.target_scheme = target.scheme;
  out.target = {base + target.at, target.size};
  out.http10 = line.http10;

  // RFC 9112 section 6.3 and 9.3, over the field lines in arrival order.
  const bool is_connect = line.method == Method::kConnect;
  bool keep_alive = !line.http10;
  bool expect_continue = false;
  bool upgrade = false;
  bool allow_trailers = false;
  uint8_t host_count = 0;
  bool transfer_coding = false;
  bool chunked = false;
  // Both framing fields: RFC 9112 section 6.1 says the server "MUST close the
  // connection after responding to such a request".
  bool framing_conflict = false;
  std::optional<uint64_t> content_length;
  auto rule = [&](const http::HeaderName& name, std::string_view value) -> FieldVerdict {
    switch (name.well_known()) {
      case WellKnownName::kTransferEncoding:
        // RFC 9112 section 6.1: "A server that receives a request message
        // with a transfer coding it does not understand SHOULD respond with
        // 501"; an HTTP/1.0 peer cannot have meant one at all.
        if (line.http10) return reject_field(ParseKind::kHeaderTransferEncodingUnexpected);
        // RFC 9112 section 6.3 rule 3: Transfer-Encoding overrides
        // Content-Length, which must be removed before the message is
        // forwarded (a request smuggling vector otherwise).
        if (content_length) {
          map.remove(http::HeaderName(WellKnownName::kContentLength));
          content_length.reset();
          framing_conflict = true;
        }
        transfer_coding = true;
        chunked = is_chunked_last(value);
        break;
      case WellKnownName::kContentLength: {
        if (transfer_coding) {
          framing_conflict = true;
          return kDropField;  // dropped, as above
        }
        // RFC 9110 section 8.6: Content-Length = 1*DIGIT.  Unlike a
        // response, a request gets no leniency for lists: a proxy in front
        // may have framed it by another reading.
        const auto number = parse_decimal(value);
        if (!number) return reject_field(ParseKind::kHeaderContentLengthInvalid);
        if (content_length) {
          // RFC 9112 section 6.3 rule 5: differing values are
          // unrecoverable; an exact repeat is harmless and dropped.
          if (*number != *content_length) return reject_field(ParseKind::kHeaderContentLengthInvalid);
          return kDropField;
        }
        if (*number > kMaxBodyLength) return reject_field(ParseKind::kTooLarge);
        content_length = number;
        break;
      }
      case WellKnownName::kConnection:
        apply_connection(value, keep_alive);
        break;
      case WellKnownName::kExpect:
        // RFC 9110 section 10.1.1: the one expectation defined.
        expect_continue = equals_ignoring_case(value, "100-continue");
        break;
      case WellKnownName::kUpgrade:
        upgrade = true;
        break;
      case WellKnownName::kHost:
        if (host_count < 2) ++host_count;
        break;
      case WellKnownName::kTe:
        // RFC 9110 section 10.1.4: "trailers" says the client will accept
        // a trailer section.
        allow_trailers = allow_trailers || lists_token(value, "trailers");
        break;
      default:
        break;
    }
    return kAppendField;
  };
  if (ParseKind kind = fill_fields(fields, out.block, map, rule); kind != ParseKind::kInternal)
    return failed(kind);
  // RFC 9112 section 6.3 rule 4: a request whose final coding is not chunked
  // has no determinable length; the server must answer 400 and close.
  if (transfer_coding && !chunked) return failed(ParseKind::kHeaderTransferEncodingInvalid);

  out.body_length = transfer_coding ? kBodyChunked : content_length.value_or(0);
  out.keep_alive = keep_alive && !framing_conflict;
  out.expect_continue = expect_continue;
  // RFC 9110 section 7.8: Upgrade is an HTTP/1.1 mechanism; CONNECT always
  // turns the connection into a tunnel (RFC 9110 section 9.3.6).
  out.is_upgrade = is_connect || (upgrade && !line.http10);
  out.allow_trailers = allow_trailers;
  out.host_count = host_count;
  buffer.consume(s.pos);
  return {Progress::kDone, ParseKind::kInternal};
}

bool is_interim(uint16_t status) noexcept {
  return status >= 100 && status < 200 && status != 101;
}

HeadResult parse_response_head(ByteBuffer& buffer, std::optional<Method> request_method,
                               const ParseLimits& limits, ResponseHead& out, http::HeaderMap& map) {
  for (;;) {
    if (buffer.empty()) return {Progress::kNeedMore, ParseKind::kInternal};
    const std::string_view input = buffer.view();
    Scanner s{input.data(), input.size()};
    uint16_t status = 0;
    bool http10 = false;
    Progress step = scan_status_line(s, &status, &http10);
    FieldList fields;
    if (step == Progress::kDone) step = scan_fields(s, fields, kDefaultMaxHeaders, false);
    if (step == Progress::kNeedMore) return need_more(buffer, limits);
    if (step == Progress::kFailed) return failed(s.error);
    if (is_interim(status)) {
      // RFC 9110 section 15.2: a client must accept interim responses
      // before the final one; they carry nothing the caller needs.
      buffer.consume(s.pos);
      continue;
    }

    out.block = http::SharedOctets::copy_of(input.substr(0, s.pos));
    out.status = status;
    out.http10 = http10;

    bool keep_alive = !http10;
    bool transfer_coding = false;
    bool chunked = false;
    bool has_content_length = false;
    bool content_length_valid = true;
    std::optional<uint64_t> content_length;
    auto rule = [&](const http::HeaderName& name, std::string_view value) -> FieldVerdict {
      switch (name.well_known()) {
        case WellKnownName::kTransferEncoding:
          transfer_coding = true;
          chunked = is_chunked_last(value);
          break;
        case WellKnownName::kContentLength:
          has_content_length = true;
          content_length_valid = content_length_valid && fold_content_length_list(value, content_length);
          break;
        case WellKnownName::kConnection:
          apply_connection(value, keep_alive);
          break;
        default:
          break;
      }
      return kAppendField;
    };
    if (ParseKind kind = fill_fields(fields, out.block, map, rule); kind != ParseKind::kInternal)
      return failed(kind);

    // RFC 9112 section 6.3, rules 1 to 7 in order.
    const bool is_head = request_method == Method::kHead;
    const bool is_connect = request_method == Method::kConnect;
    uint64_t length = kBodyCloseDelimited;
    bool upgrade = false;
    if (status == 101) {
      length = 0;
      upgrade = true;
    } else if (status == 204 || status == 304 || is_head) {
      length = 0;
    } else if (is_connect && status >= 200 && status < 300) {
      length = 0;
      upgrade = true;
    } else if (transfer_coding) {
      // RFC 9112 section 6.1: a transfer coding in an HTTP/1.0 message
      // means the framing is faulty.
      if (http10) return failed(ParseKind::kHeaderTransferEncodingUnexpected);
      // A final coding other than chunked is read until the close.
      length = chunked ? kBodyChunked : kBodyCloseDelimited;
    } else if (has_content_length) {
      if (!content_length_valid) return failed(ParseKind::kHeaderContentLengthInvalid);
      if (*content_length > kMaxBodyLength) return failed(ParseKind::kTooLarge);
      length = *content_length;
    }
    out.body_length = length;
    out.is_upgrade = upgrade;
    // After a protocol switch the connection is no longer HTTP/1.
    out.keep_alive = keep_alive && !upgrade;
    buffer.consume(s.pos);
    return {Progress::kDone, ParseKind::kInternal};
  }
}

// The field lines from progress.line_start on, without building anything:
// kNeedMore (progress advanced) while the head is still incomplete and valid so
// far; otherwise the full parse decides.
bool still_incomplete(const ByteBuffer& buffer, const ParseLimits& limits, RequestScanProgress& progress) {
  const std::string_view input = buffer.view();
  Scanner s{input.data(), input.size(), progress.line_start};
  FieldList fields;
  const std::size_t room = limits.max_headers - progress.fields;
  if (scan_fields(s, fields, room, limits.ignore_invalid_headers) != Progress::kNeedMore) return false;
  progress = {s.pos, progress.fields + fields.size()};
  return true;
}

HeadResult finish_request(const ByteBuffer& buffer, HeadResult result) {
  if (result.status != Progress::kFailed) return result;
  // RFC 9113 section 3.4: a client with prior knowledge opens with the
  // HTTP/2 preface; an HTTP/1 server recognises it to close quietly rather
  // than answer in a protocol the client does not read.  A preface cut short
  // by the transport waits for the rest, so that the answer does not depend
  // on where the bytes were split.
  const std::string_view input = buffer.view();
  if (input.size() < h2::kPreface.size()) {
    if (h2::kPreface.starts_with(input)) return {Progress::kNeedMore, ParseKind::kInternal};
  } else if (input.starts_with(h2::kPreface)) {
    result.error = ParseKind::kVersionH2;
  }
  return result;
}

}  // namespace

HeadResult parse_request(ByteBuffer& buffer, const ParseLimits& limits, RequestHead& out,
                         http::HeaderMap& headers) {
  if (buffer.empty()) return {Progress::kNeedMore, ParseKind::kInternal};
  return finish_request(buffer, parse_request_head(buffer, limits, out, headers, nullptr));
}

HeadResult parse_request(ByteBuffer& buffer, const ParseLimits& limits, RequestHead& out,
                         http::HeaderMap& headers, RequestScanProgress& progress) {
  if (buffer.empty()) return {Progress::kNeedMore, ParseKind::kInternal};
  // Everything before line_start was found valid and cannot change, so only
  // the lines from there on can turn the outcome.
  if (progress.line_start != 0 && progress.line_start <= buffer.size() &&
      still_incomplete(buffer, limits, progress))
    return need_more(buffer, limits);
  progress = {};
  return finish_request(buffer, parse_request_head(buffer, limits, out, headers, &progress));
}

HeadResult parse_response(ByteBuffer& buffer, std::optional<Method> request_method, const ParseLimits& limits,
                          ResponseHead& out, http::HeaderMap& headers) {
  return parse_response_head(buffer, request_method, limits, out, headers);
}

std::optional<uint16_t> automatic_status(ParseKind kind) noexcept {
  switch (kind) {
    case ParseKind::kMethod:
    case ParseKind::kVersion:
    case ParseKind::kUri:
    case ParseKind::kHeaderToken:
    case ParseKind::kHeaderContentLengthInvalid:
    case ParseKind::kHeaderTransferEncodingInvalid:
    case ParseKind::kHeaderTransferEncodingUnexpected:
      return 400;
    case ParseKind::kUriTooLong:
      return 414;
    case ParseKind::kTooLarge:
      return 431;
    case ParseKind::kVersionH2:
    case ParseKind::kStatus:
    case ParseKind::kInternal:
      break;
  }
  return std::nullopt;
}

}  // namespace vantric::h1
