#include "py/classes.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "py/ref.h"

namespace vantric::py {
namespace {

constexpr std::string_view kModulePath = "vantric._vantric.";

// PyMethodDef for `spec`, with its docstring generated from the signature.
PyMethodDef method_def(const MethodSpec& spec) {
  PyMethodDef def{};
  def.ml_name = persistent_text(spec.sig->name);
  def.ml_meth = spec.entry;
  def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  if (spec.sig->kind == CallKind::kStaticMethod) def.ml_flags |= METH_STATIC;
  def.ml_doc = persistent_text(signature_docstring(*spec.sig, spec.doc));
  return def;
}

// Arrays the type keeps pointers to; like the type itself they live as long as
// the process.
template <typename T>
T* persistent_array(const std::vector<T>& items) {
  T* out = new T[items.size() + 1]();
  for (std::size_t i = 0; i < items.size(); ++i) out[i] = items[i];
  return out;
}

}  // namespace

const char* persistent_text(std::string_view text) {
  static std::mutex mutex;
  static auto* arena = new std::deque<std::string>();
  std::lock_guard<std::mutex> lock(mutex);
  return arena->emplace_back(text).c_str();
}

PyTypeObject* build_class(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots(spec.slots.begin(), spec.slots.end());

  std::string doc =
      spec.constructor != nullptr ? signature_docstring(*spec.constructor, spec.doc) : std::string(spec.doc);
  slots.push_back({Py_tp_doc, const_cast<char*>(persistent_text(doc))});

  if (!spec.methods.empty() || !spec.more_methods[0].empty() || !spec.more_methods[1].empty()) {
    std::vector<PyMethodDef> defs;
    for (const MethodSpec& m : spec.methods) defs.push_back(method_def(m));
    for (std::span<const MethodSpec> family : spec.more_methods)
      for (const MethodSpec& m : family) defs.push_back(method_def(m));
    slots.push_back({Py_tp_methods, persistent_array(defs)});
  }
  if (!spec.properties.empty()) {
    std::vector<PyGetSetDef> defs;
    for (const PropertySpec& p : spec.properties)
      defs.push_back(PyGetSetDef{p.name, p.get, nullptr, p.doc, nullptr});
    slots.push_back({Py_tp_getset, persistent_array(defs)});
  }
  slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (spec.subclassable) flags |= Py_TPFLAGS_BASETYPE;
  if (spec.gc) flags |= Py_TPFLAGS_HAVE_GC;
  if (spec.constructor == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;

  std::string name(kModulePath);
  name += spec.name;
  PyType_Spec type_spec{persistent_text(name), static_cast<int>(spec.basicsize), 0, flags, slots.data()};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&type_spec, nullptr));
  if (type == nullptr) return nullptr;
  if (spec.add_class_attributes != nullptr) {
    if (spec.add_class_attributes(type, type->tp_dict) < 0) {
      Py_DECREF(type);
      return nullptr;
    }
    PyType_Modified(type);
  }
  return type;
}

PyObject* new_module_function(const MethodSpec& spec, PyObject* module) {
  static std::mutex mutex;
  // One definition per method description for the life of the process: function objects
  // keep a pointer to it, and a second import reuses it.
  static auto* defs = new std::deque<std::pair<const MethodSpec*, PyMethodDef>>();
  PyMethodDef* def = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [owner, existing] : *defs)
      if (owner == &spec) def = &existing;
    if (def == nullptr) def = &defs->emplace_back(&spec, method_def(spec)).second;
  }
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(def, module, name.get());
}

}  // namespace vantric::py
