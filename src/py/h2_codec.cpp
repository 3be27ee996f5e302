// H2Codec: the host class over one HTTP/2 frame codec.
//
// Locking follows README.md.  The serializers create their bytes result under
// the codec's mutex, straight from its output buffer; event objects and
// their list are built after unlocking (FrameEventBatch).
#include "py/h2_codec.h"

#include <cstring>
#include <optional>
#include <variant>
#include <vector>

#include "core/byte_buffer.h"
#include "core/h2/frame_reader.h"
#include "core/h2/frame_writer.h"
#include "core/h2/hpack/encoder.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h2_frames.h"
#include "py/header_map.h"
#include "py/lock.h"
#include "py/method_adapters.h"
#include "py/results.h"

namespace vantric::py {
namespace {

// What the codec's mutex guards.
struct H2CodecCore {
  explicit H2CodecCore(bool client) : role_client(client) {}

  // Embedded in a server connection the reader expects the client preface;
  // the stand-alone codec leaves that to feed_preface().
  h2::FrameReader reader{false};
  hpack::Encoder encoder;
  ByteBuffer out;  // serializer output, copied into the result and cleared
  uint32_t send_max_frame_size = h2::kDefaultMaxFrameSize;
  const bool role_client;  // fixed at construction, read without the mutex
};

using H2CodecObject = CoreObject<H2CodecCore>;

H2CodecObject* as_codec(PyObject* obj) {
  return as_object<H2CodecCore>(obj);
}

// Empties the codec's output buffer when the serializer is done, also when it
// failed half-way.
struct ClearOut {
  ByteBuffer& out;
  ~ClearOut() { out.clear(); }
};

void raise_invalid(const h2::InvalidArgument& error) {
  PyErr_SetString(PyExc_ValueError, error.message.c_str());
}

// Under the codec's lock: `write(codec)` appends frames to the output buffer,
// which then becomes the result.
template <class Write>
PyObject* serialize_locked(PyObject* self, Write&& write) {
  H2CodecObject* codec = as_codec(self);
  HostLock lock(codec->mutex);
  ClearOut clear{codec->core.out};
  write(codec->core);
  return new_bytes(codec->core.out.view());
}

// ---- construction ----------------------------------------------------------------

constexpr Param kNewParams[] = {{"role", "'client'"}};
constexpr Signature kNew{"H2Codec", "H2Codec", CallKind::kConstructor, kNewParams};

PyObject* h2_codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  std::string_view role = "client";
  if (!parse_args_tuple(kNew, args, kwargs, a) || (a[0] != nullptr && !arg_str(a[0], kNew, 0, &role)))
    return nullptr;
  if (role != "client" && role != "server") {
    PyErr_Format(PyExc_ValueError, "role must be 'client' or 'server', got %U", a[0]);
    return nullptr;
  }
  return new_core_object<H2CodecCore>(type, role == "client");
}

PyObject* h2_codec_repr(PyObject* obj) {
  H2CodecObject* self = as_codec(obj);
  std::size_t buffered;
  {
    HostLock lock(self->mutex);
    buffered = self->core.reader.buffered();
  }
  return PyUnicode_FromFormat("H2Codec(role=%s, buffered=%zu)", self->core.role_client ? "client" : "server",
                              buffered);
}

// ---- reading -----------------------------------------------------------------------

constexpr Param kDataParams[] = {{"data"}};
constexpr Signature kReceive{"receive", "H2Codec.receive", CallKind::kMethod, kDataParams};

PyObject* h2_codec_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(kReceive, args, nargs, kwnames, a) || !arg_bytes(a[0], kReceive, 0, &data)) return nullptr;
  return receive_events(as_codec(self)->mutex, as_codec(self)->core.reader, data);
}

constexpr Signature kBuffered{"buffered", "H2Codec.buffered", CallKind::kMethod, {}};

std::size_t op_buffered(H2CodecCore& codec) {
  return codec.reader.buffered();
}

constexpr Signature kFeedPreface{"feed_preface", "H2Codec.feed_preface", CallKind::kMethod, kDataParams};

