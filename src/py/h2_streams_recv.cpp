// The receive methods of H2Streams, one per frame event class, and their
// verdict records H2RecvHeadersVerdict and H2RecvDataVerdict.
//
// Each method is one core transition under the state mutex (recv_settings
// also takes the decoder mutex inside it, to apply acknowledged settings to
// the reader); locking follows README.md.
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/h2/streams.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h2_frames.h"
#include "py/h2_streams.h"
#include "py/h2_streams_object.h"
#include "py/lock.h"
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

const char* bool_text(bool value) {
  return value ? "true" : "false";
}

// ---- the verdict records ---------------------------------------------------------

struct HeadersVerdictObject {
  PyObject_HEAD PyObject* handle;  // or nullptr (None)
  uint32_t stream_id;
  uint32_t flags;
  uint8_t kind;
  bool eof;
};

struct DataVerdictObject {
  PyObject_HEAD PyObject* handle;  // or nullptr (None)
  PyObject* payload;               // bytes, or nullptr (None)
  uint32_t flags;
  bool budgeted;
  bool eof;
};

PyObject* headers_verdict_kind(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as<HeadersVerdictObject>(self)->kind);
}

PyObject* headers_verdict_repr(PyObject* obj) {
  auto* self = as<HeadersVerdictObject>(obj);
  return PyUnicode_FromFormat("H2RecvHeadersVerdict(kind=%u, stream_id=%lu, eof=%s, flags=%lu)",
                              static_cast<unsigned>(self->kind), static_cast<unsigned long>(self->stream_id),
                              bool_text(self->eof), static_cast<unsigned long>(self->flags));
}

PyObject* data_verdict_repr(PyObject* obj) {
  auto* self = as<DataVerdictObject>(obj);
  const Py_ssize_t len = self->payload != nullptr ? PyBytes_GET_SIZE(self->payload) : -1;
  return PyUnicode_FromFormat("H2RecvDataVerdict(len=%zd, budgeted=%s, eof=%s, flags=%lu)", len,
                              bool_text(self->budgeted), bool_text(self->eof),
                              static_cast<unsigned long>(self->flags));
}

const PropertySpec kHeadersVerdictProperties[] = {
    {"kind", crossing<headers_verdict_kind>,
     "H2_HEADERS_IGNORED, H2_HEADERS_OPENED, H2_HEADERS_HEAD or H2_HEADERS_TRAILERS."},
    {"handle", crossing<record_field<&HeadersVerdictObject::handle>>,
     "The stream's handle (the spare for a new stream), or None."},
    {"stream_id", crossing<record_field<&HeadersVerdictObject::stream_id>>,
     "The stream identifier of the frame."},
    {"eof", crossing<record_field<&HeadersVerdictObject::eof>>,
     "The peer's side of the stream ended with this frame."},
    {"flags", crossing<record_field<&HeadersVerdictObject::flags>>, "H2_FLAG_* bits."},
};

const PropertySpec kDataVerdictProperties[] = {
    {"handle", crossing<record_field<&DataVerdictObject::handle>>,
     "The stream's handle, or None when the frame was dropped."},
    {"payload", crossing<record_field<&DataVerdictObject::payload>>,
     "The bytes to deliver to the stream's readers, or None."},
    {"budgeted", crossing<record_field<&DataVerdictObject::budgeted>>,
     "The payload was charged to the DATA-framing budget: give it back with\n"
     "release_data_frame() once consumed."},
    {"eof", crossing<record_field<&DataVerdictObject::eof>>,
     "The peer's side of the stream ended with this frame."},
    {"flags", crossing<record_field<&DataVerdictObject::flags>>, "H2_FLAG_* bits."},
};

constexpr ClassSpec kHeadersVerdictSpec =
    record_spec<HeadersVerdictObject, headers_verdict_repr, &HeadersVerdictObject::handle>(
        "H2RecvHeadersVerdict", "What H2Streams.recv_headers() decided about a received header block.",
        kHeadersVerdictProperties);

constexpr ClassSpec kDataVerdictSpec = record_spec<DataVerdictObject, data_verdict_repr,
                                                   &DataVerdictObject::handle, &DataVerdictObject::payload>(
    "H2RecvDataVerdict", "What H2Streams.recv_data() decided about a received DATA frame.",
    kDataVerdictProperties);

// ---- the methods -----------------------------------------------------------------

#define VANTRIC_SIGNATURE(var, name, params) \
  constexpr Signature var{name, "H2Streams." name, CallKind::kMethod, params};

constexpr Param kFrameParams[] = {{"frame"}};
constexpr Param kHeadersParams[] = {{"frame"}, {"spare", "None"}};
VANTRIC_SIGNATURE(kRecvHeaders, "recv_headers", kHeadersParams)
VANTRIC_SIGNATURE(kRecvData, "recv_data", kFrameParams)
VANTRIC_SIGNATURE(kRecvWindowUpdate, "recv_window_update", kFrameParams)
VANTRIC_SIGNATURE(kRecvReset, "recv_reset", kFrameParams)
VANTRIC_SIGNATURE(kRecvSettings, "recv_settings", kFrameParams)
VANTRIC_SIGNATURE(kRecvPing, "recv_ping", kFrameParams)
VANTRIC_SIGNATURE(kRecvGoAway, "recv_go_away", kFrameParams)
VANTRIC_SIGNATURE(kMaybeGoawayReply, "maybe_goaway_reply", {})

