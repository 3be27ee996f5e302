// H2Streams: the host class over one HTTP/2 connection state, with its write
// batch and the H2Stopped record.  The receive methods (recv_*) and their
// verdicts live in h2_streams_recv.cpp, the send path and the connection's end
// with theirs in h2_streams_send.cpp; the object layout and the helpers they
// share in h2_streams_object.h.
//
// Two mutexes: the state mutex guards the core state (h2::Streams), the
// decoder mutex the frame reader with its HPACK decoder.  receive() and
// prime() take only the decoder mutex, so decoding never blocks the senders;
// every other method takes only the state mutex, once, for its whole body,
// except that recv_settings() applies an acknowledged SETTINGS to the reader
// with the decoder mutex taken inside the state mutex (never the other way).
// Otherwise locking follows README.md.
//
// take_pending() hands the drained pending buffer to a new H2WriteBatch that
// exports it read-only through the buffer protocol; when the batch dies its
// buffer goes back to the state as the spare (under the state mutex), and its
// reference to the H2Streams is dropped after that mutex is released.
#include "py/h2_streams.h"

#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"
#include "py/args.h"
#include "py/crossing.h"
#include "py/h2_frames.h"
#include "py/h2_streams_object.h"
#include "py/lock.h"
#include "py/method_adapters.h"
#include "py/record_fields.h"
#include "py/ref.h"

namespace vantric::py {
namespace {

using State = H2State;

// ---- H2Stopped -------------------------------------------------------------------

struct StoppedObject {
  PyObject_HEAD uint32_t reason;
  bool has_reason;
  bool conn;
};

StoppedObject* as_stopped(PyObject* obj) {
  return reinterpret_cast<StoppedObject*>(obj);
}

PyObject* stopped_repr(PyObject* obj) {
  StoppedObject* self = as_stopped(obj);
  const std::string reason = self->has_reason ? "Some(" + std::to_string(self->reason) + ")" : "None";
  return PyUnicode_FromFormat("H2Stopped(reason=%s, conn=%s)", reason.c_str(), self->conn ? "true" : "false");
}

PyObject* stopped_reason(PyObject* obj, void*) {
  StoppedObject* self = as_stopped(obj);
  return result_object(self->has_reason ? std::optional<uint32_t>(self->reason) : std::nullopt);
}

const PropertySpec kStoppedProperties[] = {
    {"reason", crossing<stopped_reason>,
     "The HTTP/2 error code that stopped the stream; None for a clean end or a local\n"
     "cancel."},
    {"conn", crossing<record_field<&StoppedObject::conn>>,
     "True when the connection (its failure or a GOAWAY) stopped the stream."},
};

const PyType_Slot kStoppedSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<record_dealloc<StoppedObject>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<stopped_repr>)},
};

constexpr ClassSpec kStoppedSpec{
    .name = "H2Stopped",
    .doc = "Why a stream stopped, as its waiters are told.",
    .basicsize = sizeof(StoppedObject),
    .properties = kStoppedProperties,
    .slots = kStoppedSlots,
};

// ---- H2WriteBatch ----------------------------------------------------------------

struct WriteBatchObject {
  PyObject_HEAD ByteBuffer bytes;
  PyObject* owner;  // the H2Streams the buffer goes back to; strong
};

WriteBatchObject* as_batch(PyObject* obj) {
  return reinterpret_cast<WriteBatchObject*>(obj);
}

int write_batch_getbuffer(PyObject* obj, Py_buffer* view, int flags) {
  WriteBatchObject* self = as_batch(obj);
  static char empty = 0;
  char* data = self->bytes.empty() ? &empty : self->bytes.data();
  return PyBuffer_FillInfo(view, obj, data, static_cast<Py_ssize_t>(self->bytes.size()), 1, flags);
}

Py_ssize_t write_batch_length(PyObject* obj) {
  return static_cast<Py_ssize_t>(as_batch(obj)->bytes.size());
}

int write_batch_traverse(PyObject* obj, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(as_batch(obj)->owner);
  return 0;
}

