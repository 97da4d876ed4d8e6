// kelpwise.accel._tarsine: dense distance matrices between the rows of two
// float64 matrices (squared Euclidean, Euclidean, Manhattan).
#include "_frame.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace kernels {

using ssize = Py_ssize_t;
using kw::mem::load;
using kw::mem::store;


// The per-column term and the final step of each metric.
struct SqEuclidean {
  static constexpr bool manhattan = false, identity_finish = true;
  static double term(double diff) { return diff * diff; }
  static double finish(double acc) { return acc; }
};
struct Euclidean {
  static constexpr bool manhattan = false, identity_finish = false;
  static double term(double diff) { return diff * diff; }
  static double finish(double acc) { return std::pow(acc, 0.5); }
};
struct Manhattan {
  static constexpr bool manhattan = true, identity_finish = true;
  static double term(double diff) { return std::fabs(diff); }
  static double finish(double acc) { return acc; }
};

// out[i, j] = finish(sum over k = 0 .. d-1 of term(X[i, k] - Y[j, k])).
//
// X is n x d, Y is m x (at least d), out is n x m; every stride is in bytes
// and may be negative or zero.  One scalar accumulator per pair, starting at
// +0.0 and summed in increasing k, so each entry is reproducible bit for bit.
// Loop invariant: after the k loop, acc holds the strict left-to-right sum of
// the d terms of pair (i, j).  Columns j0 .. m-1 only (the vector kernel
// below covers the others).
template <class M>
void pairwise_scalar(const char* x, ssize n, ssize d, ssize xs0, ssize xs1, const char* y, ssize j0, ssize m,
                     ssize ys0, ssize ys1, char* out, ssize os0, ssize os1) {
  for (ssize i = 0; i < n; ++i) {
    const char* xi = x + i * xs0;
    char* oi = out + i * os0;
    for (ssize j = j0; j < m; ++j) {
      const char* yj = y + j * ys0;
      double acc = 0.0;
      for (ssize k = 0; k < d; ++k) acc += M::term(load(xi + k * xs1) - load(yj + k * ys1));
      store(oi + j * os1, M::finish(acc));
    }
  }
}

// The same sums, vectorised ACROSS PAIRS: each lane of a W-wide vector is
// one pair (i, j) and adds its own d terms in increasing k, exactly as the
// scalar loop does (separate multiply and add, no fused multiply-add), so
// the results are identical bit for bit.  Y is packed into panels of W rows
// (panel[k][lane] = Y[j0 + lane, k]) and R rows of X are combined with PN
// panels per step for independent accumulator chains.
template <int W>
struct Lanes {
  typedef double vd __attribute__((vector_size(W * 8)));
  typedef long long vi __attribute__((vector_size(W * 8)));
};

// Every lane set to the double at p (any alignment).  With AVX this is one
// broadcast load; GCC does not emit that for a vector initialiser, and
// `(vd){} + value` would cost an addition per broadcast (0.0 + -0.0 is
// +0.0, so the compiler cannot drop it).
struct Bytes8 {
  char b[8];
};
template <int W>
inline __attribute__((always_inline)) typename Lanes<W>::vd splat(const char* p) {
  typename Lanes<W>::vd r;
  if constexpr (W == 8) {
    asm("vbroadcastsd %1, %0" : "=v"(r) : "m"(*reinterpret_cast<const Bytes8*>(p)));
  } else if constexpr (W == 4) {
    asm("vbroadcastsd %1, %0" : "=x"(r) : "m"(*reinterpret_cast<const Bytes8*>(p)));
  } else {
    const double v = load(p);
    for (int l = 0; l < W; ++l) r[l] = v;
  }
  return r;
}

