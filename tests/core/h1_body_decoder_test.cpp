#include "core/h1/body_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/h1/message.h"

namespace vantric::h1 {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
  std::string body;
  bool complete = false;
  std::size_t buffered = 0;
  std::string error;  // "<io_kind>: <message>", empty without a failure
  std::optional<Fields> trailers;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << "{body " << o.body.size() << " octets, complete " << o.complete << ", buffered " << o.buffered
     << ", error '" << o.error << "', trailers ";
  if (!o.trailers) return os << "none}";
  for (const auto& [n, v] : *o.trailers) os << n << "=" << v << ";";
  return os << "}";
}

enum class FeedMode : uint8_t { kCopy, kBorrow, kBuffer };

// Feeds `input` cut at `cuts` (ascending offsets), decoding everything
// available after each feed, then marks end of file when `eof`.  After a
// failure the rest of the input is still fed (so `buffered` is comparable
// across splits).  Borrowed pieces are exact-size heap blocks, so an
// over-read is caught by the sanitizer.
Outcome run(BodyDecoder d, std::string_view input, const std::vector<std::size_t>& cuts, bool eof,
            FeedMode mode = FeedMode::kBorrow) {
  std::vector<std::unique_ptr<char[]>> blocks;
  Outcome out;
  auto feed = [&](std::string_view piece) {
    if (piece.empty()) return;
    switch (mode) {
      case FeedMode::kCopy:
        d.feed(piece);
        break;
      case FeedMode::kBorrow: {
        blocks.push_back(std::make_unique<char[]>(piece.size()));
        std::memcpy(blocks.back().get(), piece.data(), piece.size());
        d.feed_borrowed({blocks.back().get(), piece.size()});
        break;
      }
      case FeedMode::kBuffer: {
        ByteBuffer b;
        b.append(piece);
        d.append(std::move(b));
        break;
      }
    }
  };
  auto drain = [&] {
    for (;;) {
      std::string_view piece;
      if (std::optional<Error> error = d.decode(piece)) {
        out.error = std::string(error->io_kind()) + ": " + error->message();
        return false;
      }
      if (piece.empty()) return true;
      out.body.append(piece);
    }
  };
  std::size_t pos = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(input.size());
  for (std::size_t end : ends) {
    feed(input.substr(pos, end - pos));
    pos = end;
    if (!drain()) {
      feed(input.substr(pos));
      pos = input.size();
      break;
    }
  }
  if (out.error.empty() && eof) {
    d.mark_eof();
    drain();
  }
  if (!out.error.empty()) {
    // Failures stick.
    std::string_view piece;
    std::optional<Error> again = d.decode(piece);
    EXPECT_TRUE(again && std::string(again->io_kind()) + ": " + again->message() == out.error);
  }
  out.complete = d.is_complete();
  out.buffered = d.buffered();
  if (std::unique_ptr<http::HeaderMap> map = d.take_trailers()) {
    out.trailers.emplace();
    for (const http::HeaderField& f : *map) out.trailers->emplace_back(f.name, f.value);
    EXPECT_EQ(d.take_trailers(), nullptr);
  }
  return out;
}

// Runs `input` whole, then one octet at a time, then at every two-way split
// (for short inputs; longer ones at a stride), in every feeding mode, and
// expects the same outcome each time.  Returns the whole-input outcome.
template <typename Make>
Outcome run_all_splits(Make make, std::string_view input, bool eof) {
  const Outcome whole = run(make(), input, {}, eof);
  for (FeedMode mode : {FeedMode::kCopy, FeedMode::kBuffer})
    EXPECT_EQ(run(make(), input, {}, eof, mode), whole) << "mode " << int(mode);
  std::vector<std::size_t> every;
  for (std::size_t i = 1; i < input.size(); ++i) every.push_back(i);
  EXPECT_EQ(run(make(), input, every, eof), whole) << "byte by byte";
  const std::size_t stride = input.size() <= 600 ? 1 : input.size() / 97;
  for (std::size_t i = 1; i < input.size(); i += stride)
    EXPECT_EQ(run(make(), input, {i}, eof, i % 2 ? FeedMode::kBorrow : FeedMode::kCopy), whole)
        << "split at " << i;
  return whole;
}

