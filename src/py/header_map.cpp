// HeaderMap: the host class over the core header collection.
#include "py/header_map.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/http/field_rules.h"

#include "py/args.h"
#include "py/classes.h"
#include "py/crossing.h"
#include "py/once.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

using http::HeaderMap;
using http::HeaderMapError;
using http::HeaderName;
using http::WellKnownName;

constexpr char kNameTypeError[] = "header name must be str or bytes";
constexpr char kValueTypeError[] = "header value must be str or bytes";
constexpr char kInvalidName[] = "invalid header name: invalid HTTP header name";
constexpr char kInvalidValue[] = "invalid header value: failed to parse header value";
constexpr char kMapFull[] = "header map is full (HeaderMap MAX_SIZE, 32768 entries)";

HeaderMapObject* as_map(PyObject* obj) {
  return reinterpret_cast<HeaderMapObject*>(obj);
}

// The octets of a str (UTF-8) or bytes; false with `type_error` raised for
// other types.
bool text_or_bytes(PyObject* obj, const char* type_error, std::string_view* out) {
  if (PyUnicode_Check(obj)) {
    // Header names and most values are ASCII, whose octets a compact str
    // holds in place as its UTF-8 form.
    if (PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] {
      *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
      return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    *out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBytes_Check(obj)) {
    *out = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, type_error);
  return false;
}

// Raises the error of a failed append or insert (after unlocking).
void raise_status(HeaderMapError error) {
  switch (error) {
    case HeaderMapError::kInvalidName:
      PyErr_SetString(PyExc_ValueError, kInvalidName);
      return;
    case HeaderMapError::kInvalidValue:
      PyErr_SetString(PyExc_ValueError, kInvalidValue);
      return;
    case HeaderMapError::kFull:
      PyErr_SetString(PyExc_ValueError, kMapFull);
      return;
  }
}

// KeyError carrying the stored (lowercase) name.
void raise_key_error(const HeaderName& name) {
  Ref key = Ref::steal(new_header_name(name.view(), name.well_known()));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
}

// ---- the bytes objects of stored values ------------------------------------------

// The bytes object of the value at `it` (a new reference): the one handed out
// before, else a new one that the map keeps.  Call under the map's lock.
[[gnu::always_inline]] inline PyObject* value_object(HeaderMapObject* self,
                                                     HeaderMap::ValueRange::iterator it) {
  if (PyObject* kept = self->extra.find(it.record())) return Py_NewRef(kept);
  PyObject* obj = new_bytes(*it);
  if (obj != nullptr) self->extra.keep(it.record(), obj);
  return obj;
}

// The value object of the first field named `name` (a new reference, nullptr
// when its creation failed); *present is false, and nullptr returned, when
// there is none.  Takes the map's lock.
[[gnu::always_inline]] inline PyObject* first_value(PyObject* self, const HeaderName& name, bool* present) {
  HostLock lock(as_map(self)->mutex);
  const auto range = as_map(self)->core.get_all(name);
  *present = !range.empty();
  return *present ? value_object(as_map(self), range.begin()) : nullptr;
}

// Takes out the objects kept for the values (and the name) of `name` before
// those values are replaced or removed.  Call under the map's lock.
void forget_values(HeaderMapObject* self, const HeaderName& name, Released* released) {
  if (self->extra.empty()) return;
  const auto range = self->core.get_all(name);
  for (auto it = range.begin(); it != range.end(); ++it) {
    released->add_plain(self->extra.take(it.record()));
    released->add_plain(self->extra.take(it.record(), ValueObjects::kName));
  }
}

// ---- well-known names as interned strings --------------------------------------

struct NameTable {
  std::array<PyObject*, http::kWellKnownNameCount> strings{};
};

ProcessOnce<NameTable> g_names;

NameTable* make_name_table() {
  auto table = std::make_unique<NameTable>();
  for (std::size_t i = 0; i < http::kWellKnownNameCount; ++i) {
    std::string_view text = http::well_known_name_text(static_cast<WellKnownName>(i));
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s != nullptr) PyUnicode_InternInPlace(&s);
    if (s == nullptr) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(table->strings[j]);
      return nullptr;
    }
    table->strings[i] = s;
  }
  return table.release();
}

