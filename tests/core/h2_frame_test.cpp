// The HTTP/2 frame codec: a case table per frame type, each case fed whole,
// one octet at a time and cut once at every offset, in exact-size buffers;
// CONTINUATION assembly with its flood and size limits; the preface; round
// trips from the writers to the reader; and libnghttp2 as a second
// implementation in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/h2/frame.h"
#include "core/h2/frame_reader.h"
#include "core/h2/frame_writer.h"
#include "core/http/date.h"
#include "hpack_test_util.h"

#ifdef VANTRIC_HAVE_NGHTTP2
#include <nghttp2/nghttp2.h>
#endif

namespace vantric::h2 {
namespace {

using hpack::Pseudo;
using hpack::testing::ExactBytes;
using hpack::testing::from_hex;
using hpack::testing::to_hex;
using Lines = std::vector<std::string>;

// ---- building input --------------------------------------------------------------

std::string frame(uint8_t type, uint8_t flags, uint32_t stream_id, std::string_view payload) {
  ByteBuffer out;
  append_raw_frame(out, type, flags, stream_id, payload);
  return std::string(out.view());
}

std::string u32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string setting(uint16_t id, uint32_t value) {
  return std::string{static_cast<char>(id >> 8), static_cast<char>(id)} + u32(value);
}

Settings settings_of(std::optional<bool> push, std::optional<uint32_t> initial_window_size,
                     std::optional<uint32_t> max_frame_size = {}) {
  Settings s;
  s.enable_push = push;
  s.initial_window_size = initial_window_size;
  s.max_frame_size = max_frame_size;
  return s;
}

// An HPACK literal without indexing, literal name (RFC 7541 section 6.2.2),
// for short names and values: any octets, valid or not.
std::string lit(std::string_view name, std::string_view value) {
  return std::string{'\0', static_cast<char>(name.size())} + std::string(name) +
         static_cast<char>(value.size()) + std::string(value);
}
// A literal with incremental indexing and a literal name (section 6.2.1).
std::string lit_indexed(std::string_view name, std::string_view value) {
  std::string s = lit(name, value);
  s[0] = 0x40;
  return s;
}

constexpr uint8_t D = 0, H = 1, PRI = 2, RST = 3, SET = 4, PP = 5, PING = 6, GA = 7, WU = 8, CONT = 9;
constexpr uint8_t ES = kEndStreamFlag, EH = kEndHeadersFlag, PAD = kPaddedFlag, PRIO = kPriorityFlag;

// RFC 7541 C.3.1: :method GET, :scheme http, :path /, :authority www.example.com.
const std::string kRequestBlock = from_hex("828684410f7777772e6578616d706c652e636f6d");

// ---- rendering events ------------------------------------------------------------

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string opt(const std::optional<uint32_t>& v) {
  return v ? std::to_string(*v) : "-";
}

std::string render(const FrameEvent& event) {
  struct Render {
    std::string operator()(const DataEvent& e) const {
      return "DATA " + std::to_string(e.stream_id) + (e.end_stream ? " es" : "") +
             " fcl=" + std::to_string(e.flow_controlled_len) + " pad=" + std::to_string(e.padding()) + " '" +
             printable(e.data) + "'";
    }
    std::string operator()(const HeadersEvent& e) const {
      std::string s = "HEADERS " + std::to_string(e.stream_id) + (e.end_stream ? " es" : "");
      const HeaderBlock& b = *e.block;
      for (Pseudo p :
           {Pseudo::kMethod, Pseudo::kScheme, Pseudo::kAuthority, Pseudo::kPath, Pseudo::kProtocol})
        if (auto v = b.pseudo(p)) s += " " + std::string(hpack::pseudo_name(p)) + "=" + printable(*v);
      if (b.status) s += " :status=" + std::to_string(*b.status);
      for (const http::HeaderField f : b.headers)
        s += " " + std::string(f.name) + (f.sensitive ? "!=" : "=") + printable(f.value);
      if (b.content_length) s += " cl=" + std::to_string(*b.content_length);
      if (b.content_length_invalid) s += " cl=invalid";
      return s;
    }
    std::string operator()(const PriorityEvent& e) const { return "PRIORITY " + std::to_string(e.stream_id); }
    std::string operator()(const RstStreamEvent& e) const {
      return "RST_STREAM " + std::to_string(e.stream_id) + " code=" + std::to_string(e.error_code);
    }
    std::string operator()(const SettingsEvent& e) const {
      if (e.ack) return "SETTINGS ack";
      const Settings& s = e.settings;
      return "SETTINGS hts=" + opt(s.header_table_size) +
             " push=" + (s.enable_push ? std::to_string(*s.enable_push) : "-") +
             " mcs=" + opt(s.max_concurrent_streams) + " iws=" + opt(s.initial_window_size) +
             " mfs=" + opt(s.max_frame_size) + " mhls=" + opt(s.max_header_list_size);
    }
    std::string operator()(const PingEvent& e) const {
      return std::string("PING") + (e.ack ? " ack " : " ") + printable({e.data.data(), 8});
    }
    std::string operator()(const GoAwayEvent& e) const {
      return "GOAWAY last=" + std::to_string(e.last_stream_id) + " code=" + std::to_string(e.error_code) +
             " '" + printable(e.debug_data) + "'";
    }
    std::string operator()(const WindowUpdateEvent& e) const {
      return "WINDOW_UPDATE " + std::to_string(e.stream_id) + " +" + std::to_string(e.increment);
    }
    std::string operator()(const StreamErrorEvent& e) const {
      return "STREAM_ERROR " + std::to_string(e.stream_id) + " code=" + std::to_string(e.error_code);
    }
  };
  return std::visit(Render{}, event);
}

std::string render(const Error& error) {
  const auto* e = std::get_if<ProtocolError>(&error);
  if (e == nullptr) return "ERROR (not a protocol error)";
  return "ERROR " + (e->reason ? std::to_string(*e->reason) : "None") + " " + e->message;
}

// Feeds `input` to `reader` cut at `cuts`, each piece in its own exact-size
// buffer, rendering the events of each call before the next (their views die
// with it).  Stops at the first error, which is the last line.
Lines feed(FrameReader& reader, std::string_view input, const std::vector<std::size_t>& cuts) {
  Lines out;
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t to = k < cuts.size() ? cuts[k] : input.size();
    ExactBytes piece(input.substr(from, to - from));
    std::vector<FrameEvent> events;
    const auto error = reader.receive(piece.view(), events);
    if (error) {
      EXPECT_TRUE(events.empty()) << "events kept after an error";
      out.push_back(render(*error));
      return out;
    }
    for (const FrameEvent& e : events) out.push_back(render(e));
    from = to;
  }
  return out;
}

std::vector<std::vector<std::size_t>> feedings(std::size_t n) {
  std::vector<std::vector<std::size_t>> out{{}, hpack::testing::every_octet(n)};
  for (std::size_t i = 1; i < n; ++i) out.push_back({i});
  return out;
}

std::string describe(const std::vector<std::size_t>& cuts) {
  if (cuts.empty()) return "whole";
  if (cuts.size() > 1 && cuts[1] == 2) return "byte by byte";
  return "cut at " + std::to_string(cuts[0]);
}

bool is_error(const std::string& line) {
  return line.rfind("ERROR", 0) == 0;
}

// Whole: exactly `expected`.  Cut: the same when it decodes; when it fails,
// the same error, after a prefix of the events of the frames before it (those
// delivered by the calls that ended before the failing frame did).
void expect_everywhere(const std::string& what, const std::string& input, const Lines& expected,
                       void (*configure)(FrameReader&) = nullptr, bool expect_preface = false) {
  for (const auto& cuts : feedings(input.size())) {
    SCOPED_TRACE(what + ", " + describe(cuts));
    FrameReader reader(expect_preface);
    if (configure) configure(reader);
    const Lines got = feed(reader, input, cuts);
    if (cuts.empty() || expected.empty() || !is_error(expected.back())) {
      const Lines want =
          cuts.empty() && !expected.empty() && is_error(expected.back()) ? Lines{expected.back()} : expected;
      EXPECT_EQ(got, want);
      continue;
    }
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), expected.back());
    ASSERT_LT(got.size(), expected.size() + 1);
    for (std::size_t i = 0; i + 1 < got.size(); ++i) EXPECT_EQ(got[i], expected[i]);
  }
}

