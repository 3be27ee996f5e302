// Record objects (events, verdicts): getters of read-only properties over
// their fields, one per field type, and the frozen, garbage-collected class
// of a record whose object fields may hold any host object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "py/classes.h"
#include "py/crossing.h"

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

// ---- record classes over the object fields `Fields` of T ----------------------

// A handle may be any host object, so a record can be part of a cycle.
template <class T, PyObject* T::*... Fields>
int record_traverse(PyObject* obj, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(obj));
  for (PyObject* field : {(reinterpret_cast<T*>(obj)->*Fields)...}) Py_VISIT(field);
  return 0;
}

template <class T, PyObject* T::*... Fields>
int record_clear(PyObject* obj) {
  auto clear = [](PyObject*& field) { Py_CLEAR(field); };
  (clear(reinterpret_cast<T*>(obj)->*Fields), ...);
  return 0;
}

template <class T, PyObject* T::*... Fields>
void gc_record_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  record_clear<T, Fields...>(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

template <class T, PyObject* (*Repr)(PyObject*), PyObject* T::*... Fields>
const PyType_Slot kRecordSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<gc_record_dealloc<T, Fields...>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(record_traverse<T, Fields...>)},
    {Py_tp_clear, reinterpret_cast<void*>(crossing<record_clear<T, Fields...>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<Repr>)},
};

// A frozen, garbage-collected record class over records of type T.
template <class T, PyObject* (*Repr)(PyObject*), PyObject* T::*... Fields>
constexpr ClassSpec record_spec(std::string_view name, std::string_view doc,
                                std::span<const PropertySpec> properties) {
  return ClassSpec{.name = name,
                   .doc = doc,
                   .gc = true,
                   .basicsize = sizeof(T),
                   .properties = properties,
                   .slots = kRecordSlots<T, Repr, Fields...>};
}

// A new record of `type` (its fields zeroed), or nullptr with an exception set.
template <class T>
T* alloc_record(PyTypeObject* type) {
  if (type == nullptr) return nullptr;
  return reinterpret_cast<T*>(type->tp_alloc(type, 0));
}

}  // namespace vantric::py
