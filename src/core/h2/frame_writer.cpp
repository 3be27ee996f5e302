#include "core/h2/frame_writer.h"

#include <algorithm>
#include <cstring>

#include "core/h1/method.h"
#include "core/http/date.h"
#include "core/http/status.h"
#include "core/http/uri.h"
#include "core/invariant.h"

namespace vantric::h2 {

namespace {

char* store_u32(char* out, uint32_t v) noexcept {
  out[0] = static_cast<char>(v >> 24);
  out[1] = static_cast<char>(v >> 16);
  out[2] = static_cast<char>(v >> 8);
  out[3] = static_cast<char>(v);
  return out + 4;
}

char* store_setting(char* out, SettingId id, uint32_t value) noexcept {
  const auto raw = static_cast<uint16_t>(id);
  out[0] = static_cast<char>(raw >> 8);
  out[1] = static_cast<char>(raw);
  return store_u32(out + 2, value);
}

// A frame whose payload is `n` octets written by `fill(char*)`.
template <class Fill>
void append_built(ByteBuffer& out, FrameType type, uint8_t flags, uint32_t stream_id, std::size_t n,
                  Fill&& fill) {
  char* p = out.prepare(kFrameHeaderLength + n);
  p = encode_frame_header(p, static_cast<uint32_t>(n), type, flags, stream_id);
  fill(p);
  out.commit(kFrameHeaderLength + n);
}

// The authority without the user information RFC 9113 section 8.3.1 bars
// from :authority.
std::string_view authority_without_userinfo(const http::Uri& uri) {
  std::string_view authority = uri.authority;
  if (uri.has_userinfo) authority.remove_prefix(uri.userinfo.size() + 1);
  return authority;
}

// RFC 3986 section 3.1: scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool is_valid_scheme(std::string_view scheme) {
  if (scheme.empty()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    const char c = scheme[i];
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alpha && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return false;
  }
  return true;
}

constexpr std::string_view kBarePathMessage =
    "request target is a bare path but the connection has no authority; pass authority=... to "
    "H2Connection or use an absolute-URL target";

// Rewrites the block of `block` octets that follows a 9-octet placeholder at
// `start` into HEADERS + CONTINUATION frames of at most `max` octets each.
void frame_block(ByteBuffer& out, std::size_t start, std::size_t block, uint32_t stream_id, bool end_stream,
                 uint32_t max) {
  const uint8_t stream_flags = end_stream ? kEndStreamFlag : 0;
  if (block <= max) {
    encode_frame_header(out.data() + start, static_cast<uint32_t>(block), FrameType::kHeaders,
                        stream_flags | kEndHeadersFlag, stream_id);
    return;
  }
  // Fragment i moves up by 9 * i octets to make room for the CONTINUATION
  // headers; moving the last fragment first never overwrites one not yet
  // moved.
  const std::size_t extra = (block - 1) / max;
  out.prepare(kFrameHeaderLength * extra);
  out.commit(kFrameHeaderLength * extra);
  char* const base = out.data() + start;
  for (std::size_t i = extra; i >= 1; --i) {
    const std::size_t length = std::min<std::size_t>(max, block - i * max);
    char* const from = base + kFrameHeaderLength + i * max;
    char* const to = from + kFrameHeaderLength * i;
    std::memmove(to, from, length);
    encode_frame_header(to - kFrameHeaderLength, static_cast<uint32_t>(length), FrameType::kContinuation,
                        i == extra ? kEndHeadersFlag : 0, stream_id);
  }
  encode_frame_header(base, max, FrameType::kHeaders, stream_flags, stream_id);
}

}  // namespace

void append_frame(ByteBuffer& out, FrameType type, uint8_t flags, uint32_t stream_id,
                  std::string_view payload) {
  append_built(out, type, flags, stream_id, payload.size(), [&](char* p) {
    if (!payload.empty()) std::memcpy(p, payload.data(), payload.size());
  });
}

void append_raw_frame(ByteBuffer& out, uint8_t type, uint8_t flags, uint32_t stream_id,
                      std::string_view payload) {
  append_frame(out, static_cast<FrameType>(type), flags, stream_id, payload);
}

