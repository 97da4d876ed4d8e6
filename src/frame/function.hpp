// The function objects of the typed modules: a small type of their own that
// behaves like a Python function (attributes, signature, method binding,
// pickling by reference) and calls through the vectorcall protocol.
#ifndef KELPWISE_FRAME_FUNCTION_HPP
#define KELPWISE_FRAME_FUNCTION_HPP

#include <structmember.h>

#include <array>
#include <cstddef>

#include "decl.hpp"

namespace kw {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
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

}  // namespace kw

#endif  // KELPWISE_FRAME_FUNCTION_HPP
