// The vector paths of the distance and max-pooling kernels against their
// scalar loops, outside Python: same data, same process, best of a few runs
// each.  Every path this processor has is timed, whatever the build's cap,
// so one run shows how far apart the paths are (the SSE2 path must beat the
// scalar loop and stay within 2.5x of the AVX2 path).
//
//   g++ -std=c++20 -O3 -ffp-contract=off -Wno-psabi -Isrc benchmarks/paths.cpp -o /tmp/paths && /tmp/paths
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "kernels/distances.hpp"
#include "kernels/pooling.hpp"

using namespace kernels;

namespace {

template <class F>
double best_ms(F f, int runs) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best * 1e3;
}

template <int N>
StridedView<N> c_order(void* p, const ssize (&shape)[N]) {
  StridedView<N> v;
  v.data = static_cast<char*>(p);
  ssize stride = 8;
  for (int k = N - 1; k >= 0; --k) {
    v.shape[k] = shape[k];
    v.strides[k] = stride;
    stride *= shape[k];
  }
  return v;
}

std::vector<double> normal(ssize count) {
  std::mt19937_64 gen(1);
  std::normal_distribution<double> dist;
  std::vector<double> v(count);
  for (auto& x : v) x = dist(gen);
  return v;
}

// Times of the scalar loop and each path this processor has, in that order.
void report(const char* what, double scalar, const std::vector<double>& paths) {
  static const char* const names[] = {"SSE2", "AVX2", "AVX-512"};
  std::printf("%-34s scalar %8.2f ms", what, scalar);
  for (size_t p = 0; p < paths.size(); ++p) std::printf("  %s %7.2f ms", names[p], paths[p]);
  std::printf("  scalar/SSE2 %.2f", scalar / paths[0]);
  if (paths.size() > 1) std::printf("  SSE2/AVX2 %.2f", paths[0] / paths[1]);
  std::printf("\n");
}

int widest() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                 __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")
             ? 8
         : __builtin_cpu_supports("avx2") ? 4
                                          : 2;
#else
  return 2;
#endif
}

template <class M>
void distances(const char* metric, ssize n, ssize m, ssize d) {
  std::vector<double> X = normal(n * d), Y = normal(m * d), out(n * m);
  const auto x = c_order<2>(X.data(), {n, d}), y = c_order<2>(Y.data(), {m, d}), o = c_order<2>(out.data(), {n, m});
  std::vector<double> pack(lanes::pack_panels(d, 8) * lanes::col_block(d) * 8);
  std::vector<double> paths{best_ms([&] { base::pairwise_lanes<M>(x, y, o, pack.data()); }, 5)};
#if defined(__x86_64__)
  if (widest() >= 4) paths.push_back(best_ms([&] { avx2::pairwise_lanes<M>(x, y, o, pack.data()); }, 5));
  if (widest() >= 8) paths.push_back(best_ms([&] { avx512::pairwise_lanes<M>(x, y, o, pack.data()); }, 5));
#endif
  char what[80];
  std::snprintf(what, sizeof what, "%s %zdx%zd, d=%zd", metric, n, m, d);
  report(what, best_ms([&] { pairwise_scalar<M>(x, y, 0, o); }, 3), paths);
}

void pooling(ssize k, ssize s) {
  const ssize N = 32, H = 64, W = 64, C = 32, OH = (H - k) / s + 1, OW = (W - k) / s + 1;
  std::vector<double> X = normal(N * H * W * C), out(N * OH * OW * C);
  std::vector<int64_t> arg(out.size());
  const Windows g{N, C, OH, OW, k, k, s};
  const auto x = c_order<4>(X.data(), {N, H, W, C}), o = c_order<4>(out.data(), {N, OH, OW, C}),
             a = c_order<4>(arg.data(), {N, OH, OW, C});
  std::vector<double> paths{
      best_ms([&] { base::maxpool_forward_lanes(X.data(), out.data(), arg.data(), H, W, g); }, 7)};
#if defined(__x86_64__)
  if (widest() >= 4)
    paths.push_back(best_ms([&] { avx2::maxpool_forward_lanes(X.data(), out.data(), arg.data(), H, W, g); }, 7));
  if (widest() >= 8)
    paths.push_back(best_ms([&] { avx512::maxpool_forward_lanes(X.data(), out.data(), arg.data(), H, W, g); }, 7));
#endif
  char what[80];
  std::snprintf(what, sizeof what, "maxpool_forward k=%zd s=%zd", k, s);
  report(what, best_ms([&] { maxpool_forward_strided(x, o, a, g); }, 7), paths);
}

}  // namespace

int main() {
  constexpr ssize kCases[][3] = {{2000, 2000, 64}, {4000, 4000, 8}, {1000, 1000, 512}};
  for (const auto& c : kCases) {
    distances<SqEuclidean>("sqeuclidean", c[0], c[1], c[2]);
    distances<Manhattan>("manhattan", c[0], c[1], c[2]);
    distances<Euclidean>("euclidean", c[0], c[1], c[2]);
  }
  for (const ssize k : {2, 3, 4, 5, 6}) pooling(k, k == 4 ? 4 : k == 5 ? 3 : 2);
}
