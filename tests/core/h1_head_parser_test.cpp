#include "core/h1/head_parser.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "core/h1/codec.h"
#include "core/h1/field_values.h"
#include "core/h1/scan.h"
#include "core/http/field_rules.h"

namespace vantric::h1 {
namespace {

constexpr uint64_t kChunked = kBodyChunked;
constexpr uint64_t kClose = kBodyCloseDelimited;

// A buffer whose live bytes end exactly at the end of its allocation, so that
// the sanitizer catches any read past the input.
ByteBuffer at_end_of_block(std::string_view input) {
  std::size_t capacity = 4096;
  while (capacity < input.size()) capacity *= 2;
  ByteBuffer buffer;
  buffer.append(std::string(capacity - input.size(), '#'));
  buffer.append(input);
  buffer.consume(capacity - input.size());
  return buffer;
}

std::string fields_text(const http::HeaderMap& map) {
  std::string out;
  for (const http::HeaderField& f : map) {
    if (!out.empty()) out += '|';
    out.append(f.name).append("=").append(f.value);
  }
  return out;
}

std::string describe(const RequestHead& h, const http::HeaderMap& headers) {
  return std::string(h.method_text) + " " + std::string(h.target_scheme) + std::string(h.target) + " [" +
         fields_text(headers) + "] len=" + std::to_string(h.body_length) + (h.keep_alive ? " ka" : "") +
         (h.expect_continue ? " continue" : "") + (h.is_upgrade ? " upgrade" : "") +
         (h.http10 ? " 1.0" : "") + (h.allow_trailers ? " trailers" : "");
}

std::string describe(const ResponseHead& h, const http::HeaderMap& headers) {
  return std::to_string(h.status) + " [" + fields_text(headers) + "] len=" + std::to_string(h.body_length) +
         (h.keep_alive ? " ka" : "") + (h.is_upgrade ? " upgrade" : "") + (h.http10 ? " 1.0" : "");
}

// What a sequence of feeds ends in: the head (or the error, or "need more"),
// and the bytes left in the buffer.
struct Outcome {
  std::string result;
  std::string left;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << o.result << " / left " << o.left;
}

// A parse step; request parses resume from `progress`, kept across the
// pieces of one feed as the codec keeps it.
using Parse = std::function<HeadResult(ByteBuffer&, std::string*, RequestScanProgress*)>;

Parse request_parser(ParseLimits limits = {}) {
  return [limits](ByteBuffer& b, std::string* text, RequestScanProgress* progress) {
    RequestHead head;
    http::HeaderMap headers;
    HeadResult r = progress ? parse_request(b, limits, head, headers, *progress)
                            : parse_request(b, limits, head, headers);
    if (r.status == Progress::kDone) *text = describe(head, headers);
    return r;
  };
}

Parse response_parser(std::optional<Method> method = std::nullopt, ParseLimits limits = {}) {
  return [method, limits](ByteBuffer& b, std::string* text, RequestScanProgress*) {
    ResponseHead head;
    http::HeaderMap headers;
    HeadResult r = parse_response(b, method, limits, head, headers);
    if (r.status == Progress::kDone) *text = describe(head, headers);
    return r;
  };
}

// Feeds `pieces` one after the other, parsing after each, as the codec does;
// the first result that is not "need more" ends the parsing and the rest of
// the pieces are only buffered.
Outcome feed(const Parse& parse, const std::vector<std::string_view>& pieces) {
  ByteBuffer buffer;
  RequestScanProgress progress;
  Outcome out{"need more", ""};
  bool done = false;
  for (std::string_view piece : pieces) {
    if (done) {
      buffer.append(piece);
      continue;
    }
    if (pieces.size() == 1) {
      buffer = at_end_of_block(piece);
    } else {
      buffer.append(piece);
    }
    std::string text;
    HeadResult r = parse(buffer, &text, pieces.size() == 1 ? nullptr : &progress);
    if (r.status == Progress::kDone) {
      out.result = text;
      done = true;
    } else if (r.status == Progress::kFailed) {
      out.result = "error " + std::string(parse_kind_string(r.error));
      done = true;
    }
  }
  out.left = std::string(buffer.view());
  return out;
}

// The outcome of `input` fed whole, after checking that feeding it one byte
// at a time and split in two at every position ends the same way.
Outcome parse_everyhow(const Parse& parse, std::string_view input) {
  const Outcome whole = feed(parse, {input});
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < input.size(); ++i) bytes.push_back(input.substr(i, 1));
  EXPECT_EQ(feed(parse, bytes), whole) << "byte by byte";
  for (std::size_t i = 1; i < input.size(); ++i)
    EXPECT_EQ(feed(parse, {input.substr(0, i), input.substr(i)}), whole) << "split at " << i;
  return whole;
}

struct Case {
  std::string input;
  std::string result;     // describe() of the head, "error <kind>" or "need more"
  std::string left = "";  // bytes left buffered
};

void run_cases(const Parse& parse, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    const Outcome out = parse_everyhow(parse, c.input);
    EXPECT_EQ(out.result, c.result);
    if (out.result.starts_with("error") || out.result == "need more") {
      EXPECT_EQ(out.left, c.input) << "a failed or incomplete parse consumes nothing";
    } else {
      EXPECT_EQ(out.left, c.left);
    }
  }
}

