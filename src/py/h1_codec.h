// The host class H1Codec, and what the connection states use of it: the core
// codec behind the object's mutex (lock order: README.md).
#pragma once

#include <Python.h>

#include <span>

#include "core/h1/codec.h"
#include "py/classes.h"
#include "py/core_object.h"

namespace vantric::py {

using H1CodecObject = CoreObject<h1::Codec>;

PyTypeObject* h1_codec_type();

inline bool is_h1_codec(PyObject* obj) {
  return Py_IS_TYPE(obj, h1_codec_type());
}

inline H1CodecObject* as_h1_codec(PyObject* obj) {
  return as_object<h1::Codec>(obj);
}

// ValueError "invalid status: invalid status code" for a status outside
// 100..999, checked before a response head is encoded.
bool check_h1_status(uint32_t status);

// The write side's methods (h1_codec_write.cpp): head serialization and body
// framing.
extern const std::span<const MethodSpec> kH1CodecWriteMethods;

}  // namespace vantric::py