// term(diff) per lane, in place: the square, or the absolute value (sign
// bit cleared).
template <class M, int W>
inline __attribute__((always_inline)) void vterm(typename Lanes<W>::vd& diff) {
  using vi = typename Lanes<W>::vi;
  if constexpr (M::manhattan) {
    vi bits;
    std::memcpy(&bits, &diff, sizeof bits);
    bits &= (vi){} + 0x7fffffffffffffffLL;
    std::memcpy(&diff, &bits, sizeof bits);
  } else {
    diff = diff * diff;
  }
}

template <class M, int W, int R, int PN>
inline __attribute__((always_inline)) void block(const char* const* xr, ssize xs1, const double* const* pan, ssize d,
                                                 char* const* orow, ssize os1, ssize j0) {
  using vd = typename Lanes<W>::vd;
  vd acc[R][PN];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < PN; ++q) acc[r][q] = (vd){};
  for (ssize k = 0; k < d; ++k) {
    vd py[PN];
    for (int q = 0; q < PN; ++q) std::memcpy(&py[q], pan[q] + k * W, sizeof(vd));
    for (int r = 0; r < R; ++r) {
      const vd xb = splat<W>(xr[r] + k * xs1);
      for (int q = 0; q < PN; ++q) {
        vd t = xb - py[q];
        vterm<M, W>(t);
        acc[r][q] = acc[r][q] + t;
      }
    }
  }
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < PN; ++q) {
      double lanes[W];
      std::memcpy(lanes, &acc[r][q], sizeof lanes);
      char* o = orow[r] + (j0 + (ssize)q * W) * os1;
      if (!M::identity_finish) {
        for (int l = 0; l < W; ++l) lanes[l] = M::finish(lanes[l]);
      }
      if (os1 == 8) {
        std::memcpy(o, lanes, sizeof lanes);
      } else {
        for (int l = 0; l < W; ++l) store(o + l * os1, lanes[l]);
      }
    }
}

template <class M, int W>
inline __attribute__((always_inline)) void pairwise_lanes(const char* x, ssize n, ssize d, ssize xs0, ssize xs1,
                                                          const char* y, ssize m, ssize ys0, ssize ys1, char* out,
                                                          ssize os0, ssize os1) {
  const ssize panels = m / W;
  std::vector<double> pack((size_t)(panels * d * W));
  for (ssize p = 0; p < panels; ++p)
    for (ssize k = 0; k < d; ++k)
      for (ssize l = 0; l < W; ++l) pack[(size_t)((p * d + k) * W + l)] = load(y + (p * W + l) * ys0 + k * ys1);
  constexpr int R = W == 8 ? 6 : 4;  // accumulators: R * 2 of the 32 or 16 registers
  ssize i = 0;
  for (; i + R <= n; i += R) {
    const char* xr[R];
    char* orow[R];
    for (int r = 0; r < R; ++r) {
      xr[r] = x + (i + r) * xs0;
      orow[r] = out + (i + r) * os0;
    }
    ssize p = 0;
    for (; p + 2 <= panels; p += 2) {
      const double* pan[2] = {pack.data() + p * d * W, pack.data() + (p + 1) * d * W};
      block<M, W, R, 2>(xr, xs1, pan, d, orow, os1, p * W);
    }
    if (p < panels) {
      const double* pan[1] = {pack.data() + p * d * W};
      block<M, W, R, 1>(xr, xs1, pan, d, orow, os1, p * W);
    }
  }
  for (; i < n; ++i) {
    const char* xr[1] = {x + i * xs0};
    char* orow[1] = {out + i * os0};
    for (ssize p = 0; p < panels; ++p) {
      const double* pan[1] = {pack.data() + p * d * W};
      block<M, W, 1, 1>(xr, xs1, pan, d, orow, os1, p * W);
    }
  }
  pairwise_scalar<M>(x, n, d, xs0, xs1, y, panels * W, m, ys0, ys1, out, os0, os1);
}

template <class M>
__attribute__((target("avx512f"))) void pairwise_avx512(const char* x, ssize n, ssize d, ssize xs0, ssize xs1,
                                                         const char* y, ssize m, ssize ys0, ssize ys1, char* out,
                                                         ssize os0, ssize os1) {
  pairwise_lanes<M, 8>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, os1);
}

