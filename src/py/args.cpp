#include "py/args.h"

#include <array>
#include <limits>
#include <vector>

#include "core/h2/constants.h"
#include "py/ref.h"
#include "py/suggest.h"

namespace vantric::py {
namespace {

std::size_t self_count(const Signature& sig) {
  return sig.kind == CallKind::kMethod ? 1 : 0;
}

std::string quoted(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '\'';
  out += name;
  out += '\'';
  return out;
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// "<qualname>() got an unexpected keyword argument 'x'", with the interpreter's
// suggestion on versions that make one.
void raise_unexpected_keyword(const Signature& sig, PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 std::string(sig.qualname).c_str(), key);
    return;
  }
  std::string message(sig.qualname);
  message += "() got an unexpected keyword argument ";
  std::string_view name(text, static_cast<std::size_t>(size));
  message += quoted(name);
#if PY_VERSION_HEX >= 0x030D0000
  std::vector<std::string_view> candidates;
  candidates.reserve(sig.params.size());
  for (const Param& p : sig.params) candidates.push_back(p.name);
  std::string_view suggestion = closest_name(name, candidates);
  if (!suggestion.empty()) {
    message += ". Did you mean ";
    message += quoted(suggestion);
    message += '?';
  }
#endif
  raise_type_error(message);
}

void raise_multiple_values(const Signature& sig, std::string_view name) {
  raise_type_error(std::string(sig.qualname) + "() got multiple values for argument " + quoted(name));
}

void raise_too_many_positional(const Signature& sig, std::size_t given, std::size_t kwonly_given) {
  const std::size_t self = self_count(sig);
  const std::size_t argcount = sig.positional + self;
  const std::size_t defcount = sig.positional - sig.required_positional;
  given += self;
  std::string message(sig.qualname);
  message += "() takes ";
  bool plural;
  if (defcount != 0) {
    plural = true;
    message += "from " + std::to_string(argcount - defcount) + " to " + std::to_string(argcount);
  } else {
    plural = argcount != 1;
    message += std::to_string(argcount);
  }
  message += plural ? " positional arguments but " : " positional argument but ";
  message += std::to_string(given);
  if (kwonly_given != 0) {
    message += given != 1 ? " positional arguments" : " positional argument";
    message += " (and " + std::to_string(kwonly_given) +
               (kwonly_given != 1 ? " keyword-only arguments)" : " keyword-only argument)");
  }
  message += given == 1 && kwonly_given == 0 ? " was given" : " were given";
  raise_type_error(message);
}

// "<qualname>() missing 2 required positional arguments: 'a' and 'b'"
void raise_missing(const Signature& sig, const std::vector<std::string_view>& names, const char* kind) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() == 2) {
        list += " and ";
      } else {
        list += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    list += quoted(names[i]);
  }
  std::string message(sig.qualname);
  message += "() missing " + std::to_string(names.size()) + " required " + kind + " argument";
  if (names.size() != 1) message += 's';
  message += ": " + list;
  raise_type_error(message);
}

// Index of the parameter named `key`, or -1.  -2 with an exception set when the
// key cannot be read.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  std::string_view name(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (sig.params[i].name == name) return static_cast<Py_ssize_t>(i);
  return -1;
}

// Binds positional and keyword arguments in the interpreter's own order of
// checks: keywords (unknown, duplicate), then too many positional, then missing
// positional, then missing keyword-only.
template <typename ForEachKeyword>
bool bind(const Signature& sig, PyObject* const* args, std::size_t nargs, ForEachKeyword&& for_each_keyword,
          PyObject** out) {
  const std::size_t count = sig.params.size();
  for (std::size_t i = 0; i < count; ++i) out[i] = i < nargs && i < sig.positional ? args[i] : nullptr;

  bool ok = for_each_keyword([&](PyObject* key, PyObject* value) {
    Py_ssize_t index = find_param(sig, key);
    if (index < 0) {
      raise_unexpected_keyword(sig, key);
      return false;
    }
    if (out[index] != nullptr) {
      raise_multiple_values(sig, sig.params[static_cast<std::size_t>(index)].name);
      return false;
    }
    out[index] = value;
    return true;
  });
  if (!ok) return false;

  if (nargs > sig.positional) {
    std::size_t kwonly_given = 0;
    for (std::size_t i = sig.positional; i < count; ++i) kwonly_given += out[i] != nullptr;
    raise_too_many_positional(sig, nargs, kwonly_given);
    return false;
  }
  std::vector<std::string_view> missing;
  for (std::size_t i = nargs; i < sig.positional; ++i)
    if (out[i] == nullptr && sig.params[i].required()) missing.push_back(sig.params[i].name);
  if (!missing.empty()) {
    raise_missing(sig, missing, "positional");
    return false;
  }
  for (std::size_t i = sig.positional; i < count; ++i)
    if (out[i] == nullptr && sig.params[i].required()) missing.push_back(sig.params[i].name);
  if (!missing.empty()) {
    raise_missing(sig, missing, "keyword-only");
    return false;
  }
  return true;
}

void raise_out_of_range(const Signature& sig, std::size_t index, int bits) {
  std::string message(sig.qualname);
  message += "() argument " + quoted(sig.params[index].name) + " is out of range for an unsigned " +
             std::to_string(bits) + "-bit integer";
  PyErr_SetString(PyExc_OverflowError, message.c_str());
}

