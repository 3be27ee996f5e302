// The host class H1Codec, and what the connection states use of it: the core
// codec behind the object's mutex (lock order: README.md).
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

#include "core/h1/codec.h"
#include "core/h1/error.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/header_map.h"

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

// `head` (serialized by `codec`, whose encoder is in flight), `body` framed by
// that encoder and the message's end with `trailers` (none when its map is
// nullptr), as one new bytes object of the exact size, taking the encoder
// out.  When nothing follows the head, `head_object` (the head as a bytes
// object, or nullptr) is returned instead of a copy.  nullptr with `error`
// set for the caller to raise (after its locks), or with a Python exception
// set.  The caller holds the codec's lock; a trailer section is built in the
// codec's write buffer, so `head` must not point into it when trailers are
// given.
PyObject* h1_whole_message(h1::Codec& codec, std::string_view head, PyObject* head_object,
                           std::string_view body, const HeadersArg& trailers,
                           std::optional<h1::Error>& error);

// The write side's methods (h1_codec_write.cpp): head serialization and body
// framing.
extern const std::span<const MethodSpec> kH1CodecWriteMethods;

}  // namespace vantric::py