struct Case {
  const char* what;
  std::string input;
  Lines expected;
};

void run_table(const std::vector<Case>& cases, void (*configure)(FrameReader&) = nullptr) {
  for (const Case& c : cases) expect_everywhere(c.what, c.input, c.expected, configure);
}

std::string load_error(const char* kind) {
  return std::string("ERROR 1 failed to load frame: ") + kind;
}

// ---- frame types -----------------------------------------------------------------

TEST(H2FrameReader, Data) {
  run_table({
      {"plain", frame(D, 0, 1, "hello"), {"DATA 1 fcl=5 pad=0 'hello'"}},
      {"END_STREAM", frame(D, ES, 3, "x"), {"DATA 3 es fcl=1 pad=0 'x'"}},
      {"empty", frame(D, ES, 1, ""), {"DATA 1 es fcl=0 pad=0 ''"}},
      {"pad length 0, no data", frame(D, PAD, 1, std::string(1, '\0')), {"DATA 1 fcl=1 pad=1 ''"}},
      {"padded",
       frame(D, PAD | ES, 1,
             "\x03"
             "abcXYZ"),
       {"DATA 1 es fcl=7 pad=4 'abc'"}},
      {"padding fills the payload",
       frame(D, PAD, 1,
             "\x02"
             "ab"),
       {"DATA 1 fcl=3 pad=3 ''"}},
      {"PADDED without pad length", frame(D, PAD, 1, ""), {load_error("TooMuchPadding")}},
      {"padding past the payload",
       frame(D, PAD, 1,
             "\x03"
             "ab"),
       {load_error("TooMuchPadding")}},
      {"stream 0", frame(D, 0, 0, "x"), {load_error("InvalidStreamId")}},
      {"reserved bit ignored", frame(D, 0, 0x80000005, "x"), {"DATA 5 fcl=1 pad=0 'x'"}},
      {"flags it does not know ignored", frame(D, 0xf6, 1, "x"), {"DATA 1 fcl=1 pad=0 'x'"}},
  });
}

TEST(H2FrameReader, Headers) {
  const std::string request = "HEADERS 1 es :method=GET :scheme=http :authority=www.example.com :path=/";
  run_table({
      {"request", frame(H, ES | EH, 1, kRequestBlock), {request}},
      {"response with fields",
       frame(H, EH, 2, "\x88" + lit("content-length", "12") + lit("x-a", "b")),
       {"HEADERS 2 :status=200 content-length=12 x-a=b cl=12"}},
      {"padded", frame(H, ES | EH | PAD, 1, "\x02" + kRequestBlock + std::string(2, '\0')), {request}},
      {"priority", frame(H, ES | EH | PRIO, 1, u32(0x80000003) + "\x10" + kRequestBlock), {request}},
      {"padded and priority",
       frame(H, ES | EH | PAD | PRIO, 1, "\x01" + u32(3) + "\x10" + kRequestBlock + std::string(1, '\0')),
       {request}},
      {"priority on itself",
       frame(H, ES | EH | PRIO, 1, u32(1) + "\x10" + kRequestBlock),
       {"STREAM_ERROR 1 code=1"}},
      {"priority on itself, exclusive",
       frame(H, EH | PRIO, 7, u32(0x80000007) + "\x10" + kRequestBlock),
       {"STREAM_ERROR 7 code=1"}},
      {"informational", frame(H, EH, 1, from_hex("48033130") + "3"), {"HEADERS 1 :status=103"}},
      {"empty block", frame(H, ES | EH, 1, ""), {"HEADERS 1 es"}},
      {"stream 0", frame(H, EH, 0, kRequestBlock), {load_error("InvalidStreamId")}},
      {"PADDED, empty payload", frame(H, EH | PAD, 1, ""), {load_error("MalformedMessage")}},
      {"padding past the payload",
       frame(H, EH | PAD, 1,
             "\x05"
             "abcd"),
       {load_error("TooMuchPadding")}},
      {"PRIORITY, 4 octets", frame(H, EH | PRIO, 1, u32(0)), {load_error("MalformedMessage")}},
      // Padding goes first: what is left is too short for the priority fields.
      {"PRIORITY fields inside the padding",
       frame(H, EH | PAD | PRIO, 1, "\x03" + u32(0) + "\x10"),
       {load_error("MalformedMessage")}},
      {"bad index", frame(H, EH, 1, "\x80"), {"ERROR 1 HPACK decoding failed: InvalidTableIndex"}},
      {"block cut short",
       frame(H, EH, 1,
             "\x41\x05"
             "ab"),
       {"ERROR 1 HPACK decoding failed: NeedMore(StringUnderflow)"}},
      // RFC 9113 sections 8.2.1 and 8.3: a field HTTP/2 does not allow makes
      // the message malformed (a stream error); the connection goes on.
      {"upper-case name", frame(H, EH, 1, lit("A", "b")), {"STREAM_ERROR 1 code=1"}},
      {"undefined pseudo-header", frame(H, EH, 1, lit(":foo", "b")), {"STREAM_ERROR 1 code=1"}},
      {"CR in :path", frame(H, EH, 1, "\x04\x03/a\r"), {"STREAM_ERROR 1 code=1"}},
      {"LF in :authority",
       frame(H, EH, 1,
             "\x01\x03"
             "a\nb"),
       {"STREAM_ERROR 1 code=1"}},
      {"NUL in :scheme", frame(H, EH, 1, std::string("\x06\x02h\0", 4)), {"STREAM_ERROR 1 code=1"}},
      {"NUL in :protocol",
       frame(H, EH, 1, std::string("\x00\x09:protocol\x01\0", 13)),
       {"STREAM_ERROR 1 code=1"}},
      {"value with a leading space", frame(H, EH, 1, lit("x-a", " b")), {"STREAM_ERROR 1 code=1"}},
      {"value with a trailing tab", frame(H, EH, 1, lit("x-a", "b\t")), {"STREAM_ERROR 1 code=1"}},
      {"space inside a value", frame(H, EH, 1, lit("x-a", "b c")), {"HEADERS 1 x-a=b c"}},
      // An invalid field the peer indexed stays in the table, so later blocks
      // stay in step, and stays invalid wherever it is referenced.
      {"invalid entries kept in the dynamic table",
       frame(H, EH, 1, lit_indexed("A", "b")) + frame(H, EH, 3, "\xbe") +
           frame(H, EH, 5,
                 "\x7e\x01"
                 "c") +
           frame(H, EH, 7, lit_indexed("x-ok", "1") + "\xbe" + "\xbf"),
       {"STREAM_ERROR 1 code=1", "STREAM_ERROR 3 code=1", "STREAM_ERROR 5 code=1", "STREAM_ERROR 7 code=1"}},
      {"a valid block after an invalid indexed one",
       frame(H, EH, 1, lit_indexed("A", "b")) + frame(H, EH, 3, lit_indexed("x-ok", "1") + "\xbe"),
       {"STREAM_ERROR 1 code=1", "HEADERS 3 x-ok=1 x-ok=1"}},
      {"UTF-8 in :path", frame(H, EH, 1, "\x04\x04/\xc3\xa9x"), {"HEADERS 1 :path=/\\xc3\\xa9x"}},
      {"connection field",
       frame(H, EH, 1, kRequestBlock + lit("connection", "close")),
       {"STREAM_ERROR 1 code=1"}},
      {"te: gzip", frame(H, EH, 1, kRequestBlock + lit("te", "gzip")), {"STREAM_ERROR 1 code=1"}},
      {"te: trailers",
       frame(H, EH, 1, "\x82" + lit("te", "trailers")),
       {"HEADERS 1 :method=GET te=trailers"}},
      {"pseudo after regular", frame(H, EH, 1, lit("a", "b") + "\x82"), {"STREAM_ERROR 1 code=1"}},
      {"repeated :path", frame(H, EH, 1, "\x84\x84"), {"STREAM_ERROR 1 code=1"}},
      {"never indexed stays sensitive",
       frame(H, EH, 1,
             "\x10\x01"
             "a\x01"
             "b"),
       {"HEADERS 1 a!=b"}},
  });
}

