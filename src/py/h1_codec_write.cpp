// H1Codec's write side: head serialization and body framing.
//
// Locking follows README.md; the request line is validated before the lock.
// Results are bytes, created under the lock at their final size: a head is
// copied once out of the codec's write buffer, framed data is written
// straight into its bytes object, and data the framing leaves unchanged is
// the caller's own object.
#include <cstring>
#include <optional>
#include <string>

#include "core/h1/codec.h"
#include "core/h1/serializer.h"
#include "core/http/status.h"
#include "core/http/uri.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h1_codec.h"
#include "py/header_map.h"
#include "py/once.h"
#include "py/results.h"

namespace vantric::py {
namespace {

using h1::BodyRequest;
using h1::Codec;
using h1::DataPlan;
using h1::EndPlan;

// Process-wide bytes constants.
template <const std::string_view& Text>
PyObject* shared_bytes() {
  static ProcessOnce<PyObject> once;
  PyObject* bytes = once.get([] { return new_bytes(Text); });
  Py_XINCREF(bytes);
  return bytes;
}

constexpr std::string_view kContinueResponse = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kLastChunk = h1::kLastChunk;

// The bytes of an end plan (the last chunk is one shared object).
PyObject* end_bytes(const EndPlan& plan) {
  switch (plan.kind) {
    case EndPlan::Kind::kNothing:
      return PyBytes_FromStringAndSize(nullptr, 0);
    case EndPlan::Kind::kLastChunkOnly:
      return shared_bytes<kLastChunk>();
    case EndPlan::Kind::kTrailers:
      break;
  }
  return new_bytes(plan.bytes);
}

// `obj` (bytes) itself when it is exactly bytes, else a copy of its octets.
PyObject* same_bytes(PyObject* obj) {
  if (PyBytes_CheckExact(obj)) return Py_NewRef(obj);
  return new_bytes(std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))));
}

// ---- heads -----------------------------------------------------------------------

constexpr Param kSerializeRequestParams[] = {
    {"method"},           {"url"}, {"headers", "None"}, {"http10", "False"}, {"content_length", "None"},
    {"chunked", "False"},
};
constexpr Signature kSerializeRequest{"serialize_request", "H1Codec.serialize_request", CallKind::kMethod,
                                      kSerializeRequestParams, 3};

PyObject* h1_codec_serialize_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[6];
  if (!parse_args(kSerializeRequest, args, nargs, kwnames, a)) return nullptr;
  std::string_view method;
  std::string_view url;
  HeadersArg headers;
  h1::RequestOptions options;
  std::optional<uint64_t> content_length;
  bool chunked = false;
  if (!arg_str(a[0], kSerializeRequest, 0, &method) || !arg_str(a[1], kSerializeRequest, 1, &url) ||
      !arg_headers(a[2], kSerializeRequest, 2, HeadersAccept::kHeaderMapOrNone, &headers) ||
      (a[3] != nullptr && !arg_bool(a[3], kSerializeRequest, 3, &options.http10)) ||
      !arg_optional_u64(a[4], kSerializeRequest, 4, &content_length) ||
      (a[5] != nullptr && !arg_bool(a[5], kSerializeRequest, 5, &chunked)))
    return nullptr;
  options.body = BodyRequest::of(content_length, chunked);
  h1::RequestTarget target;
  if (const std::optional<h1::RequestLineError> refused = h1::check_request_line(method, url, target)) {
    if (refused->where == h1::RequestLineError::Where::kMethod) {
      PyErr_SetString(PyExc_ValueError, "invalid method: invalid HTTP method");
      return nullptr;
    }
    const std::string message = "invalid url: " + std::string(http::uri_error_text(refused->uri_error));
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  Codec& codec = as_h1_codec(self)->core;
  HostLock lock(as_h1_codec(self)->mutex);
  const std::string_view head = with_headers(
      headers, [&](const http::HeaderMap& map) { return codec.serialize_request(target, map, options); });
  return new_bytes(head);
}

constexpr Param kSerializeResponseParams[] = {
    {"status"},          {"headers", "None"},        {"keep_alive", "True"},
    {"http10", "False"}, {"content_length", "None"}, {"chunked", "False"},
};
constexpr Signature kSerializeResponse{"serialize_response", "H1Codec.serialize_response", CallKind::kMethod,
                                       kSerializeResponseParams, 2};

