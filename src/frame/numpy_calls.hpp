// NumPy functions reached through the module attribute `np`, looked up at
// each use: first in the module's namespace, then in its builtins.
// Rebinding `np` therefore changes which module allocates.
#ifndef KELPWISE_FRAME_NUMPY_CALLS_HPP
#define KELPWISE_FRAME_NUMPY_CALLS_HPP

#include <initializer_list>

#include "call.hpp"

namespace kw::np {

// The module attribute `np` (NameError when neither namespace has it).  New
// reference.
static inline PyObject* module(Call& c) {
  PyObject* name = PyUnicode_InternFromString("np");
  if (!name) return nullptr;
  Function* f = c.function();
  PyObject* r = PyDict_GetItemWithError(f->globals, name);
  if (!r && !PyErr_Occurred() && f->builtins) r = PyDict_GetItemWithError(f->builtins, name);
  if (r) {
    Py_INCREF(r);
  } else if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  Py_DECREF(name);
  return r;
}

// np.<attr>, looked up now.  New reference.
static inline PyObject* attr(Call& c, const char* name) {
  PyObject* np_mod = module(c);
  if (!np_mod) return nullptr;
  PyObject* r = PyObject_GetAttrString(np_mod, name);
  Py_DECREF(np_mod);
  return r;
}

// np.<fn>(*args, dtype=np.<dtype>, **extra) (no dtype keyword when dtype is
// nullptr).  Steals args.  New reference.
static inline PyObject* call(Call& c, const char* fn, PyObject* args, const char* dtype = nullptr,
                             PyObject* extra_kwargs = nullptr) {
  if (!args) return nullptr;
  PyObject* func = attr(c, fn);
  PyObject* kwargs = nullptr;
  PyObject* r = nullptr;
  if (!func) goto done;
  if (dtype || extra_kwargs) {
    kwargs = extra_kwargs ? PyDict_Copy(extra_kwargs) : PyDict_New();
    if (!kwargs) goto done;
    if (dtype) {
      PyObject* dt = attr(c, dtype);
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

// Result type test of an array returned by NumPy: an ndarray (or subclass),
// else TypeError "Cannot convert ...".  None is refused too: no body may
// write to or read from it.  Steals obj; returns it kept alive until the
// end of the call (borrowed), or nullptr.
static inline PyObject* checked(Call& c, PyObject* obj) {
  if (!obj) return nullptr;
  if (!PyObject_TypeCheck(obj, g_ndarray)) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, g_ndarray->tp_name);
    Py_DECREF(obj);
    return nullptr;
  }
  return c.keep(obj);
}

// np.<fn>(shape, dtype=np.<dtype>) for fn "empty" or "zeros", the shape a
// tuple of Python ints; type-tested, borrowed until the end of the call.
static inline PyObject* alloc(Call& c, const char* fn, std::initializer_list<Py_ssize_t> shape, const char* dtype) {
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
  return checked(c, call(c, fn, args, dtype));
}

// np.<fn>(n, dtype=np.<dtype>), the extent given as a Python int.
static inline PyObject* alloc1(Call& c, const char* fn, Py_ssize_t n, const char* dtype) {
  PyObject* extent = PyLong_FromSsize_t(n);
  if (!extent) return nullptr;
  PyObject* args = PyTuple_Pack(1, extent);
  Py_DECREF(extent);
  return checked(c, call(c, fn, args, dtype));
}

}  // namespace kw::np

#endif  // KELPWISE_FRAME_NUMPY_CALLS_HPP
