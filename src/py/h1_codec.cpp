// H1Codec: the host class over the HTTP/1 codec core of one connection (the
// read side; the write side is h1_codec_write.cpp).  Locking follows
// README.md.  A parsed head owns its octets, so nothing refers back into the
// codec.
#include "py/h1_codec.h"

#include <optional>

#include "core/h1/head_parser.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h1_body_decoder.h"
#include "py/h1_heads.h"
#include "py/method_adapters.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

using h1::Codec;
using h1::CodecConfig;

// ---- construction --------------------------------------------------------------

constexpr Param kNewParams[] = {
    {"max_headers", "None"},         {"ignore_invalid_headers", "False"},
    {"title_case_headers", "False"}, {"date_header", "True"},
    {"max_buf_size", "..."},
};
constexpr Signature kNew{"H1Codec", "H1Codec", CallKind::kConstructor, kNewParams, 0};

PyObject* h1_codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!parse_args_tuple(kNew, args, kwargs, a)) return nullptr;
  CodecConfig config;
  uint64_t max_buf_size = h1::kDefaultMaxBufSize;
  if (!arg_optional_u64(a[0], kNew, 0, &config.max_headers) ||
      (a[1] != nullptr && !arg_bool(a[1], kNew, 1, &config.ignore_invalid_headers)) ||
      (a[2] != nullptr && !arg_bool(a[2], kNew, 2, &config.title_case_headers)) ||
      (a[3] != nullptr && !arg_bool(a[3], kNew, 3, &config.date_header)) ||
      (a[4] != nullptr && !arg_u64(a[4], kNew, 4, &max_buf_size)))
    return nullptr;
  if (max_buf_size < h1::kMinMaxBufSize) {
    PyErr_Format(PyExc_ValueError, "the max_buf_size cannot be smaller than %zu", h1::kMinMaxBufSize);
    return nullptr;
  }
  config.max_buf_size = static_cast<std::size_t>(max_buf_size);
  return new_core_object<Codec>(type, config);
}

// ---- read side -----------------------------------------------------------------

constexpr Param kDataParams[] = {{"data"}};
constexpr Signature kFeed{"feed", "H1Codec.feed", CallKind::kMethod, kDataParams};

// Appends `data` and parses a head with the codec operation `Receive`; the
// fields go straight into the map the head object will hand out.  The head,
// None while more bytes are needed, or the parse error raised.
template <class Head,
          Progress (h1::Codec::*Receive)(std::string_view, Head&, http::HeaderMap&, h1::ParseKind&),
          PyObject* (*Build)(Head&&, PyObject*)>
PyObject* receive_head_object(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_bytes(a[0], sig, 0, &data)) return nullptr;
  Ref headers = Ref::steal(new_head_fields());
  if (!headers) return nullptr;
  Head head;
  h1::ParseKind error = h1::ParseKind::kInternal;
  Progress status;
  {
    HostLock lock(as_h1_codec(self)->mutex);
    status = (as_h1_codec(self)->core.*Receive)(data, head, header_map_of(headers.get()), error);
  }
  switch (status) {
    case Progress::kDone:
      return Build(std::move(head), headers.release());
    case Progress::kFailed:
      raise(h1::Error::parse(error));
      return nullptr;
    case Progress::kNeedMore:
      break;
  }
  Py_RETURN_NONE;
}

constexpr Signature kReceiveHead{"receive_head", "H1Codec.receive_head", CallKind::kMethod, kDataParams};

PyObject* h1_codec_receive_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return receive_head_object<h1::ResponseHead, &h1::Codec::receive_head, new_response_head>(
      kReceiveHead, self, args, nargs, kwnames);
}

constexpr Signature kReceiveRequestHead{"receive_request_head", "H1Codec.receive_request_head",
                                        CallKind::kMethod, kDataParams};

PyObject* h1_codec_receive_request_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return receive_head_object<h1::RequestHead, &h1::Codec::receive_request_head, new_request_head>(
      kReceiveRequestHead, self, args, nargs, kwnames);
}

constexpr Signature kTakeBody{"take_body", "H1Codec.take_body", CallKind::kMethod, {}};

PyObject* h1_codec_take_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kTakeBody, args, nargs, kwnames, nullptr)) return nullptr;
  HostLock lock(as_h1_codec(self)->mutex);
  Codec& codec = as_h1_codec(self)->core;
  // Copied into the result, the storage stays for the next message's head.
  PyObject* body = new_bytes(codec.buffered_view());
  if (body != nullptr) codec.clear_buffer();
  return body;
}