PyObject* h1_codec_serialize_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  PyObject* a[6];
  if (!parse_args(kSerializeResponse, args, nargs, kwnames, a)) return nullptr;
  uint16_t status = 0;
  HeadersArg headers;
  bool keep_alive = true;
  bool http10 = false;
  std::optional<uint64_t> content_length;
  bool chunked = false;
  if (!arg_u16(a[0], kSerializeResponse, 0, &status) ||
      !arg_headers(a[1], kSerializeResponse, 1, HeadersAccept::kHeaderMapOrNone, &headers) ||
      (a[2] != nullptr && !arg_bool(a[2], kSerializeResponse, 2, &keep_alive)) ||
      (a[3] != nullptr && !arg_bool(a[3], kSerializeResponse, 3, &http10)) ||
      !arg_optional_u64(a[4], kSerializeResponse, 4, &content_length) ||
      (a[5] != nullptr && !arg_bool(a[5], kSerializeResponse, 5, &chunked)))
    return nullptr;
  if (!check_h1_status(status)) return nullptr;
  const BodyRequest body = BodyRequest::of(content_length, chunked);
  std::optional<h1::Error> error;
  {
    Codec& codec = as_h1_codec(self)->core;
    HostLock lock(as_h1_codec(self)->mutex);
    error = with_headers(headers, [&](const http::HeaderMap& map) {
      return codec.serialize_response(status, map, keep_alive, http10, body);
    });
    if (!error) return new_bytes(codec.written());
  }
  raise(*error);
  return nullptr;
}

// ---- body ------------------------------------------------------------------------

constexpr Param kChunkParams[] = {{"chunk"}};
constexpr Signature kSerializeData{"serialize_data", "H1Codec.serialize_data", CallKind::kMethod,
                                   kChunkParams};

PyObject* h1_codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* a[1];
  std::string_view chunk;
  if (!parse_args(kSerializeData, args, nargs, kwnames, a) || !arg_bytes(a[0], kSerializeData, 0, &chunk))
    return nullptr;
  // Nothing to frame: an empty chunk would read as the last chunk.
  if (chunk.empty()) return Py_NewRef(a[0]);
  {
    Codec& codec = as_h1_codec(self)->core;
    HostLock lock(as_h1_codec(self)->mutex);
    const DataPlan plan = codec.plan_data(chunk.size());
    PyObject* result = nullptr;
    switch (plan.kind) {
      case DataPlan::Kind::kNoEncoder:
        break;
      case DataPlan::Kind::kWhole:
        result = Py_NewRef(a[0]);
        break;
      case DataPlan::Kind::kPrefix:
        result = new_bytes(chunk.substr(0, plan.size));
        break;
      case DataPlan::Kind::kChunk: {
        // The size line, the chunk and CRLF, written once into a result of
        // exactly that size.
        const std::optional<std::size_t> size = h1::chunk_frame_size(chunk.size());
        char* out = nullptr;
        if (!size) {
          check_bytes_size(SIZE_MAX);  // sets the OverflowError
        } else if ((result = new_bytes_uninitialized(*size, &out)) != nullptr) {
          h1::write_chunk(chunk, out);
        }
        break;
      }
    }
    if (plan.kind != DataPlan::Kind::kNoEncoder) {
      if (result != nullptr) codec.commit_data(plan);
      return result;
    }
  }
  PyErr_SetString(PyExc_ValueError, "serialize_data with no request in flight");
  return nullptr;
}

// Ends the message with the plan `plan_end(Codec&, EndPlan&)` makes under the
// codec's lock: its bytes, or its error raised after unlocking.  A refused end
// ends the message too; bytes that cannot be allocated leave it open.
template <typename PlanEnd>
PyObject* serialize_end_with(PyObject* self, PlanEnd&& plan_end) {
  std::optional<h1::Error> error;
  {
    Codec& codec = as_h1_codec(self)->core;
    HostLock lock(as_h1_codec(self)->mutex);
    EndPlan plan;
    error = plan_end(codec, plan);
    if (!error) {
      PyObject* result = end_bytes(plan);
      if (result != nullptr) codec.end_message();
      return result;
    }
    codec.end_message();
  }
  raise(*error);
  return nullptr;
}

