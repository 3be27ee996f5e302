// H1ServerState: the host class over the HTTP/1 server connection state.
//
// Every method is one core transition; locking follows README.md.  The state
// owns the connection's H1Codec and the current request's H1BodyDecoder; a
// transition that needs their bytes takes the codec's or the decoder's own
// mutex inside the state's, one at a time (HostPeers below), and neither
// ever calls back into a state.
#include "py/h1_server_state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/byte_buffer.h"
#include "core/h1/body_decoder.h"
#include "core/h1/head_parser.h"
#include "core/h1/method.h"
#include "core/h1/serializer.h"
#include "core/h1/server_state.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h1_body_decoder.h"
#include "py/h1_codec.h"
#include "py/h1_heads.h"
#include "py/header_map.h"
#include "py/lock.h"
#include "py/method_adapters.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

// The codec's and the decoder's byte work, each under the object's own lock.
struct HostPeers {
  static h1::Codec& core_of(const Ref& codec) { return as_h1_codec(codec.get())->core; }
  static HostMutex& codec_mutex(const Ref& codec) { return as_h1_codec(codec.get())->mutex; }

  static std::size_t codec_buffered(const Ref& codec) {
    HostLock lock(codec_mutex(codec));
    return core_of(codec).buffered();
  }
  static void codec_feed(const Ref& codec, ByteBuffer&& bytes) {
    HostLock lock(codec_mutex(codec));
    core_of(codec).feed_buffer(std::move(bytes));
  }
  // `data` is a bytes object the watcher read (checked on the way in).
  static void codec_feed_data(const Ref& codec, const Ref& data) {
    const std::string_view octets(PyBytes_AS_STRING(data.get()),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
    HostLock lock(codec_mutex(codec));
    core_of(codec).feed(octets);
  }
  static ByteBuffer codec_take(const Ref& codec) {
    HostLock lock(codec_mutex(codec));
    return core_of(codec).take_body();
  }
  static void codec_reset(const Ref& codec) {
    HostLock lock(codec_mutex(codec));
    core_of(codec).reset();
  }
  static ByteBuffer decoder_take_buffered(const Ref& decoder) {
    return h1_body_decoder_take_buffered(decoder.get());
  }
};

using State = h1::ServerState<Ref, HostPeers>;
using ServerStateObject = ObjectFor<State>;
using Dropped = h1::Dropped<Ref>;

ServerStateObject* as_server(PyObject* obj) {
  return as_object<State>(obj);
}

PyObject* new_code(uint8_t code) {
  return PyLong_FromLong(code);
}

// A read step as a method returns it: (code, object or None).
struct ReadStep {
  State::Step step;
};

PyObject* result_object(ReadStep&& read) {
  return pack_pair(Ref::steal(new_code(static_cast<uint8_t>(read.step.code))), std::move(read.step.object));
}

// The bytes of a leftover buffer, or None when there is none.
Ref leftover_bytes(const std::optional<ByteBuffer>& leftover) {
  if (!leftover) return Ref::steal(Py_NewRef(Py_None));
  return Ref::steal(new_bytes(leftover->view()));
}

// ---- construction ---------------------------------------------------------------

constexpr Param kNewParams[] = {{"codec"}, {"transport"}, {"keep_alive", "True"}, {"half_close", "False"}};
constexpr Signature kNew{"H1ServerState", "H1ServerState", CallKind::kConstructor, kNewParams, 2};

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  bool keep_alive = true;
  bool half_close = false;
  if (!parse_args_tuple(kNew, args, kwargs, a)) return nullptr;
  if (!is_h1_codec(a[0])) {
    raise_bad_argument_type(kNew, 0, "H1Codec", a[0]);
    return nullptr;
  }
  if ((a[2] != nullptr && !arg_bool(a[2], kNew, 2, &keep_alive)) ||
      (a[3] != nullptr && !arg_bool(a[3], kNew, 3, &half_close)))
    return nullptr;
  return new_core_object<State>(type, Ref::from_borrowed(a[0]), optional_ref(a[1]), keep_alive, half_close);
}