TEST(H2FrameReader, ContentLength) {
  struct Row {
    std::string fields;
    const char* rendered;
  };
  const Row rows[] = {
      {lit("content-length", "5"), "content-length=5 cl=5"},
      {lit("content-length", ""), "content-length= cl=0"},
      {lit("content-length", "0000000000000000042"), "content-length=0000000000000000042 cl=42"},
      {lit("content-length", "9999999999999999999"),
       "content-length=9999999999999999999 cl=9999999999999999999"},
      {lit("content-length", "10000000000000000000"), "content-length=10000000000000000000 cl=invalid"},
      {lit("content-length", "5a"), "content-length=5a cl=invalid"},
      {lit("content-length", "-1"), "content-length=-1 cl=invalid"},
      {lit("content-length", "5 6"), "content-length=5 6 cl=invalid"},
      {lit("content-length", "7") + lit("content-length", "x"), "content-length=7 content-length=x cl=7"},
      {lit("x", "y"), "x=y"},
  };
  for (const Row& row : rows)
    expect_everywhere(row.rendered, frame(H, EH, 1, row.fields), {std::string("HEADERS 1 ") + row.rendered});
}

TEST(H2FrameReader, OtherFrames) {
  run_table({
      {"PRIORITY", frame(PRI, 0, 3, u32(1) + "\x0f"), {"PRIORITY 3"}},
      {"PRIORITY on itself", frame(PRI, 0, 3, u32(0x80000003) + "\x0f"), {"STREAM_ERROR 3 code=1"}},
      {"PRIORITY on stream 0",
       frame(PRI, 0, 0, u32(1) + "\x0f"),
       {"ERROR 1 PRIORITY frame with stream ID 0"}},
      {"PRIORITY, 4 octets", frame(PRI, 0, 1, u32(3)), {load_error("InvalidPayloadLength")}},
      {"PRIORITY, 6 octets", frame(PRI, 0, 1, u32(3) + "ab"), {load_error("InvalidPayloadLength")}},
      {"RST_STREAM", frame(RST, 0, 5, u32(8)), {"RST_STREAM 5 code=8"}},
      {"RST_STREAM on stream 0", frame(RST, 0, 0, u32(1)), {"RST_STREAM 0 code=1"}},
      {"RST_STREAM, unknown code", frame(RST, 0, 1, u32(0xffffffff)), {"RST_STREAM 1 code=4294967295"}},
      {"RST_STREAM, 3 octets", frame(RST, 0, 1, "abc"), {load_error("InvalidPayloadLength")}},
      {"RST_STREAM, 5 octets", frame(RST, 0, 1, "abcde"), {load_error("InvalidPayloadLength")}},
      {"PUSH_PROMISE",
       frame(PP, EH, 1, u32(2) + kRequestBlock),
       {"ERROR 1 PUSH_PROMISE received but server push is disabled"}},
      {"PING", frame(PING, 0, 0, "abcdefgh"), {"PING abcdefgh"}},
      {"PING ACK", frame(PING, kAckFlag, 0, "abcdefgh"), {"PING ack abcdefgh"}},
      {"PING on stream 1", frame(PING, 0, 1, "abcdefgh"), {load_error("InvalidStreamId")}},
      {"PING, 7 octets", frame(PING, 0, 0, "abcdefg"), {load_error("BadFrameSize")}},
      {"PING, 9 octets", frame(PING, 0, 0, "abcdefghi"), {load_error("BadFrameSize")}},
      {"GOAWAY", frame(GA, 0, 0, u32(7) + u32(2) + "bye"), {"GOAWAY last=7 code=2 'bye'"}},
      {"GOAWAY without debug data", frame(GA, 0, 0, u32(0x80000009) + u32(0)), {"GOAWAY last=9 code=0 ''"}},
      {"GOAWAY, 7 octets", frame(GA, 0, 0, u32(1) + "abc"), {load_error("BadFrameSize")}},
      {"GOAWAY on stream 1", frame(GA, 0, 1, u32(1) + u32(0)), {load_error("InvalidStreamId")}},
      {"WINDOW_UPDATE", frame(WU, 0, 0, u32(1000)), {"WINDOW_UPDATE 0 +1000"}},
      {"WINDOW_UPDATE, reserved bit", frame(WU, 0, 5, u32(0xffffffff)), {"WINDOW_UPDATE 5 +2147483647"}},
      {"WINDOW_UPDATE of 0 on stream 5", frame(WU, 0, 5, u32(0)), {load_error("InvalidWindowUpdateValue")}},
      {"WINDOW_UPDATE of 0 on stream 0", frame(WU, 0, 0, u32(0)), {load_error("InvalidWindowUpdateValue")}},
      {"WINDOW_UPDATE, only the reserved bit",
       frame(WU, 0, 1, u32(0x80000000)),
       {load_error("InvalidWindowUpdateValue")}},
      {"WINDOW_UPDATE, 3 octets", frame(WU, 0, 0, "abc"), {load_error("BadFrameSize")}},
      {"WINDOW_UPDATE, 5 octets", frame(WU, 0, 0, u32(1) + "a"), {load_error("BadFrameSize")}},
      {"unknown type 10, then PING",
       frame(10, 0xff, 7, "whatever") + frame(PING, 0, 0, "abcdefgh"),
       {"PING abcdefgh"}},
      {"unknown type 255, empty", frame(255, 0, 0, "") + frame(WU, 0, 0, u32(1)), {"WINDOW_UPDATE 0 +1"}},
  });
}

TEST(H2FrameReader, Settings) {
  const std::string all = setting(1, 0) + setting(2, 1) + setting(3, 100) + setting(4, 2147483647) +
                          setting(5, 16777215) + setting(6, 0xffffffff);
  run_table({
      {"ACK", frame(SET, kAckFlag, 0, ""), {"SETTINGS ack"}},
      {"empty", frame(SET, 0, 0, ""), {"SETTINGS hts=- push=- mcs=- iws=- mfs=- mhls=-"}},
      {"every parameter",
       frame(SET, 0, 0, all),
       {"SETTINGS hts=0 push=1 mcs=100 iws=2147483647 mfs=16777215 mhls=4294967295"}},
      {"last one wins",
       frame(SET, 0, 0, setting(4, 1) + setting(2, 0) + setting(4, 2)),
       {"SETTINGS hts=- push=0 mcs=- iws=2 mfs=- mhls=-"}},
      {"unknown 7 and 9, ignored",
       frame(SET, 0, 0, setting(7, 99) + setting(9, 5) + setting(0, 1)),
       {"SETTINGS hts=- push=- mcs=- iws=- mfs=- mhls=-"}},
      {"ENABLE_CONNECT_PROTOCOL 1, not reported",
       frame(SET, 0, 0, setting(8, 1)),
       {"SETTINGS hts=- push=- mcs=- iws=- mfs=- mhls=-"}},
      {"smallest frame size",
       frame(SET, 0, 0, setting(5, 16384)),
       {"SETTINGS hts=- push=- mcs=- iws=- mfs=16384 mhls=-"}},
      {"ACK with 6 octets", frame(SET, kAckFlag, 0, setting(1, 1)), {load_error("InvalidPayloadLength")}},
      {"7 octets", frame(SET, 0, 0, setting(1, 1) + "x"), {load_error("InvalidPayloadAckSettings")}},
      {"on stream 1", frame(SET, 0, 1, ""), {load_error("InvalidStreamId")}},
      {"ENABLE_PUSH 2", frame(SET, 0, 0, setting(2, 2)), {load_error("InvalidSettingValue")}},
      {"INITIAL_WINDOW_SIZE 2^31",
       frame(SET, 0, 0, setting(4, 2147483648u)),
       {load_error("InvalidSettingValue")}},
      {"MAX_FRAME_SIZE 16383", frame(SET, 0, 0, setting(5, 16383)), {load_error("InvalidSettingValue")}},
      {"MAX_FRAME_SIZE 2^24", frame(SET, 0, 0, setting(5, 16777216)), {load_error("InvalidSettingValue")}},
      {"ENABLE_CONNECT_PROTOCOL 2", frame(SET, 0, 0, setting(8, 2)), {load_error("InvalidSettingValue")}},
  });
}