constexpr Signature kSerializeEnd{"serialize_end", "H1Codec.serialize_end", CallKind::kMethod, {}};

PyObject* h1_codec_serialize_end(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kSerializeEnd, args, nargs, kwnames, nullptr)) return nullptr;
  return serialize_end_with(
      self, [](Codec& codec, EndPlan& plan) { return codec.plan_end(nullptr, nullptr, plan); });
}

constexpr Param kTrailersParams[] = {{"trailers"}};
constexpr Signature kSerializeTrailers{"serialize_trailers", "H1Codec.serialize_trailers", CallKind::kMethod,
                                       kTrailersParams};

PyObject* h1_codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  PyObject* a[1];
  HeadersArg trailers;
  if (!parse_args(kSerializeTrailers, args, nargs, kwnames, a) ||
      !arg_headers(a[0], kSerializeTrailers, 0, HeadersAccept::kHeaderMap, &trailers))
    return nullptr;
  return serialize_end_with(self, [&](Codec& codec, EndPlan& plan) {
    return with_headers(trailers,
                        [&](const http::HeaderMap& map) { return codec.plan_end(nullptr, &map, plan); });
  });
}

// The octets `plan` makes of `size` octets of data.
std::optional<std::size_t> framed_size(const DataPlan& plan) {
  switch (plan.kind) {
    case DataPlan::Kind::kNoEncoder:
      return 0;
    case DataPlan::Kind::kWhole:
    case DataPlan::Kind::kPrefix:
      return plan.size;
    case DataPlan::Kind::kChunk:
      break;
  }
  return h1::chunk_frame_size(plan.size);
}

constexpr Param kSerializeHeadAndBodyParams[] = {{"head"}, {"body", "None"}, {"trailers", "None"}};
constexpr Signature kSerializeHeadAndBody{"serialize_head_and_body", "H1Codec.serialize_head_and_body",
                                          CallKind::kMethod, kSerializeHeadAndBodyParams};

PyObject* h1_codec_serialize_head_and_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  PyObject* a[3];
  std::string_view head;
  std::string_view body;
  HeadersArg trailers;
  if (!parse_args(kSerializeHeadAndBody, args, nargs, kwnames, a) ||
      !arg_bytes(a[0], kSerializeHeadAndBody, 0, &head) ||
      (a[1] != nullptr && a[1] != Py_None && !arg_bytes(a[1], kSerializeHeadAndBody, 1, &body)) ||
      !arg_headers(a[2], kSerializeHeadAndBody, 2, HeadersAccept::kHeaderMapOrNone, &trailers))
    return nullptr;
  std::optional<h1::Error> error;
  PyObject* result;
  {
    HostLock lock(as_h1_codec(self)->mutex);
    result = h1_whole_message(as_h1_codec(self)->core, head, a[0], body, trailers, error);
  }
  if (result == nullptr && error) raise(*error);
  return result;
}

// ---- static helpers --------------------------------------------------------------

constexpr Signature kContinueResponseSig{
    "continue_response", "H1Codec.continue_response", CallKind::kStaticMethod, {}};

PyObject* h1_codec_continue_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kContinueResponseSig, args, nargs, kwnames, nullptr)) return nullptr;
  return shared_bytes<kContinueResponse>();
}

constexpr Param kHeadersParams[] = {{"headers"}};
constexpr Signature kConnectionClose{"connection_close", "H1Codec.connection_close", CallKind::kStaticMethod,
                                     kHeadersParams};

PyObject* h1_codec_connection_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  HeadersArg headers;
  if (!parse_args(kConnectionClose, args, nargs, kwnames, a) ||
      !arg_headers(a[0], kConnectionClose, 0, HeadersAccept::kHeaderMap, &headers))
    return nullptr;
  const bool close = with_headers(headers, [](const http::HeaderMap& map) { return h1::lists_close(map); });
  return PyBool_FromLong(close);
}

