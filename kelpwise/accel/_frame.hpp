// Shared Python boundary of the typed kernel modules (_tarsine, _plenvo,
// _vellard).
//
// Each module includes this header once, so every static object below exists
// once per module.  The header knows CPython and NumPy; the kernels do not.
// A module declares its functions in a table of FuncDef records and provides
// one body per function; the frame binds the arguments, converts the 32-bit
// integer parameters, type-tests and views the array parameters, and then
// calls the body with a Call object that owns everything acquired during the
// call (buffer views and working arrays) and releases it on every way out.
#ifndef KELPWISE_ACCEL_FRAME_HPP
#define KELPWISE_ACCEL_FRAME_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <stdexcept>

namespace kw {

// Widest SIMD path of this processor, in doubles per vector: 8 with
// AVX-512, 4 with AVX2, 2 for the SSE2 baseline of x86-64.  A build may
// cap it (KW_SIMD_WIDTH_CAP) so that the tests also run the narrower paths.
inline int simd_width() {
  static const int width = [] {
    int w = __builtin_cpu_supports("avx512f") ? 8 : __builtin_cpu_supports("avx2") ? 4 : 2;
#ifdef KW_SIMD_WIDTH_CAP
    if (w > KW_SIMD_WIDTH_CAP) w = KW_SIMD_WIDTH_CAP;
#endif
    return w;
  }();
  return width;
}

// ---------------------------------------------------------------------------
// Element access for the kernels.  Views may come from unaligned buffers, so
// elements are read and written by memcpy, which compiles to plain loads and
// stores.
namespace mem {
inline double load(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(char* p, double v) { std::memcpy(p, &v, sizeof v); }
inline int64_t load_i64(const char* p) {
  int64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_i64(char* p, int64_t v) { std::memcpy(p, &v, sizeof v); }
}  // namespace mem

// ---------------------------------------------------------------------------
// Scratch memory of a call: count elements of T from the interpreter's
// allocator, released with the object.  A failed allocation (or a size that
// does not fit) raises MemoryError; count 0 allocates nothing.
template <class T>
class Scratch {
 public:
  Scratch() = default;
  ~Scratch() { PyMem_Free(p_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // Room for count elements; the buffer is kept when it is large enough.
  bool allocate(Py_ssize_t count) {
    if (count <= cap_) return true;
    PyMem_Free(p_);
    p_ = nullptr;
    cap_ = 0;
    size_t bytes;
    if (__builtin_mul_overflow((size_t)count, sizeof(T), &bytes) || bytes > (size_t)PY_SSIZE_T_MAX) {
      PyErr_NoMemory();
      return false;
    }
    p_ = static_cast<T*>(PyMem_Malloc(bytes));
    if (!p_) {
      PyErr_NoMemory();
      return false;
    }
    cap_ = count;
    return true;
  }
  T* get() const { return p_; }
  T& operator[](Py_ssize_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
  Py_ssize_t cap_ = 0;
};

// ---------------------------------------------------------------------------
// Declarations

// Element type of an array parameter or result, as the buffer checks see it.
struct ElemType {
  const char* name;  // name used in error messages ("DTYPE_t")
  char group;        // 'R' real, 'I' signed integer
  Py_ssize_t size;   // bytes per element
};

inline constexpr ElemType DTYPE{"DTYPE_t", 'R', 8};  // float64
inline constexpr ElemType ITYPE{"ITYPE_t", 'I', 8};  // intp
inline constexpr ElemType INT{"INT_t", 'I', 8};      // int64

enum class Kind { Object, Int32, Array };

struct Param {
  const char* name;
  Kind kind;
  int ndim = 0;                   // arrays only
  const ElemType* type = nullptr;  // arrays only
};

class Call;
class Args;
using Body = PyObject* (*)(Call&, Args&);

struct FuncDef {
  const char* name;
  const Param* params;
  int nparams;
  int nrequired;          // the first nrequired parameters have no default
  const long* defaults;   // integer defaults of the trailing parameters
  const char* doc;        // nullptr: __doc__ is None
  int line;               // traceback line of binding and array checks
  int conv_line;          // traceback line of integer conversion
  Body body;
};

struct ModuleDecl {
  const char* name;      // dotted name, "kelpwise.accel._tarsine"
  const char* short_name;
  const char* file;      // traceback file name, "kelpwise/accel/_tarsine"
  const char* doc;
  const FuncDef* funcs;
  int nfuncs;
  int np_line;           // line of `import numpy as np`
  int (*extra_init)(PyObject* module);  // optional, runs after the functions
};

// Module-wide state: one copy per extension module.
static const ModuleDecl* g_module = nullptr;
static PyTypeObject* g_ndarray = nullptr;

// ---------------------------------------------------------------------------
// Traceback entries

// Adds one traceback entry (funcname, file, line) to the exception being
// raised.  The exception itself is kept unchanged.
static inline void add_traceback(const char* funcname, int line, PyObject* globals) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty(g_module->file, funcname, line);
  PyFrameObject* frame = nullptr;
  if (code) {
    PyObject* g = globals ? globals : PyEval_GetBuiltins();
    frame = PyFrame_New(PyThreadState_Get(), code, g, nullptr);
  }
  if (!frame) {
    // Could not build the entry: keep the original exception.
    Py_XDECREF(code);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_Restore(type, value, tb);
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
  Py_DECREF(code);
}

// ---------------------------------------------------------------------------
// Function objects

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;
  PyObject* doc;
  PyObject* globals;    // namespace of the defining module
  PyObject* builtins;   // the module's builtins namespace, taken at creation
  PyObject* defaults;   // tuple of default values, or nullptr
  PyObject* signature;  // cached inspect.Signature
  PyObject* qualified;  // "kelpwise.accel._x.f", for traceback entries
};

static inline PyObject* function_vectorcall(PyObject*, PyObject* const*, size_t, PyObject*);

static inline int function_traverse(Function* f, visitproc visit, void* arg) {
  Py_VISIT(f->globals);
  Py_VISIT(f->builtins);
  Py_VISIT(f->defaults);
  Py_VISIT(f->signature);
  return 0;
}

static inline int function_clear(Function* f) {
  Py_CLEAR(f->globals);
  Py_CLEAR(f->builtins);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->signature);
  return 0;
}

static inline void function_dealloc(Function* f) {
  PyObject_GC_UnTrack(f);
  function_clear(f);
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->module_name);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->qualified);
  PyObject_GC_Del(f);
}

static inline PyObject* function_repr(Function* f) {
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, (void*)f);
}

// Bound as a class attribute, the function becomes a method of the instance.
static inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// inspect.Signature of positional-or-keyword parameters, built once.
static inline PyObject* function_get_signature(Function* f, void*) {
  if (f->signature) return Py_NewRef(f->signature);
  PyObject* inspect = PyImport_ImportModule("inspect");
  if (!inspect) return nullptr;
  PyObject* result = nullptr;
  PyObject* params = nullptr;
  PyObject* param_cls = PyObject_GetAttrString(inspect, "Parameter");
  PyObject* sig_cls = PyObject_GetAttrString(inspect, "Signature");
  PyObject* kind = param_cls ? PyObject_GetAttrString(param_cls, "POSITIONAL_OR_KEYWORD") : nullptr;
  if (!kind || !sig_cls) goto done;
  params = PyList_New(0);
  if (!params) goto done;
  for (int i = 0; i < f->def->nparams; ++i) {
    PyObject* p = nullptr;
    PyObject* args = Py_BuildValue("(sO)", f->def->params[i].name, kind);
    if (!args) goto done;
    PyObject* kwargs = nullptr;
    int first_default = f->def->nrequired;
    if (i >= first_default) {
      kwargs = Py_BuildValue("{sO}", "default", PyTuple_GET_ITEM(f->defaults, i - first_default));
      if (!kwargs) {
        Py_DECREF(args);
        goto done;
      }
    }
    p = PyObject_Call(param_cls, args, kwargs);
    Py_DECREF(args);
    Py_XDECREF(kwargs);
    if (!p) goto done;
    int rc = PyList_Append(params, p);
    Py_DECREF(p);
    if (rc < 0) goto done;
  }
  result = PyObject_CallOneArg(sig_cls, params);
  if (result) f->signature = Py_NewRef(result);
done:
  Py_XDECREF(params);
  Py_XDECREF(kind);
  Py_XDECREF(sig_cls);
  Py_XDECREF(param_cls);
  Py_DECREF(inspect);
  return result;
}

static PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The defaults tuple, or None, as a Python function's.
static inline PyObject* function_get_defaults(Function* f, void*) {
  return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

static PyGetSetDef function_getset[] = {
    {"__signature__", (getter)function_get_signature, nullptr, nullptr, nullptr},
    {"__defaults__", (getter)function_get_defaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: the name is looked up in
// the module again when the pickle is loaded, and copy/deepcopy return the
// function itself.
static inline PyObject* function_reduce(Function* f, PyObject*) { return Py_NewRef(f->qualname); }

static PyMethodDef function_methods[] = {
    {"__reduce__", (PyCFunction)function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The remaining slots are zero and filled in by function_type_ready().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
static PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)  //
    "kelpwise_function",               // tp_name
    sizeof(Function),                  // tp_basicsize
};
#pragma GCC diagnostic pop

static inline int function_type_ready() {
  if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
  FunctionType.tp_dealloc = (destructor)function_dealloc;
  FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
  FunctionType.tp_repr = (reprfunc)function_repr;
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR;
  FunctionType.tp_traverse = (traverseproc)function_traverse;
  FunctionType.tp_clear = (inquiry)function_clear;
  FunctionType.tp_members = function_members;
  FunctionType.tp_getset = function_getset;
  FunctionType.tp_methods = function_methods;
  FunctionType.tp_descr_get = function_descr_get;
  return PyType_Ready(&FunctionType);
}

static inline PyObject* function_new(const FuncDef* def, PyObject* globals) {
  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) return nullptr;
  f->vectorcall = function_vectorcall;
  f->def = def;
  f->name = PyUnicode_FromString(def->name);
  f->qualname = Py_XNewRef(f->name);
  f->module_name = PyUnicode_FromString(g_module->name);
  f->doc = def->doc ? PyUnicode_FromString(def->doc) : Py_NewRef(Py_None);
  f->globals = Py_NewRef(globals);
  f->builtins = nullptr;
  f->defaults = nullptr;
  f->signature = nullptr;
  f->qualified = PyUnicode_FromFormat("%s.%s", g_module->name, def->name);
  PyObject_GC_Track(f);
  if (!f->name || !f->module_name || !f->doc || !f->qualified) {
    Py_DECREF(f);
    return nullptr;
  }
  // The builtins of the defining module, as a Python function keeps them:
  // its `__builtins__` (a module or a dict), else the interpreter's.
  PyObject* b = PyDict_GetItemString(globals, "__builtins__");  // borrowed
  if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
  if (!b || !PyDict_Check(b)) b = PyEval_GetBuiltins();
  f->builtins = Py_NewRef(b);
  int ndefaults = def->nparams - def->nrequired;
  if (ndefaults > 0) {
    f->defaults = PyTuple_New(ndefaults);
    if (!f->defaults) {
      Py_DECREF(f);
      return nullptr;
    }
    for (int i = 0; i < ndefaults; ++i) {
      PyObject* v = PyLong_FromLong(def->defaults[i]);
      if (!v) {
        Py_DECREF(f);
        return nullptr;
      }
      PyTuple_SET_ITEM(f->defaults, i, v);
    }
  }
  return (PyObject*)f;
}

// ---------------------------------------------------------------------------
// Argument binding

constexpr int kMaxParams = 8;

// The count message: the word, the number and the number given follow the
// rules of the frame ("exactly" when every parameter is required).
static inline void raise_count(const FuncDef* def, bool too_many, Py_ssize_t given) {
  const bool exact = def->nrequired == def->nparams;
  Py_ssize_t number = too_many ? def->nparams : def->nrequired;
  const char* word = exact ? "exactly" : (too_many ? "at most" : "at least");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               def->name, word, number, number == 1 ? "" : "s", given);
}

// Fills values[0..nparams) with borrowed references; defaults come from the
// function's defaults tuple.  Returns -1 with an exception set on failure.
static inline int bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** values) {
  const FuncDef* def = f->def;
  const int P = def->nparams, R = def->nrequired;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (int i = 0; i < P; ++i) values[i] = nullptr;
  if (nkw == 0) {
    if (nargs < R) return raise_count(def, false, nargs), -1;
    if (nargs > P) return raise_count(def, true, nargs), -1;
  } else if (nargs > P) {
    return raise_count(def, true, nargs), -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    int slot = -1;
    for (int i = (int)nargs; i < P && slot < 0; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, def->params[i].name) == 0)
        slot = i;
    }
    if (slot >= 0 && values[slot] == nullptr) {
      values[slot] = value;
      continue;
    }
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def->name);
      return -1;
    }
    bool earlier = slot >= 0;  // a keyword given twice
    for (int i = 0; i < nargs && !earlier; ++i)
      earlier = PyUnicode_CompareWithASCIIString(key, def->params[i].name) == 0;
    if (earlier)
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def->name,
                   key);
    else
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def->name, key);
    return -1;
  }
  for (int i = (int)nargs; i < P; ++i) {
    if (values[i]) continue;
    if (i < R) return raise_count(def, false, i), -1;
    values[i] = PyTuple_GET_ITEM(f->defaults, i - R);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Integer conversion

// Converts obj to a Python int by the interpreter's integer rules: an int (or
// subclass) as it is, anything else through its type's __int__.  Returns a
// new reference, or nullptr with TypeError set.
static inline PyObject* to_pyint(PyObject* obj) {
  if (PyLong_Check(obj)) return Py_NewRef(obj);
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (!nb || !nb->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyObject* v = nb->nb_int(obj);
  if (!v || PyLong_CheckExact(v)) return v;
  if (PyLong_Check(v)) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(v)->tp_name) < 0) {
      Py_DECREF(v);
      return nullptr;
    }
    return v;
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(v)->tp_name);
  Py_DECREF(v);
  return nullptr;
}