PyObject* h2_codec_feed_preface(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(kFeedPreface, args, nargs, kwnames, a) || !arg_bytes(a[0], kFeedPreface, 0, &data))
    return nullptr;
  Progress match;
  {
    HostLock lock(as_codec(self)->mutex);
    match = as_codec(self)->core.reader.feed_preface(data);
  }
  return preface_match_result(match);
}

// ---- settings of the codec ---------------------------------------------------------

constexpr Param kValParams[] = {{"val"}};

// A SETTINGS_MAX_FRAME_SIZE value: arg_u32, then ValueError outside
// 16384..16777215 (RFC 9113 section 6.5.2).
bool arg_max_frame_size(PyObject* obj, const Signature& sig, std::size_t index, uint32_t* out) {
  if (!arg_u32(obj, sig, index, out)) return false;
  if (h2::is_valid_max_frame_size(*out)) return true;
  PyErr_SetString(PyExc_ValueError, h2::max_frame_size_message(*out).c_str());
  return false;
}

void op_set_send_header_table_size(H2CodecCore& codec, uint32_t val) {
  codec.encoder.set_header_table_size(val);
}
void op_set_recv_header_table_size(H2CodecCore& codec, uint32_t val) {
  codec.reader.set_header_table_size(val);
}
void op_set_max_recv_frame_size(H2CodecCore& codec, uint32_t val) {
  codec.reader.set_max_recv_frame_size(val);
}
void op_set_max_header_list_size(H2CodecCore& codec, uint32_t val) {
  codec.reader.set_max_header_list_size(val);
}
void op_set_send_max_frame_size(H2CodecCore& codec, uint32_t val) {
  codec.send_max_frame_size = val;
}

constexpr Signature kSetSendHeaderTableSize{
    "set_send_header_table_size", "H2Codec.set_send_header_table_size", CallKind::kMethod, kValParams};
constexpr Signature kSetRecvHeaderTableSize{
    "set_recv_header_table_size", "H2Codec.set_recv_header_table_size", CallKind::kMethod, kValParams};
constexpr Signature kSetMaxRecvFrameSize{"set_max_recv_frame_size", "H2Codec.set_max_recv_frame_size",
                                         CallKind::kMethod, kValParams};
constexpr Signature kSetMaxHeaderListSize{"set_max_header_list_size", "H2Codec.set_max_header_list_size",
                                          CallKind::kMethod, kValParams};
constexpr Signature kSetSendMaxFrameSize{"set_send_max_frame_size", "H2Codec.set_send_max_frame_size",
                                         CallKind::kMethod, kValParams};

// ---- serializers ---------------------------------------------------------------------

constexpr Param kSettingsParams[] = {
    {"header_table_size", "None"},   {"enable_push", "None"},    {"max_concurrent_streams", "None"},
    {"initial_window_size", "None"}, {"max_frame_size", "None"}, {"max_header_list_size", "None"},
};
constexpr Signature kSerializeSettings{"serialize_settings", "H2Codec.serialize_settings", CallKind::kMethod,
                                       kSettingsParams, 0};

PyObject* h2_codec_serialize_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  const Signature& sig = kSerializeSettings;
  PyObject* a[6];
  h2::Settings settings;
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !arg_optional_u32(a[0], sig, 0, &settings.header_table_size) ||
      !arg_optional_u32(a[2], sig, 2, &settings.max_concurrent_streams) ||
      !arg_optional_u32(a[3], sig, 3, &settings.initial_window_size) ||
      !arg_optional_u32(a[4], sig, 4, &settings.max_frame_size) ||
      !arg_optional_u32(a[5], sig, 5, &settings.max_header_list_size))
    return nullptr;
  if (a[1] != nullptr && a[1] != Py_None) {
    bool push = false;
    if (!arg_bool(a[1], sig, 1, &push)) return nullptr;
    settings.enable_push = push;
  }
  std::optional<h2::InvalidArgument> error;
  PyObject* result =
      serialize_locked(self, [&](H2CodecCore& codec) { error = h2::append_settings(codec.out, settings); });
  if (error) {
    Py_XDECREF(result);
    raise_invalid(*error);
    return nullptr;
  }
  return result;
}

