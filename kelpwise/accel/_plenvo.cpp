// kelpwise.accel._plenvo: im2col/col2im and max pooling (forward and
// backward) for channels-last image batches (N, H, W, C).
#include "_frame.hpp"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kernels {

using ssize = Py_ssize_t;
using kw::mem::load;
using kw::mem::store;


// A strided 4-D or 2-D array: base address and byte strides.
struct A4 {
  char* p;
  ssize s0, s1, s2, s3;
  char* at(ssize a, ssize b, ssize c, ssize d) const { return p + a * s0 + b * s1 + c * s2 + d * s3; }
};
struct A2 {
  char* p;
  ssize s0, s1;
  char* at(ssize a, ssize b) const { return p + a * s0 + b * s1; }
};

struct Geometry {
  ssize N, C, OH, OW, kh, kw, stride;
};

// im2col: cols[(n*OH + oh)*OW + ow, (i*kw + j)*C + c] = x[n, oh*s + i, ow*s + j, c].
//
// x is the bordered image (N, Hp, Wp, C) and cols (N*OH*OW, kh*kw*C); the
// caller guarantees (OH-1)*s + kh <= Hp and (OW-1)*s + kw <= Wp.  When the
// channel and column axes of x and the column axis of cols are contiguous,
// each window row is kw*C consecutive values in both and is copied as one
// block.
inline void im2col(const A4& x, const A2& cols, const Geometry& g) {
  const ssize run = g.kw * g.C;
  const bool blocks = x.s3 == 8 && x.s2 == 8 * g.C && cols.s1 == 8;
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow) {
        const ssize row = (n * g.OH + oh) * g.OW + ow;
        for (ssize i = 0; i < g.kh; ++i) {
          const char* src = x.at(n, oh * g.stride + i, ow * g.stride, 0);
          char* dst = cols.at(row, i * run);
          if (blocks) {
            std::memcpy(dst, src, (size_t)run * 8);
            continue;
          }
          for (ssize j = 0; j < g.kw; ++j)
            for (ssize c = 0; c < g.C; ++c)
              store(cols.at(row, (i * g.kw + j) * g.C + c), load(x.at(n, oh * g.stride + i, ow * g.stride + j, c)));
        }
      }
}

// col2im: dx[n, oh*s + i, ow*s + j, c] += cols[(n*OH + oh)*OW + ow, (i*kw + j)*C + c].
//
// Same shapes and preconditions as im2col, dx zero-filled by the caller.
// Rows of cols are visited in increasing order, so every element of dx
// receives its contributions in increasing row order; a window reaches an
// element at most once.
inline void col2im(const A2& cols, const A4& dx, const Geometry& g) {
  const ssize run = g.kw * g.C;
  const bool blocks = dx.s3 == 8 && dx.s2 == 8 * g.C && cols.s1 == 8;
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow) {
        const ssize row = (n * g.OH + oh) * g.OW + ow;
        for (ssize i = 0; i < g.kh; ++i) {
          if (blocks) {
            const char* src = cols.at(row, i * run);
            char* dst = dx.at(n, oh * g.stride + i, ow * g.stride, 0);
            for (ssize t = 0; t < run; ++t) store(dst + 8 * t, load(dst + 8 * t) + load(src + 8 * t));
            continue;
          }
          for (ssize j = 0; j < g.kw; ++j)
            for (ssize c = 0; c < g.C; ++c) {
              char* d = dx.at(n, oh * g.stride + i, ow * g.stride + j, c);
              store(d, load(d) + load(cols.at(row, (i * g.kw + j) * g.C + c)));
            }
        }
      }
}

// Max pooling forward over k x k windows, each channel on its own:
// out[n, oh, ow, c] = the first maximum (row-major window order, strict IEEE
// greater-than, so NaN never replaces the running value) and argmax the
// window-relative index i*k + j of it.  Precondition: (OH-1)*s + k <= H and
// (OW-1)*s + k <= W.
inline void maxpool_forward(const A4& x, const A4& out, const A4& arg, const Geometry& g, ssize k) {
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow) {
        const ssize bh = oh * g.stride, bw = ow * g.stride;
        for (ssize c = 0; c < g.C; ++c) {
          double best = load(x.at(n, bh, bw, c));
          ssize best_idx = 0;
          for (ssize i = 0; i < k; ++i)
            for (ssize j = 0; j < k; ++j) {
              const double v = load(x.at(n, bh + i, bw + j, c));
              if (v > best) {
                best = v;
                best_idx = i * k + j;
              }
            }
          store(out.at(n, oh, ow, c), best);
          kw::mem::store_i64(arg.at(n, oh, ow, c), best_idx);
        }
      }
}