PyObject* ascii_str(std::string_view text) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (s != nullptr) std::memcpy(PyUnicode_DATA(s), text.data(), text.size());
  return s;
}

// new_header_name() with the table already at hand.
PyObject* name_object(const NameTable& table, std::string_view name, WellKnownName id) {
  if (id != WellKnownName::kNone) return Py_NewRef(table.strings[static_cast<std::size_t>(id)]);
  return ascii_str(name);
}

// The str of the map's entry `i` (a new reference): a well-known name from the
// table, any other the one handed out before, else a new one that the map
// keeps with the entry's first value.  Call under the map's lock.
PyObject* entry_name_object(HeaderMapObject* self, const NameTable& table, std::size_t i) {
  const WellKnownName id = self->core.name_id_at(i);
  if (id != WellKnownName::kNone) return Py_NewRef(table.strings[static_cast<std::size_t>(id)]);
  const uint32_t first = self->core.values_at(i).begin().record();
  if (PyObject* kept = self->extra.find(first, ValueObjects::kName)) return Py_NewRef(kept);
  PyObject* obj = ascii_str(self->core.name_at(i));
  if (obj != nullptr) self->extra.keep(first, obj, ValueObjects::kName);
  return obj;
}

// ---- construction ----------------------------------------------------------------

// Appends (name, value) from host objects, converting both.
bool append_converted(HeaderMap& map, PyObject* name_obj, PyObject* value_obj) {
  std::optional<HeaderName> name;
  std::string_view value;
  if (!convert_header_name(name_obj, &name) || !header_value_octets(value_obj, &value)) return false;
  std::optional<HeaderMapError> status = map.append(*name, value);
  if (status != std::nullopt) {
    raise_status(*status);
    return false;
  }
  return true;
}

bool fill_from_dict(HeaderMap& map, PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    // The dict may be changed by host code run while converting; hold both.
    Ref k = Ref::from_borrowed(key), v = Ref::from_borrowed(value);
    if (!append_converted(map, k.get(), v.get())) return false;
  }
  return true;
}

// Appends one element of a pair sequence: element[0] as the name, element[1]
// as the value.  `zero` and `one` hold the index objects once needed.
bool append_element(HeaderMap& map, PyObject* element, Ref* zero, Ref* one) {
  if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) >= 2)
    return append_converted(map, PyTuple_GET_ITEM(element, 0), PyTuple_GET_ITEM(element, 1));
  if (!*zero) {
    *zero = Ref::steal(PyLong_FromLong(0));
    *one = Ref::steal(PyLong_FromLong(1));
    if (!*zero || !*one) return false;
  }
  Ref name = Ref::steal(PyObject_GetItem(element, zero->get()));
  if (!name) return false;
  Ref value = Ref::steal(PyObject_GetItem(element, one->get()));
  return value && append_converted(map, name.get(), value.get());
}

bool fill_from_pairs(HeaderMap& map, PyObject* iterable) {
  Ref zero, one;
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
    // Walked in place, reading the size again at every step as the list
    // iterator does, so a list that an element's __getitem__ changes is seen
    // the same way.
    for (Py_ssize_t i = 0; i < Py_SIZE(iterable); ++i) {
      Ref element = Ref::from_borrowed(PySequence_Fast_GET_ITEM(iterable, i));
      if (!append_element(map, element.get(), &zero, &one)) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(iterable));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get())))
    if (!append_element(map, item.get(), &zero, &one)) return false;
  return !PyErr_Occurred();
}

// Appends the fields of a dict or of an iterable of pairs, as HeaderMap(init)
// takes them.
bool fill_from(HeaderMap& map, PyObject* init) {
  return PyDict_Check(init) ? fill_from_dict(map, init) : fill_from_pairs(map, init);
}

constexpr Param kNewParams[] = {{"init", "None"}};
constexpr Signature kNew{"HeaderMap", "HeaderMap", CallKind::kConstructor, kNewParams};

