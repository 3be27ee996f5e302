// The host class H1ClientState: the state of one HTTP/1 client connection.
#pragma once

#include <Python.h>

namespace vantric::py {

PyTypeObject* h1_client_state_type();

}  // namespace vantric::py
