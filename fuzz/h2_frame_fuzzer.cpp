// Fuzzes the HTTP/2 frame reader: connection bytes in, frame events or the
// connection error out.
//
// Input: one configuration octet, then the connection bytes.  The
// configuration picks whether the reader expects the client preface (bit 0),
// its SETTINGS_MAX_HEADER_LIST_SIZE (bits 1-2: default, 100, 4096, 65536),
// its SETTINGS_MAX_FRAME_SIZE (bit 3: 16384 or 65536) and the piece length
// of the split feeding (bits 4-7: 0 means one octet).
//
// Properties: every call ends in events or a ProtocolError whose reason is an
// HTTP/2 error code, never a crash, a hang or unbounded memory (the reader
// buffers at most one unfinished frame, and an open header block at most the
// CONTINUATION limit's worth of fragments); feeding the bytes whole and in
// pieces gives the same events and the same error (events already delivered
// before the failing piece excepted); every event keeps its invariants: DATA
// padding within its frame, header names and values that pass the field rules,
// a content-length that is 1 to 19 digits, SETTINGS values within their ranges.
// The fields of every header block come back unchanged through the writer.
//
// Seeds in corpus/h2_frame: client and server frame sequences recorded from
// nghttp and nghttpd, and sequences written by the writer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/frame_writer.h"
#include "core/http/field_rules.h"
#include "core/http/utf8.h"

