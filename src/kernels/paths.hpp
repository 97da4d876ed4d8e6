// The vector paths: the one list of them.  Everything else that depends on
// the paths is derived from it: each_path.inc compiles a kernel family's
// vector code once per path, simd.hpp declares one tag type per path and
// picks the one that runs (dispatch, and for_each_path for the kernel checks
// and benchmarks), and ops.inc holds, per ops section, the few operations
// that differ between the paths.
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
#ifndef KELPWISE_KERNELS_PATHS_HPP
#define KELPWISE_KERNELS_PATHS_HPP

// The ops sections of ops.inc.
#define KW_OPS_GENERIC 0  // GCC's vector arithmetic alone, lane by lane where it has no operator
#define KW_OPS_SSE2 1
#define KW_OPS_AVX2 2
#define KW_OPS_AVX512 3
#define KW_OPS_NEON 4

#if defined(__x86_64__)
// AVX-512 with F, DQ, BW and VL, as every AVX-512 processor in use has.
#define KW_PATH_0(X) X(avx512, "AVX-512", 8, KW_OPS_AVX512, "avx512f", "avx512dq", "avx512bw", "avx512vl")
#define KW_PATH_1(X) X(avx2, "AVX2", 4, KW_OPS_AVX2, "avx2")
#define KW_PATH_2(X) X(sse2, "SSE2", 2, KW_OPS_SSE2)  // the x86-64 baseline
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

#endif  // KELPWISE_KERNELS_PATHS_HPP