// Contiguous variant of maxpool_forward: the channel vector of a window
// position is scanned in blocks of 8 channels, one running maximum per
// channel held in a vector register; each lane does the same comparisons in
// the same order as the scalar loop (ordered, strict greater-than), so the
// results are identical.
typedef double v8d __attribute__((vector_size(64)));
typedef long long v8i __attribute__((vector_size(64)));

// One block of nc <= 8 channels of one window.  K > 0 fixes the window
// size at compile time (the common 2x2 and 3x3 windows); K == 0 reads it
// from k.
template <bool Full, int K>
inline __attribute__((always_inline)) void pool_block(const double* win, double* best_out, int64_t* idx_out,
                                                      ssize nc, ssize W, ssize C, ssize k_) {
  const ssize k = K > 0 ? K : k_;
  v8d best;
  if (Full) {
    std::memcpy(&best, win, sizeof best);
  } else {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (ssize c = 0; c < nc; ++c) lanes[c] = win[c];
    std::memcpy(&best, lanes, sizeof best);
  }
  v8i bi = (v8i){};
  for (ssize i = 0; i < k; ++i)
    for (ssize j = 0; j < k; ++j) {
      const double* v = win + (i * W + j) * C;
      v8d val;
      if (Full) {
        std::memcpy(&val, v, sizeof val);
      } else {
        double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (ssize c = 0; c < nc; ++c) lanes[c] = v[c];
        std::memcpy(&val, lanes, sizeof val);
      }
      const v8i gt = val > best;
      best = gt ? val : best;
      bi = gt ? ((v8i){} + (long long)(i * k + j)) : bi;
    }
  if (Full) {
    std::memcpy(best_out, &best, sizeof best);
    std::memcpy(idx_out, &bi, sizeof bi);
  } else {
    double lanes[8];
    int64_t il[8];
    std::memcpy(lanes, &best, sizeof lanes);
    std::memcpy(il, &bi, sizeof il);
    for (ssize c = 0; c < nc; ++c) {
      best_out[c] = lanes[c];
      idx_out[c] = il[c];
    }
  }
}

template <int K>
inline __attribute__((always_inline)) void maxpool_contig_k(const double* x, double* out, int64_t* arg, ssize H,
                                                            ssize W, const Geometry& g, ssize k) {
  const ssize C = g.C;
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow) {
        const ssize o = ((n * g.OH + oh) * g.OW + ow) * C;
        const double* win = x + ((n * H + oh * g.stride) * W + ow * g.stride) * C;
        ssize c0 = 0;
        for (; c0 + 8 <= C; c0 += 8) pool_block<true, K>(win + c0, out + o + c0, arg + o + c0, 8, W, C, k);
        if (c0 < C) pool_block<false, K>(win + c0, out + o + c0, arg + o + c0, C - c0, W, C, k);
      }
}

template <int Dummy>
inline __attribute__((always_inline)) void maxpool_contig_body(const double* x, double* out, int64_t* arg, ssize H,
                                                               ssize W, const Geometry& g, ssize k) {
  if (k == 2) return maxpool_contig_k<2>(x, out, arg, H, W, g, k);
  if (k == 3) return maxpool_contig_k<3>(x, out, arg, H, W, g, k);
  maxpool_contig_k<0>(x, out, arg, H, W, g, k);
}

__attribute__((target("avx512f"))) inline void maxpool_contig_avx512(const double* x, double* out, int64_t* arg,
                                                                     ssize H, ssize W, const Geometry& g, ssize k) {
  maxpool_contig_body<0>(x, out, arg, H, W, g, k);
}
__attribute__((target("avx2"))) inline void maxpool_contig_avx2(const double* x, double* out, int64_t* arg, ssize H,
                                                                ssize W, const Geometry& g, ssize k) {
  maxpool_contig_body<0>(x, out, arg, H, W, g, k);
}