#undef VANTRIC_SIGNATURE

// The `frame` argument, checked against its event class `Type`.
template <PyTypeObject* (*Type)()>
bool parse_frame(const Signature& sig, const char* class_name, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** frame) {
  if (!parse_args(sig, args, nargs, kwnames, frame)) return false;
  PyTypeObject* type = Type();
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(*frame, type)) return true;
  raise_bad_argument_type(sig, 0, class_name, *frame);
  return false;
}

// A new list taking over the handles.
PyObject* handle_list(std::vector<Ref>& handles) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(handles.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < handles.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object_or_none(std::move(handles[i])));
  return list.release();
}

PyObject* streams_recv_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kRecvHeaders, args, nargs, kwnames, a)) return nullptr;
  if (!PyObject_TypeCheck(a[0], h2_frame_headers_type())) {
    raise_bad_argument_type(kRecvHeaders, 0, "H2FrameHeaders", a[0]);
    return nullptr;
  }
  const h2::RecvHeaders frame = h2_frame_headers_facts(a[0]);
  Ref spare = optional_ref(a[1]);  // the table takes it only for a new stream
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.recv_headers(frame, spare, h2::MonoClock::now(), dropped);
  });
  auto* verdict = value_or_raise(result);
  if (verdict == nullptr) return nullptr;
  if (verdict->spare_missing) {
    PyErr_SetString(PyExc_ValueError, "recv_headers: the server role needs a spare stream handle");
    return nullptr;
  }
  auto* out = alloc_record<HeadersVerdictObject>(h2_recv_headers_verdict_type());
  if (out == nullptr) return nullptr;
  out->handle = verdict->handle.release();
  out->stream_id = frame.stream_id;
  out->flags = verdict->flags;
  out->kind = static_cast<uint8_t>(verdict->kind);
  out->eof = verdict->eof;
  return reinterpret_cast<PyObject*>(out);
}

PyObject* streams_recv_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* frame_obj = nullptr;
  if (!parse_frame<h2_frame_data_type>(kRecvData, "H2FrameData", args, nargs, kwnames, &frame_obj))
    return nullptr;
  PyObject* payload = nullptr;
  const h2::RecvData frame = h2_frame_data_facts(frame_obj, &payload);
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.recv_data(frame, h2::MonoClock::now(), dropped);
  });
  auto* verdict = value_or_raise(result);
  if (verdict == nullptr) return nullptr;
  auto* out = alloc_record<DataVerdictObject>(h2_recv_data_verdict_type());
  if (out == nullptr) return nullptr;
  out->handle = verdict->handle.release();
  out->payload = verdict->deliver ? Py_NewRef(payload) : nullptr;  // the event's own bytes: no copy
  out->flags = verdict->flags;
  out->budgeted = verdict->budgeted;
  out->eof = verdict->eof;
  return reinterpret_cast<PyObject*>(out);
}

PyObject* streams_recv_window_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* frame_obj = nullptr;
  if (!parse_frame<h2_frame_window_update_type>(kRecvWindowUpdate, "H2FrameWindowUpdate", args, nargs,
                                                kwnames, &frame_obj))
    return nullptr;
  const StreamValue frame = h2_frame_stream_value(frame_obj);
  std::vector<Ref> wake;
  auto error = locked<H2State>(self, [&](H2State& s) {
    return s.recv_window_update(frame.stream_id, frame.value, h2::MonoClock::now(), wake);
  });
  if (error) {
    raise(*error);
    return nullptr;
  }
  return handle_list(wake);
}

PyObject* streams_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* frame_obj = nullptr;
  if (!parse_frame<h2_frame_rst_stream_type>(kRecvReset, "H2FrameRstStream", args, nargs, kwnames,
                                             &frame_obj))
    return nullptr;
  const StreamValue frame = h2_frame_stream_value(frame_obj);
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.recv_reset(frame.stream_id, frame.value, h2::MonoClock::now(), dropped);
  });
  auto* verdict = value_or_raise(result);
  if (verdict == nullptr) return nullptr;
  if (!*verdict) Py_RETURN_NONE;
  Ref handle = Ref::steal(object_or_none(std::move((*verdict)->handle)));
  Ref stop = Ref::steal(new_h2_stopped((*verdict)->reason, false));
  Ref flags = Ref::steal(PyLong_FromUnsignedLong((*verdict)->flags));
  if (!stop || !flags) return nullptr;
  return PyTuple_Pack(4, handle.get(), stop.get(), (*verdict)->notify_body ? Py_True : Py_False, flags.get());
}