void server_dealloc(PyObject* obj) {
  // The codec is not among the references the collector clears: it goes
  // with the rest.
  Ref codec = as_server(obj)->core.take_codec();
  destroy_object<ServerStateObject>(obj);
}

PyObject* server_repr(PyObject* self) {
  std::string text = locked<State>(self, [](State& s) { return s.repr(); });
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- method shapes ----------------------------------------------------------------

#define VANTRIC_SIGNATURE(var, name, params) \
  constexpr Signature var{name, "H1ServerState." name, CallKind::kMethod, params};

constexpr Param kSeqParam[] = {{"seq"}};

// ---- the next request -------------------------------------------------------------

VANTRIC_SIGNATURE(kTransportRef, "transport_ref", {})
VANTRIC_SIGNATURE(kCurrentDecoder, "current_decoder", {})
VANTRIC_SIGNATURE(kBeginRead, "begin_read", {})
VANTRIC_SIGNATURE(kUnparkIdleRead, "unpark_idle_read", {})
VANTRIC_SIGNATURE(kFailRead, "fail_read", {})
VANTRIC_SIGNATURE(kStopServing, "stop_serving", {})
VANTRIC_SIGNATURE(kMarkClosed, "mark_closed", {})
VANTRIC_SIGNATURE(kMarkUnusable, "mark_unusable", {})
VANTRIC_SIGNATURE(kRequestShutdown, "request_shutdown", {})
VANTRIC_SIGNATURE(kWatcherAborted, "watcher_aborted", {})
VANTRIC_SIGNATURE(kWatcherDone, "watcher_done", {})
VANTRIC_SIGNATURE(kTakeWatcherHandle, "take_watcher_handle", {})
VANTRIC_SIGNATURE(kTakeWatcherResult, "take_watcher_result", {})
VANTRIC_SIGNATURE(kTrySendContinue, "try_send_continue", kSeqParam)
VANTRIC_SIGNATURE(kBeginBodyRead, "begin_body_read", kSeqParam)
VANTRIC_SIGNATURE(kPeerClosedNow, "peer_closed_now", kSeqParam)
VANTRIC_SIGNATURE(kPeerClosedFlag, "peer_closed_flag", kSeqParam)
VANTRIC_SIGNATURE(kCloseWindow, "close_window", kSeqParam)
VANTRIC_SIGNATURE(kFinishResponse, "finish_response", kSeqParam)
VANTRIC_SIGNATURE(kFailResponse, "fail_response", kSeqParam)
VANTRIC_SIGNATURE(kDetach, "detach", kSeqParam)

Ref op_transport_ref(State& s) {
  const Ref* transport = s.open_transport();
  return transport != nullptr ? transport->share() : Ref();
}
Ref op_current_decoder(State& s) {
  return s.decoder().share();
}
ReadStep op_begin_read(State& s, Dropped& dropped) {
  return {s.begin_read(dropped)};
}
Ref op_watcher_done(State& s) {
  const Ref* done = s.watcher_done();
  return done != nullptr ? done->share() : Ref();
}

constexpr Param kCompleteParam[] = {{"complete"}};
VANTRIC_SIGNATURE(kDrainDone, "drain_done", kCompleteParam)

ReadStep op_drain_done(State& s, bool complete, Dropped& dropped) {
  return {s.drain_done(complete, dropped)};
}

constexpr Param kDataParam[] = {{"data"}};
VANTRIC_SIGNATURE(kAcceptHead, "accept_head", kDataParam)

PyObject* server_accept_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(kAcceptHead, args, nargs, kwnames, a) || !arg_bytes(a[0], kAcceptHead, 0, &data))
    return nullptr;
  // The fields go straight into the map the head hands out.
  Ref headers = Ref::steal(new_head_fields());
  if (!headers) return nullptr;
  // Declared before the lock: released after it whatever happens.
  Dropped dropped;
  Ref head_object;
  Ref decoder_object;
  Progress status;
  h1::ParseKind error = h1::ParseKind::kInternal;
  uint64_t seq = 0;
  {
    ServerStateObject* obj = as_server(self);
    HostLock lock(obj->mutex);
    State& s = obj->core;
    h1::RequestHead head;
    ByteBuffer past_head;
    {
      H1CodecObject* codec = as_h1_codec(s.codec().get());
      HostLock codec_lock(codec->mutex);
      status = codec->core.receive_request_head(data, head, header_map_of(headers.get()), error);
      // Everything after the head goes to the decoder; what lies past the
      // body comes back to the codec before the next head.
      if (status == Progress::kDone) past_head = codec->core.take_body();
    }
    if (status == Progress::kDone) {
      h1::BodyDecoder body = h1::BodyDecoder::for_body_length(head.body_length);
      body.append(std::move(past_head));
      const bool complete = body.is_complete();
      const h1::RequestFacts facts{
          .expect_continue = head.expect_continue,
          .http10 = head.http10,
          .keep_alive = head.keep_alive,
          .is_upgrade = head.is_upgrade,
          .is_connect = head.method == h1::Method::kConnect,
      };
      // Neither object can start a garbage collection, so both are made
      // here: the decoder must be in place before the state is unlocked.
      decoder_object = Ref::steal(h1_body_decoder_new(std::move(body)));
      if (!decoder_object) return nullptr;
      head_object = Ref::steal(new_request_head(std::move(head), headers.release()));
      if (!head_object) return nullptr;
      seq = s.accept(facts, decoder_object.share(), complete, dropped);
    }
  }
  switch (status) {
    case Progress::kDone:
      break;
    case Progress::kFailed:
      raise(h1::Error::parse(error));
      return nullptr;
    case Progress::kNeedMore:
      Py_RETURN_NONE;
  }
  Ref seq_object = Ref::steal(PyLong_FromUnsignedLongLong(seq));
  if (!seq_object) return nullptr;
  return PyTuple_Pack(3, head_object.get(), seq_object.get(), decoder_object.get());
}

