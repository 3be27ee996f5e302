// The reading half of the HTTP/2 frame codec: connection bytes in, frame
// events out (RFC 9113 sections 3.4, 4, 6 and 8.2).
//
// One reader per connection.  It splits frames off the input, validates each
// frame type, assembles header blocks across CONTINUATION frames while the
// HPACK decoder consumes them fragment by fragment, and reports every defect
// as the connection error the protocol asks for.  It knows nothing of streams:
// which stream may receive what is the connection state's business.  No lock,
// no I/O: the owner serialises calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/byte_buffer.h"
#include "core/h2/constants.h"
#include "core/h2/error.h"
#include "core/h2/frame.h"
#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/field.h"
#include "core/h2/hpack/header_list.h"
#include "core/http/header_map.h"

namespace vantric::h2 {

// The decoded fields of one complete header block: the pseudo-header fields
// (RFC 9113 section 8.3) and the regular fields, with the facts the
// connection state reads from them.
class HeaderBlock {
 public:
  // The value of a pseudo-header field other than :status, if the block had
  // it.  Valid UTF-8 without NUL, CR or LF (:method a method token).  The view
  // lives as long as the block.
  std::optional<std::string_view> pseudo(hpack::Pseudo which) const noexcept;

  // :status, when present (three digits, 100 to 999).
  std::optional<uint16_t> status;
  // The regular fields, in arrival order.
  http::HeaderMap headers;
  // The first content-length value when it is 1 to 19 digits (an empty value
  // counts as 0); content_length_invalid when it is anything else.
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
  // The list passed our SETTINGS_MAX_HEADER_LIST_SIZE: the fields past it were
  // dropped (RFC 9113 section 10.5.1), so the block is not the whole message.
  bool over_size = false;

  // A 1xx response head.
  bool is_informational() const noexcept { return status && *status >= 100 && *status <= 199; }

  // Keeps a pseudo-header value (each at most once; :status through `status`).
  void set_pseudo(hpack::Pseudo which, std::string_view value);
  // Sets content_length and content_length_invalid from `headers`.
  void read_content_length() noexcept;

 private:
  struct Span {
    uint32_t offset = 0;
    uint32_t size = 0;
    bool present = false;
  };
  // :authority, :method, :scheme, :path, :protocol, by Pseudo - 1.
  std::array<Span, 5> spans_{};
  std::string octets_;  // the values back to back
};

// ---- events ------------------------------------------------------------------------
//
// Views in events point into the input of the receive() call that produced
// them or into the reader's buffers: they are valid until the next non-const
// call on the reader, and no longer than that input.

struct DataEvent {
  uint32_t stream_id;
  uint32_t flow_controlled_len;  // the whole payload: data, padding, pad-length octet
  std::string_view data;         // without padding
  bool end_stream;

  uint32_t padding() const noexcept { return flow_controlled_len - static_cast<uint32_t>(data.size()); }
};

// A complete header block, from a HEADERS frame and its CONTINUATION frames.
struct HeadersEvent {
  uint32_t stream_id;
  bool end_stream;  // the flag of the HEADERS frame that opened the block
  std::unique_ptr<HeaderBlock> block;
};

struct PriorityEvent {
  uint32_t stream_id;
};

struct RstStreamEvent {
  uint32_t stream_id;  // 0 too: the connection state judges it
  uint32_t error_code;
};

struct SettingsEvent {
  bool ack;
  Settings settings;  // empty for an ACK
};

struct PingEvent {
  bool ack;
  std::array<char, 8> data;
};

struct GoAwayEvent {
  uint32_t last_stream_id;
  uint32_t error_code;
  std::string_view debug_data;
};

struct WindowUpdateEvent {
  uint32_t stream_id;
  uint32_t increment;  // 1 to 2^31 - 1
};

// A stream-level violation found while decoding: the stream must be reset
// with `error_code`; the connection survives.
struct StreamErrorEvent {
  uint32_t stream_id;
  uint32_t error_code;
};

using FrameEvent = std::variant<DataEvent, HeadersEvent, PriorityEvent, RstStreamEvent, SettingsEvent,
                                PingEvent, GoAwayEvent, WindowUpdateEvent, StreamErrorEvent>;

// The frame defects reported as "failed to load frame: " + name.
enum class FrameDefect : uint8_t {
  kBadFrameSize,
  kTooMuchPadding,
  kInvalidSettingValue,
  kInvalidWindowUpdateValue,
  kInvalidPayloadLength,
  kInvalidPayloadAckSettings,
  kInvalidStreamId,
  kMalformedMessage,
  kHeaderListWayTooLarge,
  kInvalidDependencyId,
};

std::string_view frame_defect_name(FrameDefect defect) noexcept;

class FrameReader {
 public:
  // `expect_preface`: the reader of a server connection, which takes the
  // client preface (RFC 9113 section 3.4) before the first frame.
  explicit FrameReader(bool expect_preface = false);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Decodes every complete frame of the buffered bytes followed by `data`,
  // appending one event per frame that has one to `events` (unknown frame
  // types and the parts of an unfinished header block have none).  The bytes
  // of an unfinished frame stay buffered.  A reader that expects the preface
  // matches it first: nothing is decoded before it is complete.
  //
  // On a connection error (an h2::ProtocolError with reason and message)
  // decoding stops: the events this call appended are removed, the frames
  // split off before the failing one, and that one, stay consumed, and the
  // remaining input is buffered.  The reader is then of no further use.
  // Throws std::bad_alloc.
  std::optional<Error> receive(std::string_view data, std::vector<FrameEvent>& events);

