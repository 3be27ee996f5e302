// Small shared utilities exposed to the host: the module functions
// `http_date` and `uri_parts`, and the class OnceLatch.
#pragma once

#include <Python.h>

#include "py/classes.h"

namespace vantric::py {

extern const MethodSpec kHttpDateFunction;
extern const MethodSpec kUriPartsFunction;

PyTypeObject* once_latch_type();

}  // namespace vantric::py
