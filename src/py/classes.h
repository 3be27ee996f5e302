// Building the module's classes.
//
// A class is described by data (`ClassSpec`) and built once per process into a
// heap type named "vantric._vantric.<name>": immutable (the host cannot set
// attributes on it), with or without a constructor, subclassable or not, with
// no instance dictionary.  Methods carry their text signatures, generated from
// the same `Signature` their parser uses.
#pragma once

#include <Python.h>

#include <array>
#include <span>
#include <string_view>

#include "py/args.h"
#include "py/crossing.h"
#include "py/once.h"

namespace vantric::py {

struct MethodSpec {
  const Signature* sig;  // CallKind::kMethod or CallKind::kStaticMethod
  PyCFunction entry;     // method_entry<impl>()
  std::string_view doc;  // prose after the signature line
};

struct PropertySpec {
  const char* name;
  getter get;  // crossing-wrapped
  const char* doc;
};

struct ClassSpec {
  std::string_view name;
  std::string_view doc;
  // The constructor's signature (its parser runs in tp_new); nullptr when the
  // host cannot instantiate the class.
  const Signature* constructor = nullptr;
  bool subclassable = false;
  bool gc = false;
  Py_ssize_t basicsize = 0;
  std::span<const MethodSpec> methods = {};
  // More families of methods, each kept in a file of its own (a codec's
  // reading and writing halves, a connection's receive and send paths).
  std::array<std::span<const MethodSpec>, 2> more_methods = {};
  std::span<const PropertySpec> properties = {};
  // Special methods (Py_tp_new, Py_tp_dealloc, Py_tp_repr, ...); no terminator.
  std::span<const PyType_Slot> slots = {};
  // Adds class attributes to the type's dictionary before it is exposed; the
  // type is there for attributes that are instances of the class itself.
  int (*add_class_attributes)(PyTypeObject* type, PyObject* dict) = nullptr;
};

// A new reference to the built type, or nullptr with an exception set.
PyTypeObject* build_class(const ClassSpec& spec);

// The process-wide type of `spec`: `ProcessClass<kSpec>::get()` builds it on
// first use and returns the same borrowed type afterwards.
template <const ClassSpec& Spec>
struct ProcessClass {
  static PyTypeObject* get() {
    static ProcessOnce<PyTypeObject> once;
    return once.get([] { return build_class(Spec); });
  }
};

// Text that must live as long as the process (names and docstrings the host
// keeps pointers to).
const char* persistent_text(std::string_view text);

// Built-in function objects for module-level functions: `module` is the
// receiver and its __name__ the function's __module__.
PyObject* new_module_function(const MethodSpec& spec, PyObject* module);

}  // namespace vantric::py
