// The scope of one call: it owns what the call acquires (buffer views,
// working arrays), releases it on every way out, and knows the traceback
// line of the statement being run.
#ifndef KELPWISE_FRAME_CALL_HPP
#define KELPWISE_FRAME_CALL_HPP

#include <cstddef>

#include "buffer.hpp"
#include "decl.hpp"
#include "function.hpp"
#include "traceback.hpp"

namespace kw {

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

constexpr int kMaxViews = 8;
constexpr int kMaxOwned = 8;

// Views are released in acquisition order (parameters first, results
// last); working arrays are dropped at the end.
class Call {
 public:
  explicit Call(Function* f) : fn_(f), line(f->def->line) {}
  ~Call() {
    for (int i = 0; i < nviews_; ++i) views_[i].release();
    for (int i = 0; i < nowned_; ++i) Py_DECREF(owned_[i]);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Adds the traceback entry for the current line; returns nullptr so that
  // a body can write `return c.fail();`.
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

}  // namespace kw

#endif  // KELPWISE_FRAME_CALL_HPP