constexpr Signature kSerializeSettingsAck{
    "serialize_settings_ack", "H2Codec.serialize_settings_ack", CallKind::kMethod, {}};

PyObject* h2_codec_serialize_settings_ack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  if (!parse_args(kSerializeSettingsAck, args, nargs, kwnames, nullptr)) return nullptr;
  return serialize_locked(self, [](H2CodecCore& codec) { h2::append_settings_ack(codec.out); });
}

constexpr Param kRequestParams[] = {
    {"stream_id"},           {"method"},         {"target"},           {"headers", "None"},
    {"end_stream", "False"}, {"scheme", "None"}, {"authority", "None"}};
constexpr Signature kSerializeRequestHeaders{"serialize_request_headers", "H2Codec.serialize_request_headers",
                                             CallKind::kMethod, kRequestParams, 5};

PyObject* h2_codec_serialize_request_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  const Signature& sig = kSerializeRequestHeaders;
  PyObject* a[7];
  uint32_t stream_id = 0;
  std::string_view method, target;
  HeadersArg headers;
  bool end_stream = false;
  std::optional<std::string_view> scheme, authority;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &stream_id) ||
      !arg_str(a[1], sig, 1, &method) || !arg_str(a[2], sig, 2, &target) ||
      !arg_headers(a[3], sig, 3, HeadersAccept::kHeaderMapOrNone, &headers) ||
      (a[4] != nullptr && !arg_bool(a[4], sig, 4, &end_stream)) || !arg_optional_str(a[5], sig, 5, &scheme) ||
      !arg_optional_str(a[6], sig, 6, &authority))
    return nullptr;
  auto head = h2::build_request_head(method, target, scheme, authority);
  if (const auto* error = std::get_if<h2::InvalidArgument>(&head)) {
    raise_invalid(*error);
    return nullptr;
  }
  return serialize_locked(self, [&](H2CodecCore& codec) {
    with_headers(headers, [&](const http::HeaderMap& map) {
      h2::append_request_headers(codec.out, codec.encoder, stream_id, std::get<h2::RequestHead>(head), &map,
                                 end_stream, codec.send_max_frame_size);
    });
  });
}

constexpr Param kResponseParams[] = {
    {"stream_id"}, {"status"}, {"headers", "None"}, {"end_stream", "False"}, {"auto_date", "False"}};
constexpr Signature kSerializeResponseHeaders{
    "serialize_response_headers", "H2Codec.serialize_response_headers", CallKind::kMethod, kResponseParams};

PyObject* h2_codec_serialize_response_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  const Signature& sig = kSerializeResponseHeaders;
  PyObject* a[5];
  uint32_t stream_id = 0;
  uint16_t status = 0;
  HeadersArg headers;
  bool end_stream = false, auto_date = false;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &stream_id) ||
      !arg_u16(a[1], sig, 1, &status) ||
      !arg_headers(a[2], sig, 2, HeadersAccept::kHeaderMapOrNone, &headers) ||
      (a[3] != nullptr && !arg_bool(a[3], sig, 3, &end_stream)) ||
      (a[4] != nullptr && !arg_bool(a[4], sig, 4, &auto_date)))
    return nullptr;
  if (auto error = h2::check_status(status)) {
    raise_invalid(*error);
    return nullptr;
  }
  return serialize_locked(self, [&](H2CodecCore& codec) {
    with_headers(headers, [&](const http::HeaderMap& map) {
      h2::append_response_headers(codec.out, codec.encoder, stream_id, status, &map, end_stream, auto_date,
                                  codec.send_max_frame_size);
    });
  });
}

constexpr Param kTrailersParams[] = {{"stream_id"}, {"trailers"}};
constexpr Signature kSerializeTrailers{"serialize_trailers", "H2Codec.serialize_trailers", CallKind::kMethod,
                                       kTrailersParams};

PyObject* h2_codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  const Signature& sig = kSerializeTrailers;
  PyObject* a[2];
  uint32_t stream_id = 0;
  HeadersArg trailers;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &stream_id) ||
      !arg_headers(a[1], sig, 1, HeadersAccept::kHeaderMap, &trailers))
    return nullptr;
  return serialize_locked(self, [&](H2CodecCore& codec) {
    with_headers(trailers, [&](const http::HeaderMap& map) {
      h2::append_trailers(codec.out, codec.encoder, stream_id, map, codec.send_max_frame_size);
    });
  });
}

