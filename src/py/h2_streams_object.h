// The layout of an H2Streams instance, shared by the file of its core methods
// (h2_streams.cpp) and the file of its receive methods (h2_streams_recv.cpp).
#pragma once

#include <Python.h>

#include "core/h2/frame_reader.h"
#include "core/h2/streams.h"
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

}  // namespace vantric::py