PyObject* server_mark_closed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kMarkClosed, args, nargs, kwnames, nullptr)) return nullptr;
  State::Closed closed = locked<State>(self, [](State& s) { return s.mark_closed(); });
  Ref transport = Ref::steal(object_or_none(std::move(closed.transport)));
  Ref done = Ref::steal(object_or_none(std::move(closed.done)));
  return PyTuple_Pack(3, transport.get(), done.get(), closed.already_closed ? Py_True : Py_False);
}

// ---- body reading ---------------------------------------------------------------

constexpr Param kEndBodyReadParams[] = {{"seq"}, {"complete"}};
VANTRIC_SIGNATURE(kEndBodyRead, "end_body_read", kEndBodyReadParams)

// ---- the mid-message window -------------------------------------------------------

// ---- the watcher ------------------------------------------------------------------

constexpr Param kArmWatcherParams[] = {{"seq"}, {"done"}, {"want", "True"}, {"head_negotiated", "False"}};
constexpr Signature kArmWatcher{"arm_watcher", "H1ServerState.arm_watcher", CallKind::kMethod,
                                kArmWatcherParams, 2};

PyObject* server_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  uint64_t seq = 0;
  bool want = true;
  bool head_negotiated = false;
  if (!parse_args(kArmWatcher, args, nargs, kwnames, a) || !arg_u64(a[0], kArmWatcher, 0, &seq) ||
      (a[2] != nullptr && !arg_bool(a[2], kArmWatcher, 2, &want)) ||
      (a[3] != nullptr && !arg_bool(a[3], kArmWatcher, 3, &head_negotiated)))
    return nullptr;
  Ref done = Ref::from_borrowed(a[1]);  // a refused event is released after unlocking
  const bool armed =
      locked<State>(self, [&](State& s) { return s.arm_watcher(seq, done, want, head_negotiated); });
  return PyBool_FromLong(armed);
}