  // Matches the client preface across calls (whatever `expect_preface`): the
  // octets so far are compared with it; once 24 agree, whatever follows in
  // `data` is buffered for receive() and later calls buffer all their input
  // (kDone).  A mismatch is final: the octets are dropped and every later
  // call answers kFailed.  Throws std::bad_alloc.
  Progress feed_preface(std::string_view data);

  // Seeds the reader with octets another reader took off the transport:
  // feed_preface() while a preface is expected and not yet complete,
  // otherwise the octets are buffered (kDone).  Decodes nothing.
  Progress prime(std::string_view data);

  bool preface_done() const noexcept { return preface_matched_ == kPreface.size(); }
  // Octets held awaiting a complete frame.
  std::size_t buffered() const noexcept { return read_.size() + primed_.size(); }
  bool header_block_open() const noexcept { return open_.has_value(); }

  // Our SETTINGS_MAX_FRAME_SIZE (is_valid_max_frame_size); recomputes the
  // CONTINUATION limit.
  void set_max_recv_frame_size(uint32_t size);
  // Our SETTINGS_MAX_HEADER_LIST_SIZE, for blocks opened from now on;
  // recomputes the CONTINUATION limit.
  void set_max_header_list_size(uint32_t size) noexcept;
  // Our SETTINGS_HEADER_TABLE_SIZE, once acknowledged: the largest table the
  // peer may use from its next header block (hpack::Decoder).
  void set_header_table_size(uint32_t size) noexcept { hpack_.set_header_table_size(size); }

  uint32_t max_recv_frame_size() const noexcept { return max_recv_frame_size_; }
  uint32_t max_header_list_size() const noexcept { return max_header_list_size_; }
  uint32_t max_continuation_frames() const noexcept { return max_continuation_frames_; }
  const hpack::Decoder& hpack_decoder() const noexcept { return hpack_; }

  // The default SETTINGS_MAX_HEADER_LIST_SIZE applied before ours is
  // acknowledged.
  static constexpr uint32_t kDefaultMaxHeaderListSize = 16u << 20;

 private:
  // Stores the fields that pass the header-list step into a HeaderBlock.
  class BlockStore final : public hpack::FieldStore {
   public:
    explicit BlockStore(HeaderBlock* block) : block_(block) {}
    bool store(const hpack::Field& field) override;

   private:
    HeaderBlock* block_;
  };

  // The header block being received: from a HEADERS frame without
  // END_HEADERS to the CONTINUATION frame that ends it.
  struct OpenBlock {
    OpenBlock(uint32_t stream_id, bool end_stream, bool self_dependent, uint32_t max_header_list_size);

    uint32_t stream_id;
    bool end_stream;
    bool self_dependent;  // PRIORITY on itself: reset instead of delivering it
    uint32_t continuations = 0;
    std::unique_ptr<HeaderBlock> block;
    BlockStore store;
    hpack::HeaderListStep step;
    std::string tail;  // the undecoded end of the fragments so far
  };

  std::optional<Error> decode(std::string_view input, std::vector<FrameEvent>& events);
  std::optional<Error> handle_frame(const FrameHeader& header, std::string_view payload,
                                    std::vector<FrameEvent>& events);
  std::optional<Error> on_data(const FrameHeader& header, std::string_view payload,
                               std::vector<FrameEvent>& events);
  std::optional<Error> on_headers(const FrameHeader& header, std::string_view payload,
                                  std::vector<FrameEvent>& events);
  std::optional<Error> on_continuation(const FrameHeader& header, std::string_view payload,
                                       std::vector<FrameEvent>& events);
  std::optional<Error> on_settings(const FrameHeader& header, std::string_view payload,
                                   std::vector<FrameEvent>& events);
  std::optional<Error> decode_fragment(std::string_view fragment, bool end_headers,
                                       std::vector<FrameEvent>& events);
  // The octets of `data` that the preface takes (all of them while it is
  // incomplete); updates the match state.
  std::size_t consume_preface(std::string_view data) noexcept;

  ByteBuffer read_;          // the start of an unfinished frame
  ByteBuffer spent_;         // the last frame completed in read_, kept while its views live
  ByteBuffer primed_;        // octets seeded by prime() or feed_preface(), not yet decoded
  ByteBuffer primed_input_;  // the seeded octets of the last receive(), kept while its views live
  std::optional<OpenBlock> open_;
  hpack::Decoder hpack_;
  uint32_t max_recv_frame_size_ = kDefaultMaxFrameSize;
  uint32_t max_header_list_size_ = kDefaultMaxHeaderListSize;
  uint32_t max_continuation_frames_;
  std::size_t preface_matched_ = 0;  // octets of the preface seen so far
  bool preface_failed_ = false;
  bool expect_preface_;
};

}  // namespace vantric::h2
