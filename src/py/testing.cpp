#include "py/testing.h"

#ifdef VANTRIC_TEST_HOOKS

#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/invariant.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/h2_streams.h"
#include "py/lock.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

std::optional<IoKind> io_kind_by_name(std::string_view name) {
  for (std::size_t i = 0; i < kIoKindCount; ++i)
    if (io_kind_name(static_cast<IoKind>(i)) == name) return static_cast<IoKind>(i);
  return std::nullopt;
}

// raise_h1(kind, sub_kind, causes): causes lists the cause chain from the
// record's direct cause outwards as (text, io_kind_name or None) pairs.
constexpr Param kRaiseH1Params[] = {{"kind"}, {"sub_kind"}, {"causes", "None"}};
constexpr Signature kRaiseH1{"raise_h1", "raise_h1", CallKind::kFunction, kRaiseH1Params};

PyObject* raise_h1_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!parse_args(kRaiseH1, args, nargs, kwnames, a)) return nullptr;
  uint16_t kind = 0, sub = 0;
  if (!arg_u16(a[0], kRaiseH1, 0, &kind) || !arg_u16(a[1], kRaiseH1, 1, &sub)) return nullptr;
  if (kind >= h1::kErrorKindCount) {
    PyErr_SetString(PyExc_ValueError, "kind out of range");
    return nullptr;
  }
  h1::Error error = h1::Error::of(static_cast<h1::ErrorKind>(kind));
  error.sub_kind = static_cast<uint8_t>(sub);
  if (a[2] != nullptr && a[2] != Py_None) {
    Ref seq = Ref::steal(PySequence_Fast(a[2], "causes must be a sequence"));
    if (!seq) return nullptr;
    std::unique_ptr<ErrorCause>* link = &error.cause;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      const char* text = nullptr;
      PyObject* io = nullptr;
      if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "sO", &text, &io)) return nullptr;
      auto cause = ErrorCause::plain(text);
      if (io != Py_None) {
        const char* name = PyUnicode_AsUTF8(io);
        if (name == nullptr) return nullptr;
        auto found = io_kind_by_name(name);
        if (!found) {
          PyErr_SetString(PyExc_ValueError, "unknown I/O kind");
          return nullptr;
        }
        cause->io_kind = *found;
      }
      *link = std::move(cause);
      link = &(*link)->source;
    }
  }
  raise(error);
  return nullptr;
}

// raise_h2(variant, a=0, b=0, c=0, text=None): variant selects the error value:
// "reset"(stream, reason, initiator), "goaway"(reason), "io"(io kind name in
// text, message in c... see below), "user"(kind index, message), "protocol"
// (reason or None, message), "flow", "library_reset"(stream, reason),
// "closed"(message).
constexpr Param kRaiseH2Params[] = {{"variant"}, {"a", "None"}, {"b", "0"}, {"c", "0"}, {"text", "None"}};
constexpr Signature kRaiseH2{"raise_h2", "raise_h2", CallKind::kFunction, kRaiseH2Params};

PyObject* raise_h2_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!parse_args(kRaiseH2, args, nargs, kwnames, a)) return nullptr;
  std::string_view variant;
  if (!arg_str(a[0], kRaiseH2, 0, &variant)) return nullptr;
  std::optional<uint32_t> first;
  uint32_t second = 0, third = 0;
  if (!arg_optional_u32(a[1], kRaiseH2, 1, &first)) return nullptr;
  if (a[2] != nullptr && !arg_u32(a[2], kRaiseH2, 2, &second)) return nullptr;
  if (a[3] != nullptr && !arg_u32(a[3], kRaiseH2, 3, &third)) return nullptr;
  std::optional<std::string> text;
  if (a[4] != nullptr && a[4] != Py_None) {
    std::string_view t;
    if (!arg_str(a[4], kRaiseH2, 4, &t)) return nullptr;
    text = std::string(t);
  }
  const uint32_t a1 = first.value_or(0);
  if (variant == "reset") {
    raise(h2::Error(h2::ConnError::reset(a1, second, static_cast<h2::Initiator>(third % 3))));
  } else if (variant == "goaway") {
    raise(h2::Error(h2::ConnError::go_away(text.value_or(""), a1, h2::Initiator::kRemote)));
  } else if (variant == "io") {
    raise(h2::Error(h2::ConnError::io(static_cast<IoKind>(a1 % kIoKindCount), text)));
  } else if (variant == "user") {
    raise(h2::user_error(static_cast<h2::UserErrorKind>(a1 % h2::kUserErrorKindCount), text.value_or("")));
  } else if (variant == "protocol") {
    raise(h2::Error(h2::ProtocolError{first, text.value_or("")}));
  } else if (variant == "flow") {
    raise(h2::Error(h2::FlowControlError{}));
  } else if (variant == "library_reset") {
    raise_library_stream_error(a1, second);
  } else if (variant == "closed") {
    raise(h2::Error(h2::TransportError{text.value_or("")}));
  } else {
    PyErr_SetString(PyExc_ValueError, "unknown variant");
  }
  return nullptr;
}

