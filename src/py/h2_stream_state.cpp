// H2StreamState: the host class over one HTTP/2 stream state (RFC 9113
// section 5.1).
#include <Python.h>

#include <string>

#include "core/h2/stream_state.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/h2_stream_state.h"
#include "py/method_adapters.h"

namespace vantric::py {
namespace {

using h2::StreamState;

constexpr Signature kNew{"H2StreamState", "H2StreamState", CallKind::kConstructor, {}};

PyObject* h2_stream_state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!parse_args_tuple(kNew, args, kwargs, nullptr)) return nullptr;
  return new_core_object<StreamState>(type);
}

PyObject* h2_stream_state_repr(PyObject* self) {
  const std::string text = locked<StreamState>(self, [](StreamState& s) { return s.repr(); });
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
}

constexpr Param kEosParams[] = {{"eos"}};
constexpr Signature kSendOpen{"send_open", "H2StreamState.send_open", CallKind::kMethod, kEosParams};
constexpr Param kRecvOpenParams[] = {{"eos"}, {"informational"}};
constexpr Signature kRecvOpen{"recv_open", "H2StreamState.recv_open", CallKind::kMethod, kRecvOpenParams};
constexpr Param kRecvResetParams[] = {{"stream_id"}, {"reason"}, {"queued"}};
constexpr Signature kRecvReset{"recv_reset", "H2StreamState.recv_reset", CallKind::kMethod, kRecvResetParams};
constexpr Signature kRecvEof{"recv_eof", "H2StreamState.recv_eof", CallKind::kMethod, {}};
constexpr Param kSetResetParams[] = {{"stream_id"}, {"reason"}, {"initiator"}};
constexpr Signature kSetReset{"set_reset", "H2StreamState.set_reset", CallKind::kMethod, kSetResetParams};
constexpr Param kReasonParams[] = {{"reason"}};
constexpr Signature kSetScheduledReset{"set_scheduled_reset", "H2StreamState.set_scheduled_reset",
                                       CallKind::kMethod, kReasonParams};

// 'user', 'library' or 'remote'; ValueError for any other text.
bool arg_initiator(PyObject* obj, const Signature& sig, std::size_t index, h2::Initiator* out) {
  std::string_view text;
  if (!arg_str(obj, sig, index, &text)) return false;
  const std::optional<h2::Initiator> initiator = h2::parse_initiator(text);
  if (!initiator) {
    PyErr_SetString(PyExc_ValueError, h2::initiator_error_message(text).c_str());
    return false;
  }
  *out = *initiator;
  return true;
}

// The methods without arguments.
constexpr Signature kReserveRemote{"reserve_remote", "H2StreamState.reserve_remote", CallKind::kMethod, {}};
constexpr Signature kReserveLocal{"reserve_local", "H2StreamState.reserve_local", CallKind::kMethod, {}};
constexpr Signature kRecvClose{"recv_close", "H2StreamState.recv_close", CallKind::kMethod, {}};
constexpr Signature kSendClose{"send_close", "H2StreamState.send_close", CallKind::kMethod, {}};
constexpr Signature kGetScheduledReset{
    "get_scheduled_reset", "H2StreamState.get_scheduled_reset", CallKind::kMethod, {}};
constexpr Signature kEnsureRecvOpen{
    "ensure_recv_open", "H2StreamState.ensure_recv_open", CallKind::kMethod, {}};
constexpr Signature kIsScheduledReset{
    "is_scheduled_reset", "H2StreamState.is_scheduled_reset", CallKind::kMethod, {}};
constexpr Signature kIsLocalError{"is_local_error", "H2StreamState.is_local_error", CallKind::kMethod, {}};
constexpr Signature kIsRemoteReset{"is_remote_reset", "H2StreamState.is_remote_reset", CallKind::kMethod, {}};
constexpr Signature kIsReset{"is_reset", "H2StreamState.is_reset", CallKind::kMethod, {}};
constexpr Signature kIsSendStreaming{
    "is_send_streaming", "H2StreamState.is_send_streaming", CallKind::kMethod, {}};
constexpr Signature kIsRecvHeaders{"is_recv_headers", "H2StreamState.is_recv_headers", CallKind::kMethod, {}};
constexpr Signature kIsRecvStreaming{
    "is_recv_streaming", "H2StreamState.is_recv_streaming", CallKind::kMethod, {}};
