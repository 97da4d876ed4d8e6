// Argument binding and integer conversion of the typed modules.
#ifndef KELPWISE_FRAME_BINDING_HPP
#define KELPWISE_FRAME_BINDING_HPP

#include <cstdint>

#include "decl.hpp"
#include "function.hpp"

namespace kw {

constexpr int kMaxParams = 8;

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
  for (int i = (int)nargs; i < P; ++i) {
    if (values[i]) continue;
    if (i < R) return raise_count(def, false, i), -1;
    values[i] = PyTuple_GET_ITEM(f->defaults, i - R);
  }
  return 0;
}

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

}  // namespace kw

#endif  // KELPWISE_FRAME_BINDING_HPP
