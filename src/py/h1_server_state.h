// The host class H1ServerState: the state of one HTTP/1 server connection and
// of its current request.
#pragma once

#include <Python.h>

namespace vantric::py {

PyTypeObject* h1_server_state_type();

}  // namespace vantric::py