TEST(H2FrameReader, FrameSizeLimit) {
  const std::string at_limit = frame(D, 0, 1, std::string(16384, 'x'));
  FrameReader reader;
  std::vector<FrameEvent> events;
  ASSERT_FALSE(reader.receive(at_limit, events));
  ASSERT_EQ(events.size(), 1u);
  // The header alone is enough to refuse a frame one octet longer.
  const std::string header = frame(D, 0, 1, "").replace(0, 3, "\x00\x40\x01", 3);
  for (const auto& cuts : feedings(header.size())) {
    FrameReader r;
    EXPECT_EQ(feed(r, header, cuts), Lines{"ERROR 6 frame length exceeds SETTINGS_MAX_FRAME_SIZE"});
  }
  // After set_max_recv_frame_size the same frame passes.
  FrameReader larger;
  larger.set_max_recv_frame_size(16385);
  EXPECT_EQ(feed(larger, frame(D, 0, 1, std::string(16385, 'y')), {}).size(), 1u);
}

// The events decoded before a failing frame in the same call are dropped; the
// octets before it stay consumed and the rest stays buffered.
TEST(H2FrameReader, ErrorDropsTheCallsEvents) {
  const std::string input = frame(PING, 0, 0, "abcdefgh") + frame(D, 0, 1, "x") +
                            frame(PING, 0, 1, "abcdefgh") + frame(D, 0, 1, "tail");
  FrameReader reader;
  std::vector<FrameEvent> events;
  events.emplace_back(PriorityEvent{9});  // an earlier caller's event survives
  const auto error = reader.receive(input, events);
  ASSERT_TRUE(error);
  EXPECT_EQ(render(*error), load_error("InvalidStreamId"));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(render(events[0]), "PRIORITY 9");
  EXPECT_EQ(reader.buffered(), 13u);
}

// ---- CONTINUATION ----------------------------------------------------------------

TEST(H2FrameReader, Continuation) {
  const std::string request = "HEADERS 1 es :method=GET :scheme=http :authority=www.example.com :path=/";
  const std::string a = kRequestBlock.substr(0, 7), b = kRequestBlock.substr(7);
  run_table({
      {"split mid-representation", frame(H, ES, 1, a) + frame(CONT, EH, 1, b), {request}},
      {"one octet per frame",
       [&] {
         std::string s = frame(H, ES, 1, kRequestBlock.substr(0, 1));
         for (std::size_t i = 1; i < kRequestBlock.size(); ++i)
           s += frame(CONT, i + 1 == kRequestBlock.size() ? EH : 0, 1, kRequestBlock.substr(i, 1));
         return s;
       }(),
       {request}},
      {"empty CONTINUATION frames",
       frame(H, ES, 1, kRequestBlock) + frame(CONT, 0, 1, "") + frame(CONT, EH, 1, ""),
       {request}},
      {"END_STREAM comes from HEADERS",
       frame(H, 0, 1, a) + frame(CONT, EH | ES, 1, b),
       {"HEADERS 1 :method=GET :scheme=http :authority=www.example.com :path=/"}},
      {"then the next frame",
       frame(H, ES, 1, a) + frame(CONT, EH, 1, b) + frame(PING, 0, 0, "12345678"),
       {request, "PING 12345678"}},
      {"without a block",
       frame(CONT, EH, 1, kRequestBlock),
       {"ERROR 1 received unexpected CONTINUATION frame"}},
      {"after a complete block",
       frame(H, EH, 1, kRequestBlock) + frame(CONT, EH, 1, ""),
       {"HEADERS 1 :method=GET :scheme=http :authority=www.example.com :path=/",
        "ERROR 1 received unexpected CONTINUATION frame"}},
      {"on another stream",
       frame(H, 0, 1, a) + frame(CONT, EH, 3, b),
       {"ERROR 1 CONTINUATION frame stream ID does not match previous frame stream ID"}},
      {"on stream 0",
       frame(H, 0, 1, a) + frame(CONT, EH, 0, b),
       {"ERROR 1 CONTINUATION frame stream ID does not match previous frame stream ID"}},
      {"interleaved PING",
       frame(H, 0, 1, a) + frame(PING, 0, 0, "12345678"),
       {"ERROR 1 expected CONTINUATION frame"}},
      {"interleaved HEADERS",
       frame(H, 0, 1, a) + frame(H, EH, 3, kRequestBlock),
       {"ERROR 1 expected CONTINUATION frame"}},
      {"interleaved unknown frame",
       frame(H, 0, 1, a) + frame(0x42, 0, 1, ""),
       {"ERROR 1 expected CONTINUATION frame"}},
      {"block cut short at END_HEADERS",
       frame(H, 0, 1, a) + frame(CONT, EH, 1, ""),
       {"ERROR 1 HPACK decoding failed: NeedMore(StringUnderflow)"}},
      {"malformed across frames",
       frame(H, 0, 1, lit("connection", "x")) + frame(CONT, EH, 1, "\x82"),
       {"STREAM_ERROR 1 code=1"}},
      {"self-dependent across frames",
       frame(H, PRIO, 1, u32(1) + "\x10" + a) + frame(CONT, EH, 1, b),
       {"STREAM_ERROR 1 code=1"}},
  });
}

// A block reset for a stream error is decoded all the same: its insertions
// into the HPACK table are what the peer's next block refers to.
TEST(H2FrameReader, ResetBlocksKeepTheTableInStep) {
  const std::string next = frame(H, EH, 3, "\xbe");  // index 62: the newest entry
  run_table({
      {"malformed",
       frame(H, EH, 1, lit_indexed("connection", "x") + lit_indexed("x-kept", "1")) + next,
       {"STREAM_ERROR 1 code=1", "HEADERS 3 x-kept=1"}},
      {"self-dependent",
       frame(H, EH | PRIO, 1, u32(1) + "\x10" + lit_indexed("x-kept", "2")) + next,
       {"STREAM_ERROR 1 code=1", "HEADERS 3 x-kept=2"}},
      {"self-dependent PRIORITY frame",
       frame(PRI, 0, 1, u32(1) + std::string(1, '\0')) + frame(H, EH, 1, lit_indexed("a", "b")),
       {"STREAM_ERROR 1 code=1", "HEADERS 1 a=b"}},
  });
}

void small_limits(FrameReader& reader) {
  // m = 16384 / 16384 = 1: at most max(5, 1) = 5 CONTINUATION frames.
  reader.set_max_header_list_size(16384);
}