// Signed 32-bit conversion; -1 with an exception set on failure.
static inline int as_int32(PyObject* obj, int32_t* out) {
  PyObject* v = to_pyint(obj);
  if (!v) return -1;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  Py_DECREF(v);
  if (x == -1 && PyErr_Occurred()) return -1;
  if (overflow || x < INT32_MIN || x > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
  }
  *out = (int32_t)x;
  return 0;
}

// Signed 64-bit conversion; out-of-range ints raise the interpreter's own
// OverflowError.
static inline int as_int64(PyObject* obj, int64_t* out) {
  PyObject* v = to_pyint(obj);
  if (!v) return -1;
  long long x = PyLong_AsLongLong(v);
  Py_DECREF(v);
  if (x == -1 && PyErr_Occurred()) return -1;
  *out = (int64_t)x;
  return 0;
}

// ---------------------------------------------------------------------------
// Array type test and buffer views

// ndarray, a subclass of it, or None pass; anything else is a TypeError.
static inline int type_test(PyObject* obj, const char* argname) {
  if (obj == Py_None || PyObject_TypeCheck(obj, g_ndarray)) return 0;
  PyObject* empty = PyUnicode_FromString("");
  if (!empty) return -1;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
               argname, g_ndarray->tp_name, Py_TYPE(obj)->tp_name, "", empty);
  Py_DECREF(empty);
  return -1;
}

