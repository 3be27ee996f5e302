// H2FlowControl, H2ContentLength and H2DataFrameBudget: the host classes over
// the HTTP/2 accounting values of one stream or connection.
#include <Python.h>

#include <optional>
#include <string>

#include "core/h2/content_length.h"
#include "core/h2/data_frame_budget.h"
#include "core/h2/flow_control.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h2_flow.h"
#include "py/method_adapters.h"

namespace vantric::py {
namespace {

using h2::ContentLength;
using h2::DataFrameBudget;
using h2::FlowControl;
using h2::WindowResult;

// ---- H2FlowControl -------------------------------------------------------------

constexpr Signature kFlowNew{"H2FlowControl", "H2FlowControl", CallKind::kConstructor, {}};

PyObject* h2_flow_control_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!parse_args_tuple(kFlowNew, args, kwargs, nullptr)) return nullptr;
  return new_core_object<FlowControl>(type);
}

PyObject* h2_flow_control_repr(PyObject* self) {
  const std::string text = locked<FlowControl>(self, [](FlowControl& flow) { return flow.repr(); });
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A window step and the argument it was given.
struct WindowStep {
  WindowResult result;
  uint32_t argument;
};

template <WindowResult (FlowControl::*Step)(uint32_t)>
WindowStep window_step(FlowControl& flow, uint32_t argument) {
  return {(flow.*Step)(argument), argument};
}

// None, ValueError for an argument beyond the largest window,
// H2FlowControlError for a result outside the signed 32-bit range.
PyObject* result_object(const WindowStep& step) {
  if (!step.result) Py_RETURN_NONE;
  switch (*step.result) {
    case h2::WindowError::kTooLarge:
      PyErr_SetString(PyExc_ValueError, h2::window_argument_message(step.argument).c_str());
      return nullptr;
    case h2::WindowError::kOutOfRange:
      break;
  }
  raise(h2::Error(h2::FlowControlError{}));
  return nullptr;
}

constexpr Param kCapacityParams[] = {{"capacity"}};
constexpr Param kSzParams[] = {{"sz"}};
constexpr Signature kWindowSize{"window_size", "H2FlowControl.window_size", CallKind::kMethod, {}};
constexpr Signature kAvailable{"available", "H2FlowControl.available", CallKind::kMethod, {}};
constexpr Signature kHasUnavailable{
    "has_unavailable", "H2FlowControl.has_unavailable", CallKind::kMethod, {}};
constexpr Signature kUnclaimedCapacity{
    "unclaimed_capacity", "H2FlowControl.unclaimed_capacity", CallKind::kMethod, {}};
constexpr Signature kClaimCapacity{"claim_capacity", "H2FlowControl.claim_capacity", CallKind::kMethod,
                                   kCapacityParams};
constexpr Signature kAssignCapacity{"assign_capacity", "H2FlowControl.assign_capacity", CallKind::kMethod,
                                    kCapacityParams};
constexpr Signature kIncWindow{"inc_window", "H2FlowControl.inc_window", CallKind::kMethod, kSzParams};
constexpr Signature kDecSendWindow{"dec_send_window", "H2FlowControl.dec_send_window", CallKind::kMethod,
                                   kSzParams};
constexpr Signature kDecRecvWindow{"dec_recv_window", "H2FlowControl.dec_recv_window", CallKind::kMethod,
                                   kSzParams};
constexpr Signature kSendData{"send_data", "H2FlowControl.send_data", CallKind::kMethod, kSzParams};

template <const Signature& Sig, WindowResult (FlowControl::*Step)(uint32_t)>
MethodSpec flow_step(std::string_view doc) {
  return method<Sig, window_step<Step>, arg_u32>(doc);
}

const MethodSpec kFlowMethods[] = {
    method<kWindowSize, &FlowControl::window_size>("The advertised window, or 0 while it is negative."),
    method<kAvailable, &FlowControl::available>("The capacity that may be claimed (may be negative)."),
    method<kHasUnavailable, &FlowControl::has_unavailable>(
        "True when the window is not negative and part of it is not available."),
    method<kUnclaimedCapacity, &FlowControl::unclaimed_capacity>(
        "The capacity available beyond the window when it is at least half the window\n"
        "(worth a WINDOW_UPDATE), else None."),
    flow_step<kClaimCapacity, &FlowControl::claim_capacity>("available -= capacity."),
    flow_step<kAssignCapacity, &FlowControl::assign_capacity>("available += capacity."),
    flow_step<kIncWindow, &FlowControl::inc_window>("window_size += sz."),
    flow_step<kDecSendWindow, &FlowControl::dec_send_window>("window_size -= sz."),
    flow_step<kDecRecvWindow, &FlowControl::dec_recv_window>(
        "window_size -= sz and available -= sz, both or neither."),
    flow_step<kSendData, &FlowControl::send_data>(
        "Sends sz octets: both values -= sz.  H2FlowControlError when sz exceeds the\n"
        "window or the window is negative; a zero sz changes nothing."),
};

const PyType_Slot kFlowSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_flow_control_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<FlowControl>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_flow_control_repr>)},
};

constexpr ClassSpec kFlowSpec{
    .name = "H2FlowControl",
    .doc =
        "One HTTP/2 flow-control window (RFC 9113 sections 5.2 and 6.9): the advertised\n"
        "window and the capacity available, both signed 32-bit.\n\n"
        "Arguments above 2147483647 raise ValueError; a result outside the signed\n"
        "32-bit range raises H2FlowControlError and changes nothing.",
    .constructor = &kFlowNew,
    .basicsize = sizeof(ObjectFor<FlowControl>),
    .methods = kFlowMethods,
    .slots = kFlowSlots,
};