struct Case {
  std::string name;
  BodyFraming framing;
  uint64_t length;
  std::string input;
  bool eof;
  // Expected:
  std::string body;
  bool complete;
  std::size_t buffered;
  std::string error;  // "<io_kind>: <cause text>" or empty
  std::optional<Fields> trailers = std::nullopt;
};

BodyDecoder make_decoder(BodyFraming framing, uint64_t length) {
  switch (framing) {
    case BodyFraming::kChunked:
      return BodyDecoder::chunked();
    case BodyFraming::kClose:
      return BodyDecoder::close_delimited();
    case BodyFraming::kEmpty:
    case BodyFraming::kLength:
      break;
  }
  return BodyDecoder::length(length);
}

constexpr auto L = BodyFraming::kLength;
constexpr auto C = BodyFraming::kChunked;
constexpr auto X = BodyFraming::kClose;

const std::string kInvalidInput = "invalid_input: ";
const std::string kInvalidData = "invalid_data: ";
const std::string kEof = "unexpected_eof: ";

std::string trailer_lines(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += "t" + std::to_string(i) + ": v\r\n";
  return s;
}

Fields trailer_fields(int count) {
  Fields f;
  for (int i = 0; i < count; ++i) f.emplace_back("t" + std::to_string(i), "v");
  return f;
}

// One trailer line of `total` octets including its CRLF.
std::string trailer_line_of(std::size_t total) {
  return "x: " + std::string(total - 5, 'v') + "\r\n";
}

