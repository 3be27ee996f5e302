// Entry points from the host.
//
// Every function the host calls is wrapped by `crossing<impl>`, which catches
// any C++ exception so that none ever reaches the interpreter: an allocation
// failure becomes MemoryError, anything else (an invariant failure) becomes the
// internal-fault exception.  Functions returning void (deallocation) have
// nobody to raise to, so the failure goes to the unraisable-exception hook.
#pragma once

#include <Python.h>

#include <type_traits>

#include "py/errors.h"

namespace vantric::py {

template <typename R>
constexpr R crossing_failure() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

template <auto F>
struct Crossing;

template <typename R, typename... A, R (*F)(A...)>
struct Crossing<F> {
  static R call(A... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      translate_current_exception();
      if constexpr (std::is_void_v<R>) {
        PyErr_WriteUnraisable(nullptr);
      } else {
        return crossing_failure<R>();
      }
    }
  }
};

template <auto F>
inline constexpr auto crossing = &Crossing<F>::call;

// The fast-call method shape every method and function uses.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// `crossing<F>` cast to the generic method pointer the host's tables hold.
template <auto F>
inline PyCFunction method_entry() {
  FastMethod fn = crossing<F>;
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace vantric::py