// A strided view of an accepted array: address of element (0, ..., 0), and
// per dimension the extent and the stride in bytes.
struct View {
  char* data = nullptr;
  int ndim = 0;
  Py_ssize_t shape[4] = {0, 0, 0, 0};
  Py_ssize_t strides[4] = {0, 0, 0, 0};
  PyObject* obj = nullptr;  // the array (borrowed; the caller keeps it alive)
  Py_buffer buf{};
  bool held = false;

  void release() {
    if (held) PyBuffer_Release(&buf);
    held = false;
  }
};

// Description of a format character in the dtype-mismatch message.
static inline const char* describe_format_char(char ch, bool complex_) {
  switch (ch) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return complex_ ? "'complex float'" : "'float'";
    case 'd': return complex_ ? "'complex double'" : "'double'";
    case 'g': return complex_ ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
  }
}

// Size of a format character in native ('@', '^') or standard ('=', '<')
// mode; 0 with ValueError set for characters outside the known set.
static inline Py_ssize_t format_char_size(char ch, bool complex_, bool standard) {
  const Py_ssize_t z = complex_ ? 2 : 1;
  switch (ch) {
    case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': return 4;
    case 'l': case 'L': return standard ? 4 : (Py_ssize_t)sizeof(long);
    case 'q': case 'Q': return 8;
    case 'f': return 4 * z;
    case 'd': return 8 * z;
    case 'g':
      if (standard) {
        PyErr_SetString(PyExc_ValueError,
                        "Python does not define a standard format string size for long double ('g')..");
        return 0;
      }
      return (Py_ssize_t)sizeof(long double) * z;
    case 'O': case 'P': return (Py_ssize_t)sizeof(void*);
    case 'T': return 1;  // only its description is ever needed
    default:
      PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", ch);
      return 0;
  }
}

