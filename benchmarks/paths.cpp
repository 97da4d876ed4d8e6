// The vector paths of the distance and max-pooling kernels against their
// scalar loops, outside Python: same data, same process, best of a few runs
// each.  Every path this processor has is timed, whatever the build's cap,
// so one run shows how far apart the paths are (the narrowest path must beat
// the scalar loop and, on x86, stay within 2.5x of the AVX2 path).
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

// The time of the scalar loop, then of each path this processor has
// (widest first), with the ratios of the scalar loop to the narrowest path
// and of the narrowest to the next.
struct Timed {
  const char* name;
  double ms;
};
void report(const char* what, double scalar, const std::vector<Timed>& paths) {
  std::printf("%-34s scalar %8.2f ms", what, scalar);
  for (const Timed& p : paths) std::printf("  %s %7.2f ms", p.name, p.ms);
  const size_t last = paths.size() - 1;
  std::printf("  scalar/%s %.2f", paths[last].name, scalar / paths[last].ms);
  if (last > 0)
    std::printf("  %s/%s %.2f", paths[last].name, paths[last - 1].name, paths[last].ms / paths[last - 1].ms);
  std::printf("\n");
}

template <class M>
void distances(const char* metric, ssize n, ssize m, ssize d) {
  std::vector<double> X = normal(n * d), Y = normal(m * d), out(n * m);
  const auto x = c_order<2>(X.data(), {n, d}), y = c_order<2>(Y.data(), {m, d}), o = c_order<2>(out.data(), {n, m});
  ssize most = 0;  // the scratch of the path that takes the most
  for_each_path(
      [&](auto path) { most = std::max(most, lanes::pack_panels(d, path.width) * lanes::col_block(d) * path.width); });
  std::vector<double> pack(most);
  std::vector<Timed> paths;
  for_each_path([&](auto path) {
    paths.push_back({path.name, best_ms([&] { pairwise_lanes<M>(path, x, y, o, pack.data()); }, 5)});
  });
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
  std::vector<Timed> paths;
  for_each_path([&](auto path) {
    paths.push_back(
        {path.name, best_ms([&] { maxpool_forward_lanes(path, X.data(), out.data(), arg.data(), H, W, g); }, 7)});
  });
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
