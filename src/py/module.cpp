// The module: both entry points and the one registration table.
#include <Python.h>

#include <array>
#include <cstdint>

#include "core/h1/codes.h"
#include "core/h2/constants.h"
#include "core/version.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h1_body_decoder.h"
#include "py/h1_client_state.h"
#include "py/h1_codec.h"
#include "py/h1_heads.h"
#include "py/h1_server_state.h"
#include "py/h2_codec.h"
#include "py/h2_flow.h"
#include "py/h2_frames.h"
#include "py/h2_stream_state.h"
#include "py/h2_streams.h"
#include "py/header_map.h"
#include "py/once.h"
#include "py/proxy.h"
#include "py/ref.h"
#include "py/results.h"
#include "py/testing.h"
#include "py/utilities.h"
#include "py/version.h"

namespace vantric::py {
namespace {

// One registration: a module attribute and how to make its value (a new
// reference, or nullptr with an exception set).
struct Registration {
  const char* name;
  PyObject* (*make)(PyObject* module, const Registration& self);
  int64_t value = 0;  // integer constants
};

ProcessOnce<PyObject> g_version;

PyObject* make_version(PyObject*, const Registration&) {
  PyObject* version = g_version.get([] {
    const std::string text = host_version(kVersionText);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
  Py_XINCREF(version);
  return version;
}

template <ExcId Id>
PyObject* make_exception(PyObject*, const Registration&) {
  PyObject* cls = exception_class(Id);
  Py_XINCREF(cls);
  return cls;
}

template <PyTypeObject* (*Type)()>
PyObject* make_type(PyObject*, const Registration&) {
  return Py_XNewRef(reinterpret_cast<PyObject*>(Type()));
}

template <const MethodSpec& Spec>
PyObject* make_function(PyObject* module, const Registration&) {
  return new_module_function(Spec, module);
}

PyObject* make_int(PyObject*, const Registration& self) {
  return PyLong_FromLongLong(self.value);
}

PyObject* make_preface(PyObject*, const Registration&) {
  return new_bytes(h2::kPreface);
}

constexpr Registration constant(const char* name, int64_t value) {
  return Registration{name, make_int, value};
}

template <typename E>
constexpr Registration constant(const char* name, E value) {
  return constant(name, static_cast<int64_t>(value));
}

// Every attribute of the module, in the order the host sees them in __all__.
constexpr Registration kRegistrations[] = {
    {"__version__", make_version},
    {"VantricError", make_exception<ExcId::kVantricError>},
    {"ConnectionClosedError", make_exception<ExcId::kConnectionClosedError>},
    {"HeaderMap", make_type<header_map_type>},
    {"http_date", make_function<kHttpDateFunction>},
    {"uri_parts", make_function<kUriPartsFunction>},
    {"H2Codec", make_type<h2_codec_type>},
    {"H2FrameHeaders", make_type<h2_frame_headers_type>},
    {"H2FrameData", make_type<h2_frame_data_type>},
    {"H2FrameSettings", make_type<h2_frame_settings_type>},
    {"H2FrameWindowUpdate", make_type<h2_frame_window_update_type>},
    {"H2FramePing", make_type<h2_frame_ping_type>},
    {"H2FrameGoAway", make_type<h2_frame_go_away_type>},
    {"H2FrameRstStream", make_type<h2_frame_rst_stream_type>},
    {"H2FramePriority", make_type<h2_frame_priority_type>},
    {"H2FrameStreamError", make_type<h2_frame_stream_error_type>},
    {"H2StreamState", make_type<h2_stream_state_type>},
    {"H2FlowControl", make_type<h2_flow_control_type>},
    {"H2ContentLength", make_type<h2_content_length_type>},
    {"H2DataFrameBudget", make_type<h2_data_frame_budget_type>},
    {"H2Streams", make_type<h2_streams_type>},
    {"H2Stopped", make_type<h2_stopped_type>},
    {"H2RecvHeadersVerdict", make_type<h2_recv_headers_verdict_type>},
    {"H2RecvDataVerdict", make_type<h2_recv_data_verdict_type>},
    {"H2SendVerdict", make_type<h2_send_verdict_type>},
    {"H2ResetVerdict", make_type<h2_reset_verdict_type>},
    // The verdict records.
    constant("H2_FLAG_WAKE", h2::kFlagWake),
    constant("H2_FLAG_SLOT_FREED", h2::kFlagSlotFreed),
    constant("H2_FLAG_CONN_DONE", h2::kFlagConnDone),
    constant("H2_FLAG_STOP_ACCEPTING", h2::kFlagStopAccepting),
    constant("H2_HEADERS_IGNORED", h2::HeadersKind::kIgnored),
    constant("H2_HEADERS_OPENED", h2::HeadersKind::kOpened),
    constant("H2_HEADERS_HEAD", h2::HeadersKind::kHead),
    constant("H2_HEADERS_TRAILERS", h2::HeadersKind::kTrailers),
    {"H2Error", make_exception<ExcId::kH2Error>},
    {"H2ProtocolError", make_exception<ExcId::kH2ProtocolError>},
    {"H2StreamError", make_exception<ExcId::kH2StreamError>},
    {"H2UserError", make_exception<ExcId::kH2UserError>},
    {"H2FlowControlError", make_exception<ExcId::kH2FlowControlError>},
    {"H2Reason", make_type<h2_reason_type>},
    constant("H2_DEFAULT_HEADER_TABLE_SIZE", h2::kDefaultHeaderTableSize),
    constant("H2_DEFAULT_INITIAL_WINDOW_SIZE", h2::kDefaultInitialWindowSize),
    constant("H2_DEFAULT_MAX_FRAME_SIZE", h2::kDefaultMaxFrameSize),
    constant("H2_MAX_MAX_FRAME_SIZE", h2::kMaxMaxFrameSize),
    constant("H2_MAX_STREAM_ID", h2::kMaxStreamId),
    constant("H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", h2::kDefaultDataFrameOverheadThreshold),
    constant("H2_DEFAULT_DATA_FRAME_BUDGET", h2::kDefaultDataFrameBudget),
    constant("H2_MAX_RECV_EMPTY_DATA_FRAMES", h2::kMaxRecvEmptyDataFrames),
    {"H2_PREFACE", make_preface},
    {"H1Error", make_exception<ExcId::kH1Error>},
    {"H1ParseError", make_exception<ExcId::kH1ParseError>},
    {"H1BodyError", make_exception<ExcId::kH1BodyError>},
    {"H1IncompleteMessageError", make_exception<ExcId::kH1IncompleteMessageError>},
    {"H1UnexpectedMessageError", make_exception<ExcId::kH1UnexpectedMessageError>},
    {"H1UserError", make_exception<ExcId::kH1UserError>},
    {"H1Codec", make_type<h1_codec_type>},
    {"H1ResponseHead", make_type<h1_response_head_type>},
    {"H1RequestHead", make_type<h1_request_head_type>},
    {"H1BodyDecoder", make_type<h1_body_decoder_type>},
    {"H1ServerState", make_type<h1_server_state_type>},
    {"H1ClientState", make_type<h1_client_state_type>},
    {"OnceLatch", make_type<once_latch_type>},
    constant("H1_WATCH_HANDOFF", h1::WatchVerdict::kHandoff),
    constant("H1_WATCH_IDLE_EOF", h1::WatchVerdict::kIdleEof),
    constant("H1_WATCH_IDLE_BYTES", h1::WatchVerdict::kIdleBytes),
    constant("H1_WATCH_IDLE_ERROR", h1::WatchVerdict::kIdleError),
    constant("H1_WATCH_IGNORED", h1::WatchVerdict::kIgnored),
    constant("H1_NEXT_NONE", h1::ReadStep::kNextNone),
    constant("H1_NEXT_RAISE", h1::ReadStep::kNextRaise),
    constant("H1_NEXT_CLOSE", h1::ReadStep::kNextClose),
    constant("H1_NEXT_DRAIN", h1::ReadStep::kNextDrain),
    constant("H1_READ_PARSE", h1::ReadStep::kReadParse),
    constant("H1_READ_SHUTDOWN", h1::ReadStep::kReadShutdown),
    constant("H1_READ_WATCHER", h1::ReadStep::kReadWatcher),
    constant("H1_READ_TRANSPORT", h1::ReadStep::kReadTransport),
    constant("H1_READ_EOF", h1::ReadStep::kReadEof),
    constant("H1_REQ_OK", h1::RequestClaim::kOk),
    constant("H1_REQ_ALREADY", h1::RequestClaim::kAlready),
    constant("H1_REQ_STALE", h1::RequestClaim::kStale),
    constant("H1_REQ_PARKED", h1::RequestClaim::kParked),
    constant("H1_REQ_PEER_CLOSED", h1::RequestClaim::kPeerClosed),
    constant("H1_REQ_CONTINUE", h1::RequestClaim::kContinue),
    {"ProxyMatcher", make_type<proxy_matcher_type>},
    {"ProxyIntercept", make_type<proxy_intercept_type>},
};

// Appends `name` to __all__ (created on first use), then sets the attribute.
int add(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttr(module, key.get(), value);
}

int module_exec_impl(PyObject* module) {
  for (const Registration& entry : kRegistrations) {
    Ref value = Ref::steal(entry.make(module, entry));
    if (!value || add(module, entry.name, value.get()) < 0) return -1;
  }
  return add_test_hooks(module);
}

int module_exec(PyObject* module) {
  return crossing<module_exec_impl>(module);
}

#ifdef PyABIInfo_VAR
PyABIInfo_VAR(abi_info);
#endif

PyModuleDef_Slot kSlots[] = {
#ifdef PyABIInfo_VAR
    {Py_mod_abi, &abi_info},
#endif
#ifdef Py_mod_name
    {Py_mod_name, const_cast<char*>("_vantric")},
    {Py_mod_doc, const_cast<char*>("")},
#endif
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Classes are shared by every module object of the process, which is only
    // sound within one interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_vantric",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods: functions are registered by the execution step
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vantric::py

PyMODINIT_FUNC PyInit__vantric(void) {
  return PyModuleDef_Init(&vantric::py::kModuleDef);
}

extern "C" __attribute__((visibility("default"))) PyModuleDef_Slot* PyModExport__vantric(void) {
  return vantric::py::kSlots;
}
