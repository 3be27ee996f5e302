#include "py/utilities.h"

#include <atomic>
#include <new>
#include <string>

#include "core/http/date.h"
#include "core/http/uri.h"
#include "py/args.h"
#include "py/crossing.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

// ---- http_date() ---------------------------------------------------------------

constexpr Signature kHttpDate{"http_date", "http_date", CallKind::kFunction, {}};

PyObject* http_date_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kHttpDate, args, nargs, kwnames, nullptr)) return nullptr;
  return new_bytes(http::thread_date_cache().current());
}

// ---- uri_parts(url) ------------------------------------------------------------

constexpr Param kUriPartsParams[] = {{"url"}};
constexpr Signature kUriParts{"uri_parts", "uri_parts", CallKind::kFunction, kUriPartsParams};

PyObject* optional_text(const std::optional<std::string_view>& text) {
  if (!text) return Py_NewRef(Py_None);
  return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
}

PyObject* uri_parts_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kUriParts, args, nargs, kwnames, a)) return nullptr;
  std::string_view url;
  if (!arg_str(a[0], kUriParts, 0, &url)) return nullptr;
  http::UriParts parts;
  if (const std::optional<http::UriError> error = http::uri_parts(url, parts)) {
    std::string message = "invalid url ";
    message += http::quote_for_message(url);
    message += ": ";
    message += http::uri_error_text(*error);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  Ref scheme = Ref::steal(optional_text(parts.scheme));
  Ref host = Ref::steal(optional_text(parts.host));
  Ref port = parts.port ? Ref::steal(PyLong_FromLong(*parts.port)) : Ref::from_borrowed(Py_None);
  Ref authority = parts.authority ? Ref::steal(optional_text(std::string_view(*parts.authority)))
                                  : Ref::from_borrowed(Py_None);
  if (!scheme || !host || !port || !authority) return nullptr;
  return PyTuple_Pack(4, scheme.get(), host.get(), port.get(), authority.get());
}

// ---- OnceLatch -----------------------------------------------------------------

struct OnceLatchObject {
  PyObject_HEAD std::atomic<bool> flag;
};

OnceLatchObject* as_latch(PyObject* obj) {
  return reinterpret_cast<OnceLatchObject*>(obj);
}

constexpr Signature kOnceLatchNew{"OnceLatch", "OnceLatch", CallKind::kConstructor, {}};

PyObject* once_latch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!parse_args_tuple(kOnceLatchNew, args, kwargs, nullptr)) return nullptr;
  auto* self = reinterpret_cast<OnceLatchObject*>(type->tp_alloc(type, 0));
  if (self != nullptr) new (&self->flag) std::atomic<bool>(false);
  return reinterpret_cast<PyObject*>(self);
}

void once_latch_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

constexpr Signature kTryAcquire{"try_acquire", "OnceLatch.try_acquire", CallKind::kMethod, {}};

PyObject* once_latch_try_acquire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kTryAcquire, args, nargs, kwnames, nullptr)) return nullptr;
  bool expected = false;
  return PyBool_FromLong(
      as_latch(self)->flag.compare_exchange_strong(expected, true, std::memory_order_seq_cst));
}

PyObject* once_latch_is_set(PyObject* self, void*) {
  return PyBool_FromLong(as_latch(self)->flag.load(std::memory_order_seq_cst));
}

PyObject* once_latch_repr(PyObject* self) {
  return PyUnicode_FromFormat("OnceLatch(is_set=%s)", as_latch(self)->flag.load() ? "true" : "false");
}

const MethodSpec kOnceLatchMethods[] = {
    {&kTryAcquire, method_entry<once_latch_try_acquire>(),
     "Set the latch; True for the one caller that set it, False for every other caller."},
};

const PropertySpec kOnceLatchProperties[] = {
    {"is_set", crossing<once_latch_is_set>, "True once any try_acquire() has succeeded."},
};

const PyType_Slot kOnceLatchSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<once_latch_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<once_latch_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<once_latch_repr>)},
};

constexpr ClassSpec kOnceLatchSpec{
    .name = "OnceLatch",
    .doc =
        "A one-shot flag: of several racing parties (tasks, threads, finalizers), exactly "
        "one wins try_acquire(). Lock-free; never blocks.",
    .constructor = &kOnceLatchNew,
    .basicsize = sizeof(OnceLatchObject),
    .methods = kOnceLatchMethods,
    .properties = kOnceLatchProperties,
    .slots = kOnceLatchSlots,
};

}  // namespace

const MethodSpec kHttpDateFunction{&kHttpDate, method_entry<http_date_impl>(),
                                   "The current Date header value (IMF-fixdate, 29 octets), "
                                   "rendered at most once per second per thread."};

const MethodSpec kUriPartsFunction{&kUriParts, method_entry<uri_parts_impl>(),
                                   "Split a URL into (scheme, host, port, authority) for dialing a server."};

PyTypeObject* once_latch_type() {
  return ProcessClass<kOnceLatchSpec>::get();
}

}  // namespace vantric::py