constexpr Param kHandleParam[] = {{"handle"}};
VANTRIC_SIGNATURE(kStoreWatcherHandle, "store_watcher_handle", kHandleParam)

PyObject* server_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kStoreWatcherHandle, args, nargs, kwnames, a)) return nullptr;
  Ref refused =
      locked<State>(self, [&](State& s) { return s.store_watcher_handle(Ref::from_borrowed(a[0])); });
  return object_or_none(std::move(refused));
}

constexpr Param kCompletedParams[] = {{"data", "None"}, {"error", "None"}};
VANTRIC_SIGNATURE(kWatcherCompleted, "watcher_completed", kCompletedParams)

PyObject* server_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kWatcherCompleted, args, nargs, kwnames, a)) return nullptr;
  PyObject* data = a[0] != nullptr ? a[0] : Py_None;
  if (data != Py_None && !PyBytes_Check(data)) {
    raise_bad_argument_type(kWatcherCompleted, 0, "bytes or None", data);
    return nullptr;
  }
  const bool has_bytes = data != Py_None && PyBytes_GET_SIZE(data) != 0;
  Dropped dropped;
  const bool gone = locked<State>(self, [&](State& s) {
    return s.watcher_completed(optional_ref(data), has_bytes, optional_ref(a[1]), dropped);
  });
  return PyBool_FromLong(gone);
}

PyObject* server_take_watcher_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  if (!parse_args(kTakeWatcherResult, args, nargs, kwnames, nullptr)) return nullptr;
  auto [data, error] = locked<State>(self, [](State& s) { return s.take_watcher_result(); });
  return pack_pair(std::move(data), std::move(error));
}

// ---- the response ----------------------------------------------------------------

// Claims the response of `seq` and encodes its head with `framing`; then,
// still under the codec's lock, `bytes_of(codec)` makes the bytes to hand
// back (a new reference, or nullptr with `error` or an exception set).  The
// host result is (code, bytes or None, armed); encoder errors raise after the
// claim.
template <class BytesOf>
PyObject* claim_and_encode(PyObject* self, uint64_t seq, uint16_t status, bool want, Ref& done,
                           const HeadersArg& headers, h1::BodyRequest framing, BytesOf&& bytes_of) {
  Ref bytes;
  std::optional<h1::Error> error;
  State::Respond out;
  {
    ServerStateObject* obj = as_server(self);
    HostLock lock(obj->mutex);
    State& s = obj->core;
    H1CodecObject* codec = as_h1_codec(s.codec().get());
    out = s.respond_head(
        seq, status, want, done, [&](bool keep_alive, bool http10) -> std::optional<h1::ResponseVerdicts> {
          HostLock codec_lock(codec->mutex);
          h1::Codec& c = codec->core;
          error = with_headers(headers, [&](const http::HeaderMap& fields) {
            return c.serialize_response(status, fields, keep_alive, http10, framing);
          });
          if (error) return std::nullopt;
          const h1::ResponseVerdicts verdicts{c.response_is_last(), c.response_close_delimited()};
          bytes = Ref::steal(bytes_of(c, error));
          if (!bytes) return std::nullopt;
          return verdicts;
        });
  }
  if (out.code == h1::RequestClaim::kOk && !out.encoded) {
    // The claim stands; a failure to build the bytes is already set.
    if (error) raise(*error);
    return nullptr;
  }
  Ref code = Ref::steal(new_code(static_cast<uint8_t>(out.code)));
  if (!code) return nullptr;
  Ref bytes_or_none = Ref::steal(object_or_none(std::move(bytes)));
  return PyTuple_Pack(3, code.get(), bytes_or_none.get(), out.armed ? Py_True : Py_False);
}

