// The vector paths of paths.hpp as C++: one tag type per path, the choice of
// the path that runs, and the calls into it.  The same for every kernel
// family.
//
// A kernel family writes its vector code once, in a file that each_path.inc
// includes once per path (in the namespace kernels::<path>, compiled for the
// path's CPU features), over GCC's vector arithmetic and the operations of
// ops.inc.  Its per-path entry points take the path's tag, kernels::<path>::
// Path, as their first parameter, so that one call written for any tag finds
// that path's function by argument-dependent lookup:
//
//   dispatch([&](auto path) { pairwise_lanes<M>(path, X, Y, out, pack); });
//
// Every path makes the same IEEE operations in the same order, so the
// results are the same bits whichever runs.  The choice is made once per
// process: the first path of the list that this processor supports and that
// the build's cap (KW_SIMD_WIDTH_CAP, in doubles) allows, so that the
// narrower paths can be tested and measured on a wide machine.
#ifndef KELPWISE_KERNELS_SIMD_HPP
#define KELPWISE_KERNELS_SIMD_HPP

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <cmath>

#include "paths.hpp"
#include "strided.hpp"

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
