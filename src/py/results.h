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
  kUser,
  kLibrary,
  kRemote,
  kClient,
  kServer,
  // HTTP/1 body kinds, in the order of h1::BodyFraming.
  kBodyEmpty,
  kBodyLength,
  kBodyChunked,
  kBodyClose,
  // The HTTP/2 :scheme values handed out as shared strings.
  kSchemeHttp,
  kSchemeHttps,
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

  // Makes room for `n` objects; throws std::bad_alloc.
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }
  // Takes over `obj` (a new reference); false when it is nullptr (the
  // failure that produced it stays set).  Throws std::bad_alloc, releasing
  // `obj`, when the buffer cannot grow.
  bool push(PyObject* obj) {
    if (obj == nullptr) return false;
    if (size_ == capacity_) [[unlikely]]
      grow_for(obj);
    items_[size_++] = obj;
    return true;
  }
  std::size_t size() const { return size_; }

  // A new list of the objects, in order; the buffer is left empty.
  PyObject* take_list();
  // A new list of 2-tuples of consecutive objects; the buffer is left empty.
  PyObject* take_pair_list();

 private:
  // Enough for the fields of a typical header block without a heap block.
  static constexpr std::size_t kInline = 48;

  void grow(std::size_t n);
  void grow_for(PyObject* obj);

  PyObject** items_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  PyObject* inline_[kInline];
};

}  // namespace vantric::py