// ---- request line --------------------------------------------------------------

TEST(H1RequestHead, RequestLine) {
  run_cases(
      request_parser(),
      {
          {"GET / HTTP/1.1\r\n\r\n", "GET / [] len=0 ka"},
          {"GET / HTTP/1.1\n\n", "GET / [] len=0 ka"},
          {"\r\n\r\nGET / HTTP/1.1\r\n\r\n", "GET / [] len=0 ka"},
          {"\n\r\nGET / HTTP/1.1\r\n\r\n", "GET / [] len=0 ka"},
          {"GET / HTTP/1.0\r\n\r\n", "GET / [] len=0 1.0"},
          {"POST /a?b=c HTTP/1.1\r\n\r\nrest", "POST /a?b=c [] len=0 ka", "rest"},
          {"OPTIONS * HTTP/1.1\r\n\r\n", "OPTIONS * [] len=0 ka"},
          {"CONNECT example.com:443 HTTP/1.1\r\n\r\n", "CONNECT example.com:443 [] len=0 ka upgrade"},
          {"CONNECT example.com:443 HTTP/1.0\r\n\r\n", "CONNECT example.com:443 [] len=0 upgrade 1.0"},
          {"GET http://Example.com/x HTTP/1.1\r\n\r\n", "GET http://Example.com/x [] len=0 ka"},
          {"GET HTTPS://Example.com/x?y#f HTTP/1.1\r\n\r\n", "GET https://Example.com/x?y#f [] len=0 ka"},
          {"GET Ws://h/chat HTTP/1.1\r\n\r\n", "GET Ws://h/chat [] len=0 ka"},
          {"GET /p#frag HTTP/1.1\r\n\r\n", "GET /p [] len=0 ka"},
          {"GET /caf\xc3\xa9/%zz{}|^` HTTP/1.1\r\n\r\n", "GET /caf\xc3\xa9/%zz{}|^` [] len=0 ka"},
          {"M-SEARCH * HTTP/1.1\r\n\r\n", "M-SEARCH * [] len=0 ka"},
          {"get / HTTP/1.1\r\n\r\n", "get / [] len=0 ka"},
          {"QUERY /q HTTP/1.1\r\n\r\n", "QUERY /q [] len=0 ka"},
          {"GET / HTTP/1.1\r\n", "need more"},
          {"GET / HTTP/1.1\r\nHost: a\r\n", "need more"},
          {"\r\n\r\n", "need more"},
          // method
          {" GET / HTTP/1.1\r\n\r\n", "error method"},
          {"G(T / HTTP/1.1\r\n\r\n", "error method"},
          {"GET\t/ HTTP/1.1\r\n\r\n", "error method"},
          {"GE\x80T / HTTP/1.1\r\n\r\n", "error method"},
          // target
          {"GET  / HTTP/1.1\r\n\r\n", "error uri"},
          {"GET /a\tb HTTP/1.1\r\n\r\n", "error uri"},
          {"GET /a\x7f HTTP/1.1\r\n\r\n", "error uri"},
          {"GET /a\r\n\r\n", "error uri"},
          {std::string("GET /\x00 HTTP/1.1\r\n\r\n", 19), "error uri"},
          {"GET http:/x HTTP/1.1\r\n\r\n", "error uri"},
          {"GET http://[::1 HTTP/1.1\r\n\r\n", "error uri"},
          {"GET ://x HTTP/1.1\r\n\r\n", "error uri"},
          // version
          {"GET / HTTP/1.2\r\n\r\n", "error version"},
          {"GET / HTTP/2.0\r\n\r\n", "error version"},
          {"GET / http/1.1\r\n\r\n", "error version"},
          {"GET /  HTTP/1.1\r\n\r\n", "error version"},
          {"GET / HTTP/1.1 \r\n\r\n", "error header_token"},
          {"GET / HTTP/1.10\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\rX\r\n", "error header_token"},
          {"\rGET / HTTP/1.1\r\n\r\n", "error header_token"},
      });
}

TEST(H1RequestHead, StandardMethodsAndFastPaths) {
  for (std::string_view m :
       {"OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY"}) {
    ByteBuffer b;
    b.append(std::string(m) + (m == "CONNECT" ? " h:1" : " /") + " HTTP/1.1\r\n\r\n");
    RequestHead head;
    http::HeaderMap headers;
    ASSERT_EQ(parse_request(b, {}, head, headers).status, Progress::kDone) << m;
    EXPECT_EQ(head.method_text, m);
    EXPECT_EQ(method_name(head.method), m);
    EXPECT_EQ(method_from_token(m), head.method);
  }
  EXPECT_EQ(method_from_token("GETS"), Method::kExtension);
  EXPECT_EQ(method_from_token("Get"), Method::kExtension);
  EXPECT_TRUE(is_method_token("M-SEARCH"));
  EXPECT_FALSE(is_method_token(""));
  EXPECT_FALSE(is_method_token("GET /"));
}