std::vector<Case> cases() {
  const std::string ext16383 = std::string(16383, 'e');
  return {
      // Content-Length.
      {"length zero", L, 0, "", false, "", true, 0, ""},
      {"length zero keeps what follows", L, 0, "abc", false, "", true, 3, ""},
      {"length exact", L, 5, "hello", false, "hello", true, 0, ""},
      {"length short, more to come", L, 5, "hel", false, "hel", false, 0, ""},
      {"length short at eof", L, 5, "hel", true, "hel", false, 0,
       kEof + "error reading a body from connection: end of file before message length reached"},
      {"length nothing at eof", L, 1, "", true, "", false, 0,
       kEof + "error reading a body from connection: end of file before message length reached"},
      {"length past the body", L, 5, "hellowor", true, "hello", true, 3, ""},
      // Close-delimited.
      {"close open", X, 0, "abc", false, "abc", false, 0, ""},
      {"close at eof", X, 0, "abc", true, "abc", true, 0, ""},
      {"close empty at eof", X, 0, "", true, "", true, 0, ""},
      // Chunked: sizes.
      {"one chunk", C, 0, "5\r\nhello\r\n0\r\n\r\n", false, "hello", true, 0, ""},
      {"several chunks", C, 0, "3\r\nabc\r\n1\r\nd\r\n0\r\n\r\n", false, "abcd", true, 0, ""},
      {"upper hex", C, 0, "1A\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n", false, std::string(26, 'z'),
       true, 0, ""},
      {"lower hex", C, 0, "1a\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n", false, std::string(26, 'z'),
       true, 0, ""},
      {"seventeen digits without overflow", C, 0, "00000000000000001\r\nx\r\n0\r\n\r\n", false, "x", true, 0,
       ""},
      {"largest size", C, 0, "FFFFFFFFFFFFFFFF\r\nabc", true, "abc", false, 0,
       kEof + "error reading a body from connection: end of file before message length reached"},
      {"size overflow", C, 0, "10000000000000000\r\n", false, "", false, 2,
       kInvalidData + "error reading a body from connection: invalid chunk size: overflow"},
      {"missing digit", C, 0, "x\r\n", false, "", false, 2,
       kInvalidInput + "error reading a body from connection: Invalid chunk size line: missing size digit"},
      {"empty size line", C, 0, "\r\n", false, "", false, 1,
       kInvalidInput + "error reading a body from connection: Invalid chunk size line: missing size digit"},
      {"invalid size", C, 0, "5x\r\n", false, "", false, 2,
       kInvalidInput + "error reading a body from connection: Invalid chunk size line: Invalid Size"},
      {"whitespace after size", C, 0, "5 \t \r\nhello\r\n0\t\r\n\r\n", false, "hello", true, 0, ""},
      {"digit after whitespace", C, 0, "5 6\r\n", false, "", false, 2,
       kInvalidInput + "error reading a body from connection: Invalid chunk size linear white space"},
      {"bare LF after size", C, 0, "5\nhello", false, "", false, 5,
       kInvalidInput + "error reading a body from connection: Invalid chunk size line: Invalid Size"},
      {"CR then not LF", C, 0, "5\rXhello", false, "", false, 5,
       kInvalidInput + "error reading a body from connection: Invalid chunk size LF"},
      // Extensions.
      {"extension", C, 0, "5;name=value\r\nhello\r\n0;last\r\n\r\n", false, "hello", true, 0, ""},
      {"extension after whitespace", C, 0, "5 ;a=\"b c\"\r\nhello\r\n0\r\n\r\n", false, "hello", true, 0, ""},
      {"extension with LF", C, 0, "5;ab\ncd\r\n", false, "", false, 4,
       kInvalidData + "error reading a body from connection: invalid chunk extension contains newline"},
      {"extension CR then not LF", C, 0, "5;ab\rcd", false, "", false, 1,
       kInvalidInput + "error reading a body from connection: Invalid chunk size LF"},
      {"extensions just under the limit", C, 0, "1;" + ext16383 + "\r\nx\r\n0\r\n\r\n", false, "x", true, 0,
       ""},
      {"extensions at the limit", C, 0, "1;" + ext16383 + "e\r\nx\r\n0\r\n\r\n", false, "", false, 10,
       kInvalidData + "error reading a body from connection: chunk extensions over limit"},
      {"extension limit spans the body", C, 0,
       "1;" + std::string(8192, 'e') + "\r\nx\r\n1;" + std::string(8192, 'e') + "\r\ny\r\n0\r\n\r\n", false,
       "x", false, 10, kInvalidData + "error reading a body from connection: chunk extensions over limit"},
      // Chunk data and its CRLF.
      {"data then not CR", C, 0, "5\r\nhelloX\r\n", false, "hello", false, 2,
       kInvalidInput + "error reading a body from connection: Invalid chunk body CR"},
      {"data CR then not LF", C, 0, "5\r\nhello\rX", false, "hello", false, 0,
       kInvalidInput + "error reading a body from connection: Invalid chunk body LF"},
      {"data short at eof", C, 0, "5\r\nhel", true, "hel", false, 0,
       kEof + "error reading a body from connection: end of file before message length reached"},
      // End of file in every framing state.
      {"eof before anything", C, 0, "", true, "", false, 0,
       kEof + "error reading a body from connection: unexpected EOF during chunk size line"},
      {"eof in size", C, 0, "5", true, "", false, 0,
       kEof + "error reading a body from connection: unexpected EOF during chunk size line"},
      {"eof in extension", C, 0, "5;a", true, "", false, 0,
       kEof + "error reading a body from connection: unexpected EOF during chunk size line"},
      {"eof after data", C, 0, "1\r\nx", true, "x", false, 0,
       kEof + "error reading a body from connection: unexpected EOF during chunk size line"},
      {"eof in trailer", C, 0, "0\r\na: b", true, "", false, 0,
       kEof + "error reading a body from connection: unexpected EOF during chunk size line"},
      {"eof before end LF", C, 0, "0\r\n\r", true, "", false, 0,
       kEof + "error reading a body from connection: unexpected EOF during chunk size line"},
      {"incomplete without eof", C, 0, "0\r\na: b\r\n", false, "", false, 0, ""},
      // The end and the trailer section.
      {"end then not LF", C, 0, "0\r\n\rX", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: Invalid chunk end LF"},
      {"bytes past the body stay", C, 0, "0\r\n\r\nGET / HTTP/1.1\r\n", true, "", true, 16, ""},
      {"one trailer", C, 0, "0\r\nExpires: never\r\n\r\n", false, "", true, 0, "",
       Fields{{"expires", "never"}}},
      {"trailers keep repeats and trim", C, 0, "0\r\na:  x y \t\r\nB: 2\r\nA:\r\n\r\nrest", false, "", true,
       4, "", Fields{{"a", "x y"}, {"a", ""}, {"b", "2"}}},
      {"trailer then not LF", C, 0, "0\r\na: 1\rX", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: Invalid trailer end LF"},
      {"trailer end then not LF", C, 0, "0\r\na: 1\r\n\rX", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: Invalid chunk end LF"},
      {"100 trailer lines", C, 0, "0\r\n" + trailer_lines(100) + "\r\n", false, "", true, 0, "",
       trailer_fields(100)},
      {"101 trailer lines", C, 0, "0\r\n" + trailer_lines(101) + "\r\n", false, "", false, 2,
       kInvalidData + "error reading a body from connection: chunk trailers count overflow"},
      // 16381 octets of lines plus the final CRLF: one short of the limit.
      {"trailer octets under the limit", C, 0, "0\r\n" + trailer_line_of(16381) + "\r\n", false, "", true, 0,
       "", Fields{{"x", std::string(16376, 'v')}}},
      {"trailer octets reach the limit at the final LF", C, 0, "0\r\n" + trailer_line_of(16382) + "\r\n",
       false, "", false, 0,
       kInvalidData + "error reading a body from connection: chunk trailers bytes over limit"},
      {"trailer octets reach the limit in a line", C, 0, "0\r\n" + trailer_line_of(20000) + "\r\n", false, "",
       false, 20000 - 16384 + 2,
       kInvalidData + "error reading a body from connection: chunk trailers bytes over limit"},
      {"trailer starting with space", C, 0, "0\r\n a: b\r\n\r\n", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: invalid header name"},
      {"trailer name with space", C, 0, "0\r\na b: c\r\n\r\n", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: invalid header name"},
      {"trailer without colon", C, 0, "0\r\nab\r\n\r\n", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: invalid header name"},
      {"trailer with control octet", C, 0, "0\r\na: b\x01\r\n\r\n", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: invalid header value"},
      {"trailer with DEL", C, 0, "0\r\na: b\x7f\r\n\r\n", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: invalid header value"},
      // A bare LF inside a trailer "line" starts another field, for which
      // the counted lines leave no room.
      {"bare LF makes a second field", C, 0, "0\r\na: b\nc: d\r\n\r\n", false, "", false, 0,
       kInvalidInput + "error reading a body from connection: too many headers"},
      // "\n\r\n" counts as a line; its bare LF ends the section for the parser.
      {"bare LF ends the section", C, 0, "0\r\na: b\r\n\n\r\n\r\n", false, "", true, 0, "",
       Fields{{"a", "b"}}},
      {"obs-text in a trailer", C, 0, "0\r\na: \xff\xfe\r\n\r\n", false, "", true, 0, "",
       Fields{{"a", "\xff\xfe"}}},
  };
}

TEST(H1BodyDecoder, CaseTableAtEverySplit) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Outcome got = run_all_splits([&] { return make_decoder(c.framing, c.length); }, c.input, c.eof);
    EXPECT_EQ(got.body, c.body);
    EXPECT_EQ(got.complete, c.complete);
    EXPECT_EQ(got.buffered, c.buffered);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.trailers, c.trailers);
  }
}

// Every state meets every octet: the outcome is progress or one of the
// specified failures, and the same at every split.
TEST(H1BodyDecoder, EveryStateEveryOctet) {
  const std::pair<const char*, ChunkState> prefixes[] = {
      {"", ChunkState::kStart},         {"1", ChunkState::kSize},
      {"1 ", ChunkState::kSizeLws},     {"1;", ChunkState::kExtension},
      {"1\r", ChunkState::kSizeLf},     {"2\r\nx", ChunkState::kBody},
      {"1\r\nx", ChunkState::kBodyCr},  {"1\r\nx\r", ChunkState::kBodyLf},
      {"0\r\na", ChunkState::kTrailer}, {"0\r\na:\r", ChunkState::kTrailerLf},
      {"0\r\n", ChunkState::kEndCr},    {"0\r\n\r", ChunkState::kEndLf},
  };
  for (auto [prefix, state] : prefixes) {
    {
      BodyDecoder d = BodyDecoder::chunked();
      d.feed(prefix);
      std::string_view piece;
      while (!d.decode(piece) && !piece.empty()) {
      }
      ASSERT_EQ(d.chunk_state(), state) << prefix;
    }
    for (int octet = 0; octet < 256; ++octet) {
      std::string input = std::string(prefix) + static_cast<char>(octet) + "\r\n0\r\n\r\n";
      const Outcome got = run_all_splits(BodyDecoder::chunked, input, true);
      EXPECT_TRUE(got.complete || !got.error.empty()) << prefix << " + " << octet;
    }
  }
}

TEST(H1BodyDecoder, PieceBoundaries) {
  // Close-delimited pieces are capped at 8192 octets.
  BodyDecoder close = BodyDecoder::close_delimited();
  close.feed(std::string(20000, 'c'));
  std::vector<std::size_t> sizes;
  std::string_view piece;
  while (!close.decode(piece) && !piece.empty()) sizes.push_back(piece.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{8192, 8192, 3616}));
  EXPECT_FALSE(close.is_complete());
  close.mark_eof();
  EXPECT_FALSE(close.decode(piece));
  EXPECT_TRUE(piece.empty());
  EXPECT_TRUE(close.is_complete());

  // A chunked piece never crosses a chunk boundary.
  BodyDecoder chunked = BodyDecoder::chunked();
  chunked.feed("3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n");
  std::vector<std::string> pieces;
  while (!chunked.decode(piece) && !piece.empty()) pieces.emplace_back(piece);
  EXPECT_EQ(pieces, (std::vector<std::string>{"abc", "def"}));
  EXPECT_TRUE(chunked.is_complete());
  // Complete is terminal.
  EXPECT_FALSE(chunked.decode(piece));
  EXPECT_TRUE(piece.empty());
}

TEST(H1BodyDecoder, PiecesAreViewsOfTheInput) {
  auto block = std::make_unique<char[]>(17);
  std::memcpy(block.get(), "5\r\nhello\r\n0\r\n\r\nxy", 17);
  BodyDecoder d = BodyDecoder::chunked();
  d.feed_borrowed({block.get(), 17});
  EXPECT_TRUE(d.borrowing());
  std::string_view piece;
  ASSERT_FALSE(d.decode(piece));
  EXPECT_EQ(piece.data(), block.get() + 3);
  ASSERT_FALSE(d.decode(piece));
  EXPECT_TRUE(d.is_complete());
  EXPECT_TRUE(d.borrowing());  // "xy" is still borrowed
  ByteBuffer rest = d.take_buffered();
  EXPECT_EQ(rest.view(), "xy");
  EXPECT_FALSE(d.borrowing());
  EXPECT_EQ(d.buffered(), 0u);

  // A buffer appended to an empty input is taken over, not copied.
  ByteBuffer b;
  b.append("hello");
  const char* where = b.data();
  BodyDecoder l = BodyDecoder::length(5);
  l.append(std::move(b));
  ASSERT_FALSE(l.decode(piece));
  EXPECT_EQ(piece.data(), where);
  // Also when the decoder's own (now empty) storage is the larger one.
  BodyDecoder big = BodyDecoder::length(5005);
  big.feed(std::string(5000, 'a'));
  ASSERT_FALSE(big.decode(piece));
  ByteBuffer small;
  small.append("world");
  where = small.data();
  big.append(std::move(small));
  ASSERT_FALSE(big.decode(piece));
  EXPECT_EQ(piece.data(), where);
  EXPECT_TRUE(small.empty());

  // A borrowed rest is copied before the next feed; the owned copy comes first.
  BodyDecoder c = BodyDecoder::close_delimited();
  c.feed_borrowed({block.get(), 4});
  ASSERT_FALSE(c.decode(piece));
  std::string all(piece);
  c.feed("x");
  c.feed_borrowed({block.get() + 5, 2});
  while (!c.decode(piece) && !piece.empty()) all.append(piece);
  EXPECT_EQ(all, std::string("5\r\nh") + "x" + "ll");
  EXPECT_FALSE(c.borrowing());

  std::string owned;
  BodyDecoder e = BodyDecoder::length(3);
  e.feed("abcd");
  ASSERT_FALSE(e.decode_into(owned));
  EXPECT_EQ(owned, "abc");
}

TEST(H1BodyDecoder, Construction) {
  EXPECT_TRUE(BodyDecoder::from_kind_name("empty", 7).is_complete());
  EXPECT_TRUE(BodyDecoder::from_kind_name("length", 0).is_complete());
  EXPECT_FALSE(BodyDecoder::from_kind_name("length", 1).is_complete());
  EXPECT_EQ(BodyDecoder::from_kind_name("chunked", 9).framing(), BodyFraming::kChunked);
  EXPECT_EQ(BodyDecoder::from_kind_name("close", 9).framing(), BodyFraming::kClose);
  EXPECT_EQ(BodyDecoder::from_kind_name("Chunked", 9).framing(), BodyFraming::kLength);
  EXPECT_EQ(BodyDecoder::for_body_length(kBodyChunked).framing(), BodyFraming::kChunked);
  EXPECT_EQ(BodyDecoder::for_body_length(kBodyCloseDelimited).framing(), BodyFraming::kClose);
  EXPECT_TRUE(BodyDecoder::for_body_length(0).is_complete());
  BodyDecoder big = BodyDecoder::for_body_length(kMaxBodyLength);
  big.feed("abc");
  std::string_view piece;
  ASSERT_FALSE(big.decode(piece));
  EXPECT_EQ(piece, "abc");
}

TEST(H1BodyDecoder, TrailerSectionParser) {
  http::HeaderMap map;
  // Sections the decoder never produces still get a defined answer.
  EXPECT_EQ(parse_trailer_section("a: b\r\n", 1, map), "Partial header");
  EXPECT_EQ(parse_trailer_section("a: b\r\n\r", 1, map), "Partial header");
  EXPECT_EQ(parse_trailer_section("a", 1, map), "Partial header");
  EXPECT_EQ(parse_trailer_section("a: b\rc\r\n\r\n", 1, map), "invalid header value");
  EXPECT_EQ(parse_trailer_section("\rx", 1, map), "invalid new line");
  EXPECT_EQ(parse_trailer_section("a: b\r\n\r\n", 0, map), "too many headers");
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(parse_trailer_section("a:b\nc: d\n\n", 2, map), std::nullopt);
  EXPECT_EQ(map.size(), 2u);

  EXPECT_EQ(field_debug_text("x-a", "b \"q\"\t\\"), R"(Header { name: "x-a", value: "b \"q\"\t\\" })");
  EXPECT_EQ(field_debug_text("a", "caf\xc3\xa9"), "Header { name: \"a\", value: \"caf\xc3\xa9\" }");
  EXPECT_EQ(field_debug_text("a", "\xff\x01"), "Header { name: \"a\", value: [255, 1] }");
  EXPECT_EQ(field_debug_text("a", "\xed\xa0\x80"), "Header { name: \"a\", value: [237, 160, 128] }");
}

}  // namespace
}  // namespace vantric::h1
