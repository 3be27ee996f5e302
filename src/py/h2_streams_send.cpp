// The send methods of H2Streams and the end of the connection (open_stream,
// send_*, the resets, capacity release, GOAWAY, fail, the graceful shutdown),
// with their verdict records H2SendVerdict and H2ResetVerdict.
//
// Each method is one core step under the state mutex; locking follows
// README.md (a second exception given to fail() is released after the lock
// like the stream handles the table drops).
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/h2/streams.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h2_streams.h"
#include "py/h2_streams_object.h"
#include "py/header_map.h"
#include "py/method_adapters.h"
#include "py/record_fields.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

template <class T>
T* as(PyObject* obj) {
  return reinterpret_cast<T*>(obj);
}

// ---- the verdict records ---------------------------------------------------------

struct SendVerdictObject {
  PyObject_HEAD PyObject* stopped;  // H2Stopped, or nullptr (None)
  PyObject* handle;                 // or nullptr (None)
  PyObject* reader_stop;            // H2Stopped, or nullptr (None)
  uint32_t sent;
  uint32_t flags;
  bool done;
};

struct ResetVerdictObject {
  PyObject_HEAD PyObject* handle;  // or nullptr (None)
  PyObject* stop;                  // H2Stopped, or nullptr (None)
  uint32_t flags;
};

PyObject* send_verdict_repr(PyObject* obj) {
  auto* self = as<SendVerdictObject>(obj);
  return PyUnicode_FromFormat("H2SendVerdict(sent=%lu, done=%s, stopped=%R, flags=%lu)",
                              static_cast<unsigned long>(self->sent), self->done ? "true" : "false",
                              self->stopped != nullptr ? self->stopped : Py_None,
                              static_cast<unsigned long>(self->flags));
}

PyObject* reset_verdict_repr(PyObject* obj) {
  auto* self = as<ResetVerdictObject>(obj);
  return PyUnicode_FromFormat("H2ResetVerdict(stop=%R, flags=%lu)",
                              self->stop != nullptr ? self->stop : Py_None,
                              static_cast<unsigned long>(self->flags));
}

const PropertySpec kSendVerdictProperties[] = {
    {"sent", crossing<record_field<&SendVerdictObject::sent>>,
     "Octets of data[offset:] framed and queued; 0 with done false means no window now."},
    {"done", crossing<record_field<&SendVerdictObject::done>>,
     "The last octet, and END_STREAM when asked, is queued."},
    {"stopped", crossing<record_field<&SendVerdictObject::stopped>>,
     "An H2Stopped when the stream can no longer send, else None."},
    {"flags", crossing<record_field<&SendVerdictObject::flags>>, "H2_FLAG_* bits."},
    {"handle", crossing<record_field<&SendVerdictObject::handle>>,
     "Server, response complete: the stream whose unread request body was reset, or None."},
    {"reader_stop", crossing<record_field<&SendVerdictObject::reader_stop>>,
     "The H2Stopped the request-body readers of handle must see, or None."},
};

const PropertySpec kResetVerdictProperties[] = {
    {"handle", crossing<record_field<&ResetVerdictObject::handle>>,
     "The stream's handle, or None when no live stream was reset."},
    {"stop", crossing<record_field<&ResetVerdictObject::stop>>,
     "The H2Stopped the body readers must see; None for a clean end by a local cancel."},
    {"flags", crossing<record_field<&ResetVerdictObject::flags>>, "H2_FLAG_* bits."},
};

constexpr ClassSpec kSendVerdictSpec =
    record_spec<SendVerdictObject, send_verdict_repr, &SendVerdictObject::stopped, &SendVerdictObject::handle,
                &SendVerdictObject::reader_stop>(
        "H2SendVerdict", "What an H2Streams send method (send_data, send_trailers, send_response_head) did.",
        kSendVerdictProperties);

constexpr ClassSpec kResetVerdictSpec = record_spec<ResetVerdictObject, reset_verdict_repr,
                                                    &ResetVerdictObject::handle, &ResetVerdictObject::stop>(
    "H2ResetVerdict", "What an H2Streams reset (reset_stream, reset_on_error, aclose_body) did.",
    kResetVerdictProperties);

