// The host class H1BodyDecoder, and what the other HTTP/1 host classes use of
// it: the codec moves the bytes that arrived with a head into a decoder, and
// the server state builds decoders and moves their bytes past the body back.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/byte_buffer.h"
#include "core/h1/body_decoder.h"

namespace vantric::py {

PyTypeObject* h1_body_decoder_type();

inline bool is_h1_body_decoder(PyObject* obj) {
  return Py_IS_TYPE(obj, h1_body_decoder_type());
}

// Appends `bytes` to the input of `decoder` (an H1BodyDecoder) under the
// decoder's own lock; when that input is empty the storage is taken over
// without copying.  Call it with no other module lock held except a state
// lock that ranks before the decoder's.  Throws std::bad_alloc.
void h1_body_decoder_append(PyObject* decoder, ByteBuffer&& bytes);

// A new H1BodyDecoder taking over `core`; nullptr with an exception set.  It
// creates no object that could start a garbage collection, so a state may
// call it under its own lock.
PyObject* h1_body_decoder_new(h1::BodyDecoder&& core);

// The bytes `decoder` holds unconsumed (past its body once it is complete),
// moved out under its lock.  Throws std::bad_alloc.
ByteBuffer h1_body_decoder_take_buffered(PyObject* decoder);

// Whether `decoder` completed its body, read under its lock.
bool h1_body_decoder_is_complete(PyObject* decoder);

}  // namespace vantric::py