constexpr Param kDataFrameParams[] = {{"stream_id"}, {"data"}, {"end_stream", "False"}};
constexpr Signature kSerializeData{"serialize_data", "H2Codec.serialize_data", CallKind::kMethod,
                                   kDataFrameParams};

PyObject* h2_codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  const Signature& sig = kSerializeData;
  PyObject* a[3];
  uint32_t stream_id = 0;
  std::string_view data;
  bool end_stream = false;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &stream_id) ||
      !arg_bytes(a[1], sig, 1, &data) || (a[2] != nullptr && !arg_bool(a[2], sig, 2, &end_stream)))
    return nullptr;
  uint32_t max_frame_size;
  {
    HostLock lock(as_codec(self)->mutex);
    max_frame_size = as_codec(self)->core.send_max_frame_size;
  }
  if (auto error = h2::check_data_payload(data.size(), max_frame_size)) {
    raise(*error);
    return nullptr;
  }
  // The payload is copied once, straight into the result.
  char* out = nullptr;
  PyObject* frame = new_bytes_uninitialized(h2::kFrameHeaderLength + data.size(), &out);
  if (frame == nullptr) return nullptr;
  out = h2::encode_data_header(out, stream_id, data.size(), end_stream);
  if (!data.empty()) std::memcpy(out, data.data(), data.size());
  return frame;
}

constexpr Param kWindowUpdateParams[] = {{"stream_id"}, {"increment"}};
constexpr Signature kSerializeWindowUpdate{"serialize_window_update", "H2Codec.serialize_window_update",
                                           CallKind::kMethod, kWindowUpdateParams};

PyObject* h2_codec_serialize_window_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  const Signature& sig = kSerializeWindowUpdate;
  PyObject* a[2];
  uint32_t stream_id = 0, increment = 0;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &stream_id) ||
      !arg_u32(a[1], sig, 1, &increment))
    return nullptr;
  std::optional<h2::InvalidArgument> error;
  PyObject* result = serialize_locked(
      self, [&](H2CodecCore& codec) { error = h2::append_window_update(codec.out, stream_id, increment); });
  if (error) {
    Py_XDECREF(result);
    raise_invalid(*error);
    return nullptr;
  }
  return result;
}

constexpr Param kPayloadParams[] = {{"payload"}};
constexpr Signature kSerializePing{"serialize_ping", "H2Codec.serialize_ping", CallKind::kMethod,
                                   kPayloadParams};
constexpr Signature kSerializePingAck{"serialize_ping_ack", "H2Codec.serialize_ping_ack", CallKind::kMethod,
                                      kPayloadParams};

template <const Signature& Sig, bool Ack>
PyObject* h2_codec_serialize_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* a[1];
  std::string_view payload;
  if (!parse_args(Sig, args, nargs, kwnames, a) || !arg_bytes(a[0], Sig, 0, &payload)) return nullptr;
  std::optional<h2::InvalidArgument> error;
  PyObject* result =
      serialize_locked(self, [&](H2CodecCore& codec) { error = h2::append_ping(codec.out, payload, Ack); });
  if (error) {
    Py_XDECREF(result);
    raise_invalid(*error);
    return nullptr;
  }
  return result;
}

constexpr Param kGoAwayParams[] = {{"last_stream_id"}, {"error_code"}, {"debug_data", "None"}};
constexpr Signature kSerializeGoAway{"serialize_go_away", "H2Codec.serialize_go_away", CallKind::kMethod,
                                     kGoAwayParams};

PyObject* h2_codec_serialize_go_away(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  const Signature& sig = kSerializeGoAway;
  PyObject* a[3];
  uint32_t last_stream_id = 0, error_code = 0;
  std::string_view debug_data;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &last_stream_id) ||
      !arg_u32(a[1], sig, 1, &error_code) ||
      (a[2] != nullptr && a[2] != Py_None && !arg_bytes(a[2], sig, 2, &debug_data)))
    return nullptr;
  return serialize_locked(self, [&](H2CodecCore& codec) {
    h2::append_go_away(codec.out, last_stream_id, error_code, debug_data);
  });
}

