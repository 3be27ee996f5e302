// The host class HeaderMap, and what the other host classes use of it: the
// header name and value conversions, the one conversion of a headers
// argument, wrapping a core collection into a new host object, and reading a
// host map's collection under its lock (always the innermost lock: README.md).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "core/http/header_map.h"
#include "py/args.h"
#include "py/core_object.h"
#include "py/lock.h"
#include "py/ref.h"

namespace vantric::py {

// The objects a map has handed out for what it stores, by value record, so
// that reading the same thing again returns the same immutable object instead
// of a new copy: the bytes of each value, and the str of each name that is
// not well-known, kept with the name's first value.  Touched only under the
// map's lock; an object leaves through take(), and the caller releases it
// after unlocking.
class ValueObjects {
 public:
  enum Kind : uint32_t { kValue = 0, kName = 1 };

  ValueObjects() = default;
  ValueObjects(const ValueObjects&) = delete;
  ValueObjects& operator=(const ValueObjects&) = delete;
  // Releases what is left; for deallocation, when nobody else holds the map.
  ~ValueObjects();

  // A borrowed reference to the object kept for `record`, or nullptr.
  PyObject* find(uint32_t record, Kind kind = kValue) const noexcept {
    const std::size_t at = slot(record, kind);
    return at < size_ ? objects_[at] : nullptr;
  }
  // Keeps a reference to `obj` for `record` (which has none of this kind).
  // When the table cannot grow the object is simply not kept.
  void keep(uint32_t record, PyObject* obj, Kind kind = kValue) noexcept;
  // The reference kept for `record`, now owned by the caller, or nullptr.
  PyObject* take(uint32_t record, Kind kind = kValue) noexcept {
    PyObject* obj = find(record, kind);
    if (obj != nullptr) {
      objects_[slot(record, kind)] = nullptr;
      --kept_;
    }
    return obj;
  }
  bool empty() const noexcept { return kept_ == 0; }

 private:
  static std::size_t slot(uint32_t record, Kind kind) noexcept { return 2 * std::size_t{record} + kind; }

  PyObject** objects_ = nullptr;
  std::size_t size_ = 0;
  std::size_t kept_ = 0;
};

// The collection is changed only through the host methods, which keep the
// value objects (`extra`) in step.
using HeaderMapObject = CoreObject<http::HeaderMap, ValueObjects>;

PyTypeObject* header_map_type();

inline bool is_header_map(PyObject* obj) {
  return Py_IS_TYPE(obj, header_map_type());
}

// A new HeaderMap object taking over `map`; nullptr with an exception set.
PyObject* wrap_header_map(http::HeaderMap&& map);

// The collection read for a headers argument of None.
const http::HeaderMap& no_headers();

// Runs `read(const http::HeaderMap&)` on the collection of `map` (a HeaderMap,
// or nullptr for no headers: the empty collection) while holding its lock,
// and returns its result.  `read` must not call into the host.
template <typename Read>
auto with_headers(PyObject* map, Read&& read) {
  if (map == nullptr) return read(no_headers());
  auto* self = reinterpret_cast<HeaderMapObject*>(map);
  HostLock lock(self->mutex);
  return read(static_cast<const http::HeaderMap&>(self->core));
}

// What a headers parameter accepts.
enum class HeadersAccept : uint8_t {
  kHeaderMap,        // a HeaderMap
  kHeaderMapOrNone,  // a HeaderMap, or None (not passing it counts as None)
  // A HeaderMap, None, or what HeaderMap(init) converts (a dict, an iterable
  // of name-value pairs), converted the same way.
  kConvertibleOrNone,
};

// A converted headers argument: the HeaderMap object to read, or the
// collection built from a dict or pairs (`made`, private to the call, so read
// without a lock); neither for None.
struct HeadersArg {
  PyObject* map = nullptr;
  std::optional<http::HeaderMap> made;

  bool present() const noexcept { return map != nullptr || made.has_value(); }
};

// with_headers() on a converted argument.
template <typename Read>
auto with_headers(const HeadersArg& headers, Read&& read) {
  if (headers.made) return read(static_cast<const http::HeaderMap&>(*headers.made));
  return with_headers(headers.map, std::forward<Read>(read));
}

// The one conversion of a headers argument.  False with TypeError
// "<qualname>() argument '<name>' must be <what `accept` admits>, not <type>"
// for any other object, or with the error converting it raised.
bool arg_headers(PyObject* obj, const Signature& sig, std::size_t index, HeadersAccept accept,
                 HeadersArg* out);

// A header name from host input: str (as UTF-8) or bytes, any case; nullopt
// with TypeError "header name must be str or bytes" for other types, or
// ValueError "invalid header name: invalid HTTP header name" for invalid
// octets.
std::optional<http::HeaderName> header_name_arg(PyObject* obj);

// The same, built in place in *out (no move of the name); false on failure.
bool convert_header_name(PyObject* obj, std::optional<http::HeaderName>* out);

// The octets of a header value from host input (str as UTF-8, or bytes),
// valid as long as `obj` lives, without checking them.  TypeError "header
// value must be str or bytes" for other types.
bool header_value_octets(PyObject* obj, std::string_view* out);

// header_value_octets, then the value rule: ValueError "invalid header value:
// failed to parse header value" for a control octet.
bool convert_header_value(PyObject* obj, std::string_view* out);

// The host str of a stored header name; well-known names come from a cache of
// interned strings.  A new reference, or nullptr with an exception set.
PyObject* new_header_name(std::string_view name, http::WellKnownName id);

}  // namespace vantric::py
