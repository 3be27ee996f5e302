// The host class H2Codec: a stand-alone HTTP/2 frame codec (a frame reader,
// an HPACK encoder and the send frame size) behind one mutex.
#pragma once

#include <Python.h>

namespace vantric::py {

PyTypeObject* h2_codec_type();

}  // namespace vantric::py