void write_batch_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  WriteBatchObject* self = as_batch(obj);
  Ref owner = Ref::steal(std::exchange(self->owner, nullptr));  // released after the lock
  if (owner) {
    H2StreamsObject* streams = as_streams(owner.get());
    HostLock lock(streams->mutex);
    streams->core.give_back(std::move(self->bytes));
  }
  std::destroy_at(&self->bytes);
  type->tp_free(obj);
  Py_DECREF(type);
}

const PyType_Slot kWriteBatchSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<write_batch_dealloc>)},
    {Py_tp_traverse, reinterpret_cast<void*>(write_batch_traverse)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(crossing<write_batch_getbuffer>)},
    {Py_sq_length, reinterpret_cast<void*>(crossing<write_batch_length>)},
};

constexpr ClassSpec kWriteBatchSpec{
    .name = "H2WriteBatch",
    .doc =
        "Frames taken from an H2Streams pending-send buffer for one write, exported\n"
        "read-only without a copy.  Its buffer is reused once the batch is gone.",
    .gc = true,
    .basicsize = sizeof(WriteBatchObject),
    .slots = kWriteBatchSlots,
};

// A memoryview over a new batch owning `bytes`, or nullptr with an exception set.
PyObject* new_write_batch_view(PyObject* owner, ByteBuffer&& bytes) {
  PyTypeObject* type = ProcessClass<kWriteBatchSpec>::get();
  if (type == nullptr) return nullptr;
  Ref batch = Ref::steal(type->tp_alloc(type, 0));
  if (!batch) return nullptr;
  WriteBatchObject* self = as_batch(batch.get());
  new (&self->bytes) ByteBuffer(std::move(bytes));
  self->owner = Py_NewRef(owner);
  return PyMemoryView_FromObject(batch.get());
}

// ---- construction ----------------------------------------------------------------

constexpr Param kNewParams[] = {
    {"role"},
    {"initial_window_size"},
    {"connection_window"},
    {"max_frame_size"},
    {"max_header_list_size"},
    {"max_send_buf_size"},
    {"max_concurrent_streams", "None"},
    {"max_pending_accept_reset_streams", "20"},
    {"max_local_error_reset_streams", "..."},
    {"data_frame_budget", "None"},
    {"auto_date_header", "True"},
    {"enable_push", "None"},
    {"enable_connect_protocol", "False"},
};
constexpr Signature kNew{"H2Streams", "H2Streams", CallKind::kConstructor, kNewParams, 1};

// The constructor's arguments after `role`, into `config`.
bool convert_config(PyObject* const* a, h2::StreamsConfig& config) {
  const Signature& sig = kNew;
  if (!arg_u32(a[1], sig, 1, &config.initial_window_size) ||
      !arg_u32(a[2], sig, 2, &config.connection_window) || !arg_u32(a[3], sig, 3, &config.max_frame_size) ||
      !arg_u32(a[4], sig, 4, &config.max_header_list_size) ||
      !arg_u32(a[5], sig, 5, &config.max_send_buf_size) ||
      !arg_optional_u32(a[6], sig, 6, &config.max_concurrent_streams) ||
      (a[7] != nullptr && !arg_u32(a[7], sig, 7, &config.max_pending_accept_reset_streams)) ||
      !arg_optional_u32(a[9], sig, 9, &config.data_frame_budget) ||
      (a[10] != nullptr && !arg_bool(a[10], sig, 10, &config.auto_date_header)))
    return false;
  // Omitted (or the Ellipsis of the signature): the default cap; None: no cap.
  if (a[8] != nullptr && a[8] != Py_Ellipsis) {
    if (!arg_optional_u32(a[8], sig, 8, &config.max_local_error_reset_streams)) return false;
  }
  if (a[11] != nullptr && a[11] != Py_None) {
    bool push = false;
    if (!arg_bool(a[11], sig, 11, &push)) return false;
    config.enable_push = push;
  }
  return a[12] == nullptr || arg_bool(a[12], sig, 12, &config.enable_connect_protocol);
}