std::optional<InvalidArgument> append_settings(ByteBuffer& out, const Settings& s) {
  if (s.initial_window_size && *s.initial_window_size > kMaxWindowSize)
    return InvalidArgument{initial_window_size_message(*s.initial_window_size)};
  if (s.max_frame_size && !is_valid_max_frame_size(*s.max_frame_size))
    return InvalidArgument{max_frame_size_message(*s.max_frame_size)};
  const std::pair<SettingId, std::optional<uint32_t>> entries[] = {
      {SettingId::kHeaderTableSize, s.header_table_size},
      {SettingId::kEnablePush,
       s.enable_push ? std::optional<uint32_t>(*s.enable_push ? 1 : 0) : std::nullopt},
      {SettingId::kMaxConcurrentStreams, s.max_concurrent_streams},
      {SettingId::kInitialWindowSize, s.initial_window_size},
      {SettingId::kMaxFrameSize, s.max_frame_size},
      {SettingId::kMaxHeaderListSize, s.max_header_list_size},
      {SettingId::kEnableConnectProtocol, s.enable_connect_protocol
                                              ? std::optional<uint32_t>(*s.enable_connect_protocol ? 1 : 0)
                                              : std::nullopt},
  };
  std::size_t n = 0;
  for (const auto& entry : entries) n += entry.second ? 6 : 0;
  append_built(out, FrameType::kSettings, 0, 0, n, [&](char* p) {
    for (const auto& [id, value] : entries)
      if (value) p = store_setting(p, id, *value);
  });
  return std::nullopt;
}

void append_settings_ack(ByteBuffer& out) {
  append_frame(out, FrameType::kSettings, kAckFlag, 0, {});
}

std::optional<Error> check_data_payload(std::size_t length, uint32_t max_frame_size) {
  // RFC 9113 section 4.2: "An endpoint MUST NOT send a frame if it exceeds
  // the size defined in SETTINGS_MAX_FRAME_SIZE".
  if (length <= max_frame_size) return std::nullopt;
  return user_error(UserErrorKind::kPayloadTooBig, "DATA payload " + std::to_string(length) +
                                                       " exceeds SETTINGS_MAX_FRAME_SIZE " +
                                                       std::to_string(max_frame_size));
}

std::optional<Error> append_data(ByteBuffer& out, uint32_t stream_id, std::string_view payload,
                                 bool end_stream, uint32_t max_frame_size) {
  if (auto error = check_data_payload(payload.size(), max_frame_size)) return error;
  append_frame(out, FrameType::kData, end_stream ? kEndStreamFlag : 0, stream_id, payload);
  return std::nullopt;
}

char* encode_data_header(char* out, uint32_t stream_id, std::size_t length, bool end_stream) noexcept {
  return encode_frame_header(out, static_cast<uint32_t>(length), FrameType::kData,
                             end_stream ? kEndStreamFlag : 0, stream_id);
}

std::optional<InvalidArgument> append_window_update(ByteBuffer& out, uint32_t stream_id, uint32_t increment) {
  if (increment > kMaxWindowSize)
    return InvalidArgument{"window increment must be <= " + std::to_string(kMaxWindowSize) + ", got " +
                           std::to_string(increment)};
  append_built(out, FrameType::kWindowUpdate, 0, stream_id, 4, [&](char* p) { store_u32(p, increment); });
  return std::nullopt;
}

std::optional<InvalidArgument> append_ping(ByteBuffer& out, std::string_view payload, bool ack) {
  if (payload.size() != 8) return InvalidArgument{"ping payload must be exactly 8 bytes"};
  append_frame(out, FrameType::kPing, ack ? kAckFlag : 0, 0, payload);
  return std::nullopt;
}

void append_go_away(ByteBuffer& out, uint32_t last_stream_id, uint32_t error_code,
                    std::string_view debug_data) {
  append_built(out, FrameType::kGoAway, 0, 0, 8 + debug_data.size(), [&](char* p) {
    p = store_u32(p, last_stream_id & kStreamIdMask);
    p = store_u32(p, error_code);
    if (!debug_data.empty()) std::memcpy(p, debug_data.data(), debug_data.size());
  });
}

void append_rst_stream(ByteBuffer& out, uint32_t stream_id, uint32_t error_code) {
  append_built(out, FrameType::kRstStream, 0, stream_id, 4, [&](char* p) { store_u32(p, error_code); });
}

void append_priority(ByteBuffer& out, uint32_t stream_id, uint32_t dependency, bool exclusive,
                     uint8_t weight) {
  append_built(out, FrameType::kPriority, 0, stream_id, 5, [&](char* p) {
    p = store_u32(p, (dependency & kStreamIdMask) | (exclusive ? 0x80000000u : 0));
    *p = static_cast<char>(weight);
  });
}

// ---- header blocks ----------------------------------------------------------------