PyObject* header_map_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!parse_args_tuple(kNew, args, kwargs, a)) return nullptr;
  // The collection is filled in place: the object is not shared before it is
  // returned, so no lock is needed, and nothing is copied twice.
  auto* self = reinterpret_cast<HeaderMapObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->mutex) HostMutex();
  // Default-initialized, not value-initialized: tp_alloc has zeroed the
  // memory already, and zeroing the inline records again costs more than the
  // rest of the construction.
  new (&self->core) HeaderMap;
  new (&self->extra) ValueObjects;
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(self));
  PyObject* init = a[0];
  if (init == nullptr || init == Py_None) {
    // empty
  } else if (is_header_map(init)) {
    with_headers(init, [self](const HeaderMap& source) { self->core = source; });
  } else if (!fill_from(self->core, init)) {
    return nullptr;
  }
  return owner.release();
}

// ---- methods -------------------------------------------------------------------

constexpr Param kGetParams[] = {{"name"}, {"default", "None"}};
constexpr Signature kGet{"get", "HeaderMap.get", CallKind::kMethod, kGetParams};

PyObject* header_map_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kGet, args, nargs, kwnames, a)) return nullptr;
  std::optional<HeaderName> name;
  if (!convert_header_name(a[0], &name)) return nullptr;
  bool present = false;
  PyObject* found = first_value(self, *name, &present);
  if (present) return found;
  return Py_NewRef(a[1] != nullptr ? a[1] : Py_None);
}

constexpr Param kNameParam[] = {{"name"}};
constexpr Signature kGetAll{"get_all", "HeaderMap.get_all", CallKind::kMethod, kNameParam};

PyObject* header_map_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(kGetAll, args, nargs, kwnames, a)) return nullptr;
  std::optional<HeaderName> name;
  if (!convert_header_name(a[0], &name)) return nullptr;
  ObjectBuffer values;
  {
    HostLock lock(as_map(self)->mutex);
    const auto range = as_map(self)->core.get_all(*name);
    for (auto it = range.begin(); it != range.end(); ++it)
      if (!values.push(value_object(as_map(self), it))) return nullptr;
  }
  return values.take_list();
}

constexpr Param kNameValueParams[] = {{"name"}, {"value"}};
constexpr Signature kAdd{"add", "HeaderMap.add", CallKind::kMethod, kNameValueParams};

PyObject* header_map_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kAdd, args, nargs, kwnames, a)) return nullptr;
  std::optional<HeaderName> name;
  std::string_view value;
  if (!convert_header_name(a[0], &name) || !header_value_octets(a[1], &value)) return nullptr;
  std::optional<HeaderMapError> status;
  {
    HostLock lock(as_map(self)->mutex);
    status = as_map(self)->core.append(*name, value);
  }
  if (status != std::nullopt) {
    raise_status(*status);
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr Signature kSetdefault{"setdefault", "HeaderMap.setdefault", CallKind::kMethod, kNameValueParams};

PyObject* header_map_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args(kSetdefault, args, nargs, kwnames, a)) return nullptr;
  std::optional<HeaderName> name;
  if (!convert_header_name(a[0], &name)) return nullptr;
  // The value matters only when the name is absent.  It is converted here,
  // outside the lock, and a conversion failure is held back until the lock
  // says it counts.
  std::string_view value;
  PyObject *error_type = nullptr, *error_value = nullptr, *error_traceback = nullptr;
  const bool value_ok = header_value_octets(a[1], &value);
  if (!value_ok) PyErr_Fetch(&error_type, &error_value, &error_traceback);
  Ref held_type = Ref::steal(error_type), held_value = Ref::steal(error_value),
      held_traceback = Ref::steal(error_traceback);

  std::optional<HeaderMapError> status = std::nullopt;
  PyObject* result = nullptr;
  bool value_needed = false;
  {
    HostLock lock(as_map(self)->mutex);
    HeaderMap& map = as_map(self)->core;
    if (const auto existing = map.get_all(*name); !existing.empty()) {
      result = value_object(as_map(self), existing.begin());
    } else if (value_ok) {
      status = map.append(*name, value);
      if (status == std::nullopt) result = new_bytes(value);
    } else {
      value_needed = true;
    }
  }
  if (value_needed) {
    PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
    return nullptr;
  }
  if (status != std::nullopt) raise_status(*status);
  return result;
}

