// Includes the file named by KW_PATH_FILE once per vector path, each time
// compiled for the path's instruction set (every function defined in it,
// templates and lambdas included, carries the target), in the namespace
// kernels::KW_NS, with KW_W the path's width in doubles.  No include guard:
// each kernel family includes it once, for its own file.
#ifndef KW_PATH_FILE
#error "KW_PATH_FILE names the file to include once per path"
#endif

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
#define KW_W 8
#define KW_NS avx512
#include KW_PATH_FILE
#undef KW_NS
#undef KW_W
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
#define KW_W 4
#define KW_NS avx2
#include KW_PATH_FILE
#undef KW_NS
#undef KW_W
#pragma GCC pop_options
#endif

#define KW_W 2
#define KW_NS base
#include KW_PATH_FILE
#undef KW_NS
#undef KW_W
