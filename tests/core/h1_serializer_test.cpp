#include "core/h1/serializer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/h1/body_decoder.h"
#include "core/h1/codec.h"
#include "core/h1/field_values.h"

namespace vantric::h1 {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

http::HeaderMap map_of(const Fields& fields) {
  http::HeaderMap map;
  for (const auto& [name, value] : fields) EXPECT_EQ(map.append(name, value), std::nullopt);
  return map;
}

// Expected heads are written with LF; the wire has CRLF.
std::string crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string encoder_text(const BodyEncoder& e) {
  std::string out;
  switch (e.kind) {
    case BodyFraming::kEmpty:
    case BodyFraming::kLength:
      out = "len " + std::to_string(e.remaining);
      break;
    case BodyFraming::kChunked:
      out = "chunked";
      if (e.has_trailer_list) out += " [" + e.allowed_trailers + "]";
      break;
    case BodyFraming::kClose:
      out = "close";
      break;
  }
  return e.is_last ? out + " last" : out;
}

constexpr BodyRequest kNoBody{};
constexpr BodyRequest kUnknown{BodyRequest::Kind::kUnknown, 0};
constexpr BodyRequest known(uint64_t n) {
  return {BodyRequest::Kind::kKnown, n};
}

// ---- request heads ----------------------------------------------------------------

struct RequestCase {
  const char* what;
  std::string_view method;
  std::string_view url;
  Fields fields;
  bool http10;
  BodyRequest body;
  std::string_view head;  // with LF for CRLF
  std::string_view encoder;
  bool close = false;
};

struct RequestHeadResult {
  BodyEncoder encoder;
  bool connection_close = false;
};

std::string write_request(const RequestCase& c, RequestHeadResult* result) {
  RequestTarget target;
  EXPECT_EQ(check_request_line(c.method, c.url, target), std::nullopt) << c.what;
  ByteBuffer out;
  out.append("stale octets of an earlier head");
  result->connection_close =
      write_request_head(target, map_of(c.fields), RequestOptions{c.http10, c.body}, out, result->encoder);
  return std::string(out.view());
}

TEST(H1SerializeRequest, CaseTable) {
  const RequestCase cases[] = {
      {"fields pass through, lowercase",
       "GET",
       "/",
       {{"Host", "a"}, {"Accept", "*/*"}},
       false,
       kNoBody,
       "GET / HTTP/1.1\nhost: a\naccept: */*\n\n",
       "len 0"},
      {"no body drops Transfer-Encoding; the last name takes its place",
       "GET",
       "/",
       {{"host", "a"}, {"Transfer-Encoding", "chunked"}, {"x", "1"}, {"y", "2"}},
       false,
       kNoBody,
       "GET / HTTP/1.1\nhost: a\ny: 2\nx: 1\n\n",
       "len 0"},
      {"no body, but the caller's Content-Length is kept and expected",
       "GET",
       "/",
       {{"content-length", "5"}},
       false,
       kNoBody,
       "GET / HTTP/1.1\ncontent-length: 5\n\n",
       "len 5"},
      {"POST of unknown length goes chunked",
       "POST",
       "/u",
       {},
       false,
       kUnknown,
       "POST /u HTTP/1.1\ntransfer-encoding: chunked\n\n",
       "chunked"},
      {"GET of unknown length sends no body", "GET", "/", {}, false, kUnknown, "GET / HTTP/1.1\n\n", "len 0"},
      {"HEAD of unknown length sends no body",
       "HEAD",
       "/",
       {},
       false,
       kUnknown,
       "HEAD / HTTP/1.1\n\n",
       "len 0"},
      {"CONNECT of unknown length sends no body",
       "CONNECT",
       "h:443",
       {},
       false,
       kUnknown,
       "CONNECT h:443 HTTP/1.1\n\n",
       "len 0"},
      {"an extension method of unknown length goes chunked",
       "PROPFIND",
       "/d",
       {},
       false,
       kUnknown,
       "PROPFIND /d HTTP/1.1\ntransfer-encoding: chunked\n\n",
       "chunked"},
      {"the caller's Content-Length wins over content_length",
       "POST",
       "/",
       {{"content-length", "7"}},
       false,
       known(5),
       "POST / HTTP/1.1\ncontent-length: 7\n\n",
       "len 7"},
      {"the caller's Content-Length wins over chunked",
       "POST",
       "/",
       {{"content-length", "7"}},
       false,
       kUnknown,
       "POST / HTTP/1.1\ncontent-length: 7\n\n",
       "len 7"},
      {"a repeated Content-Length gives one number",
       "POST",
       "/",
       {{"content-length", "5, 5"}, {"content-length", "5"}},
       false,
       known(3),
       "POST / HTTP/1.1\ncontent-length: 5, 5\ncontent-length: 5\n\n",
       "len 5"},
      {"a known length is appended",
       "POST",
       "/",
       {{"a", "1"}},
       false,
       known(5),
       "POST / HTTP/1.1\na: 1\ncontent-length: 5\n\n",
       "len 5"},
      {"a known length replaces a Content-Length that does not parse, in place",
       "POST",
       "/",
       {{"a", "1"}, {"content-length", "abc"}, {"content-length", "x"}, {"b", "2"}},
       false,
       known(5),
       "POST / HTTP/1.1\na: 1\ncontent-length: 5\nb: 2\n\n",
       "len 5"},
      {"a known length of 0 is written",
       "POST",
       "/",
       {},
       false,
       known(0),
       "POST / HTTP/1.1\ncontent-length: 0\n\n",
       "len 0"},
      {"gzip with a known length is chunked after gzip",
       "POST",
       "/",
       {{"Transfer-Encoding", "gzip"}},
       false,
       known(5),
       "POST / HTTP/1.1\ntransfer-encoding: gzip, chunked\n\n",
       "chunked"},
      {"Transfer-Encoding drops Content-Length; the last name takes its place",
       "POST",
       "/",
       {{"transfer-encoding", "gzip"}, {"content-length", "5"}, {"x", "1"}},
       false,
       known(5),
       "POST / HTTP/1.1\ntransfer-encoding: gzip, chunked\nx: 1\n\n",
       "chunked"},
      {"Transfer-Encoding drops a Content-Length that does not parse",
       "POST",
       "/",
       {{"content-length", "x"}, {"transfer-encoding", "chunked"}},
       false,
       known(5),
       "POST / HTTP/1.1\ntransfer-encoding: chunked\n\n",
       "chunked"},
      {"only the last Transfer-Encoding value decides",
       "POST",
       "/",
       {{"transfer-encoding", "gzip"}, {"transfer-encoding", "Chunked"}},
       false,
       kUnknown,
       "POST / HTTP/1.1\ntransfer-encoding: gzip\ntransfer-encoding: Chunked\n\n",
       "chunked"},
      {"chunked must be last",
       "POST",
       "/",
       {{"transfer-encoding", "gzip"}, {"transfer-encoding", "chunked, br"}},
       false,
       kUnknown,
       "POST / HTTP/1.1\ntransfer-encoding: gzip\ntransfer-encoding: chunked, br, chunked\n\n",
       "chunked"},
      {"chunked replaces a Content-Length that does not parse",
       "POST",
       "/",
       {{"a", "1"}, {"content-length", "x"}, {"b", "2"}},
       false,
       kUnknown,
       "POST / HTTP/1.1\na: 1\nb: 2\ntransfer-encoding: chunked\n\n",
       "chunked"},
      {"Trailer lines announce the trailers of a chunked body",
       "POST",
       "/",
       {{"Trailer", "X-Checksum, x-other"}, {"trailer", "x-third"}},
       false,
       kUnknown,
       "POST / HTTP/1.1\ntrailer: X-Checksum, x-other\ntrailer: x-third\ntransfer-encoding: chunked\n\n",
       "chunked [x-checksum, x-other,x-third]"},
      {"Trailer lines of a length body announce nothing",
       "POST",
       "/",
       {{"trailer", "x"}},
       false,
       known(1),
       "POST / HTTP/1.1\ntrailer: x\ncontent-length: 1\n\n",
       "len 1"},

      {"HTTP/1.0 asks for keep-alive",
       "GET",
       "/",
       {},
       true,
       kNoBody,
       "GET / HTTP/1.0\nconnection: keep-alive\n\n",
       "len 0"},
      {"HTTP/1.0 that already asks for keep-alive",
       "GET",
       "/",
       {{"Connection", "Keep-Alive"}},
       true,
       kNoBody,
       "GET / HTTP/1.0\nconnection: Keep-Alive\n\n",
       "len 0"},
      {"HTTP/1.0: only the first Connection value is looked at",
       "GET",
       "/",
       {{"connection", "upgrade"}, {"connection", "keep-alive"}, {"a", "1"}},
       true,
       kNoBody,
       "GET / HTTP/1.0\nconnection: keep-alive\na: 1\n\n",
       "len 0"},
      {"HTTP/1.0 that closes is left alone",
       "GET",
       "/",
       {{"connection", "close"}, {"connection", "x"}},
       true,
       kNoBody,
       "GET / HTTP/1.0\nconnection: close\nconnection: x\n\n",
       "len 0",
       true},
      {"HTTP/1.0 with an unknown length sends no body",
       "POST",
       "/",
       {},
       true,
       kUnknown,
       "POST / HTTP/1.0\nconnection: keep-alive\n\n",
       "len 0"},
      {"HTTP/1.0 with a known length",
       "POST",
       "/",
       {},
       true,
       known(4),
       "POST / HTTP/1.0\nconnection: keep-alive\ncontent-length: 4\n\n",
       "len 4"},
      {"HTTP/1.0 keeps the caller's Content-Length",
       "POST",
       "/",
       {{"content-length", "9"}},
       true,
       kUnknown,
       "POST / HTTP/1.0\ncontent-length: 9\nconnection: keep-alive\n\n",
       "len 9"},
      {"HTTP/1.0 drops Transfer-Encoding; the appended Connection takes its place",
       "POST",
       "/",
       {{"transfer-encoding", "chunked"}, {"x", "1"}},
       true,
       known(4),
       "POST / HTTP/1.0\nconnection: keep-alive\nx: 1\ncontent-length: 4\n\n",
       "len 4"},

      {"close among other tokens becomes one close line",
       "GET",
       "/",
       {{"Connection", "foo, close"}, {"a", "1"}, {"connection", "keep-alive"}},
       false,
       kNoBody,
       "GET / HTTP/1.1\nconnection: close\na: 1\n\n",
       "len 0",
       true},
      {"close compared ignoring case",
       "GET",
       "/",
       {{"connection", " CLOSE\t"}},
       false,
       kNoBody,
       "GET / HTTP/1.1\nconnection: close\n\n",
       "len 0",
       true},
      {"a token that merely contains close",
       "GET",
       "/",
       {{"connection", "closed, x-close"}},
       false,
       kNoBody,
       "GET / HTTP/1.1\nconnection: closed, x-close\n\n",
       "len 0"},

      {"absolute form without a path gains /",
       "GET",
       "http://example.com",
       {},
       false,
       kNoBody,
       "GET http://example.com/ HTTP/1.1\n\n",
       "len 0"},
      {"absolute form: http written lowercase, a query after the added /",
       "GET",
       "HTTP://Example.com:8080?q=1",
       {},
       false,
       kNoBody,
       "GET http://Example.com:8080/?q=1 HTTP/1.1\n\n",
       "len 0"},
      {"absolute form as written",
       "GET",
       "https://h/a/b?c=d",
       {},
       false,
       kNoBody,
       "GET https://h/a/b?c=d HTTP/1.1\n\n",
       "len 0"},
      {"a fragment is never sent",
       "GET",
       "/p?q=1#frag",
       {},
       false,
       kNoBody,
       "GET /p?q=1 HTTP/1.1\n\n",
       "len 0"},
      {"absolute form loses its fragment",
       "GET",
       "http://h#f",
       {},
       false,
       kNoBody,
       "GET http://h/ HTTP/1.1\n\n",
       "len 0"},
      {"asterisk form", "OPTIONS", "*", {}, false, kNoBody, "OPTIONS * HTTP/1.1\n\n", "len 0"},
  };
  for (const RequestCase& c : cases) {
    RequestHeadResult result;
    EXPECT_EQ(write_request(c, &result), crlf(c.head)) << c.what;
    EXPECT_EQ(encoder_text(result.encoder), c.encoder) << c.what;
    EXPECT_EQ(result.connection_close, c.close) << c.what;
  }
}

// 65535 octets: one more than a target may have.
const std::string kLongTargetText = "/" + std::string(65534, 'a');
const std::string_view kLongTarget = kLongTargetText;

TEST(H1SerializeRequest, RequestLineChecks) {
  struct Case {
    std::string_view method;
    std::string_view url;
    std::optional<RequestLineError> error;
  };
  const RequestLineError bad_method{RequestLineError::Where::kMethod};
  auto bad_url = [](http::UriError why) { return RequestLineError{RequestLineError::Where::kUrl, why}; };
  const Case cases[] = {
      {"GET", "/", std::nullopt},
      {"M-SEARCH", "*", std::nullopt},
      {"", "/", bad_method},
      {"GE T", "/", bad_method},
      {"GET\r\nX: y", "/", bad_method},
      {"G(ET", "/", bad_method},
      {"GET", "", bad_url(http::UriError::kEmpty)},
      {"GET", "/a b", bad_url(http::UriError::kInvalidUriChar)},
      {"GET", "/a\r\nX: y", bad_url(http::UriError::kInvalidUriChar)},
      {"GET", "http://", bad_url(http::UriError::kAuthorityMissing)},
      {"GET", "http://h:99x/", bad_url(http::UriError::kInvalidPort)},
      {"GET", "h/x", bad_url(http::UriError::kSchemeMissing)},
      {"GET", kLongTarget, bad_url(http::UriError::kTooLong)},
      {"GET", kLongTarget.substr(1), std::nullopt},
  };
  for (const Case& c : cases) {
    RequestTarget target;
    EXPECT_EQ(check_request_line(c.method, c.url, target), c.error) << c.method << " " << c.url.substr(0, 20);
  }
}

// check_request_line scans origin-form targets itself; its verdicts and the
// target it writes must be parse_uri's on every input.
TEST(H1SerializeRequest, TargetChecksAgreeWithTheUriParser) {
  const std::string_view starts[] = {"/", "//", "http://h", "HTTPS://u@h:8/", "h:1", "*", "", "/a?b#c"};
  // Mostly ordinary octets, so that long targets are often valid.
  const char alphabet[] = {'a', 'b', '/', '=',    'a',    'b',  '/',    '=',    'a', 'b', '/', '=',
                           '?', '#', ' ', '\x7f', '\x01', '\t', '\x80', '\xff', ':', '@', '%', '['};
  std::mt19937 rng(11);
  for (int i = 0; i < 200000; ++i) {
    std::string url(starts[rng() % std::size(starts)]);
    const int extra = static_cast<int>(rng() % 40);  // past one and two blocks of a vector scan
    const bool clean = rng() % 2 == 0;               // at most one odd octet
    for (int k = 0; k < extra; ++k) url += alphabet[rng() % (clean ? 12 : std::size(alphabet))];
    if (clean && !url.empty() && rng() % 2 == 0)
      url[rng() % url.size()] = alphabet[rng() % std::size(alphabet)];
    http::Uri uri;
    const std::optional<http::UriError> expected = http::parse_uri(url, uri);
    RequestTarget target;
    const std::optional<RequestLineError> refused = check_request_line("GET", url, target);
    ASSERT_EQ(refused.has_value(), expected.has_value()) << url;
    if (expected) {
      ASSERT_EQ(refused->where, RequestLineError::Where::kUrl) << url;
      ASSERT_EQ(refused->uri_error, *expected) << url;
      continue;
    }
    std::string written;
    for (std::string_view piece : target.target) written += piece;
    std::string model;
    switch (uri.form) {
      case http::UriForm::kOrigin:
      case http::UriForm::kAsterisk:
        model = uri.path_and_query;
        break;
      case http::UriForm::kAuthority:
        model = uri.authority;
        break;
      case http::UriForm::kAbsolute:
        model = std::string(uri.scheme) + "://" + std::string(uri.authority) + (uri.path.empty() ? "/" : "") +
                std::string(uri.path_and_query);
        break;
    }
    ASSERT_EQ(written, model) << url;
  }
  RequestTarget target;
  EXPECT_EQ(check_request_line("GET", kLongTarget, target),
            (RequestLineError{RequestLineError::Where::kUrl, http::UriError::kTooLong}));
}

// The request rules applied literally: a copy of the caller's collection is
// edited with the collection's own operations, then written as it stands.
// The serializer applies most edits while writing and copies only for a
// removal; this model must agree with it on every combination.
std::pair<std::string, std::string> model_request(std::string_view method, const Fields& fields, bool http10,
                                                  BodyRequest body) {
  const http::HeaderName connection(http::WellKnownName::kConnection);
  const http::HeaderName te(http::WellKnownName::kTransferEncoding);
  const http::HeaderName cl(http::WellKnownName::kContentLength);
  http::HeaderMap m = map_of(fields);
  bool any_close = false;
  for (std::string_view v : m.get_all(connection)) any_close = any_close || lists_token(v, "close");
  if (http10) {
    const auto first = m.get(connection);
    if (!(first && lists_token(*first, "keep-alive")) && !any_close) m.insert(connection, "keep-alive");
  } else if (any_close) {
    m.insert(connection, "close");
  }
  auto parsed_length = [&]() -> std::optional<uint64_t> {
    std::optional<uint64_t> n;
    for (std::string_view v : m.get_all(cl))
      if (!fold_content_length_list(v, n)) return std::nullopt;
    return n;
  };
  std::string encoder;
  if (body.kind == BodyRequest::Kind::kNone) {
    m.remove(te);
    encoder = "len " + std::to_string(parsed_length().value_or(0));
  } else if (http10) {
    m.remove(te);
    if (auto n = parsed_length()) {
      encoder = "len " + std::to_string(*n);
    } else if (body.kind == BodyRequest::Kind::kKnown) {
      m.insert(cl, std::to_string(body.length));
      encoder = "len " + std::to_string(body.length);
    } else {
      encoder = "len 0";
    }
  } else if (m.contains(te)) {
    std::vector<std::string> values;
    for (std::string_view v : m.get_all(te)) values.emplace_back(v);
    if (!is_chunked_last(values.back())) values.back() += ", chunked";
    m.insert(te, values[0]);
    for (std::size_t i = 1; i < values.size(); ++i) m.append(te, values[i]);
    m.remove(cl);
    encoder = "chunked";
  } else if (auto n = parsed_length()) {
    encoder = "len " + std::to_string(*n);
  } else if (body.kind == BodyRequest::Kind::kUnknown) {
    if (method == "GET" || method == "HEAD" || method == "CONNECT") {
      encoder = "len 0";
    } else {
      m.remove(cl);
      m.append(te, "chunked");
      encoder = "chunked";
    }
  } else {
    m.insert(cl, std::to_string(body.length));
    encoder = "len " + std::to_string(body.length);
  }
  std::string head = std::string(method) + " / HTTP/1." + (http10 ? "0" : "1") + "\r\n";
  for (const http::HeaderField& f : m) head.append(f.name).append(": ").append(f.value).append("\r\n");
  return {head + "\r\n", encoder};
}

TEST(H1SerializeRequest, AgreesWithTheLiteralRulesOnGeneratedHeads) {
  const Fields pool = {
      {"connection", "close"},
      {"Connection", "keep-alive"},
      {"connection", "upgrade"},
      {"transfer-encoding", "gzip"},
      {"Transfer-Encoding", "chunked"},
      {"content-length", "5"},
      {"content-length", "x"},
      {"content-length", "6"},
      {"a", "1"},
      {"b", "2"},
      {"c", "3"},
      {"Host", "h"},
  };
  const std::string_view methods[] = {"GET", "POST", "HEAD", "CONNECT", "PUT"};
  const BodyRequest bodies[] = {kNoBody, known(0), known(4), kUnknown};
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    Fields fields;
    const int n = static_cast<int>(rng() % 7);
    for (int k = 0; k < n; ++k) fields.push_back(pool[rng() % pool.size()]);
    const std::string_view method = methods[rng() % std::size(methods)];
    const bool http10 = rng() % 2 == 0;
    const BodyRequest body = bodies[rng() % std::size(bodies)];
    RequestTarget target;
    ASSERT_EQ(check_request_line(method, "/", target), std::nullopt);
    ByteBuffer out;
    RequestHeadResult result;
    result.connection_close =
        write_request_head(target, map_of(fields), RequestOptions{http10, body}, out, result.encoder);
    const auto [head, encoder] = model_request(method, fields, http10, body);
    ASSERT_EQ(out.view(), head) << i;
    ASSERT_EQ(encoder_text(result.encoder), encoder) << out.view();
  }
}

