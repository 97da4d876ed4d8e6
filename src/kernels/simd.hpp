// SIMD selection, the same for every kernel family.
//
// simd_width() is the widest vector path of this processor, in doubles:
// 8 with AVX-512 (F, DQ, BW and VL, as every AVX-512 processor in use has),
// 4 with AVX2, 2 for the SSE2 baseline of x86-64 (and for the generic
// 128-bit vectors of any other 64-bit target).  A build may cap it
// (KW_SIMD_WIDTH_CAP) so that the narrower paths can be tested and measured
// on a wide machine.
//
// A kernel family writes its vector code once, in a file that paths.hpp
// includes once per path: compiled for that path's instruction set, in the
// namespace kernels::avx512, kernels::avx2 or kernels::base, with KW_W its
// width in doubles.  Its entry point picks the namespace for simd_width().
// Every path makes the same IEEE operations in the same order, so the
// results are the same bits.
#ifndef KELPWISE_KERNELS_SIMD_HPP
#define KELPWISE_KERNELS_SIMD_HPP

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#define KW_INLINE inline __attribute__((always_inline))
#define KW_INLINE_LAMBDA __attribute__((always_inline))

namespace kernels {

inline int simd_width() {
  static const int width = [] {
#if defined(__x86_64__)
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    int w = avx512 ? 8 : __builtin_cpu_supports("avx2") ? 4 : 2;
#else
    int w = 2;
#endif
#ifdef KW_SIMD_WIDTH_CAP
    if (w > KW_SIMD_WIDTH_CAP) w = KW_SIMD_WIDTH_CAP;
#endif
    return w;
  }();
  return width;
}

// W doubles (or 64-bit integers) as one GCC vector.
template <int W>
struct Vec {
  typedef double d __attribute__((vector_size(W * 8)));
  typedef long long i __attribute__((vector_size(W * 8)));
};

}  // namespace kernels

// Calls path::fn(args...) for the path of this processor.
#if defined(__x86_64__)
#define KW_DISPATCH(fn, ...)                             \
  do {                                                   \
    switch (::kernels::simd_width()) {                   \
      case 8: ::kernels::avx512::fn(__VA_ARGS__); break; \
      case 4: ::kernels::avx2::fn(__VA_ARGS__); break;   \
      default: ::kernels::base::fn(__VA_ARGS__); break;  \
    }                                                    \
  } while (0)
#else
#define KW_DISPATCH(fn, ...) ::kernels::base::fn(__VA_ARGS__)
#endif

#endif  // KELPWISE_KERNELS_SIMD_HPP