// bind(a, b=None, *, c, d=0): the parser on a signature with every kind of
// parameter; returns the bound (a, b, c, d) with the defaults filled in.
constexpr Param kBindParams[] = {{"a"}, {"b", "None"}, {"c"}, {"d", "0"}};
constexpr Signature kBind{"bind", "bind", CallKind::kFunction, kBindParams, 2};

template <const Signature& Sig>
PyObject* bind_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!parse_args(Sig, args, nargs, kwnames, a)) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  return PyTuple_Pack(4, a[0], a[1] != nullptr ? a[1] : Py_None, a[2], a[3] != nullptr ? a[3] : zero.get());
}

// convert(kind, value): one conversion by name ("u16", "u32", "u64", "bool",
// "str", "bytes") returning the converted value.
constexpr Param kConvertParams[] = {{"kind"}, {"value"}};
constexpr Signature kConvert{"convert", "convert", CallKind::kFunction, kConvertParams};

PyObject* convert_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kConvert, args, nargs, kwnames, a)) return nullptr;
  std::string_view kind;
  if (!arg_str(a[0], kConvert, 0, &kind)) return nullptr;
  if (kind == "u16") {
    uint16_t v = 0;
    return arg_u16(a[1], kConvert, 1, &v) ? PyLong_FromUnsignedLong(v) : nullptr;
  }
  if (kind == "u32") {
    uint32_t v = 0;
    return arg_u32(a[1], kConvert, 1, &v) ? PyLong_FromUnsignedLong(v) : nullptr;
  }
  if (kind == "u64") {
    uint64_t v = 0;
    return arg_u64(a[1], kConvert, 1, &v) ? PyLong_FromUnsignedLongLong(v) : nullptr;
  }
  if (kind == "bool") {
    bool v = false;
    return arg_bool(a[1], kConvert, 1, &v) ? PyBool_FromLong(v) : nullptr;
  }
  if (kind == "str") {
    std::string_view v;
    return arg_str(a[1], kConvert, 1, &v) ? new_bytes(v) : nullptr;
  }
  if (kind == "bytes") {
    std::string_view v;
    return arg_bytes(a[1], kConvert, 1, &v) ? new_bytes(v) : nullptr;
  }
  PyErr_SetString(PyExc_ValueError, "unknown conversion");
  return nullptr;
}

// bytes_of_size(n): new_bytes_uninitialized with n octets (n beyond the host's
// largest size raises the OverflowError).
constexpr Param kBytesOfSizeParams[] = {{"size"}};
constexpr Signature kBytesOfSize{"bytes_of_size", "bytes_of_size", CallKind::kFunction, kBytesOfSizeParams};

PyObject* bytes_of_size_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint64_t size = 0;
  if (!parse_arg(kBytesOfSize, args, nargs, kwnames, arg_u64, &size)) return nullptr;
  char* buffer = nullptr;
  PyObject* out = new_bytes_uninitialized(static_cast<std::size_t>(size), &buffer);
  if (out != nullptr) std::fill(buffer, buffer + size, 'x');
  return out;
}

