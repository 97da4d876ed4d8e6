// The typed layer of the modules' functions.
//
// A function's body is an `*_impl(Call&, ...)` whose parameters match the
// declared ones: `const View&` for an array, `int32_t` for an integer,
// `PyObject*` for an object passed as it is.  define<impl>(params, {...})
// builds its FuncDef, adapting the body to the frame as CPython's Argument
// Clinic does for its `_impl` functions; the compiler refuses a table whose
// declared parameters the body does not take.
#ifndef KELPWISE_FRAME_TYPED_HPP
#define KELPWISE_FRAME_TYPED_HPP

#include <cstddef>
#include <utility>

#include "function.hpp"

namespace frame {

// How a body's parameter of type T is declared and read from the Args.
template <class T>
struct ArgAs;
template <>
struct ArgAs<const View&> {
  static constexpr Kind kind = Kind::Array;
  static const View& get(const Args& a, int i) { return *a.view[i]; }
};
template <>
struct ArgAs<int32_t> {
  static constexpr Kind kind = Kind::Int32;
  static int32_t get(const Args& a, int i) { return a.i32[i]; }
};
template <>
struct ArgAs<PyObject*> {
  static constexpr Kind kind = Kind::Object;
  static PyObject* get(const Args& a, int i) { return a.obj[i]; }
};

template <auto Impl>
struct Typed;
template <class... Params, PyObject* (*Impl)(Call&, Params...)>
struct Typed<Impl> {
  static constexpr int arity = sizeof...(Params);
  static constexpr Kind kinds[] = {ArgAs<Params>::kind...};

  template <size_t... Index>
  static PyObject* call(Call& c, Args& a, std::index_sequence<Index...>) {
    return Impl(c, ArgAs<Params>::get(a, (int)Index)...);
  }
  static PyObject* body(Call& c, Args& a) { return call(c, a, std::index_sequence_for<Params...>{}); }
};

// Stops the compilation of a table that breaks a rule of the frame: a
// throw cannot be evaluated at compile time.
consteval void require(bool holds, const char* rule) {
  if (!holds) throw rule;
}

// The FuncDef of body Impl with parameters params; the rest of the
// declaration (name, nrequired, defaults, doc, lines) comes in def.
template <auto Impl, size_t N>
consteval FuncDef define(const Param (&params)[N], FuncDef def) {
  static_assert(N == Typed<Impl>::arity, "the body takes as many parameters as the function declares");
  static_assert(N <= kMaxParams, "at most kMaxParams parameters");
  for (size_t i = 0; i < N; ++i)
    require(params[i].kind == Typed<Impl>::kinds[i], "each parameter of the body has the declared kind");
  require(def.nrequired >= 0 && def.nrequired <= (int)N, "nrequired counts declared parameters");
  require((def.nrequired < (int)N) == (def.defaults != nullptr), "defaults exactly for the optional parameters");
  def.params = params;
  def.nparams = (int)N;
  def.body = &Typed<Impl>::body;
  return def;
}

}  // namespace frame

#endif  // KELPWISE_FRAME_TYPED_HPP
