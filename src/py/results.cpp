#include "py/results.h"

#include <array>
#include <cstring>

#include "py/once.h"

namespace vantric::py {
namespace {

constexpr std::size_t kWordCount = static_cast<std::size_t>(Word::kCount);

constexpr std::array<const char*, kWordCount> kWordTexts = {
    "user", "library", "remote", "client", "server", "empty", "length", "chunked", "close", "http", "https",
};

struct WordTable {
  std::array<PyObject*, kWordCount> strings{};
};

ProcessOnce<WordTable> g_words;

WordTable* make_words() {
  auto* table = new WordTable();
  for (std::size_t i = 0; i < kWordCount; ++i) {
    table->strings[i] = PyUnicode_InternFromString(kWordTexts[i]);
    if (table->strings[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(table->strings[j]);
      delete table;
      return nullptr;
    }
  }
  return table;
}

}  // namespace

bool check_bytes_size(std::size_t size) {
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) [[unlikely]] {
    PyErr_SetString(PyExc_OverflowError, "bytes size does not fit Py_ssize_t");
    return false;
  }
  return true;
}

PyObject* new_bytes(std::string_view data) {
  if (!check_bytes_size(data.size())) return nullptr;
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* new_bytes_uninitialized(std::size_t size, char** buffer) {
  if (!check_bytes_size(size)) return nullptr;
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes != nullptr) *buffer = PyBytes_AS_STRING(bytes);
  return bytes;
}

PyObject* new_word(Word word) {
  WordTable* table = g_words.get(make_words);
  if (table == nullptr) return nullptr;
  PyObject* s = table->strings[static_cast<std::size_t>(word)];
  Py_INCREF(s);
  return s;
}

ObjectBuffer::~ObjectBuffer() {
  for (std::size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
  if (items_ != inline_) delete[] items_;
}

void ObjectBuffer::grow(std::size_t n) {
  std::size_t capacity = capacity_ * 2 > n ? capacity_ * 2 : n;
  auto* grown = new PyObject*[capacity];
  std::memcpy(static_cast<void*>(grown), items_, size_ * sizeof(PyObject*));
  if (items_ != inline_) delete[] items_;
  items_ = grown;
  capacity_ = capacity;
}

void ObjectBuffer::grow_for(PyObject* obj) {
  try {
    grow(size_ + 1);
  } catch (...) {
    // A new reference with nowhere to go.  What is collected under a lock is
    // bytes, str or int, the only objects made there, whose release runs no
    // host code.
    Py_DECREF(obj);
    throw;
  }
}

PyObject* ObjectBuffer::take_list() {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size_));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < size_; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[i]);
  size_ = 0;
  return list;
}

PyObject* ObjectBuffer::take_pair_list() {
  const std::size_t pairs = size_ / 2;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(pairs));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < pairs; ++i) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
      // Items already moved into the list go with it; release the rest.
      for (std::size_t j = 2 * i; j < size_; ++j) Py_DECREF(items_[j]);
      size_ = 0;
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, items_[2 * i]);
    PyTuple_SET_ITEM(pair, 1, items_[2 * i + 1]);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
  }
  size_ = 0;
  return list;
}

}  // namespace vantric::py
