// The typed modules themselves: a module hands its short name, docstring
// and table of FuncDefs (typed.hpp) to module_init from its PyInit_ entry
// point; the interpreter then creates the module and runs its execution
// step, which imports NumPy and creates the functions.  A failure of that
// step raises with one traceback entry, "init kelpwise.accel.<name>".
//
// This is the frame's top header: a module's entry file includes it alone.
#ifndef KELPWISE_FRAME_MODULE_HPP
#define KELPWISE_FRAME_MODULE_HPP

#include "arrays.hpp"
#include "function.hpp"
#include "typed.hpp"

namespace frame {

struct ModuleDecl {
  const char* name;  // dotted name, "kelpwise.accel._tarsine"
  const char* file;  // traceback file name, "kelpwise/accel/_tarsine"
  const char* doc;
  const FuncDef* funcs;
  int nfuncs;
  int (*extra_init)(PyObject* module);  // optional, runs after the functions
};

// Traceback line of a failure to bind `np`: the module's `import numpy as
// np` is its line 4 (the lines of every other failure of the execution step
// are 1, or the function's own line).
constexpr int kImportNumpyLine = 4;

// The module's declaration, and its object once its execution step has
// succeeded: a module is created and executed once per process, and
// importing it again (after it was removed from sys.modules) returns this
// same object.
static const ModuleDecl* g_module = nullptr;
static PyObject* g_module_obj = nullptr;
static PyInterpreterState* g_module_interp = nullptr;

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

// numpy.ndarray, which must be a type, into g_ndarray.
static inline int take_ndarray_type() {
  PyObject* numpy = PyImport_ImportModule("numpy");
  PyObject* nd = numpy ? PyObject_GetAttrString(numpy, "ndarray") : nullptr;
  Py_XDECREF(numpy);
  if (!nd) return -1;
  if (!PyType_Check(nd)) {
    Py_DECREF(nd);
    PyErr_SetString(PyExc_TypeError, "numpy.ndarray is not a type");
    return -1;
  }
  Py_XSETREF(g_ndarray, (PyTypeObject*)nd);
  return 0;
}

// d[key] = value, value a new reference (nullptr: a failure already set).
static inline int set_new(PyObject* d, const char* key, PyObject* value) {
  if (!value) return -1;
  int rc = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  return rc;
}

// The execution step: the module's namespace filled in the order a Python
// module of the same source would fill it.
static inline int module_exec_once(PyObject* module) {
  PyObject* d = PyModule_GetDict(module);  // borrowed
  if (set_new(d, "__builtins__", PyImport_ImportModule("builtins")) < 0) return -1;
  int line = 1;
  // NumPy's C-API: imports numpy._core._multiarray_umath (or the numpy.core
  // one on NumPy 1.x), takes its _ARRAY_API table and checks that the running
  // NumPy is compatible.  The headers' function reports a failure as an
  // exception only; their import_array macros would also print it.
  if (PyArray_API == nullptr && _import_array() < 0) {
    reraise_as_import_error("numpy.core.multiarray failed to import");
    goto error;
  }
  if (take_ndarray_type() < 0) goto error;
  line = kImportNumpyLine;
  if (set_new(d, "np", PyImport_ImportModule("numpy")) < 0) goto error;
  line = 1;
  if (function_type_ready() < 0) goto error;
  for (int i = 0; i < g_module->nfuncs; ++i) {
    const FuncDef* def = &g_module->funcs[i];
    line = def->line;
    if (set_new(d, def->name, function_new(def, d, g_module->name, g_module->file)) < 0) goto error;
  }
  line = 1;
  if (g_module->extra_init && g_module->extra_init(module) < 0) goto error;
  if (set_new(d, "__test__", PyDict_New()) < 0) goto error;
  return 0;
error:
  char initname[256];
  PyOS_snprintf(initname, sizeof initname, "init %s", g_module->name);
  add_traceback(g_module->file, initname, line, d);
  return -1;
}

static inline int module_exec(PyObject* module) {
  if (module == g_module_obj) return 0;  // already executed
  if (module_exec_once(module) < 0) return -1;
  g_module_obj = Py_NewRef(module);
  g_module_interp = PyInterpreterState_Get();
  return 0;
}

static inline PyObject* module_create(PyObject* import_spec, PyModuleDef*) {
  if (g_module_obj) {
    if (g_module_interp != PyInterpreterState_Get()) {
      PyErr_Format(PyExc_ImportError, "%s cannot be loaded in more than one interpreter", g_module->name);
      return nullptr;
    }
    return Py_NewRef(g_module_obj);
  }
  PyObject* name = PyObject_GetAttrString(import_spec, "name");
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  return m;
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

// The PyInit_ entry point of the typed module kelpwise.accel.<short_name>
// (traceback file kelpwise/accel/<short_name>): returns the multi-phase
// module definition; the interpreter then creates the module and runs
// module_exec.
template <size_t N>
static inline PyObject* module_init(const char* short_name, const char* doc, const FuncDef (&funcs)[N],
                                    int (*extra_init)(PyObject*) = nullptr) {
  static char name[64], file[64];
  static ModuleDecl decl;
  PyOS_snprintf(name, sizeof name, "kelpwise.accel.%s", short_name);
  PyOS_snprintf(file, sizeof file, "kelpwise/accel/%s", short_name);
  decl = {name, file, doc, funcs, (int)N, extra_init};
  g_module = &decl;
  module_def.m_name = short_name;
  module_def.m_doc = doc;
  module_def.m_size = 0;
  module_def.m_slots = module_slots;
  return PyModuleDef_Init(&module_def);
}

}  // namespace frame

#endif  // KELPWISE_FRAME_MODULE_HPP