// Kind of a format character: 'I' signed, 'U' unsigned, 'R' real, 'C'
// complex, 'O' object, anything else something no kernel accepts.
static inline char format_char_group(char ch, bool complex_) {
  switch (ch) {
    case 'b': case 'h': case 'i': case 'l': case 'q': return 'I';
    case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'f': case 'd': case 'g': return complex_ ? 'C' : 'R';
    case 'O': return 'O';
    default: return '?';
  }
}

static inline int raise_dtype_mismatch(const ElemType& t, bool matched, char ch, bool complex_) {
  PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", matched ? "" : "'",
               matched ? "end" : t.name, matched ? "" : "'", describe_format_char(ch, complex_));
  return -1;
}

// Checks that a buffer format describes exactly one element of type t.
static inline int check_format(const char* fmt, const ElemType& t) {
  bool standard = false;
  bool matched = false;
  const char* p = fmt ? fmt : "B";
  for (;;) {
    char ch = *p;
    switch (ch) {
      case '@': case '^': standard = false; ++p; continue;
      case '=': case '<': standard = true; ++p; continue;
      case '>': case '!':
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return -1;
      default: break;
    }
    if (ch == 0) {
      if (matched) return 0;
      return raise_dtype_mismatch(t, false, 0, false);
    }
    long count = 1;
    if (ch >= '0' && ch <= '9') {
      count = 0;
      while (*p >= '0' && *p <= '9') count = count * 10 + (*p++ - '0');
      ch = *p;
    }
    bool complex_ = false;
    if (ch == 'Z') {
      complex_ = true;
      ch = *++p;
    }
    if (ch == 0) return raise_dtype_mismatch(t, matched, 0, complex_);
    Py_ssize_t size = format_char_size(ch, complex_, standard);
    if (size == 0) return -1;
    if (matched || count != 1 || format_char_group(ch, complex_) != t.group || size != t.size)
      return raise_dtype_mismatch(t, matched, ch, complex_);
    matched = true;
    ++p;
  }
}