PyObject* streams_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[13];
  std::string_view role;
  h2::StreamsConfig config;
  if (!parse_args_tuple(kNew, args, kwargs, a) || !arg_str(a[0], kNew, 0, &role) ||
      !convert_config(a, config))
    return nullptr;
  if (role != "client" && role != "server") {
    PyErr_Format(PyExc_ValueError, "role must be 'client' or 'server', got %U", a[0]);
    return nullptr;
  }
  config.server = role == "server";
  if (auto message = h2::check_streams_config(config)) {
    PyErr_SetString(PyExc_ValueError, message->c_str());
    return nullptr;
  }
  auto* self = reinterpret_cast<H2StreamsObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->mutex) HostMutex();
  new (&self->core) State(config);
  // A server's reader takes the client preface before the first frame.
  new (&self->extra) FrameDecoding{{}, h2::FrameReader(config.server)};
  return reinterpret_cast<PyObject*>(self);
}

PyObject* streams_repr(PyObject* self) {
  return result_object(std::optional<std::string>(locked<State>(self, [](State& s) { return s.repr(); })));
}

// ---- method shapes ---------------------------------------------------------------

#define VANTRIC_SIGNATURE(var, name, params) \
  constexpr Signature var{name, "H2Streams." name, CallKind::kMethod, params};

// ---- the handshake and the inbound bytes -----------------------------------------

VANTRIC_SIGNATURE(kBegin, "begin", {})

constexpr Param kDataParams[] = {{"data"}};
VANTRIC_SIGNATURE(kReceive, "receive", kDataParams)
VANTRIC_SIGNATURE(kPrime, "prime", kDataParams)

PyObject* streams_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view data;
  if (!parse_arg(kReceive, args, nargs, kwnames, arg_bytes, &data)) return nullptr;
  return receive_events(as_streams(self)->extra.mutex, as_streams(self)->extra.reader, data);
}

PyObject* streams_prime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view data;
  if (!parse_arg(kPrime, args, nargs, kwnames, arg_bytes, &data)) return nullptr;
  Progress match;
  {
    HostLock lock(as_streams(self)->extra.mutex);
    match = as_streams(self)->extra.reader.prime(data);
  }
  return preface_match_result(match);
}

// ---- the write batch -------------------------------------------------------------

VANTRIC_SIGNATURE(kTakePending, "take_pending", {})
VANTRIC_SIGNATURE(kCreditWritten, "credit_written", {})
VANTRIC_SIGNATURE(kHasPending, "has_pending", {})
VANTRIC_SIGNATURE(kStopPump, "stop_pump", {})

PyObject* streams_take_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kTakePending, args, nargs, kwnames, nullptr)) return nullptr;
  State::Drained drained = locked<State>(self, [](State& s) { return s.take_pending(); });
  Ref view = Ref::steal(new_write_batch_view(self, std::move(drained.bytes)));
  if (!view) return nullptr;
  return PyTuple_Pack(2, view.get(), drained.stopping ? Py_True : Py_False);
}

PyObject* streams_credit_written(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kCreditWritten, args, nargs, kwnames, nullptr)) return nullptr;
  std::vector<Ref> wake;     // released after the lock when the list fails
  std::vector<Ref> dropped;  // streams that left the table, released after the lock
  locked<State>(self, [&](State& s) { s.credit_written(wake, dropped); });
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(wake.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < wake.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wake[i].release());
  return list.release();
}

// ---- task handles ----------------------------------------------------------------

constexpr Param kTaskParams[] = {{"read"}, {"pump"}};
VANTRIC_SIGNATURE(kStoreTaskHandles, "store_task_handles", kTaskParams)
VANTRIC_SIGNATURE(kTakeReadHandle, "take_read_handle", {})
VANTRIC_SIGNATURE(kTakePumpHandle, "take_pump_handle", {})

PyObject* streams_store_task_handles(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kStoreTaskHandles, args, nargs, kwnames, a)) return nullptr;
  Ref read = optional_ref(a[0]);
  Ref pump = optional_ref(a[1]);
  std::vector<Ref> dropped;
  dropped.reserve(2);
  locked<State>(self, [&](State& s) { s.store_task_handles(std::move(read), std::move(pump), dropped); });
  Py_RETURN_NONE;
}

// ---- slots -----------------------------------------------------------------------