inline void maxpool_forward_contig(const double* x, double* out, int64_t* arg, ssize H, ssize W,
                                   const Geometry& g, ssize k) {
  const int width = kw::simd_width();
  if (width == 8) return maxpool_contig_avx512(x, out, arg, H, W, g, k);
  if (width == 4) return maxpool_contig_avx2(x, out, arg, H, W, g, k);
  maxpool_contig_body<0>(x, out, arg, H, W, g, k);
}

// Max pooling backward: dx[n, oh*s + idx/k, ow*s + idx%k, c] += grad[n, oh,
// ow, c] with idx = arg[n, oh, ow, c], in loop order (n, oh, ow, c).  The
// caller has checked every idx (0 <= idx < k*k, routed position inside dx).
// Decodes a window-relative index into its row idx / k and column idx % k
// within the window; for small windows from a table built once per call
// (the same values as one division and remainder per element, without their
// latency).  Valid for 0 <= idx < k*k.
class Decoder {
 public:
  explicit Decoder(ssize k) : k_(k), table_(k * k <= 4096) {
    if (!table_) return;
    row_.resize((size_t)(k * k));
    col_.resize((size_t)(k * k));
    for (ssize idx = 0; idx < k * k; ++idx) {
      row_[(size_t)idx] = idx / k;
      col_[(size_t)idx] = idx % k;
    }
  }
  ssize row(ssize idx) const { return table_ ? row_[(size_t)idx] : idx / k_; }
  ssize col(ssize idx) const { return table_ ? col_[(size_t)idx] : idx % k_; }

 private:
  ssize k_;
  bool table_;
  std::vector<ssize> row_, col_;
};

// First position (n, oh, ow, c) whose index lies outside 0..k*k-1 or routes
// outside the H x W image, or false when every index is usable.
inline bool find_bad_index(const A4& arg, const Geometry& g, ssize k, ssize H, ssize W, const Decoder& dec,
                           ssize where[4]) {
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow)
        for (ssize c = 0; c < g.C; ++c) {
          const ssize idx = kw::mem::load_i64(arg.at(n, oh, ow, c));
          ssize top, left;  // the window's corner; past int64, surely outside
          const bool far = __builtin_mul_overflow(oh, g.stride, &top) || __builtin_mul_overflow(ow, g.stride, &left);
          if (idx < 0 || idx >= k * k || far || top + dec.row(idx) >= H || left + dec.col(idx) >= W) {
            where[0] = n, where[1] = oh, where[2] = ow, where[3] = c;
            return true;
          }
        }
  return false;
}

inline void maxpool_backward(const A4& grad, const A4& arg, const A4& dx, const Geometry& g, const Decoder& dec) {
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow)
        for (ssize c = 0; c < g.C; ++c) {
          const ssize idx = kw::mem::load_i64(arg.at(n, oh, ow, c));
          char* d = dx.at(n, oh * g.stride + dec.row(idx), ow * g.stride + dec.col(idx), c);
          store(d, load(d) + load(grad.at(n, oh, ow, c)));
        }
}

// Contiguous variant of maxpool_backward (grad and arg (N, OH, OW, C), dx
// (N, H, W, C), all C-contiguous): the same additions in the same order,
// with offsets computed incrementally.
inline void maxpool_backward_contig(const double* grad, const int64_t* arg, double* dx, ssize H, ssize W,
                                    const Geometry& g, const Decoder& dec) {
  const ssize C = g.C;
  for (ssize n = 0; n < g.N; ++n) {
    double* img = dx + n * H * W * C;
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow) {
        const ssize o = ((n * g.OH + oh) * g.OW + ow) * C;
        double* base = img + (oh * g.stride * W + ow * g.stride) * C;
        for (ssize c = 0; c < C; ++c) {
          const ssize idx = arg[o + c];
          base[(dec.row(idx) * W + dec.col(idx)) * C + c] += grad[o + c];
        }
      }
  }
}

}  // namespace kernels