constexpr Param kDecoderParams[] = {{"decoder"}};
constexpr Signature kTakeBodyInto{"take_body_into", "H1Codec.take_body_into", CallKind::kMethod,
                                  kDecoderParams};

PyObject* h1_codec_take_body_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kTakeBodyInto, args, nargs, kwnames, a)) return nullptr;
  if (!is_h1_body_decoder(a[0])) {
    raise_bad_argument_type(kTakeBodyInto, 0, "H1BodyDecoder", a[0]);
    return nullptr;
  }
  ByteBuffer bytes;
  {
    HostLock lock(as_h1_codec(self)->mutex);
    bytes = as_h1_codec(self)->core.take_body();
  }
  // The two mutexes are never held together.
  h1_body_decoder_append(a[0], std::move(bytes));
  Py_RETURN_NONE;
}

constexpr Signature kBuffered{"buffered", "H1Codec.buffered", CallKind::kMethod, {}};

constexpr Signature kReset{"reset", "H1Codec.reset", CallKind::kMethod, {}};

constexpr Signature kBodyIsEof{"body_is_eof", "H1Codec.body_is_eof", CallKind::kMethod, {}};

// ---- attributes ----------------------------------------------------------------

PyObject* h1_codec_max_buf_size(PyObject* self, void*) {
  // Configuration: fixed at construction, read without the mutex.
  return PyLong_FromSize_t(as_h1_codec(self)->core.config().max_buf_size);
}

const MethodSpec kMethods[] = {
    method<kFeed, &Codec::feed, arg_bytes>(
        "Append data to the read buffer without parsing (bytes another reader took past a\n"
        "message go back where they belong)."),
    {&kReceiveHead, method_entry<h1_codec_receive_head>(),
     "Append data, then parse a response head to the recorded request method: an\n"
     "H1ResponseHead, or None while more bytes are needed.  Interim 1xx responses are\n"
     "skipped.  Raises H1ParseError; the failing head's bytes stay buffered."},
    {&kReceiveRequestHead, method_entry<h1_codec_receive_request_head>(),
     "Append data, then parse a request head: an H1RequestHead, or None while more\n"
     "bytes are needed.  Records the method and the trailers-allowed flag.  Raises\n"
     "H1ParseError and sets parse_error_status; the failing head's bytes stay buffered."},
    {&kTakeBody, method_entry<h1_codec_take_body>(), "Take every byte of the read buffer, as bytes."},
    {&kTakeBodyInto, method_entry<h1_codec_take_body_into>(),
     "Move every byte of the read buffer into the input of an H1BodyDecoder, without\n"
     "copying when its input is empty."},
    method<kBuffered, &Codec::buffered>("The number of bytes in the read buffer."),
    method<kReset, &Codec::reset>(
        "Clear the per-message state (recorded method, body encoder, parse_error_status,\n"
        "request_connection_close, trailers allowed); the read buffer stays."),
    method<kBodyIsEof, &Codec::body_is_eof>(
        "True when no body encoder is in flight, or its declared length is all sent."),
};

const PropertySpec kProperties[] = {
    {"max_buf_size", crossing<h1_codec_max_buf_size>,
     "The cap on an incomplete head; also the driver's limit for writing a small body\n"
     "together with its head."},
    {"response_is_last", crossing<locked_property<&Codec::response_is_last>>,
     "The last serialize_response decided the connection closes after that response."},
    {"response_close_delimited", crossing<locked_property<&Codec::response_close_delimited>>,
     "The last serialize_response chose a body that ends by closing the connection."},
    {"parse_error_status", crossing<locked_property<&Codec::parse_error_status>>,
     "After a failed receive_request_head: the status to answer with (400, 414 or 431),\n"
     "or None when the server answers nothing (an HTTP/2 preface)."},
    {"request_connection_close", crossing<locked_property<&Codec::request_connection_close>>,
     "The last serialized request listed 'close' in a Connection field: the connection\n"
     "must not be reused."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h1_codec_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<Codec>>)},
};

// Not constexpr: the write side's table is defined in its own file.
const ClassSpec kSpec{
    .name = "H1Codec",
    .doc =
        "The synchronous HTTP/1 codec of one connection: parses request or response\n"
        "heads from a read buffer that outlives single messages (pipelined bytes stay\n"
        "buffered), hands body bytes to a decoder and frames outgoing messages.  It\n"
        "performs no I/O; one internal mutex guards it.",
    .constructor = &kNew,
    .basicsize = sizeof(H1CodecObject),
    .methods = kMethods,
    .more_methods = {kH1CodecWriteMethods},
    .properties = kProperties,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* h1_codec_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
