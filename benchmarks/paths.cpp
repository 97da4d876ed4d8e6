// The vector paths of the distance and max-pooling kernels against their
// scalar loops, outside Python: same data, same process, best of a few runs
// each.  Every path this processor has is timed, whatever the build's cap,
// so one run shows how far apart the paths are (the narrowest path must beat
// the scalar loop and, on x86, stay within 2.5x of the AVX2 path).  Then the
// root pass of the Euclidean distance taken apart per path: the square
// roots, the certificate and the calls to pow, per entry of a row that stays
// in cache.  Times are the thread's processor time, so that other processes
// on a shared machine count less.
//
//   g++ -std=c++20 -O3 -ffp-contract=off -Wno-psabi -Isrc benchmarks/paths.cpp -o /tmp/paths && /tmp/paths
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "kernels/distances.hpp"
#include "kernels/pooling.hpp"

#define KW_PATH_FILE "../../benchmarks/roots_parts.inc"
#include "kernels/each_path.inc"
#undef KW_PATH_FILE

using namespace kernels;

namespace {

template <class F>
double best_ms(F f, int runs) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    timespec t0, t1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    f();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    best = std::min(best, (double)(t1.tv_sec - t0.tv_sec) + 1e-9 * (double)(t1.tv_nsec - t0.tv_nsec));
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

template <class Metric>
void distances(const char* metric, ssize n, ssize m, ssize d) {
  std::vector<double> X = normal(n * d), Y = normal(m * d), out(n * m);
  const auto x = c_order<2>(X.data(), {n, d}), y = c_order<2>(Y.data(), {m, d}), o = c_order<2>(out.data(), {n, m});
  ssize most = 0;  // the scratch of the path that takes the most
  for_each_path([&](auto path) {
    const ssize L = sum_lanes(path);
    most = std::max(most, blocking::pack_panels(d, L) * blocking::col_block(d) * L);
  });
  std::vector<double> pack(most);
  std::vector<Timed> paths;
  for_each_path([&](auto path) {
    const int L = sum_lanes(path);
    paths.push_back({path.name, best_ms([&] { pairwise_lanes<Metric>(path, x, y, o, pack.data(), L); }, 5)});
  });
  char what[80];
  std::snprintf(what, sizeof what, "%s %zdx%zd, d=%zd", metric, n, m, d);
  report(what, best_ms([&] { pairwise_scalar<Metric>(x, y, 0, o); }, 3), paths);
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

// The root pass on sums of 8 squared differences of normal data: ns per
// entry for the square roots alone, the certificate on top of them, the
// calls to pow for the entries it leaves (the whole pass less the other two),
// and pow itself per call in a loop of its own.
void root_pass() {
  const ssize n = 4096, reps = 200;
  std::vector<double> diffs = normal(2 * 8 * n), sums(n), v(n);
  for (ssize j = 0; j < n; ++j)
    for (ssize k = 0; k < 8; ++k) {
      const double t = diffs[(j * 8 + k) * 2] - diffs[(j * 8 + k) * 2 + 1];
      sums[j] += t * t;
    }
  const double per = 1e6 / (double)(n * reps);  // ms per run -> ns per entry
  auto timed = [&](auto pass) {
    const double copy = best_ms(
        [&] {
          for (ssize r = 0; r < reps; ++r) std::copy(sums.begin(), sums.end(), v.begin());
        },
        7);
    const double t = best_ms(
        [&] {
          for (ssize r = 0; r < reps; ++r) {
            std::copy(sums.begin(), sums.end(), v.begin());
            pass();
          }
        },
        7);
    return (t - copy) * per;
  };
  const double pow_call = timed([&] {
    for (ssize j = 0; j < n; ++j) v[j] = std::pow(v[j], 0.5);
  });
  std::printf("root pass, ns per entry (pow in a loop of its own: %.1f ns per call)\n", pow_call);
  for_each_path([&](auto path) {
    ssize left = 0;
    const double roots_only = timed([&] { square_roots_only(path, v.data(), n); });
    const double certified = timed([&] { left = certified_only(path, v.data(), n); });
    const double whole = timed([&] { roots(path, v.data(), n); });
    std::printf("  %-8s square roots %.2f  certificate %.2f  pow %.2f (one entry in %.0f)  whole pass %.2f\n",
                path.name, roots_only, certified - roots_only, whole - certified, (double)n / (double)left, whole);
  });
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
  root_pass();
}
