// kelpwise.accel._tarsine: dense distance matrices between the rows of two
// float64 matrices (squared Euclidean, Euclidean, Manhattan).
#include "_frame.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#include <immintrin.h>

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
inline __attribute__((always_inline)) void splat(typename Lanes<W>::vd& r, const char* p) {
  if constexpr (W == 8) {
    asm("vbroadcastsd %1, %0" : "=v"(r) : "m"(*reinterpret_cast<const Bytes8*>(p)));
  } else if constexpr (W == 4) {
    asm("vbroadcastsd %1, %0" : "=x"(r) : "m"(*reinterpret_cast<const Bytes8*>(p)));
  } else {
    const double v = load(p);
    for (int l = 0; l < W; ++l) r[l] = v;
  }
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

// R rows of X against PN packed panels over one block of kn columns.  The
// accumulators start at +0.0 on the first column block and otherwise from
// the partial sums that the previous block stored in out; a stored double
// is exact, so the sums are the same as in one pass.  Rows of out are
// contiguous here.
template <class M, int W, int R, int PN>
inline __attribute__((always_inline)) void block(const char* const* xr, ssize xs1, const double* const* pan, ssize kn,
                                                 char* const* orow, ssize j0, bool first) {
  using vd = typename Lanes<W>::vd;
  vd acc[R][PN];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < PN; ++q) {
      if (first)
        acc[r][q] = (vd){};
      else
        std::memcpy(&acc[r][q], orow[r] + (j0 + (ssize)q * W) * 8, sizeof(vd));
    }
  for (ssize k = 0; k < kn; ++k) {
    vd py[PN];
    for (int q = 0; q < PN; ++q) std::memcpy(&py[q], pan[q] + k * W, sizeof(vd));
    for (int r = 0; r < R; ++r) {
      vd xb;
      splat<W>(xb, xr[r] + k * xs1);
      for (int q = 0; q < PN; ++q) {
        vd t = xb - py[q];
        vterm<M, W>(t);
        acc[r][q] = acc[r][q] + t;
      }
    }
  }
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < PN; ++q) std::memcpy(orow[r] + (j0 + (ssize)q * W) * 8, &acc[r][q], sizeof(vd));
}

// pow(v[j], 0.5) in place for j < count, v contiguous.
//
// When the C library's pow is known to be accurate to 0.54 ulp (glibc 2.28
// and later document this worst-case error for pow on every input), the
// square root r = sqrt(a), which IEEE arithmetic rounds correctly, is
// provably the double that pow returns whenever the exact root t lies
// less than 0.46 ulp from r: every other double is then more than 0.54 ulp
// from t, beyond pow's error.  The vector passes below take r for each
// lane where a distance below 0.4591 ulp is certified and call pow for the
// others (about one in twelve, where t lies near the midpoint between two
// doubles), so every result is pow's own, bit for bit.
//
// Certification, for a in [2^-900, 2^900] (nothing below can overflow or
// underflow): e = r*r - a is exactly representable when r is the correctly
// rounded root, and is computed exactly with Dekker's product (Veltkamp
// split; no fused multiply-add anywhere).  Since t - r = -e / (t + r) and
// t + r >= 2r(1 - 2^-54), |e| <= 0.918 * r * ulp(r) gives |t - r| <
// 0.4591 ulp.  r must not be a power of two, where the ulp below r is half the
// ulp above it.  a = +0 and a = +inf need no certificate: sqrt and pow
// both return a.  Everything else (NaN, subnormals, the far ranges) goes
// to pow.
inline bool pow_half_bound_known() {
#if defined(__GLIBC__)
  static const bool known = [] {
    int major = 0, minor = 0;
    return std::sscanf(gnu_get_libc_version(), "%d.%d", &major, &minor) == 2 &&
           (major > 2 || (major == 2 && minor >= 28));
  }();
  return known;
#else
  return false;  // another C library: no known bound, pow for every entry
#endif
}