// Collects the distinct names (as str) under the lock.
bool collect_names(PyObject* self, ObjectBuffer* names) {
  const NameTable* table = g_names.get(make_name_table);
  if (table == nullptr) return false;
  HostLock lock(as_map(self)->mutex);
  const HeaderMap& map = as_map(self)->core;
  names->reserve(map.name_count());
  for (std::size_t i = 0; i < map.name_count(); ++i)
    if (!names->push(entry_name_object(as_map(self), *table, i))) return false;
  return true;
}

// Collects every (name, value) in iteration order, names as str or bytes.
bool collect_items(PyObject* self, bool raw_names, ObjectBuffer* items) {
  const NameTable* table = raw_names ? nullptr : g_names.get(make_name_table);
  if (!raw_names && table == nullptr) return false;
  HostLock lock(as_map(self)->mutex);
  const HeaderMap& map = as_map(self)->core;
  items->reserve(2 * map.size());
  for (std::size_t i = 0; i < map.name_count(); ++i) {
    const std::string_view name = map.name_at(i);
    // One name object serves every value of the name.
    Ref name_obj = Ref::steal(raw_names ? new_bytes(name) : entry_name_object(as_map(self), *table, i));
    if (!name_obj) return false;
    const auto range = map.values_at(i);
    for (auto it = range.begin(); it != range.end(); ++it)
      if (!items->push(Py_NewRef(name_obj.get())) || !items->push(value_object(as_map(self), it)))
        return false;
  }
  return true;
}

constexpr Signature kKeys{"keys", "HeaderMap.keys", CallKind::kMethod, {}};

PyObject* header_map_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kKeys, args, nargs, kwnames, nullptr)) return nullptr;
  ObjectBuffer names;
  if (!collect_names(self, &names)) return nullptr;
  return names.take_list();
}

constexpr Signature kValues{"values", "HeaderMap.values", CallKind::kMethod, {}};

PyObject* header_map_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kValues, args, nargs, kwnames, nullptr)) return nullptr;
  ObjectBuffer values;
  {
    HostLock lock(as_map(self)->mutex);
    const HeaderMap& map = as_map(self)->core;
    values.reserve(map.size());
    for (std::size_t i = 0; i < map.name_count(); ++i) {
      const auto range = map.values_at(i);
      for (auto it = range.begin(); it != range.end(); ++it)
        if (!values.push(value_object(as_map(self), it))) return nullptr;
    }
  }
  return values.take_list();
}

PyObject* items_list(PyObject* self, bool raw_names) {
  ObjectBuffer items;
  if (!collect_items(self, raw_names, &items)) return nullptr;
  return items.take_pair_list();
}

constexpr Signature kItems{"items", "HeaderMap.items", CallKind::kMethod, {}};

PyObject* header_map_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kItems, args, nargs, kwnames, nullptr)) return nullptr;
  return items_list(self, false);
}

constexpr Signature kRawItems{"raw_items", "HeaderMap.raw_items", CallKind::kMethod, {}};

PyObject* header_map_raw_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kRawItems, args, nargs, kwnames, nullptr)) return nullptr;
  return items_list(self, true);
}

// ---- mapping protocol ----------------------------------------------------------------

Py_ssize_t header_map_length(PyObject* self) {
  HostLock lock(as_map(self)->mutex);
  return static_cast<Py_ssize_t>(as_map(self)->core.size());
}

PyObject* header_map_subscript(PyObject* self, PyObject* key) {
  std::optional<HeaderName> name;
  if (!convert_header_name(key, &name)) return nullptr;
  bool present = false;
  PyObject* found = first_value(self, *name, &present);
  if (!present) raise_key_error(*name);
  return found;
}

