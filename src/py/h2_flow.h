// H2FlowControl, H2ContentLength and H2DataFrameBudget: the host classes over
// the HTTP/2 accounting values of one stream or connection.
#pragma once

#include <Python.h>

namespace vantric::py {

PyTypeObject* h2_flow_control_type();
PyTypeObject* h2_content_length_type();
PyTypeObject* h2_data_frame_budget_type();

}  // namespace vantric::py
