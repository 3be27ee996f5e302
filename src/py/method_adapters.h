// Methods and properties made from one core operation.
//
// A method is `method<Sig, Op, Convert...>(doc)`: it parses the call per
// `Sig`, converts the i-th parameter with the i-th conversion of args.h (an
// optional parameter that was not passed keeps its value-initialized
// default), runs `Op(core, values...)` under the object's lock and turns the
// result into a host object after unlocking with the `result_object` overload
// of its type (None when `Op` returns nothing).  `Op` is a member function of
// the core or a function taking the core first; the object's class follows
// from it.  A property is `locked_property<Op>`, the same without arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/h2/error.h"
#include "py/args.h"
#include "py/classes.h"
#include "py/core_object.h"
#include "py/crossing.h"
#include "py/errors.h"
#include "py/ref.h"

namespace vantric::py {

// ---- results ---------------------------------------------------------------------

inline PyObject* result_object(bool value) {
  return PyBool_FromLong(value);
}
inline PyObject* result_object(uint16_t value) {
  return PyLong_FromLong(value);
}
inline PyObject* result_object(uint32_t value) {
  return PyLong_FromUnsignedLong(value);
}
inline PyObject* result_object(int32_t value) {
  return PyLong_FromLong(value);
}
inline PyObject* result_object(uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}
inline PyObject* result_object(std::optional<bool> value) {
  if (!value) Py_RETURN_NONE;
  return PyBool_FromLong(*value);
}
inline PyObject* result_object(std::optional<uint16_t> value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromLong(*value);
}
inline PyObject* result_object(std::optional<uint32_t> value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*value);
}
// The object a core hands back, or None.
inline PyObject* result_object(Ref&& ref) {
  return object_or_none(std::move(ref));
}
// Text a core produces, or None.
inline PyObject* result_object(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}
// None, or the core's error value raised.
inline PyObject* result_object(const std::optional<h2::Error>& error) {
  if (!error) Py_RETURN_NONE;
  raise(*error);
  return nullptr;
}
template <typename T>
PyObject* result_object(std::variant<T, h2::Error>&& result) {
  if (const h2::Error* error = std::get_if<h2::Error>(&result)) {
    raise(*error);
    return nullptr;
  }
  return result_object(std::move(std::get<T>(result)));
}

// ---- operations ------------------------------------------------------------------

namespace detail {

// The core an operation works on, and its parameters after the core.
template <class F>
struct OpTraits;
template <class R, class C, class... A>
struct OpTraits<R (C::*)(A...)> {
  using Core = C;
  using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct OpTraits<R (C::*)(A...) noexcept> {
  using Core = C;
  using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct OpTraits<R (C::*)(A...) const> {
  using Core = C;
  using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct OpTraits<R (C::*)(A...) const noexcept> {
  using Core = C;
  using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct OpTraits<R (*)(C&, A...)> {
  using Core = std::remove_const_t<C>;
  using Params = std::tuple<A...>;
};
template <class R, class C, class... A>
struct OpTraits<R (*)(C&, A...) noexcept> {
  using Core = std::remove_const_t<C>;
  using Params = std::tuple<A...>;
};

template <const Signature& Sig, auto... Convert, std::size_t... I>
bool convert_args(PyObject* const* given, std::tuple<ArgValue<Convert>...>& values,
                  std::index_sequence<I...>) {
  return ((given[I] == nullptr || Convert(given[I], Sig, I, &std::get<I>(values))) && ...);
}

// Op(core, values...) under the lock, converted after unlocking.  An
// operation with one parameter more than the values given takes a sink for
// the host references the core drops (a vector of them): the sink is declared
// before the lock, so they are released after unlocking.
template <auto Op, class... V>
PyObject* run_locked(PyObject* self, V&... values) {
  using Traits = OpTraits<decltype(Op)>;
  using Core = typename Traits::Core;
  constexpr std::size_t kParams = std::tuple_size_v<typename Traits::Params>;
  static_assert(kParams == sizeof...(V) || kParams == sizeof...(V) + 1);
  auto run = [&](auto&... sink) {
    auto call = [&](Core& core) { return std::invoke(Op, core, values..., sink...); };
    if constexpr (std::is_void_v<decltype(call(std::declval<Core&>()))>) {
      locked<Core>(self, call);
      Py_RETURN_NONE;
    } else {
      return result_object(locked<Core>(self, call));
    }
  };
  if constexpr (kParams == sizeof...(V) + 1) {
    std::remove_cvref_t<std::tuple_element_t<sizeof...(V), typename Traits::Params>> dropped;
    return run(dropped);
  } else {
    return run();
  }
}

}  // namespace detail

template <const Signature& Sig, auto Op, auto... Convert>
PyObject* method_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(sizeof...(Convert) == Sig.params.size(), "one conversion per parameter");
  PyObject* given[sizeof...(Convert) + 1];
  if (!parse_args(Sig, args, nargs, kwnames, given)) return nullptr;
  std::tuple<ArgValue<Convert>...> values{};
  if (!detail::convert_args<Sig, Convert...>(given, values, std::index_sequence_for<ArgValue<Convert>...>{}))
    return nullptr;
  return std::apply([self](auto&... v) { return detail::run_locked<Op>(self, v...); }, values);
}

template <const Signature& Sig, auto Op, auto... Convert>
MethodSpec method(std::string_view doc) {
  return {&Sig, method_entry<method_impl<Sig, Op, Convert...>>(), doc};
}

// A read-only property over a query of the core, read under the lock.
template <auto Op>
PyObject* locked_property(PyObject* self, void*) {
  return detail::run_locked<Op>(self);
}

}  // namespace vantric::py
