// The layout of every host object that wraps a core object behind a lock, and
// the slot functions that layout shares: construction, deallocation, and for
// cores that hold host references, garbage-collector traversal and clearing.
// The lock discipline these objects follow is described once in README.md.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "py/lock.h"
#include "py/ref.h"

namespace vantric::py {

// `core` behind `mutex`.  `extra` holds what the binding keeps beside the core
// (the value objects a HeaderMap handed out, a borrowed input buffer, a second
// lock with the object it guards); it is empty for most classes.
template <class Core, class Extra = std::monostate>
struct CoreObject {
  PyObject_HEAD HostMutex mutex;
  Core core;
  [[no_unique_address]] Extra extra;
};

// The host object type whose core is `Core`: CoreObject<Core> unless a class
// with an `extra` part specializes this next to its layout.
template <class Core>
struct ObjectOf {
  using type = CoreObject<Core>;
};
template <class Core>
using ObjectFor = typename ObjectOf<Core>::type;

template <class Core>
ObjectFor<Core>* as_object(PyObject* obj) {
  return reinterpret_cast<ObjectFor<Core>*>(obj);
}

// A core that keeps host objects exposes them for the collector:
// for_each_object(visit) visits each `Ref` it holds, take_all(sink) moves each
// one out.  Only such cores make garbage-collected classes: their ClassSpec
// sets `.gc = HoldsHostObjects<Core>` with the traverse and clear slots below.
template <class Core>
concept HoldsHostObjects = requires(Core& core) {
  core.for_each_object([](const Ref&) {});
  core.take_all([](Ref&&) {});
};

// The tp_new body once the constructor's arguments are converted: the core
// built from `args`, the extra part default-constructed.
template <class Object, class... A>
PyObject* new_object(PyTypeObject* type, A&&... args) {
  auto* self = reinterpret_cast<Object*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->mutex) HostMutex();
  new (&self->core) decltype(self->core)(std::forward<A>(args)...);
  new (&self->extra) decltype(self->extra)();
  return reinterpret_cast<PyObject*>(self);
}

template <class Core, class... A>
PyObject* new_core_object(PyTypeObject* type, A&&... args) {
  return new_object<ObjectFor<Core>>(type, std::forward<A>(args)...);
}

// Destroys the parts of an object that no other thread can reach any more,
// then frees it.  The host references a core holds are moved out first and
// released before the core is destroyed.
template <class Object>
void destroy_object(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<Object*>(obj);
  using Core = decltype(self->core);
  if constexpr (HoldsHostObjects<Core>) {
    PyObject_GC_UnTrack(obj);
    Released released;
    self->core.take_all(released.sink());
  }
  std::destroy_at(&self->extra);
  std::destroy_at(&self->core);
  std::destroy_at(&self->mutex);
  type->tp_free(obj);
  Py_DECREF(type);
}

template <class Core>
void core_object_dealloc(PyObject* obj) {
  destroy_object<ObjectFor<Core>>(obj);
}

// Runs `op(Core&)` under the object's lock.  The result is initialized before
// the lock guard is destroyed, so the caller holds a copy taken under the lock.
template <class Core, class Op>
auto locked(PyObject* obj, Op&& op) {
  auto* self = as_object<Core>(obj);
  HostLock lock(self->mutex);
  return std::forward<Op>(op)(self->core);
}

// tp_traverse of a core that holds host objects.  Traversal only try-locks:
// while another thread holds the lock it visits nothing, and the collector
// treats the object as reachable from outside for this round.
template <HoldsHostObjects Core>
int core_object_traverse(PyObject* obj, visitproc visit, void* arg) {
  // Instances of a heap type keep their type alive.
  Py_VISIT(Py_TYPE(obj));
  auto* self = as_object<Core>(obj);
  if (!self->mutex.try_lock()) return 0;
  int result = 0;
  self->core.for_each_object([&](const Ref& ref) {
    if (result == 0 && ref) result = visit(ref.get(), arg);
  });
  self->mutex.unlock();
  return result;
}

// tp_clear of a core that holds host objects: every reference is moved out
// under the lock and released after it.
template <HoldsHostObjects Core>
int core_object_clear(PyObject* obj) {
  auto* self = as_object<Core>(obj);
  Released released;
  HostLock lock(self->mutex);
  self->core.take_all(released.sink());
  return 0;
}

}  // namespace vantric::py
