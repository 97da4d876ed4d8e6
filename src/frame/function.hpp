// The function objects of the typed modules and the road of their calls.
//
// A function is declared by a FuncDef (its parameters, defaults, docstring,
// traceback lines and typed body).  Its object is a small type of its own
// that behaves like a Python function (attributes, signature, method
// binding, pickling by reference) and is called through the vectorcall
// protocol: the arguments are bound, the 32-bit integer parameters
// converted, the array parameters type-tested and viewed, and the typed
// body run in a Call, the scope that owns what the call acquires and adds
// the traceback entries of its failures.
#ifndef KELPWISE_FRAME_FUNCTION_HPP
#define KELPWISE_FRAME_FUNCTION_HPP

#include <frameobject.h>
#include <structmember.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "arrays.hpp"

namespace frame {

// --------------------------------------------------------------------------
// Declarations

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

constexpr int kMaxParams = 8;

class Call;
struct Args;

struct FuncDef {
  const char* name;
  const Param* params = nullptr;
  int nparams = 0;
  int nrequired = 0;                          // the first nrequired parameters have no default
  const long* defaults = nullptr;             // integer defaults of the trailing parameters
  const char* doc = nullptr;                  // nullptr: __doc__ is None
  int line = 0;                               // traceback line of binding and array checks
  int conv_line = 0;                          // traceback line of integer conversion
  PyObject* (*body)(Call&, Args&) = nullptr;  // the typed body (typed.hpp)
};

// --------------------------------------------------------------------------
// Traceback entries

// Adds one traceback entry (funcname, file, line) to the exception being
// raised; the exception itself is kept unchanged.
static inline void add_traceback(const char* file, const char* funcname, int line, PyObject* globals) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty(file, funcname, line);
  PyFrameObject* entry = nullptr;
  if (code) entry = PyFrame_New(PyThreadState_Get(), code, globals ? globals : PyEval_GetBuiltins(), nullptr);
  if (!entry) {
    // Could not build the entry: keep the original exception.
    Py_XDECREF(code);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_Restore(type, value, tb);
  PyTraceBack_Here(entry);
  Py_DECREF(entry);
  Py_DECREF(code);
}

// --------------------------------------------------------------------------
// The function object

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FuncDef* def;
  const char* file;  // traceback file of the module, "kelpwise/accel/_tarsine"
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

// The references that can take part in a cycle (the module namespace holds
// the function, the function its namespace).
static inline std::array<PyObject**, 4> gc_refs(Function* f) {
  return {&f->globals, &f->builtins, &f->defaults, &f->signature};
}

static inline int function_traverse(Function* f, visitproc visit, void* arg) {
  for (PyObject** ref : gc_refs(f)) Py_VISIT(*ref);
  return 0;
}

static inline int function_clear(Function* f) {
  for (PyObject** ref : gc_refs(f)) Py_CLEAR(*ref);
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
static inline PyObject* function_reduce(Function* f, PyObject*) {
  return Py_NewRef(f->qualname);
}

static PyMethodDef function_methods[] = {
    {"__reduce__", (PyCFunction)function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --------------------------------------------------------------------------
// Argument binding and integer conversion

// The count message: the word, the number and the number given follow the
// rules of the frame ("exactly" when every parameter is required).
static inline void raise_count(const FuncDef* def, bool too_many, Py_ssize_t given) {
  const bool exact = def->nrequired == def->nparams;
  Py_ssize_t number = too_many ? def->nparams : def->nrequired;
  const char* word = exact ? "exactly" : (too_many ? "at most" : "at least");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def->name, word, number,
               number == 1 ? "" : "s", given);
}

// Fills values[0..nparams) with borrowed references; defaults come from the
// function's defaults tuple.  Returns -1 with an exception set on failure.
static inline int bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 PyObject** values) {
  const FuncDef* def = f->def;
  const int nparams = def->nparams, nrequired = def->nrequired;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (int i = 0; i < nparams; ++i) values[i] = nullptr;
  if (nkw == 0) {
    if (nargs < nrequired) return raise_count(def, false, nargs), -1;
    if (nargs > nparams) return raise_count(def, true, nargs), -1;
  } else if (nargs > nparams) {
    return raise_count(def, true, nargs), -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    int slot = -1;
    for (int i = (int)nargs; i < nparams && slot < 0; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, def->params[i].name) == 0) slot = i;
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
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def->name, key);
    else
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def->name, key);
    return -1;
  }
  for (int i = (int)nargs; i < nparams; ++i) {
    if (values[i]) continue;
    if (i < nrequired) return raise_count(def, false, i), -1;
    values[i] = PyTuple_GET_ITEM(f->defaults, i - nrequired);
  }
  return 0;
}

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