PyObject* streams_recv_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* frame_obj = nullptr;
  if (!parse_frame<h2_frame_settings_type>(kRecvSettings, "H2FrameSettings", args, nargs, kwnames,
                                           &frame_obj))
    return nullptr;
  bool ack = false;
  const h2::Settings& settings = h2_frame_settings_values(frame_obj, &ack);
  H2StreamsObject* streams = as_streams(self);
  // The only place both mutexes are held: the decoder mutex inside the state mutex.
  auto apply_local = [streams](const h2::StreamsConfig& config) {
    HostLock lock(streams->extra.mutex);
    h2::apply_local_settings(streams->extra.reader, config);
  };
  auto result =
      locked<H2State>(self, [&](H2State& s) { return s.recv_settings(settings, ack, apply_local); });
  auto* verdict = value_or_raise(result);
  if (verdict == nullptr) return nullptr;
  Ref wake = Ref::steal(handle_list(verdict->wake));
  Ref flags = Ref::steal(PyLong_FromUnsignedLong(verdict->flags));
  if (!wake || !flags) return nullptr;
  return PyTuple_Pack(3, verdict->initial ? Py_True : Py_False, wake.get(), flags.get());
}

PyObject* streams_recv_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* frame_obj = nullptr;
  if (!parse_frame<h2_frame_ping_type>(kRecvPing, "H2FramePing", args, nargs, kwnames, &frame_obj))
    return nullptr;
  bool ack = false;
  const std::string_view data = h2_frame_ping_data(frame_obj, &ack);
  return PyLong_FromUnsignedLong(locked<H2State>(self, [&](H2State& s) { return s.recv_ping(data, ack); }));
}

PyObject* streams_recv_go_away(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* frame_obj = nullptr;
  if (!parse_frame<h2_frame_go_away_type>(kRecvGoAway, "H2FrameGoAway", args, nargs, kwnames, &frame_obj))
    return nullptr;
  const GoAwayFacts frame = h2_frame_go_away_facts(frame_obj);
  auto result = dropping(self, [&](H2State& s, std::vector<Ref>& dropped) {
    return s.recv_go_away(frame.last_stream_id, frame.error_code, frame.debug_data, dropped);
  });
  auto* verdict = value_or_raise(result);
  if (verdict == nullptr) return nullptr;
  Ref pairs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(verdict->aborted.size())));
  if (!pairs) return nullptr;
  for (std::size_t i = 0; i < verdict->aborted.size(); ++i) {
    Ref handle = Ref::steal(object_or_none(std::move(verdict->aborted[i])));
    Ref stop = Ref::steal(new_h2_stopped(verdict->reason, true));
    if (!stop) return nullptr;
    PyObject* pair = PyTuple_Pack(2, handle.get(), stop.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
  }
  Ref flags = Ref::steal(PyLong_FromUnsignedLong(verdict->flags));
  if (!flags) return nullptr;
  return PyTuple_Pack(2, pairs.get(), flags.get());
}

const MethodSpec kMethods[] = {
    {&kRecvHeaders, method_entry<streams_recv_headers>(),
     "Apply a received header block (H2FrameHeaders).  A server passes spare, the\n"
     "handle a stream this frame opens gets.  Returns an H2RecvHeadersVerdict;\n"
     "H2StreamError for a stream-level fault, H2ProtocolError for a connection-level\n"
     "one, ValueError for a server without a spare."},
    {&kRecvData, method_entry<streams_recv_data>(),
     "Apply a received DATA frame (H2FrameData): charge the windows and return an\n"
     "H2RecvDataVerdict saying what to deliver."},
    {&kRecvWindowUpdate, method_entry<streams_recv_window_update>(),
     "Apply a WINDOW_UPDATE (H2FrameWindowUpdate): the list of stream handles whose\n"
     "senders may go on."},
    {&kRecvReset, method_entry<streams_recv_reset>(),
     "Apply an RST_STREAM (H2FrameRstStream): None when it concerns no live stream,\n"
     "else (handle, stop, notify_body, flags)."},
    {&kRecvSettings, method_entry<streams_recv_settings>(),
     "Apply a SETTINGS frame (H2FrameSettings): (initial, wake_windows, flags).  An\n"
     "acknowledgement applies our settings to the decoder."},
    {&kRecvPing, method_entry<streams_recv_ping>(),
     "Apply a PING (H2FramePing): answer it, or take the shutdown PING's\n"
     "acknowledgement as the cue for the final GOAWAY.  Returns flags."},
    {&kRecvGoAway, method_entry<streams_recv_go_away>(),
     "Apply a GOAWAY (H2FrameGoAway): ([(handle, stop), ...], flags), the client\n"
     "streams it aborted."},
    method<kMaybeGoawayReply, &H2State::maybe_goaway_reply>(
        "Answer the peer's GOAWAY once no stream is active: queue ours and close the\n"
        "connection.  Returns flags (0 when nothing happened)."),
};

}  // namespace

// Constant-initialized, so the class spec may read it during dynamic
// initialization of another file.
constinit const std::span<const MethodSpec> kH2StreamsRecvMethods = kMethods;

PyTypeObject* h2_recv_headers_verdict_type() {
  return ProcessClass<kHeadersVerdictSpec>::get();
}

PyTypeObject* h2_recv_data_verdict_type() {
  return ProcessClass<kDataVerdictSpec>::get();
}

}  // namespace vantric::py
