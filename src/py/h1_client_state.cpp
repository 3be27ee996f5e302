// H1ClientState: the host class over the HTTP/1 client connection state.
// Every method is one core transition; locking follows README.md.
#include "py/h1_client_state.h"

#include <optional>
#include <utility>

#include "core/h1/client_state.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/lock.h"
#include "py/method_adapters.h"
#include "py/ref.h"

namespace vantric::py {
namespace {

using State = h1::ClientState<Ref>;

// ---- construction ---------------------------------------------------------------

constexpr Param kNewParams[] = {{"transport"}};
constexpr Signature kNew{"H1ClientState", "H1ClientState", CallKind::kConstructor, kNewParams};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!parse_args_tuple(kNew, args, kwargs, a)) return nullptr;
  return new_core_object<State>(type, optional_ref(a[0]));
}

PyObject* client_repr(PyObject* self) {
  std::string text = locked<State>(self, [](State& s) { return s.repr(); });
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- methods --------------------------------------------------------------------

#define VANTRIC_SIGNATURE(var, name) \
  constexpr Signature var{name, "H1ClientState." name, CallKind::kMethod, {}};

VANTRIC_SIGNATURE(kTransportRef, "transport_ref")
VANTRIC_SIGNATURE(kIsDead, "is_dead")
VANTRIC_SIGNATURE(kTryBeginExchange, "try_begin_exchange")
VANTRIC_SIGNATURE(kEndExchange, "end_exchange")
VANTRIC_SIGNATURE(kExchangeStarted, "exchange_started")
VANTRIC_SIGNATURE(kCloseNow, "close_now")
VANTRIC_SIGNATURE(kMarkClosed, "mark_closed")
VANTRIC_SIGNATURE(kUpgrade, "upgrade")
VANTRIC_SIGNATURE(kTakeWriter, "take_writer")
VANTRIC_SIGNATURE(kWriterDone, "writer_done")
VANTRIC_SIGNATURE(kWatcherAborted, "watcher_aborted")
VANTRIC_SIGNATURE(kWatcherDone, "watcher_done")
VANTRIC_SIGNATURE(kTakeWatcherHandle, "take_watcher_handle")
VANTRIC_SIGNATURE(kTakeWatcherResult, "take_watcher_result")
#undef VANTRIC_SIGNATURE

Ref op_transport_ref(State& s) {
  return s.transport().share();
}
Ref op_watcher_done(State& s) {
  const Ref* done = s.watcher_done();
  return done != nullptr ? done->share() : Ref();
}

PyObject* client_mark_closed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kMarkClosed, args, nargs, kwnames, nullptr)) return nullptr;
  State::Closed closed = locked<State>(self, [](State& s) { return s.mark_closed(); });
  Ref transport = Ref::steal(object_or_none(std::move(closed.transport)));
  Ref done = Ref::steal(object_or_none(std::move(closed.done)));
  Ref scope = Ref::steal(object_or_none(std::move(closed.writer_scope)));
  return PyTuple_Pack(4, transport.get(), done.get(), scope.get(), closed.idle ? Py_True : Py_False);
}

PyObject* client_take_watcher_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  if (!parse_args(kTakeWatcherResult, args, nargs, kwnames, nullptr)) return nullptr;
  auto [data, error] = locked<State>(self, [](State& s) { return s.take_watcher_result(); });
  return pack_pair(std::move(data), std::move(error));
}

constexpr Param kValueParam[] = {{"value"}};
constexpr Signature kSetPeerHttp10{"set_peer_http10", "H1ClientState.set_peer_http10", CallKind::kMethod,
                                   kValueParam};

constexpr Param kExcParam[] = {{"exc", "None"}};
constexpr Signature kFail{"fail", "H1ClientState.fail", CallKind::kMethod, kExcParam};

PyObject* client_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kFail, args, nargs, kwnames, a)) return nullptr;
  Ref dropped;
  Ref transport = locked<State>(self, [&](State& s) { return s.fail(optional_ref(a[0]), &dropped); });
  return object_or_none(std::move(transport));
}

constexpr Param kScopeParam[] = {{"scope"}};
constexpr Signature kStoreWriter{"store_writer", "H1ClientState.store_writer", CallKind::kMethod,
                                 kScopeParam};

PyObject* client_store_writer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kStoreWriter, args, nargs, kwnames, a)) return nullptr;
  Ref refused = locked<State>(self, [&](State& s) { return s.store_writer(Ref::from_borrowed(a[0])); });
  return object_or_none(std::move(refused));
}

constexpr Param kDoneParam[] = {{"done"}};
constexpr Signature kArmWatcher{"arm_watcher", "H1ClientState.arm_watcher", CallKind::kMethod, kDoneParam};

PyObject* client_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kArmWatcher, args, nargs, kwnames, a)) return nullptr;
  Ref done = Ref::from_borrowed(a[0]);  // a refused event is released after unlocking
  bool armed = locked<State>(self, [&](State& s) { return s.arm_watcher(done); });
  return PyBool_FromLong(armed);
}

constexpr Param kHandleParam[] = {{"handle"}};
constexpr Signature kStoreWatcherHandle{"store_watcher_handle", "H1ClientState.store_watcher_handle",
                                        CallKind::kMethod, kHandleParam};

PyObject* client_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kStoreWatcherHandle, args, nargs, kwnames, a)) return nullptr;
  Ref refused =
      locked<State>(self, [&](State& s) { return s.store_watcher_handle(Ref::from_borrowed(a[0])); });
  return object_or_none(std::move(refused));
}