// A new H2Stopped for `stop`, or nullptr without one (true) or after a failure (false).
bool stop_object(const std::optional<h2::Stop>& stop, PyObject** out) {
  *out = stop ? new_h2_stopped(stop->reason, stop->conn) : nullptr;
  return !stop || *out != nullptr;
}

PyObject* send_verdict_object(h2::SendVerdict<Ref>& verdict) {
  Ref out = Ref::steal(reinterpret_cast<PyObject*>(alloc_record<SendVerdictObject>(h2_send_verdict_type())));
  if (!out) return nullptr;
  auto* self = as<SendVerdictObject>(out.get());
  self->handle = verdict.handle.release();
  self->sent = verdict.sent;
  self->flags = verdict.flags;
  self->done = verdict.done;
  if (!stop_object(verdict.stopped, &self->stopped) || !stop_object(verdict.reader_stop, &self->reader_stop))
    return nullptr;
  return out.release();
}

PyObject* reset_verdict_object(h2::LocalResetVerdict<Ref>& verdict) {
  Ref out =
      Ref::steal(reinterpret_cast<PyObject*>(alloc_record<ResetVerdictObject>(h2_reset_verdict_type())));
  if (!out) return nullptr;
  auto* self = as<ResetVerdictObject>(out.get());
  self->handle = verdict.handle.release();
  self->flags = verdict.flags;
  if (!stop_object(verdict.stop, &self->stop)) return nullptr;
  return out.release();
}

// The value of a core result that may also refuse an argument, or nullptr
// after raising the error (ValueError for the argument).
template <class T>
T* value_or_raise(std::variant<T, h2::Error, h2::InvalidArgument>& result) {
  if (auto* error = std::get_if<h2::Error>(&result)) {
    raise(*error);
    return nullptr;
  }
  if (auto* refused = std::get_if<h2::InvalidArgument>(&result)) {
    PyErr_SetString(PyExc_ValueError, refused->message.c_str());
    return nullptr;
  }
  return &std::get<T>(result);
}

// ---- the methods -----------------------------------------------------------------

#define VANTRIC_SIGNATURE(var, name, ...) \
  constexpr Signature var{name, "H2Streams." name, CallKind::kMethod, __VA_ARGS__};

constexpr Param kOpenParams[] = {{"method"},  {"target"}, {"headers"},        {"end_stream"},
                                 {"is_head"}, {"handle"}, {"scheme", "None"}, {"authority", "None"}};
constexpr Param kSendDataParams[] = {{"sid"}, {"data"}, {"offset"}, {"end_stream"}};
constexpr Param kTrailersParams[] = {{"sid"}, {"trailers"}};
constexpr Param kResponseParams[] = {{"sid"}, {"status"}, {"headers"}, {"end_stream"}};
constexpr Param kResetParams[] = {{"sid"}, {"reason"}, {"initiator", "'user'"}};
constexpr Param kReasonParams[] = {{"sid"}, {"reason"}};
constexpr Param kSidParams[] = {{"sid"}};
constexpr Param kCapacityParams[] = {{"sid"}, {"n"}};
constexpr Param kFrameLenParams[] = {{"sid"}, {"payload_len"}};
constexpr Param kGoAwayParams[] = {{"reason"}};
constexpr Param kFailParams[] = {{"exc", "None"}, {"message", "'connection closed'"}};
VANTRIC_SIGNATURE(kOpenStream, "open_stream", kOpenParams, 6)
VANTRIC_SIGNATURE(kSendData, "send_data", kSendDataParams)
VANTRIC_SIGNATURE(kSendTrailers, "send_trailers", kTrailersParams)
VANTRIC_SIGNATURE(kSendResponseHead, "send_response_head", kResponseParams)
VANTRIC_SIGNATURE(kResetStream, "reset_stream", kResetParams)
VANTRIC_SIGNATURE(kResetOnError, "reset_on_error", kReasonParams)
VANTRIC_SIGNATURE(kAcloseBody, "aclose_body", kSidParams)
VANTRIC_SIGNATURE(kReleaseCapacity, "release_capacity", kCapacityParams)
VANTRIC_SIGNATURE(kReleaseDataFrame, "release_data_frame", kFrameLenParams)
VANTRIC_SIGNATURE(kAccepted, "accepted", kSidParams)
VANTRIC_SIGNATURE(kSendGoaway, "send_goaway", kGoAwayParams)
VANTRIC_SIGNATURE(kFail, "fail", kFailParams)
VANTRIC_SIGNATURE(kConnError, "conn_error", {})
VANTRIC_SIGNATURE(kGoawayInfo, "goaway_info", {})
VANTRIC_SIGNATURE(kIsClosed, "is_closed", {})
VANTRIC_SIGNATURE(kIsFailed, "is_failed", {})
VANTRIC_SIGNATURE(kBeginGracefulShutdown, "begin_graceful_shutdown", {})