constexpr long long kRootLo = 0x0830000000000000LL;  // 2^-900
constexpr long long kRootHi = 0x7830000000000000LL;  // 2^900
constexpr long long kExpBits = 0x7ff0000000000000LL, kMantBits = 0x000fffffffffffffLL;

inline void roots_plain(double* v, ssize count) {
  for (ssize j = 0; j < count; ++j) v[j] = std::pow(v[j], 0.5);
}

// The vector passes work through a row in chunks: each chunk's lanes that
// are not certified are listed without branches (a data-dependent branch
// per vector would be mispredicted about every other time), and pow is
// applied to the listed entries after the chunk.
constexpr int kRootChunk = 256;

struct RootChunk {
  alignas(64) double orig[kRootChunk];          // the chunk's accumulators
  alignas(64) int64_t where[kRootChunk + 8];    // offsets of uncertified lanes
  int count = 0;
  void apply(double* v) const {
    for (int t = 0; t < count; ++t) v[where[t]] = std::pow(orig[where[t]], 0.5);
  }
};

__attribute__((target("avx512f"))) void roots_avx512(double* v, ssize count) {
  const __m512d split = _mm512_set1_pd(134217729.0);  // 2^27 + 1
  const __m512i abs_bits = _mm512_set1_epi64(0x7fffffffffffffffLL);
  const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
  RootChunk chunk;
  ssize j0 = 0;
  for (; j0 + 8 <= count; j0 += kRootChunk) {
    const ssize len = std::min<ssize>(kRootChunk, count - j0) & ~(ssize)7;
    double* w = v + j0;
    chunk.count = 0;
    for (ssize j = 0; j < len; j += 8) {
      const __m512d a = _mm512_loadu_pd(w + j);
      const __m512d r = _mm512_maskz_sqrt_pd((__mmask8)0xff, a);
      const __m512d c = _mm512_mul_pd(r, split);
      const __m512d rh = _mm512_sub_pd(c, _mm512_sub_pd(c, r));
      const __m512d rl = _mm512_sub_pd(r, rh);
      const __m512d p = _mm512_mul_pd(r, r);
      __m512d err = _mm512_sub_pd(_mm512_mul_pd(rh, rh), p);
      err = _mm512_add_pd(err, _mm512_mul_pd(rh, rl));
      err = _mm512_add_pd(err, _mm512_mul_pd(rl, rh));
      err = _mm512_add_pd(err, _mm512_mul_pd(rl, rl));
      const __m512d e = _mm512_add_pd(_mm512_sub_pd(p, a), err);  // p - a exact (Sterbenz), sum exact
      const __m512i rb = _mm512_castpd_si512(r), ab = _mm512_castpd_si512(a);
      const __m512d scale = _mm512_castsi512_pd(_mm512_and_si512(rb, _mm512_set1_epi64(kExpBits)));
      const __m512d bound =
          _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(r, scale), _mm512_set1_pd(0x1p-52)), _mm512_set1_pd(0.918));
      const __m512d abs_e = _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(e), abs_bits));
      __mmask8 ok = _mm512_cmp_pd_mask(abs_e, bound, _CMP_LE_OQ) &
                    _mm512_cmpge_epi64_mask(ab, _mm512_set1_epi64(kRootLo)) &
                    _mm512_cmple_epi64_mask(ab, _mm512_set1_epi64(kRootHi)) &
                    _mm512_test_epi64_mask(rb, _mm512_set1_epi64(kMantBits));
      ok |= _mm512_cmpeq_epi64_mask(ab, _mm512_setzero_si512()) |
            _mm512_cmpeq_epi64_mask(ab, _mm512_set1_epi64(kExpBits));
      _mm512_store_pd(chunk.orig + j, a);
      _mm512_storeu_pd(w + j, r);
      const __mmask8 bad = (__mmask8)~ok;
      _mm512_storeu_si512(chunk.where + chunk.count,
                          _mm512_maskz_compress_epi64(bad, _mm512_add_epi64(lane, _mm512_set1_epi64(j))));
      chunk.count += __builtin_popcount((unsigned)bad);
    }
    chunk.apply(w);
  }
  const ssize done = count & ~(ssize)7;
  roots_plain(v + done, count - done);
}

