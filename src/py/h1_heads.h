// The parsed HTTP/1 heads as host objects: H1RequestHead and H1ResponseHead,
// immutable records the host cannot construct.
#pragma once

#include <Python.h>

#include "core/h1/head_parser.h"

namespace vantric::py {

PyTypeObject* h1_request_head_type();
PyTypeObject* h1_response_head_type();

// A new head object taking over `head`: the method and target strings and the
// HeaderMap are built here, once.  nullptr with an exception set.  Creates no
// object that could start a garbage collection.
PyObject* new_request_head(h1::RequestHead&& head);
PyObject* new_response_head(h1::ResponseHead&& head);

}  // namespace vantric::py
