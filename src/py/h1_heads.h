// The parsed HTTP/1 heads as host objects: H1RequestHead and H1ResponseHead,
// immutable records the host cannot construct.
#pragma once

#include <Python.h>

#include "core/h1/head_parser.h"
#include "core/http/header_map.h"

namespace vantric::py {

PyTypeObject* h1_request_head_type();
PyTypeObject* h1_response_head_type();

// An empty HeaderMap object for a parse to fill in place (its map is not yet
// shared, so no lock is needed): parse into header_map_of(map), then hand the
// object to new_*_head.  nullptr with an exception set.
PyObject* new_head_fields();
http::HeaderMap& header_map_of(PyObject* map);

// A new head object taking over `head` and `headers` (a new reference to the
// HeaderMap filled by the parse, released on failure): the method and target
// strings are built here, once.  nullptr with an exception set.  Creates no
// object that could start a garbage collection.
PyObject* new_request_head(h1::RequestHead&& head, PyObject* headers);
PyObject* new_response_head(h1::ResponseHead&& head, PyObject* headers);

}  // namespace vantric::py