TEST(H2FrameReader, ContinuationFlood) {
  EXPECT_EQ(max_continuation_frames(16777216, 16384), 1280u);
  EXPECT_EQ(max_continuation_frames(16384, 16384), 5u);
  EXPECT_EQ(max_continuation_frames(0, 16384), 5u);
  EXPECT_EQ(max_continuation_frames(163840, 16384), 12u);
  EXPECT_EQ(max_continuation_frames(0xffffffff, 16384), 327678u);

  auto flood = [](int continuations, bool end) {
    std::string s = frame(H, ES, 1, kRequestBlock.substr(0, 3));
    for (int i = 0; i < continuations; ++i) s += frame(CONT, 0, 1, "");
    return s + (end ? frame(CONT, EH, 1, kRequestBlock.substr(3)) : "");
  };
  const std::string request = "HEADERS 1 es :method=GET :scheme=http :authority=www.example.com :path=/";
  run_table({{"5 open CONTINUATION frames, then the end", flood(5, true), {request}},
             {"6 open CONTINUATION frames", flood(6, false), {"ERROR 11 too_many_continuations"}}},
            small_limits);

  // The defaults: 1280 pass, the 1281st fails (whole and byte by byte).
  for (bool by_byte : {false, true}) {
    const std::string ok = flood(1280, true);
    FrameReader reader;
    EXPECT_EQ(feed(reader, ok, by_byte ? hpack::testing::every_octet(ok.size()) : std::vector<std::size_t>{}),
              Lines{request});
    const std::string bad = flood(1281, false);
    FrameReader flooded;
    EXPECT_EQ(
        feed(flooded, bad, by_byte ? hpack::testing::every_octet(bad.size()) : std::vector<std::size_t>{}),
        Lines{"ERROR 11 too_many_continuations"});
  }
  // After set_max_recv_frame_size the limit follows: 16777216 / 65536 = 256, limit 320.
  FrameReader reader;
  reader.set_max_recv_frame_size(65536);
  EXPECT_EQ(reader.max_continuation_frames(), 320u);
  EXPECT_EQ(feed(reader, flood(321, false), {}), Lines{"ERROR 11 too_many_continuations"});
}

void list_limit_100(FrameReader& reader) {
  reader.set_max_header_list_size(100);
}

TEST(H2FrameReader, HeaderListLimits) {
  // Each field "x-NN" = 40 octets counts 4 + 40 + 32 = 76.
  auto field = [](int i) { return lit("x-" + std::to_string(10 + i), std::string(40, 'v')); };
  std::string two = field(0) + field(1), six;
  for (int i = 0; i < 6; ++i) six += field(i);
  const std::string v40(40, 'v');
  run_table(
      {
          // 76 fits; 152 passes the limit of 100: the second field is dropped.
          {"over the limit", frame(H, EH, 1, two), {"HEADERS 1 x-10=" + v40}},
          // 456 passes 4 x 100.
          {"over the abuse limit",
           frame(H, EH, 1, six),
           {"ERROR 11 decoded header list size over abuse limit"}},
          {"over the abuse limit across frames",
           frame(H, 0, 1, two) + frame(CONT, 0, 1, field(2)) + frame(CONT, 0, 1, field(3)) +
               frame(CONT, 0, 1, field(4)) + frame(CONT, EH, 1, field(5)),
           {"ERROR 11 decoded header list size over abuse limit"}},
          // Marked over size, the block may grow by at most the limit per frame.
          {"over size, then a fragment past the limit",
           frame(H, 0, 1, two) + frame(CONT, EH, 1, std::string(101, '\x82')),
           {"ERROR 9 CONTINUATION frame header block size over ignorable limit"}},
          {"over size, then a fragment within it",
           frame(H, 0, 1, two) + frame(CONT, EH, 1, std::string(2, '\x90')),
           {"HEADERS 1 x-10=" + v40}},
          {"a list of exactly the limit is over it",
           frame(H, EH, 1, lit("a", std::string(67, 'w'))),
           {"HEADERS 1"}},
      },
      list_limit_100);
}

// The undecoded tail of an open block is what it holds between frames; a huge
// literal split over many frames is bounded by the CONTINUATION limit.
TEST(H2FrameReader, OpenBlockHoldsItsTail) {
  FrameReader reader;
  reader.set_max_header_list_size(16384);
  std::string value(60000, 'v');
  std::string block = std::string("\x00\x01z\x7f", 4);
  // 60000 - 127 = 59873 in 7-bit groups.
  for (uint32_t n = 60000 - 127;; n >>= 7) {
    if (n < 128) {
      block += static_cast<char>(n);
      break;
    }
    block += static_cast<char>(0x80 | (n & 0x7f));
  }
  block += value;
  std::string input = frame(H, 0, 1, block.substr(0, 16384));
  for (std::size_t at = 16384; at < block.size(); at += 16384)
    input += frame(CONT, 0, 1, block.substr(at, 16384));
  std::vector<FrameEvent> events;
  ASSERT_FALSE(reader.receive(input, events));
  EXPECT_TRUE(reader.header_block_open());
  // Three open CONTINUATION frames so far: the sixth passes the limit of 5.
  input = frame(CONT, 0, 1, "") + frame(CONT, 0, 1, "") + frame(CONT, 0, 1, "");
  const auto error = reader.receive(input, events);
  ASSERT_TRUE(error);
  EXPECT_EQ(render(*error), "ERROR 11 too_many_continuations");
}

// ---- preface --------------------------------------------------------------------

TEST(H2FrameReader, MatchPreface) {
  EXPECT_EQ(match_preface(""), Progress::kNeedMore);
  EXPECT_EQ(match_preface("PRI * HTTP/2.0\r\n"), Progress::kNeedMore);
  EXPECT_EQ(match_preface(kPreface), Progress::kDone);
  EXPECT_EQ(match_preface(std::string(kPreface) + frame(SET, 0, 0, "")), Progress::kDone);
  EXPECT_EQ(match_preface("GET / HTTP/1.1\r\n"), Progress::kFailed);
  EXPECT_EQ(match_preface("PRI * HTTP/2.0\r\n\r\nSM\r\n\r"), Progress::kNeedMore);
  EXPECT_EQ(match_preface("PRI * HTTP/2.0\r\n\r\nSM\r\n\rX"), Progress::kFailed);
}

TEST(H2FrameReader, ServerReaderTakesThePreface) {
  const std::string frames = frame(SET, 0, 0, setting(3, 100)) + frame(H, ES | EH, 1, kRequestBlock);
  const Lines expected = {"SETTINGS hts=- push=- mcs=100 iws=- mfs=- mhls=-",
                          "HEADERS 1 es :method=GET :scheme=http :authority=www.example.com :path=/"};
  expect_everywhere("preface and frames", std::string(kPreface) + frames, expected, nullptr, true);
  // One octet at a time: nothing until the 24th, then the frames of that call.
  FrameReader reader(true);
  std::vector<FrameEvent> events;
  for (char c : kPreface.substr(0, 23)) {
    ASSERT_FALSE(reader.receive(std::string_view(&c, 1), events));
    EXPECT_TRUE(events.empty());
  }
  ASSERT_FALSE(reader.receive("\n" + frames, events));
  EXPECT_EQ(events.size(), 2u);
  expect_everywhere("HTTP/1 request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
                    {"ERROR 1 bad client connection preface"}, nullptr, true);
  // A client reader takes frames at once.
  expect_everywhere("client", frames, expected);
}

TEST(H2FrameReader, FeedPrefaceAndPrime) {
  FrameReader reader;
  EXPECT_EQ(reader.feed_preface(kPreface.substr(0, 10)), Progress::kNeedMore);
  EXPECT_EQ(
      reader.feed_preface(std::string(kPreface.substr(10)) + frame(PING, 0, 0, "abcdefgh").substr(0, 4)),
      Progress::kDone);
  EXPECT_EQ(reader.buffered(), 4u);
  EXPECT_EQ(reader.feed_preface(frame(PING, 0, 0, "abcdefgh").substr(4)), Progress::kDone);
  EXPECT_EQ(feed(reader, "", {}), Lines{"PING abcdefgh"});

  // Seeded octets may hold several frames and the start of another.
  FrameReader seeded;
  const std::string pings = frame(PING, 0, 0, "abcdefgh") + frame(PING, 0, 0, "ijklmnop");
  EXPECT_EQ(seeded.feed_preface(std::string(kPreface) + pings + pings.substr(0, 5)), Progress::kDone);
  EXPECT_EQ(seeded.buffered(), pings.size() + 5);
  EXPECT_EQ(feed(seeded, pings.substr(5), {6}),
            (Lines{"PING abcdefgh", "PING ijklmnop", "PING abcdefgh", "PING ijklmnop"}));
  EXPECT_EQ(seeded.buffered(), 0u);

  FrameReader bad;
  EXPECT_EQ(bad.feed_preface("PRX"), Progress::kFailed);
  EXPECT_EQ(bad.feed_preface(kPreface), Progress::kFailed);
  EXPECT_EQ(bad.buffered(), 0u);

  FrameReader client;
  EXPECT_EQ(client.prime("anything"), Progress::kDone);
  EXPECT_EQ(client.buffered(), 8u);
  FrameReader server(true);
  EXPECT_EQ(server.prime(kPreface.substr(0, 12)), Progress::kNeedMore);
  EXPECT_EQ(server.prime(std::string(kPreface.substr(12)) + "xy"), Progress::kDone);
  EXPECT_EQ(server.buffered(), 2u);
  FrameReader http1(true);
  EXPECT_EQ(http1.prime("GET / HTTP/1.1\r\n"), Progress::kFailed);
}