int header_map_ass_subscript(PyObject* self, PyObject* key, PyObject* value_obj) {
  std::optional<HeaderName> name;
  if (!convert_header_name(key, &name)) return -1;
  Released released;
  if (value_obj == nullptr) {
    bool removed;
    {
      HostLock lock(as_map(self)->mutex);
      forget_values(as_map(self), *name, &released);
      removed = as_map(self)->core.remove(*name);
    }
    if (!removed) {
      raise_key_error(*name);
      return -1;
    }
    return 0;
  }
  std::string_view value;
  if (!header_value_octets(value_obj, &value)) return -1;
  std::optional<HeaderMapError> status;
  {
    HostLock lock(as_map(self)->mutex);
    forget_values(as_map(self), *name, &released);
    status = as_map(self)->core.insert(*name, value);
  }
  if (status != std::nullopt) {
    raise_status(*status);
    return -1;
  }
  return 0;
}

int header_map_contains(PyObject* self, PyObject* key) {
  std::optional<HeaderName> name;
  if (!convert_header_name(key, &name)) {
    // Membership never raises: a name that cannot be a header is not contained.
    PyErr_Clear();
    return 0;
  }
  HostLock lock(as_map(self)->mutex);
  return as_map(self)->core.contains(*name) ? 1 : 0;
}

PyObject* header_map_iter(PyObject* self) {
  ObjectBuffer names;
  if (!collect_names(self, &names)) return nullptr;
  Ref list = Ref::steal(names.take_list());
  return list ? PyObject_GetIter(list.get()) : nullptr;
}

PyObject* header_map_repr(PyObject* self) {
  Ref items = Ref::steal(items_list(self, false));
  if (!items) return nullptr;
  return PyUnicode_FromFormat("HeaderMap(%R)", items.get());
}

bool maps_equal(PyObject* a, PyObject* b) {
  // Two locks at once, always in ascending address order, so two threads
  // comparing the same maps in opposite directions cannot deadlock.
  HeaderMapObject* first = as_map(a < b ? a : b);
  HeaderMapObject* second = as_map(a < b ? b : a);
  HostLock lock_first(first->mutex);
  HostLock lock_second(second->mutex);
  return first->core == second->core;
}

PyObject* header_map_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal = other == self || (is_header_map(other) && maps_equal(self, other));
  return PyBool_FromLong(equal == (op == Py_EQ));
}