// Lane offsets of each 4-bit mask, lowest set bit first.
struct LaneTable {
  int8_t lanes[16][4];
  int8_t n[16];
  constexpr LaneTable() : lanes(), n() {
    for (int mask = 0; mask < 16; ++mask) {
      int k = 0;
      for (int l = 0; l < 4; ++l)
        if (mask & (1 << l)) lanes[mask][k++] = (int8_t)l;
      n[mask] = (int8_t)k;
    }
  }
};
constexpr LaneTable kLanes4{};

__attribute__((target("avx2"))) void roots_avx2(double* v, ssize count) {
  const __m256d split = _mm256_set1_pd(134217729.0);  // 2^27 + 1
  const __m256i abs_bits = _mm256_set1_epi64x(0x7fffffffffffffffLL);
  RootChunk chunk;
  ssize j0 = 0;
  for (; j0 + 4 <= count; j0 += kRootChunk) {
    const ssize len = std::min<ssize>(kRootChunk, count - j0) & ~(ssize)3;
    double* w = v + j0;
    chunk.count = 0;
    for (ssize j = 0; j < len; j += 4) {
      const __m256d a = _mm256_loadu_pd(w + j);
      const __m256d r = _mm256_sqrt_pd(a);
      const __m256d c = _mm256_mul_pd(r, split);
      const __m256d rh = _mm256_sub_pd(c, _mm256_sub_pd(c, r));
      const __m256d rl = _mm256_sub_pd(r, rh);
      const __m256d p = _mm256_mul_pd(r, r);
      __m256d err = _mm256_sub_pd(_mm256_mul_pd(rh, rh), p);
      err = _mm256_add_pd(err, _mm256_mul_pd(rh, rl));
      err = _mm256_add_pd(err, _mm256_mul_pd(rl, rh));
      err = _mm256_add_pd(err, _mm256_mul_pd(rl, rl));
      const __m256d e = _mm256_add_pd(_mm256_sub_pd(p, a), err);
      const __m256i rb = _mm256_castpd_si256(r), ab = _mm256_castpd_si256(a);
      const __m256d scale = _mm256_castsi256_pd(_mm256_and_si256(rb, _mm256_set1_epi64x(kExpBits)));
      const __m256d bound =
          _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(r, scale), _mm256_set1_pd(0x1p-52)), _mm256_set1_pd(0.918));
      const __m256d abs_e = _mm256_castsi256_pd(_mm256_and_si256(_mm256_castpd_si256(e), abs_bits));
      unsigned ok = (unsigned)_mm256_movemask_pd(_mm256_cmp_pd(abs_e, bound, _CMP_LE_OQ));
      __m256i out_of_range = _mm256_cmpgt_epi64(_mm256_set1_epi64x(kRootLo), ab);
      out_of_range = _mm256_or_si256(out_of_range, _mm256_cmpgt_epi64(ab, _mm256_set1_epi64x(kRootHi)));
      out_of_range = _mm256_or_si256(
          out_of_range, _mm256_cmpeq_epi64(_mm256_and_si256(rb, _mm256_set1_epi64x(kMantBits)), _mm256_setzero_si256()));
      const __m256i exact = _mm256_or_si256(_mm256_cmpeq_epi64(ab, _mm256_setzero_si256()),
                                            _mm256_cmpeq_epi64(ab, _mm256_set1_epi64x(kExpBits)));
      ok &= ~(unsigned)_mm256_movemask_pd(_mm256_castsi256_pd(out_of_range));
      ok |= (unsigned)_mm256_movemask_pd(_mm256_castsi256_pd(exact));
      _mm256_store_pd(chunk.orig + j, a);
      _mm256_storeu_pd(w + j, r);
      const unsigned bad = ~ok & 0xfu;
      for (int t = 0; t < 4; ++t) chunk.where[chunk.count + t] = j + kLanes4.lanes[bad][t];
      chunk.count += kLanes4.n[bad];
    }
    chunk.apply(w);
  }
  const ssize done = count & ~(ssize)3;
  roots_plain(v + done, count - done);
}