// ---- a long sequence, split everywhere -------------------------------------------

TEST(H2FrameReader, SequenceAtEverySplit) {
  hpack::Encoder encoder;
  ByteBuffer out;
  out.append(kPreface);
  append_settings(out, settings_of(false, 1 << 20));
  append_frame(out, FrameType::kWindowUpdate, 0, 0, u32(983041));
  http::HeaderMap headers;
  headers.append("user-agent", "test/1.0");
  headers.append("accept", "*/*");
  const auto head = std::get<RequestHead>(build_request_head("POST", "https://h.example/up?q=1", {}, {}));
  append_request_headers(out, encoder, 1, head, &headers, false, 16384);
  append_data(out, 1, "body", false, 16384);
  append_raw_frame(out, 0x20, 0, 0, "extension");
  append_data(out, 1, "", true, 16384);
  append_ping(out, "01234567", false);
  append_request_headers(out, encoder, 3, head, &headers, true, 16384);
  const Lines expected = {
      "SETTINGS hts=- push=0 mcs=- iws=1048576 mfs=- mhls=-",
      "WINDOW_UPDATE 0 +983041",
      "HEADERS 1 :method=POST :scheme=https :authority=h.example :path=/up?q=1 user-agent=test/1.0 "
      "accept=*/*",
      "DATA 1 fcl=4 pad=0 'body'",
      "DATA 1 es fcl=0 pad=0 ''",
      "PING 01234567",
      "HEADERS 3 es :method=POST :scheme=https :authority=h.example :path=/up?q=1 user-agent=test/1.0 "
      "accept=*/*",
  };
  const std::string input(out.view());
  expect_everywhere("client connection", input, expected, nullptr, true);
  // Random cuts into many pieces.
  std::mt19937 rng(9113);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < input.size(); ++i)
      if (rng() % 7 == 0) cuts.push_back(i);
    FrameReader reader(true);
    ASSERT_EQ(feed(reader, input, cuts), expected) << round;
  }
}

// ---- writers --------------------------------------------------------------------

Lines read_back(std::string_view bytes, uint32_t max_frame_size = kDefaultMaxFrameSize) {
  FrameReader reader;
  if (max_frame_size != kDefaultMaxFrameSize) reader.set_max_recv_frame_size(max_frame_size);
  return feed(reader, bytes, {});
}

TEST(H2FrameWriter, FixedFrames) {
  ByteBuffer out;
  append_settings_ack(out);
  EXPECT_EQ(to_hex(out.view()), "000000040100000000");
  out.clear();
  ASSERT_FALSE(append_window_update(out, 3, 65535));
  EXPECT_EQ(to_hex(out.view()),
            "00000408000000000300"
            "00ffff");
  out.clear();
  ASSERT_FALSE(append_ping(out, "abcdefgh", true));
  EXPECT_EQ(to_hex(out.view()), "0000080601000000006162636465666768");
  out.clear();
  append_rst_stream(out, 0x7fffffff, 8);
  EXPECT_EQ(to_hex(out.view()), "00000403007fffffff00000008");
  out.clear();
  append_go_away(out, 5, 11, "calm");
  EXPECT_EQ(to_hex(out.view()),
            "00000c07000000000000000005"
            "0000000b"
            "63616c6d");
  out.clear();
  append_priority(out, 5, 3, true, 255);
  EXPECT_EQ(to_hex(out.view()),
            "0000050200000000058000000"
            "3ff");
  out.clear();
  ASSERT_FALSE(append_data(out, 1, "hi", true, 16384));
  EXPECT_EQ(to_hex(out.view()),
            "000002000100000001"
            "6869");

  EXPECT_EQ(append_ping(out, "1234567", false)->message, "ping payload must be exactly 8 bytes");
  EXPECT_EQ(append_window_update(out, 1, 0x80000000)->message,
            "window increment must be <= 2147483647, got 2147483648");
  const auto too_big = append_data(out, 1, std::string(16385, 'x'), false, 16384);
  ASSERT_TRUE(too_big);
  const auto& user = std::get<UserError>(*too_big);
  EXPECT_EQ(user.kind, UserErrorKind::kPayloadTooBig);
  EXPECT_EQ(user.text(), "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384");
  EXPECT_EQ(to_hex(out.view()),
            "000002000100000001"
            "6869");  // nothing appended on refusal
}

TEST(H2FrameWriter, Settings) {
  ByteBuffer out;
  ASSERT_FALSE(append_settings(out, Settings{}));
  EXPECT_EQ(to_hex(out.view()), "000000040000000000");
  out.clear();
  const Settings all{4096, true, 100, 65535, 16384, 8192, true};
  ASSERT_FALSE(append_settings(out, all));
  EXPECT_EQ(to_hex(out.view()).substr(18),
            "000100001000"
            "000200000001"
            "000300000064"
            "00040000ffff"
            "000500004000"
            "000600002000"
            "000800000001");
  // ENABLE_CONNECT_PROTOCOL is validated on receipt, not reported.
  EXPECT_EQ(read_back(out.view()), Lines{"SETTINGS hts=4096 push=1 mcs=100 iws=65535 mfs=16384 mhls=8192"});
  out.clear();
  EXPECT_EQ(append_settings(out, settings_of({}, 2147483648u))->message,
            "initial_window_size must be <= 2147483647, got 2147483648");
  EXPECT_EQ(append_settings(out, settings_of({}, {}, 16383))->message,
            "max_frame_size must be in [16384, 16777215], got 16383");
  EXPECT_EQ(append_settings(out, settings_of({}, {}, 16777216))->message,
            "max_frame_size must be in [16384, 16777215], got 16777216");
  EXPECT_TRUE(out.empty());
}