// --------------------------------------------------------------------------
// The call

// The scope of one call: the arrays it holds (CallArrays) and the traceback
// entries of its failures.  A body fails at a line it names:
// `return c.fail(L::cols);` after a helper set the exception, or
// `return c.raise(L::args, PyExc_ValueError, "...", ...);`.
class Call : public CallArrays {
 public:
  explicit Call(Function* f) : CallArrays(f->globals, f->builtins), fn_(f) {}

  // Adds the traceback entry of this function at `line` to the exception
  // being raised; returns nullptr.
  PyObject* fail(int line) const {
    add_traceback(fn_->file, PyUnicode_AsUTF8(fn_->qualified), line, fn_->globals);
    return nullptr;
  }

  // Raises exc with a PyUnicode_FromFormat message at `line`; returns nullptr.
  PyObject* raise(int line, PyObject* exc, const char* fmt, ...) const {
    va_list va;
    va_start(va, fmt);
    PyObject* msg = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    if (msg) {
      PyErr_SetObject(exc, msg);
      Py_DECREF(msg);
    }
    return fail(line);
  }

 private:
  Function* fn_;
};

// The bound parameters of one call, by position.
struct Args {
  PyObject* obj[kMaxParams];
  int32_t i32[kMaxParams];
  View* view[kMaxParams];
};

static inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Function* f = (Function*)self;
  const FuncDef* def = f->def;
  Call c(f);
  Args a;
  if (bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, a.obj) < 0) return c.fail(def->line);
  for (int i = 0; i < def->nparams; ++i) {
    a.view[i] = nullptr;
    if (def->params[i].kind == Kind::Int32 && as_int32(a.obj[i], &a.i32[i]) < 0) return c.fail(def->conv_line);
  }
  for (int i = 0; i < def->nparams; ++i) {
    if (def->params[i].kind == Kind::Array && type_test(a.obj[i], def->params[i].name) < 0)
      return nullptr;  // no traceback entry for a failed type test
  }
  // None passes the type test but is never read as an array.
  for (int i = 0; i < def->nparams; ++i) {
    if (def->params[i].kind == Kind::Array && a.obj[i] == Py_None)
      return c.raise(def->line, PyExc_TypeError, "Argument '%.200s' must not be None", def->params[i].name);
  }
  for (int i = 0; i < def->nparams; ++i) {
    const Param& p = def->params[i];
    if (p.kind != Kind::Array) continue;
    a.view[i] = c.view(a.obj[i], p.ndim, *p.type, false);
    if (!a.view[i]) return c.fail(def->line);
  }
  // A C++ exception must not cross into the interpreter, where it would end
  // the process.  The bodies allocate through Scratch and NumPy and throw
  // nothing; should one throw all the same, a failed allocation becomes
  // MemoryError, anything else SystemError, at the function's line.
  try {
    return def->body(c, a);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return c.fail(def->line);
}

// --------------------------------------------------------------------------
// The type and its instances

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
  FunctionType.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  FunctionType.tp_traverse = (traverseproc)function_traverse;
  FunctionType.tp_clear = (inquiry)function_clear;
  FunctionType.tp_members = function_members;
  FunctionType.tp_getset = function_getset;
  FunctionType.tp_methods = function_methods;
  FunctionType.tp_descr_get = function_descr_get;
  return PyType_Ready(&FunctionType);
}

// The function of def in the module `module_name` (traceback file `file`),
// whose namespace is globals.
static inline PyObject* function_new(const FuncDef* def, PyObject* globals, const char* module_name, const char* file) {
  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) return nullptr;
  f->vectorcall = function_vectorcall;
  f->def = def;
  f->file = file;
  f->name = PyUnicode_FromString(def->name);
  f->qualname = Py_XNewRef(f->name);
  f->module_name = PyUnicode_FromString(module_name);
  f->doc = def->doc ? PyUnicode_FromString(def->doc) : Py_NewRef(Py_None);
  f->globals = Py_NewRef(globals);
  f->builtins = nullptr;
  f->defaults = nullptr;
  f->signature = nullptr;
  f->qualified = PyUnicode_FromFormat("%s.%s", module_name, def->name);
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

}  // namespace frame

#endif  // KELPWISE_FRAME_FUNCTION_HPP