VANTRIC_SIGNATURE(kTryClaimSlot, "try_claim_slot", {})
VANTRIC_SIGNATURE(kCanOpen, "can_open", {})
VANTRIC_SIGNATURE(kReleaseSlotCount, "release_slot_count", {})
constexpr Param kLimitParams[] = {{"limit"}};
VANTRIC_SIGNATURE(kApplyStreamLimit, "apply_stream_limit", kLimitParams)

// ---- per-stream getters and id hooks ---------------------------------------------

constexpr Param kSidParams[] = {{"sid"}};
VANTRIC_SIGNATURE(kHasStream, "has_stream", kSidParams)
VANTRIC_SIGNATURE(kIsRecvEndStream, "is_recv_end_stream", kSidParams)
VANTRIC_SIGNATURE(kStreamState, "stream_state", kSidParams)
VANTRIC_SIGNATURE(kStreamRecvUnreleased, "stream_recv_unreleased", kSidParams)
VANTRIC_SIGNATURE(kStreamRecvReclaimed, "stream_recv_reclaimed", kSidParams)
VANTRIC_SIGNATURE(kStreamDataBudgetCharged, "stream_data_budget_charged", kSidParams)
VANTRIC_SIGNATURE(kStreamSendBuffered, "stream_send_buffered", kSidParams)
VANTRIC_SIGNATURE(kStreamSendWindow, "stream_send_window", kSidParams)
VANTRIC_SIGNATURE(kInResetStore, "in_reset_store", kSidParams)
VANTRIC_SIGNATURE(kSetNextStreamId, "set_next_stream_id", kSidParams)
VANTRIC_SIGNATURE(kSetMaxStreamId, "set_max_stream_id", kSidParams)
VANTRIC_SIGNATURE(kSetLastProcessedId, "set_last_processed_id", kSidParams)

bool op_has_stream(State& s, uint32_t sid) {
  return s.find(sid) != nullptr;
}
bool op_is_recv_end_stream(State& s, uint32_t sid) {
  const State::Record* record = s.find(sid);
  return record != nullptr && record->recv_end_stream;
}
std::optional<std::string> op_stream_state(State& s, uint32_t sid) {
  const State::Record* record = s.find(sid);
  if (record == nullptr) return std::nullopt;
  return record->state.repr();
}
// A u32 counter of the stream's record, or None for an unknown stream.
template <uint32_t State::Record::*Field>
std::optional<uint32_t> op_stream_counter(State& s, uint32_t sid) {
  const State::Record* record = s.find(sid);
  if (record == nullptr) return std::nullopt;
  return record->*Field;
}
std::optional<uint32_t> op_stream_send_window(State& s, uint32_t sid) {
  const State::Record* record = s.find(sid);
  if (record == nullptr) return std::nullopt;
  return record->send_flow.window_size();  // 0 while negative
}
bool op_in_reset_store(State& s, uint32_t sid) {
  return s.in_reset_store(sid, h2::MonoClock::now());
}
// ---- properties ------------------------------------------------------------------

uint32_t get_num_streams(const State& s) {
  return s.num_streams();
}
uint32_t get_data_frame_budget_available(const State& s) {
  return s.data_frame_budget().available();
}
uint32_t get_data_frame_budget_empty_frames(const State& s) {
  return s.data_frame_budget().empty_frames();
}
uint32_t get_peer_initial_window_size(const State& s) {
  return s.peer().initial_window_size;
}
uint32_t get_peer_max_frame_size(const State& s) {
  return s.peer().max_frame_size;
}
std::optional<uint32_t> get_peer_max_concurrent_streams(const State& s) {
  return s.peer().max_concurrent_streams;
}
uint32_t get_max_pending_accept_reset_streams(const State& s) {
  return s.config().max_pending_accept_reset_streams;
}
std::optional<uint32_t> get_max_local_error_reset_streams(const State& s) {
  return s.config().max_local_error_reset_streams;
}

template <auto Get>
constexpr auto kProperty = crossing<locked_property<Get>>;