std::variant<RequestHead, InvalidArgument> build_request_head(std::string_view method,
                                                              std::string_view target,
                                                              std::optional<std::string_view> scheme,
                                                              std::optional<std::string_view> authority) {
  using hpack::Field;
  using hpack::Pseudo;
  if (!h1::is_method_token(method)) return InvalidArgument{"invalid method: invalid HTTP method"};
  http::Uri uri;
  if (const std::optional<http::UriError> error = http::parse_uri(target, uri))
    return InvalidArgument{"invalid url: " + std::string(http::uri_error_text(*error))};

  RequestHead head;
  head.fields[head.count++] = Field::make_pseudo(Pseudo::kMethod, method);
  const bool connect = h1::method_from_token(method) == h1::Method::kConnect;
  const bool target_has_authority =
      uri.form == http::UriForm::kAbsolute || uri.form == http::UriForm::kAuthority;
  const bool absolute = uri.form == http::UriForm::kAbsolute;

  std::string_view authority_value;
  if (absolute || (connect && target_has_authority)) {
    authority_value = authority_without_userinfo(uri);
  } else {
    if ((!connect && !scheme) || !authority) return InvalidArgument{std::string(kBarePathMessage)};
    http::Uri given;
    if (const std::optional<http::UriError> error = http::parse_authority(*authority, given))
      return InvalidArgument{"invalid authority " + http::quote_for_message(*authority) + ": " +
                             std::string(http::uri_error_text(*error))};
    authority_value = authority_without_userinfo(given);
    if (!connect && !is_valid_scheme(*scheme))
      return InvalidArgument{"invalid scheme " + http::quote_for_message(*scheme)};
  }
  if (connect) {
    // RFC 9113 section 8.5: "The :scheme and :path pseudo-header fields MUST
    // be omitted."
    head.fields[head.count++] = Field::make_pseudo(Pseudo::kAuthority, authority_value);
    return head;
  }
  head.fields[head.count++] = Field::make_pseudo(Pseudo::kScheme, absolute ? uri.scheme : *scheme);
  head.fields[head.count++] = Field::make_pseudo(Pseudo::kAuthority, authority_value);
  // RFC 9113 section 8.3.1: ":path ... MUST NOT be empty"; an absolute URI
  // with an empty path asks for "/" (RFC 9110 section 4.2.3).
  const std::string_view path = uri.path_and_query.empty() ? std::string_view("/") : uri.path_and_query;
  head.fields[head.count++] = Field::make_pseudo(Pseudo::kPath, path);
  return head;
}

std::optional<InvalidArgument> check_status(uint32_t status) {
  if (http::is_status_code(status)) return std::nullopt;
  return InvalidArgument{"invalid status: " + std::to_string(status)};
}

void append_header_block(ByteBuffer& out, hpack::Encoder& encoder, uint32_t stream_id,
                         std::span<const hpack::Field> pseudo, const http::HeaderMap* headers,
                         std::span<const hpack::Field> extra, bool end_stream, uint32_t max_frame_size) {
  VANTRIC_INVARIANT(is_valid_max_frame_size(max_frame_size), "send max frame size out of range");
  const std::size_t start = out.size();
  out.prepare(kFrameHeaderLength);
  out.commit(kFrameHeaderLength);
  encoder.begin_block(out);
  for (const hpack::Field& field : pseudo) encoder.encode_field(field, out);
  if (headers != nullptr) {
    for (std::size_t i = 0; i < headers->name_count(); ++i) {
      std::string_view name = headers->name_at(i);
      const auto values = headers->values_at(i);
      for (auto it = values.begin(); it != values.end(); ++it) {
        encoder.encode_field(hpack::Field{name, *it, hpack::Pseudo::kNone, it.sensitive()}, out);
        name = {};  // the following values repeat the name by reference
      }
    }
  }
  for (const hpack::Field& field : extra) encoder.encode_field(field, out);
  frame_block(out, start, out.size() - start - kFrameHeaderLength, stream_id, end_stream, max_frame_size);
}

void append_request_headers(ByteBuffer& out, hpack::Encoder& encoder, uint32_t stream_id,
                            const RequestHead& head, const http::HeaderMap* headers, bool end_stream,
                            uint32_t max_frame_size) {
  append_header_block(out, encoder, stream_id, head.pseudo(), headers, {}, end_stream, max_frame_size);
}

std::optional<InvalidArgument> append_response_headers(ByteBuffer& out, hpack::Encoder& encoder,
                                                       uint32_t stream_id, uint32_t status,
                                                       const http::HeaderMap* headers, bool end_stream,
                                                       bool auto_date, uint32_t max_frame_size) {
  if (auto error = check_status(status)) return error;
  const char digits[3] = {static_cast<char>('0' + status / 100), static_cast<char>('0' + status / 10 % 10),
                          static_cast<char>('0' + status % 10)};
  const hpack::Field pseudo[] = {hpack::Field::make_pseudo(hpack::Pseudo::kStatus, {digits, 3})};
  hpack::Field date[1];
  std::size_t extra = 0;
  if (auto_date && (headers == nullptr || !headers->contains(http::HeaderName(http::WellKnownName::kDate))))
    date[extra++] = hpack::Field{"date", http::thread_date_cache().current()};
  append_header_block(out, encoder, stream_id, pseudo, headers, {date, extra}, end_stream, max_frame_size);
  return std::nullopt;
}

void append_trailers(ByteBuffer& out, hpack::Encoder& encoder, uint32_t stream_id,
                     const http::HeaderMap& trailers, uint32_t max_frame_size) {
  append_header_block(out, encoder, stream_id, {}, &trailers, {}, true, max_frame_size);
}

}  // namespace vantric::h2
