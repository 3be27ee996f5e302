// Result conversion at the host crossing: byte strings of exact size and the
// process-wide vocabulary strings.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vantric::py {

// A fresh bytes object holding `data`.  OverflowError "bytes size does not fit
// Py_ssize_t" when the size exceeds the host's largest object size.
PyObject* new_bytes(std::string_view data);
// A fresh bytes object of `size` octets to be filled through *buffer.
PyObject* new_bytes_uninitialized(std::size_t size, char** buffer);

// Fails with OverflowError when `size` does not fit Py_ssize_t.
bool check_bytes_size(std::size_t size);

// Strings of a small fixed vocabulary that results return often.  Each is
// created once per process and the same object is returned every time.
enum class Word : uint8_t {
  User,
  Library,
  Remote,
  Client,
  Server,
  // HTTP/1 body kinds, in the order of h1::BodyKind.
  BodyEmpty,
  BodyLength,
  BodyChunked,
  BodyClose,
  // The HTTP/2 :scheme values handed out as shared strings.
  SchemeHttp,
  SchemeHttps,
  kCount,
};

// A new reference to the word's string, or nullptr with an exception set.
PyObject* new_word(Word word);

// Owned host objects collected while an object lock is held, assembled into a
// list after it is released (allocating a list or tuple may start a garbage
// collection, which must never run under a module lock).  Whatever is not
// handed out is released by the destructor, so declare the buffer before the
// lock guard.
class ObjectBuffer {
 public:
  ObjectBuffer() = default;
  ObjectBuffer(const ObjectBuffer&) = delete;
  ObjectBuffer& operator=(const ObjectBuffer&) = delete;
  ~ObjectBuffer();

  void reserve(std::size_t n) { items_.reserve(n); }
  // Takes over `obj` (a new reference); false when it is nullptr (the
  // failure that produced it stays set).
  bool push(PyObject* obj) {
    if (obj == nullptr) return false;
    items_.push_back(obj);
    return true;
  }
  std::size_t size() const { return items_.size(); }

  // A new list of the objects, in order; the buffer is left empty.
  PyObject* take_list();
  // A new list of 2-tuples of consecutive objects; the buffer is left empty.
  PyObject* take_pair_list();

 private:
  std::vector<PyObject*> items_;
};

}  // namespace vantric::py