bool arg_unsigned(PyObject* obj, const Signature& sig, std::size_t index, uint64_t max, int bits,
                  uint64_t* out) {
  Ref converted;
  PyObject* value = obj;
  if (!PyLong_Check(obj)) [[unlikely]] {
    if (!PyIndex_Check(obj)) {
      raise_bad_argument_type(sig, index, "int", obj);
      return false;
    }
    converted = Ref::steal(PyNumber_Index(obj));
    if (!converted) return false;
    value = converted.get();
  }
  int overflow = 0;
  long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) [[likely]] {
    if (small == -1 && PyErr_Occurred()) return false;
    if (small < 0 || static_cast<unsigned long long>(small) > max) {
      raise_out_of_range(sig, index, bits);
      return false;
    }
    *out = static_cast<uint64_t>(small);
    return true;
  }
  if (overflow < 0) {
    raise_out_of_range(sig, index, bits);
    return false;
  }
  unsigned long long big = PyLong_AsUnsignedLongLong(value);
  if ((big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || big > max) {
    PyErr_Clear();
    raise_out_of_range(sig, index, bits);
    return false;
  }
  *out = big;
  return true;
}

}  // namespace

std::string text_signature(const Signature& sig) {
  std::string out(sig.name);
  out += '(';
  bool first = true;
  auto separate = [&] {
    if (!first) out += ", ";
    first = false;
  };
  if (sig.kind == CallKind::kMethod) {
    separate();
    out += "$self";
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (i == sig.positional) {
      separate();
      out += '*';
    }
    separate();
    out += sig.params[i].name;
    if (!sig.params[i].required()) {
      out += '=';
      out += sig.params[i].default_text;
    }
  }
  out += ')';
  return out;
}

std::string signature_docstring(const Signature& sig, std::string_view prose) {
  std::string out = text_signature(sig);
  out += "\n--\n\n";
  out += prose;
  return out;
}

namespace detail {

bool parse_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  auto for_each_keyword = [&](auto&& fn) {
    if (kwnames == nullptr) return true;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!fn(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    return true;
  };
  return bind(sig, args, static_cast<std::size_t>(nargs), for_each_keyword, out);
}

}  // namespace detail

bool parse_args_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
  auto for_each_keyword = [&](auto&& fn) {
    if (kwargs == nullptr) return true;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!fn(key, value)) return false;
    return true;
  };
  return bind(sig, items, static_cast<std::size_t>(nargs), for_each_keyword, out);
}

bool arg_u16(PyObject* obj, const Signature& sig, std::size_t index, uint16_t* out) {
  uint64_t v = 0;
  if (!arg_unsigned(obj, sig, index, std::numeric_limits<uint16_t>::max(), 16, &v)) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

bool arg_u32(PyObject* obj, const Signature& sig, std::size_t index, uint32_t* out) {
  uint64_t v = 0;
  if (!arg_unsigned(obj, sig, index, std::numeric_limits<uint32_t>::max(), 32, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool arg_u64(PyObject* obj, const Signature& sig, std::size_t index, uint64_t* out) {
  return arg_unsigned(obj, sig, index, std::numeric_limits<uint64_t>::max(), 64, out);
}

bool arg_optional_u32(PyObject* obj, const Signature& sig, std::size_t index, std::optional<uint32_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = std::nullopt;
    return true;
  }
  uint32_t v = 0;
  if (!arg_u32(obj, sig, index, &v)) return false;
  *out = v;
  return true;
}

bool arg_optional_u64(PyObject* obj, const Signature& sig, std::size_t index, std::optional<uint64_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = std::nullopt;
    return true;
  }
  uint64_t v = 0;
  if (!arg_u64(obj, sig, index, &v)) return false;
  *out = v;
  return true;
}

bool arg_stream_id(PyObject* obj, const Signature& sig, std::size_t index, uint32_t* out) {
  if (!arg_u32(obj, sig, index, out)) return false;
  if (*out > h2::kMaxStreamId) [[unlikely]] {
    std::string message(sig.qualname);
    message += "() argument " + quoted(sig.params[index].name) + " must be at most " +
               std::to_string(h2::kMaxStreamId) + ", got " + std::to_string(*out);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  return true;
}

bool arg_bool(PyObject* obj, const Signature& sig, std::size_t index, bool* out) {
  if (!PyBool_Check(obj)) {
    raise_bad_argument_type(sig, index, "bool", obj);
    return false;
  }
  *out = obj == Py_True;
  return true;
}

bool arg_str(PyObject* obj, const Signature& sig, std::size_t index, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    raise_bad_argument_type(sig, index, "str", obj);
    return false;
  }
  // An ASCII str holds its UTF-8 form in place.
  if (PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] {
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  *out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool arg_bytes(PyObject* obj, const Signature& sig, std::size_t index, std::string_view* out) {
  if (!PyBytes_Check(obj)) {
    raise_bad_argument_type(sig, index, "bytes", obj);
    return false;
  }
  *out = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

void raise_bad_argument_type(const Signature& sig, std::size_t index, const char* expected, PyObject* obj) {
  std::string message(sig.qualname);
  message += "() argument " + quoted(sig.params[index].name) + " must be " + expected + ", not ";
  message += Py_TYPE(obj)->tp_name;
  raise_type_error(message);
}

bool arg_optional_str(PyObject* obj, const Signature& sig, std::size_t index,
                      std::optional<std::string_view>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::string_view text;
  if (!arg_str(obj, sig, index, &text)) return false;
  *out = text;
  return true;
}

}  // namespace vantric::py
