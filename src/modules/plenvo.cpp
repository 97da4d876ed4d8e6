// kelpwise.accel._plenvo: im2col/col2im and max pooling (forward and
// backward) for channels-last image batches (N, H, W, C).
#include <cstdarg>
#include <cstdint>
#include <initializer_list>

#include "../frame/frame.hpp"
#include "../kernels/pooling.hpp"
#include "../kernels/windows.hpp"

namespace {

using kernels::ssize;
using kw::View;

// Traceback line of each failing statement.
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
constexpr int view_grad = 123, view_argmax = 124;  // contiguous copies and their views
constexpr int view_dx = 125;
}  // namespace backward
}  // namespace lines

PyObject* refuse(kw::Call& c, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyObject* msg = PyUnicode_FromFormatV(fmt, va);
  va_end(va);
  if (msg) {
    PyErr_SetObject(PyExc_ValueError, msg);
    Py_DECREF(msg);
  }
  return c.fail();
}

PyObject* unexpected_shape(kw::Call& c, const char* what) {
  return refuse(c, "numpy returned a %s array of an unexpected shape", what);
}

// Product of non-negative sizes, false on int64 overflow.
bool mul(ssize& out, std::initializer_list<ssize> xs) {
  ssize r = 1;
  for (ssize x : xs)
    if (__builtin_mul_overflow(r, x, &r)) return false;
  out = r;
  return true;
}

// The bordered extents H + 2*pad and W + 2*pad; false on int64 overflow.
bool bordered(ssize H, ssize W, ssize pad, ssize& Hp, ssize& Wp) {
  return !__builtin_add_overflow(H, 2 * pad, &Hp) && !__builtin_add_overflow(W, 2 * pad, &Wp);
}

PyObject* refuse_bordered(kw::Call& c, ssize H, ssize W, ssize pad) {
  return refuse(c, "H + 2*pad or W + 2*pad does not fit in 64 bits (H=%zd, W=%zd, pad=%zd)", H, W, pad);
}

// shape[0..3] as N, H, W, C, each at its own traceback line.
bool read_shape(kw::Call& c, PyObject* shape, int first_line, int64_t out[4]) {
  for (Py_ssize_t i = 0; i < 4; ++i) {
    c.line = first_line + (int)i;
    PyObject* item = nullptr;
    if (PySequence_Check(shape)) {
      item = PySequence_GetItem(shape, i);
    } else {
      PyObject* key = PyLong_FromSsize_t(i);
      if (!key) return false;
      item = PyObject_GetItem(shape, key);
      Py_DECREF(key);
    }
    if (!item) return false;
    int rc = kw::as_int64(item, &out[i]);
    Py_DECREF(item);
    if (rc < 0) return false;
  }
  return true;
}

// np.<fn>(shape, dtype=np.<dtype>) at traceback line `line`, type-tested
// and checked as an array of t; nullptr with the traceback entry added.
PyObject* allocate(kw::Call& c, int line, const char* fn, std::initializer_list<ssize> shape, const char* dtype,
                   const kw::ElemType& t) {
  c.line = line;
  PyObject* arr = kw::np::alloc(c, fn, shape, dtype);
  if (arr && c.view(arr, (int)shape.size(), t, false)) return arr;
  c.fail();
  return nullptr;
}

// The view with write access that a kernel works through, taken at `line`
// on arr (or on np.ascontiguousarray(arr, dtype=np.<dtype>) when dtype is
// given), which must have `shape`: the kernel uses only this view's extents
// and strides, and Python code has run since the shape was worked out.
// nullptr with the traceback entry added.
View* working_view(kw::Call& c, int line, PyObject* arr, const kw::ElemType& t, std::initializer_list<ssize> shape,
                   const char* what, const char* dtype = nullptr) {
  c.line = line;
  if (dtype) arr = kw::np::checked(c, kw::np::call(c, "ascontiguousarray", PyTuple_Pack(1, arr), dtype));
  View* v = arr ? c.view(arr, (int)shape.size(), t, true) : nullptr;
  if (!v) {
    c.fail();
    return nullptr;
  }
  if (v->has_shape(shape)) return v;
  unexpected_shape(c, what);
  return nullptr;
}

// --------------------------------------------------------------------------

