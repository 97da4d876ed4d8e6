// Arrays at the boundary of the typed modules: the element types, the
// ndarray type test, buffer views and the parser of buffer formats, scratch
// memory, and the NumPy functions a body calls through the module attribute
// `np`.
//
// Helpers here report failure as CPython's do: an exception set and a -1 or
// null result.  None adds a traceback entry; the body that called them adds
// it, naming its line.
#ifndef KELPWISE_FRAME_ARRAYS_HPP
#define KELPWISE_FRAME_ARRAYS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>

#include "../kernels/strided.hpp"

namespace frame {

// Element type of an array parameter or result, as the buffer checks see it.
struct ElemType {
  const char* name;  // name used in error messages ("DTYPE_t")
  char group;        // 'R' real, 'I' signed integer
  Py_ssize_t size;   // bytes per element
};

inline constexpr ElemType DTYPE{"DTYPE_t", 'R', 8};  // float64
inline constexpr ElemType ITYPE{"ITYPE_t", 'I', 8};  // intp
inline constexpr ElemType INT{"INT_t", 'I', 8};      // int64

// numpy.ndarray, taken by the module's execution step (one per module: each
// typed module is one translation unit).
static PyTypeObject* g_ndarray = nullptr;

// ndarray, a subclass of it, or None pass; anything else is a TypeError.
static inline int type_test(PyObject* obj, const char* argname) {
  if (obj == Py_None || PyObject_TypeCheck(obj, g_ndarray)) return 0;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
               g_ndarray->tp_name, Py_TYPE(obj)->tp_name);
  return -1;
}

// An array that NumPy returned must be an ndarray (or a subclass).
static inline int require_ndarray(PyObject* obj) {
  if (PyObject_TypeCheck(obj, g_ndarray)) return 0;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, g_ndarray->tp_name);
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
    return kernels::StridedView<N>::over(data, shape, strides);
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
  int allocate(Py_ssize_t count) {
    if (count <= cap_) return 0;
    PyMem_Free(p_);
    p_ = nullptr;
    cap_ = 0;
    size_t bytes;
    if (__builtin_mul_overflow((size_t)count, sizeof(T), &bytes) || bytes > (size_t)PY_SSIZE_T_MAX) {
      PyErr_NoMemory();
      return -1;
    }
    p_ = static_cast<T*>(PyMem_Malloc(bytes));
    if (!p_) {
      PyErr_NoMemory();
      return -1;
    }
    cap_ = count;
    return 0;
  }
  T* get() const { return p_; }
  T& operator[](Py_ssize_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
  Py_ssize_t cap_ = 0;
};

// What one call holds of arrays: its buffer views and the working arrays it
// made, released on every way out (views in acquisition order, parameters
// first), and the namespaces in which it looks up `np`.
class CallArrays {
 public:
  static constexpr int kMaxViews = 8;
  static constexpr int kMaxOwned = 8;

  // globals and builtins are borrowed: the function holds them.
  CallArrays(PyObject* globals, PyObject* builtins) : globals_(globals), builtins_(builtins) {}
  ~CallArrays() {
    for (int i = 0; i < nviews_; ++i) views_[i].release();
    for (int i = 0; i < nowned_; ++i) Py_DECREF(owned_[i]);
  }
  CallArrays(const CallArrays&) = delete;
  CallArrays& operator=(const CallArrays&) = delete;

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

  PyObject* globals() const { return globals_; }
  PyObject* builtins() const { return builtins_; }

 private:
  PyObject* globals_;
  PyObject* builtins_;
  View views_[kMaxViews];
  int nviews_ = 0;
  PyObject* owned_[kMaxOwned];
  int nowned_ = 0;
};

// NumPy functions reached through the module attribute `np`, looked up at
// each use: first in the module's namespace, then in its builtins.
// Rebinding `np` therefore changes which module allocates.
namespace np {

// The module attribute `np` (NameError when neither namespace has it).  New
// reference.
static inline PyObject* module(CallArrays& c) {
  PyObject* name = PyUnicode_InternFromString("np");
  if (!name) return nullptr;
  PyObject* r = PyDict_GetItemWithError(c.globals(), name);
  if (!r && !PyErr_Occurred() && c.builtins()) r = PyDict_GetItemWithError(c.builtins(), name);
  if (r) {
    Py_INCREF(r);
  } else if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  Py_DECREF(name);
  return r;
}

// np.<attr>, looked up now.  New reference.
static inline PyObject* attr(CallArrays& c, const char* name) {
  PyObject* np_mod = module(c);
  if (!np_mod) return nullptr;
  PyObject* r = PyObject_GetAttrString(np_mod, name);
  Py_DECREF(np_mod);
  return r;
}

// np.<fn>(*args, dtype=np.<dtype>, **extra) (no dtype keyword when dtype is
// nullptr).  Steals args.  New reference.
static inline PyObject* call(CallArrays& c, const char* fn, PyObject* args, const char* dtype = nullptr,
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

// Result type test of an array returned by NumPy (see require_ndarray).
// None is refused too: no body may write to or read from it.  Steals obj;
// returns it kept alive until the end of the call (borrowed), or nullptr.
static inline PyObject* checked(CallArrays& c, PyObject* obj) {
  if (!obj) return nullptr;
  if (require_ndarray(obj) < 0) {
    Py_DECREF(obj);
    return nullptr;
  }
  return c.keep(obj);
}

// np.<fn>(shape, dtype=np.<dtype>) for fn "empty" or "zeros", the shape a
// tuple of Python ints; type-tested, borrowed until the end of the call.
static inline PyObject* alloc(CallArrays& c, const char* fn, std::initializer_list<Py_ssize_t> shape,
                              const char* dtype) {
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
static inline PyObject* alloc1(CallArrays& c, const char* fn, Py_ssize_t n, const char* dtype) {
  PyObject* extent = PyLong_FromSsize_t(n);
  if (!extent) return nullptr;
  PyObject* args = PyTuple_Pack(1, extent);
  Py_DECREF(extent);
  return checked(c, call(c, fn, args, dtype));
}

}  // namespace np

}  // namespace frame

#endif  // KELPWISE_FRAME_ARRAYS_HPP