TEST(H2FrameWriter, RequestHead) {
  struct Row {
    const char* method;
    const char* target;
    std::optional<std::string_view> scheme, authority;
    const char* expected;  // rendered pseudo-headers, or the error message
  };
  const Row rows[] = {
      {"GET",
       "https://example.com/a?b#frag",
       {},
       {},
       ":method=GET :scheme=https :authority=example.com :path=/a?b"},
      {"GET",
       "HTTP://Example.com:8080",
       {},
       {},
       ":method=GET :scheme=http :authority=Example.com:8080 :path=/"},
      {"GET",
       "https://user:pw@example.com/",
       {},
       {},
       ":method=GET :scheme=https :authority=example.com :path=/"},
      {"GET", "ftp://example.com/x", "https", "ignored",
       ":method=GET :scheme=ftp :authority=example.com :path=/x"},
      {"GET", "/x?y", "https", "h:443", ":method=GET :scheme=https :authority=h:443 :path=/x?y"},
      {"OPTIONS", "*", "http", "h", ":method=OPTIONS :scheme=http :authority=h :path=*"},
      {"CONNECT", "proxy.example:443", {}, {}, ":method=CONNECT :authority=proxy.example:443"},
      {"CONNECT", "/", {}, "h:1", ":method=CONNECT :authority=h:1"},
      {"X-CUSTOM", "/", "http", "h", ":method=X-CUSTOM :scheme=http :authority=h :path=/"},
      {"G T", "/", "http", "h", "invalid method: invalid HTTP method"},
      {"", "/", "http", "h", "invalid method: invalid HTTP method"},
      {"GET", "/a b", "http", "h", "invalid url: invalid uri character"},
      {"GET", "", "http", "h", "invalid url: empty string"},
      {"GET",
       "/",
       {},
       "h",
       "request target is a bare path but the connection has no authority; pass authority=... to "
       "H2Connection or "
       "use an absolute-URL target"},
      {"GET",
       "/",
       "http",
       {},
       "request target is a bare path but the connection has no authority; pass authority=... to "
       "H2Connection or "
       "use an absolute-URL target"},
      {"CONNECT",
       "/",
       {},
       {},
       "request target is a bare path but the connection has no authority; pass authority=... to "
       "H2Connection or "
       "use an absolute-URL target"},
      {"GET", "/", "http", "bad host", "invalid authority \"bad host\": invalid uri character"},
      {"GET", "/", "ht tp", "h", "invalid scheme \"ht tp\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.method) + " " + row.target);
    const auto head = build_request_head(row.method, row.target, row.scheme, row.authority);
    if (const auto* error = std::get_if<InvalidArgument>(&head)) {
      EXPECT_EQ(error->message, row.expected);
      continue;
    }
    std::string rendered;
    for (const hpack::Field& f : std::get<RequestHead>(head).pseudo())
      rendered += (rendered.empty() ? "" : " ") + std::string(f.name) + "=" + std::string(f.value);
    EXPECT_EQ(rendered, row.expected);
  }
}

TEST(H2FrameWriter, ResponseHeadAndTrailers) {
  hpack::Encoder encoder;
  ByteBuffer out;
  http::HeaderMap headers;
  headers.append("content-type", "text/plain");
  ASSERT_FALSE(append_response_headers(out, encoder, 1, 200, &headers, false, true, 16384));
  http::HeaderMap trailers;
  trailers.append("grpc-status", "0");
  append_trailers(out, encoder, 1, trailers, 16384);
  FrameReader reader;
  const Lines lines = feed(reader, out.view(), {});
  ASSERT_EQ(lines.size(), 2u);
  const std::string date(http::thread_date_cache().current());
  // The date may have moved on by a second between the two reads.
  EXPECT_EQ(lines[0].substr(0, 57),
            "HEADERS 1 :status=200 content-type=text/plain date=" + date.substr(0, 6));
  EXPECT_EQ(lines[0].size(), 51 + 29u);
  EXPECT_EQ(lines[1], "HEADERS 1 es grpc-status=0");

  // A date of the caller's own suppresses auto_date; no headers at all is fine.
  out.clear();
  headers.append("date", "yesterday");
  ASSERT_FALSE(append_response_headers(out, encoder, 3, 304, &headers, true, true, 16384));
  ASSERT_FALSE(append_response_headers(out, encoder, 5, 100, nullptr, false, false, 16384));
  EXPECT_EQ(
      feed(reader, out.view(), {}),
      (Lines{"HEADERS 3 es :status=304 content-type=text/plain date=yesterday", "HEADERS 5 :status=100"}));
  for (uint32_t bad : {0u, 99u, 1000u, 65535u})
    EXPECT_EQ(append_response_headers(out, encoder, 1, bad, nullptr, false, false, 16384)->message,
              "invalid status: " + std::to_string(bad));
}

// A block past the frame size goes out as HEADERS + CONTINUATION frames of
// exactly the send max frame size, the last one with END_HEADERS.
TEST(H2FrameWriter, HeaderBlockSplit) {
  for (uint32_t max : {16384u, 20000u}) {
    for (std::size_t total : {100u, 16384u, 16385u, 50000u, 100000u}) {
      SCOPED_TRACE(std::to_string(max) + " / " + std::to_string(total));
      hpack::Encoder encoder, twin;
      ByteBuffer block;
      http::HeaderMap headers;
      // Sensitive fields are never indexed, so the block size is predictable.
      const std::string value(total < 60 ? 1 : total - 60, 'v');
      headers.append("x-big", value, true);
      headers.append("x-big", "second", true);
      append_trailers(block, encoder, 7, headers, max);
      // The same block encoded once, unframed, for the sizes.
      ByteBuffer raw;
      twin.begin_block(raw);
      twin.encode_field({"x-big", value, Pseudo::kNone, true}, raw);
      twin.encode_field({"", "second", Pseudo::kNone, true}, raw);
      const std::size_t size = raw.size();
      std::string_view wire = block.view();
      std::string reassembled;
      std::size_t frames = 0;
      while (!wire.empty()) {
        const FrameHeader h = decode_frame_header(wire.data());
        const bool last = h.length + kFrameHeaderLength == wire.size();
        EXPECT_EQ(h.type, frames == 0 ? 1 : 9);
        EXPECT_EQ(h.stream_id, 7u);
        EXPECT_EQ(h.flags & kEndHeadersFlag, last ? kEndHeadersFlag : 0);
        EXPECT_EQ(h.flags & kEndStreamFlag, frames == 0 ? kEndStreamFlag : 0);
        if (!last) {
          EXPECT_EQ(h.length, max);
        }
        reassembled += wire.substr(kFrameHeaderLength, h.length);
        wire.remove_prefix(kFrameHeaderLength + h.length);
        ++frames;
      }
      EXPECT_EQ(reassembled, raw.view());
      EXPECT_EQ(frames, (size + max - 1) / max);
      EXPECT_EQ(read_back(block.view(), max), Lines{"HEADERS 7 es x-big!=" + value + " x-big!=second"});
    }
  }
}

// Field order, repeated names and sensitivity survive the trip through our
// writer and reader, over many blocks sharing one HPACK context.
TEST(H2FrameWriter, RoundTripManyBlocks) {
  std::mt19937 rng(7541);
  hpack::Encoder encoder;
  ByteBuffer out;
  Lines expected;
  const char* names[] = {"accept", "cookie", "x-trace", "set-cookie", "user-agent", "x-a", "authorization"};
  for (uint32_t sid = 1; sid < 400; sid += 2) {
    http::HeaderMap headers;
    std::string rendered = "HEADERS " + std::to_string(sid) + " :status=200";
    std::map<std::string, std::vector<std::pair<std::string, bool>>> by_name;
    std::vector<std::string> order;
    for (int i = 0, n = static_cast<int>(rng() % 8); i < n; ++i) {
      const std::string name = names[rng() % 7];
      const std::string value = "v" + std::to_string(rng() % 5) + std::string(rng() % 3 * 40, 'x');
      const bool sensitive = rng() % 4 == 0;
      headers.append(name, value, sensitive);
      if (!by_name.count(name)) order.push_back(name);
      by_name[name].emplace_back(value, sensitive);
    }
    for (const std::string& name : order)
      for (const auto& [value, sensitive] : by_name[name])
        rendered += " " + name + (sensitive ? "!=" : "=") + value;
    ASSERT_FALSE(append_response_headers(out, encoder, sid, 200, &headers, false, false, 16384));
    expected.push_back(rendered);
  }
  EXPECT_EQ(read_back(out.view()), expected);
}

// ---- libnghttp2 as the other end ---------------------------------------------------

#ifdef VANTRIC_HAVE_NGHTTP2

// What an nghttp2 session received: per stream, its header fields in order
// and its data.
struct NgPeer {
  std::map<int32_t, std::vector<std::pair<std::string, std::string>>> fields;
  std::map<int32_t, std::string> data;
  std::map<int32_t, bool> ended;
  std::vector<std::string> frames;  // type names in order, of frames received

  static int on_header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t namelen,
                       const uint8_t* value, size_t valuelen, uint8_t, void* user) {
    static_cast<NgPeer*>(user)->fields[frame->hd.stream_id].emplace_back(
        std::string(reinterpret_cast<const char*>(name), namelen),
        std::string(reinterpret_cast<const char*>(value), valuelen));
    return 0;
  }
  static int on_data(nghttp2_session*, uint8_t, int32_t stream_id, const uint8_t* data, size_t len,
                     void* user) {
    static_cast<NgPeer*>(user)->data[stream_id].append(reinterpret_cast<const char*>(data), len);
    return 0;
  }
  static int on_frame(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    auto* self = static_cast<NgPeer*>(user);
    self->frames.push_back(std::to_string(frame->hd.type));
    if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM &&
        (frame->hd.type == NGHTTP2_DATA || frame->hd.type == NGHTTP2_HEADERS))
      self->ended[frame->hd.stream_id] = true;
    return 0;
  }

  nghttp2_session* make(bool server) {
    nghttp2_session_callbacks* callbacks;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, on_header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, on_data);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, on_frame);
    nghttp2_session* session = nullptr;
    if (server)
      nghttp2_session_server_new(&session, callbacks, this);
    else
      nghttp2_session_client_new(&session, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
    return session;
  }
};