PyObject* im2col_impl(kw::Call& c, const View& X, int32_t kh, int32_t kw_, int32_t stride, int32_t pad) {
  const ssize N = X.shape[0], H = X.shape[1], W = X.shape[2], C = X.shape[3];
  ssize Hp, Wp;
  if (!bordered(H, W, pad, Hp, Wp)) return refuse_bordered(c, H, W, pad);
  if (kh < 1 || kw_ < 1 || stride < 1)
    return refuse(c, "kh, kw and stride must be at least 1 (got %d, %d, %d)", kh, kw_, stride);
  if (kh > Hp || kw_ > Wp) return refuse(c, "a %dx%d window does not fit the %zdx%zd padded image", kh, kw_, Hp, Wp);
  const ssize OH = (Hp - kh) / stride + 1, OW = (Wp - kw_) / stride + 1;
  ssize rows, ncols, bytes;
  if (!mul(rows, {N, OH, OW}) || !mul(ncols, {kh, kw_, C}) || !mul(bytes, {rows, ncols, 8}))
    return refuse(c, "the patch matrix is too large");

  PyObject* X_pad;
  if (pad > 0) {
    c.line = lines::im2col::pad_copy;
    PyObject* contig = kw::np::call(c, "ascontiguousarray", PyTuple_Pack(1, X.obj), "float64");
    if (!contig) return c.fail();
    c.line = lines::im2col::pad_widths;
    PyObject* widths = Py_BuildValue("((ii)(ii)(ii)(ii))", 0, 0, pad, pad, pad, pad, 0, 0);
    if (!widths) {
      Py_DECREF(contig);
      return c.fail();
    }
    c.line = lines::im2col::pad_copy;
    PyObject* kwargs = Py_BuildValue("{ss}", "mode", "constant");
    X_pad =
        kwargs ? kw::np::checked(c, kw::np::call(c, "pad", PyTuple_Pack(2, contig, widths), nullptr, kwargs)) : nullptr;
    Py_XDECREF(kwargs);
    Py_DECREF(contig);
    Py_DECREF(widths);
  } else {
    c.line = lines::im2col::copy;
    X_pad = kw::np::checked(c, kw::np::call(c, "ascontiguousarray", PyTuple_Pack(1, X.obj), "float64"));
  }
  if (!X_pad || !c.view(X_pad, 4, kw::DTYPE, false)) return c.fail();

  namespace L = lines::im2col;
  PyObject* cols = allocate(c, L::cols, "empty", {rows, ncols}, "float64", kw::DTYPE);
  if (!cols) return nullptr;
  View* xv = working_view(c, L::view_x, X_pad, kw::DTYPE, {N, pad > 0 ? Hp : H, pad > 0 ? Wp : W, C}, "padded");
  View* cv = xv ? working_view(c, L::view_cols, cols, kw::DTYPE, {rows, ncols}, "patch") : nullptr;
  if (!cv) return nullptr;

  kernels::im2col(xv->strided<4>(), cv->strided<2>(), {N, C, OH, OW, kh, kw_, stride});
  c.line = lines::im2col::result;
  PyObject* r = Py_BuildValue("(Onn)", cols, OH, OW);
  return r ? r : c.fail();
}

