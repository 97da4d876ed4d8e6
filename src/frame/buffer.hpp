// Array arguments of the typed modules: the type test, buffer views and
// the parser of buffer formats.
#ifndef KELPWISE_FRAME_BUFFER_HPP
#define KELPWISE_FRAME_BUFFER_HPP

#include "../kernels/strided.hpp"
#include "decl.hpp"

#include <initializer_list>

namespace kw {

// ndarray, a subclass of it, or None pass; anything else is a TypeError.
static inline int type_test(PyObject* obj, const char* argname) {
  if (obj == Py_None || PyObject_TypeCheck(obj, g_ndarray)) return 0;
  PyObject* empty = PyUnicode_FromString("");
  if (!empty) return -1;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", argname,
               g_ndarray->tp_name, Py_TYPE(obj)->tp_name, "", empty);
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

  // What a kernel reads: the address, extents and strides of this view.
  template <int N>
  kernels::StridedView<N> strided() const {
    kernels::StridedView<N> v;
    v.data = data;
    for (int i = 0; i < N; ++i) {
      v.shape[i] = shape[i];
      v.strides[i] = strides[i];
    }
    return v;
  }
  // True when the extents are these.
  bool has_shape(std::initializer_list<Py_ssize_t> dims) const {
    int i = 0;
    for (Py_ssize_t d : dims)
      if (shape[i++] != d) return false;
    return true;
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
    case '?':
    case 'c':
    case 'b':
    case 'B':
    case 's':
    case 'p': return 1;
    case 'h':
    case 'H': return 2;
    case 'i':
    case 'I': return 4;
    case 'l':
    case 'L': return standard ? 4 : (Py_ssize_t)sizeof(long);
    case 'q':
    case 'Q': return 8;
    case 'f': return 4 * z;
    case 'd': return 8 * z;
    case 'g':
      if (standard) {
        PyErr_SetString(PyExc_ValueError,
                        "Python does not define a standard format string size for long double ('g')..");
        return 0;
      }
      return (Py_ssize_t)sizeof(long double) * z;
    case 'O':
    case 'P': return (Py_ssize_t)sizeof(void*);
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
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q': return 'I';
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q': return 'U';
    case 'f':
    case 'd':
    case 'g': return complex_ ? 'C' : 'R';
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
      case '@':
      case '^':
        standard = false;
        ++p;
        continue;
      case '=':
      case '<':
        standard = true;
        ++p;
        continue;
      case '>':
      case '!':
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
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, v.buf.ndim);
    return -1;
  }
  if (check_format(v.buf.format, t) < 0) return -1;
  if (v.buf.itemsize != t.size) {
    PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
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

}  // namespace kw

#endif  // KELPWISE_FRAME_BUFFER_HPP