// Field names are recognised as well-known ones by their shape; every
// spelling must resolve exactly as the header collection's own lookup does.
TEST(H1ResponseHead, WellKnownNames) {
  auto parsed_id = [](const std::string& name) {
    // A 204 has no body whatever its framing fields say.
    ByteBuffer b;
    b.append("HTTP/1.1 204 No Content\r\n" + name + ": v\r\n\r\n");
    ResponseHead head;
    http::HeaderMap headers;
    const bool parsed = parse_response(b, std::nullopt, {}, head, headers).status == Progress::kDone;
    EXPECT_TRUE(parsed) << name;
    if (!parsed || headers.name_count() != 1)
      return std::pair{http::WellKnownName::kCount, http::WellKnownName::kNone};
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(http::kLowerTable[static_cast<uint8_t>(c)]);
    EXPECT_EQ(headers.name_at(0), lower);
    return std::pair{headers.name_id_at(0), http::find_well_known_name(lower)};
  };
  for (std::size_t i = 0; i < http::kWellKnownNameCount; ++i) {
    const auto id = static_cast<http::WellKnownName>(i);
    const std::string text(http::well_known_name_text(id));
    std::string upper = text, mixed = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t k = 0; k < mixed.size(); k += 2) mixed[k] = upper[k];
    for (const std::string& spelling : {text, upper, mixed})
      EXPECT_EQ(parsed_id(spelling).first, id) << spelling;
    // Near misses resolve as the collection resolves them (to no well-known name).
    for (const std::string& other :
         {text + "x", text.substr(1), "x" + text.substr(1), text.substr(0, text.size() - 1) + "_"}) {
      if (other.empty()) continue;
      const auto [got, want] = parsed_id(other);
      EXPECT_EQ(got, want) << other;
    }
  }
}

TEST(H1RequestHead, TargetLength) {
  const std::string ok = "GET /" + std::string(kMaxTargetLength - 1, 'a') + " HTTP/1.1\r\n\r\n";
  const std::string too_long = "GET /" + std::string(kMaxTargetLength, 'a') + " HTTP/1.1\r\n\r\n";
  EXPECT_EQ(feed(request_parser(), {ok}).result.substr(0, 6), "GET /a");
  EXPECT_EQ(feed(request_parser(), {too_long}).result, "error uri_too_long");
  // The length is judged on the complete line only.
  EXPECT_EQ(feed(request_parser(), {std::string_view(too_long).substr(0, too_long.size() - 6)}).result,
            "need more");
}

// ---- field lines ---------------------------------------------------------------