// ---- response heads ---------------------------------------------------------------

http::WallTime fixed_clock() noexcept {
  return {784111777, 0};
}
constexpr std::string_view kDateLine = "date: Sun, 06 Nov 1994 08:49:37 GMT\r\n";

struct ResponseCase {
  const char* what;
  uint16_t status;
  std::optional<Method> method;
  Fields fields;
  bool keep_alive;
  bool http10;
  BodyRequest body;
  std::string_view head;     // the head without the Date line and the final CRLF, with LF for CRLF
  std::string_view encoder;  // or the error's kind string
  bool adds_date = true;
};

constexpr auto kGet = Method::kGet;
constexpr auto kHead = Method::kHead;
constexpr auto kConnect = Method::kConnect;

TEST(H1SerializeResponse, CaseTable) {
  const ResponseCase cases[] = {
      {"200 with a known length",
       200,
       kGet,
       {{"Server", "v"}, {"x-a", "1"}},
       true,
       false,
       known(5),
       "HTTP/1.1 200 OK\nserver: v\nx-a: 1\ncontent-length: 5\n",
       "len 5"},
      {"no body gets an explicit zero length",
       404,
       kGet,
       {},
       true,
       false,
       kNoBody,
       "HTTP/1.1 404 Not Found\ncontent-length: 0\n",
       "len 0"},
      {"no request recorded",
       500,
       std::nullopt,
       {},
       true,
       false,
       known(0),
       "HTTP/1.1 500 Internal Server Error\ncontent-length: 0\n",
       "len 0"},
      {"a code without a reason phrase",
       599,
       kGet,
       {},
       true,
       false,
       kNoBody,
       "HTTP/1.1 599 <none>\ncontent-length: 0\n",
       "len 0"},
      {"HTTP/1.0 asks for keep-alive",
       200,
       kGet,
       {},
       true,
       true,
       kNoBody,
       "HTTP/1.0 200 OK\nconnection: keep-alive\ncontent-length: 0\n",
       "len 0"},
      {"HTTP/1.0 that already asks for keep-alive",
       200,
       kGet,
       {{"connection", "Keep-Alive"}},
       true,
       true,
       kNoBody,
       "HTTP/1.0 200 OK\nconnection: Keep-Alive\ncontent-length: 0\n",
       "len 0"},
      {"HTTP/1.0: a caller's close is not turned into keep-alive",
       200,
       kGet,
       {{"connection", "close"}},
       true,
       true,
       kNoBody,
       "HTTP/1.0 200 OK\nconnection: close\ncontent-length: 0\n",
       "len 0 last"},
      {"HTTP/1.0 without keep-alive adds nothing",
       200,
       kGet,
       {},
       false,
       true,
       known(2),
       "HTTP/1.0 200 OK\ncontent-length: 2\n",
       "len 2 last"},
      {"HTTP/1.0 of unknown length is close-delimited",
       200,
       kGet,
       {{"transfer-encoding", "chunked"}, {"trailer", "x"}},
       true,
       true,
       kUnknown,
       "HTTP/1.0 200 OK\nconnection: keep-alive\n",
       "close"},
      {"HTTP/1.0 drops Transfer-Encoding, then a Content-Length may follow",
       200,
       kGet,
       {{"transfer-encoding", "gzip"}, {"content-length", "3"}},
       true,
       true,
       known(3),
       "HTTP/1.0 200 OK\ncontent-length: 3\nconnection: keep-alive\n",
       "len 3"},

      {"HEAD: no implicit zero", 200, kHead, {}, true, false, known(0), "HTTP/1.1 200 OK\n", "len 0"},
      {"HEAD: the length of the GET body, and no body",
       200,
       kHead,
       {},
       true,
       false,
       known(10),
       "HTTP/1.1 200 OK\ncontent-length: 10\n",
       "len 0"},
      {"HEAD: the caller's Content-Length lines as they are",
       200,
       kHead,
       {{"content-length", "10"}, {"content-length", "10"}},
       true,
       false,
       kNoBody,
       "HTTP/1.1 200 OK\ncontent-length: 10\ncontent-length: 10\n",
       "len 0"},
      {"HEAD of unknown length",
       200,
       kHead,
       {{"transfer-encoding", "chunked"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 200 OK\n",
       "len 0"},
      {"no body: the caller's Content-Length gives way to zero",
       200,
       kGet,
       {{"content-length", "10"}, {"a", "1"}},
       true,
       false,
       kNoBody,
       "HTTP/1.1 200 OK\ncontent-length: 0\na: 1\n",
       "len 0"},
      {"204 writes no framing",
       204,
       kGet,
       {{"transfer-encoding", "chunked"}, {"trailer", "x"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 204 No Content\n",
       "len 0"},
      {"304 writes no framing", 304, kGet, {}, true, false, known(7), "HTTP/1.1 304 Not Modified\n", "len 0"},
      {"304 keeps the caller's length of the representation",
       304,
       kGet,
       {{"content-length", "7"}},
       true,
       false,
       known(7),
       "HTTP/1.1 304 Not Modified\ncontent-length: 7\n",
       "len 0"},

      {"keep_alive off closes",
       200,
       kGet,
       {{"a", "1"}},
       false,
       false,
       kNoBody,
       "HTTP/1.1 200 OK\na: 1\nconnection: close\ncontent-length: 0\n",
       "len 0 last"},
      {"keep_alive off replaces the caller's Connection in place",
       200,
       kGet,
       {{"connection", "keep-alive"}, {"a", "1"}},
       false,
       false,
       kNoBody,
       "HTTP/1.1 200 OK\nconnection: close\na: 1\ncontent-length: 0\n",
       "len 0 last"},
      {"a caller's close ends the connection",
       200,
       kGet,
       {{"Connection", "upgrade"}, {"connection", "Close"}},
       true,
       false,
       kNoBody,
       "HTTP/1.1 200 OK\nconnection: upgrade, Close\ncontent-length: 0\n",
       "len 0 last"},

      {"unknown length goes chunked",
       200,
       kGet,
       {},
       true,
       false,
       kUnknown,
       "HTTP/1.1 200 OK\ntransfer-encoding: chunked\n",
       "chunked"},
      {"a coding before chunked",
       200,
       kGet,
       {{"Transfer-Encoding", "gzip"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 200 OK\ntransfer-encoding: gzip, chunked\n",
       "chunked"},
      {"Transfer-Encoding lines on one line",
       200,
       kGet,
       {{"transfer-encoding", "gzip"}, {"transfer-encoding", "chunked"}},
       true,
       false,
       known(9),
       "HTTP/1.1 200 OK\ntransfer-encoding: gzip, chunked\n",
       "chunked"},
      {"Trailer announces the trailers",
       200,
       kGet,
       {{"Trailer", "X-Checksum"}, {"trailer", "a, b"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 200 OK\ntrailer: X-Checksum, a, b\ntransfer-encoding: chunked\n",
       "chunked [x-checksum,a, b]"},
      {"Trailer before Transfer-Encoding",
       200,
       kGet,
       {{"trailer", "x"}, {"transfer-encoding", "chunked"}},
       true,
       false,
       known(3),
       "HTTP/1.1 200 OK\ntrailer: x\ntransfer-encoding: chunked\n",
       "chunked [x]"},
      {"Trailer of a length body",
       200,
       kGet,
       {{"trailer", "x"}},
       true,
       false,
       known(3),
       "HTTP/1.1 200 OK\ntrailer: x\ncontent-length: 3\n",
       "len 3"},
      {"unknown length with the caller's Content-Length",
       200,
       kGet,
       {{"content-length", "5"}, {"a", "1"}, {"content-length", "5"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 200 OK\ncontent-length: 5\na: 1\n",
       "len 5"},
      {"known length with the caller's Content-Length",
       200,
       kGet,
       {{"content-length", "7"}},
       true,
       false,
       known(5),
       "HTTP/1.1 200 OK\ncontent-length: 7\n",
       "len 7"},
      {"known length: later Content-Length values dropped",
       200,
       kGet,
       {{"content-length", "5"}, {"content-length", "9"}},
       true,
       false,
       known(5),
       "HTTP/1.1 200 OK\ncontent-length: 5\n",
       "len 5"},
      {"a Date of the caller's",
       200,
       kGet,
       {{"Date", "yesterday"}},
       true,
       false,
       known(1),
       "HTTP/1.1 200 OK\ndate: yesterday\ncontent-length: 1\n",
       "len 1",
       false},

      {"101 switches and ends the connection",
       101,
       kGet,
       {{"upgrade", "websocket"}, {"connection", "upgrade"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 101 Switching Protocols\nupgrade: websocket\nconnection: upgrade\n",
       "len 0 last"},
      {"2xx to CONNECT is a tunnel",
       200,
       kConnect,
       {{"a", "1"}},
       true,
       false,
       kUnknown,
       "HTTP/1.1 200 OK\na: 1\n",
       "len 0 last"},
      {"non-2xx to CONNECT",
       407,
       kConnect,
       {},
       true,
       false,
       kNoBody,
       "HTTP/1.1 407 Proxy Authentication Required\ncontent-length: 0\n",
       "len 0"},

      {"1xx other than 101", 103, kGet, {}, true, false, kNoBody, "", "unsupported_status_code"},
      {"100", 100, kGet, {}, true, false, kNoBody, "", "unsupported_status_code"},
      {"199", 199, kGet, {}, true, false, kNoBody, "", "unsupported_status_code"},
      {"Content-Length then Transfer-Encoding",
       200,
       kGet,
       {{"content-length", "5"}, {"transfer-encoding", "chunked"}},
       true,
       false,
       known(5),
       "",
       "unexpected_header"},
      {"Transfer-Encoding then Content-Length",
       200,
       kGet,
       {{"transfer-encoding", "chunked"}, {"content-length", "5"}},
       true,
       false,
       known(5),
       "",
       "unexpected_header"},
      {"Content-Length in a 2xx to CONNECT",
       200,
       kConnect,
       {{"content-length", "0"}},
       true,
       false,
       kNoBody,
       "",
       "unexpected_header"},
      {"Transfer-Encoding in a 2xx to CONNECT",
       299,
       kConnect,
       {{"transfer-encoding", "chunked"}},
       true,
       false,
       kNoBody,
       "",
       "unexpected_header"},
      {"unknown length: disagreeing Content-Length",
       200,
       kGet,
       {{"content-length", "5"}, {"content-length", "6"}},
       true,
       false,
       kUnknown,
       "",
       "unexpected_header"},
      {"unknown length: a list is not one number",
       200,
       kGet,
       {{"content-length", "5, 5"}},
       true,
       false,
       kUnknown,
       "",
       "unexpected_header"},
      {"unknown length: a sign is not a digit",
       200,
       kGet,
       {{"content-length", "+5"}},
       true,
       false,
       kUnknown,
       "",
       "unexpected_header"},
      {"known length: a Content-Length that is no number",
       200,
       kGet,
       {{"content-length", "x"}},
       true,
       false,
       known(5),
       "",
       "unexpected_header"},
  };
  http::DateCache date(&fixed_clock);
  for (const ResponseCase& c : cases) {
    ResponseOptions options{c.status, c.keep_alive, c.http10, c.body, c.method, false, &date};
    ByteBuffer out;
    BodyEncoder encoder = BodyEncoder::length(12345);
    const std::optional<Error> error = write_response_head(options, map_of(c.fields), out, encoder);
    if (error) {
      EXPECT_EQ(error->kind_string(), c.encoder) << c.what;
      EXPECT_EQ(encoder_text(encoder), "len 12345") << c.what << ": the encoder is untouched";
      continue;
    }
    const std::string expected = crlf(c.head) + (c.adds_date ? std::string(kDateLine) : "") + "\r\n";
    EXPECT_EQ(out.view(), expected) << c.what;
    EXPECT_EQ(encoder_text(encoder), c.encoder) << c.what;
  }
}

TEST(H1SerializeResponse, ReasonPhrases) {
  int with_phrase = 0;
  for (uint16_t code = 100; code <= 999; ++code) with_phrase += reason_phrase(code) != "<none>";
  EXPECT_EQ(with_phrase, 62);
  EXPECT_EQ(reason_phrase(203), "Non Authoritative Information");
  EXPECT_EQ(reason_phrase(418), "I'm a teapot");
  EXPECT_EQ(reason_phrase(511), "Network Authentication Required");
  EXPECT_EQ(reason_phrase(306), "<none>");
  EXPECT_EQ(reason_phrase(999), "<none>");

  // Every status line: HTTP/1.x, three digits, the phrase; 200 over
  // HTTP/1.1 is the one constant line.
  for (uint16_t code : {200, 201, 418, 599, 999}) {
    for (bool http10 : {false, true}) {
      ResponseOptions options{code, true, http10, known(0), kGet, false, nullptr};
      ByteBuffer out;
      BodyEncoder encoder;
      ASSERT_FALSE(write_response_head(options, {}, out, encoder));
      const std::string line = std::string(http10 ? "HTTP/1.0 " : "HTTP/1.1 ") + std::to_string(code) + " " +
                               std::string(reason_phrase(code)) + "\r\n";
      EXPECT_EQ(out.view().substr(0, line.size()), line);
    }
  }
}

TEST(H1SerializeResponse, TitleCaseAndDate) {
  http::DateCache date(&fixed_clock);
  ResponseOptions options{200, false, false, kUnknown, kGet, true, &date};
  ByteBuffer out;
  BodyEncoder encoder;
  ASSERT_FALSE(write_response_head(
      options,
      map_of(
          {{"x-request-id", "a-b"}, {"trailer", "x-sum"}, {"-odd--name-", "v"}, {"www-authenticate", "B"}}),
      out, encoder));
  EXPECT_EQ(out.view(), crlf("HTTP/1.1 200 OK\nX-Request-Id: a-b\nTrailer: x-sum\n-Odd--Name-: v\n"
                             "Www-Authenticate: B\nConnection: close\nTransfer-Encoding: chunked\n"
                             "Date: Sun, 06 Nov 1994 08:49:37 GMT\n\n"));
  options.body = known(3);
  options.keep_alive = true;
  ASSERT_FALSE(write_response_head(options, map_of({{"content-length", "3"}}), out, encoder));
  EXPECT_EQ(out.view(), crlf("HTTP/1.1 200 OK\nContent-Length: 3\nDate: Sun, 06 Nov 1994 08:49:37 GMT\n\n"));
  ASSERT_FALSE(write_response_head(options, {}, out, encoder));
  EXPECT_EQ(out.view(), crlf("HTTP/1.1 200 OK\nContent-Length: 3\nDate: Sun, 06 Nov 1994 08:49:37 GMT\n\n"));
  // Only the first read of a second renders.
  EXPECT_EQ(date.render_count(), 1u);
}

// ---- body -------------------------------------------------------------------------

TEST(H1SerializeBody, ChunkSizeLines) {
  const std::pair<uint64_t, std::string_view> cases[] = {
      {0, "0\r\n"},
      {1, "1\r\n"},
      {26, "1A\r\n"},
      {255, "FF\r\n"},
      {4096, "1000\r\n"},
      {0xABCDEF, "ABCDEF\r\n"},
      {UINT64_MAX, "FFFFFFFFFFFFFFFF\r\n"},
  };
  for (const auto& [size, line] : cases) {
    char buf[kMaxChunkSizeLine];
    EXPECT_EQ(std::string_view(buf, write_chunk_size_line(size, buf)), line);
  }
  EXPECT_EQ(chunk_frame_size(26), 26u + 6);
  EXPECT_EQ(chunk_frame_size(SIZE_MAX), std::nullopt);
  const std::string data(26, 'z');
  std::string framed(*chunk_frame_size(data.size()), '\0');
  EXPECT_EQ(write_chunk(data, framed.data()), framed.data() + framed.size());
  EXPECT_EQ(framed, "1A\r\n" + data + "\r\n");
}

// Chunks we frame, and the end we write, decode to the same body and trailers.
TEST(H1SerializeBody, ChunkedRoundTripThroughTheDecoder) {
  BodyEncoder encoder = BodyEncoder::chunked();
  encoder.has_trailer_list = true;
  encoder.allowed_trailers = "x-sum,x-b";
  const std::vector<std::string> chunks = {"a", std::string(4095, 'b'), std::string(65537, 'c'),
                                           "\r\n0\r\n\r\n"};
  std::string wire;
  std::string body;
  for (const std::string& c : chunks) {
    std::string framed(*chunk_frame_size(c.size()), '\0');
    write_chunk(c, framed.data());
    wire += framed;
    body += c;
  }
  ByteBuffer end;
  write_trailer_section(encoder, map_of({{"x-sum", "1"}, {"x-b", "2"}, {"x-sum", "3"}}), end);
  wire += end.view();
  BodyDecoder decoder = BodyDecoder::chunked();
  decoder.feed(wire);
  std::string decoded;
  while (!decoder.is_complete()) {
    ASSERT_FALSE(decoder.decode_into(decoded));
  }
  EXPECT_EQ(decoded, body);
  const auto trailers = decoder.take_trailers();
  ASSERT_TRUE(trailers);
  EXPECT_EQ(*trailers, map_of({{"x-sum", "1"}, {"x-sum", "3"}, {"x-b", "2"}}));
  EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(H1SerializeBody, TrailerSections) {
  struct Case {
    const char* what;
    std::string_view allowed;
    Fields trailers;
    std::string_view section;
  };
  const Case cases[] = {
      {"announced names only",
       "x-checksum",
       {{"x-checksum", "1"}, {"content-type", "t"}, {"x-other", "2"}},
       "0\nx-checksum: 1\n\n"},
      {"announced in any case, in any spacing",
       " X-Checksum ,\tX-B",
       {{"X-B", "2"}, {"x-checksum", "1"}},
       "0\nx-b: 2\nx-checksum: 1\n\n"},
      {"every value of a name, in order", "x-a", {{"x-a", "1"}, {"x-a", "2"}}, "0\nx-a: 1\nx-a: 2\n\n"},
      {"fields a trailer may not carry, even announced",
       "authorization, cache-control, content-encoding, content-length, content-range, content-type, host, "
       "max-forwards, set-cookie, te, trailer, transfer-encoding, x-ok",
       {{"authorization", "a"},
        {"cache-control", "a"},
        {"content-encoding", "a"},
        {"content-length", "1"},
        {"content-range", "a"},
        {"content-type", "a"},
        {"host", "a"},
        {"max-forwards", "1"},
        {"set-cookie", "a"},
        {"te", "a"},
        {"trailer", "a"},
        {"transfer-encoding", "a"},
        {"x-ok", "1"}},
       "0\nx-ok: 1\n\n"},
      {"none survive", "x-a", {{"x-b", "1"}}, "0\n\n"},
      {"an element is a whole name", "x-ab, x-", {{"x-a", "1"}}, "0\n\n"},
      {"an empty list", "", {{"x-a", "1"}}, "0\n\n"},
  };
  for (const Case& c : cases) {
    BodyEncoder encoder = BodyEncoder::chunked();
    encoder.has_trailer_list = true;
    for (char ch : c.allowed)
      encoder.allowed_trailers += ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch;
    ByteBuffer out;
    write_trailer_section(encoder, map_of(c.trailers), out);
    EXPECT_EQ(out.view(), crlf(c.section)) << c.what;
  }
}

// ---- the codec's write side ------------------------------------------------------

Codec codec_of(bool date_header = false) {
  CodecConfig config;
  config.date_header = date_header;
  return Codec(config);
}

std::string plan_text(const DataPlan& p) {
  switch (p.kind) {
    case DataPlan::Kind::kNoEncoder:
      return "none";
    case DataPlan::Kind::kWhole:
      return "whole " + std::to_string(p.size);
    case DataPlan::Kind::kPrefix:
      return "prefix " + std::to_string(p.size);
    case DataPlan::Kind::kChunk:
      return "chunk " + std::to_string(p.size);
  }
  return "?";
}

std::string end_text(Codec& codec, const DataPlan* data = nullptr,
                     const http::HeaderMap* trailers = nullptr) {
  EndPlan plan;
  if (std::optional<Error> e = codec.plan_end(data, trailers, plan)) return "error " + e->message();
  switch (plan.kind) {
    case EndPlan::Kind::kNothing:
      return "nothing";
    case EndPlan::Kind::kLastChunkOnly:
      return "last chunk";
    case EndPlan::Kind::kTrailers:
      return std::string(plan.bytes);
  }
  return "?";
}

void request(Codec& codec, std::string_view method, const Fields& fields, BodyRequest body) {
  RequestTarget target;
  ASSERT_EQ(check_request_line(method, "/", target), std::nullopt);
  codec.serialize_request(target, map_of(fields), RequestOptions{false, body});
}

TEST(H1SerializeCodec, DataCountsDownTheLength) {
  Codec codec = codec_of();
  EXPECT_EQ(plan_text(codec.plan_data(3)), "none");
  EXPECT_EQ(end_text(codec), "nothing");
  request(codec, "POST", {}, known(10));
  // Planning changes nothing until committed.
  EXPECT_EQ(plan_text(codec.plan_data(4)), "whole 4");
  EXPECT_EQ(plan_text(codec.plan_data(4)), "whole 4");
  codec.commit_data(codec.plan_data(4));
  EXPECT_EQ(end_text(codec), "error user body write aborted: early end, expected 6 more bytes");
  const DataPlan six = codec.plan_data(6);
  EXPECT_EQ(end_text(codec, &six), "nothing");
  EXPECT_EQ(plan_text(codec.plan_data(9)), "prefix 6");
  codec.commit_data(codec.plan_data(9));
  EXPECT_TRUE(codec.body_is_eof());
  EXPECT_EQ(plan_text(codec.plan_data(9)), "prefix 0");
  EXPECT_EQ(end_text(codec), "nothing");
  codec.end_message();
  EXPECT_FALSE(codec.has_encoder());
}

TEST(H1SerializeCodec, EndsByEncoder) {
  Codec codec = codec_of();
  const http::HeaderMap trailers = map_of({{"x-sum", "1"}, {"content-type", "t"}});
  request(codec, "POST", {{"trailer", "x-sum"}}, kUnknown);
  EXPECT_EQ(plan_text(codec.plan_data(26)), "chunk 26");
  EXPECT_EQ(end_text(codec), "last chunk");
  EXPECT_EQ(end_text(codec, nullptr, &trailers), "0\r\nx-sum: 1\r\n\r\n");
  // Without a Trailer line, trailers are dropped.
  request(codec, "POST", {}, kUnknown);
  EXPECT_EQ(end_text(codec, nullptr, &trailers), "last chunk");
  // A length body ends without trailers.
  request(codec, "POST", {{"trailer", "x-sum"}}, known(0));
  EXPECT_EQ(end_text(codec, nullptr, &trailers), "nothing");
  ASSERT_FALSE(codec.serialize_response(200, {}, true, true, kUnknown));
  EXPECT_TRUE(codec.response_close_delimited());
  EXPECT_EQ(plan_text(codec.plan_data(5)), "whole 5");
  EXPECT_EQ(end_text(codec), "nothing");
}

TEST(H1SerializeCodec, AFailedHeadChangesNothing) {
  Codec codec = codec_of();
  request(codec, "HEAD", {{"connection", "close"}}, known(0));
  ASSERT_TRUE(codec.serialize_response(200, {}, false, false, known(4)) == std::nullopt);
  EXPECT_TRUE(codec.response_is_last());
  EXPECT_EQ(encoder_text(*codec.encoder()), "len 0 last");
  // The recorded HEAD stays for the next head; the encoder, the method and
  // the two verdicts survive each failure.
  for (uint16_t status : {100, 103}) {
    const auto e = codec.serialize_response(status, {}, true, false, known(4));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind_string(), "unsupported_status_code");
  }
  const auto e = codec.serialize_response(
      200, map_of({{"content-length", "1"}, {"transfer-encoding", "chunked"}}), true, false, known(1));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->message(), "user sent unexpected header");
  EXPECT_TRUE(codec.response_is_last());
  EXPECT_FALSE(codec.response_close_delimited());
  EXPECT_EQ(encoder_text(*codec.encoder()), "len 0 last");
  EXPECT_EQ(codec.recorded_method(), Method::kHead);
  EXPECT_TRUE(codec.request_connection_close());
  // A new head replaces the encoder in flight; reset clears it.
  ASSERT_FALSE(codec.serialize_response(200, {}, true, false, known(4)));
  EXPECT_EQ(encoder_text(*codec.encoder()), "len 0");  // still to a HEAD
  EXPECT_FALSE(codec.response_is_last());
  codec.reset();
  EXPECT_FALSE(codec.has_encoder());
  EXPECT_FALSE(codec.request_connection_close());
  EXPECT_FALSE(codec.response_is_last());
  ASSERT_FALSE(codec.serialize_response(200, {}, true, false, known(4)));
  EXPECT_EQ(encoder_text(*codec.encoder()), "len 4");
}

TEST(H1SerializeCodec, DateFromTheThreadCache) {
  Codec codec = codec_of(true);
  ASSERT_FALSE(codec.serialize_response(200, {}, true, false, known(0)));
  const std::string head(codec.written());
  const std::string_view date = http::thread_date_cache().current();
  const std::size_t at = head.find("date: ");
  ASSERT_NE(at, std::string::npos);
  // The cache may have moved on to the next second between the two reads.
  EXPECT_EQ(head.size(), at + 6 + http::kHttpDateLength + 4);
  EXPECT_EQ(head.substr(at + 6 + 26, 3), date.substr(26, 3));
}

}  // namespace
}  // namespace vantric::h1
