// Host objects whose core state holds host references (the connection
// states): garbage-collector support and release of references after
// unlocking.
//
// The core state exposes for_each_object(visit) and take_all(sink) over its
// `Ref` fields.  Traversal only try-locks: when another thread holds the lock
// it visits nothing (the collector treats the object as externally reachable
// for this round).  Clearing moves every reference out under the lock and
// releases them after it.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "py/lock.h"
#include "py/ref.h"

namespace vantric::py {

// References leaving a state under its lock; declare one before the lock
// guard so they are released after it.
class Released {
 public:
  void add(Ref&& ref) {
    if (ref) refs_.push_back(std::move(ref));
  }
  // A sink for take_all().
  auto sink() {
    return [this](Ref&& ref) { add(std::move(ref)); };
  }

 private:
  std::vector<Ref> refs_;
};

template <class Self>
int state_traverse(PyObject* obj, visitproc visit, void* arg) {
  // Instances of a heap type keep their type alive.
  Py_VISIT(Py_TYPE(obj));
  auto* self = reinterpret_cast<Self*>(obj);
  if (!self->mutex.try_lock()) return 0;
  int result = 0;
  self->state.for_each_object([&](const Ref& ref) {
    if (result == 0 && ref) result = visit(ref.get(), arg);
  });
  self->mutex.unlock();
  return result;
}

template <class Self>
int state_clear(PyObject* obj) {
  auto* self = reinterpret_cast<Self*>(obj);
  Released released;
  HostLock lock(self->mutex);
  self->state.take_all(released.sink());
  return 0;
}

}  // namespace vantric::py