template <class M>
__attribute__((target("avx2"))) void pairwise_avx2(const char* x, ssize n, ssize d, ssize xs0, ssize xs1,
                                                    const char* y, ssize m, ssize ys0, ssize ys1, char* out,
                                                    ssize os0, ssize os1) {
  pairwise_lanes<M, 4>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, os1);
}

template <class M>
void pairwise_sse2(const char* x, ssize n, ssize d, ssize xs0, ssize xs1, const char* y, ssize m, ssize ys0,
                   ssize ys1, char* out, ssize os0, ssize os1) {
  pairwise_lanes<M, 2>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, os1);
}

// The widest vector path this processor runs: 8 for AVX-512, 4 for AVX2,
// 2 for the SSE2 baseline of x86-64.
inline int simd_width() {
  static const int width = __builtin_cpu_supports("avx512f") ? 8 : __builtin_cpu_supports("avx2") ? 4 : 2;
  return width;
}

template <class M>
void pairwise(const char* x, ssize n, ssize d, ssize xs0, ssize xs1, const char* y, ssize m, ssize ys0, ssize ys1,
              char* out, ssize os0, ssize os1) {
  switch (simd_width()) {
    case 8: return pairwise_avx512<M>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, os1);
    case 4: return pairwise_avx2<M>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, os1);
    default: return pairwise_sse2<M>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, os1);
  }
}

}  // namespace kernels

namespace {

constexpr kw::Param kParams[] = {
    {"X", kw::Kind::Array, 2, &kw::DTYPE},
    {"Y", kw::Kind::Array, 2, &kw::DTYPE},
};

// Body shared by the three functions; `alloc_line` is the traceback line of
// the result allocation.
template <class M, int alloc_line>
PyObject* distance_body(kw::Call& c, kw::Args& a) {
  const kw::View& X = *a.view[0];
  const kw::View& Y = *a.view[1];
  const Py_ssize_t n = X.shape[0], d = X.shape[1], m = Y.shape[0];
  if (Y.shape[1] < d) {
    PyErr_Format(PyExc_ValueError, "Y has %zd columns, fewer than the %zd columns of X", Y.shape[1], d);
    return c.fail();
  }
  c.line = alloc_line;
  PyObject* out = c.alloc("empty", {n, m}, "float64");
  if (!out) return c.fail();
  kw::View* ov = c.view(out, 2, kw::DTYPE, true);
  if (!ov) return c.fail();
  // A rebound np could hand back any array: never write past its end.
  if (ov->shape[0] != n || ov->shape[1] != m) {
    PyErr_Format(PyExc_ValueError, "np.empty returned an array of shape (%zd, %zd), expected (%zd, %zd)",
                 ov->shape[0], ov->shape[1], n, m);
    return c.fail();
  }
  kernels::pairwise<M>(X.data, n, d, X.strides[0], X.strides[1], Y.data, m, Y.strides[0], Y.strides[1],
                       ov->data, ov->strides[0], ov->strides[1]);
  return Py_NewRef(out);
}

const kw::FuncDef kFuncs[] = {
    {"pairwise_squared_euclidean", kParams, 2, 2, nullptr, nullptr, 11, 11,
     distance_body<kernels::SqEuclidean, 16>},
    {"pairwise_distances", kParams, 2, 2, nullptr, nullptr, 30, 30, distance_body<kernels::Euclidean, 35>},
    {"pairwise_manhattan_distances", kParams, 2, 2, nullptr, nullptr, 49, 49,
     distance_body<kernels::Manhattan, 54>},
};

const kw::ModuleDecl kModule = {
    "kelpwise.accel._tarsine",
    "_tarsine",
    "kelpwise/accel/_tarsine",
    "Accelerated pairwise distance routines.",
    kFuncs,
    3,
    4,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tarsine(void) { return kw::module_init(&kModule); }