std::string drain(nghttp2_session* session) {
  std::string out;
  for (;;) {
    const uint8_t* data = nullptr;
    const ssize_t n = nghttp2_session_mem_send(session, &data);
    if (n <= 0) break;
    out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
  }
  return out;
}

// Our frames to an nghttp2 server: preface, SETTINGS, requests with large
// header blocks (CONTINUATION), DATA and trailers.
TEST(H2FrameNghttp2, OurFramesParseThere) {
  NgPeer peer;
  nghttp2_session* session = peer.make(true);
  hpack::Encoder encoder;
  ByteBuffer out;
  out.append(kPreface);
  append_settings(out, settings_of(false, 1 << 20));
  std::map<int32_t, std::vector<std::pair<std::string, std::string>>> expected;
  std::mt19937 rng(2);
  for (uint32_t sid = 1; sid <= 21; sid += 2) {
    http::HeaderMap headers;
    auto& fields = expected[static_cast<int32_t>(sid)];
    fields = {{":method", "POST"},
              {":scheme", "https"},
              {":authority", "example.org"},
              {":path", "/s/" + std::to_string(sid)}};
    for (int i = 0; i < 6; ++i) {
      const std::string name = "x-f" + std::to_string(rng() % 4);
      const std::string value(sid == 11 && i == 0 ? 40000 : rng() % 100, static_cast<char>('a' + i));
      headers.append(name, value, i == 2);
    }
    for (const http::HeaderField f : headers) fields.emplace_back(f.name, f.value);
    const std::string target = "/s/" + std::to_string(sid);  // the head views it
    const auto head = std::get<RequestHead>(build_request_head("POST", target, "https", "example.org"));
    append_request_headers(out, encoder, sid, head, &headers, false, 16384);
    append_data(out, sid, "payload of " + std::to_string(sid), false, 16384);
    http::HeaderMap trailers;
    trailers.append("x-checksum", std::to_string(sid));
    append_trailers(out, encoder, sid, trailers, 16384);
    fields.emplace_back("x-checksum", std::to_string(sid));
  }
  const ssize_t consumed =
      nghttp2_session_mem_recv(session, reinterpret_cast<const uint8_t*>(out.data()), out.size());
  EXPECT_EQ(consumed, static_cast<ssize_t>(out.size()));
  EXPECT_EQ(peer.fields, expected);
  for (uint32_t sid = 1; sid <= 21; sid += 2) {
    EXPECT_EQ(peer.data[static_cast<int32_t>(sid)], "payload of " + std::to_string(sid));
    EXPECT_TRUE(peer.ended[static_cast<int32_t>(sid)]);
  }
  // nghttp2 answers our SETTINGS and takes no offence: no GOAWAY among its frames.
  const std::string reply = drain(session);
  FrameReader reader;
  const Lines lines = feed(reader, reply, {});
  for (const std::string& line : lines) EXPECT_EQ(line.find("GOAWAY"), std::string::npos) << line;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "SETTINGS ack"), lines.end());
  nghttp2_session_del(session);
}

nghttp2_nv nv(const std::string& name, const std::string& value, uint8_t flags = NGHTTP2_NV_FLAG_NONE) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(), flags};
}

struct Body {
  std::string data;
  std::size_t at = 0;
  static ssize_t read(nghttp2_session*, int32_t, uint8_t* buf, size_t length, uint32_t* flags,
                      nghttp2_data_source* source, void*) {
    auto* self = static_cast<Body*>(source->ptr);
    const std::size_t n = std::min(length, self->data.size() - self->at);
    std::memcpy(buf, self->data.data() + self->at, n);
    self->at += n;
    if (self->at == self->data.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
  }
};

// nghttp2's client frames to our server reader, whole and in random pieces.
TEST(H2FrameNghttp2, TheirFramesDecodeHere) {
  NgPeer unused;
  nghttp2_session* session = unused.make(false);
  nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
                                       {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 1 << 20},
                                       {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 77}};
  nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, 3);
  Lines expected = {"SETTINGS hts=- push=0 mcs=77 iws=1048576 mfs=- mhls=-"};
  std::vector<Body> bodies(8);
  std::mt19937 rng(3);
  for (int i = 0; i < 8; ++i) {
    std::vector<std::string> strings = {
        ":method",    i % 2 ? "POST" : "GET", ":scheme", "https",
        ":authority", "example.net",          ":path",   "/item/" + std::to_string(i)};
    std::string rendered =
        " :method=" + strings[1] + " :scheme=https :authority=example.net :path=" + strings[7];
    for (int k = 0; k < 5; ++k) {
      const std::string name = "x-h" + std::to_string(k);
      const std::string value(i == 5 && k == 1 ? 30000 : rng() % 200, static_cast<char>('A' + k));
      strings.push_back(name);
      strings.push_back(value);
      rendered += " " + name + (k == 3 ? "!=" : "=") + value;
    }
    std::vector<nghttp2_nv> nva;
    for (std::size_t k = 0; k < strings.size(); k += 2)
      nva.push_back(
          nv(strings[k], strings[k + 1], k == 8 + 2 * 3 ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE));
    int32_t sid;
    if (i % 2) {
      bodies[i].data = std::string(1000 + 3000 * i, static_cast<char>('0' + i));
      nghttp2_data_provider provider{};
      provider.source.ptr = &bodies[i];
      provider.read_callback = Body::read;
      sid = nghttp2_submit_request(session, nullptr, nva.data(), nva.size(), &provider, nullptr);
    } else {
      sid = nghttp2_submit_request(session, nullptr, nva.data(), nva.size(), nullptr, nullptr);
    }
    expected.push_back("HEADERS " + std::to_string(sid) + (i % 2 ? "" : " es") + rendered);
  }
  const std::string wire = drain(session);
  nghttp2_session_del(session);
  // The DATA frames come after the HEADERS; collect their payloads per stream.
  FrameReader reader(true);
  const Lines got = feed(reader, wire, {});
  Lines headers;
  std::map<uint32_t, std::string> data;
  std::map<uint32_t, bool> ended;
  for (const std::string& line : got) {
    if (line.rfind("DATA ", 0) == 0) continue;
    headers.push_back(line);
  }
  ASSERT_GE(headers.size(), expected.size());
  EXPECT_EQ(Lines(headers.begin(), headers.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
  // And the payloads, through the events themselves.
  FrameReader again(true);
  std::vector<FrameEvent> events;
  ExactBytes copy(wire);
  ASSERT_FALSE(again.receive(copy.view(), events));
  for (const FrameEvent& e : events)
    if (const auto* d = std::get_if<DataEvent>(&e)) {
      data[d->stream_id] += d->data;
      ended[d->stream_id] = ended[d->stream_id] || d->end_stream;
    }
  for (int i = 1; i < 8; i += 2) {
    const uint32_t sid = static_cast<uint32_t>(2 * i + 1);
    EXPECT_EQ(data[sid], bodies[i].data) << sid;
    EXPECT_TRUE(ended[sid]);
  }
  // In random pieces: the same lines.
  for (int round = 0; round < 20; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < wire.size(); ++i)
      if (rng() % 500 == 0) cuts.push_back(i);
    FrameReader pieces(true);
    EXPECT_EQ(feed(pieces, wire, cuts), got);
  }
}

#endif  // VANTRIC_HAVE_NGHTTP2

}  // namespace
}  // namespace vantric::h2