constexpr Param kRespondHeadParams[] = {
    {"seq"},           {"status"}, {"headers"}, {"done"}, {"content_length", "None"}, {"chunked", "False"},
    {"want", "False"},
};
constexpr Signature kRespondHead{"respond_head", "H1ServerState.respond_head", CallKind::kMethod,
                                 kRespondHeadParams, 4};

PyObject* server_respond_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[7];
  uint64_t seq = 0;
  uint16_t status = 0;
  HeadersArg headers;
  std::optional<uint64_t> content_length;
  bool chunked = false;
  bool want = false;
  if (!parse_args(kRespondHead, args, nargs, kwnames, a) || !arg_u64(a[0], kRespondHead, 0, &seq) ||
      !arg_u16(a[1], kRespondHead, 1, &status) ||
      !arg_headers(a[2], kRespondHead, 2, HeadersAccept::kConvertibleOrNone, &headers) ||
      !arg_optional_u64(a[4], kRespondHead, 4, &content_length) ||
      (a[5] != nullptr && !arg_bool(a[5], kRespondHead, 5, &chunked)) ||
      (a[6] != nullptr && !arg_bool(a[6], kRespondHead, 6, &want)))
    return nullptr;
  // Checked with the other arguments, before the response is claimed.
  if (!check_h1_status(status)) return nullptr;
  // Declared before the lock: a `done` that was not stored is released after it.
  Ref done = Ref::from_borrowed(a[3]);
  return claim_and_encode(self, seq, status, want, done, headers,
                          h1::BodyRequest::of(content_length, chunked),
                          [](h1::Codec& c, std::optional<h1::Error>&) {
                            // Copied out under the codec's lock: its write buffer is reused by
                            // the next head any caller encodes.
                            return new_bytes(c.written());
                          });
}

constexpr Param kRespondWholeParams[] = {{"seq"}, {"status"}, {"headers"}, {"body"}, {"trailers", "None"}};
constexpr Signature kRespondWhole{"respond_whole", "H1ServerState.respond_whole", CallKind::kMethod,
                                  kRespondWholeParams};

PyObject* server_respond_whole(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  uint64_t seq = 0;
  uint16_t status = 0;
  HeadersArg headers;
  std::string_view body;
  HeadersArg trailers;
  if (!parse_args(kRespondWhole, args, nargs, kwnames, a) || !arg_u64(a[0], kRespondWhole, 0, &seq) ||
      !arg_u16(a[1], kRespondWhole, 1, &status) ||
      !arg_headers(a[2], kRespondWhole, 2, HeadersAccept::kConvertibleOrNone, &headers) ||
      !arg_bytes(a[3], kRespondWhole, 3, &body) ||
      !arg_headers(a[4], kRespondWhole, 4, HeadersAccept::kConvertibleOrNone, &trailers))
    return nullptr;
  if (!check_h1_status(status)) return nullptr;
  Ref none;
  return claim_and_encode(self, seq, status, false, none, headers, h1::BodyRequest::of(body.size(), false),
                          [&](h1::Codec& c, std::optional<h1::Error>& error) {
                            // The head is framed straight from the codec's write buffer,
                            // unless the trailer section is about to be built there.
                            std::string head_copy;
                            std::string_view head = c.written();
                            if (trailers.present()) head = head_copy.assign(head);
                            return h1_whole_message(c, head, nullptr, body, trailers, error);
                          });
}

PyObject* server_finish_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  uint64_t seq = 0;
  if (!parse_args(kFinishResponse, args, nargs, kwnames, a) || !arg_u64(a[0], kFinishResponse, 0, &seq))
    return nullptr;
  State::Finish fin = locked<State>(self, [seq](State& s) { return s.finish_response(seq); });
  Ref transport = Ref::steal(object_or_none(std::move(fin.transport)));
  Ref leftover = leftover_bytes(fin.leftover);
  if (!leftover) return nullptr;
  return PyTuple_Pack(4, fin.switched ? Py_True : Py_False, fin.close ? Py_True : Py_False, transport.get(),
                      leftover.get());
}

