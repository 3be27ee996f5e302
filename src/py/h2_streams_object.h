// The layout of an H2Streams instance, shared by the files of its core methods
// (h2_streams.cpp), its receive methods (h2_streams_recv.cpp) and its send
// methods (h2_streams_send.cpp), with the helpers of their method bodies.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"
#include "py/args.h"
#include "py/core_object.h"
#include "py/errors.h"
#include "py/lock.h"
#include "py/ref.h"

namespace vantric::py {

using H2State = h2::Streams<Ref>;

// The connection's frame reader behind a lock of its own, so that frames are
// decoded without holding the state lock; its lock is taken alone or inside
// the state lock, never around it.
struct FrameDecoding {
  HostMutex mutex;
  h2::FrameReader reader;
};

using H2StreamsObject = CoreObject<H2State, FrameDecoding>;

template <>
struct ObjectOf<H2State> {
  using type = H2StreamsObject;
};

inline H2StreamsObject* as_streams(PyObject* obj) {
  return as_object<H2State>(obj);
}

// Runs `op(H2State&, dropped)` under the state mutex; the handles the table
// drops into `dropped` are released after unlocking.
template <class Op>
auto dropping(PyObject* self, Op&& op) {
  std::vector<Ref> dropped;
  return locked<H2State>(self, [&](H2State& s) { return op(s, dropped); });
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

}  // namespace vantric::py
