// H2StreamState: the host class over one HTTP/2 stream state.
#pragma once

#include <Python.h>

namespace vantric::py {

PyTypeObject* h2_stream_state_type();

}  // namespace vantric::py