PyObject* col2im_impl(kw::Call& c, const View& cols, PyObject* shape, int32_t kh, int32_t kw_, int32_t stride,
                      int32_t pad) {
  int64_t s[4];
  if (!read_shape(c, shape, lines::col2im::shape, s)) return c.fail();
  const ssize N = s[0], H = s[1], W = s[2], C = s[3];
  c.line = lines::col2im::args;
  ssize Hp, Wp;
  if (!bordered(H, W, pad, Hp, Wp)) return refuse_bordered(c, H, W, pad);
  if (kh < 1 || kw_ < 1 || stride < 1)
    return refuse(c, "kh, kw and stride must be at least 1 (got %d, %d, %d)", kh, kw_, stride);
  // Negative extents are left to np.zeros, which refuses them.
  const bool extents_ok = N >= 0 && C >= 0 && Hp >= 0 && Wp >= 0;
  ssize OH = 0, OW = 0, rows = 0, ncols = 0;
  if (extents_ok) {
    if (kh > Hp || kw_ > Wp) return refuse(c, "a %dx%d window does not fit the %zdx%zd padded image", kh, kw_, Hp, Wp);
    OH = (Hp - kh) / stride + 1;
    OW = (Wp - kw_) / stride + 1;
    ssize bytes;
    if (!mul(rows, {N, OH, OW}) || !mul(ncols, {kh, kw_, C}) || !mul(bytes, {N, Hp, Wp, C, 8}))
      return refuse(c, "the image is too large");
    if (!cols.has_shape({rows, ncols}))
      return refuse(c, "cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", cols.shape[0],
                    cols.shape[1], rows, ncols);
  }
  namespace L = lines::col2im;
  PyObject* dX_pad = allocate(c, L::dx, "zeros", {N, Hp, Wp, C}, "float64", kw::DTYPE);
  View* dv = dX_pad ? working_view(c, L::view_dx, dX_pad, kw::DTYPE, {N, Hp, Wp, C}, "gradient") : nullptr;
  if (!dv) return nullptr;
  c.line = L::view_cols;
  View* cv = c.view(cols.obj, 2, kw::DTYPE, true);
  if (!cv) return c.fail();
  // Python code ran since cols was first checked (the items of shape,
  // np.zeros) and may have reshaped it: the kernel reads this view, so this
  // view must have the shape.
  if (!cv->has_shape({rows, ncols}))
    return refuse(c, "cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", cv->shape[0],
                  cv->shape[1], rows, ncols);

  kernels::col2im(cv->strided<2>(), dv->strided<4>(), {N, C, OH, OW, kh, kw_, stride});
  if (pad <= 0) return Py_NewRef(dX_pad);
  c.line = lines::col2im::border;
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
  return r ? r : c.fail();
}

PyObject* maxpool_forward_impl(kw::Call& c, const View& X, int32_t k, int32_t stride) {
  const ssize N = X.shape[0], H = X.shape[1], W = X.shape[2], C = X.shape[3];
  if (k < 1 || stride < 1) return refuse(c, "k and stride must be at least 1 (got %d, %d)", k, stride);
  if (k > H || k > W) return refuse(c, "a %dx%d window does not fit the %zdx%zd image", k, k, H, W);
  const ssize OH = (H - k) / stride + 1, OW = (W - k) / stride + 1;

  namespace L = lines::forward;
  PyObject* out = allocate(c, L::out, "empty", {N, OH, OW, C}, "float64", kw::DTYPE);
  PyObject* argmax = out ? allocate(c, L::argmax, "empty", {N, OH, OW, C}, "intp", kw::ITYPE) : nullptr;
  View* xv = argmax ? working_view(c, L::view_x, X.obj, kw::DTYPE, {N, H, W, C}, "input", "float64") : nullptr;
  View* ov = xv ? working_view(c, L::view_out, out, kw::DTYPE, {N, OH, OW, C}, "output") : nullptr;
  View* av = ov ? working_view(c, L::view_argmax, argmax, kw::ITYPE, {N, OH, OW, C}, "index") : nullptr;
  if (!av) return nullptr;

  kernels::maxpool_forward(xv->strided<4>(), ov->strided<4>(), av->strided<4>(), {N, C, OH, OW, k, k, stride});
  c.line = lines::forward::result;
  PyObject* r = PyTuple_Pack(2, out, argmax);
  return r ? r : c.fail();
}