namespace {

using namespace vantric;
using namespace vantric::h2;

void require(bool ok) {
  if (!ok) std::abort();
}

std::string render(const FrameEvent& event) {
  struct Render {
    std::string operator()(const DataEvent& e) const {
      require(e.data.size() <= e.flow_controlled_len && e.flow_controlled_len <= kMaxMaxFrameSize);
      require(e.stream_id != 0 && e.stream_id <= kMaxStreamId);
      return "D" + std::to_string(e.stream_id) + (e.end_stream ? "e" : "") +
             std::to_string(e.flow_controlled_len) + ":" + std::string(e.data);
    }
    std::string operator()(const HeadersEvent& e) const {
      const HeaderBlock& b = *e.block;
      std::string s = "H" + std::to_string(e.stream_id) + (e.end_stream ? "e" : "");
      for (auto p : {hpack::Pseudo::kMethod, hpack::Pseudo::kScheme, hpack::Pseudo::kAuthority,
                     hpack::Pseudo::kPath, hpack::Pseudo::kProtocol})
        if (auto v = b.pseudo(p)) {
          require(http::is_valid_utf8(*v) &&
                  v->find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos);
          s += "|" + std::string(hpack::pseudo_name(p)) + "=" + std::string(*v);
        }
      if (b.status) {
        require(*b.status >= 100 && *b.status <= 999);
        s += "|s" + std::to_string(*b.status);
      }
      for (const http::HeaderField f : b.headers) {
        require(http::is_valid_lowercase_header_name(f.name) && http::is_valid_header_value(f.value));
        s += "|" + std::string(f.name) + (f.sensitive ? "!" : "=") + std::string(f.value);
      }
      require(!(b.content_length && b.content_length_invalid));
      if (b.content_length) s += "|cl" + std::to_string(*b.content_length);
      return s;
    }
    std::string operator()(const PriorityEvent& e) const { return "P" + std::to_string(e.stream_id); }
    std::string operator()(const RstStreamEvent& e) const {
      return "R" + std::to_string(e.stream_id) + "/" + std::to_string(e.error_code);
    }
    std::string operator()(const SettingsEvent& e) const {
      const Settings& s = e.settings;
      if (e.ack) require(s == Settings{});
      require(!s.initial_window_size || *s.initial_window_size <= kMaxWindowSize);
      require(!s.max_frame_size || is_valid_max_frame_size(*s.max_frame_size));
      auto o = [](const std::optional<uint32_t>& v) { return v ? std::to_string(*v) : "-"; };
      return std::string("S") + (e.ack ? "a" : "") + o(s.header_table_size) + "," +
             (s.enable_push ? std::to_string(*s.enable_push) : "-") + "," + o(s.max_concurrent_streams) +
             "," + o(s.initial_window_size) + "," + o(s.max_frame_size) + "," + o(s.max_header_list_size);
    }
    std::string operator()(const PingEvent& e) const {
      return std::string("I") + (e.ack ? "a" : "") + std::string(e.data.data(), 8);
    }
    std::string operator()(const GoAwayEvent& e) const {
      require(e.last_stream_id <= kMaxStreamId);
      return "G" + std::to_string(e.last_stream_id) + "/" + std::to_string(e.error_code) +
             std::string(e.debug_data);
    }
    std::string operator()(const WindowUpdateEvent& e) const {
      require(e.increment >= 1 && e.increment <= kMaxWindowSize);
      return "W" + std::to_string(e.stream_id) + "+" + std::to_string(e.increment);
    }
    std::string operator()(const StreamErrorEvent& e) const {
      require(e.error_code == 1);
      return "E" + std::to_string(e.stream_id);
    }
  };
  return std::visit(Render{}, event);
}

struct Run {
  std::vector<std::string> events;
  std::string error;  // empty when every call succeeded
};

// Feeds `input` in pieces of `piece` octets (all of it when 0), each in its own
// heap block, rendering the events of each call before the next.
Run feed(uint8_t config, std::string_view input, std::size_t piece) {
  FrameReader reader(config & 1);
  static constexpr uint32_t kListSizes[] = {FrameReader::kDefaultMaxHeaderListSize, 100, 4096, 65536};
  reader.set_max_header_list_size(kListSizes[(config >> 1) & 3]);
  if (config & 8) reader.set_max_recv_frame_size(65536);
  Run run;
  std::vector<FrameEvent> events;
  for (std::size_t at = 0; at < input.size() || at == 0;) {
    const std::size_t n = piece == 0 ? input.size() : std::min(piece, input.size() - at);
    std::string copy(input.substr(at, n));
    events.clear();
    const auto error = reader.receive(copy, events);
    if (error) {
      const auto* protocol = std::get_if<ProtocolError>(&*error);
      require(protocol != nullptr && protocol->reason && *protocol->reason <= 13 && events.empty());
      run.error = std::to_string(*protocol->reason) + " " + protocol->message;
      return run;
    }
    for (const FrameEvent& e : events) run.events.push_back(render(e));
    // At most one unfinished frame stays buffered.
    require(reader.buffered() < kFrameHeaderLength + reader.max_recv_frame_size());
    at += n;
    if (n == 0) break;
  }
  return run;
}

std::string render_fields(const http::HeaderMap& map) {
  std::string s;
  for (const http::HeaderField f : map)
    s += std::string(f.name) + (f.sensitive ? "!" : "=") + std::string(f.value) + "|";
  return s;
}

// The regular fields of each header block, sensitivity included, survive
// our writer and a second reader.
void round_trip(uint8_t config, std::string_view input) {
  FrameReader reader(config & 1);
  std::string copy(input);
  std::vector<FrameEvent> events;
  if (reader.receive(copy, events)) return;
  hpack::Encoder encoder;
  ByteBuffer out;
  std::vector<std::string> expected;
  for (const FrameEvent& e : events) {
    if (const auto* headers = std::get_if<HeadersEvent>(&e)) {
      append_trailers(out, encoder, headers->stream_id, headers->block->headers, kDefaultMaxFrameSize);
      expected.push_back(render_fields(headers->block->headers));
    }
  }
  FrameReader again;
  std::vector<FrameEvent> back;
  require(!again.receive(out.view(), back) && back.size() == expected.size());
  for (std::size_t i = 0; i < back.size(); ++i)
    require(render_fields(std::get<HeadersEvent>(back[i]).block->headers) == expected[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t config = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Run whole = feed(config, input, 0);
  const std::size_t piece = config >> 4;
  const Run split = feed(config, input, piece == 0 ? 1 : piece);
  require(whole.error == split.error);
  if (whole.error.empty()) {
    require(whole.events == split.events);
    round_trip(config, input);
  } else {
    // A failing call delivers nothing: fed whole, the input delivers nothing.
    require(whole.events.empty());
  }
  return 0;
}
