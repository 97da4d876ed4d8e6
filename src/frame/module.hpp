// Creation and execution of a typed module.
#ifndef KELPWISE_FRAME_MODULE_HPP
#define KELPWISE_FRAME_MODULE_HPP

#include "decl.hpp"
#include "function.hpp"
#include "traceback.hpp"
#include "typed.hpp"

namespace kw {

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
    PyObject* fn = nullptr;
    if (body_matches(def))
      fn = function_new(def, d);
    else
      PyErr_Format(PyExc_SystemError, "%s(): its body does not take the parameters it declares", def->name);
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

// The PyInit_ entry point of the typed module kelpwise.accel.<short_name>
// (traceback file kelpwise/accel/<short_name>, `import numpy as np` on line
// 4): returns the multi-phase module definition; the interpreter then
// creates the module and runs module_exec.
template <size_t N>
static inline PyObject* module_init(const char* short_name, const char* doc, const FuncDef (&funcs)[N],
                                    int (*extra_init)(PyObject*) = nullptr) {
  static char name[64], file[64];
  static ModuleDecl decl;
  PyOS_snprintf(name, sizeof name, "kelpwise.accel.%s", short_name);
  PyOS_snprintf(file, sizeof file, "kelpwise/accel/%s", short_name);
  decl = {name, short_name, file, doc, funcs, (int)N, 4, extra_init};
  g_module = &decl;
  module_def.m_name = short_name;
  module_def.m_doc = doc;
  module_def.m_size = 0;
  module_def.m_slots = module_slots;
  return PyModuleDef_Init(&module_def);
}

}  // namespace kw

#endif  // KELPWISE_FRAME_MODULE_HPP
