// Result conversion at the host crossing: byte strings of exact size and the
// process-wide vocabulary strings.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

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
  kCount,
};

// A new reference to the word's string, or nullptr with an exception set.
PyObject* new_word(Word word);

}  // namespace vantric::py
