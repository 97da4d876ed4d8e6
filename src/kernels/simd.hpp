// The vector paths as C++: the list of them, one tag type per path, the
// choice of the path that runs, and the calls into it.  The same for every
// kernel family.
//
// A kernel family writes its vector code once, in a file that each_path.inc
// includes once per path (in the namespace kernels::<path>, compiled for the
// path's CPU features), over GCC's vector arithmetic and the operations of
// ops.inc.  Its per-path entry points take the path's tag, kernels::<path>::
// Path, as their first parameter, so that one call written for any tag finds
// that path's function by argument-dependent lookup:
//
//   dispatch([&](auto path) { pairwise_lanes<Metric>(path, X, Y, out, pack); });
//
// Every path makes the same IEEE operations in the same order, so the
// results are the same bits whichever runs.  The choice is made once per
// process: the first path of the list that this processor supports and that
// the build's cap (KW_SIMD_WIDTH_CAP, in doubles) allows, so that the
// narrower paths can be tested and measured on a wide machine.
#ifndef KELPWISE_KERNELS_SIMD_HPP
#define KELPWISE_KERNELS_SIMD_HPP

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <cmath>

#include "strided.hpp"

// The vector paths: the one list of them.  Everything else that depends on
// the paths is derived from it: each_path.inc compiles a kernel family's
// vector code once per path, the code below declares one tag type per path
// and picks the one that runs (dispatch, and for_each_path for the kernel
// checks and benchmarks), and ops.inc holds, per ops section, the few
// operations that differ between the paths.
//
// One entry per path, widest first, in the slots KW_PATH_0 .. KW_PATH_3:
//
//   X(namespace, name, width in doubles, ops section, required CPU features...)
//
// The features are GCC target names: the path's code is compiled for them,
// and it runs only where __builtin_cpu_supports reports every one of them.
// The last entry of an architecture needs none (it runs wherever the
// architecture does) and is taken when no other qualifies.  Adding a path is
// one entry here plus its ops section.

// The ops sections of ops.inc.
#define KW_OPS_GENERIC 0  // GCC's vector arithmetic alone, lane by lane where it has no operator
#define KW_OPS_SSE2 1
#define KW_OPS_AVX2 2
#define KW_OPS_AVX512 3
#define KW_OPS_NEON 4

#if defined(__x86_64__)
// AVX-512 with F, DQ, BW and VL, as every AVX-512 processor in use has.
#define KW_PATH_0(X) X(avx512, "AVX-512", 8, KW_OPS_AVX512, "avx512f", "avx512dq", "avx512bw", "avx512vl")
#define KW_PATH_1(X) X(avx2, "AVX2", 4, KW_OPS_AVX2, "avx2", "fma")  // as every AVX2 processor in use has
#define KW_PATH_2(X) X(sse2, "SSE2", 2, KW_OPS_SSE2)                 // the x86-64 baseline
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define KW_PATH_0(X) X(neon, "NEON", 2, KW_OPS_NEON)  // Advanced SIMD: every AArch64 Linux machine
#else
#define KW_PATH_0(X) X(generic, "generic", 2, KW_OPS_GENERIC)  // GCC's 128-bit vectors on any other target
#endif

// The unused slots are empty.
#ifndef KW_PATH_1
#define KW_PATH_1(X)
#endif
#ifndef KW_PATH_2
#define KW_PATH_2(X)
#endif
#ifndef KW_PATH_3
#define KW_PATH_3(X)
#endif

// X(entry...) for every path, in list order.
#define KW_PATHS(X) KW_PATH_0(X) KW_PATH_1(X) KW_PATH_2(X) KW_PATH_3(X)

#define KW_INLINE inline __attribute__((always_inline))
#define KW_INLINE_LAMBDA __attribute__((always_inline))