constexpr Signature kIsRecvEndStream{
    "is_recv_end_stream", "H2StreamState.is_recv_end_stream", CallKind::kMethod, {}};
constexpr Signature kIsClosed{"is_closed", "H2StreamState.is_closed", CallKind::kMethod, {}};
constexpr Signature kIsSendClosed{"is_send_closed", "H2StreamState.is_send_closed", CallKind::kMethod, {}};
constexpr Signature kIsIdle{"is_idle", "H2StreamState.is_idle", CallKind::kMethod, {}};

const MethodSpec kMethods[] = {
    method<kSendOpen, &StreamState::send_open, arg_bool>(
        "We send a header block, with END_STREAM when eos.  H2UserError when our half\n"
        "does not await its head."),
    method<kRecvOpen, &StreamState::recv_open, arg_bool, arg_bool>(
        "The peer's header block (informational: a 1xx head).  True when it opened the\n"
        "stream; H2ProtocolError when the peer's half does not await a head."),
    method<kReserveRemote, &StreamState::reserve_remote>(
        "The peer promised this stream; H2ProtocolError unless idle."),
    method<kReserveLocal, &StreamState::reserve_local>("We promised this stream; H2UserError unless idle."),
    method<kRecvClose, &StreamState::recv_close>(
        "The peer's END_STREAM; H2ProtocolError when its half is not open."),
    // The core treats an id with the reserved bit as a broken invariant, so it
    // is refused here as the bad argument it is.
    method<kRecvReset, &StreamState::recv_reset, arg_stream_id, arg_u32, arg_bool>(
        "The peer's RST_STREAM; queued says frames of the stream still wait to be sent,\n"
        "which lets the reset replace the cause of a closed stream."),
    method<kRecvEof, &StreamState::recv_eof>(
        "The connection's input ended: a stream not closed yet closes with a broken pipe."),
    method<kSendClose, &StreamState::send_close>(
        "Our END_STREAM: True when the sending half was streaming and is now closed,\n"
        "False (and no change) otherwise."),
    method<kSetReset, &StreamState::set_reset, arg_stream_id, arg_u32, arg_initiator>(
        "Closes the stream with a reset from any state; initiator is 'user', 'library'\n"
        "or 'remote'."),
    method<kSetScheduledReset, &StreamState::set_scheduled_reset, arg_u32>(
        "Schedules our own reset: True, or False (and no change) when already closed."),
    method<kGetScheduledReset, &StreamState::get_scheduled_reset>(
        "The reason of a scheduled reset, else None."),
    method<kEnsureRecvOpen, &StreamState::ensure_recv_open>(
        "May the peer still send?  Raises the error a failed stream closed with."),
    method<kIsScheduledReset, &StreamState::is_scheduled_reset>(
        "Closed with a reset of ours still to be sent."),
    method<kIsLocalError, &StreamState::is_local_error>("Closed by our own decision or a local failure."),
    method<kIsRemoteReset, &StreamState::is_remote_reset>("Closed by the peer's RST_STREAM."),
    method<kIsReset, &StreamState::is_reset>("Closed other than by END_STREAM on both halves."),
    method<kIsSendStreaming, &StreamState::is_send_streaming>(
        "Our half has sent its head and may send DATA."),
    method<kIsRecvHeaders, &StreamState::is_recv_headers>("The peer's half still owes its final head."),
    method<kIsRecvStreaming, &StreamState::is_recv_streaming>(
        "The peer's half has sent its head and may send DATA."),
    method<kIsRecvEndStream, &StreamState::is_recv_end_stream>("The peer's END_STREAM was received."),
    method<kIsClosed, &StreamState::is_closed>("Closed, for any cause."),
    method<kIsSendClosed, &StreamState::is_send_closed>("Our half can send no more."),
    method<kIsIdle, &StreamState::is_idle>("Idle."),
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_stream_state_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<StreamState>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_stream_state_repr>)},
};

constexpr ClassSpec kSpec{
    .name = "H2StreamState",
    .doc =
        "The state of one HTTP/2 stream seen from this endpoint (RFC 9113 section 5.1).\n\n"
        "A refused transition raises and leaves the state unchanged.",
    .constructor = &kNew,
    .basicsize = sizeof(ObjectFor<StreamState>),
    .methods = kMethods,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* h2_stream_state_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
