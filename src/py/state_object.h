// Host objects whose core state holds host references (the connection
// states): the object layout, garbage-collector support, release of
// references after unlocking, and the method shapes the states share.
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

#include "py/args.h"
#include "py/lock.h"
#include "py/ref.h"

namespace vantric::py {

// The host object of a connection state: the core state behind one mutex.
template <class State>
struct StateObject {
  PyObject_HEAD
  HostMutex mutex;
  State state;
};

// Runs `op(State&)` under the object's lock and returns its result.
template <class State, class Op>
auto locked(PyObject* obj, Op&& op) {
  auto* self = reinterpret_cast<StateObject<State>*>(obj);
  HostLock lock(self->mutex);
  return op(self->state);
}

// The host object a Ref holds, or None; a new reference (steals the Ref).
inline PyObject* object_or_none(Ref&& ref) {
  if (!ref) Py_RETURN_NONE;
  return ref.release();
}

// An argument that may be None or not passed, as a Ref that is empty then.
inline Ref optional_ref(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return {};
  return Ref::from_borrowed(obj);
}

// A 2-tuple of the two objects, None for an empty one.
inline PyObject* pack_pair(Ref&& a, Ref&& b) {
  Ref first = Ref::steal(object_or_none(std::move(a)));
  Ref second = Ref::steal(object_or_none(std::move(b)));
  return PyTuple_Pack(2, first.get(), second.get());
}

namespace detail {
template <class F>
struct OpState;
template <class R, class S>
struct OpState<R (*)(S&)> {
  using type = S;
};
}  // namespace detail

// Methods without arguments over one core transition `Op(State&)`, whose
// result is one host object or None, a bool, or nothing.
template <const Signature& Sig, auto Op>
PyObject* state_object_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using State = typename detail::OpState<decltype(Op)>::type;
  if (!parse_args(Sig, args, nargs, kwnames, nullptr)) return nullptr;
  Ref out = locked<State>(self, Op);
  return object_or_none(std::move(out));
}

template <const Signature& Sig, auto Op>
PyObject* state_bool_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using State = typename detail::OpState<decltype(Op)>::type;
  if (!parse_args(Sig, args, nargs, kwnames, nullptr)) return nullptr;
  return PyBool_FromLong(locked<State>(self, Op));
}

template <const Signature& Sig, auto Op>
PyObject* state_void_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using State = typename detail::OpState<decltype(Op)>::type;
  if (!parse_args(Sig, args, nargs, kwnames, nullptr)) return nullptr;
  locked<State>(self, Op);
  Py_RETURN_NONE;
}

// A read-only bool property over a const observer of the state.
template <class State, bool (State::*Field)() const>
PyObject* state_bool_property(PyObject* self, void*) {
  return PyBool_FromLong(locked<State>(self, [](State& s) { return (s.*Field)(); }));
}

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
