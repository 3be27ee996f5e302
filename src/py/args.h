// Argument parsing and conversion at the host crossing.
//
// One `Signature` per callable feeds both the parser and the text signature of
// its docstring, so the two cannot drift.  The parser reports misuse with the
// exact TypeError wording the interpreter uses for a function written in the
// host language with the same signature (including, on 3.13 and newer, the
// "Did you mean" suggestion), so callers cannot tell the two apart.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantric::py {

struct Param {
  std::string_view name;
  // The default as it reads in the text signature ("None", "False", "20");
  // empty for a required parameter.
  std::string_view default_text = {};

  constexpr bool required() const { return default_text.empty(); }
};

enum class CallKind : uint8_t {
  kMethod,        // receives the instance; `$self` in the text signature
  kStaticMethod,  // callable on the class or an instance, no receiver
  kFunction,      // module-level function
  kConstructor,   // the class itself; the text signature goes in the class docstring
};

struct Signature {
  std::string_view name;      // "get", or the class name for a constructor
  std::string_view qualname;  // "HeaderMap.get": the name used in error messages
  CallKind kind;
  std::span<const Param> params;
  std::size_t positional;  // parameters before the bare `*`; the rest are keyword-only

  constexpr Signature(std::string_view name_, std::string_view qualname_, CallKind kind_,
                      std::span<const Param> params_, std::size_t positional_)
      : name(name_), qualname(qualname_), kind(kind_), params(params_), positional(positional_) {
    for (std::size_t i = 0; i < positional && params[i].required(); ++i) ++required_positional;
    for (std::size_t i = positional; i < params.size(); ++i)
      required_keyword_only = required_keyword_only || params[i].required();
  }
  constexpr Signature(std::string_view name_, std::string_view qualname_, CallKind kind_,
                      std::span<const Param> params_)
      : Signature(name_, qualname_, kind_, params_, params_.size()) {}

  std::size_t required_positional = 0;
  bool required_keyword_only = false;
};

// The text signature line, e.g. "get($self, name, default=None)".
std::string text_signature(const Signature& sig);
// The docstring the host introspects: signature line, "--", blank line, prose.
std::string signature_docstring(const Signature& sig, std::string_view prose);

namespace detail {
bool parse_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);
}

// Fills out[i] with the (borrowed) argument bound to sig.params[i], nullptr when
// it was not passed.  Returns false with TypeError set on misuse.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out) {
  const auto given = static_cast<std::size_t>(nargs);
  if (kwnames == nullptr && given <= sig.positional && given >= sig.required_positional &&
      !sig.required_keyword_only) [[likely]] {
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
    for (std::size_t i = given; i < sig.params.size(); ++i) out[i] = nullptr;
    return true;
  }
  return detail::parse_slow(sig, args, nargs, kwnames, out);
}

// The same for the classic (args tuple, kwargs dict) calling convention of
// constructors.
bool parse_args_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions of one parsed argument, named by its index in sig.params for the
// error message.  Each returns false with the host exception set.

// Integers of a declared width: any object with __index__; TypeError for a
// non-integer, OverflowError when negative or beyond the width.
bool arg_u16(PyObject* obj, const Signature& sig, std::size_t index, uint16_t* out);
bool arg_u32(PyObject* obj, const Signature& sig, std::size_t index, uint32_t* out);
bool arg_u64(PyObject* obj, const Signature& sig, std::size_t index, uint64_t* out);
// An optional u32: nullptr (not passed) and None give nullopt, anything else
// converts as arg_u32.
bool arg_optional_u32(PyObject* obj, const Signature& sig, std::size_t index, std::optional<uint32_t>* out);
// An optional u64: nullptr (not passed) and None give nullopt, anything else
// converts as arg_u64.
bool arg_optional_u64(PyObject* obj, const Signature& sig, std::size_t index, std::optional<uint64_t>* out);
// An HTTP/2 stream identifier: arg_u32, then ValueError when the reserved top
// bit is set (RFC 9113 section 4.1: identifiers are 31 bits).
bool arg_stream_id(PyObject* obj, const Signature& sig, std::size_t index, uint32_t* out);
// Flags: exactly True or False.
bool arg_bool(PyObject* obj, const Signature& sig, std::size_t index, bool* out);
// Text: a str, viewed as UTF-8 (valid as long as `obj` lives).  A lone
// surrogate raises the host's encoding error.
bool arg_str(PyObject* obj, const Signature& sig, std::size_t index, std::string_view* out);
// An optional str: nullptr (not passed) and None give nullopt.
bool arg_optional_str(PyObject* obj, const Signature& sig, std::size_t index,
                      std::optional<std::string_view>* out);
// Bytes: a bytes object, viewed in place (valid as long as `obj` lives).
bool arg_bytes(PyObject* obj, const Signature& sig, std::size_t index, std::string_view* out);

// The value type of a conversion above: `ArgValue<arg_u32>` is uint32_t.
template <typename T>
T arg_value_of(bool (*)(PyObject*, const Signature&, std::size_t, T*));
template <auto Convert>
using ArgValue = decltype(arg_value_of(Convert));

// A call of the one-parameter `sig`: parses it and converts the argument with
// `convert`, one of the conversions above.  An optional argument not passed
// leaves *out as it is (its default).  False with the host exception set.
template <typename T>
bool parse_arg(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               bool (*convert)(PyObject*, const Signature&, std::size_t, T*), T* out) {
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return false;
  return a[0] == nullptr || convert(a[0], sig, 0, out);
}

// TypeError "<qualname>() argument '<name>' must be <expected>, not <type>".
void raise_bad_argument_type(const Signature& sig, std::size_t index, const char* expected, PyObject* obj);

}  // namespace vantric::py