#undef VANTRIC_SIGNATURE

PyObject* streams_open_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = kOpenStream;
  PyObject* a[8];
  std::string_view method, target;
  HeadersArg headers;
  bool end_stream = false, is_head = false;
  std::optional<std::string_view> scheme, authority;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_str(a[0], sig, 0, &method) ||
      !arg_str(a[1], sig, 1, &target) ||
      !arg_headers(a[2], sig, 2, HeadersAccept::kHeaderMapOrNone, &headers) ||
      !arg_bool(a[3], sig, 3, &end_stream) || !arg_bool(a[4], sig, 4, &is_head) ||
      !arg_optional_str(a[6], sig, 6, &scheme) || !arg_optional_str(a[7], sig, 7, &authority))
    return nullptr;
  // The head is checked before locking; a refusal still gives the slot back.
  const auto head = h2::build_request_head(method, target, scheme, authority);
  Ref handle = Ref::from_borrowed(a[5]);  // kept, and released after the lock, unless the stream opens
  auto opened = locked<H2State>(self, [&](H2State& s) {
    return with_headers(headers, [&](const http::HeaderMap& map) {
      return s.open_stream(head, &map, end_stream, is_head, std::move(handle));
    });
  });
  auto* id = value_or_raise(opened);
  return id != nullptr ? result_object(*id) : nullptr;
}

PyObject* streams_send_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = kSendData;
  PyObject* a[4];
  uint32_t sid = 0, offset = 0;
  std::string_view data;
  bool end_stream = false;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_u32(a[0], sig, 0, &sid) ||
      !arg_bytes(a[1], sig, 1, &data) || !arg_u32(a[2], sig, 2, &offset) ||
      !arg_bool(a[3], sig, 3, &end_stream))
    return nullptr;
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.send_data(sid, data, offset, end_stream, dropped);
  });
  auto* verdict = value_or_raise(result);
  return verdict != nullptr ? send_verdict_object(*verdict) : nullptr;
}

PyObject* streams_send_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = kSendTrailers;
  PyObject* a[2];
  uint32_t sid = 0;
  HeadersArg trailers;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_u32(a[0], sig, 0, &sid) ||
      !arg_headers(a[1], sig, 1, HeadersAccept::kHeaderMap, &trailers))
    return nullptr;
  auto verdict = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return with_headers(trailers,
                        [&](const http::HeaderMap& map) { return s.send_trailers(sid, map, dropped); });
  });
  return send_verdict_object(verdict);
}

PyObject* streams_send_response_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  const Signature& sig = kSendResponseHead;
  PyObject* a[4];
  uint32_t sid = 0, status = 0;
  HeadersArg headers;
  bool end_stream = false;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_u32(a[0], sig, 0, &sid) ||
      !arg_u32(a[1], sig, 1, &status) ||
      !arg_headers(a[2], sig, 2, HeadersAccept::kHeaderMapOrNone, &headers) ||
      !arg_bool(a[3], sig, 3, &end_stream))
    return nullptr;
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return with_headers(headers, [&](const http::HeaderMap& map) {
      return s.send_response_head(sid, status, &map, end_stream, dropped);
    });
  });
  auto* verdict = value_or_raise(result);
  return verdict != nullptr ? send_verdict_object(*verdict) : nullptr;
}

