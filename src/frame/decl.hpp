// Declarations of the typed modules: what a function's parameters are and
// where its failures point, and the module-wide state of the frame.
//
// Each typed module (_tarsine, _plenvo, _vellard) is one translation unit
// that includes the frame once, so every static object of the frame exists
// once per module.
#ifndef KELPWISE_FRAME_DECL_HPP
#define KELPWISE_FRAME_DECL_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <numpy/arrayobject.h>

#include <cstdint>

namespace kw {

// Element type of an array parameter or result, as the buffer checks see it.
struct ElemType {
  const char* name;  // name used in error messages ("DTYPE_t")
  char group;        // 'R' real, 'I' signed integer
  Py_ssize_t size;   // bytes per element
};

inline constexpr ElemType DTYPE{"DTYPE_t", 'R', 8};  // float64
inline constexpr ElemType ITYPE{"ITYPE_t", 'I', 8};  // intp
inline constexpr ElemType INT{"INT_t", 'I', 8};      // int64

enum class Kind {
  Object,  // passed on as it is
  Int32,   // converted to a signed 32-bit integer
  Array,   // type-tested and viewed (ndim, type)
};

struct Param {
  const char* name;
  Kind kind;
  int ndim = 0;                    // arrays only
  const ElemType* type = nullptr;  // arrays only
};

class Call;
struct Args;

// A function's typed body (typed.hpp) with the kinds of the parameters it
// takes, which must be those the function declares.
struct Body {
  PyObject* (*call)(Call&, Args&) = nullptr;
  const Kind* kinds = nullptr;
  int arity = 0;
};

struct FuncDef {
  const char* name;
  const Param* params;
  int nparams;
  int nrequired = 0;               // the first nrequired parameters have no default
  const long* defaults = nullptr;  // integer defaults of the trailing parameters
  const char* doc = nullptr;       // nullptr: __doc__ is None
  int line = 0;                    // traceback line of binding and array checks
  int conv_line = 0;               // traceback line of integer conversion
  Body body;                       // the typed body, see typed.hpp
};

struct ModuleDecl {
  const char* name;        // dotted name, "kelpwise.accel._tarsine"
  const char* short_name;  // "_tarsine"
  const char* file;        // traceback file name, "kelpwise/accel/_tarsine"
  const char* doc;
  const FuncDef* funcs;
  int nfuncs;
  int np_line;                                    // line of `import numpy as np`
  int (*extra_init)(PyObject* module) = nullptr;  // optional, runs after the functions
};

// Module-wide state: one copy per extension module.
static const ModuleDecl* g_module = nullptr;
static PyTypeObject* g_ndarray = nullptr;  // numpy.ndarray

}  // namespace kw

#endif  // KELPWISE_FRAME_DECL_HPP
