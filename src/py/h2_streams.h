// H2Streams, the host class over the state of one HTTP/2 connection; its
// write batch H2WriteBatch (not registered: the host meets it only through
// take_pending()); and the stop record H2Stopped.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "py/classes.h"

namespace vantric::py {

PyTypeObject* h2_streams_type();
PyTypeObject* h2_stopped_type();
PyTypeObject* h2_recv_headers_verdict_type();
PyTypeObject* h2_recv_data_verdict_type();
PyTypeObject* h2_send_verdict_type();
PyTypeObject* h2_reset_verdict_type();

// The receive methods of H2Streams (h2_streams_recv.cpp) and its send
// methods (h2_streams_send.cpp).
extern const std::span<const MethodSpec> kH2StreamsRecvMethods;
extern const std::span<const MethodSpec> kH2StreamsSendMethods;

// A new H2Stopped: `reason` is the HTTP/2 error code (nullopt for a clean end
// or a local cancel), `conn` says the connection ended the stream.
PyObject* new_h2_stopped(std::optional<uint32_t> reason, bool conn);

// The `_testing` functions that reach into an H2Streams (test builds only;
// empty otherwise).
std::span<const MethodSpec> h2_streams_test_hooks();

}  // namespace vantric::py