TEST(H1RequestHead, FieldLines) {
  run_cases(
      request_parser(),
      {
          {"GET / HTTP/1.1\r\nHost: a\r\nX-Y:  b c \t\r\n\r\n", "GET / [host=a|x-y=b c] len=0 ka"},
          {"GET / HTTP/1.1\nHost: a\nX:\n\n", "GET / [host=a|x=] len=0 ka"},
          {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nA: 3\r\n\r\n", "GET / [a=1|a=3|b=2] len=0 ka"},
          {"GET / HTTP/1.1\r\nX: a\tb\xff\x80\r\n\r\n", "GET / [x=a\tb\xff\x80] len=0 ka"},
          {"GET / HTTP/1.1\r\nX:\t\t\r\n\r\n", "GET / [x=] len=0 ka"},
          {"GET / HTTP/1.1\r\n!#$%&'*+-.^_`|~09azAZ: v\r\n\r\n", "GET / [!#$%&'*+-.^_`|~09azaz=v] len=0 ka"},
          {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\n: a\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nHost\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA: 1\r\n b\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA: 1\r\n\tb\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA: x\x01y\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA: x\x7fy\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA: x\ry\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA\x80: x\r\n\r\n", "error header_token"},
          {"GET / HTTP/1.1\r\nA: x\r\n\rX", "error header_token"},
          {"GET / HTTP/1.1\r\nA: x\r\n\r", "need more"},
      });
}

TEST(H1RequestHead, IgnoreInvalidHeaders) {
  ParseLimits skip;
  skip.ignore_invalid_headers = true;
  run_cases(request_parser(skip),
            {
                {"GET / HTTP/1.1\r\nHost : a\r\nB: 2\r\n\r\n", "GET / [b=2] len=0 ka"},
                {"GET / HTTP/1.1\r\nA: x\x01y\r\nB: 2\n\n", "GET / [b=2] len=0 ka"},
                {"GET / HTTP/1.1\r\nA: x\ry\r\nB: 2\r\n\r\n", "GET / [b=2] len=0 ka"},
                {"GET / HTTP/1.1\r\n folded\r\nno colon\r\n: empty\r\nB: 2\r\n\r\n", "GET / [b=2] len=0 ka"},
                {"GET / HTTP/1.1\r\nbad line", "need more"},
                // The end of the head is not a field line and is never skipped.
                {"GET / HTTP/1.1\r\nA: x\r\n\rX", "error header_token"},
            });
  // The response side never skips.
  run_cases(response_parser(std::nullopt, skip),
            {{"HTTP/1.1 200 OK\r\nA : b\r\n\r\n", "error header_token"}});
}

TEST(H1RequestHead, FieldLineLimit) {
  auto request = [](int fields) {
    std::string s = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < fields; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
    return s + "\r\n";
  };
  auto response = [](int fields) {
    std::string s = "HTTP/1.1 204 No Content\r\n";
    for (int i = 0; i < fields; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
    return s + "\r\n";
  };
  auto parse_with = [](std::size_t max, const std::string& input) {
    ParseLimits limits;
    limits.max_headers = max;
    return feed(request_parser(limits), {input}).result.substr(0, 5);
  };
  EXPECT_EQ(parse_with(100, request(100)), "GET /");
  EXPECT_EQ(parse_with(100, request(101)), "error");
  EXPECT_EQ(parse_with(2, request(2)), "GET /");
  EXPECT_EQ(parse_with(2, request(3)), "error");
  EXPECT_EQ(parse_with(0, request(0)), "GET /");
  EXPECT_EQ(parse_with(0, request(1)), "error");
  // Above 100 the lines spill to the heap; the limit still holds exactly.
  EXPECT_EQ(parse_with(1000, request(1000)), "GET /");
  EXPECT_EQ(feed(request_parser([] {
                   ParseLimits l;
                   l.max_headers = 1000;
                   return l;
                 }()),
                 {request(1001)})
                .result,
            "error too_large");
  EXPECT_EQ(parse_with(SIZE_MAX, request(3000)), "GET /");
  // The response side always admits 100, whatever the request side is given.
  ParseLimits many;
  many.max_headers = 1000;
  EXPECT_EQ(feed(response_parser(std::nullopt, many), {response(100)}).result.substr(0, 3), "204");
  EXPECT_EQ(feed(response_parser(std::nullopt, many), {response(101)}).result, "error too_large");
  // Skipped lines do not count.
  ParseLimits skip;
  skip.max_headers = 1;
  skip.ignore_invalid_headers = true;
  EXPECT_EQ(feed(request_parser(skip), {"GET / HTTP/1.1\r\nbad\r\nbad\r\nA: 1\r\n\r\n"}).result,
            "GET / [a=1] len=0 ka");
}

TEST(H1RequestHead, LongNamesAndBufferCap) {
  const std::string name65535(65535, 'n');
  const std::string name65536(65536, 'n');
  EXPECT_EQ(feed(request_parser(), {"GET / HTTP/1.1\r\n" + name65535 + ": v\r\n\r\n"}).result.substr(0, 5),
            "GET /");
  EXPECT_EQ(feed(request_parser(), {"GET / HTTP/1.1\r\n" + name65536 + ": v\r\n\r\n"}).result,
            "error too_large");

  ParseLimits limits;
  limits.max_buf_size = kMinMaxBufSize;
  const std::string start = "GET / HTTP/1.1\r\nX: ";
  const std::string at_cap = start + std::string(kMinMaxBufSize - start.size(), 'v');
  EXPECT_EQ(feed(request_parser(limits), {at_cap}).result, "error too_large");
  EXPECT_EQ(feed(request_parser(limits), {std::string_view(at_cap).substr(0, at_cap.size() - 1)}).result,
            "need more");
  // A complete head is taken whatever its size.
  EXPECT_EQ(feed(request_parser(limits), {at_cap + "\r\n\r\n"}).result.substr(0, 5), "GET /");
  const std::string status_start = "HTTP/1.1 200 OK\r\nX: ";
  const std::string response_at_cap = status_start + std::string(kMinMaxBufSize - status_start.size(), 'v');
  EXPECT_EQ(feed(response_parser(std::nullopt, limits), {response_at_cap}).result, "error too_large");
  EXPECT_EQ(feed(response_parser(std::nullopt, limits),
                 {std::string_view(response_at_cap).substr(0, response_at_cap.size() - 1)})
                .result,
            "need more");
  // Endless empty lines before a request line are bounded by the cap too.
  EXPECT_EQ(feed(request_parser(limits), {std::string(kMinMaxBufSize, '\n')}).result, "error too_large");
}

// ---- request framing: Content-Length and Transfer-Encoding ----------------------

TEST(H1RequestHead, Framing) {
  run_cases(
      request_parser(),
      {
          {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "POST / [content-length=5] len=5 ka",
           "hello"},
          {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "POST / [content-length=0] len=0 ka"},
          {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n",
           "POST / [content-length=5] len=5 ka"},
          {"POST / HTTP/1.1\r\ncontent-length: 007\r\n\r\n", "POST / [content-length=007] len=7 ka"},
          {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551613\r\n\r\n",
           "POST / [content-length=18446744073709551613] len=18446744073709551613 ka"},
          {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551614\r\n\r\n", "error too_large"},
          {"POST / HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n",
           "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
           "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\n", "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n", "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: 5 5\r\n\r\n", "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: 0x5\r\n\r\n", "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", "error header_content_length_invalid"},
          {"POST / HTTP/1.1\r\nContent-Length: 5\r\n", "need more"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
           "POST / [transfer-encoding=chunked] len=" + std::to_string(kChunked) + " ka"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, CHUNKED \r\n\r\n",
           "POST / [transfer-encoding=gzip, CHUNKED] len=" + std::to_string(kChunked) + " ka"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n",
           "POST / [transfer-encoding=gzip|transfer-encoding=chunked] len=" + std::to_string(kChunked) +
               " ka"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", "error header_transfer_encoding_invalid"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
           "error header_transfer_encoding_invalid"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n",
           "error header_transfer_encoding_invalid"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked,\r\n\r\n",
           "error header_transfer_encoding_invalid"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\xff\r\n\r\n",
           "error header_transfer_encoding_invalid"},
          {"POST / HTTP/1.1\r\nTransfer-Encoding: xchunked\r\n\r\n",
           "error header_transfer_encoding_invalid"},
          {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
           "error header_transfer_encoding_unexpected"},
          {"POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", "POST / [content-length=3] len=3 1.0", "abc"},
      });
}

// Every way of combining the two framing fields that request smuggling
// relies on: the request is either refused or framed by chunked alone, no
// content-length survives next to a transfer-encoding, and the connection is
// not kept alive after it (even when a Connection line asks for it).
TEST(H1RequestHead, SmugglingMatrix) {
  const std::string chunked = std::to_string(kChunked);
  run_cases(request_parser(),
            {
                {"POST / HTTP/1.1\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n",
                 "POST / [transfer-encoding=chunked] len=" + chunked},
                {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 10\r\nConnection: "
                 "keep-alive\r\n\r\n",
                 "POST / [transfer-encoding=chunked|connection=keep-alive] len=" + chunked},
                {"POST / HTTP/1.1\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\nContent-Length: "
                 "11\r\n\r\n",
                 "POST / [transfer-encoding=chunked] len=" + chunked},
                {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: x\r\n\r\n",
                 "POST / [transfer-encoding=chunked] len=" + chunked},
                {"POST / HTTP/1.1\r\nContent-Length: x\r\nTransfer-Encoding: chunked\r\n\r\n",
                 "error header_content_length_invalid"},
                {"POST / HTTP/1.1\r\nContent-Length: 10\r\nContent-Length: 11\r\nTransfer-Encoding: "
                 "chunked\r\n\r\n",
                 "error header_content_length_invalid"},
                {"POST / HTTP/1.1\r\nContent-Length: 10\r\nTransfer-Encoding: identity\r\n\r\n",
                 "error header_transfer_encoding_invalid"},
                {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n",
                 "error header_transfer_encoding_invalid"},
                {"POST / HTTP/1.1\r\nTransfer-Encoding : chunked\r\nContent-Length: 3\r\n\r\n",
                 "error header_token"},
                {"POST / HTTP/1.1\r\nTransfer-Encoding:\x0b"
                 "chunked\r\nContent-Length: 3\r\n\r\n",
                 "error header_token"},
                {"POST / HTTP/1.1\r\nTransfer-Encoding: \"chunked\"\r\n\r\n",
                 "error header_transfer_encoding_invalid"},
                {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n",
                 "POST / [content-length=3] len=3 ka"},
                {"POST / HTTP/1.0\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
                 "error header_transfer_encoding_unexpected"},
                {"GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nGET / HTTP/1.1\r\n\r\n",
                 "GET / [content-length=3] len=3 ka", "GET / HTTP/1.1\r\n\r\n"},
            });
  // With ignore_invalid_headers a malformed framing line is skipped whole, so
  // the other framing line alone decides.
  ParseLimits skip;
  skip.ignore_invalid_headers = true;
  run_cases(request_parser(skip),
            {
                {"POST / HTTP/1.1\r\nTransfer-Encoding : chunked\r\nContent-Length: 3\r\n\r\n",
                 "POST / [content-length=3] len=3 ka"},
            });
}

TEST(H1RequestHead, ConnectionExpectUpgradeTe) {
  run_cases(
      request_parser(),
      {
          {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", "GET / [connection=close] len=0"},
          {"GET / HTTP/1.1\r\nConnection: Upgrade, CLOSE\r\n\r\n", "GET / [connection=Upgrade, CLOSE] len=0"},
          {"GET / HTTP/1.1\r\nConnection: closed\r\n\r\n", "GET / [connection=closed] len=0 ka"},
          {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "GET / [connection=keep-alive] len=0 ka 1.0"},
          {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\nConnection: close\r\n\r\n",
           "GET / [connection=Keep-Alive|connection=close] len=0 1.0"},
          {"GET / HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n",
           "GET / [connection=close|connection=keep-alive] len=0 ka"},
          {"GET / HTTP/1.1\r\nConnection: close\xff\r\n\r\n", "GET / [connection=close\xff] len=0 ka"},
          {"POST / HTTP/1.1\r\nExpect: 100-Continue\r\n\r\n",
           "POST / [expect=100-Continue] len=0 ka continue"},
          {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nExpect: x\r\n\r\n",
           "POST / [expect=100-continue|expect=x] len=0 ka"},
          {"POST / HTTP/1.1\r\nExpect: 100-continue, x\r\n\r\n", "POST / [expect=100-continue, x] len=0 ka"},
          {"GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n",
           "GET / [connection=Upgrade|upgrade=websocket] len=0 ka upgrade"},
          {"GET / HTTP/1.0\r\nUpgrade: websocket\r\n\r\n", "GET / [upgrade=websocket] len=0 1.0"},
          {"GET / HTTP/1.1\r\nTE: gzip, Trailers\r\n\r\n", "GET / [te=gzip, Trailers] len=0 ka trailers"},
          {"GET / HTTP/1.1\r\nTE: trailers\r\nTE: gzip\r\n\r\n",
           "GET / [te=trailers|te=gzip] len=0 ka trailers"},
          {"GET / HTTP/1.1\r\nTE: trailers\xff\r\n\r\n", "GET / [te=trailers\xff] len=0 ka"},
          {"GET / HTTP/1.1\r\nTE: trailersx\r\n\r\n", "GET / [te=trailersx] len=0 ka"},
      });
}

TEST(H1RequestHead, Http2Preface) {
  const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  EXPECT_EQ(feed(request_parser(), {preface}).result, "error version_h2");
  EXPECT_EQ(feed(request_parser(), {preface + std::string("\x00\x00\x12\x04", 4)}).result,
            "error version_h2");
  // A preface cut short waits for the rest, so that every split of it ends the same.
  EXPECT_EQ(parse_everyhow(request_parser(), preface).result, "error version_h2");
  EXPECT_EQ(feed(request_parser(), {std::string_view(preface).substr(0, 23)}).result, "need more");
  EXPECT_EQ(feed(request_parser(), {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\r"}).result, "error version");
  EXPECT_EQ(feed(request_parser(), {"GET / HTTP/2.0\r\n\r\n"}).result, "error version");
  EXPECT_EQ(automatic_status(ParseKind::kVersionH2), std::nullopt);
  // Any failure turns into version_h2 behind the preface, even a too-large one.
  ParseLimits limits;
  limits.max_buf_size = kMinMaxBufSize;
  EXPECT_EQ(feed(request_parser(limits), {preface + std::string(kMinMaxBufSize, 'x')}).result,
            "error version_h2");
  // The response side does not look for it.
  EXPECT_EQ(feed(response_parser(), {preface}).result, "error version");
}

TEST(H1RequestHead, AutomaticStatus) {
  const std::pair<ParseKind, std::optional<uint16_t>> table[] = {
      {ParseKind::kMethod, 400},
      {ParseKind::kVersion, 400},
      {ParseKind::kUri, 400},
      {ParseKind::kHeaderToken, 400},
      {ParseKind::kHeaderContentLengthInvalid, 400},
      {ParseKind::kHeaderTransferEncodingInvalid, 400},
      {ParseKind::kHeaderTransferEncodingUnexpected, 400},
      {ParseKind::kUriTooLong, 414},
      {ParseKind::kTooLarge, 431},
      {ParseKind::kVersionH2, std::nullopt},
      {ParseKind::kStatus, std::nullopt},
      {ParseKind::kInternal, std::nullopt},
  };
  for (const auto& [kind, status] : table)
    EXPECT_EQ(automatic_status(kind), status) << parse_kind_string(kind);
}

// ---- responses -----------------------------------------------------------------

TEST(H1ResponseHead, StatusLine) {
  const std::string close = std::to_string(kClose);
  run_cases(response_parser(),
            {
                {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", "200 [content-length=2] len=2 ka", "hi"},
                {"HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", "200 [content-length=0] len=0 ka"},
                {"HTTP/1.1 200 \r\nContent-Length: 0\r\n\r\n", "200 [content-length=0] len=0 ka"},
                {"HTTP/1.1 404 Not\tFound \xe9\r\nContent-Length: 0\n\n", "404 [content-length=0] len=0 ka"},
                {"\r\nHTTP/1.0 200 OK\r\n\r\n", "200 [] len=" + close + " 1.0"},
                {"HTTP/1.1 999 Whatever\r\n\r\n", "999 [] len=" + close + " ka"},
                {"HTTP/1.1 099 Low\r\n\r\n", "error status"},
                {"HTTP/1.1 2x0 OK\r\n\r\n", "error status"},
                {"HTTP/1.1 2000 OK\r\n\r\n", "error status"},
                {"HTTP/1.1 200 O\x01K\r\n\r\n", "error status"},
                {"HTTP/1.1 200 OK\rX\r\n\r\n", "error status"},
                {"HTTP/1.1 200\tOK\r\n\r\n", "error status"},
                {"HTTP/1.1  200 OK\r\n\r\n", "error status"},
                {"HTTP/1.2 200 OK\r\n\r\n", "error version"},
                {"HTTP/2 200\r\n\r\n", "error version"},
                {"HTTP/1.1\r\n\r\n", "error version"},
                {"ICY 200 OK\r\n\r\n", "error version"},
                {"HTTP/1.1 200 OK\r\nA : b\r\n\r\n", "error header_token"},
                {"HTTP/1.1 200 OK\r\n", "need more"},
                {"HTTP/1.1 20", "need more"},
            });
}

TEST(H1ResponseHead, BodyDecision) {
  const std::string close = std::to_string(kClose);
  const std::string chunked = std::to_string(kChunked);
  struct MethodCase {
    std::optional<Method> method;
    const char* input;
    std::string result;
  };
  const MethodCase cases[] = {
      {std::nullopt, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: ws\r\n\r\n",
       "101 [upgrade=ws] len=0 upgrade"},
      {std::nullopt, "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n",
       "204 [content-length=5] len=0 ka"},
      {std::nullopt, "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n",
       "304 [transfer-encoding=chunked] len=0 ka"},
      {Method::kHead, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "200 [content-length=10] len=0 ka"},
      {Method::kHead, "HTTP/1.1 200 OK\r\nContent-Length: nonsense\r\n\r\n",
       "200 [content-length=nonsense] len=0 ka"},
      {Method::kConnect, "HTTP/1.1 200 Connection Established\r\n\r\n", "200 [] len=0 upgrade"},
      {Method::kConnect, "HTTP/1.1 407 Auth\r\nContent-Length: 1\r\n\r\n", "407 [content-length=1] len=1 ka"},
      {Method::kGet, "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
       "error header_transfer_encoding_unexpected"},
      {Method::kGet, "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 3\r\n\r\n",
       "200 [transfer-encoding=gzip, chunked|content-length=3] len=" + chunked + " ka"},
      {Method::kGet, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n",
       "200 [transfer-encoding=chunked|transfer-encoding=gzip] len=" + close + " ka"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\nContent-Length: 5\r\n\r\n",
       "200 [content-length=5, 5|content-length=5] len=5 ka"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 5,\t5 \r\n\r\n",
       "200 [content-length=5,\t5] len=5 ka"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\n",
       "error header_content_length_invalid"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
       "error header_content_length_invalid"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 5,\r\n\r\n", "error header_content_length_invalid"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\n", "error header_content_length_invalid"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "200 [content-length=0] len=0 ka"},
      {Method::kPost, "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n\r\n", "error too_large"},
      {std::nullopt, "HTTP/1.1 200 OK\r\n\r\n", "200 [] len=" + close + " ka"},
      {std::nullopt, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "200 [connection=close] len=" + close},
      {std::nullopt, "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n",
       "200 [connection=keep-alive|content-length=0] len=0 ka 1.0"},
      {std::nullopt, "HTTP/1.1 101 Switching\r\nConnection: keep-alive\r\n\r\n",
       "101 [connection=keep-alive] len=0 upgrade"},
  };
  for (const MethodCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(parse_everyhow(response_parser(c.method), c.input).result, c.result);
  }
}

TEST(H1ResponseHead, InterimResponses) {
  run_cases(
      response_parser(Method::kGet),
      {
          {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
           "200 [content-length=0] len=0 ka"},
          {"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 102 P\r\n\r\nHTTP/1.1 204 No\r\n\r\nx",
           "204 [] len=0 ka", "x"},
          {"HTTP/1.1 199 X\r\n\r\nHTTP/1.1 101 S\r\n\r\n", "101 [] len=0 upgrade"},
      });
  // Interim heads stay consumed whether or not the final head is complete or valid.
  EXPECT_EQ(feed(response_parser(), {"HTTP/1.1 100 Continue\r\n\r\n"}), (Outcome{"need more", ""}));
  EXPECT_EQ(feed(response_parser(), {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 2"}),
            (Outcome{"need more", "HTTP/1.1 2"}));
  EXPECT_EQ(feed(response_parser(), {"HTTP/1.1 100 Continue\r\n\r\nHTTP/9"}),
            (Outcome{"error version", "HTTP/9"}));
}

// ---- the codec's read side -----------------------------------------------------

TEST(H1Codec, PipelinedRequestsAndReset) {
  Codec codec({});
  RequestHead head;
  http::HeaderMap headers;
  ParseKind error{};
  ASSERT_EQ(codec.receive_request_head("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\nTE: trailers\r\n\r\n", head,
                                       headers, error),
            Progress::kDone);
  EXPECT_EQ(head.target, "/a");
  EXPECT_EQ(codec.recorded_method(), Method::kGet);
  EXPECT_FALSE(codec.trailers_allowed());
  ByteBuffer rest = codec.take_body();
  EXPECT_EQ(codec.buffered(), 0u);
  // The rest of a pipelined batch comes back without a copy: each request of
  // a large batch must not copy all the requests behind it.
  const char* storage = rest.data();
  codec.feed_buffer(std::move(rest));
  EXPECT_EQ(codec.buffered_view().data(), storage);
  codec.reset();
  EXPECT_TRUE(codec.trailers_allowed());
  EXPECT_EQ(codec.recorded_method(), std::nullopt);
  RequestHead second;
  http::HeaderMap second_headers;
  ASSERT_EQ(codec.receive_request_head("", second, second_headers, error), Progress::kDone);
  EXPECT_EQ(second.target, "/b");
  EXPECT_TRUE(codec.trailers_allowed());
  EXPECT_EQ(codec.buffered(), 0u);
  // The first head's views stay valid: they live in its own block.
  EXPECT_EQ(head.target, "/a");
  EXPECT_EQ(fields_text(second_headers), "te=trailers");
}

TEST(H1Codec, FailureStatusAndResponseMethod) {
  Codec codec({});
  RequestHead head;
  http::HeaderMap headers;
  ParseKind error{};
  const std::string long_target = "GET /" + std::string(kMaxTargetLength, 'a') + " HTTP/1.1\r\n\r\n";
  ASSERT_EQ(codec.receive_request_head(long_target, head, headers, error), Progress::kFailed);
  EXPECT_EQ(error, ParseKind::kUriTooLong);
  EXPECT_EQ(codec.parse_error_status(), 414);
  EXPECT_EQ(codec.buffered(), long_target.size());
  codec.reset();
  EXPECT_EQ(codec.parse_error_status(), std::nullopt);
  codec.clear_buffer();
  ASSERT_EQ(codec.receive_request_head("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", head, headers, error),
            Progress::kFailed);
  EXPECT_EQ(error, ParseKind::kVersionH2);
  EXPECT_EQ(codec.parse_error_status(), std::nullopt);
  codec.clear_buffer();

  // A HEAD request recorded by a parse frames the response read after it.
  Codec client({});
  ASSERT_EQ(client.receive_request_head("HEAD / HTTP/1.1\r\n\r\n", head, headers, error), Progress::kDone);
  ResponseHead response;
  ASSERT_EQ(client.receive_head("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", response, headers, error),
            Progress::kDone);
  EXPECT_EQ(response.body_length, 0u);
  EXPECT_TRUE(client.body_is_eof());
}

TEST(H1Codec, MaxHeadersBeyondTheAddressSpace) {
  CodecConfig config;
  config.max_headers = UINT64_MAX;
  Codec codec(config);
  RequestHead head;
  http::HeaderMap headers;
  ParseKind error{};
  std::string request = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 500; ++i) request += "a: b\r\n";
  EXPECT_EQ(codec.receive_request_head(request + "\r\n", head, headers, error), Progress::kDone);
  EXPECT_EQ(headers.size(), 500u);
}

// ---- field value tests and scans -------------------------------------------------

TEST(H1FieldValues, Tokens) {
  EXPECT_TRUE(lists_token("a, Close ,b", "close"));
  EXPECT_TRUE(lists_token("\tclose\t", "close"));
  EXPECT_FALSE(lists_token("closed", "close"));
  EXPECT_FALSE(lists_token("close\x80", "close"));
  EXPECT_FALSE(lists_token("", "close"));
  EXPECT_TRUE(is_chunked_last("gzip,chunked"));
  EXPECT_TRUE(is_chunked_last(" ChUnKeD "));
  EXPECT_FALSE(is_chunked_last("chunked;q=1"));
  EXPECT_FALSE(is_chunked_last("chunked, "));
  EXPECT_EQ(parse_decimal("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_decimal("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_decimal("99999999999999999999"), std::nullopt);
  EXPECT_EQ(parse_decimal(""), std::nullopt);
  EXPECT_EQ(parse_decimal(" 1"), std::nullopt);
  std::optional<uint64_t> agreed;
  EXPECT_TRUE(fold_content_length_list("3, 3", agreed));
  EXPECT_TRUE(fold_content_length_list("3", agreed));
  EXPECT_FALSE(fold_content_length_list("4", agreed));
  std::optional<uint64_t> none;
  EXPECT_FALSE(fold_content_length_list(" ", none));
}

// The SSE2, word and byte scans agree with the definition at every offset of
// every length, each run in an exact-size block.
TEST(H1Scan, AllWaysAgree) {
  for (int stop : {0x00, 0x09, 0x0a, 0x0d, 0x1f, 0x20, 0x7f}) {
    for (std::size_t len = 0; len <= 40; ++len) {
      for (std::size_t at = 0; at <= len; ++at) {
        auto block = std::make_unique<char[]>(len);
        for (std::size_t i = 0; i < len; ++i) block[i] = static_cast<char>(0x80 | 'A' | (i * 7) % 0x7f);
        if (at < len) block[at] = static_cast<char>(stop);
        auto reference = [&](auto is_stop) {
          for (std::size_t i = 0; i < len; ++i)
            if (is_stop(static_cast<uint8_t>(block[i]))) return i;
          return len;
        };
        const std::size_t want_control = reference(scan::is_stop<0x1f>);
        const std::size_t want_space = reference(scan::is_stop<0x20>);
        EXPECT_EQ(scan::find_control(block.get(), len), want_control);
        EXPECT_EQ(scan::detail::find_stop_swar<0x1f>(block.get(), 0, len), want_control);
        EXPECT_EQ(scan::find_space_or_control(block.get(), len), want_space);
        EXPECT_EQ(scan::detail::find_stop_swar<0x20>(block.get(), 0, len), want_space);
      }
    }
  }
  // Every octet value alone, at every position of a 24-octet run.
  for (int c = 0; c < 256; ++c) {
    for (std::size_t at = 0; at < 24; ++at) {
      std::string run(24, 'a');
      run[at] = static_cast<char>(c);
      const bool stops = c < 0x20 || c == 0x7f;
      EXPECT_EQ(scan::find_control(run.data(), run.size()), stops ? at : 24u) << c;
      EXPECT_EQ(scan::detail::find_stop_swar<0x1f>(run.data(), 0, run.size()), stops ? at : 24u) << c;
    }
  }
}

}  // namespace
}  // namespace vantric::h1
