#include "core/http/uri.h"

#include <charconv>

namespace vantric::http {
namespace {

enum : uint16_t {
  kScheme = 1 << 0,    // ALPHA / DIGIT / "+" / "-" / "."
  kUserinfo = 1 << 1,  // unreserved / sub-delims / ":" / "%"
  kRegName = 1 << 2,   // unreserved / sub-delims ("%" is checked apart)
  kDigit = 1 << 3,
  kHex = 1 << 4,
  kPath = 1 << 5,          // octets of a path
  kQuery = 1 << 6,         // octets of a query
  kUriOctet = 1 << 7,      // octets allowed anywhere: fragment
  kAuthorityEnd = 1 << 8,  // "/" "?" "#"
};

// RFC 3986 section 2: the octets a URI may carry.  Paths and queries are
// wider than pchar: browsers leave | ^ ` { } and others unencoded in paths
// and queries, curl sends raw UTF-8, and servers accept both, so every
// visible octet and every octet 0x80-0xFF is taken, which is the set an
// HTTP/1 request line admits for its target.  Space, controls and DEL are
// never part of a URI: "invalid uri character".
constexpr std::array<uint16_t, 256> kClass = [] {
  std::array<uint16_t, 256> t{};
  auto add = [&t](std::string_view chars, uint16_t bits) {
    for (char c : chars) t[static_cast<uint8_t>(c)] |= bits;
  };
  for (int c = 0x21; c <= 0xff; ++c) {
    if (c == 0x7f) continue;
    t[c] |= kUriOctet;
    if (c != '#') t[c] |= kQuery;
    if (c != '#' && c != '?') t[c] |= kPath;
  }
  constexpr std::string_view kAlpha = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  constexpr std::string_view kDigits = "0123456789";
  constexpr std::string_view kUnreservedMarks = "-._~";
  constexpr std::string_view kSubDelims = "!$&'()*+,;=";
  add(kAlpha, kScheme | kUserinfo | kRegName);
  add(kDigits, kScheme | kUserinfo | kRegName | kDigit | kHex);
  add("+-.", kScheme);
  add(kUnreservedMarks, kUserinfo | kRegName);
  add(kSubDelims, kUserinfo | kRegName);
  // A "%" in user information is kept even when no two hex digits follow:
  // proxy settings carry passwords written by hand, and the proxy matcher
  // decodes only well-formed escapes.
  add(":%", kUserinfo);
  add("abcdefABCDEF", kHex);
  add("/?#", kAuthorityEnd);
  return t;
}();

bool has(char c, uint16_t bits) noexcept {
  return (kClass[static_cast<uint8_t>(c)] & bits) != 0;
}
bool is_alpha(char c) noexcept {
  return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

// The error for a component that failed: a space or control anywhere in it
// is reported as such, whatever else is wrong.
UriError classify(std::string_view text, UriError otherwise) noexcept {
  for (char c : text)
    if (!has(c, kUriOctet)) return UriError::kInvalidUriChar;
  return otherwise;
}

bool equals_lower(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if ((text[i] | 0x20) != lower[i]) return false;
  return true;
}

void set_scheme(std::string_view scheme, Uri& out) noexcept {
  // "http" and "https" are case-insensitive (RFC 3986 section 3.1) and are
  // reported in their canonical lowercase.
  if (equals_lower(scheme, "http")) {
    out.scheme = "http";
    out.scheme_kind = SchemeKind::kHttp;
  } else if (equals_lower(scheme, "https")) {
    out.scheme = "https";
    out.scheme_kind = SchemeKind::kHttps;
  } else {
    out.scheme = scheme;
    out.scheme_kind = SchemeKind::kOther;
  }
}

// authority = [ userinfo "@" ] host [ ":" port ]   (RFC 3986 section 3.2)
std::optional<UriError> parse_authority_text(std::string_view a, Uri& out) noexcept {
  out.authority = a;
  std::string_view hostport = a;
  // The first "@" ends the user information; a second one fails below as a
  // host octet, so "a@b@h" is refused instead of guessing which "@" counts.
  if (std::size_t at = a.find('@'); at != std::string_view::npos) {
    out.userinfo = a.substr(0, at);
    out.has_userinfo = true;
    for (char c : out.userinfo)
      if (!has(c, kUserinfo)) return classify(a, UriError::kInvalidAuthority);
    hostport = a.substr(at + 1);
  }

  std::size_t i = 0;
  if (!hostport.empty() && hostport[0] == '[') {
    // IP-literal = "[" IPv6address "]".  IPvFuture and zone identifiers
    // (RFC 6874) are refused, as browsers do; a Host field must not carry a
    // zone anyway.
    std::size_t close = hostport.find(']');
    if (close == std::string_view::npos || !parse_ipv6(hostport.substr(1, close - 1), nullptr))
      return classify(a, UriError::kInvalidAuthority);
    i = close + 1;
  } else {
    // reg-name = *( unreserved / pct-encoded / sub-delims ); an IPv4 address
    // is a reg-name octet-wise.
    while (i < hostport.size()) {
      if (has(hostport[i], kRegName)) {
        ++i;
      } else if (hostport[i] == '%' && i + 2 < hostport.size() && has(hostport[i + 1], kHex) &&
                 has(hostport[i + 2], kHex)) {
        i += 3;
      } else {
        break;
      }
    }
  }
  out.host = hostport.substr(0, i);
  // RFC 9110 section 4.2.1: an http URI with an empty host is invalid.
  if (out.host.empty()) return classify(a, UriError::kInvalidAuthority);
  if (i == hostport.size()) return std::nullopt;
  if (hostport[i] != ':') return classify(a, UriError::kInvalidAuthority);

  // port = *DIGIT: any number of digits parses (an empty port too); only
  // 0..65535 gives a number.
  out.has_port = true;
  out.port_text = hostport.substr(i + 1);
  uint32_t value = 0;
  bool fits = !out.port_text.empty();
  for (char c : out.port_text) {
    if (!has(c, kDigit)) return classify(a, UriError::kInvalidPort);
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) {
      fits = false;
      value = 65536;  // stays above the limit without overflowing
    }
  }
  if (fits) out.port = static_cast<uint16_t>(value);
  return std::nullopt;
}

// path [ "?" query ] [ "#" fragment ] from `start` to the end of `in`.
std::optional<UriError> parse_path_query(std::string_view in, std::size_t start, Uri& out) noexcept {
  const std::size_t n = in.size();
  std::size_t i = start;
  while (i < n && has(in[i], kPath)) ++i;
  out.path = in.substr(start, i - start);
  if (i < n && in[i] == '?') {
    std::size_t q = ++i;
    while (i < n && has(in[i], kQuery)) ++i;
    out.query = in.substr(q, i - q);
    out.has_query = true;
  }
  out.path_and_query = in.substr(start, i - start);
  // A fragment is never sent (RFC 9110 section 7.1) but a URL handed in may
  // carry one; it is split off so that the path and query stay usable.
  if (i < n && in[i] == '#') {
    std::size_t f = ++i;
    while (i < n && has(in[i], kUriOctet)) ++i;
    out.fragment = in.substr(f, i - f);
    out.has_fragment = true;
  }
  // Only an octet outside every class stops the scans early.
  if (i != n) return UriError::kInvalidUriChar;
  return std::nullopt;
}

std::size_t authority_end(std::string_view in, std::size_t start) noexcept {
  std::size_t i = start;
  while (i < in.size() && !has(in[i], kAuthorityEnd)) ++i;
  return i;
}

bool all_digits(std::string_view text) noexcept {
  for (char c : text)
    if (!has(c, kDigit)) return false;
  return true;
}

}  // namespace

std::string_view uri_error_text(UriError error) noexcept {
  switch (error) {
    case UriError::kInvalidUriChar:
      return "invalid uri character";
    case UriError::kInvalidScheme:
      return "invalid scheme";
    case UriError::kInvalidAuthority:
      return "invalid authority";
    case UriError::kInvalidPort:
      return "invalid port";
    case UriError::kInvalidFormat:
      return "invalid format";
    case UriError::kSchemeMissing:
      return "scheme missing";
    case UriError::kAuthorityMissing:
      return "authority missing";
    case UriError::kPathMissing:
      return "path missing";
    case UriError::kPathNoSlash:
      return "path does not start with slash";
    case UriError::kTooLong:
      return "uri too long";
    case UriError::kEmpty:
      return "empty string";
    case UriError::kSchemeTooLong:
      return "scheme too long";
  }
  return "";
}

std::optional<UriError> parse_uri(std::string_view in, Uri& out) noexcept {
  out = Uri{};
  if (in.empty()) return UriError::kEmpty;
  if (in.size() > kMaxUriLength) return UriError::kTooLong;
  if (in[0] == '/') return parse_path_query(in, 0, out);
  if (in == "*") {
    out.form = UriForm::kAsterisk;
    out.path = out.path_and_query = in;
    return std::nullopt;
  }

  std::size_t i = 0;
  while (i < in.size() && has(in[i], kScheme)) ++i;
  if (in.substr(i, 3) == "://") {
    // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
    if (i == 0) return UriError::kSchemeMissing;
    if (!is_alpha(in[0])) return UriError::kInvalidScheme;
    if (i > kMaxSchemeLength) return UriError::kSchemeTooLong;
    set_scheme(in.substr(0, i), out);
    out.form = UriForm::kAbsolute;
    const std::size_t start = i + 3;
    const std::size_t end = authority_end(in, start);
    if (end == start) return UriError::kAuthorityMissing;
    if (std::optional<UriError> e = parse_authority_text(in.substr(start, end - start), out)) return e;
    return parse_path_query(in, end, out);
  }

  const std::size_t end = authority_end(in, 0);
  if (end == in.size()) {
    out.form = UriForm::kAuthority;
    return parse_authority_text(in, out);
  }
  // A path, query or fragment follows, but there is no "scheme://" before it.
  // "localhost:8080/x" lacks only the scheme; "mailto:a/b" or "http:/x" is a
  // URI of a form this grammar does not take.
  const bool scheme_colon = i > 0 && i < end && in[i] == ':' && is_alpha(in[0]);
  if (scheme_colon) {
    std::string_view after = in.substr(i + 1, end - i - 1);
    if (after.empty() || !all_digits(after)) return classify(in, UriError::kInvalidFormat);
  }
  return classify(in, UriError::kSchemeMissing);
}

std::optional<UriError> parse_authority(std::string_view in, Uri& out) noexcept {
  out = Uri{};
  if (in.empty()) return UriError::kEmpty;
  if (in.size() > kMaxUriLength) return UriError::kTooLong;
  out.form = UriForm::kAuthority;
  return parse_authority_text(in, out);
}

std::optional<UriError> parse_request_path(std::string_view in, Uri& out) noexcept {
  out = Uri{};
  // RFC 9113 section 8.3.1: :path is origin-form or "*", never empty.
  if (in.empty()) return UriError::kPathMissing;
  if (in.size() > kMaxUriLength) return UriError::kTooLong;
  if (in == "*") {
    out.form = UriForm::kAsterisk;
    out.path = out.path_and_query = in;
    return std::nullopt;
  }
  if (in[0] != '/') return classify(in, UriError::kPathNoSlash);
  return parse_path_query(in, 0, out);
}

bool parse_ipv4(std::string_view text, std::array<uint8_t, 4>* out) noexcept {
  std::array<uint8_t, 4> octets{};
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part != 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && i - start < 3 && has(text[i], kDigit)) value = value * 10 + (text[i++] - '0');
    std::size_t len = i - start;
    // dec-octet: no leading zero, at most 255.
    if (len == 0 || value > 255 || (len > 1 && text[start] == '0')) return false;
    octets[part] = static_cast<uint8_t>(value);
  }
  if (i != text.size()) return false;
  if (out != nullptr) *out = octets;
  return true;
}

