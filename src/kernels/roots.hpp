// The root pass of the Euclidean distance: pow(v[j], 0.5) in place.
//
// When the C library's pow is known to be accurate to 0.54 ulp (glibc 2.28
// and later document this worst-case error for pow on every input), the
// square root r = sqrt(a), which IEEE arithmetic rounds correctly, is
// provably the double that pow returns whenever the exact root t lies less
// than 0.46 ulp from r: every other double is then more than 0.54 ulp from
// t, beyond pow's error.  The vector pass takes r for each lane where a
// distance below 0.4591 ulp is certified and calls pow for the others (about
// one in twelve, where t lies near the midpoint between two doubles), so
// every result is pow's own, bit for bit.
//
// Certification, for a in [2^-900, 2^900] (nothing below can overflow or
// underflow): e = r*r - a is exactly representable when r is the correctly
// rounded root, and is computed exactly with Dekker's product (Veltkamp
// split; no fused multiply-add anywhere).  Since t - r = -e / (t + r) and
// t + r >= 2r(1 - 2^-54), |e| <= 0.918 * r * ulp(r) gives |t - r| < 0.4591
// ulp.  r must not be a power of two, where the ulp below r is half the ulp
// above it.  a = +inf needs no certificate: sqrt and pow both return it.
// Everything else (zeros, NaN, subnormals, the far ranges) goes to pow.
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

// The pass works through a row in chunks: the lanes of a chunk that are not
// certified are marked in a bitmap without branches (a data-dependent branch
// per vector would be mispredicted about every other time), and pow is
// applied to the marked entries after the chunk.
constexpr int kChunk = 256;

struct Chunk {
  alignas(64) double orig[kChunk];  // the chunk's sums
  uint64_t bad[kChunk / 64];        // bit j: entry j is not certified

  // pow(orig[j], 0.5) into v[j] for every marked j.
  void apply(double* v) const {
    for (int w = 0; w < kChunk / 64; ++w)
      for (uint64_t b = bad[w]; b; b &= b - 1) {
        const int j = w * 64 + __builtin_ctzll(b);
        v[j] = std::pow(orig[j], 0.5);
      }
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
