// The host class H1Codec, and what the connection states use of it: the core
// codec behind the object's mutex.  A state takes its own mutex first, then
// this one, one operation at a time (never the reverse).
#pragma once

#include <Python.h>

#include <span>

#include "core/h1/codec.h"
#include "py/classes.h"
#include "py/lock.h"

namespace vantric::py {

struct H1CodecObject {
  PyObject_HEAD
  HostMutex mutex;
  h1::Codec codec;
};

PyTypeObject* h1_codec_type();

inline bool is_h1_codec(PyObject* obj) {
  return Py_IS_TYPE(obj, h1_codec_type());
}

inline H1CodecObject* as_h1_codec(PyObject* obj) {
  return reinterpret_cast<H1CodecObject*>(obj);
}

// The write side's methods (h1_codec_write.cpp): head serialization and body
// framing.
extern const std::span<const MethodSpec> kH1CodecWriteMethods;

}  // namespace vantric::py