// ---- H2ContentLength -----------------------------------------------------------

constexpr Param kContentLengthNewParams[] = {{"is_head", "False"}};
constexpr Signature kContentLengthNew{"H2ContentLength", "H2ContentLength", CallKind::kConstructor,
                                      kContentLengthNewParams};

PyObject* h2_content_length_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  bool is_head = false;
  if (!parse_args_tuple(kContentLengthNew, args, kwargs, a) ||
      (a[0] != nullptr && !arg_bool(a[0], kContentLengthNew, 0, &is_head)))
    return nullptr;
  return new_core_object<ContentLength>(type, is_head);
}

constexpr Param kValueParams[] = {{"value"}};
constexpr Signature kSet{"set", "H2ContentLength.set", CallKind::kMethod, kValueParams};
constexpr Param kLenParams[] = {{"len"}};
constexpr Signature kDec{"dec", "H2ContentLength.dec", CallKind::kMethod, kLenParams};
constexpr Signature kIsHead{"is_head", "H2ContentLength.is_head", CallKind::kMethod, {}};
constexpr Signature kIsSatisfied{"is_satisfied", "H2ContentLength.is_satisfied", CallKind::kMethod, {}};

const MethodSpec kContentLengthMethods[] = {
    method<kIsHead, &ContentLength::is_head>(
        "True when the message answers a HEAD request and so carries no body."),
    method<kSet, &ContentLength::set, arg_u64>(
        "Expects value octets, unless the message answers a HEAD request."),
    method<kDec, &ContentLength::dec, arg_u64>(
        "May len more body octets arrive?  Counts them when so; False changes nothing."),
    method<kIsSatisfied, &ContentLength::is_satisfied>("False while declared octets are still missing."),
};

const PyType_Slot kContentLengthSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_content_length_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<ContentLength>>)},
};

constexpr ClassSpec kContentLengthSpec{
    .name = "H2ContentLength",
    .doc =
        "The declared content-length of a received HTTP/2 message, counted down by its\n"
        "DATA payloads (RFC 9113 section 8.1.1).",
    .constructor = &kContentLengthNew,
    .basicsize = sizeof(ObjectFor<ContentLength>),
    .methods = kContentLengthMethods,
    .slots = kContentLengthSlots,
};

// ---- H2DataFrameBudget ---------------------------------------------------------

constexpr Param kBudgetNewParams[] = {{"configured", "None"}, {"connection_window", "None"}};
constexpr Signature kBudgetNew{"H2DataFrameBudget", "H2DataFrameBudget", CallKind::kConstructor,
                               kBudgetNewParams};

PyObject* h2_data_frame_budget_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  std::optional<uint32_t> configured, connection_window;
  if (!parse_args_tuple(kBudgetNew, args, kwargs, a) || !arg_optional_u32(a[0], kBudgetNew, 0, &configured) ||
      !arg_optional_u32(a[1], kBudgetNew, 1, &connection_window))
    return nullptr;
  return new_core_object<DataFrameBudget>(type, configured, connection_window);
}

constexpr Param kPayloadLenParams[] = {{"payload_len"}};
constexpr Signature kRecord{"record", "H2DataFrameBudget.record", CallKind::kMethod, kPayloadLenParams};
constexpr Param kChargeParams[] = {{"charge"}};
constexpr Signature kRelease{"release", "H2DataFrameBudget.release", CallKind::kMethod, kChargeParams};

const MethodSpec kBudgetMethods[] = {
    method<kRecord, &DataFrameBudget::record, arg_u32>(
        "Accounts one received DATA frame without END_STREAM, before its payload is\n"
        "buffered: returns the charge to release once the payload is consumed, or raises\n"
        "H2ProtocolError(11, 'too_many_data_frames') once the budget or the cap on empty\n"
        "frames is exhausted."),
    method<kRelease, &DataFrameBudget::release, arg_u32>(
        "Gives back a charge; the available budget never exceeds the total."),
};

const PropertySpec kBudgetProperties[] = {
    {"available", crossing<locked_property<&DataFrameBudget::available>>, "The budget currently available."},
    {"empty_frames", crossing<locked_property<&DataFrameBudget::empty_frames>>,
     "Empty DATA frames without END_STREAM received so far."},
};

const PyType_Slot kBudgetSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_data_frame_budget_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<core_object_dealloc<DataFrameBudget>>)},
};

constexpr ClassSpec kBudgetSpec{
    .name = "H2DataFrameBudget",
    .doc =
        "The connection's defence against DATA fragmentation: non-final frames below the\n"
        "overhead threshold are charged the overhead they impose, larger frames earn it\n"
        "back, and empty frames count against a lifetime cap (RFC 9113 section 10.5).\n\n"
        "The budget is configured when given; else half connection_window, never below\n"
        "H2_DEFAULT_DATA_FRAME_BUDGET; else half the default window.",
    .constructor = &kBudgetNew,
    .basicsize = sizeof(ObjectFor<DataFrameBudget>),
    .methods = kBudgetMethods,
    .properties = kBudgetProperties,
    .slots = kBudgetSlots,
};

}  // namespace

PyTypeObject* h2_flow_control_type() {
  return ProcessClass<kFlowSpec>::get();
}

PyTypeObject* h2_content_length_type() {
  return ProcessClass<kContentLengthSpec>::get();
}

PyTypeObject* h2_data_frame_budget_type() {
  return ProcessClass<kBudgetSpec>::get();
}

}  // namespace vantric::py