// word(index): the vocabulary string of that index.
constexpr Param kWordParams[] = {{"index"}};
constexpr Signature kWord{"word", "word", CallKind::kFunction, kWordParams};

PyObject* word_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint16_t index = 0;
  if (!parse_arg(kWord, args, nargs, kwnames, arg_u16, &index)) return nullptr;
  if (index >= static_cast<uint16_t>(Word::kCount)) {
    PyErr_SetString(PyExc_ValueError, "no such word");
    return nullptr;
  }
  return new_word(static_cast<Word>(index));
}

// fault(text, hold_lock=False): an invariant failure inside a call, optionally
// while holding the fault probe lock, which is then abandoned for good.
HostMutex g_fault_probe_mutex;
// bad_alloc(hold_lock=False): the same for an allocation failure, with a lock
// of its own, which stays usable.
HostMutex g_alloc_probe_mutex;

constexpr Param kFaultParams[] = {{"text"}, {"hold_lock", "False"}};
constexpr Signature kFault{"fault", "fault", CallKind::kFunction, kFaultParams};

PyObject* fault_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kFault, args, nargs, kwnames, a)) return nullptr;
  std::string_view text;
  bool hold = false;
  if (!arg_str(a[0], kFault, 0, &text)) return nullptr;
  if (a[1] != nullptr && !arg_bool(a[1], kFault, 1, &hold)) return nullptr;
  std::optional<HostLock> lock;
  if (hold) lock.emplace(g_fault_probe_mutex);
  throw InvariantFailure(std::string(text));
}

// probe_lock(which): takes and releases the "fault" or "alloc" probe lock;
// True when it worked.
constexpr Param kProbeLockParams[] = {{"which"}};
constexpr Signature kProbeLock{"probe_lock", "probe_lock", CallKind::kFunction, kProbeLockParams};

PyObject* probe_lock_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view which;
  if (!parse_arg(kProbeLock, args, nargs, kwnames, arg_str, &which)) return nullptr;
  HostLock lock(which == "alloc" ? g_alloc_probe_mutex : g_fault_probe_mutex);
  Py_RETURN_TRUE;
}

constexpr Param kBadAllocParams[] = {{"hold_lock", "False"}};
constexpr Signature kBadAlloc{"bad_alloc", "bad_alloc", CallKind::kFunction, kBadAllocParams};

PyObject* bad_alloc_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  bool hold = false;
  if (!parse_arg(kBadAlloc, args, nargs, kwnames, arg_bool, &hold)) return nullptr;
  std::optional<HostLock> lock;
  if (hold) lock.emplace(g_alloc_probe_mutex);
  throw std::bad_alloc();
}

// Probe: a class built like every class of the module, for the tests of the
// class machinery.  Probe(value=None); bind($self, a, b=None, *, c, d=0);
// twice(number) static; `value` read-only.
struct ProbeObject {
  PyObject_HEAD PyObject* value;
};

constexpr Param kProbeNewParams[] = {{"value", "None"}};
constexpr Signature kProbeNew{"Probe", "Probe", CallKind::kConstructor, kProbeNewParams};

PyObject* probe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!parse_args_tuple(kProbeNew, args, kwargs, a)) return nullptr;
  auto* self = reinterpret_cast<ProbeObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->value = Py_NewRef(a[0] != nullptr ? a[0] : Py_None);
  return reinterpret_cast<PyObject*>(self);
}

void probe_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Py_CLEAR(reinterpret_cast<ProbeObject*>(obj)->value);
  type->tp_free(obj);
  Py_DECREF(type);
}

constexpr Signature kProbeBind{"bind", "Probe.bind", CallKind::kMethod, kBindParams, 2};

constexpr Param kTwiceParams[] = {{"number"}};
constexpr Signature kProbeTwice{"twice", "Probe.twice", CallKind::kStaticMethod, kTwiceParams};

PyObject* probe_twice_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint32_t n = 0;
  if (!parse_arg(kProbeTwice, args, nargs, kwnames, arg_u32, &n)) return nullptr;
  return PyLong_FromUnsignedLongLong(2ull * n);
}