const PropertySpec kProperties[] = {
    {"is_server", kProperty<&State::is_server>, "True for the server role."},
    {"num_streams", kProperty<&get_num_streams>, "Active streams: opened and not yet closed."},
    {"stream_limit", kProperty<&State::stream_limit>,
     "The MAX_CONCURRENT_STREAMS limit applied to our opens, or None."},
    {"num_open_streams", kProperty<&State::num_open_streams>, "Send slots claimed and not given back."},
    {"max_stream_id", kProperty<&State::max_stream_id>,
     "Server: the last-stream-id of our final GOAWAY; higher new ids are ignored."},
    {"last_processed_id", kProperty<&State::last_processed_id>,
     "Server: the highest request stream accepted."},
    {"graceful", kProperty<&State::graceful>, "The first GOAWAY of a graceful shutdown was queued."},
    {"shutdown_final", kProperty<&State::shutdown_final>,
     "The final GOAWAY of a graceful shutdown was queued."},
    {"goaway_replied", kProperty<&State::goaway_replied>, "Our GOAWAY answering the peer's was queued."},
    {"conn_send_window", kProperty<&State::conn_send_window>,
     "Octets we may still send on the connection (0 while the window is negative)."},
    {"conn_recv_available", kProperty<&State::conn_recv_available>,
     "The connection receive capacity we are willing to grant; may be negative."},
    {"data_frame_budget_available", kProperty<&get_data_frame_budget_available>,
     "What is left of the inbound DATA-framing budget."},
    {"data_frame_budget_empty_frames", kProperty<&get_data_frame_budget_empty_frames>,
     "Empty DATA frames received so far."},
    {"peer_initial_window_size", kProperty<&get_peer_initial_window_size>,
     "The peer's SETTINGS_INITIAL_WINDOW_SIZE (65535 until it says otherwise)."},
    {"peer_max_frame_size", kProperty<&get_peer_max_frame_size>,
     "The peer's SETTINGS_MAX_FRAME_SIZE: the largest frame payload we send."},
    {"peer_max_concurrent_streams", kProperty<&get_peer_max_concurrent_streams>,
     "The peer's SETTINGS_MAX_CONCURRENT_STREAMS, or None when it sent none."},
    {"max_pending_accept_reset_streams", kProperty<&get_max_pending_accept_reset_streams>,
     "Server: how many requests the peer may reset before they are accepted."},
    {"max_local_error_reset_streams", kProperty<&get_max_local_error_reset_streams>,
     "The cap on streams we reset for the peer's errors, or None when uncapped."},
    {"local_error_resets", kProperty<&State::local_error_resets>,
     "Streams reset so far for the peer's errors."},
};