// True when this processor has every feature named (up to four).
#define KW_CPU_HAS_1(a) __builtin_cpu_supports(a)
#define KW_CPU_HAS_2(a, b) KW_CPU_HAS_1(a) && KW_CPU_HAS_1(b)
#define KW_CPU_HAS_3(a, b, c) KW_CPU_HAS_2(a, b) && KW_CPU_HAS_1(c)
#define KW_CPU_HAS_4(a, b, c, d) KW_CPU_HAS_3(a, b, c) && KW_CPU_HAS_1(d)
#define KW_CPU_HAS_PICK(a, b, c, d, which, ...) which
#define KW_CPU_HAS(...) \
  (KW_CPU_HAS_PICK(__VA_ARGS__, KW_CPU_HAS_4, KW_CPU_HAS_3, KW_CPU_HAS_2, KW_CPU_HAS_1, none)(__VA_ARGS__))

namespace kernels {

// W doubles (or 64-bit integers) as one GCC vector.
template <int W>
struct Vec {
  typedef double d __attribute__((vector_size(W * 8)));
  typedef long long i __attribute__((vector_size(W * 8)));
};

// kernels::<path>::Path for every path of the list.
#define KW_DECLARE_PATH(ns, name_, width_, ops, ...)     \
  namespace ns {                                         \
  struct Path {                                          \
    static constexpr const char* name = name_;           \
    static constexpr int width = width_;                 \
    static bool supported() {                            \
      return true __VA_OPT__(&&KW_CPU_HAS(__VA_ARGS__)); \
    }                                                    \
  };                                                     \
  }
KW_PATHS(KW_DECLARE_PATH)
#undef KW_DECLARE_PATH

namespace paths_detail {

// The position in the list of the path that runs.
inline int chosen() {
  static const int index = [] {
    int at = 0, found = -1;
#ifdef KW_SIMD_WIDTH_CAP
    constexpr int cap = KW_SIMD_WIDTH_CAP;
#else
    constexpr int cap = 1 << 30;
#endif
#define KW_CONSIDER(ns, ...)                                                    \
  if (found < 0 && ns::Path::width <= cap && ns::Path::supported()) found = at; \
  ++at;
    KW_PATHS(KW_CONSIDER)
#undef KW_CONSIDER
    return found < 0 ? at - 1 : found;  // the last path needs nothing
  }();
  return index;
}

}  // namespace paths_detail

// f(tag) for the tag of the path that runs.
template <class F>
void dispatch(F&& f) {
  const int index = paths_detail::chosen();
  int at = 0;
#define KW_CALL_IF_CHOSEN(ns, ...) \
  if (at++ == index) return (void)f(ns::Path{});
  KW_PATHS(KW_CALL_IF_CHOSEN)
#undef KW_CALL_IF_CHOSEN
}

// f(tag) for every path this processor supports, widest first, whatever the
// build's cap: the kernel checks and benchmarks run them all.
template <class F>
void for_each_path(F&& f) {
#define KW_CALL_IF_SUPPORTED(ns, ...) \
  if (ns::Path::supported()) f(ns::Path{});
  KW_PATHS(KW_CALL_IF_SUPPORTED)
#undef KW_CALL_IF_SUPPORTED
}

// True on processors that execute a 512-bit operation as two 256-bit halves
// (AMD family 19h: of its cores, Zen 4 has AVX-512), where code over 256-bit
// vectors with more independent chains keeps more of the pipes busy.  The
// choice changes the speed only: the lanes make the same operations either way.
inline bool halves_wide_vectors() {
#if defined(__x86_64__)
  static const bool halves = [] {
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return false;
    const bool amd = b == 0x68747541u && d == 0x69746e65u && c == 0x444d4163u;  // "AuthenticAMD"
    if (!amd || !__get_cpuid(1, &a, &b, &c, &d)) return false;
    unsigned family = (a >> 8) & 0xf;
    if (family == 0xf) family += (a >> 20) & 0xff;
    return family == 0x19;
  }();
  return halves;
#else
  return false;
#endif
}

// The width in doubles and the name of the path that runs.
inline int simd_width() {
  int width = 0;
  dispatch([&](auto path) { width = path.width; });
  return width;
}
inline const char* simd_path_name() {
  const char* name = "";
  dispatch([&](auto path) { name = path.name; });
  return name;
}

}  // namespace kernels

// The per-path operations: the generic versions, then once per path.
#include "ops.inc"
#define KW_PATH_FILE "ops.inc"
#include "each_path.inc"
#undef KW_PATH_FILE

#endif  // KELPWISE_KERNELS_SIMD_HPP
