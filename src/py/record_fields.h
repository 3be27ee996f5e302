// Record objects (events, verdicts, parsed heads): the getter of a read-only
// property over a field, deallocation, and the frozen, garbage-collected
// class of a record whose object fields may hold any host object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "py/classes.h"
#include "py/crossing.h"

namespace vantric::py {

// The host object of a record field: an int, a bool, or the stored object
// (None for nullptr or an empty optional).
inline PyObject* field_object(uint16_t value) {
  return PyLong_FromLong(value);
}
inline PyObject* field_object(uint32_t value) {
  return PyLong_FromUnsignedLong(value);
}
inline PyObject* field_object(bool value) {
  return PyBool_FromLong(value);
}
inline PyObject* field_object(PyObject* value) {
  return Py_NewRef(value != nullptr ? value : Py_None);
}
inline PyObject* field_object(const std::optional<uint32_t>& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*value);
}
inline PyObject* field_object(const std::optional<bool>& value) {
  if (!value) Py_RETURN_NONE;
  return PyBool_FromLong(*value);
}

namespace detail {
template <class M>
struct MemberOf;
template <class T, class F>
struct MemberOf<F T::*> {
  using type = T;
};
}  // namespace detail

// The getter of the read-only property over a field of a record: `Path` is
// the field's member pointer, or the pointers to a member and to a field
// within it.
template <auto First, auto... Rest>
PyObject* record_field(PyObject* self, void*) {
  using T = typename detail::MemberOf<decltype(First)>::type;
  const auto& field = reinterpret_cast<T*>(self)->*First;
  return field_object((field.*....*Rest));
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
int record_clear([[maybe_unused]] PyObject* obj) {
  [[maybe_unused]] auto clear = [](PyObject*& field) { Py_CLEAR(field); };
  (clear(reinterpret_cast<T*>(obj)->*Fields), ...);
  return 0;
}

// tp_dealloc of a record: releases the object fields `Fields`.
template <class T, PyObject* T::*... Fields>
void record_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (PyType_IS_GC(type)) PyObject_GC_UnTrack(obj);
  record_clear<T, Fields...>(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

template <class T, PyObject* (*Repr)(PyObject*), PyObject* T::*... Fields>
const PyType_Slot kRecordSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<record_dealloc<T, Fields...>>)},
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