const MethodSpec kMethods[] = {
    {&kGet, method_entry<header_map_get>(), "The first value of `name` as bytes, else `default`."},
    {&kGetAll, method_entry<header_map_get_all>(),
     "Every value of `name` as bytes, in order; empty when absent."},
    {&kAdd, method_entry<header_map_add>(), "Append a value to `name`, keeping existing ones."},
    {&kSetdefault, method_entry<header_map_setdefault>(),
     "The first value of `name`; when absent, add `value` and return it as bytes."},
    {&kKeys, method_entry<header_map_keys>(), "The distinct names, in order."},
    {&kValues, method_entry<header_map_values>(), "Every value, in iteration order."},
    {&kItems, method_entry<header_map_items>(),
     "Every (name, value) pair in iteration order: values of one name are adjacent."},
    {&kRawItems, method_entry<header_map_raw_items>(),
     "items() with the names as their stored lowercase bytes."},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(crossing<header_map_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(crossing<destroy_object<HeaderMapObject>>)},
    {Py_tp_repr, reinterpret_cast<void*>(crossing<header_map_repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(crossing<header_map_iter>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(crossing<header_map_richcompare>)},
    {Py_mp_length, reinterpret_cast<void*>(crossing<header_map_length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(crossing<header_map_subscript>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(crossing<header_map_ass_subscript>)},
    {Py_sq_contains, reinterpret_cast<void*>(crossing<header_map_contains>)},
};

constexpr ClassSpec kSpec{
    .name = "HeaderMap",
    .doc =
        "An ordered, case-insensitive, multi-valued collection of HTTP header fields "
        "(public path vantric.http.HeaderMap).\n\n"
        "Names are stored in lowercase and read back as str; values are bytes. Values of "
        "one name stay adjacent in iteration order, in the order they were added.",
    .constructor = &kNew,
    .basicsize = sizeof(HeaderMapObject),
    .methods = kMethods,
    .slots = kSlots,
};

}  // namespace

ValueObjects::~ValueObjects() {
  for (std::size_t i = 0; i < size_; ++i) Py_XDECREF(objects_[i]);
  PyMem_Free(objects_);
}

void ValueObjects::keep(uint32_t record, PyObject* obj, Kind kind) noexcept {
  const std::size_t at = slot(record, kind);
  if (at >= size_) {
    // Doubling keeps growth amortized; a map rarely has more than a few dozen values.
    std::size_t size = size_ < 16 ? 32 : size_ * 2;
    if (size <= at) size = at + 2;
    auto** grown = static_cast<PyObject**>(PyMem_Realloc(objects_, sizeof(PyObject*) * size));
    if (grown == nullptr) return;
    std::memset(static_cast<void*>(grown + size_), 0, sizeof(PyObject*) * (size - size_));
    objects_ = grown;
    size_ = size;
  }
  objects_[at] = Py_NewRef(obj);
  ++kept_;
}

PyTypeObject* header_map_type() {
  return ProcessClass<kSpec>::get();
}

PyObject* wrap_header_map(HeaderMap&& map) {
  PyTypeObject* type = header_map_type();
  if (type == nullptr) return nullptr;
  return new_object<HeaderMapObject>(type, std::move(map));
}

std::optional<HeaderName> header_name_arg(PyObject* obj) {
  std::optional<HeaderName> name;
  convert_header_name(obj, &name);
  return name;
}

bool convert_header_name(PyObject* obj, std::optional<HeaderName>* out) {
  std::string_view raw;
  if (!text_or_bytes(obj, kNameTypeError, &raw)) {
    out->reset();
    return false;
  }
  if (!HeaderName::from(raw, out)) {
    PyErr_SetString(PyExc_ValueError, kInvalidName);
    return false;
  }
  return true;
}

bool header_value_octets(PyObject* obj, std::string_view* out) {
  return text_or_bytes(obj, kValueTypeError, out);
}

bool convert_header_value(PyObject* obj, std::string_view* out) {
  if (!header_value_octets(obj, out)) return false;
  if (!http::is_valid_header_value(*out)) {
    PyErr_SetString(PyExc_ValueError, kInvalidValue);
    return false;
  }
  return true;
}

PyObject* new_header_name(std::string_view name, WellKnownName id) {
  if (id != WellKnownName::kNone) {
    NameTable* table = g_names.get(make_name_table);
    if (table == nullptr) return nullptr;
    return name_object(*table, name, id);
  }
  return ascii_str(name);
}

const http::HeaderMap& no_headers() {
  static const http::HeaderMap kEmpty{};
  return kEmpty;
}

bool arg_headers(PyObject* obj, const Signature& sig, std::size_t index, HeadersAccept accept,
                 HeadersArg* out) {
  out->map = nullptr;
  if (accept != HeadersAccept::kHeaderMap && (obj == nullptr || obj == Py_None)) return true;
  if (is_header_map(obj)) {
    out->map = obj;
    return true;
  }
  switch (accept) {
    case HeadersAccept::kHeaderMap:
      raise_bad_argument_type(sig, index, "HeaderMap", obj);
      return false;
    case HeadersAccept::kHeaderMapOrNone:
      raise_bad_argument_type(sig, index, "HeaderMap or None", obj);
      return false;
    case HeadersAccept::kConvertibleOrNone:
      break;
  }
  if (!PyDict_Check(obj) && Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj)) {
    raise_bad_argument_type(sig, index, "HeaderMap, dict, iterable of pairs or None", obj);
    return false;
  }
  // Converted as HeaderMap(obj) would, into a collection of the call's own:
  // no host object is made for it.
  return fill_from(out->made.emplace(), obj);
}

}  // namespace vantric::py