constexpr Param kRstStreamParams[] = {{"stream_id"}, {"error_code"}};
constexpr Signature kSerializeRstStream{"serialize_rst_stream", "H2Codec.serialize_rst_stream",
                                        CallKind::kMethod, kRstStreamParams};

PyObject* h2_codec_serialize_rst_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  const Signature& sig = kSerializeRstStream;
  PyObject* a[2];
  uint32_t stream_id = 0, error_code = 0;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_stream_id(a[0], sig, 0, &stream_id) ||
      !arg_u32(a[1], sig, 1, &error_code))
    return nullptr;
  return serialize_locked(
      self, [&](H2CodecCore& codec) { h2::append_rst_stream(codec.out, stream_id, error_code); });
}

// ---- static methods ------------------------------------------------------------------

constexpr Signature kMatchPreface{"match_preface", "H2Codec.match_preface", CallKind::kStaticMethod,
                                  kDataParams};

PyObject* h2_codec_match_preface(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(kMatchPreface, args, nargs, kwnames, a) || !arg_bytes(a[0], kMatchPreface, 0, &data))
    return nullptr;
  return preface_match_result(h2::match_preface(data));
}

constexpr Param kHeadersParams[] = {{"headers"}};
constexpr Signature kCheckSendHeaders{"check_send_headers", "H2Codec.check_send_headers",
                                      CallKind::kStaticMethod, kHeadersParams};