constexpr Param kCompletedParams[] = {{"data", "None"}, {"error", "None"}};
constexpr Signature kWatcherCompleted{"watcher_completed", "H1ClientState.watcher_completed",
                                      CallKind::kMethod, kCompletedParams};

PyObject* client_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kWatcherCompleted, args, nargs, kwnames, a)) return nullptr;
  PyObject* data = a[0] != nullptr ? a[0] : Py_None;
  std::optional<std::size_t> size;
  if (data != Py_None) {
    if (!PyBytes_Check(data)) {
      raise_bad_argument_type(kWatcherCompleted, 0, "bytes or None", data);
      return nullptr;
    }
    size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
  }
  State::Completion done = locked<State>(
      self, [&](State& s) { return s.watcher_completed(optional_ref(data), size, optional_ref(a[1])); });
  Ref verdict = Ref::steal(PyLong_FromLong(static_cast<long>(done.verdict)));
  Ref transport = Ref::steal(object_or_none(std::move(done.transport)));
  if (!verdict) return nullptr;
  return PyTuple_Pack(2, verdict.get(), transport.get());
}

// ---- properties -----------------------------------------------------------------

PyObject* client_error(PyObject* self, void*) {
  return object_or_none(locked<State>(self, [](State& s) { return s.error().share(); }));
}

const MethodSpec kMethods[] = {
    method<kTransportRef, op_transport_ref>(
        "The transport, or None once the connection closed or was handed off."),
    method<kSetPeerHttp10, &State::set_peer_http10, arg_bool>(
        "Record whether the peer is known to speak HTTP/1.0."),
    method<kIsDead, &State::is_dead>("True when the connection is closed or an error is stored."),
    method<kTryBeginExchange, &State::try_begin_exchange>(
        "Claim the connection for an exchange; False while another exchange holds it."),
    method<kEndExchange, &State::end_exchange>(
        "Release the claim; True when it flipped (wake the idle waiters)."),
    method<kExchangeStarted, &State::exchange_started>(
        "The request is being written: a watcher read completing from now on belongs to the "
        "exchange."),
    {&kFail, method_entry<client_fail>(),
     "Store `exc` unless an error is stored already, close, and return the transport (or "
     "None)."},
    method<kCloseNow, &State::close_now>("Close and return the transport (or None)."),
    {&kMarkClosed, method_entry<client_mark_closed>(),
     "Close; return (transport, watcher done event, writer scope, idle)."},
    method<kUpgrade, &State::upgrade>("Hand the transport off for a protocol switch and return it."),
    {&kStoreWriter, method_entry<client_store_writer>(),
     "Store the request writer's scope; returns the scope itself when the connection closed "
     "meanwhile."},
    method<kTakeWriter, &State::take_writer>("Take the writer scope, or None."),
    method<kWriterDone, &State::writer_done>("The writer sent the request body in full."),
    {&kArmWatcher, method_entry<client_arm_watcher>(),
     "Park an idle watcher with its done event; True when the caller spawns the watcher task."},
    {&kStoreWatcherHandle, method_entry<client_store_watcher_handle>(),
     "Store the watcher task's handle; returns the handle itself when refused."},
    method<kWatcherAborted, &State::watcher_aborted>("The watcher's read was aborted: nothing to report."),
    {&kWatcherCompleted, method_entry<client_watcher_completed>(),
     "The watcher's read finished with `data` (b'' is end of stream) or `error`; returns "
     "(verdict, transport)."},
    method<kWatcherDone, op_watcher_done>("The watcher's done event, or None without a watcher."),
    method<kTakeWatcherHandle, &State::take_watcher_handle>(
        "Take the watcher task's handle to join it, or None."),
    {&kTakeWatcherResult, method_entry<client_take_watcher_result>(),
     "Take the (data, error) a watcher handed to the exchange."},
};

const PropertySpec kProperties[] = {
    {"closed", crossing<locked_property<&State::closed>>, "The connection is closed."},
    {"busy", crossing<locked_property<&State::busy>>, "An exchange holds the connection."},
    {"upgraded", crossing<locked_property<&State::upgraded>>,
     "The transport was handed off for a protocol switch."},
    {"peer_http10", crossing<locked_property<&State::peer_http10>>, "The peer is known to speak HTTP/1.0."},
    {"error", crossing<client_error>, "The stored failure, or None."},
    {"has_watcher", crossing<locked_property<&State::has_watcher>>,
     "A watcher read is parked, or completed and not yet consumed."},
    {"writer_finished", crossing<locked_property<&State::writer_finished>>,
     "The writer sent the request body in full."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<client_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<State>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(crossing<core_object_traverse<State>>)},
    {Py_tp_clear, reinterpret_cast<void*>(crossing<core_object_clear<State>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<client_repr>)},
};

constexpr ClassSpec kSpec{
    .name = "H1ClientState",
    .doc =
        "The state of one HTTP/1 client connection: who holds it, whether it is still "
        "usable, the stored failure, the request writer and the idle watcher. Every method "
        "is one atomic transition that returns what the driver must act on.",
    .constructor = &kNew,
    .subclassable = true,
    .gc = HoldsHostObjects<State>,
    .basicsize = sizeof(ObjectFor<State>),
    .methods = kMethods,
    .properties = kProperties,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* h1_client_state_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