PyObject* streams_reset_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = kResetStream;
  PyObject* a[3];
  uint32_t sid = 0, reason = 0;
  std::string_view initiator_text = "user";
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_u32(a[0], sig, 0, &sid) ||
      !arg_u32(a[1], sig, 1, &reason) || (a[2] != nullptr && !arg_str(a[2], sig, 2, &initiator_text)))
    return nullptr;
  const std::optional<h2::Initiator> initiator = h2::parse_initiator(initiator_text);
  if (!initiator) {
    PyErr_SetString(PyExc_ValueError, h2::initiator_error_message(initiator_text).c_str());
    return nullptr;
  }
  auto verdict = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.reset_stream(sid, reason, *initiator, h2::MonoClock::now(), dropped);
  });
  return reset_verdict_object(verdict);
}

PyObject* streams_reset_on_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = kResetOnError;
  PyObject* a[2];
  uint32_t sid = 0, reason = 0;
  if (!parse_args(sig, args, nargs, kwnames, a) || !arg_u32(a[0], sig, 0, &sid) ||
      !arg_u32(a[1], sig, 1, &reason))
    return nullptr;
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.reset_on_error(sid, reason, h2::MonoClock::now(), dropped);
  });
  auto* verdict = value_or_raise(result);
  return verdict != nullptr ? reset_verdict_object(*verdict) : nullptr;
}

PyObject* streams_aclose_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint32_t sid = 0;
  if (!parse_arg(kAcloseBody, args, nargs, kwnames, arg_u32, &sid)) return nullptr;
  auto verdict = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.aclose_body(sid, h2::MonoClock::now(), dropped);
  });
  return reset_verdict_object(verdict);
}

uint32_t op_release_capacity(H2State& s, uint32_t sid, uint32_t n, std::vector<Ref>& dropped) {
  return s.release_capacity(sid, n, dropped);
}
void op_release_data_frame(H2State& s, uint32_t sid, uint32_t payload_len, std::vector<Ref>&) {
  s.release_data_frame(sid, payload_len);
}

PyObject* streams_accepted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint32_t sid = 0;
  if (!parse_arg(kAccepted, args, nargs, kwnames, arg_u32, &sid)) return nullptr;
  dropping(self, [&](H2State& s, std::vector<Ref>& dropped) { s.accepted(sid, dropped); });
  Py_RETURN_NONE;
}

PyObject* streams_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = kFail;
  PyObject* a[2];
  std::string_view message = "connection closed";
  if (!parse_args(sig, args, nargs, kwnames, a) || (a[1] != nullptr && !arg_str(a[1], sig, 1, &message)))
    return nullptr;
  if (a[0] != nullptr && a[0] != Py_None && !PyExceptionInstance_Check(a[0])) {
    raise_bad_argument_type(sig, 0, "BaseException or None", a[0]);
    return nullptr;
  }
  Ref exc = optional_ref(a[0]);
  std::vector<std::pair<Ref, h2::Stop>> aborted;
  dropping(self,
           [&](H2State& s, std::vector<Ref>& dropped) { s.fail(std::move(exc), message, aborted, dropped); });
  Ref pairs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(aborted.size())));
  if (!pairs) return nullptr;
  for (std::size_t i = 0; i < aborted.size(); ++i) {
    Ref handle = Ref::steal(object_or_none(std::move(aborted[i].first)));
    Ref stop = Ref::steal(new_h2_stopped(aborted[i].second.reason, aborted[i].second.conn));
    if (!stop) return nullptr;
    PyObject* pair = PyTuple_Pack(2, handle.get(), stop.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return pairs.release();
}

PyObject* streams_conn_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kConnError, args, nargs, kwnames, nullptr)) return nullptr;
  std::optional<std::string> message;
  Ref stored = locked<H2State>(self, [&](H2State& s) {
    message = s.error_message();
    return s.error_object() ? s.error_object().share() : Ref();
  });
  if (stored) return stored.release();
  if (message) return new_connection_closed(*message);
  Py_RETURN_NONE;
}

PyObject* streams_goaway_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kGoawayInfo, args, nargs, kwnames, nullptr)) return nullptr;
  const std::optional<h2::GoAwayFacts> facts =
      locked<H2State>(self, [](H2State& s) { return s.peer_goaway(); });
  if (!facts) Py_RETURN_NONE;
  Ref last = Ref::steal(PyLong_FromUnsignedLong(facts->last_stream_id));
  Ref code = Ref::steal(PyLong_FromUnsignedLong(facts->error_code));
  Ref debug = Ref::steal(new_bytes(facts->debug_data));
  if (!last || !code || !debug) return nullptr;
  return PyTuple_Pack(3, last.get(), code.get(), debug.get());
}

