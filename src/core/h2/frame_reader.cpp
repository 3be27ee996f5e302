#include "core/h2/frame_reader.h"

#include <algorithm>
#include <utility>

#include "core/invariant.h"

namespace vantric::h2 {

namespace {

constexpr std::array<std::string_view, 10> kDefectNames = {
    "BadFrameSize",          "TooMuchPadding",
    "InvalidSettingValue",   "InvalidWindowUpdateValue",
    "InvalidPayloadLength",  "InvalidPayloadAckSettings",
    "InvalidStreamId",       "MalformedMessage",
    "HeaderListWayTooLarge", "InvalidDependencyId",
};

Error protocol_error(Reason reason, std::string message) {
  return ProtocolError{code(reason), std::move(message)};
}

Error defect(FrameDefect which) {
  return protocol_error(Reason::kProtocolError,
                        "failed to load frame: " + std::string(frame_defect_name(which)));
}

uint16_t load_u16(const char* p) noexcept {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(u[0] << 8 | u[1]);
}

// Removes the pad-length octet and the padding of a PADDED frame (RFC 9113
// sections 6.1 and 6.2): "If the length of the padding is the length of the
// frame payload or greater, the recipient MUST treat this as a connection
// error".  False when the padding does not fit.
bool strip_padding(std::string_view* payload) noexcept {
  const auto pad = static_cast<uint8_t>((*payload)[0]);
  payload->remove_prefix(1);
  if (pad > payload->size()) return false;
  payload->remove_suffix(pad);
  return true;
}

}  // namespace

std::string_view frame_defect_name(FrameDefect defect) noexcept {
  return kDefectNames[static_cast<std::size_t>(defect)];
}

// ---- HeaderBlock -------------------------------------------------------------------

std::optional<std::string_view> HeaderBlock::pseudo(hpack::Pseudo which) const noexcept {
  if (which == hpack::Pseudo::kNone || which == hpack::Pseudo::kStatus) return std::nullopt;
  const Span& span = spans_[static_cast<std::size_t>(which) - 1];
  if (!span.present) return std::nullopt;
  return std::string_view(octets_).substr(span.offset, span.size);
}

void HeaderBlock::set_pseudo(hpack::Pseudo which, std::string_view value) {
  VANTRIC_INVARIANT(which != hpack::Pseudo::kNone && which != hpack::Pseudo::kStatus,
                    "set_pseudo takes a pseudo-header other than :status");
  octets_.append(value);
  spans_[static_cast<std::size_t>(which) - 1] = {static_cast<uint32_t>(octets_.size() - value.size()),
                                                 static_cast<uint32_t>(value.size()), true};
}

void HeaderBlock::read_content_length() noexcept {
  const auto value = headers.get(http::HeaderName(http::WellKnownName::kContentLength));
  if (!value) return;
  // 19 digits always fit 64 bits; longer values are refused rather than
  // risk an overflow (no body is that long).
  bool valid = value->size() <= 19;
  uint64_t n = 0;
  for (std::size_t i = 0; valid && i < value->size(); ++i) {
    const char c = (*value)[i];
    valid = c >= '0' && c <= '9';
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (valid) {
    content_length = n;
  } else {
    content_length_invalid = true;
  }
}

bool FrameReader::BlockStore::store(const hpack::Field& field) {
  switch (field.pseudo) {
    case hpack::Pseudo::kNone: {
      const std::optional<http::HeaderMapError> refused =
          block_->headers.append(field.name, field.value, field.sensitive);
      // The decoder validated the name and value; only the map's capacity
      // can refuse a field, which makes the list over size.
      VANTRIC_INVARIANT(!refused || *refused == http::HeaderMapError::kFull,
                        "a decoded field refused by the header map");
      return !refused;
    }
    case hpack::Pseudo::kStatus: {
      const std::string_view v = field.value;  // three digits, checked by the decoder
      block_->status = static_cast<uint16_t>((v[0] - '0') * 100 + (v[1] - '0') * 10 + (v[2] - '0'));
      return true;
    }
    default:
      block_->set_pseudo(field.pseudo, field.value);
      return true;
  }
}

FrameReader::OpenBlock::OpenBlock(uint32_t stream_id_, bool end_stream_, bool self_dependent_,
                                  uint32_t max_header_list_size)
    : stream_id(stream_id_),
      end_stream(end_stream_),
      self_dependent(self_dependent_),
      block(std::make_unique<HeaderBlock>()),
      store(block.get()),
      step(store, max_header_list_size) {}

// ---- FrameReader ---------------------------------------------------------------------

FrameReader::FrameReader(bool expect_preface)
    : max_continuation_frames_(h2::max_continuation_frames(kDefaultMaxHeaderListSize, kDefaultMaxFrameSize)),
      expect_preface_(expect_preface) {}

void FrameReader::set_max_recv_frame_size(uint32_t size) {
  VANTRIC_INVARIANT(is_valid_max_frame_size(size), "max_recv_frame_size out of range");
  max_recv_frame_size_ = size;
  max_continuation_frames_ = h2::max_continuation_frames(max_header_list_size_, max_recv_frame_size_);
}

void FrameReader::set_max_header_list_size(uint32_t size) noexcept {
  max_header_list_size_ = size;
  max_continuation_frames_ = h2::max_continuation_frames(max_header_list_size_, max_recv_frame_size_);
}

std::size_t FrameReader::consume_preface(std::string_view data) noexcept {
  if (preface_failed_) return data.size();
  const std::size_t n = std::min(data.size(), kPreface.size() - preface_matched_);
  if (data.substr(0, n) != kPreface.substr(preface_matched_, n)) {
    preface_failed_ = true;
    return data.size();
  }
  preface_matched_ += n;
  return n;
}

Progress FrameReader::feed_preface(std::string_view data) {
  if (!preface_done()) {
    data.remove_prefix(consume_preface(data));
    if (preface_failed_) return Progress::kFailed;
    if (!preface_done()) return Progress::kNeedMore;
  }
  primed_.append(data);
  return Progress::kDone;
}

Progress FrameReader::prime(std::string_view data) {
  if (expect_preface_ && !preface_done()) return feed_preface(data);
  primed_.append(data);
  return Progress::kDone;
}

std::optional<Error> FrameReader::receive(std::string_view data, std::vector<FrameEvent>& events) {
  const std::size_t first = events.size();
  // The views of the previous call's events are dead now.
  spent_.clear();
  primed_input_.clear();
  if (expect_preface_ && !preface_done()) {
    // RFC 9113 section 3.4: "Clients and servers MUST treat an invalid
    // connection preface as a connection error of type PROTOCOL_ERROR."
    data.remove_prefix(consume_preface(data));
    if (preface_failed_) return protocol_error(Reason::kProtocolError, "bad client connection preface");
    if (!preface_done()) return std::nullopt;
  }
  if (!primed_.empty()) {
    // Seeded octets may hold any number of frames, so they are decoded as
    // input (ahead of `data`), not as the start of one unfinished frame.
    primed_.append(data);
    primed_input_.swap(primed_);
    data = primed_input_.view();
  }
  std::optional<Error> error = decode(data, events);
  if (error) events.erase(events.begin() + static_cast<std::ptrdiff_t>(first), events.end());
  return error;
}

// Frames are decoded where they lie: in `input` itself, and only a frame
// whose start an earlier call buffered is completed in read_ first.  So a
// payload is never copied before its event is made.
std::optional<Error> FrameReader::decode(std::string_view input, std::vector<FrameEvent>& events) {
  auto too_large = [] {
    // RFC 9113 section 4.2: a frame that "exceeds the size defined in
    // SETTINGS_MAX_FRAME_SIZE" is a FRAME_SIZE_ERROR; it is refused on its
    // header, before its payload is read.
    return protocol_error(Reason::kFrameSizeError, "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
  };
  if (!read_.empty()) {
    if (read_.size() < kFrameHeaderLength) {
      const std::size_t take = std::min(kFrameHeaderLength - read_.size(), input.size());
      read_.append(input.substr(0, take));
      input.remove_prefix(take);
      if (read_.size() < kFrameHeaderLength) return std::nullopt;
    }
    const FrameHeader header = decode_frame_header(read_.data());
    if (header.length > max_recv_frame_size_) {
      read_.append(input);
      return too_large();
    }
    const std::size_t total = kFrameHeaderLength + header.length;
    const std::size_t take = std::min(total - read_.size(), input.size());
    read_.append(input.substr(0, take));
    input.remove_prefix(take);
    if (read_.size() < total) return std::nullopt;
    // The frame's octets move to spent_, where its events' views stay valid
    // while read_ takes the start of the next unfinished frame.
    read_.swap(spent_);
    if (auto error = handle_frame(header, spent_.view().substr(kFrameHeaderLength), events)) {
      read_.append(input);
      return error;
    }
  }
  while (input.size() >= kFrameHeaderLength) {
    const FrameHeader header = decode_frame_header(input.data());
    if (header.length > max_recv_frame_size_) {
      read_.append(input);
      return too_large();
    }
    if (input.size() - kFrameHeaderLength < header.length) break;
    const std::string_view payload = input.substr(kFrameHeaderLength, header.length);
    input.remove_prefix(kFrameHeaderLength + header.length);
    if (auto error = handle_frame(header, payload, events)) {
      read_.append(input);
      return error;
    }
  }
  read_.append(input);
  return std::nullopt;
}

std::optional<Error> FrameReader::handle_frame(const FrameHeader& header, std::string_view payload,
                                               std::vector<FrameEvent>& events) {
  const auto type = static_cast<FrameType>(header.type);
  // RFC 9113 section 6.10: a header block "MUST be transmitted as a
  // contiguous sequence of frames, with no interleaved frames of any other
  // type or from any other stream".
  if (open_ && type != FrameType::kContinuation) {
    open_.reset();
    return protocol_error(Reason::kProtocolError, "expected CONTINUATION frame");
  }
  const bool ack = (header.flags & kAckFlag) != 0;
  switch (type) {
    case FrameType::kData:
      return on_data(header, payload, events);
    case FrameType::kHeaders:
      return on_headers(header, payload, events);
    case FrameType::kContinuation:
      return on_continuation(header, payload, events);
    case FrameType::kSettings:
      return on_settings(header, payload, events);
    case FrameType::kPriority: {
      // RFC 9113 section 6.3: "If a PRIORITY frame is received with a stream
      // identifier of 0x00, the recipient MUST respond with a connection error".
      if (header.stream_id == 0)
        return protocol_error(Reason::kProtocolError, "PRIORITY frame with stream ID 0");
      if (payload.size() != 5) return defect(FrameDefect::kInvalidPayloadLength);
      // RFC 9113 section 5.3.1: "A stream cannot depend on itself."
      if ((load_u32(payload.data()) & kStreamIdMask) == header.stream_id)
        events.emplace_back(StreamErrorEvent{header.stream_id, code(Reason::kProtocolError)});
      else
        events.emplace_back(PriorityEvent{header.stream_id});
      return std::nullopt;
    }
    case FrameType::kRstStream:
      if (payload.size() != 4) return defect(FrameDefect::kInvalidPayloadLength);
      events.emplace_back(RstStreamEvent{header.stream_id, load_u32(payload.data())});
      return std::nullopt;
    case FrameType::kPushPromise:
      // We never enable push (RFC 9113 section 8.4: "A client cannot push"),
      // so either role treats it as a connection error of type PROTOCOL_ERROR.
      return protocol_error(Reason::kProtocolError, "PUSH_PROMISE received but server push is disabled");
    case FrameType::kPing: {
      if (header.stream_id != 0) return defect(FrameDefect::kInvalidStreamId);
      if (payload.size() != 8) return defect(FrameDefect::kBadFrameSize);
      PingEvent ping{ack, {}};
      std::copy_n(payload.data(), 8, ping.data.begin());
      events.emplace_back(ping);
      return std::nullopt;
    }
    case FrameType::kGoAway:
      // RFC 9113 section 6.8: "An endpoint MUST treat a GOAWAY frame with a
      // stream identifier other than 0x00 as a connection error".
      if (header.stream_id != 0) return defect(FrameDefect::kInvalidStreamId);
      if (payload.size() < 8) return defect(FrameDefect::kBadFrameSize);
      events.emplace_back(GoAwayEvent{load_u32(payload.data()) & kStreamIdMask, load_u32(payload.data() + 4),
                                      payload.substr(8)});
      return std::nullopt;
    case FrameType::kWindowUpdate: {
      if (payload.size() != 4) return defect(FrameDefect::kBadFrameSize);
      const uint32_t increment = load_u32(payload.data()) & kStreamIdMask;
      // RFC 9113 section 6.9: an increment of 0 is a PROTOCOL_ERROR; the
      // frame codec reports it on every stream as a connection error.
      if (increment == 0) return defect(FrameDefect::kInvalidWindowUpdateValue);
      events.emplace_back(WindowUpdateEvent{header.stream_id, increment});
      return std::nullopt;
    }
  }
  // RFC 9113 section 4.1: "Implementations MUST ignore and discard frames of
  // unknown types."
  return std::nullopt;
}

std::optional<Error> FrameReader::on_data(const FrameHeader& header, std::string_view payload,
                                          std::vector<FrameEvent>& events) {
  // RFC 9113 section 6.1: "If a DATA frame is received whose Stream
  // Identifier field is 0x00, the recipient MUST respond with a connection
  // error".
  if (header.stream_id == 0) return defect(FrameDefect::kInvalidStreamId);
  std::string_view data = payload;
  if ((header.flags & kPaddedFlag) && (data.empty() || !strip_padding(&data)))
    return defect(FrameDefect::kTooMuchPadding);
  events.emplace_back(DataEvent{header.stream_id, static_cast<uint32_t>(payload.size()), data,
                                (header.flags & kEndStreamFlag) != 0});
  return std::nullopt;
}

std::optional<Error> FrameReader::on_headers(const FrameHeader& header, std::string_view payload,
                                             std::vector<FrameEvent>& events) {
  if (header.stream_id == 0) return defect(FrameDefect::kInvalidStreamId);
  if (header.flags & kPaddedFlag) {
    if (payload.empty()) return defect(FrameDefect::kMalformedMessage);
    if (!strip_padding(&payload)) return defect(FrameDefect::kTooMuchPadding);
  }
  bool self_dependent = false;
  if (header.flags & kPriorityFlag) {
    if (payload.size() < 5) return defect(FrameDefect::kMalformedMessage);
    self_dependent = (load_u32(payload.data()) & kStreamIdMask) == header.stream_id;
    payload.remove_prefix(5);
  }
  // A block whose stream must be reset is decoded all the same: its
  // representations change the HPACK table the peer's next blocks refer to.
  open_.emplace(header.stream_id, (header.flags & kEndStreamFlag) != 0, self_dependent,
                max_header_list_size_);
  return decode_fragment(payload, (header.flags & kEndHeadersFlag) != 0, events);
}

std::optional<Error> FrameReader::on_continuation(const FrameHeader& header, std::string_view payload,
                                                  std::vector<FrameEvent>& events) {
  if (!open_) return protocol_error(Reason::kProtocolError, "received unexpected CONTINUATION frame");
  if (header.stream_id != open_->stream_id) {
    open_.reset();
    return protocol_error(Reason::kProtocolError,
                          "CONTINUATION frame stream ID does not match previous frame stream ID");
  }
  const bool end_headers = (header.flags & kEndHeadersFlag) != 0;
  // A block that never ends, in frames that each decode to little or
  // nothing, would otherwise hold the connection's reader forever (the
  // CONTINUATION flood).
  if (!end_headers && ++open_->continuations > max_continuation_frames_) {
    open_.reset();
    return protocol_error(Reason::kEnhanceYourCalm, "too_many_continuations");
  }
  if (open_->step.over_size() && open_->tail.size() + payload.size() > max_header_list_size_) {
    open_.reset();
    return protocol_error(Reason::kCompressionError,
                          "CONTINUATION frame header block size over ignorable limit");
  }
  return decode_fragment(payload, end_headers, events);
}

std::optional<Error> FrameReader::decode_fragment(std::string_view fragment, bool end_headers,
                                                  std::vector<FrameEvent>& events) {
  OpenBlock& open = *open_;
  std::string_view in = fragment;
  if (!open.tail.empty()) {
    open.tail.append(fragment);
    in = open.tail;
  }
  const hpack::DecodeStatus status = hpack_.decode(in, end_headers, open.step);
  if (status == hpack::DecodeError::kOverAbuseLimit) {
    open_.reset();
    return protocol_error(Reason::kEnhanceYourCalm, "decoded header list size over abuse limit");
  }
  const Progress progress = hpack::progress_of(status);
  if (progress != Progress::kDone) {
    if (progress == Progress::kNeedMore && !end_headers) {
      // A representation runs on into the next fragment: keep its octets.
      if (open.tail.empty())
        open.tail.assign(in);
      else
        open.tail.erase(0, open.tail.size() - in.size());
      return std::nullopt;
    }
    open_.reset();
    return protocol_error(Reason::kProtocolError,
                          "HPACK decoding failed: " + std::string(hpack::decode_error_name(*status)));
  }
  open.tail.clear();
  if (!end_headers) return std::nullopt;
  if (open.step.malformed() || open.self_dependent) {
    // RFC 9113 section 8.1.1: a malformed message is a stream error of type
    // PROTOCOL_ERROR.
    events.emplace_back(StreamErrorEvent{open.stream_id, code(Reason::kProtocolError)});
  } else {
    open.block->read_content_length();
    open.block->over_size = open.step.over_size();
    events.emplace_back(HeadersEvent{open.stream_id, open.end_stream, std::move(open.block)});
  }
  open_.reset();
  return std::nullopt;
}

std::optional<Error> FrameReader::on_settings(const FrameHeader& header, std::string_view payload,
                                              std::vector<FrameEvent>& events) {
  // RFC 9113 section 6.5.
  if (header.stream_id != 0) return defect(FrameDefect::kInvalidStreamId);
  if (header.flags & kAckFlag) {
    if (!payload.empty()) return defect(FrameDefect::kInvalidPayloadLength);
    events.emplace_back(SettingsEvent{true, {}});
    return std::nullopt;
  }
  if (payload.size() % 6 != 0) return defect(FrameDefect::kInvalidPayloadAckSettings);
  Settings settings;
  for (std::size_t at = 0; at < payload.size(); at += 6) {
    const uint32_t value = load_u32(payload.data() + at + 2);
    bool valid = true;
    // A repeated parameter takes its last value; unknown identifiers "MUST
    // be ignored".
    switch (static_cast<SettingId>(load_u16(payload.data() + at))) {
      case SettingId::kHeaderTableSize:
        settings.header_table_size = value;
        break;
      case SettingId::kEnablePush:
        valid = value <= 1;
        settings.enable_push = value == 1;
        break;
      case SettingId::kMaxConcurrentStreams:
        settings.max_concurrent_streams = value;
        break;
      case SettingId::kInitialWindowSize:
        valid = value <= kMaxWindowSize;
        settings.initial_window_size = value;
        break;
      case SettingId::kMaxFrameSize:
        valid = is_valid_max_frame_size(value);
        settings.max_frame_size = value;
        break;
      case SettingId::kMaxHeaderListSize:
        settings.max_header_list_size = value;
        break;
      case SettingId::kEnableConnectProtocol:
        valid = value <= 1;
        break;
    }
    if (!valid) return defect(FrameDefect::kInvalidSettingValue);
  }
  events.emplace_back(SettingsEvent{false, settings});
  return std::nullopt;
}

}  // namespace vantric::h2
