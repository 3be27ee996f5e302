// The layout of an H2Streams instance, shared by the files of its core methods
// (h2_streams.cpp), its receive methods (h2_streams_recv.cpp) and its send
// methods (h2_streams_send.cpp), with the helpers of their method bodies.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/h2_state_classes.h"
#include "py/lock.h"
#include "py/ref.h"

namespace vantric::py {

using H2State = h2::Streams<Ref>;

struct H2StreamsObject {
  PyObject_HEAD
  HostMutex mutex;  // the state mutex: guards `state`
  H2State state;
  HostMutex decoder_mutex;  // guards `reader`; taken only alone or inside `mutex`
  h2::FrameReader reader;
};

inline H2StreamsObject* as_streams(PyObject* obj) {
  return reinterpret_cast<H2StreamsObject*>(obj);
}

// Runs `op(H2State&)` under the state mutex and returns its result.
template <class Op>
auto locked_streams(PyObject* self, Op&& op) {
  H2StreamsObject* streams = as_streams(self);
  HostLock lock(streams->mutex);
  return op(streams->state);
}

// Runs `op(H2State&, dropped)` under the state mutex; the handles the table
// drops into `dropped` are released after unlocking.
template <class Op>
auto dropping(PyObject* self, Op&& op) {
  std::vector<Ref> dropped;
  return locked_streams(self, [&](H2State& s) { return op(s, dropped); });
}

// The value of a core result, or nullptr after raising its error.
template <class T>
T* value_or_raise(h2::Result<T>& result) {
  if (auto* error = std::get_if<h2::Error>(&result)) {
    raise(*error);
    return nullptr;
  }
  return &std::get<T>(result);
}

// The text of a core result, or None.
inline PyObject* result_object(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

// A method without arguments: `Op(H2State&)` under the lock, its plain result
// converted after unlocking (None when it returns nothing).
template <const Signature& Sig, auto Op>
PyObject* plain_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(Sig, args, nargs, kwnames, nullptr)) return nullptr;
  if constexpr (std::is_void_v<decltype(locked_streams(self, Op))>) {
    locked_streams(self, Op);
    Py_RETURN_NONE;
  } else {
    return result_object(locked_streams(self, Op));
  }
}

// A method of one u32 argument (`sid`, or an id to set): `Op(H2State&, value)`
// under the lock, converted likewise.
template <const Signature& Sig, auto Op>
PyObject* u32_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint32_t value = 0;
  if (!parse_arg(Sig, args, nargs, kwnames, arg_u32, &value)) return nullptr;
  auto op = [value](H2State& s) { return Op(s, value); };
  if constexpr (std::is_void_v<decltype(locked_streams(self, op))>) {
    locked_streams(self, op);
    Py_RETURN_NONE;
  } else {
    return result_object(locked_streams(self, op));
  }
}

}  // namespace vantric::py