const MethodSpec kMethods[] = {
    method<kBegin, &State::begin>(
        "Queue the handshake: the client preface (client only), our SETTINGS, and a\n"
        "connection WINDOW_UPDATE when the connection window exceeds 65535 by at least\n"
        "half of that.  A second call queues nothing."),
    {&kReceive, method_entry<streams_receive>(),
     "Decode every complete frame of the buffered bytes and data (bytes) into a list\n"
     "of H2Frame* events, to be applied with the recv_* methods.  A server consumes\n"
     "the client preface first.  H2ProtocolError on a connection error, the state\n"
     "untouched.  Takes only the decoder lock."},
    {&kPrime, method_entry<streams_prime>(),
     "Seed the decoder with bytes another reader took off the transport: True once\n"
     "they are buffered (a client, or a server past the preface), None while they\n"
     "match a partial client preface, False on a mismatch.  Decodes nothing."},
    {&kTakePending, method_entry<streams_take_pending>(),
     "Take every queued frame: (memoryview of the write batch, stopping).  Write the\n"
     "view, then call credit_written(); with stopping the writer exits after that."},
    {&kCreditWritten, method_entry<streams_credit_written>(),
     "The batch taken last was written: the list of stream handles whose senders may\n"
     "continue, each once."},
    method<kHasPending, &State::has_pending>("True when frames are queued."),
    method<kStopPump, &State::stop_pump>(
        "Make the next take_pending() tell the writer to exit after writing."),
    {&kStoreTaskHandles, method_entry<streams_store_task_handles>(),
     "Store the read and pump task handles, replacing earlier ones."},
    method<kTakeReadHandle, &State::take_read_handle>("The read task's handle, or None; at most once."),
    method<kTakePumpHandle, &State::take_pump_handle>("The pump task's handle, or None; at most once."),
    method<kTryClaimSlot, &State::try_claim_slot>(
        "Claim a concurrent-stream slot: False when the stream limit is reached."),
    method<kCanOpen, &State::can_open>("True when a slot is free; claims nothing."),
    method<kReleaseSlotCount, &State::release_slot_count>("Give back one claimed slot."),
    method<kApplyStreamLimit, &State::apply_stream_limit, arg_optional_u32>(
        "Limit the slots to limit (None removes the limit); slots already claimed stay."),
    method<kHasStream, op_has_stream, arg_u32>("True when sid is in the stream table."),
    method<kIsRecvEndStream, op_is_recv_end_stream, arg_u32>(
        "True when the peer's END_STREAM arrived on sid."),
    method<kStreamState, op_stream_state, arg_u32>(
        "The state of stream sid as H2StreamState prints it, or None."),
    method<kStreamRecvUnreleased, op_stream_counter<&State::Record::recv_unreleased>, arg_u32>(
        "Received octets of sid the application has not released, or None."),
    method<kStreamRecvReclaimed, op_stream_counter<&State::Record::recv_reclaimed>, arg_u32>(
        "Received octets of sid given back without the application, or None."),
    method<kStreamDataBudgetCharged, op_stream_counter<&State::Record::data_budget_charged>, arg_u32>(
        "The DATA-framing budget held by sid's undelivered payloads, or None."),
    method<kStreamSendBuffered, op_stream_counter<&State::Record::send_buffered>, arg_u32>(
        "DATA octets of sid queued and not yet written, or None."),
    method<kStreamSendWindow, op_stream_send_window, arg_u32>(
        "Octets we may still send on sid (0 while negative), or None."),
    method<kInResetStore, op_in_reset_store, arg_u32>(
        "True when sid was reset lately and its late frames are ignored."),
    method<kSetNextStreamId, &State::set_next_stream_id, arg_u32>(
        "Overwrite the next stream id this side opens."),
    method<kSetMaxStreamId, &State::set_max_stream_id, arg_u32>(
        "Overwrite the last-stream-id of our final GOAWAY."),
    method<kSetLastProcessedId, &State::set_last_processed_id, arg_u32>(
        "Overwrite the highest request stream accepted."),
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<streams_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<destroy_object<H2StreamsObject>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(crossing<core_object_traverse<State>>)},
    {Py_tp_clear, reinterpret_cast<void*>(crossing<core_object_clear<State>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<streams_repr>)},
};

// Not constexpr: the receive and send methods' tables are defined in their own files.
const ClassSpec kSpec{
    .name = "H2Streams",
    .doc =
        "The state of one HTTP/2 connection, client or server: streams, windows,\n"
        "settings, the frame decoder and the pending-send buffer a single writer\n"
        "drains.  It performs no I/O; every method returns what the driver must act on.",
    .constructor = &kNew,
    .subclassable = true,
    .gc = HoldsHostObjects<State>,
    .basicsize = sizeof(H2StreamsObject),
    .methods = kMethods,
    .more_methods = {kH2StreamsRecvMethods, kH2StreamsSendMethods},
    .properties = kProperties,
    .slots = kSlots,
};

#undef VANTRIC_SIGNATURE

// ---- test hooks ------------------------------------------------------------------

#ifdef VANTRIC_TEST_HOOKS

// h2_stopped(reason, conn): an H2Stopped.
constexpr Param kStoppedParams[] = {{"reason"}, {"conn"}};
constexpr Signature kTestStopped{"h2_stopped", "h2_stopped", CallKind::kFunction, kStoppedParams};

PyObject* test_stopped(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  std::optional<uint32_t> reason;
  bool conn = false;
  if (!parse_args(kTestStopped, args, nargs, kwnames, a) ||
      !arg_optional_u32(a[0], kTestStopped, 0, &reason) || !arg_bool(a[1], kTestStopped, 1, &conn))
    return nullptr;
  return new_h2_stopped(reason, conn);
}

