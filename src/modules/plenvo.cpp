// kelpwise.accel._plenvo: im2col/col2im and max pooling (forward and
// backward) for channels-last image batches (N, H, W, C).
#include <cstdint>
#include <initializer_list>

#include "../frame/module.hpp"
#include "../kernels/pooling.hpp"
#include "../kernels/windows.hpp"

namespace {

using frame::View;
using kernels::ssize;

// Traceback line of each failing statement: the fixed source lines of the
// module (kelpwise/accel/_plenvo).  tests/support.py (FUNCS: binding and
// conversion) and tests/test_plenvo.py (refusals, shape items, NumPy
// failures) hold them.
namespace lines {
namespace im2col {
constexpr int args = 13;        // binding, conversion, checks of X; refusals
constexpr int pad_copy = 27;    // pad > 0: contiguous copy, np.pad, checks of X_pad
constexpr int pad_widths = 28;  // pad > 0: the pad-width tuples
constexpr int copy = 31;        // pad <= 0: contiguous copy and its checks
constexpr int cols = 33;        // allocation and checks of cols
constexpr int view_x = 34, view_cols = 35, result = 47;
}  // namespace im2col
namespace col2im {
constexpr int args = 50;   // binding, conversion, checks of cols; refusals
constexpr int shape = 51;  // shape[0] .. shape[3] at 51 .. 54
constexpr int dx = 57;     // allocation and checks of dX_pad
constexpr int view_dx = 58, view_cols = 59, border = 73;
}  // namespace col2im
namespace forward {
constexpr int args = 77;  // binding, conversion, checks of X; refusals
constexpr int out = 84, argmax = 85;
constexpr int view_x = 86;  // contiguous copy of X and its view
constexpr int view_out = 87, view_argmax = 88, result = 111;
}  // namespace forward
namespace backward {
constexpr int args = 114;   // binding, checks of grad and argmax; refusals
constexpr int conv = 115;   // conversion of k and stride
constexpr int shape = 116;  // shape[0] .. shape[3] at 116 .. 119
constexpr int dx = 122;
constexpr int view_grad = 123;  // contiguous copy of grad and its view
constexpr int argmax = 124;     // contiguous copy of argmax, its view, the private copy and its checks
constexpr int view_dx = 125;
}  // namespace backward
}  // namespace lines

// The window parameters, each at least 1; for a square window (pooling) kh
// and kw are both k.
int check_window_params(int32_t kh, int32_t kw, int32_t stride, bool square) {
  if (kh >= 1 && kw >= 1 && stride >= 1) return 0;
  if (square)
    PyErr_Format(PyExc_ValueError, "k and stride must be at least 1 (got %d, %d)", kh, stride);
  else
    PyErr_Format(PyExc_ValueError, "kh, kw and stride must be at least 1 (got %d, %d, %d)", kh, kw, stride);
  return -1;
}

// The bordered extents H + 2*pad and W + 2*pad, checked for int64 overflow.
int bordered(ssize H, ssize W, int32_t pad, ssize& Hp, ssize& Wp) {
  if (!__builtin_add_overflow(H, 2 * (ssize)pad, &Hp) && !__builtin_add_overflow(W, 2 * (ssize)pad, &Wp)) return 0;
  PyErr_Format(PyExc_ValueError, "H + 2*pad or W + 2*pad does not fit in 64 bits (H=%zd, W=%zd, pad=%zd)", H, W,
               (ssize)pad);
  return -1;
}

// The OH x OW grid of positions of a kh x kw window moving by stride over an
// H x W image (bordered or not, as the message says); the window must fit.
int window_grid(int32_t kh, int32_t kw, int32_t stride, ssize H, ssize W, bool padded, ssize& OH, ssize& OW) {
  if (kh > H || kw > W) {
    PyErr_Format(PyExc_ValueError, "a %dx%d window does not fit the %zdx%zd %simage", kh, kw, H, W,
                 padded ? "padded " : "");
    return -1;
  }
  OH = (H - kh) / stride + 1;
  OW = (W - kw) / stride + 1;
  return 0;
}

// Item i of shape as a 64-bit integer (shape is indexed as a sequence, or
// through __getitem__ when it is none).
int read_shape_item(PyObject* shape, Py_ssize_t i, int64_t* out) {
  PyObject* item = nullptr;
  if (PySequence_Check(shape)) {
    item = PySequence_GetItem(shape, i);
  } else {
    PyObject* key = PyLong_FromSsize_t(i);
    if (!key) return -1;
    item = PyObject_GetItem(shape, key);
    Py_DECREF(key);
  }
  if (!item) return -1;
  int rc = frame::as_int64(item, out);
  Py_DECREF(item);
  return rc;
}

// np.<fn>(shape, dtype=np.<dtype>), type-tested and checked as an array of
// t; nullptr with an exception set.
PyObject* allocate(frame::Call& c, const char* fn, std::initializer_list<ssize> shape, const char* dtype,
                   const frame::ElemType& t) {
  PyObject* arr = frame::np::alloc(c, fn, shape, dtype);
  return arr && c.view(arr, (int)shape.size(), t, false) ? arr : nullptr;
}

// The view with write access that a kernel works through, on arr (or on
// np.ascontiguousarray(arr, dtype=np.<dtype>) when dtype is given), which
// must have `shape`: the kernel uses only this view's extents and strides,
// and Python code has run since the shape was worked out.  nullptr with an
// exception set.
View* working_view(frame::Call& c, PyObject* arr, const frame::ElemType& t, std::initializer_list<ssize> shape,
                   const char* what, const char* dtype = nullptr) {
  if (dtype) arr = frame::np::checked(c, frame::np::call(c, "ascontiguousarray", PyTuple_Pack(1, arr), dtype));
  View* v = arr ? c.view(arr, (int)shape.size(), t, true) : nullptr;
  if (!v || v->has_shape(shape)) return v;
  PyErr_Format(PyExc_ValueError, "numpy returned a %s array of an unexpected shape", what);
  return nullptr;
}

// --------------------------------------------------------------------------

PyObject* im2col_impl(frame::Call& c, const View& X, int32_t kh, int32_t kw, int32_t stride, int32_t pad) {
  namespace L = lines::im2col;
  const ssize N = X.shape[0], H = X.shape[1], W = X.shape[2], C = X.shape[3];
  ssize Hp, Wp, OH, OW;
  if (bordered(H, W, pad, Hp, Wp) < 0 || check_window_params(kh, kw, stride, false) < 0 ||
      window_grid(kh, kw, stride, Hp, Wp, true, OH, OW) < 0)
    return c.fail(L::args);
  ssize rows, ncols, bytes;
  if (!kernels::checked_product(rows, {N, OH, OW}) || !kernels::checked_product(ncols, {kh, kw, C}) ||
      !kernels::checked_product(bytes, {rows, ncols, 8}))
    return c.raise(L::args, PyExc_ValueError, "the patch matrix is too large");

  PyObject* X_pad;
  if (pad > 0) {
    PyObject* contig = frame::np::call(c, "ascontiguousarray", PyTuple_Pack(1, X.obj), "float64");
    if (!contig) return c.fail(L::pad_copy);
    PyObject* widths = Py_BuildValue("((ii)(ii)(ii)(ii))", 0, 0, pad, pad, pad, pad, 0, 0);
    if (!widths) {
      Py_DECREF(contig);
      return c.fail(L::pad_widths);
    }
    PyObject* kwargs = Py_BuildValue("{ss}", "mode", "constant");
    X_pad = kwargs ? frame::np::checked(c, frame::np::call(c, "pad", PyTuple_Pack(2, contig, widths), nullptr, kwargs))
                   : nullptr;
    Py_XDECREF(kwargs);
    Py_DECREF(contig);
    Py_DECREF(widths);
  } else {
    X_pad = frame::np::checked(c, frame::np::call(c, "ascontiguousarray", PyTuple_Pack(1, X.obj), "float64"));
  }
  if (!X_pad || !c.view(X_pad, 4, frame::DTYPE, false)) return c.fail(pad > 0 ? L::pad_copy : L::copy);

  PyObject* cols = allocate(c, "empty", {rows, ncols}, "float64", frame::DTYPE);
  if (!cols) return c.fail(L::cols);
  View* xv = working_view(c, X_pad, frame::DTYPE, {N, pad > 0 ? Hp : H, pad > 0 ? Wp : W, C}, "padded");
  if (!xv) return c.fail(L::view_x);
  View* cv = working_view(c, cols, frame::DTYPE, {rows, ncols}, "patch");
  if (!cv) return c.fail(L::view_cols);

  kernels::im2col(xv->strided<4>(), cv->strided<2>(), {N, C, OH, OW, kh, kw, stride});
  PyObject* r = Py_BuildValue("(Onn)", cols, OH, OW);
  return r ? r : c.fail(L::result);
}

PyObject* col2im_impl(frame::Call& c, const View& cols, PyObject* shape, int32_t kh, int32_t kw, int32_t stride,
                      int32_t pad) {
  namespace L = lines::col2im;
  int64_t s[4];
  for (int i = 0; i < 4; ++i)
    if (read_shape_item(shape, i, &s[i]) < 0) return c.fail(L::shape + i);
  const ssize N = s[0], H = s[1], W = s[2], C = s[3];
  ssize Hp, Wp;
  if (bordered(H, W, pad, Hp, Wp) < 0 || check_window_params(kh, kw, stride, false) < 0) return c.fail(L::args);
  // Negative extents are left to np.zeros, which refuses them.
  const bool extents_ok = N >= 0 && C >= 0 && Hp >= 0 && Wp >= 0;
  ssize OH = 0, OW = 0, rows = 0, ncols = 0;
  if (extents_ok) {
    if (window_grid(kh, kw, stride, Hp, Wp, true, OH, OW) < 0) return c.fail(L::args);
    ssize bytes;
    if (!kernels::checked_product(rows, {N, OH, OW}) || !kernels::checked_product(ncols, {kh, kw, C}) ||
        !kernels::checked_product(bytes, {N, Hp, Wp, C, 8}))
      return c.raise(L::args, PyExc_ValueError, "the image is too large");
    if (!cols.has_shape({rows, ncols}))
      return c.raise(L::args, PyExc_ValueError,
                     "cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", cols.shape[0],
                     cols.shape[1], rows, ncols);
  }
  PyObject* dX_pad = allocate(c, "zeros", {N, Hp, Wp, C}, "float64", frame::DTYPE);
  if (!dX_pad) return c.fail(L::dx);
  View* dv = working_view(c, dX_pad, frame::DTYPE, {N, Hp, Wp, C}, "gradient");
  if (!dv) return c.fail(L::view_dx);
  View* cv = c.view(cols.obj, 2, frame::DTYPE, true);
  if (!cv) return c.fail(L::view_cols);
  // Python code ran since cols was first checked (the items of shape,
  // np.zeros) and may have reshaped it: the kernel reads this view, so this
  // view must have the shape.
  if (!cv->has_shape({rows, ncols}))
    return c.raise(L::view_cols, PyExc_ValueError,
                   "cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", cv->shape[0],
                   cv->shape[1], rows, ncols);

  kernels::col2im(cv->strided<2>(), dv->strided<4>(), {N, C, OH, OW, kh, kw, stride});
  if (pad <= 0) return Py_NewRef(dX_pad);
  PyObject* inner = PySlice_New(nullptr, nullptr, nullptr);
  PyObject* key = nullptr;
  if (inner) {
    PyObject* lo = PyLong_FromSsize_t(pad);
    PyObject* hi = PyLong_FromSsize_t(-pad);
    PyObject* border = lo && hi ? PySlice_New(lo, hi, nullptr) : nullptr;
    if (border) key = PyTuple_Pack(4, inner, border, border, inner);
    Py_XDECREF(lo);
    Py_XDECREF(hi);
    Py_XDECREF(border);
    Py_DECREF(inner);
  }
  PyObject* r = key ? PyObject_GetItem(dX_pad, key) : nullptr;
  Py_XDECREF(key);
  return r ? r : c.fail(L::border);
}

PyObject* maxpool_forward_impl(frame::Call& c, const View& X, int32_t k, int32_t stride) {
  namespace L = lines::forward;
  const ssize N = X.shape[0], H = X.shape[1], W = X.shape[2], C = X.shape[3];
  ssize OH, OW;
  if (check_window_params(k, k, stride, true) < 0 || window_grid(k, k, stride, H, W, false, OH, OW) < 0)
    return c.fail(L::args);

  PyObject* out = allocate(c, "empty", {N, OH, OW, C}, "float64", frame::DTYPE);
  if (!out) return c.fail(L::out);
  PyObject* argmax = allocate(c, "empty", {N, OH, OW, C}, "intp", frame::ITYPE);
  if (!argmax) return c.fail(L::argmax);
  View* xv = working_view(c, X.obj, frame::DTYPE, {N, H, W, C}, "input", "float64");
  if (!xv) return c.fail(L::view_x);
  View* ov = working_view(c, out, frame::DTYPE, {N, OH, OW, C}, "output");
  if (!ov) return c.fail(L::view_out);
  View* av = working_view(c, argmax, frame::ITYPE, {N, OH, OW, C}, "index");
  if (!av) return c.fail(L::view_argmax);

  kernels::maxpool_forward(xv->strided<4>(), ov->strided<4>(), av->strided<4>(), {N, C, OH, OW, k, k, stride});
  PyObject* r = PyTuple_Pack(2, out, argmax);
  return r ? r : c.fail(L::result);
}

PyObject* maxpool_backward_impl(frame::Call& c, const View& grad, const View& arg, PyObject* shape, int32_t k,
                                int32_t stride) {
  namespace L = lines::backward;
  int64_t s[4];
  for (int i = 0; i < 4; ++i)
    if (read_shape_item(shape, i, &s[i]) < 0) return c.fail(L::shape + i);
  const ssize N = s[0], H = s[1], W = s[2], C = s[3];
  const ssize OH = grad.shape[1], OW = grad.shape[2];
  if (check_window_params(k, k, stride, true) < 0) return c.fail(L::args);
  if (!arg.has_shape({grad.shape[0], OH, OW, grad.shape[3]}))
    return c.raise(L::args, PyExc_ValueError, "grad and argmax must have the same shape");
  const bool extents_ok = N >= 0 && H >= 0 && W >= 0 && C >= 0;
  if (extents_ok && (grad.shape[0] != N || grad.shape[3] != C))
    return c.raise(L::args, PyExc_ValueError,
                   "grad has shape (%zd, %zd, %zd, %zd), inconsistent with shape (%zd, %zd, %zd, %zd)", grad.shape[0],
                   OH, OW, grad.shape[3], N, H, W, C);
  ssize cells;
  if (extents_ok && !kernels::checked_product(cells, {N, H, W, C, 8}))
    return c.raise(L::args, PyExc_ValueError, "the image is too large");

  PyObject* dX = allocate(c, "zeros", {N, H, W, C}, "float64", frame::DTYPE);
  if (!dX) return c.fail(L::dx);
  View* gv = working_view(c, grad.obj, frame::DTYPE, {N, OH, OW, C}, "gradient", "float64");
  if (!gv) return c.fail(L::view_grad);
  View* av = working_view(c, arg.obj, frame::ITYPE, {N, OH, OW, C}, "index", "intp");
  if (!av) return c.fail(L::argmax);
  // The indices decide where the gradient is written: they are copied into
  // memory of this call's own and checked there, so that nothing that
  // writes into argmax later (another thread while NumPy's copies let go
  // of the interpreter lock, an array of a stand-in np that aliases dX) can
  // move a write outside dX.
  ssize count;
  if (!kernels::checked_product(count, {N, OH, OW, C}))
    return c.raise(L::argmax, PyExc_ValueError, "the image is too large");
  frame::Scratch<int64_t> own;
  if (own.allocate(count) < 0) return c.fail(L::argmax);
  kernels::copy_indices(av->strided<4>(), own.get());
  const kernels::StridedView<4> arg_own = kernels::c_order_view(own.get(), N, OH, OW, C);
  // Every index must lie in the window and route inside the image; checked
  // before any gradient is added.
  const kernels::Windows g{N, C, OH, OW, k, k, stride};
  const kernels::Decoder dec(k);
  ssize at[4];
  if (kernels::find_bad_index(arg_own, g, H, W, dec, at)) {
    const ssize idx = kernels::load_i64(arg_own.at(at[0], at[1], at[2], at[3]));
    if (idx < 0 || idx >= (ssize)k * k)
      return c.raise(L::argmax, PyExc_ValueError, "argmax entry %zd at (%zd, %zd, %zd, %zd) is outside 0..%zd", idx,
                     at[0], at[1], at[2], at[3], (ssize)k * k - 1);
    ssize row, col;
    if (__builtin_mul_overflow(at[1], (ssize)stride, &row) || __builtin_add_overflow(row, idx / k, &row) ||
        __builtin_mul_overflow(at[2], (ssize)stride, &col) || __builtin_add_overflow(col, idx % k, &col))
      return c.raise(L::argmax, PyExc_ValueError,
                     "argmax entry %zd at (%zd, %zd, %zd, %zd) routes outside the %zdx%zd image", idx, at[0], at[1],
                     at[2], at[3], H, W);
    return c.raise(L::argmax, PyExc_ValueError,
                   "argmax entry %zd at (%zd, %zd, %zd, %zd) routes to (%zd, %zd), outside the %zdx%zd image", idx,
                   at[0], at[1], at[2], at[3], row, col, H, W);
  }
  View* dv = working_view(c, dX, frame::DTYPE, {N, H, W, C}, "result");
  if (!dv) return c.fail(L::view_dx);

  kernels::maxpool_backward(gv->strided<4>(), arg_own, dv->strided<4>(), g, dec);
  return Py_NewRef(dX);
}

// --------------------------------------------------------------------------

constexpr long kDefaults[] = {1, 0};  // stride, pad

using frame::Kind;

constexpr frame::Param kIm2colParams[] = {
    {"X", Kind::Array, 4, &frame::DTYPE},
    {"kh", Kind::Int32},
    {"kw", Kind::Int32},
    {"stride", Kind::Int32},
    {"pad", Kind::Int32},
};
constexpr frame::Param kCol2imParams[] = {
    {"cols", Kind::Array, 2, &frame::DTYPE},
    {"shape", Kind::Object},
    {"kh", Kind::Int32},
    {"kw", Kind::Int32},
    {"stride", Kind::Int32},
    {"pad", Kind::Int32},
};
constexpr frame::Param kForwardParams[] = {
    {"X", Kind::Array, 4, &frame::DTYPE},
    {"k", Kind::Int32},
    {"stride", Kind::Int32},
};
constexpr frame::Param kBackwardParams[] = {
    {"grad", Kind::Array, 4, &frame::DTYPE},
    {"argmax", Kind::Array, 4, &frame::ITYPE},
    {"shape", Kind::Object},
    {"k", Kind::Int32},
    {"stride", Kind::Int32},
};

// clang-format off: one declaration per function
constexpr frame::FuncDef kFuncs[] = {
    frame::define<im2col_impl>(kIm2colParams, {.name = "im2col", .nrequired = 3, .defaults = kDefaults,
                               .line = lines::im2col::args, .conv_line = lines::im2col::args}),
    frame::define<col2im_impl>(kCol2imParams, {.name = "col2im", .nrequired = 4, .defaults = kDefaults,
                               .line = lines::col2im::args, .conv_line = lines::col2im::args}),
    frame::define<maxpool_forward_impl>(kForwardParams, {.name = "maxpool_forward", .nrequired = 3,
                                        .line = lines::forward::args, .conv_line = lines::forward::args}),
    frame::define<maxpool_backward_impl>(kBackwardParams, {.name = "maxpool_backward", .nrequired = 5,
                                         .line = lines::backward::args, .conv_line = lines::backward::conv}),
};
// clang-format on

}  // namespace

PyMODINIT_FUNC PyInit__plenvo(void) {
  return frame::module_init("_plenvo", "Accelerated convolution and max-pooling helpers.", kFuncs);
}
