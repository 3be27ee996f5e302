// ProxyMatcher and ProxyIntercept: proxy selection for the host package.
//
// Both are immutable after construction, so their cores are read without the
// object's mutex: any number of threads may call intercept() on one matcher
// at once.  An intercept shares the matcher's immutable entry instead of
// copying it, which keeps the proxied path to one object allocation.
#include "py/proxy.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "core/http/uri.h"
#include "core/proxy/matcher.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/ref.h"

namespace vantric::py {
namespace {

using proxy::ProxyEntry;
using proxy::ProxyMatcher;

// Both cores are immutable once built: they are read without the mutex.
using ProxyMatcherObject = CoreObject<ProxyMatcher>;
using ProxyInterceptObject = CoreObject<std::shared_ptr<const ProxyEntry>>;

const ProxyMatcher& matcher_of(PyObject* obj) {
  return as_object<ProxyMatcher>(obj)->core;
}

const ProxyEntry& entry_of(PyObject* obj) {
  return *as_object<std::shared_ptr<const ProxyEntry>>(obj)->core;
}

// The UTF-8 octets of a str argument; TypeError naming it for another type.
// Unlike arg_str, a str that UTF-8 cannot encode (a lone surrogate) is no
// error: configuration and matching never fail on content.  It is encoded
// with surrogatepass instead, whose octets no host or authority admits, so
// the URL, proxy setting or NO_PROXY piece that holds them is ignored as
// unusable while the rest of the text still counts.  `keep` owns those
// octets.
bool proxy_text(PyObject* obj, const Signature& sig, std::size_t index, const char* expected, Ref* keep,
                std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    raise_bad_argument_type(sig, index, expected, obj);
    return false;
  }
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(obj, &size)) [[likely]] {
    *out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  *keep = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  if (!*keep) return false;
  *out = std::string_view(PyBytes_AS_STRING(keep->get()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(keep->get())));
  return true;
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// ---- ProxyMatcher --------------------------------------------------------------

PyObject* wrap_matcher(ProxyMatcher&& core) {
  PyTypeObject* type = proxy_matcher_type();
  if (type == nullptr) return nullptr;
  return new_core_object<ProxyMatcher>(type, std::move(core));
}

constexpr Signature kFromEnv{"from_env", "ProxyMatcher.from_env", CallKind::kStaticMethod, {}};

PyObject* proxy_matcher_from_env(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kFromEnv, args, nargs, kwnames, nullptr)) return nullptr;
  // The process environment itself: os.environ writes through to it, and so
  // does anything else in the process that sets a variable.
  return wrap_matcher(ProxyMatcher::from_env([](const char* name) -> std::optional<std::string_view> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
  }));
}

constexpr Param kFromPartsParams[] = {{"all", "None"}, {"http", "None"}, {"https", "None"}, {"no", "None"}};
constexpr Signature kFromParts{"from_parts", "ProxyMatcher.from_parts", CallKind::kStaticMethod,
                               kFromPartsParams, 0};

PyObject* proxy_matcher_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!parse_args(kFromParts, args, nargs, kwnames, a)) return nullptr;
  Ref keep[4];
  std::string_view text[4];
  for (std::size_t i = 0; i < 4; ++i) {
    if (a[i] != nullptr && a[i] != Py_None &&
        !proxy_text(a[i], kFromParts, i, "str or None", &keep[i], &text[i]))
      return nullptr;
  }
  proxy::ProxySettings settings{.all = std::string(text[0]),
                                .http = std::string(text[1]),
                                .https = std::string(text[2]),
                                .no = std::string(text[3])};
  return wrap_matcher(ProxyMatcher::from_settings(settings));
}

constexpr Param kInterceptParams[] = {{"url"}};
constexpr Signature kIntercept{"intercept", "ProxyMatcher.intercept", CallKind::kMethod, kInterceptParams};

PyObject* proxy_matcher_intercept(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kIntercept, args, nargs, kwnames, a)) return nullptr;
  Ref keep;
  std::string_view url;
  if (!proxy_text(a[0], kIntercept, 0, "str", &keep, &url)) return nullptr;
  std::shared_ptr<const ProxyEntry> entry = matcher_of(self).intercept(url);
  if (!entry) Py_RETURN_NONE;
  PyTypeObject* type = proxy_intercept_type();
  if (type == nullptr) return nullptr;
  return new_object<ProxyInterceptObject>(type, std::move(entry));
}