bool parse_ipv6(std::string_view text, std::array<uint8_t, 16>* out) noexcept {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // group index where "::" stands
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (n >= 2 && text[0] == ':' && text[1] == ':') {
    gap = 0;
    i = 2;
  } else if (n == 0 || text[0] == ':') {
    return false;
  }
  while (i < n) {
    if (count == 8) return false;
    std::size_t start = i;
    unsigned value = 0;
    while (i < n && i - start < 4 && has(text[i], kHex)) {
      char c = text[i++];
      value = value * 16 + static_cast<unsigned>(has(c, kDigit) ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    if (i == start) return false;
    if (i < n && text[i] == '.') {
      // ls32 may be an IPv4 address in the last two groups.
      std::array<uint8_t, 4> v4;
      if (count > 6 || !parse_ipv4(text.substr(start), &v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      i = n;
      break;
    }
    groups[count++] = static_cast<uint16_t>(value);
    if (i == n) break;
    if (text[i] != ':') return false;
    if (++i == n) return false;  // a single trailing colon
    if (text[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
    }
  }
  // "::" stands for one or more zero groups.
  if (gap < 0 ? count != 8 : count > 7) return false;
  if (out != nullptr) {
    uint16_t full[8] = {};
    int zeros = 8 - count;
    for (int k = 0, g = 0; k < 8; ++k) {
      if (k == gap && zeros > 0) {
        k += zeros - 1;
        zeros = 0;
        continue;
      }
      full[k] = groups[g++];
    }
    for (int k = 0; k < 8; ++k) {
      (*out)[2 * k] = static_cast<uint8_t>(full[k] >> 8);
      (*out)[2 * k + 1] = static_cast<uint8_t>(full[k]);
    }
  }
  return true;
}

std::optional<uint16_t> default_port(std::string_view scheme) noexcept {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  return std::nullopt;
}

std::optional<UriError> uri_parts(std::string_view url, UriParts& out) {
  out = UriParts{};
  Uri uri;
  if (std::optional<UriError> e = parse_uri(url, uri); e != std::nullopt) return e;
  if (uri.scheme_kind != SchemeKind::kNone) out.scheme = uri.scheme;
  if (uri.form != UriForm::kAbsolute && uri.form != UriForm::kAuthority) return std::nullopt;

  std::string_view host = uri.host;
  while (!host.empty() && host.front() == '[') host.remove_prefix(1);
  while (!host.empty() && host.back() == ']') host.remove_suffix(1);
  out.host = host;
  out.port = uri.port;
  if (!out.port && out.scheme) out.port = default_port(*out.scheme);
  if (out.port) {
    char digits[5];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, *out.port);
    (void)ec;  // five digits always hold a u16
    std::string authority;
    authority.reserve(uri.host.size() + 1 + static_cast<std::size_t>(end - digits));
    authority.append(uri.host).append(1, ':').append(digits, end);
    out.authority = std::move(authority);
  }
  return std::nullopt;
}

std::string quote_for_message(std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  auto escape_byte = [&out](uint8_t b) {
    out.append("\\x");
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 15]);
  };
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<uint8_t>(text[i]);
    if (b < 0x80) {
      switch (b) {
        case '"':
          out.append("\\\"");
          break;
        case '\\':
          out.append("\\\\");
          break;
        case '\t':
          out.append("\\t");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\r':
          out.append("\\r");
          break;
        default:
          if (b < 0x20 || b == 0x7f)
            escape_byte(b);
          else
            out.push_back(static_cast<char>(b));
      }
      ++i;
      continue;
    }
    // A well-formed UTF-8 sequence (RFC 3629 section 4) is one character.
    std::size_t len = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 0;
    uint32_t cp = len == 4 ? b & 0x07u : len == 3 ? b & 0x0fu : b & 0x1fu;
    bool ok = len != 0 && b <= 0xf4 && i + len <= text.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      auto c = static_cast<uint8_t>(text[i + k]);
      ok = (c & 0xc0) == 0x80;
      cp = cp << 6 | (c & 0x3fu);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kMinForLength[len] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
    if (!ok) {
      escape_byte(b);
      ++i;
    } else if (cp < 0xa0) {
      escape_byte(static_cast<uint8_t>(cp));  // C1 control
      i += len;
    } else {
      out.append(text.substr(i, len));
      i += len;
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace vantric::http
