// H2StreamState: the host class over one HTTP/2 stream state (RFC 9113
// section 5.1).
#include <Python.h>

#include <string>

#include "core/h2/stream_state.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/h2_state_classes.h"

namespace vantric::py {
namespace {

using h2::StreamState;

constexpr Signature kNew{"H2StreamState", "H2StreamState", CallKind::kConstructor, {}};

PyObject* h2_stream_state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!parse_args_tuple(kNew, args, kwargs, nullptr)) return nullptr;
  return new_core_object<StreamState>(type);
}

PyObject* h2_stream_state_repr(PyObject* self) {
  const std::string text = call_locked<StreamState, &StreamState::repr>(self);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "backslashreplace");
}

constexpr Param kSendOpenParams[] = {{"eos"}};
constexpr Signature kSendOpen{"send_open", "H2StreamState.send_open", CallKind::kMethod,
                              kSendOpenParams};

PyObject* h2_stream_state_send_open_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* a[1];
  bool eos = false;
  if (!parse_args(kSendOpen, args, nargs, kwnames, a) || !arg_bool(a[0], kSendOpen, 0, &eos))
    return nullptr;
  return result_object(call_locked<StreamState, &StreamState::send_open>(self, eos));
}

constexpr Param kRecvOpenParams[] = {{"eos"}, {"informational"}};
constexpr Signature kRecvOpen{"recv_open", "H2StreamState.recv_open", CallKind::kMethod,
                              kRecvOpenParams};

PyObject* h2_stream_state_recv_open_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* a[2];
  bool eos = false, informational = false;
  if (!parse_args(kRecvOpen, args, nargs, kwnames, a) || !arg_bool(a[0], kRecvOpen, 0, &eos) ||
      !arg_bool(a[1], kRecvOpen, 1, &informational))
    return nullptr;
  return result_object(
      call_locked<StreamState, &StreamState::recv_open>(self, eos, informational));
}

constexpr Param kRecvResetParams[] = {{"stream_id"}, {"reason"}, {"queued"}};
constexpr Signature kRecvReset{"recv_reset", "H2StreamState.recv_reset", CallKind::kMethod,
                               kRecvResetParams};

PyObject* h2_stream_state_recv_reset_impl(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  uint32_t stream_id = 0, reason = 0;
  bool queued = false;
  // The core treats an id with the reserved bit as a broken invariant, so it
  // is refused here as the bad argument it is.
  if (!parse_args(kRecvReset, args, nargs, kwnames, a) ||
      !arg_stream_id(a[0], kRecvReset, 0, &stream_id) || !arg_u32(a[1], kRecvReset, 1, &reason) ||
      !arg_bool(a[2], kRecvReset, 2, &queued))
    return nullptr;
  call_locked<StreamState, &StreamState::recv_reset>(self, stream_id, reason, queued);
  Py_RETURN_NONE;
}

constexpr Signature kRecvEof{"recv_eof", "H2StreamState.recv_eof", CallKind::kMethod, {}};

PyObject* h2_stream_state_recv_eof_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  if (!parse_args(kRecvEof, args, nargs, kwnames, nullptr)) return nullptr;
  call_locked<StreamState, &StreamState::recv_eof>(self);
  Py_RETURN_NONE;
}

constexpr Param kSetResetParams[] = {{"stream_id"}, {"reason"}, {"initiator"}};
constexpr Signature kSetReset{"set_reset", "H2StreamState.set_reset", CallKind::kMethod,
                              kSetResetParams};

PyObject* h2_stream_state_set_reset_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* a[3];
  uint32_t stream_id = 0, reason = 0;
  std::string_view initiator_text;
  if (!parse_args(kSetReset, args, nargs, kwnames, a) ||
      !arg_stream_id(a[0], kSetReset, 0, &stream_id) || !arg_u32(a[1], kSetReset, 1, &reason) ||
      !arg_str(a[2], kSetReset, 2, &initiator_text))
    return nullptr;
  std::optional<h2::Initiator> initiator = h2::parse_initiator(initiator_text);
  if (!initiator) {
    PyErr_SetString(PyExc_ValueError, h2::initiator_error_message(initiator_text).c_str());
    return nullptr;
  }
  call_locked<StreamState, &StreamState::set_reset>(self, stream_id, reason, *initiator);
  Py_RETURN_NONE;
}

constexpr Param kReasonParams[] = {{"reason"}};
constexpr Signature kSetScheduledReset{"set_scheduled_reset", "H2StreamState.set_scheduled_reset",
                                       CallKind::kMethod, kReasonParams};

PyObject* h2_stream_state_set_scheduled_reset_impl(PyObject* self, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  uint32_t reason = 0;
  if (!parse_args(kSetScheduledReset, args, nargs, kwnames, a) ||
      !arg_u32(a[0], kSetScheduledReset, 0, &reason))
    return nullptr;
  return result_object(call_locked<StreamState, &StreamState::set_scheduled_reset>(self, reason));
}

// The methods without arguments.
constexpr Signature kReserveRemote{"reserve_remote", "H2StreamState.reserve_remote",
                                   CallKind::kMethod, {}};
constexpr Signature kReserveLocal{"reserve_local", "H2StreamState.reserve_local",
                                  CallKind::kMethod, {}};
constexpr Signature kRecvClose{"recv_close", "H2StreamState.recv_close", CallKind::kMethod, {}};
constexpr Signature kSendClose{"send_close", "H2StreamState.send_close", CallKind::kMethod, {}};
constexpr Signature kGetScheduledReset{"get_scheduled_reset", "H2StreamState.get_scheduled_reset",
                                       CallKind::kMethod, {}};
