// The root pass of the Euclidean distance: pow(v[j], 0.5) in place.
//
// The bound on pow.  glibc 2.28 and later state pow's worst-case error in
// their source (sysdeps/ieee754/dbl-64/e_pow.c) as 0.54 ulp, with its make-up:
// ulperr_exp + 1024*ln2*relerr_log*2^53, where the exp step errs by at most
// 0.511 ulp and the log step by a relative 1.5 * 2^-68 (the figures without
// fused multiply-add; those with it are smaller), the log's error reaching
// the result multiplied by |y * log x|, at most 1024*ln2 for a finite
// result.  For y = 0.5 and x in [2^-256, 2^256], |y * log x| <= 128*ln2, so
// pow errs by at most B = 0.511 + 128*ln2 * 1.5 * 2^-15 = 0.51507 ulp.
//
// The certificate.  The square root r = sqrt(a), which IEEE arithmetic
// rounds correctly, is the double that pow returns whenever the exact root
// t lies less than 1 - B = 0.48493 ulp from r: every other double is then
// more than B from t.  Since t - r = -(r*r - a) / (t + r) and t + r >=
// 2r(1 - 2^-54), |r*r - a| <= K * r * ulp(r) with K = 0.96875 gives
// |t - r| < 0.48438 ulp, a margin of 0.0005 ulp.  The vector pass takes r
// for each lane so certified and calls pow for the others (about one in
// 32, where t lies within 0.016 ulp of the midpoint between two doubles),
// so every result is pow's own, bit for bit.  With the older figure of
// 0.54 ulp for every input, one entry in twelve would need pow.
//
// r*r - a is computed from r = rh + rl, rh the top 26 significant bits of r:
// rh*rh, rh*rh - a and 2*rh*rl are exact and the two remaining roundings
// err by a few units of ulp(r)^2, a relative 2^-49 of the bound, far inside
// the margin (for a in [2^-256, 2^256] nothing overflows or leaves the
// normal range).  r must not be a power of two, where the ulp below r is half
// the ulp above it.  a = +inf needs no certificate: sqrt and pow both return
// it.  Everything else (zeros, NaN, subnormals, the far ranges) goes to pow;
// so does everything when the C library is not glibc 2.28 or later.
#ifndef KELPWISE_KERNELS_ROOTS_HPP
#define KELPWISE_KERNELS_ROOTS_HPP

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "simd.hpp"
#include "strided.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace kernels {

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

namespace roots_detail {

constexpr long long kExpBits = 0x7ff0000000000000LL;
constexpr double kResidual = 0.96875;  // K above

// The pass works through a row in chunks: the lanes of a chunk that are not
// certified are marked in a bitmap without branches (a data-dependent branch
// per vector would be mispredicted about every other time), and pow is
// applied to the marked entries after the chunk.
constexpr int kChunk = 256;

struct Chunk {
  alignas(64) double orig[kChunk];  // the chunk's sums
  uint64_t bad[kChunk / 64];        // bit j: entry j is not certified

  // pow(orig[j], 0.5) into v[j] for every marked j: the marked positions
  // first, then pow in a loop of its own, where consecutive calls overlap
  // (0.2 ns per entry less with AVX-512 than calling pow as the bits are
  // found, whose loop ends on a mispredicted branch per word).
  void apply(double* v) const {
    int at[kChunk], count = 0;
    for (int w = 0; w < kChunk / 64; ++w)
      for (uint64_t b = bad[w]; b; b &= b - 1) at[count++] = w * 64 + __builtin_ctzll(b);
    for (int i = 0; i < count; ++i) v[at[i]] = std::pow(orig[at[i]], 0.5);
  }
};

}  // namespace roots_detail

}  // namespace kernels

#define KW_PATH_FILE "roots_lanes.inc"
#include "each_path.inc"
#undef KW_PATH_FILE

namespace kernels {

// pow(v[j], 0.5) for j < count; v is contiguous and 8-byte aligned.
inline void roots(double* v, ssize count) {
  dispatch([&](auto path) { roots(path, v, count); });
}

}  // namespace kernels

#endif  // KELPWISE_KERNELS_ROOTS_HPP
