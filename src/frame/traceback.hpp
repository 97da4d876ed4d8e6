// Traceback entries of the typed modules.
#ifndef KELPWISE_FRAME_TRACEBACK_HPP
#define KELPWISE_FRAME_TRACEBACK_HPP

#include <frameobject.h>

#include "decl.hpp"

namespace kw {

// Adds one traceback entry (funcname, the module's file, line) to the
// exception being raised; the exception itself is kept unchanged.
static inline void add_traceback(const char* funcname, int line, PyObject* globals) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty(g_module->file, funcname, line);
  PyFrameObject* frame = nullptr;
  if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals ? globals : PyEval_GetBuiltins(), nullptr);
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

}  // namespace kw

#endif  // KELPWISE_FRAME_TRACEBACK_HPP
