// The road of every call of a typed module, and the typed layer over it.
//
// The frame binds the arguments, converts the 32-bit integer parameters,
// type-tests and views the array parameters, and then calls the function's
// typed body, an `*_impl(Call&, ...)` whose parameters match the declared
// ones: `const View&` for an array, `int32_t` for an integer, `PyObject*`
// for an object passed as it is.  typed<impl> adapts such a body to the
// frame (as CPython's Argument Clinic does for its `_impl` functions).
#ifndef KELPWISE_FRAME_TYPED_HPP
#define KELPWISE_FRAME_TYPED_HPP

#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "binding.hpp"
#include "buffer.hpp"
#include "call.hpp"
#include "function.hpp"

namespace kw {

// The bound parameters of one call, by position.
struct Args {
  PyObject* obj[kMaxParams];
  int32_t i32[kMaxParams];
  View* view[kMaxParams];
};

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
template <class... P, PyObject* (*Impl)(Call&, P...)>
struct Typed<Impl> {
  template <size_t... I>
  static PyObject* call(Call& c, Args& a, std::index_sequence<I...>) {
    return Impl(c, ArgAs<P>::get(a, (int)I)...);
  }
  static PyObject* body(Call& c, Args& a) { return call(c, a, std::index_sequence_for<P...>{}); }
  static constexpr Kind kinds[] = {ArgAs<P>::kind...};
};

// The Body of a FuncDef from its typed implementation.
template <auto Impl>
constexpr Body typed = {&Typed<Impl>::body, Typed<Impl>::kinds, (int)std::size(Typed<Impl>::kinds)};

// True when a function's typed body takes the parameters it declares.
static inline bool body_matches(const FuncDef* def) {
  if (def->body.arity != def->nparams) return false;
  for (int i = 0; i < def->nparams; ++i)
    if (def->body.kinds[i] != def->params[i].kind) return false;
  return true;
}

static inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Function* f = (Function*)self;
  const FuncDef* def = f->def;
  Call c(f);
  Args a;
  if (bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, a.obj) < 0) return c.fail();
  c.line = def->conv_line;
  for (int i = 0; i < def->nparams; ++i) {
    a.view[i] = nullptr;
    if (def->params[i].kind == Kind::Int32 && as_int32(a.obj[i], &a.i32[i]) < 0) return c.fail();
  }
  c.line = def->line;
  for (int i = 0; i < def->nparams; ++i) {
    if (def->params[i].kind == Kind::Array && type_test(a.obj[i], def->params[i].name) < 0)
      return nullptr;  // no traceback entry for a failed type test
  }
  // None passes the type test but is never read as an array.
  for (int i = 0; i < def->nparams; ++i) {
    if (def->params[i].kind == Kind::Array && a.obj[i] == Py_None) {
      PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", def->params[i].name);
      return c.fail();
    }
  }
  for (int i = 0; i < def->nparams; ++i) {
    const Param& p = def->params[i];
    if (p.kind != Kind::Array) continue;
    a.view[i] = c.view(a.obj[i], p.ndim, *p.type, false);
    if (!a.view[i]) return c.fail();
  }
  // A C++ exception must not cross into the interpreter, where it would end
  // the process: a failed allocation becomes MemoryError at the statement
  // being run.
  try {
    return def->body.call(c, a);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return c.fail();
}

}  // namespace kw

#endif  // KELPWISE_FRAME_TYPED_HPP
