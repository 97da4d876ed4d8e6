// kelpwise.accel._tarsine: dense distance matrices between the rows of two
// float64 matrices (squared Euclidean, Euclidean, Manhattan).
#include "_frame.hpp"

#include <cmath>
#include <cstring>

namespace kernels {

using ssize = Py_ssize_t;

// Unaligned-safe element access: views may come from unaligned buffers.
inline double load(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(char* p, double v) { std::memcpy(p, &v, sizeof v); }

// The per-column term and the final step of each metric.
struct SqEuclidean {
  static double term(double diff) { return diff * diff; }
  static double finish(double acc) { return acc; }
};
struct Euclidean {
  static double term(double diff) { return diff * diff; }
  static double finish(double acc) { return std::pow(acc, 0.5); }
};
struct Manhattan {
  static double term(double diff) { return std::fabs(diff); }
  static double finish(double acc) { return acc; }
};

// out[i, j] = finish(sum over k = 0 .. d-1 of term(X[i, k] - Y[j, k])).
//
// X is n x d, Y is m x (at least d), out is n x m; every stride is in bytes
// and may be negative or zero.  One scalar accumulator per pair, starting at
// +0.0 and summed in increasing k, so each entry is reproducible bit for bit.
// Loop invariant: after the k loop, acc holds the strict left-to-right sum of
// the d terms of pair (i, j).
template <class M>
void pairwise(const char* x, ssize n, ssize d, ssize xs0, ssize xs1, const char* y, ssize m, ssize ys0,
              ssize ys1, char* out, ssize os0, ssize os1) {
  for (ssize i = 0; i < n; ++i) {
    const char* xi = x + i * xs0;
    char* oi = out + i * os0;
    for (ssize j = 0; j < m; ++j) {
      const char* yj = y + j * ys0;
      double acc = 0.0;
      for (ssize k = 0; k < d; ++k) acc += M::term(load(xi + k * xs1) - load(yj + k * ys1));
      store(oi + j * os1, M::finish(acc));
    }
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

const kw::ModuleSpec kSpec = {
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

PyMODINIT_FUNC PyInit__tarsine(void) { return kw::module_init(&kSpec); }
