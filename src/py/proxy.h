// The host classes ProxyMatcher and ProxyIntercept.
#pragma once

#include <Python.h>

namespace vantric::py {

PyTypeObject* proxy_matcher_type();
PyTypeObject* proxy_intercept_type();

}  // namespace vantric::py