const MethodSpec kMethods[] = {
    {&kSerializeRequest, method_entry<h1_codec_serialize_request>(),
     "The request head as bytes: the request line (HTTP/1.1, or HTTP/1.0 with http10),\n"
     "then the header lines with lowercase names, adjusted for the body framing:\n"
     "content_length=N announces N bytes, chunked=True an unknown length.  Leaves the\n"
     "body encoder in flight.  ValueError for an invalid method or URL."},
    {&kSerializeResponse, method_entry<h1_codec_serialize_response>(),
     "The response head as bytes, answering the recorded request method, with the\n"
     "framing lines the body needs and a Date line.  Leaves the body encoder in flight\n"
     "and sets response_is_last and response_close_delimited.  Raises H1UserError\n"
     "('unsupported_status_code', 'unexpected_header'); ValueError for a status outside\n"
     "100-999."},
    {&kSerializeData, method_entry<h1_codec_serialize_data>(),
     "One piece of the body, framed for the encoder in flight: the chunk itself when\n"
     "its framing leaves it unchanged, cut at a declared length, or as one chunk of a\n"
     "chunked body.  ValueError when no message is in flight."},
    {&kSerializeEnd, method_entry<h1_codec_serialize_end>(),
     "The end of the body, taking the encoder out: b'0\\r\\n\\r\\n' for a chunked body,\n"
     "else empty.  Raises H1UserError('body_write_aborted') when a declared length is\n"
     "not all sent."},
    {&kSerializeTrailers, method_entry<h1_codec_serialize_trailers>(),
     "The end of a chunked body with the trailers its Trailer line announced (when the\n"
     "peer accepts trailers), taking the encoder out; otherwise as serialize_end."},
    {&kSerializeHeadAndBody, method_entry<h1_codec_serialize_head_and_body>(),
     "head (as returned by this codec), the framed body and the end, as one bytes\n"
     "object, taking the encoder out."},
    {&kContinueResponseSig, method_entry<h1_codec_continue_response>(),
     "The interim response b'HTTP/1.1 100 Continue\\r\\n\\r\\n'."},
    {&kConnectionClose, method_entry<h1_codec_connection_close>(),
     "Whether some Connection line of headers lists the token 'close'."},
};

}  // namespace

// Constant-initialized, so the class spec may read it during dynamic
// initialization of another file.
constinit const std::span<const MethodSpec> kH1CodecWriteMethods = kMethods;

PyObject* h1_whole_message(h1::Codec& codec, std::string_view head, PyObject* head_object,
                           std::string_view body, const HeadersArg& trailers,
                           std::optional<h1::Error>& error) {
  auto head_alone = [&]() -> PyObject* {
    return head_object != nullptr ? same_bytes(head_object) : new_bytes(head);
  };
  if (!codec.has_encoder()) return head_alone();
  const h1::BodyEncoder& encoder = *codec.encoder();
  if (encoder.kind == h1::BodyFraming::kLength && encoder.remaining == 0) {
    PyObject* result = head_alone();
    if (result != nullptr) codec.end_message();
    return result;
  }
  const DataPlan data = body.empty() ? DataPlan{} : codec.plan_data(body.size());
  EndPlan end;
  error = !trailers.present() ? codec.plan_end(&data, nullptr, end)
                              : with_headers(trailers, [&](const http::HeaderMap& map) {
                                  return codec.plan_end(&data, &map, end);
                                });
  if (error) {
    codec.end_message();
    return nullptr;
  }
  // head, framed data, end: one allocation of the exact total.
  const std::optional<std::size_t> data_size = framed_size(data);
  const std::size_t fixed = head.size() + end.bytes.size();
  if (!data_size || *data_size > SIZE_MAX - fixed) {
    check_bytes_size(SIZE_MAX);
    return nullptr;
  }
  char* out = nullptr;
  PyObject* result = new_bytes_uninitialized(fixed + *data_size, &out);
  if (result == nullptr) return nullptr;
  std::memcpy(out, head.data(), head.size());
  out += head.size();
  switch (data.kind) {
    case DataPlan::Kind::kNoEncoder:
      break;
    case DataPlan::Kind::kWhole:
    case DataPlan::Kind::kPrefix:
      std::memcpy(out, body.data(), data.size);
      out += data.size;
      break;
    case DataPlan::Kind::kChunk:
      out = h1::write_chunk(body, out);
      break;
  }
  if (!end.bytes.empty()) std::memcpy(out, end.bytes.data(), end.bytes.size());
  codec.commit_data(data);
  codec.end_message();
  return result;
}

bool check_h1_status(uint32_t status) {
  if (http::is_status_code(status)) return true;
  PyErr_SetString(PyExc_ValueError, "invalid status: invalid status code");
  return false;
}

}  // namespace vantric::py