PyObject* server_detach(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  uint64_t seq = 0;
  if (!parse_args(kDetach, args, nargs, kwnames, a) || !arg_u64(a[0], kDetach, 0, &seq)) return nullptr;
  Dropped dropped;
  State::Detach out = locked<State>(self, [&](State& s) { return s.detach(seq, dropped); });
  Ref transport = Ref::steal(object_or_none(std::move(out.transport)));
  Ref leftover = leftover_bytes(out.leftover);
  Ref code = Ref::steal(new_code(static_cast<uint8_t>(out.code)));
  if (!leftover || !code) return nullptr;
  return PyTuple_Pack(3, code.get(), transport.get(), leftover.get());
}

// ---- properties -----------------------------------------------------------------

Ref op_codec(State& s) {
  return s.codec().share();
}

template <auto Field>
constexpr auto kProperty = crossing<locked_property<Field>>;

const MethodSpec kMethods[] = {
    method<kTransportRef, op_transport_ref>(
        "The transport, or None once the connection closed or was handed off."),
    method<kCurrentDecoder, op_current_decoder>("The current request's H1BodyDecoder, or None."),
    method<kBeginRead, op_begin_read>(
        "Where the next request head comes from: (code, object), an H1_NEXT_* code with\n"
        "None or the transport to close, or an H1_READ_* code with the object it names\n"
        "(the transport to read, the watcher's done event to await)."),
    method<kDrainDone, op_drain_done, arg_bool>(
        "One drain attempt of an unread body ended: the read step's (code, object) when\n"
        "complete, else (H1_NEXT_CLOSE, transport)."),
    method<kUnparkIdleRead, &State::unpark_idle_read>(
        "The idle read returned; True when a shutdown closed the connection meanwhile."),
    {&kAcceptHead, method_entry<server_accept_head>(),
     "Feed data to the codec's request-head parser: (head, seq, decoder) once a head is\n"
     "complete (the decoder already holds the bytes that followed it), None while more\n"
     "bytes are needed.  Raises H1ParseError with the state unchanged."},
    method<kFailRead, &State::fail_read>(
        "A head could not be read: close and return the transport (for the codec's\n"
        "automatic error response), or None."),
    method<kStopServing, &State::stop_serving>(
        "Serve no more requests; the transport stays for mark_closed()."),
    {&kMarkClosed, method_entry<server_mark_closed>(),
     "Close: (transport, watcher done event, already_closed)."},
    method<kMarkUnusable, &State::mark_unusable>(
        "The connection serves no further request (the body read broke)."),
    method<kRequestShutdown, &State::request_shutdown>(
        "Graceful shutdown: serve no further request.  Returns the transport when an idle\n"
        "read was parked (closing it ends that read), else None."),
    method<kTrySendContinue, &State::try_send_continue, arg_u64>(
        "Claim the one 100 Continue of request seq; True when the caller writes it."),
    method<kBeginBodyRead, &State::begin_body_read, arg_u64>(
        "Claim the transport read for the body of request seq."),
    method<kEndBodyRead, &State::end_body_read, arg_u64, arg_bool>(
        "Release the body read of request seq; complete when the body was read to its end."),
    method<kPeerClosedNow, &State::peer_closed_now, arg_u64>(
        "Whether the client of request seq left: True or False once the response is done,\n"
        "None while it is in flight (arm the watcher and wait)."),
    method<kPeerClosedFlag, &State::peer_closed_flag, arg_u64>(
        "Whether the client of request seq was seen leaving."),
    {&kArmWatcher, method_entry<server_arm_watcher>(),
     "Ask for the background read during the response of request seq; True when the\n"
     "caller spawns the watcher task for done."},
    {&kStoreWatcherHandle, method_entry<server_store_watcher_handle>(),
     "Store the watcher task's handle; returns the handle itself when refused."},
    {&kWatcherCompleted, method_entry<server_watcher_completed>(),
     "The watcher's read finished with data (b'' is end of stream) or error; True when\n"
     "the client left mid-response (resolve the request's peer_closed())."},
    method<kWatcherAborted, &State::watcher_aborted>("The watcher's read was aborted: nothing to report."),
    method<kWatcherDone, op_watcher_done>("The watcher's done event, or None without a watcher."),
    method<kTakeWatcherHandle, &State::take_watcher_handle>(
        "Take the watcher task's handle to join it, or None."),
    {&kTakeWatcherResult, method_entry<server_take_watcher_result>(),
     "Take the (data, error) the watcher read."},
    method<kCloseWindow, &State::close_window, arg_u64>(
        "End the mid-message window of request seq; True when it flipped (set the\n"
        "request's peer-closed event)."),
    {&kRespondHead, method_entry<server_respond_head>(),
     "Claim the response of request seq and encode its head: (code, head bytes or None,\n"
     "armed).  H1_REQ_CONTINUE: a 100 Continue is being written, call again once it is.\n"
     "armed: a watcher slot was created for done.  Encoder errors raise after the claim."},
    {&kRespondWhole, method_entry<server_respond_whole>(),
     "Claim the response of request seq and encode all of it, head, body (framed by\n"
     "its length) and trailers (when the client takes them), as one bytes object:\n"
     "(code, bytes or None, armed), the codes as for respond_head."},
    {&kFinishResponse, method_entry<server_finish_response>(),
     "The response of request seq is on the wire: (switch, close, transport, leftover)."},
    method<kFailResponse, &State::fail_response, arg_u64>(
        "The response failed: close and return the transport, or None."),
    {&kDetach, method_entry<server_detach>(),
     "Take over the raw connection without a response: (code, transport, leftover)."},
};