// Applies pow(., 0.5) to the first `count` entries of an output row, with
// the certified vector pass of width W where the row is contiguous.
template <int W>
inline void finish_row(char* row, ssize count, ssize os1) {
  if (os1 == 8 && ((uintptr_t)row % 8) == 0 && W > 2 && pow_half_bound_known()) {
    if (W == 8) return roots_avx512((double*)row, count);
    return roots_avx2((double*)row, count);
  }
  for (ssize j = 0; j < count; ++j) store(row + j * os1, std::pow(load(row + j * os1), 0.5));
}

// Column and panel blocking of the vector kernels: Y is packed, one block of
// at most kColBlock columns and pack_panels() panels at a time, into a
// scratch buffer of at most about kPackBytes, reused for every block.
constexpr ssize kColBlock = 512;
constexpr ssize kPackBytes = 256 * 1024;

inline ssize col_block(ssize d) { return d < kColBlock ? d : kColBlock; }
inline ssize pack_panels(ssize d, int W) {
  const ssize per_panel = col_block(d) * W * 8;
  return per_panel >= kPackBytes ? 1 : kPackBytes / per_panel;
}

// Doubles of scratch that pairwise() needs for these extents (0: none).
inline ssize pairwise_scratch(ssize n, ssize m, ssize d, int W) {
  const ssize panels = m / W;
  if (n == 0 || panels == 0 || d == 0) return 0;
  const ssize pb = pack_panels(d, W);
  return (panels < pb ? panels : pb) * col_block(d) * W;
}

template <class M, int W>
inline __attribute__((always_inline)) void pairwise_lanes(const char* x, ssize n, ssize d, ssize xs0, ssize xs1,
                                                          const char* y, ssize m, ssize ys0, ssize ys1, char* out,
                                                          ssize os0, double* pack) {
  const ssize panels = m / W;
  const ssize kb = col_block(d), pb = pack_panels(d, W);
  // The vector kernel sums; for the Euclidean distance the root follows
  // after the last column block, row group by row group while the rows are
  // still in cache.
  using K = std::conditional_t<M::identity_finish, M, SqEuclidean>;
  constexpr int R = W == 8 ? 6 : 4;  // accumulators: R * 2 of the 32 or 16 registers
  for (ssize k0 = 0; k0 < d; k0 += kb) {
    const ssize kn = d - k0 < kb ? d - k0 : kb;
    const bool first = k0 == 0, last = k0 + kn == d;
    for (ssize p0 = 0; p0 < panels; p0 += pb) {
      const ssize pn = panels - p0 < pb ? panels - p0 : pb;
      for (ssize p = 0; p < pn; ++p)
        for (ssize k = 0; k < kn; ++k)
          for (ssize l = 0; l < W; ++l)
            pack[(p * kn + k) * W + l] = load(y + ((p0 + p) * W + l) * ys0 + (k0 + k) * ys1);
      auto finish = [&](ssize row, ssize rows) {
        if (!M::identity_finish && last)
          for (ssize r = row; r < row + rows; ++r) finish_row<W>(out + r * os0 + p0 * W * 8, pn * W, 8);
      };
      ssize i = 0;
      for (; i + R <= n; i += R) {
        const char* xr[R];
        char* orow[R];
        for (int r = 0; r < R; ++r) {
          xr[r] = x + (i + r) * xs0 + k0 * xs1;
          orow[r] = out + (i + r) * os0;
        }
        ssize p = 0;
        for (; p + 2 <= pn; p += 2) {
          const double* pan[2] = {pack + p * kn * W, pack + (p + 1) * kn * W};
          block<K, W, R, 2>(xr, xs1, pan, kn, orow, (p0 + p) * W, first);
        }
        if (p < pn) {
          const double* pan[1] = {pack + p * kn * W};
          block<K, W, R, 1>(xr, xs1, pan, kn, orow, (p0 + p) * W, first);
        }
        finish(i, R);
      }
      for (; i < n; ++i) {
        const char* xr[1] = {x + i * xs0 + k0 * xs1};
        char* orow[1] = {out + i * os0};
        for (ssize p = 0; p < pn; ++p) {
          const double* pan[1] = {pack + p * kn * W};
          block<K, W, 1, 1>(xr, xs1, pan, kn, orow, (p0 + p) * W, first);
        }
        finish(i, 1);
      }
    }
  }
  pairwise_scalar<M>(x, n, d, xs0, xs1, y, panels * W, m, ys0, ys1, out, os0, 8);
}