// Requests the buffer of obj (an ndarray, already type-tested) and checks the
// number of dimensions, the element format and the item size.
static inline int acquire_view(View& v, PyObject* obj, int ndim, const ElemType& t, bool writable) {
  v.obj = obj;
  if (obj == Py_None) return 0;
  int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(obj, &v.buf, flags) < 0) return -1;
  v.held = true;
  if (v.buf.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                 v.buf.ndim);
    return -1;
  }
  if (check_format(v.buf.format, t) < 0) return -1;
  if (v.buf.itemsize != t.size) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                 v.buf.itemsize, v.buf.itemsize > 1 ? "s" : "", t.name, t.size, t.size > 1 ? "s" : "");
    return -1;
  }
  v.data = (char*)v.buf.buf;
  v.ndim = ndim;
  for (int i = 0; i < ndim; ++i) {
    v.shape[i] = v.buf.shape[i];
    v.strides[i] = v.buf.strides[i];
  }
  return 0;
}

// ---------------------------------------------------------------------------
// One call

constexpr int kMaxViews = 8;
constexpr int kMaxOwned = 8;

// Everything a call acquires: views (released in acquisition order, so
// parameters first, results last) and working arrays (dropped at the end).
class Call {
 public:
  explicit Call(Function* f) : fn_(f), line(f->def->line) {}
  ~Call() {
    for (int i = 0; i < nviews_; ++i) views_[i].release();
    for (int i = 0; i < nowned_; ++i) Py_DECREF(owned_[i]);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Adds the traceback entry for the current line; returns nullptr so that a
  // body can write `return c.fail();`.
  PyObject* fail() {
    add_traceback(PyUnicode_AsUTF8(fn_->qualified), line, fn_->globals);
    return nullptr;
  }

  // Buffer view of an array object with the checks of the frame.
  View* view(PyObject* obj, int ndim, const ElemType& t, bool writable) {
    if (nviews_ == kMaxViews) {
      PyErr_SetString(PyExc_SystemError, "too many buffer views in one call");
      return nullptr;
    }
    View* v = &views_[nviews_++];
    if (acquire_view(*v, obj, ndim, t, writable) < 0) return nullptr;
    return v;
  }

  // Keeps a new reference alive until the end of the call.  Steals obj.
  PyObject* keep(PyObject* obj) {
    if (!obj) return nullptr;
    if (nowned_ == kMaxOwned) {
      Py_DECREF(obj);
      PyErr_SetString(PyExc_SystemError, "too many working arrays in one call");
      return nullptr;
    }
    owned_[nowned_++] = obj;
    return obj;
  }

  // The module attribute `np`, looked up now: module namespace, then the
  // builtins.  New reference.
  PyObject* np() {
    PyObject* name = PyUnicode_InternFromString("np");
    if (!name) return nullptr;
    PyObject* r = PyDict_GetItemWithError(fn_->globals, name);
    if (!r && !PyErr_Occurred()) r = PyDict_GetItemWithError(fn_->builtins, name);
    if (r) {
      Py_INCREF(r);
    } else if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    Py_DECREF(name);
    return r;
  }

  // np.<attr>, looked up now.  New reference.
  PyObject* np_attr(const char* attr) {
    PyObject* np_mod = np();
    if (!np_mod) return nullptr;
    PyObject* r = PyObject_GetAttrString(np_mod, attr);
    Py_DECREF(np_mod);
    return r;
  }

  // np.<fn>(*args, dtype=np.<dtype>) (no dtype keyword when dtype is
  // nullptr).  Steals args.  New reference.
  PyObject* np_call(const char* fn, PyObject* args, const char* dtype = nullptr,
                    PyObject* extra_kwargs = nullptr) {
    if (!args) return nullptr;
    PyObject* func = np_attr(fn);
    PyObject* kwargs = nullptr;
    PyObject* r = nullptr;
    if (!func) goto done;
    if (dtype || extra_kwargs) {
      kwargs = extra_kwargs ? PyDict_Copy(extra_kwargs) : PyDict_New();
      if (!kwargs) goto done;
      if (dtype) {
        PyObject* dt = np_attr(dtype);
        if (!dt) goto done;
        int rc = PyDict_SetItemString(kwargs, "dtype", dt);
        Py_DECREF(dt);
        if (rc < 0) goto done;
      }
    }
    r = PyObject_Call(func, args, kwargs);
  done:
    Py_XDECREF(func);
    Py_XDECREF(kwargs);
    Py_DECREF(args);
    return r;
  }

  // Result type test of an array returned by NumPy.  None is refused too: no
  // body may write to or read from it.  Steals obj; returns it kept alive
  // until the end of the call (borrowed), or nullptr.
  PyObject* check_array(PyObject* obj) {
    if (!obj) return nullptr;
    if (!PyObject_TypeCheck(obj, g_ndarray)) {
      PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
                   g_ndarray->tp_name);
      Py_DECREF(obj);
      return nullptr;
    }
    return keep(obj);
  }