bool op_is_failed(H2State& s) {
  return s.failed();
}

const MethodSpec kMethods[] = {
    {&kOpenStream, method_entry<streams_open_stream>(),
     "Client, on a slot claimed with try_claim_slot(): open the next stream around\n"
     "handle and queue its request head (headers a HeaderMap or None).  Returns the\n"
     "stream id, or None (the slot given back) when the connection failed or the peer\n"
     "sent GOAWAY: raise conn_error() then.  H2ProtocolError when the id space is\n"
     "exhausted, ValueError for a bad method, target or missing authority."},
    {&kSendData, method_entry<streams_send_data>(),
     "Frame at most one DATA frame of data[offset:] within the windows, the send\n"
     "buffer and the peer's frame size; END_STREAM with the last octet when\n"
     "end_stream.  Returns an H2SendVerdict; loop with the offset advanced by sent."},
    {&kSendTrailers, method_entry<streams_send_trailers>(),
     "Queue the trailers (a HeaderMap) with END_STREAM.  Returns an H2SendVerdict."},
    {&kSendResponseHead, method_entry<streams_send_response_head>(),
     "Server: queue the response head (status, headers a HeaderMap or None, a date\n"
     "field added when auto_date_header is set and none is given).  Returns an\n"
     "H2SendVerdict; H2UserError for a connection-specific field, ValueError for a\n"
     "status outside 100..999."},
    {&kResetStream, method_entry<streams_reset_stream>(),
     "Reset the stream with reason, initiated by 'user', 'library' or 'remote'.\n"
     "Returns an H2ResetVerdict."},
    {&kResetOnError, method_entry<streams_reset_on_error>(),
     "Reset the stream for the peer's stream error (H2StreamError).  Returns an\n"
     "H2ResetVerdict; H2ProtocolError beyond max_local_error_reset_streams."},
    {&kAcloseBody, method_entry<streams_aclose_body>(),
     "The application closed the stream's body reader: cancel the stream unless its\n"
     "body has ended.  Returns an H2ResetVerdict."},
    method<kReleaseCapacity, op_release_capacity, arg_u32, arg_u32>(
        "The application consumed n received octets of the stream: queue WINDOW_UPDATE\n"
        "frames as the window-update rule says.  Returns flags."),
    method<kReleaseDataFrame, op_release_data_frame, arg_u32, arg_u32>(
        "A small DATA payload charged to the DATA-framing budget was consumed: give its\n"
        "charge back."),
    {&kAccepted, method_entry<streams_accepted>(),
     "Server: the application pulled the request of the stream."},
    method<kSendGoaway, &H2State::send_goaway, arg_u32>(
        "Queue GOAWAY with reason (the last stream id is the last request accepted, 0\n"
        "for a client).  Returns flags."),
    {&kFail, method_entry<streams_fail>(),
     "Record the connection's failure (exc, else the closure message; the first\n"
     "error stays) and abort every live stream.  Returns [(handle, stop), ...]."},
    {&kConnError, method_entry<streams_conn_error>(),
     "The stored error: the exception given to fail(), a new ConnectionClosedError for\n"
     "a closure message, or None."},
    {&kGoawayInfo, method_entry<streams_goaway_info>(),
     "(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None."},
    method<kIsClosed, &H2State::is_closed>("True when an error is stored or the peer sent GOAWAY."),
    method<kIsFailed, op_is_failed>("True when an error is stored."),
    method<kBeginGracefulShutdown, &H2State::begin_graceful_shutdown>(
        "Start a graceful shutdown: GOAWAY with the largest stream id and a PING whose\n"
        "acknowledgement sends the final GOAWAY (server).  Later calls queue nothing.\n"
        "Returns flags."),
};

}  // namespace

constinit const std::span<const MethodSpec> kH2StreamsSendMethods = kMethods;

PyTypeObject* h2_send_verdict_type() {
  return ProcessClass<kSendVerdictSpec>::get();
}

PyTypeObject* h2_reset_verdict_type() {
  return ProcessClass<kResetVerdictSpec>::get();
}

}  // namespace vantric::py
