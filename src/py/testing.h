// Test hooks: in builds configured with VANTRIC_TEST_HOOKS, the module carries
// a `_testing` namespace (not in __all__) whose functions drive the crossing
// machinery directly: raising every core error value, the argument parser and
// conversions, and internal faults.  Other builds add nothing.
#pragma once

#include <Python.h>

namespace vantric::py {

// Adds the `_testing` attribute in test builds; returns 0, or -1 on failure.
int add_test_hooks(PyObject* module);

}  // namespace vantric::py
