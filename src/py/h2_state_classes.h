// The host classes over the HTTP/2 per-stream and per-connection state values:
// H2StreamState, H2FlowControl, H2ContentLength and H2DataFrameBudget.
//
// Each instance is one core value behind the object's mutex.  The core values
// hold no host objects and their operations never call into the host, so a
// method is: convert the arguments, run one core operation under the lock,
// copy its plain result out, and turn that into a host object (or raise its
// error value) after unlocking.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/h2/error.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/lock.h"

namespace vantric::py {

PyTypeObject* h2_stream_state_type();
PyTypeObject* h2_flow_control_type();
PyTypeObject* h2_content_length_type();
PyTypeObject* h2_data_frame_budget_type();

template <typename Core>
struct CoreObject {
  PyObject_HEAD
  HostMutex mutex;
  Core core;
};

template <typename Core>
CoreObject<Core>* as_core_object(PyObject* obj) {
  return reinterpret_cast<CoreObject<Core>*>(obj);
}

// The tp_new body once the constructor's arguments are converted.
template <typename Core, typename... A>
PyObject* new_core_object(PyTypeObject* type, A&&... args) {
  auto* self = reinterpret_cast<CoreObject<Core>*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->mutex) HostMutex();
  new (&self->core) Core(std::forward<A>(args)...);
  return reinterpret_cast<PyObject*>(self);
}

template <typename Core>
void core_object_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  CoreObject<Core>* self = as_core_object<Core>(obj);
  std::destroy_at(&self->core);
  std::destroy_at(&self->mutex);
  type->tp_free(obj);
  Py_DECREF(type);
}

// Runs the core operation `Op` with `args` under the object's lock.  The
// result is initialized before the lock guard is destroyed, so the caller
// holds a copy taken under the lock.
template <typename Core, auto Op, typename... A>
auto call_locked(PyObject* self, A... args) {
  CoreObject<Core>* object = as_core_object<Core>(self);
  HostLock lock(object->mutex);
  return std::invoke(Op, object->core, args...);
}

// Host objects of plain core results; each raises a core error value instead.
inline PyObject* result_object(bool value) {
  return PyBool_FromLong(value);
}
inline PyObject* result_object(uint32_t value) {
  return PyLong_FromUnsignedLong(value);
}
inline PyObject* result_object(int32_t value) {
  return PyLong_FromLong(value);
}
inline PyObject* result_object(std::optional<uint32_t> value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*value);
}
inline PyObject* result_object(const std::optional<h2::Error>& error) {
  if (!error) Py_RETURN_NONE;
  raise(*error);
  return nullptr;
}
template <typename T>
PyObject* result_object(const std::variant<T, h2::Error>& result) {
  if (const h2::Error* error = std::get_if<h2::Error>(&result)) {
    raise(*error);
    return nullptr;
  }
  return result_object(std::get<T>(result));
}

// A method without arguments: `Op` under the lock, its result converted after.
template <typename Core, const Signature& Sig, auto Op>
PyObject* nullary_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(Sig, args, nargs, kwnames, nullptr)) return nullptr;
  return result_object(call_locked<Core, Op>(self));
}

// A method of one argument converted by `Convert` (an arg_* conversion):
// `Op(value)` under the lock, its result converted after; None when `Op`
// returns nothing.
template <typename Core, const Signature& Sig, auto Convert, auto Op>
PyObject* unary_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ArgValue<Convert> value{};
  if (!parse_arg(Sig, args, nargs, kwnames, Convert, &value)) return nullptr;
  if constexpr (std::is_void_v<decltype(call_locked<Core, Op>(self, value))>) {
    call_locked<Core, Op>(self, value);
    Py_RETURN_NONE;
  } else {
    return result_object(call_locked<Core, Op>(self, value));
  }
}

}  // namespace vantric::py