PyObject* maxpool_backward_impl(kw::Call& c, const View& grad, const View& arg, PyObject* shape, int32_t k,
                                int32_t stride) {
  int64_t s[4];
  if (!read_shape(c, shape, lines::backward::shape, s)) return c.fail();
  const ssize N = s[0], H = s[1], W = s[2], C = s[3];
  const ssize OH = grad.shape[1], OW = grad.shape[2];
  c.line = lines::backward::args;
  if (k < 1 || stride < 1) return refuse(c, "k and stride must be at least 1 (got %d, %d)", k, stride);
  if (!arg.has_shape({grad.shape[0], OH, OW, grad.shape[3]}))
    return refuse(c, "grad and argmax must have the same shape");
  const bool extents_ok = N >= 0 && H >= 0 && W >= 0 && C >= 0;
  if (extents_ok && (grad.shape[0] != N || grad.shape[3] != C))
    return refuse(c, "grad has shape (%zd, %zd, %zd, %zd), inconsistent with shape (%zd, %zd, %zd, %zd)", grad.shape[0],
                  OH, OW, grad.shape[3], N, H, W, C);
  ssize cells;
  if (extents_ok && !mul(cells, {N, H, W, C, 8})) return refuse(c, "the image is too large");

  namespace L = lines::backward;
  PyObject* dX = allocate(c, L::dx, "zeros", {N, H, W, C}, "float64", kw::DTYPE);
  View* gv = dX ? working_view(c, L::view_grad, grad.obj, kw::DTYPE, {N, OH, OW, C}, "gradient", "float64") : nullptr;
  View* av = gv ? working_view(c, L::view_argmax, arg.obj, kw::ITYPE, {N, OH, OW, C}, "index", "intp") : nullptr;
  if (!av) return nullptr;
  // The indices decide where the gradient is written: they are copied into
  // memory of this call's own and checked there, so that nothing that
  // writes into argmax later (another thread while NumPy's copies let go
  // of the interpreter lock, an array of a stand-in np that aliases dX) can
  // move a write outside dX.
  ssize count;
  if (!mul(count, {N, OH, OW, C})) return refuse(c, "the image is too large");
  kw::Scratch<int64_t> own;
  if (!own.allocate(count)) return c.fail();
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
      return refuse(c, "argmax entry %zd at (%zd, %zd, %zd, %zd) is outside 0..%zd", idx, at[0], at[1], at[2], at[3],
                    (ssize)k * k - 1);
    ssize row, col;
    if (__builtin_mul_overflow(at[1], (ssize)stride, &row) || __builtin_add_overflow(row, idx / k, &row) ||
        __builtin_mul_overflow(at[2], (ssize)stride, &col) || __builtin_add_overflow(col, idx % k, &col))
      return refuse(c, "argmax entry %zd at (%zd, %zd, %zd, %zd) routes outside the %zdx%zd image", idx, at[0], at[1],
                    at[2], at[3], H, W);
    return refuse(c, "argmax entry %zd at (%zd, %zd, %zd, %zd) routes to (%zd, %zd), outside the %zdx%zd image", idx,
                  at[0], at[1], at[2], at[3], row, col, H, W);
  }
  View* dv = working_view(c, L::view_dx, dX, kw::DTYPE, {N, H, W, C}, "result");
  if (!dv) return nullptr;

  kernels::maxpool_backward(gv->strided<4>(), arg_own, dv->strided<4>(), g, dec);
  return Py_NewRef(dX);
}

// --------------------------------------------------------------------------

constexpr long kDefaults[] = {1, 0};  // stride, pad

constexpr kw::Param kIm2colParams[] = {
    {"X", kw::Kind::Array, 4, &kw::DTYPE}, {"kh", kw::Kind::Int32},  {"kw", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},           {"pad", kw::Kind::Int32},
};
constexpr kw::Param kCol2imParams[] = {
    {"cols", kw::Kind::Array, 2, &kw::DTYPE},
    {"shape", kw::Kind::Object},
    {"kh", kw::Kind::Int32},
    {"kw", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},
    {"pad", kw::Kind::Int32},
};
constexpr kw::Param kForwardParams[] = {
    {"X", kw::Kind::Array, 4, &kw::DTYPE},
    {"k", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},
};
constexpr kw::Param kBackwardParams[] = {
    {"grad", kw::Kind::Array, 4, &kw::DTYPE},
    {"argmax", kw::Kind::Array, 4, &kw::ITYPE},
    {"shape", kw::Kind::Object},
    {"k", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},
};

// clang-format off: one declaration per function
const kw::FuncDef kFuncs[] = {
    {.name = "im2col", .params = kIm2colParams, .nparams = 5, .nrequired = 3, .defaults = kDefaults,
     .line = lines::im2col::args, .conv_line = lines::im2col::args, .body = kw::typed<im2col_impl>},
    {.name = "col2im", .params = kCol2imParams, .nparams = 6, .nrequired = 4, .defaults = kDefaults,
     .line = lines::col2im::args, .conv_line = lines::col2im::args, .body = kw::typed<col2im_impl>},
    {.name = "maxpool_forward", .params = kForwardParams, .nparams = 3, .nrequired = 3,
     .line = lines::forward::args, .conv_line = lines::forward::args, .body = kw::typed<maxpool_forward_impl>},
    {.name = "maxpool_backward", .params = kBackwardParams, .nparams = 5, .nrequired = 5,
     .line = lines::backward::args, .conv_line = lines::backward::conv, .body = kw::typed<maxpool_backward_impl>},
};
// clang-format on

}  // namespace

PyMODINIT_FUNC PyInit__plenvo(void) {
  return kw::module_init("_plenvo", "Accelerated convolution and max-pooling helpers.", kFuncs);
}