PyObject* h2_codec_check_send_headers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  HeadersArg headers;
  if (!parse_args(kCheckSendHeaders, args, nargs, kwnames, a) ||
      !arg_headers(a[0], kCheckSendHeaders, 0, HeadersAccept::kHeaderMap, &headers))
    return nullptr;
  const bool refused = with_headers(
      headers, [](const http::HeaderMap& map) { return h2::has_connection_specific_field(map); });
  if (refused) {
    raise_h2_user(h2::UserErrorKind::kMalformedHeaders);
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr Param kMethodParams[] = {{"method"}};
constexpr Signature kMethodIsHead{"method_is_head", "H2Codec.method_is_head", CallKind::kStaticMethod,
                                  kMethodParams};

PyObject* h2_codec_method_is_head(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string_view method;
  if (!parse_args(kMethodIsHead, args, nargs, kwnames, a) || !arg_str(a[0], kMethodIsHead, 0, &method))
    return nullptr;
  return PyBool_FromLong(h2::method_is_head(method));
}

constexpr Param kStreamIdParams[] = {{"stream_id"}};
constexpr Signature kIsClientInitiated{"is_client_initiated", "H2Codec.is_client_initiated",
                                       CallKind::kStaticMethod, kStreamIdParams};

PyObject* h2_codec_is_client_initiated(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  PyObject* a[1];
  uint32_t stream_id = 0;
  if (!parse_args(kIsClientInitiated, args, nargs, kwnames, a) ||
      !arg_stream_id(a[0], kIsClientInitiated, 0, &stream_id))
    return nullptr;
  return PyBool_FromLong(h2::is_client_initiated(stream_id));
}

PyObject* h2_codec_role_client(PyObject* self, void*) {
  return PyBool_FromLong(as_codec(self)->core.role_client);
}

const MethodSpec kMethods[] = {
    {&kReceive, method_entry<h2_codec_receive>(),
     "Decodes every complete frame of the buffered bytes and data (bytes) into a list\n"
     "of H2Frame* events.  H2ProtocolError on a connection error; the events of the\n"
     "call are then dropped."},
    method<kBuffered, op_buffered>("Octets held awaiting a complete frame."),
    {&kFeedPreface, method_entry<h2_codec_feed_preface>(),
     "Matches the client connection preface across calls: None while the octets agree\n"
     "but are fewer than 24, True once 24 agree (what follows is buffered for\n"
     "receive()), False on a mismatch, for good."},
    method<kSetSendHeaderTableSize, op_set_send_header_table_size, arg_u32>(
        "The peer's SETTINGS_HEADER_TABLE_SIZE for the HPACK encoder (which uses at most\n"
        "4096 of it)."),
    method<kSetRecvHeaderTableSize, op_set_recv_header_table_size, arg_u32>(
        "Our SETTINGS_HEADER_TABLE_SIZE: the largest table the peer's HPACK encoder may\n"
        "use from its next header block."),
    method<kSetMaxRecvFrameSize, op_set_max_recv_frame_size, arg_max_frame_size>(
        "The largest frame payload accepted, 16384 to 16777215."),
    method<kSetMaxHeaderListSize, op_set_max_header_list_size, arg_u32>(
        "The header list limit applied to the header blocks received from now on."),
    method<kSetSendMaxFrameSize, op_set_send_max_frame_size, arg_max_frame_size>(
        "The largest DATA payload or header-block fragment the serializers write,\n"
        "16384 to 16777215."),
    {&kSerializeSettings, method_entry<h2_codec_serialize_settings>(),
     "One SETTINGS frame carrying the parameters given."},
    {&kSerializeSettingsAck, method_entry<h2_codec_serialize_settings_ack>(),
     "The 9 octets of a SETTINGS acknowledgement."},
    {&kSerializeRequestHeaders, method_entry<h2_codec_serialize_request_headers>(),
     "A request HEADERS frame (and CONTINUATION frames when the block needs them).\n"
     "An absolute target gives :scheme and :authority; any other target needs both\n"
     "scheme and authority."},
    {&kSerializeResponseHeaders, method_entry<h2_codec_serialize_response_headers>(),
     "A response HEADERS frame; auto_date adds a date field when headers has none."},
    {&kSerializeTrailers, method_entry<h2_codec_serialize_trailers>(),
     "A trailing HEADERS frame with END_STREAM."},
    {&kSerializeData, method_entry<h2_codec_serialize_data>(),
     "One DATA frame; H2UserError('payload_too_big', ...) past the send max frame size."},
    {&kSerializeWindowUpdate, method_entry<h2_codec_serialize_window_update>(),
     "The 13 octets of a WINDOW_UPDATE frame."},
    {&kSerializePing, method_entry<h2_codec_serialize_ping<kSerializePing, false>>(),
     "The 17 octets of a PING frame; the payload is 8 octets."},
    {&kSerializePingAck, method_entry<h2_codec_serialize_ping<kSerializePingAck, true>>(),
     "The 17 octets of a PING acknowledgement; the payload is 8 octets."},
    {&kSerializeGoAway, method_entry<h2_codec_serialize_go_away>(), "A GOAWAY frame on stream 0."},
    {&kSerializeRstStream, method_entry<h2_codec_serialize_rst_stream>(),
     "The 13 octets of a RST_STREAM frame."},
    {&kMatchPreface, method_entry<h2_codec_match_preface>(),
     "None while data agrees with the client connection preface but is shorter than\n"
     "24 octets, True when its first 24 octets are the preface, False otherwise."},
    {&kCheckSendHeaders, method_entry<h2_codec_check_send_headers>(),
     "None when the fields may be sent over HTTP/2; H2UserError('malformed_headers',\n"
     "...) for a connection-specific field or a te field other than 'trailers'."},
    {&kMethodIsHead, method_entry<h2_codec_method_is_head>(), "True only for exactly 'HEAD'."},
    {&kIsClientInitiated, method_entry<h2_codec_is_client_initiated>(), "True for odd stream ids."},
};

const PropertySpec kProperties[] = {
    {"role_client", crossing<h2_codec_role_client>,
     "True when built with role 'client'.  The role changes nothing else: receive()\n"
     "never waits for the preface; a server feeds it through feed_preface() first."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_codec_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<H2CodecCore>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_codec_repr>)},
};

constexpr ClassSpec kSpec{
    .name = "H2Codec",
    .doc =
        "A stand-alone HTTP/2 frame codec: frames in, H2Frame* events out, and the frame\n"
        "serializers with their own HPACK encoder.  One mutex serialises its methods.",
    .constructor = &kNew,
    .basicsize = sizeof(H2CodecObject),
    .methods = kMethods,
    .properties = kProperties,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* h2_codec_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