const MethodSpec kMatcherMethods[] = {
    {&kFromEnv, method_entry<proxy_matcher_from_env>(),
     "A matcher configured from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY (each\n"
     "upper-case name before its lower-case twin).  Under CGI (REQUEST_METHOD set)\n"
     "nothing is read and the matcher proxies nothing."},
    {&kFromParts, method_entry<proxy_matcher_from_parts>(),
     "A matcher configured from explicit settings; None and \"\" mean unset.  `all`\n"
     "serves http and https destinations that have no proxy of their own."},
    {&kIntercept, method_entry<proxy_matcher_intercept>(),
     "The proxy for a request to url, or None: for an unusable URL, a scheme other\n"
     "than http and https, a scheme without a proxy, or a host NO_PROXY bypasses."},
};

const PyType_Slot kMatcherSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<destroy_object<ProxyMatcherObject>>)},
};

constexpr ClassSpec kMatcherSpec{
    .name = "ProxyMatcher",
    .doc =
        "Decides whether a request goes through a proxy, and which.  Made by\n"
        "ProxyMatcher.from_env() or ProxyMatcher.from_parts(); immutable.",
    .basicsize = sizeof(ProxyMatcherObject),
    .methods = kMatcherMethods,
    .slots = kMatcherSlots,
};

// ---- ProxyIntercept ------------------------------------------------------------

PyObject* proxy_intercept_uri(PyObject* self, void*) {
  return new_text(entry_of(self).uri);
}

constexpr Signature kBasicAuth{"basic_auth", "ProxyIntercept.basic_auth", CallKind::kMethod, {}};

PyObject* proxy_intercept_basic_auth(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  if (!parse_args(kBasicAuth, args, nargs, kwnames, nullptr)) return nullptr;
  const auto* basic = std::get_if<proxy::BasicAuth>(&entry_of(self).credentials);
  if (basic == nullptr) Py_RETURN_NONE;
  return new_text(basic->header_value);
}

constexpr Signature kRawAuth{"raw_auth", "ProxyIntercept.raw_auth", CallKind::kMethod, {}};

PyObject* proxy_intercept_raw_auth(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  if (!parse_args(kRawAuth, args, nargs, kwnames, nullptr)) return nullptr;
  const auto* raw = std::get_if<proxy::RawAuth>(&entry_of(self).credentials);
  if (raw == nullptr) Py_RETURN_NONE;
  Ref user = Ref::steal(new_text(raw->user));
  Ref password = Ref::steal(new_text(raw->password));
  if (!user || !password) return nullptr;
  return PyTuple_Pack(2, user.get(), password.get());
}

PyObject* proxy_intercept_repr(PyObject* self) {
  std::string text = "ProxyIntercept(uri=";
  text += http::quote_for_message(entry_of(self).uri);
  text += ')';
  return new_text(text);
}

const MethodSpec kInterceptMethods[] = {
    {&kBasicAuth, method_entry<proxy_intercept_basic_auth>(),
     "The Proxy-Authorization value (\"Basic \" and Base64 of user:password) for an\n"
     "http or https proxy whose URL carries user information; else None."},
    {&kRawAuth, method_entry<proxy_intercept_raw_auth>(),
     "(user, password) for a SOCKS proxy whose URL carries user information, the\n"
     "password \"\" when none was given; else None."},
};

const PropertySpec kInterceptProperties[] = {
    {"uri", crossing<proxy_intercept_uri>,
     "The proxy's URL: scheme, host, optional port and \"/\"; never user information."},
};

const PyType_Slot kInterceptSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<destroy_object<ProxyInterceptObject>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<proxy_intercept_repr>)},
};

constexpr ClassSpec kInterceptSpec{
    .name = "ProxyIntercept",
    .doc =
        "The proxy a request must go through, with its credentials; returned by\n"
        "ProxyMatcher.intercept().",
    .basicsize = sizeof(ProxyInterceptObject),
    .methods = kInterceptMethods,
    .properties = kInterceptProperties,
    .slots = kInterceptSlots,
};

}  // namespace

PyTypeObject* proxy_matcher_type() {
  return ProcessClass<kMatcherSpec>::get();
}

PyTypeObject* proxy_intercept_type() {
  return ProcessClass<kInterceptSpec>::get();
}

}  // namespace vantric::py
