// Read-only properties over the fields of a record object (events, verdicts):
// getters for PropertySpec tables, one per field type.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vantric::py {

template <class T, uint32_t T::*Field>
PyObject* get_u32(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reinterpret_cast<T*>(self)->*Field);
}

template <class T, bool T::*Field>
PyObject* get_bool(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<T*>(self)->*Field);
}

// The stored object, or None for nullptr.
template <class T, PyObject* T::*Field>
PyObject* get_object(PyObject* self, void*) {
  PyObject* value = reinterpret_cast<T*>(self)->*Field;
  return Py_NewRef(value != nullptr ? value : Py_None);
}

}  // namespace vantric::py
