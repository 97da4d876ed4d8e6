// Dense distance matrices between the rows of two matrices.
//
// out[i, j] = finish(sum over k = 0 .. d-1 of term(X[i, k] - Y[j, k]))
//
// X is n x d, Y is m x (at least d), out is n x m; every stride is in bytes
// and may be negative or zero.  One accumulator per pair, starting at +0.0
// and summed in increasing k, each term rounded before it is added (the
// build keeps -ffp-contract=off: no fused multiply-add), so every entry is
// reproducible bit for bit.
#ifndef KELPWISE_KERNELS_DISTANCES_HPP
#define KELPWISE_KERNELS_DISTANCES_HPP

#include <cmath>
#include <cstdint>
#include <cstring>

#include "roots.hpp"
#include "simd.hpp"
#include "strided.hpp"

namespace kernels {

// The metrics.  Sum is the metric whose sums the vector kernel forms;
// finish_row turns a contiguous row of such sums into this metric's values
// (the Euclidean distance takes its roots there, after the sums, with the
// root pass of the vector path whose tag it is given).
struct SqEuclidean {
  using Sum = SqEuclidean;
  static double term(double diff) { return diff * diff; }
  template <class V>
  static KW_INLINE V vterm(V diff) {
    return diff * diff;
  }
  static double finish(double acc) { return acc; }
  template <class Path>
  static KW_INLINE void finish_row(Path, char*, ssize) {}
};

struct Manhattan {
  using Sum = Manhattan;
  static double term(double diff) { return std::fabs(diff); }
  template <class V>
  static KW_INLINE V vterm(V diff) {  // the sign bits cleared
    typedef long long I __attribute__((vector_size(sizeof(V))));
    I bits;
    std::memcpy(&bits, &diff, sizeof bits);
    bits &= 0x7fffffffffffffffLL;
    std::memcpy(&diff, &bits, sizeof diff);
    return diff;
  }
  static double finish(double acc) { return acc; }
  template <class Path>
  static KW_INLINE void finish_row(Path, char*, ssize) {}
};

struct Euclidean {
  using Sum = SqEuclidean;
  static double term(double diff) { return diff * diff; }
  static double finish(double acc) { return std::pow(acc, 0.5); }  // pow, not sqrt
  template <class Path>
  static KW_INLINE void finish_row(Path path, char* row, ssize count) {
    if (reinterpret_cast<uintptr_t>(row) % 8 == 0) return roots(path, reinterpret_cast<double*>(row), count);
    for (ssize j = 0; j < count; ++j) store(row + j * 8, finish(load(row + j * 8)));
  }
};

// The plain loop over columns j0 .. m-1: each finished value stored once.
template <class Metric>
void pairwise_scalar(const StridedView<2>& X, const StridedView<2>& Y, ssize j0, const StridedView<2>& out) {
  const ssize n = X.shape[0], d = X.shape[1], m = Y.shape[0];
  for (ssize i = 0; i < n; ++i) {
    const char* xi = X.data + i * X.strides[0];
    char* oi = out.data + i * out.strides[0];
    for (ssize j = j0; j < m; ++j) {
      const char* yj = Y.data + j * Y.strides[0];
      double acc = 0.0;
      for (ssize k = 0; k < d; ++k) acc += Metric::term(load(xi + k * X.strides[1]) - load(yj + k * Y.strides[1]));
      store(oi + j * out.strides[1], Metric::finish(acc));
    }
  }
}

// Blocking of the vector kernel (distances_lanes.inc): Y is packed, one
// block of at most kColBlock columns and pack_panels() panels at a time,
// into a scratch buffer of at most about kPackBytes, reused for every block.
// Every block of panels makes the rows of X pass once more, so the blocks
// are large: 1 MiB holds the whole of a 2000-row Y at d=64 (2-4% faster
// there, and at d=512, than blocks of 256 KiB on the AVX-512 and AVX2
// paths, with the panels streaming from L2 and L3 all the same).
namespace blocking {

constexpr ssize kColBlock = 512;
constexpr ssize kPackBytes = 1024 * 1024;

inline ssize col_block(ssize d) {
  return d < kColBlock ? d : kColBlock;
}
inline ssize pack_panels(ssize d, int W) {
  const ssize per_panel = col_block(d) * W * 8;
  return per_panel >= kPackBytes ? 1 : kPackBytes / per_panel;
}

// True when the vector kernel may write out: contiguous rows that do not
// overlap one another.  It stores partial sums and roots in place, which is
// only right where every element is its own memory; any other layout gets
// the scalar loop, which stores each finished value once.
inline bool writable_in_place(const StridedView<2>& out) {
  const ssize n = out.shape[0], m = out.shape[1], os0 = out.strides[0];
  return out.strides[1] == 8 && (n <= 1 || os0 >= 8 * m || os0 <= -8 * m);
}

}  // namespace blocking
}  // namespace kernels

#define KW_PATH_FILE "distances_lanes.inc"
#include "each_path.inc"
#undef KW_PATH_FILE

namespace kernels {

// The lanes of the vector kernel's sums on this processor.
inline int pairwise_sum_lanes() {
  int lanes = 0;
  dispatch([&](auto path) { lanes = sum_lanes(path); });
  return lanes;
}

// Doubles of scratch that pairwise() needs for these extents (0: none).
inline ssize pairwise_scratch(ssize n, ssize m, ssize d) {
  const int L = pairwise_sum_lanes();
  const ssize panels = m / L;
  if (n == 0 || panels == 0 || d == 0) return 0;
  const ssize pb = blocking::pack_panels(d, L);
  return (panels < pb ? panels : pb) * blocking::col_block(d) * L;
}

// Entry point.  X: n x d, Y: m x (>= d), out: n x m;
// pack: pairwise_scratch(n, m, d) doubles.
template <class Metric>
void pairwise(const StridedView<2>& X, const StridedView<2>& Y, const StridedView<2>& out, double* pack) {
  const ssize n = X.shape[0], d = X.shape[1], m = Y.shape[0];
  if (n == 0 || m == 0) return;
  const int L = pairwise_sum_lanes();
  if (d == 0 || m < L || !blocking::writable_in_place(out)) return pairwise_scalar<Metric>(X, Y, 0, out);
  dispatch([&](auto path) { pairwise_lanes<Metric>(path, X, Y, out, pack, L); });
}

}  // namespace kernels

#endif  // KELPWISE_KERNELS_DISTANCES_HPP