const PropertySpec kProperties[] = {
    {"codec", kProperty<op_codec>, "The connection's H1Codec."},
    {"closed", kProperty<&State::closed>, "No more requests are served."},
    {"reusable", kProperty<&State::reusable>, "The connection may serve another request."},
    {"upgraded", kProperty<&State::upgraded>, "The transport was handed off (protocol switch or detach)."},
    {"half_close", kProperty<&State::half_close>,
     "The client may half-close its side: no watcher read is ever armed."},
    {"keep_alive_enabled", kProperty<&State::keep_alive_enabled>, "Keep-alive is enabled."},
    {"shutdown_requested", kProperty<&State::shutdown_requested>, "A graceful shutdown was requested."},
    {"has_watcher", kProperty<&State::has_watcher>,
     "A watcher read is parked, or completed and not yet consumed."},
    {"watcher_parked", kProperty<&State::watcher_parked>,
     "A mid-message watcher read is parked on the transport right now."},
    {"current_seq", kProperty<&State::current_seq>, "The current request's seq; 0 before the first."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<server_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<server_dealloc>)},
    {Py_tp_traverse, reinterpret_cast<void*>(crossing<core_object_traverse<State>>)},
    {Py_tp_clear, reinterpret_cast<void*>(crossing<core_object_clear<State>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<server_repr>)},
};

constexpr ClassSpec kSpec{
    .name = "H1ServerState",
    .doc =
        "The state of one HTTP/1 server connection and of its current request: where\n"
        "the next head comes from, who reads the transport, whether a response may\n"
        "start, and whether the connection is reused, closed or handed off.  It owns\n"
        "the connection's H1Codec and the current request's H1BodyDecoder.  Every\n"
        "method is one atomic transition that returns what the driver must act on.",
    .constructor = &kNew,
    .subclassable = true,
    .gc = HoldsHostObjects<State>,
    .basicsize = sizeof(ServerStateObject),
    .methods = kMethods,
    .properties = kProperties,
    .slots = kSlots,
};

#undef VANTRIC_SIGNATURE

}  // namespace

PyTypeObject* h1_server_state_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
