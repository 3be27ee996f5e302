// H2Reason: the HTTP/2 error codes of RFC 9113 section 7 as named constants.
//
// The fourteen instances are made once, while the class is built, and are
// its class attributes; H2Reason(code) returns one of them.  They convert to
// int and compare (and hash) like their codes, so an error code read from a
// frame or an exception compares equal to its constant.
#include <Python.h>

#include <array>

#include "core/h2/error.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/h2_frames.h"
#include "py/ref.h"

namespace vantric::py {
namespace {

struct ReasonObject {
  PyObject_HEAD uint32_t code;
};

// Strong references held for the life of the process, like the class.
std::array<PyObject*, h2::kReasonCount> g_reasons{};

uint32_t code_of(PyObject* obj) {
  return reinterpret_cast<ReasonObject*>(obj)->code;
}

bool is_reason(PyObject* obj) {
  return Py_IS_TYPE(obj, h2_reason_type());
}

int h2_reason_class_attributes(PyTypeObject* type, PyObject* dict) {
  for (uint32_t code = 0; code < h2::kReasonCount; ++code) {
    Ref reason = Ref::steal(type->tp_alloc(type, 0));
    if (!reason) return -1;
    reinterpret_cast<ReasonObject*>(reason.get())->code = code;
    const std::string name(h2::reason_name(code));
    if (PyDict_SetItemString(dict, name.c_str(), reason.get()) < 0) return -1;
    PyObject* previous = g_reasons[code];
    g_reasons[code] = reason.release();
    Py_XDECREF(previous);
  }
  return 0;
}

constexpr Param kNewParams[] = {{"code"}};
constexpr Signature kNew{"H2Reason", "H2Reason", CallKind::kConstructor, kNewParams};

PyObject* h2_reason_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!parse_args_tuple(kNew, args, kwargs, a)) return nullptr;
  if (!PyIndex_Check(a[0])) {
    raise_bad_argument_type(kNew, 0, "int", a[0]);
    return nullptr;
  }
  Ref code = Ref::steal(PyNumber_Index(a[0]));
  if (!code) return nullptr;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(code.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  if (overflow == 0 && value >= 0 && value < static_cast<long long>(h2::kReasonCount))
    return Py_NewRef(g_reasons[static_cast<std::size_t>(value)]);
  PyErr_Format(PyExc_ValueError, "%S is not a valid H2Reason", code.get());
  return nullptr;
}

void h2_reason_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* h2_reason_repr(PyObject* obj) {
  const std::string name(h2::reason_name(code_of(obj)));
  return PyUnicode_FromFormat("H2Reason.%s", name.c_str());
}

PyObject* h2_reason_int(PyObject* obj) {
  return PyLong_FromUnsignedLong(code_of(obj));
}

Py_hash_t h2_reason_hash(PyObject* obj) {
  // hash(int) of a small non-negative int is the int itself.
  return static_cast<Py_hash_t>(code_of(obj));
}

// Compares as the code does, with another H2Reason or an int.
PyObject* h2_reason_richcompare(PyObject* a, PyObject* b, int op) {
  Ref left, right;
  for (auto [side, out] : {std::pair{a, &left}, std::pair{b, &right}}) {
    if (is_reason(side)) {
      *out = Ref::steal(PyLong_FromUnsignedLong(code_of(side)));
      if (!*out) return nullptr;
    } else if (PyLong_Check(side)) {
      *out = Ref::from_borrowed(side);
    } else {
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  return PyObject_RichCompare(left.get(), right.get(), op);
}

PyObject* h2_reason_name(PyObject* obj, void*) {
  const std::string_view name = h2::reason_name(code_of(obj));
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* h2_reason_description(PyObject* obj, void*) {
  const std::string_view text = h2::reason_description(code_of(obj));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* h2_reason_value(PyObject* obj, void*) {
  return h2_reason_int(obj);
}

const PropertySpec kProperties[] = {
    {"name", crossing<h2_reason_name>, "The constant's name, such as 'PROTOCOL_ERROR'."},
    {"value", crossing<h2_reason_value>, "The error code."},
    {"description", crossing<h2_reason_description>,
     "What the code means, as H2ProtocolError messages word it."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<h2_reason_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<h2_reason_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<h2_reason_repr>)},
    {Py_tp_hash, reinterpret_cast<void*>(crossing<h2_reason_hash>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(crossing<h2_reason_richcompare>)},
    {Py_nb_int, reinterpret_cast<void*>(crossing<h2_reason_int>)},
    {Py_nb_index, reinterpret_cast<void*>(crossing<h2_reason_int>)},
};

constexpr ClassSpec kSpec{
    .name = "H2Reason",
    .doc =
        "An HTTP/2 error code (RFC 9113 section 7).  The fourteen codes 0 to 13 are\n"
        "class attributes (NO_ERROR, PROTOCOL_ERROR, ... HTTP_1_1_REQUIRED); H2Reason(code)\n"
        "returns one of them and raises ValueError for any other code.",
    .constructor = &kNew,
    .basicsize = sizeof(ReasonObject),
    .properties = kProperties,
    .slots = kSlots,
    .add_class_attributes = h2_reason_class_attributes,
};

}  // namespace

PyTypeObject* h2_reason_type() {
  return ProcessClass<kSpec>::get();
}

}  // namespace vantric::py