PyObject* probe_value(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<ProbeObject*>(self)->value);
}

const MethodSpec kProbeMethods[] = {
    {&kProbeBind, method_entry<bind_impl<kProbeBind>>(), "Bind arguments."},
    {&kProbeTwice, method_entry<probe_twice_impl>(), "Twice the number."},
};
const PropertySpec kProbeProperties[] = {
    {"value", crossing<probe_value>, "The value given to the constructor."},
};
const PyType_Slot kProbeSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<probe_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<probe_dealloc>)},
};

int probe_class_attributes(PyTypeObject*, PyObject* dict) {
  Ref answer = Ref::steal(PyLong_FromLong(42));
  return answer ? PyDict_SetItemString(dict, "ANSWER", answer.get()) : -1;
}

constexpr ClassSpec kProbeSpec{
    .name = "Probe",
    .doc = "A class for the tests of the class machinery.",
    .constructor = &kProbeNew,
    .basicsize = sizeof(ProbeObject),
    .methods = kProbeMethods,
    .properties = kProbeProperties,
    .slots = kProbeSlots,
    .add_class_attributes = probe_class_attributes,
};

// Sealed: the same without a constructor.
constexpr ClassSpec kSealedSpec{
    .name = "Sealed",
    .doc = "A class the host cannot instantiate.",
    .basicsize = sizeof(ProbeObject),
    .slots = std::span<const PyType_Slot>(kProbeSlots + 1, 1),
};

// Base: a subclassable class.
constexpr ClassSpec kBaseSpec{
    .name = "Base",
    .doc = "A class the host may subclass.",
    .constructor = &kProbeNew,
    .subclassable = true,
    .basicsize = sizeof(ProbeObject),
    .properties = kProbeProperties,
    .slots = kProbeSlots,
};

const MethodSpec kHooks[] = {
    {&kRaiseH1, method_entry<raise_h1_impl>(), "Raise an HTTP/1 error record."},
    {&kRaiseH2, method_entry<raise_h2_impl>(), "Raise an HTTP/2 error value."},
    {&kBind, method_entry<bind_impl<kBind>>(), "Bind arguments to bind(a, b=None, *, c, d=0)."},
    {&kConvert, method_entry<convert_impl>(), "Convert one argument."},
    {&kBytesOfSize, method_entry<bytes_of_size_impl>(), "Make bytes of a size."},
    {&kWord, method_entry<word_impl>(), "A vocabulary string."},
    {&kFault, method_entry<fault_impl>(), "Fail an invariant."},
    {&kProbeLock, method_entry<probe_lock_impl>(), "Take the probe lock."},
    {&kBadAlloc, method_entry<bad_alloc_impl>(), "Fail an allocation."},
};

}  // namespace

int add_test_hooks(PyObject* module) {
  Ref ns = Ref::steal(PyModule_New("vantric._vantric._testing"));
  if (!ns) return -1;
  for (std::span<const MethodSpec> hooks : {std::span<const MethodSpec>(kHooks), h2_streams_test_hooks()}) {
    for (const MethodSpec& hook : hooks) {
      Ref fn = Ref::steal(new_module_function(hook, ns.get()));
      if (!fn || PyObject_SetAttrString(ns.get(), hook.sig->name.data(), fn.get()) < 0) return -1;
    }
  }
  struct {
    const char* name;
    PyTypeObject* type;
  } classes[] = {
      {"Probe", ProcessClass<kProbeSpec>::get()},
      {"Sealed", ProcessClass<kSealedSpec>::get()},
      {"Base", ProcessClass<kBaseSpec>::get()},
  };
  for (auto& c : classes)
    if (c.type == nullptr ||
        PyObject_SetAttrString(ns.get(), c.name, reinterpret_cast<PyObject*>(c.type)) < 0)
      return -1;
  return PyObject_SetAttrString(module, "_testing", ns.get());
}

}  // namespace vantric::py

#else

namespace vantric::py {

int add_test_hooks(PyObject*) {
  return 0;
}

}  // namespace vantric::py

#endif