namespace {

using kernels::ssize;

kernels::A4 a4(const kw::View& v) { return {v.data, v.strides[0], v.strides[1], v.strides[2], v.strides[3]}; }
kernels::A2 a2(const kw::View& v) { return {v.data, v.strides[0], v.strides[1]}; }

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

// A working view with write access on np.ascontiguousarray(obj, dtype=np.<dtype>).
kw::View* contiguous_view(kw::Call& c, PyObject* obj, const char* dtype, const kw::ElemType& t) {
  PyObject* arr = c.check_array(c.np_call("ascontiguousarray", PyTuple_Pack(1, obj), dtype));
  return arr ? c.view(arr, 4, t, true) : nullptr;
}

bool same_shape(const kw::View& v, std::initializer_list<ssize> dims) {
  int i = 0;
  for (ssize d : dims)
    if (v.shape[i++] != d) return false;
  return true;
}

// A view that is C-contiguous with 8-byte aligned elements, so that the
// kernels may use plain typed pointers.
bool c_contiguous(const kw::View& v, std::initializer_list<ssize> dims) {
  ssize stride = 8;
  for (int i = (int)dims.size() - 1; i >= 0; --i) {
    const ssize extent = dims.begin()[i];
    if (extent > 1 && v.strides[i] != stride) return false;
    stride *= extent;
  }
  return ((uintptr_t)v.data % 8) == 0;
}

PyObject* working_shape_error(kw::Call& c, const char* what) {
  return refuse(c, "numpy returned a %s array of an unexpected shape", what);
}

constexpr long kDefaults[] = {1, 0};

// --------------------------------------------------------------------------

PyObject* im2col_body(kw::Call& c, kw::Args& a) {
  const kw::View& X = *a.view[0];
  const ssize kh = a.i32[1], kw_ = a.i32[2], stride = a.i32[3], pad = a.i32[4];
  const ssize N = X.shape[0], H = X.shape[1], W = X.shape[2], C = X.shape[3];
  ssize Hp, Wp;
  if (!bordered(H, W, pad, Hp, Wp))
    return refuse(c, "H + 2*pad or W + 2*pad does not fit in 64 bits (H=%zd, W=%zd, pad=%zd)", H, W, pad);
  if (kh < 1 || kw_ < 1 || stride < 1)
    return refuse(c, "kh, kw and stride must be at least 1 (got %zd, %zd, %zd)", kh, kw_, stride);
  if (kh > Hp || kw_ > Wp)
    return refuse(c, "a %zdx%zd window does not fit the %zdx%zd padded image", kh, kw_, Hp, Wp);
  const ssize OH = (Hp - kh) / stride + 1, OW = (Wp - kw_) / stride + 1;
  ssize rows, ncols, bytes;
  if (!mul(rows, {N, OH, OW}) || !mul(ncols, {kh, kw_, C}) || !mul(bytes, {rows, ncols, 8}))
    return refuse(c, "the patch matrix is too large");

  PyObject* X_pad;
  if (pad > 0) {
    c.line = 27;
    PyObject* contig = c.np_call("ascontiguousarray", PyTuple_Pack(1, a.obj[0]), "float64");
    if (!contig) return c.fail();
    c.line = 28;
    PyObject* widths = Py_BuildValue("((ii)(nn)(nn)(ii))", 0, 0, pad, pad, pad, pad, 0, 0);
    if (!widths) {
      Py_DECREF(contig);
      return c.fail();
    }
    c.line = 27;
    PyObject* kwargs = Py_BuildValue("{ss}", "mode", "constant");
    X_pad = kwargs ? c.check_array(c.np_call("pad", PyTuple_Pack(2, contig, widths), nullptr, kwargs))
                   : nullptr;
    Py_XDECREF(kwargs);
    Py_DECREF(contig);
    Py_DECREF(widths);
  } else {
    c.line = 31;
    X_pad = c.check_array(c.np_call("ascontiguousarray", PyTuple_Pack(1, a.obj[0]), "float64"));
  }
  if (!X_pad || !c.view(X_pad, 4, kw::DTYPE, false)) return c.fail();

  c.line = 33;
  PyObject* cols = c.alloc("empty", {rows, ncols}, "float64");
  if (!cols || !c.view(cols, 2, kw::DTYPE, false)) return c.fail();
  c.line = 34;
  kw::View* xv = c.view(X_pad, 4, kw::DTYPE, true);
  if (!xv) return c.fail();
  if (!same_shape(*xv, {N, pad > 0 ? Hp : H, pad > 0 ? Wp : W, C})) return working_shape_error(c, "padded");
  c.line = 35;
  kw::View* cv = c.view(cols, 2, kw::DTYPE, true);
  if (!cv) return c.fail();
  if (!same_shape(*cv, {rows, ncols})) return working_shape_error(c, "patch");

  kernels::im2col(a4(*xv), a2(*cv), {N, C, OH, OW, kh, kw_, stride});
  c.line = 47;
  PyObject* r = Py_BuildValue("(Onn)", cols, OH, OW);
  return r ? r : c.fail();
}

PyObject* col2im_body(kw::Call& c, kw::Args& a) {
  const kw::View& cols = *a.view[0];
  const ssize kh = a.i32[2], kw_ = a.i32[3], stride = a.i32[4], pad = a.i32[5];
  int64_t s[4];
  if (!read_shape(c, a.obj[1], 51, s)) return c.fail();
  const ssize N = s[0], H = s[1], W = s[2], C = s[3];
  c.line = 50;
  ssize Hp, Wp;
  if (!bordered(H, W, pad, Hp, Wp))
    return refuse(c, "H + 2*pad or W + 2*pad does not fit in 64 bits (H=%zd, W=%zd, pad=%zd)", H, W, pad);
  if (kh < 1 || kw_ < 1 || stride < 1)
    return refuse(c, "kh, kw and stride must be at least 1 (got %zd, %zd, %zd)", kh, kw_, stride);
  // Negative extents are left to np.zeros, which refuses them.
  const bool extents_ok = N >= 0 && C >= 0 && Hp >= 0 && Wp >= 0;
  ssize OH = 0, OW = 0, rows = 0, ncols = 0;
  if (extents_ok) {
    if (kh > Hp || kw_ > Wp)
      return refuse(c, "a %zdx%zd window does not fit the %zdx%zd padded image", kh, kw_, Hp, Wp);
    OH = (Hp - kh) / stride + 1;
    OW = (Wp - kw_) / stride + 1;
    ssize bytes;
    if (!mul(rows, {N, OH, OW}) || !mul(ncols, {kh, kw_, C}) || !mul(bytes, {N, Hp, Wp, C, 8}))
      return refuse(c, "the image is too large");
    if (cols.shape[0] != rows || cols.shape[1] != ncols)
      return refuse(c, "cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", cols.shape[0],
                    cols.shape[1], rows, ncols);
  }
  c.line = 57;
  PyObject* dX_pad = c.alloc("zeros", {N, Hp, Wp, C}, "float64");
  if (!dX_pad || !c.view(dX_pad, 4, kw::DTYPE, false)) return c.fail();
  c.line = 58;
  kw::View* dv = c.view(dX_pad, 4, kw::DTYPE, true);
  if (!dv) return c.fail();
  if (!same_shape(*dv, {N, Hp, Wp, C})) return working_shape_error(c, "gradient");
  c.line = 59;
  kw::View* cv = c.view(a.obj[0], 2, kw::DTYPE, true);
  if (!cv) return c.fail();
  // Python code ran since cols was first checked (the items of shape,
  // np.zeros) and may have reshaped it: the kernel reads this view, so this
  // view must have the shape.
  if (!same_shape(*cv, {rows, ncols}))
    return refuse(c, "cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", cv->shape[0],
                  cv->shape[1], rows, ncols);

  kernels::col2im(a2(*cv), a4(*dv), {N, C, OH, OW, kh, kw_, stride});
  if (pad <= 0) return Py_NewRef(dX_pad);
  c.line = 73;
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

PyObject* maxpool_forward_body(kw::Call& c, kw::Args& a) {
  const kw::View& X = *a.view[0];
  const ssize k = a.i32[1], stride = a.i32[2];
  const ssize N = X.shape[0], H = X.shape[1], W = X.shape[2], C = X.shape[3];
  if (k < 1 || stride < 1) return refuse(c, "k and stride must be at least 1 (got %zd, %zd)", k, stride);
  if (k > H || k > W) return refuse(c, "a %zdx%zd window does not fit the %zdx%zd image", k, k, H, W);
  const ssize OH = (H - k) / stride + 1, OW = (W - k) / stride + 1;

  c.line = 84;
  PyObject* out = c.alloc("empty", {N, OH, OW, C}, "float64");
  if (!out || !c.view(out, 4, kw::DTYPE, false)) return c.fail();
  c.line = 85;
  PyObject* argmax = c.alloc("empty", {N, OH, OW, C}, "intp");
  if (!argmax || !c.view(argmax, 4, kw::ITYPE, false)) return c.fail();
  c.line = 86;
  kw::View* xv = contiguous_view(c, a.obj[0], "float64", kw::DTYPE);
  if (!xv) return c.fail();
  if (!same_shape(*xv, {N, H, W, C})) return working_shape_error(c, "input");
  c.line = 87;
  kw::View* ov = c.view(out, 4, kw::DTYPE, true);
  if (!ov) return c.fail();
  if (!same_shape(*ov, {N, OH, OW, C})) return working_shape_error(c, "output");
  c.line = 88;
  kw::View* av = c.view(argmax, 4, kw::ITYPE, true);
  if (!av) return c.fail();
  if (!same_shape(*av, {N, OH, OW, C})) return working_shape_error(c, "index");

  const kernels::Geometry g{N, C, OH, OW, k, k, stride};
  auto contiguous = [C](const kw::View& v, ssize h, ssize w) {
    return v.strides[3] == 8 && v.strides[2] == 8 * C && v.strides[1] == 8 * C * w &&
           v.strides[0] == 8 * C * w * h && ((uintptr_t)v.data % 8) == 0;
  };
  if (contiguous(*xv, H, W) && contiguous(*ov, OH, OW) && contiguous(*av, OH, OW))
    kernels::maxpool_forward_contig((const double*)xv->data, (double*)ov->data, (int64_t*)av->data, H, W, g, k);
  else
    kernels::maxpool_forward(a4(*xv), a4(*ov), a4(*av), g, k);
  c.line = 111;
  PyObject* r = PyTuple_Pack(2, out, argmax);
  return r ? r : c.fail();
}

PyObject* maxpool_backward_body(kw::Call& c, kw::Args& a) {
  const kw::View& grad = *a.view[0];
  const kw::View& arg = *a.view[1];
  const ssize k = a.i32[3], stride = a.i32[4];
  int64_t s[4];
  if (!read_shape(c, a.obj[2], 116, s)) return c.fail();
  const ssize N = s[0], H = s[1], W = s[2], C = s[3];
  const ssize OH = grad.shape[1], OW = grad.shape[2];
  c.line = 114;
  if (k < 1 || stride < 1) return refuse(c, "k and stride must be at least 1 (got %zd, %zd)", k, stride);
  if (!same_shape(arg, {grad.shape[0], OH, OW, grad.shape[3]}))
    return refuse(c, "grad and argmax must have the same shape");
  const bool extents_ok = N >= 0 && H >= 0 && W >= 0 && C >= 0;
  if (extents_ok && (grad.shape[0] != N || grad.shape[3] != C))
    return refuse(c, "grad has shape (%zd, %zd, %zd, %zd), inconsistent with shape (%zd, %zd, %zd, %zd)",
                  grad.shape[0], OH, OW, grad.shape[3], N, H, W, C);
  ssize cells;
  if (extents_ok && !mul(cells, {N, H, W, C, 8})) return refuse(c, "the image is too large");

  c.line = 122;
  PyObject* dX = c.alloc("zeros", {N, H, W, C}, "float64");
  if (!dX || !c.view(dX, 4, kw::DTYPE, false)) return c.fail();
  c.line = 123;
  kw::View* gv = contiguous_view(c, a.obj[0], "float64", kw::DTYPE);
  if (!gv) return c.fail();
  if (!same_shape(*gv, {N, OH, OW, C})) return working_shape_error(c, "gradient");
  c.line = 124;
  kw::View* av = contiguous_view(c, a.obj[1], "intp", kw::ITYPE);
  if (!av) return c.fail();
  if (!same_shape(*av, {N, OH, OW, C})) return working_shape_error(c, "index");
  // Every index must lie in the window and route inside the image; checked
  // before any gradient is added.
  const kernels::Geometry g{N, C, OH, OW, k, k, stride};
  const kernels::Decoder dec(k);
  ssize at[4];
  if (kernels::find_bad_index(a4(*av), g, k, H, W, dec, at)) {
    const ssize idx = kw::mem::load_i64(av->data + at[0] * av->strides[0] + at[1] * av->strides[1] +
                                        at[2] * av->strides[2] + at[3] * av->strides[3]);
    if (idx < 0 || idx >= k * k)
      return refuse(c, "argmax entry %zd at (%zd, %zd, %zd, %zd) is outside 0..%zd", idx, at[0], at[1], at[2],
                    at[3], k * k - 1);
    ssize row, col;
    if (__builtin_mul_overflow(at[1], stride, &row) || __builtin_add_overflow(row, idx / k, &row) ||
        __builtin_mul_overflow(at[2], stride, &col) || __builtin_add_overflow(col, idx % k, &col))
      return refuse(c, "argmax entry %zd at (%zd, %zd, %zd, %zd) routes outside the %zdx%zd image", idx, at[0],
                    at[1], at[2], at[3], H, W);
    return refuse(c, "argmax entry %zd at (%zd, %zd, %zd, %zd) routes to (%zd, %zd), outside the %zdx%zd image",
                  idx, at[0], at[1], at[2], at[3], row, col, H, W);
  }
  c.line = 125;
  kw::View* dv = c.view(dX, 4, kw::DTYPE, true);
  if (!dv) return c.fail();
  if (!same_shape(*dv, {N, H, W, C})) return working_shape_error(c, "result");

  if (c_contiguous(*gv, {N, OH, OW, C}) && c_contiguous(*av, {N, OH, OW, C}) && c_contiguous(*dv, {N, H, W, C}))
    kernels::maxpool_backward_contig((const double*)gv->data, (const int64_t*)av->data, (double*)dv->data, H, W,
                                     g, dec);
  else
    kernels::maxpool_backward(a4(*gv), a4(*av), a4(*dv), g, dec);
  return Py_NewRef(dX);
}

constexpr kw::Param kIm2colParams[] = {
    {"X", kw::Kind::Array, 4, &kw::DTYPE}, {"kh", kw::Kind::Int32}, {"kw", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},           {"pad", kw::Kind::Int32},
};
constexpr kw::Param kCol2imParams[] = {
    {"cols", kw::Kind::Array, 2, &kw::DTYPE}, {"shape", kw::Kind::Object}, {"kh", kw::Kind::Int32},
    {"kw", kw::Kind::Int32},                  {"stride", kw::Kind::Int32}, {"pad", kw::Kind::Int32},
};
constexpr kw::Param kForwardParams[] = {
    {"X", kw::Kind::Array, 4, &kw::DTYPE},
    {"k", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},
};
constexpr kw::Param kBackwardParams[] = {
    {"grad", kw::Kind::Array, 4, &kw::DTYPE}, {"argmax", kw::Kind::Array, 4, &kw::ITYPE},
    {"shape", kw::Kind::Object},              {"k", kw::Kind::Int32},
    {"stride", kw::Kind::Int32},
};

const kw::FuncDef kFuncs[] = {
    {"im2col", kIm2colParams, 5, 3, kDefaults, nullptr, 13, 13, im2col_body},
    {"col2im", kCol2imParams, 6, 4, kDefaults, nullptr, 50, 50, col2im_body},
    {"maxpool_forward", kForwardParams, 3, 3, nullptr, nullptr, 77, 77, maxpool_forward_body},
    {"maxpool_backward", kBackwardParams, 5, 5, nullptr, nullptr, 114, 115, maxpool_backward_body},
};

const kw::ModuleDecl kModule = {
    "kelpwise.accel._plenvo",
    "_plenvo",
    "kelpwise/accel/_plenvo",
    "Accelerated convolution and max-pooling helpers.",
    kFuncs,
    4,
    4,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__plenvo(void) { return kw::module_init(&kModule); }