bool arg_streams(PyObject* obj, const Signature& sig) {
  if (PyObject_TypeCheck(obj, h2_streams_type())) return true;
  raise_bad_argument_type(sig, 0, "H2Streams", obj);
  return false;
}

// h2_streams_add(streams, sid, handle): a stream record around handle, as the
// opening steps make them.
constexpr Param kAddParams[] = {{"streams"}, {"sid"}, {"handle"}};
constexpr Signature kTestAdd{"h2_streams_add", "h2_streams_add", CallKind::kFunction, kAddParams};

PyObject* test_add(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  uint32_t sid = 0;
  if (!parse_args(kTestAdd, args, nargs, kwnames, a) || !arg_streams(a[0], kTestAdd) ||
      !arg_u32(a[1], kTestAdd, 1, &sid))
    return nullptr;
  Ref handle = Ref::from_borrowed(a[2]);
  const bool added = locked<State>(a[0], [&](State& s) {
    if (s.find(sid) != nullptr) return false;
    s.insert_stream(sid, std::move(handle));
    return true;
  });
  return PyBool_FromLong(added);
}

// h2_streams_queue_data(streams, sid, data, end_stream): one DATA frame on a
// stream of the table, counted as the send path counts it.
constexpr Param kQueueParams[] = {{"streams"}, {"sid"}, {"data"}, {"end_stream"}};
constexpr Signature kTestQueue{"h2_streams_queue_data", "h2_streams_queue_data", CallKind::kFunction,
                               kQueueParams};

PyObject* test_queue(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  uint32_t sid = 0;
  std::string_view data;
  bool end_stream = false;
  if (!parse_args(kTestQueue, args, nargs, kwnames, a) || !arg_streams(a[0], kTestQueue) ||
      !arg_u32(a[1], kTestQueue, 1, &sid) || !arg_bytes(a[2], kTestQueue, 2, &data) ||
      !arg_bool(a[3], kTestQueue, 3, &end_stream))
    return nullptr;
  const bool queued = locked<State>(a[0], [&](State& s) {
    if (s.find(sid) == nullptr) return false;
    s.queue_data(sid, data, end_stream);
    return true;
  });
  return PyBool_FromLong(queued);
}

// h2_streams_remove(streams, sid): drops the stream record; its handle is
// released after unlocking.
constexpr Param kRemoveParams[] = {{"streams"}, {"sid"}};
constexpr Signature kTestRemove{"h2_streams_remove", "h2_streams_remove", CallKind::kFunction, kRemoveParams};

PyObject* test_remove(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  uint32_t sid = 0;
  if (!parse_args(kTestRemove, args, nargs, kwnames, a) || !arg_streams(a[0], kTestRemove) ||
      !arg_u32(a[1], kTestRemove, 1, &sid))
    return nullptr;
  Ref handle = locked<State>(a[0], [sid](State& s) { return s.remove_stream(sid); });
  return object_or_none(std::move(handle));
}

const MethodSpec kTestHooks[] = {
    {&kTestStopped, method_entry<test_stopped>(), "Make an H2Stopped."},
    {&kTestAdd, method_entry<test_add>(), "Add a stream record to an H2Streams."},
    {&kTestQueue, method_entry<test_queue>(), "Queue a DATA frame on a stream of an H2Streams."},
    {&kTestRemove, method_entry<test_remove>(), "Remove a stream record; returns its handle."},
};

#endif

}  // namespace

PyTypeObject* h2_streams_type() {
  return ProcessClass<kSpec>::get();
}

PyTypeObject* h2_stopped_type() {
  return ProcessClass<kStoppedSpec>::get();
}

PyObject* new_h2_stopped(std::optional<uint32_t> reason, bool conn) {
  PyTypeObject* type = h2_stopped_type();
  if (type == nullptr) return nullptr;
  auto* self = reinterpret_cast<StoppedObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->reason = reason.value_or(0);
  self->has_reason = reason.has_value();
  self->conn = conn;
  return reinterpret_cast<PyObject*>(self);
}

std::span<const MethodSpec> h2_streams_test_hooks() {
#ifdef VANTRIC_TEST_HOOKS
  return kTestHooks;
#else
  return {};
#endif
}

}  // namespace vantric::py