  // np.<fn>(n, dtype=np.<dtype>), the extent given as a Python int.
  // Type-tested; borrowed reference valid until the end of the call.
  PyObject* alloc1(const char* fn, Py_ssize_t n, const char* dtype) {
    PyObject* extent = PyLong_FromSsize_t(n);
    if (!extent) return nullptr;
    PyObject* args = PyTuple_Pack(1, extent);
    Py_DECREF(extent);
    return check_array(np_call(fn, args, dtype));
  }

  // np.<fn>(shape, dtype=np.<dtype>) for fn "empty" or "zeros", type-tested.
  // Borrowed reference valid until the end of the call.
  PyObject* alloc(const char* fn, std::initializer_list<Py_ssize_t> shape, const char* dtype) {
    PyObject* tup = PyTuple_New((Py_ssize_t)shape.size());
    if (!tup) return nullptr;
    Py_ssize_t i = 0;
    for (Py_ssize_t e : shape) {
      PyObject* v = PyLong_FromSsize_t(e);
      if (!v) {
        Py_DECREF(tup);
        return nullptr;
      }
      PyTuple_SET_ITEM(tup, i++, v);
    }
    PyObject* args = PyTuple_Pack(1, tup);
    Py_DECREF(tup);
    return check_array(np_call(fn, args, dtype));
  }