template <class M>
__attribute__((target("avx512f"))) void pairwise_avx512(const char* x, ssize n, ssize d, ssize xs0, ssize xs1,
                                                         const char* y, ssize m, ssize ys0, ssize ys1, char* out,
                                                         ssize os0, double* pack) {
  pairwise_lanes<M, 8>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, pack);
}

template <class M>
__attribute__((target("avx2"))) void pairwise_avx2(const char* x, ssize n, ssize d, ssize xs0, ssize xs1,
                                                    const char* y, ssize m, ssize ys0, ssize ys1, char* out,
                                                    ssize os0, double* pack) {
  pairwise_lanes<M, 4>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, pack);
}

template <class M>
void pairwise_sse2(const char* x, ssize n, ssize d, ssize xs0, ssize xs1, const char* y, ssize m, ssize ys0,
                   ssize ys1, char* out, ssize os0, double* pack) {
  pairwise_lanes<M, 2>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, pack);
}

// True when the vector kernels may write out: contiguous rows that do not
// overlap one another.  They store partial sums and (Euclidean) roots in
// place, which is only right where every element is its own memory; any
// other layout gets the scalar loop, which stores each finished value once.
inline bool lanes_layout(ssize n, ssize m, ssize os0, ssize os1) {
  return os1 == 8 && (n <= 1 || os0 >= 8 * m || os0 <= -8 * m);
}

// Entry point.  pack: pairwise_scratch(n, m, d, simd_width()) doubles.
template <class M>
void pairwise(const char* x, ssize n, ssize d, ssize xs0, ssize xs1, const char* y, ssize m, ssize ys0, ssize ys1,
              char* out, ssize os0, ssize os1, double* pack) {
  if (n == 0 || m == 0) return;
  if (d == 0 || !lanes_layout(n, m, os0, os1) || m < kw::simd_width())
    return pairwise_scalar<M>(x, n, d, xs0, xs1, y, 0, m, ys0, ys1, out, os0, os1);
  switch (kw::simd_width()) {
    case 8: return pairwise_avx512<M>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, pack);
    case 4: return pairwise_avx2<M>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, pack);
    default: return pairwise_sse2<M>(x, n, d, xs0, xs1, y, m, ys0, ys1, out, os0, pack);
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
  // Scratch for packing Y, bounded and none when there is no work.
  const Py_ssize_t need = kernels::pairwise_scratch(n, m, d, kw::simd_width());
  kw::Scratch<double> pack;
  if (!pack.allocate(need)) return c.fail();
  kernels::pairwise<M>(X.data, n, d, X.strides[0], X.strides[1], Y.data, m, Y.strides[0], Y.strides[1],
                       ov->data, ov->strides[0], ov->strides[1], pack.get());
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