constexpr Signature kEnsureRecvOpen{"ensure_recv_open", "H2StreamState.ensure_recv_open",
                                    CallKind::kMethod, {}};
constexpr Signature kIsScheduledReset{"is_scheduled_reset", "H2StreamState.is_scheduled_reset",
                                      CallKind::kMethod, {}};
constexpr Signature kIsLocalError{"is_local_error", "H2StreamState.is_local_error",
                                  CallKind::kMethod, {}};
constexpr Signature kIsRemoteReset{"is_remote_reset", "H2StreamState.is_remote_reset",
                                   CallKind::kMethod, {}};
constexpr Signature kIsReset{"is_reset", "H2StreamState.is_reset", CallKind::kMethod, {}};
constexpr Signature kIsSendStreaming{"is_send_streaming", "H2StreamState.is_send_streaming",
                                     CallKind::kMethod, {}};
constexpr Signature kIsRecvHeaders{"is_recv_headers", "H2StreamState.is_recv_headers",
                                   CallKind::kMethod, {}};
constexpr Signature kIsRecvStreaming{"is_recv_streaming", "H2StreamState.is_recv_streaming",
                                     CallKind::kMethod, {}};
constexpr Signature kIsRecvEndStream{"is_recv_end_stream", "H2StreamState.is_recv_end_stream",
                                     CallKind::kMethod, {}};
constexpr Signature kIsClosed{"is_closed", "H2StreamState.is_closed", CallKind::kMethod, {}};
constexpr Signature kIsSendClosed{"is_send_closed", "H2StreamState.is_send_closed",
                                  CallKind::kMethod, {}};
constexpr Signature kIsIdle{"is_idle", "H2StreamState.is_idle", CallKind::kMethod, {}};

template <const Signature& Sig, auto Op>
MethodSpec nullary(std::string_view doc) {
  return {&Sig, method_entry<nullary_impl<StreamState, Sig, Op>>(), doc};
}

const MethodSpec kMethods[] = {
    {&kSendOpen, method_entry<h2_stream_state_send_open_impl>(),
     "We send a header block, with END_STREAM when eos.  H2UserError when our half\n"
     "does not await its head."},
    {&kRecvOpen, method_entry<h2_stream_state_recv_open_impl>(),
     "The peer's header block (informational: a 1xx head).  True when it opened the\n"
     "stream; H2ProtocolError when the peer's half does not await a head."},
    nullary<kReserveRemote, &StreamState::reserve_remote>(
        "The peer promised this stream; H2ProtocolError unless idle."),
    nullary<kReserveLocal, &StreamState::reserve_local>(
        "We promised this stream; H2UserError unless idle."),
    nullary<kRecvClose, &StreamState::recv_close>(
        "The peer's END_STREAM; H2ProtocolError when its half is not open."),
    {&kRecvReset, method_entry<h2_stream_state_recv_reset_impl>(),
     "The peer's RST_STREAM; queued says frames of the stream still wait to be sent,\n"
     "which lets the reset replace the cause of a closed stream."},
    {&kRecvEof, method_entry<h2_stream_state_recv_eof_impl>(),
     "The connection's input ended: a stream not closed yet closes with a broken pipe."},
    nullary<kSendClose, &StreamState::send_close>(
        "Our END_STREAM: True when the sending half was streaming and is now closed,\n"
        "False (and no change) otherwise."),
    {&kSetReset, method_entry<h2_stream_state_set_reset_impl>(),
     "Closes the stream with a reset from any state; initiator is 'user', 'library'\n"
     "or 'remote'."},
    {&kSetScheduledReset, method_entry<h2_stream_state_set_scheduled_reset_impl>(),
     "Schedules our own reset: True, or False (and no change) when already closed."},
    nullary<kGetScheduledReset, &StreamState::get_scheduled_reset>(
        "The reason of a scheduled reset, else None."),
    nullary<kEnsureRecvOpen, &StreamState::ensure_recv_open>(
        "May the peer still send?  Raises the error a failed stream closed with."),
    nullary<kIsScheduledReset, &StreamState::is_scheduled_reset>(
        "Closed with a reset of ours still to be sent."),
    nullary<kIsLocalError, &StreamState::is_local_error>(
        "Closed by our own decision or a local failure."),
    nullary<kIsRemoteReset, &StreamState::is_remote_reset>("Closed by the peer's RST_STREAM."),
    nullary<kIsReset, &StreamState::is_reset>("Closed other than by END_STREAM on both halves."),
    nullary<kIsSendStreaming, &StreamState::is_send_streaming>(
        "Our half has sent its head and may send DATA."),
    nullary<kIsRecvHeaders, &StreamState::is_recv_headers>(
        "The peer's half still owes its final head."),
    nullary<kIsRecvStreaming, &StreamState::is_recv_streaming>(
        "The peer's half has sent its head and may send DATA."),
    nullary<kIsRecvEndStream, &StreamState::is_recv_end_stream>(
        "The peer's END_STREAM was received."),
    nullary<kIsClosed, &StreamState::is_closed>("Closed, for any cause."),
    nullary<kIsSendClosed, &StreamState::is_send_closed>("Our half can send no more."),
    nullary<kIsIdle, &StreamState::is_idle>("Idle."),
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_stream_state_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<StreamState>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_stream_state_repr>)},
};

constexpr ClassSpec kSpec{
    .name = "H2StreamState",
    .doc = "The state of one HTTP/2 stream seen from this endpoint (RFC 9113 section 5.1).\n\n"
           "A refused transition raises and leaves the state unchanged.",
    .constructor = &kNew,
    .basicsize = sizeof(CoreObject<StreamState>),
    .methods = kMethods,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* h2_stream_state_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