  Function* function() const { return fn_; }

 private:
  Function* fn_;
  View views_[kMaxViews];
  int nviews_ = 0;
  PyObject* owned_[kMaxOwned];
  int nowned_ = 0;

 public:
  int line;  // traceback line of the statement being run
};

// The bound parameters of one call.
class Args {
 public:
  PyObject* obj[kMaxParams];
  int32_t i32[kMaxParams];
  View* view[kMaxParams];
};

// ---------------------------------------------------------------------------
// The call road: bind, convert, type-test, view, run the body.

static inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
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
    return def->body(c, a);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return c.fail();
}

// ---------------------------------------------------------------------------
// Module creation

// Replaces the pending exception by ImportError with the given text, keeping
// the original as its cause.
static inline void reraise_as_import_error(const char* text) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* msg = value ? PyUnicode_FromFormat("%s (%S)", text, value) : PyUnicode_FromString(text);
  PyObject* err = msg ? PyObject_CallOneArg(PyExc_ImportError, msg) : nullptr;
  Py_XDECREF(msg);
  if (err && value) {
    if (tb) PyException_SetTraceback(value, tb);
    PyException_SetCause(err, Py_NewRef(value));
    PyException_SetContext(err, Py_NewRef(value));
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  if (err) {
    PyErr_SetObject(PyExc_ImportError, err);
    Py_DECREF(err);
  }
}

// The module object, once its execution step has succeeded: a module is
// created and executed once per process, and importing it again (after it
// was removed from sys.modules) returns this same object.
static PyObject* g_module_obj = nullptr;
static PyInterpreterState* g_module_interp = nullptr;

static inline int module_exec_once(PyObject* module);

static inline int module_exec(PyObject* module) {
  if (module == g_module_obj) return 0;  // already executed
  if (module_exec_once(module) < 0) return -1;
  g_module_obj = Py_NewRef(module);
  g_module_interp = PyInterpreterState_Get();
  return 0;
}

static inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
  if (g_module_obj) {
    if (g_module_interp != PyInterpreterState_Get()) {
      PyErr_Format(PyExc_ImportError, "%s cannot be loaded in more than one interpreter", g_module->name);
      return nullptr;
    }
    return Py_NewRef(g_module_obj);
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  return m;
}

static inline int module_exec_once(PyObject* module) {
  PyObject* d = PyModule_GetDict(module);  // borrowed
  int line = 1;
  char initname[256];
  PyOS_snprintf(initname, sizeof initname, "init %s", g_module->name);
  {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return -1;
    int rc = PyDict_SetItemString(d, "__builtins__", builtins);
    Py_DECREF(builtins);
    if (rc < 0) return -1;
  }
  // NumPy's C-API: imports numpy._core._multiarray_umath (or the numpy.core
  // one on NumPy 1.x), takes its _ARRAY_API table and checks that the running
  // NumPy is compatible.  The headers' function reports a failure as an
  // exception only; their import_array macros would also print it.
  if (PyArray_API == nullptr && _import_array() < 0) {
    reraise_as_import_error("numpy.core.multiarray failed to import");
    add_traceback(initname, line, d);
    return -1;
  }
  {
    PyObject* numpy = PyImport_ImportModule("numpy");
    PyObject* nd = numpy ? PyObject_GetAttrString(numpy, "ndarray") : nullptr;
    Py_XDECREF(numpy);
    if (nd && !PyType_Check(nd)) {
      Py_DECREF(nd);
      nd = nullptr;
      PyErr_SetString(PyExc_TypeError, "numpy.ndarray is not a type");
    }
    if (!nd) {
      add_traceback(initname, line, d);
      return -1;
    }
    Py_XSETREF(g_ndarray, (PyTypeObject*)nd);
  }
  line = g_module->np_line;
  {
    PyObject* numpy = PyImport_ImportModule("numpy");
    int rc = numpy ? PyDict_SetItemString(d, "np", numpy) : -1;
    Py_XDECREF(numpy);
    if (rc < 0) {
      add_traceback(initname, line, d);
      return -1;
    }
  }
  line = 1;
  if (function_type_ready() < 0) {
    add_traceback(initname, line, d);
    return -1;
  }
  for (int i = 0; i < g_module->nfuncs; ++i) {
    const FuncDef* def = &g_module->funcs[i];
    line = def->line;
    PyObject* fn = function_new(def, d);
    int rc = fn ? PyDict_SetItemString(d, def->name, fn) : -1;
    Py_XDECREF(fn);
    if (rc < 0) {
      add_traceback(initname, line, d);
      return -1;
    }
  }
  line = 1;
  if (g_module->extra_init && g_module->extra_init(module) < 0) {
    add_traceback(initname, line, d);
    return -1;
  }
  PyObject* test = PyDict_New();
  int rc = test ? PyDict_SetItemString(d, "__test__", test) : -1;
  Py_XDECREF(test);
  if (rc < 0) {
    add_traceback(initname, line, d);
    return -1;
  }
  return 0;
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, (void*)module_create},
    {Py_mod_exec, (void*)module_exec},
    {0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
};
#pragma GCC diagnostic pop

// The PyInit_ entry point of a typed module: returns the multi-phase module
// definition; the interpreter then creates the module and runs module_exec.
static inline PyObject* module_init(const ModuleDecl* decl) {
  g_module = decl;
  module_def.m_name = decl->short_name;
  module_def.m_doc = decl->doc;
  module_def.m_size = 0;
  module_def.m_slots = module_slots;
  return PyModuleDef_Init(&module_def);
}

// ---------------------------------------------------------------------------
// Small helpers for bodies

// Element (i, j) of a 2-D view and (i, j, k, l) of a 4-D view, as typed
// pointers computed from the byte strides.
template <class T>
inline T* at(const View& v, Py_ssize_t i) {
  return (T*)(v.data + i * v.strides[0]);
}

}  // namespace kw

#endif  // KELPWISE_ACCEL_FRAME_HPP
