// The kernels against plain references, outside Python: built natively and
// with a cross compiler for other 64-bit targets (.ci/cross), where it runs
// under an emulator.  Every vector path this processor has is checked; the
// exit status is the number of failed checks (0: all exact).
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc tests/kernels/check_kernels.cpp
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <queue>
#include <random>
#include <vector>

#include "kernels/distances.hpp"
#include "kernels/kdtree_query.hpp"
#include "kernels/pooling.hpp"
#include "kernels/split.hpp"
#include "kernels/windows.hpp"

using namespace kernels;

namespace {

int failures = 0;
std::mt19937_64 rng(12345);

void check(bool ok, const char* what, int a = 0, int b = 0) {
  if (ok) return;
  ++failures;
  std::printf("FAIL %s (%d, %d)\n", what, a, b);
}

// Bits of a double, every NaN alike.
uint64_t bits(double v) {
  if (std::isnan(v)) return 0x7ff8000000000000ULL;
  uint64_t u;
  std::memcpy(&u, &v, 8);
  return u;
}
bool same(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (bits(a[i]) != bits(b[i])) return false;
  return true;
}

// Values with the special ones mixed in.
std::vector<double> values(size_t n, bool specials) {
  std::uniform_real_distribution<double> u(-8, 8);
  const double special[] = {NAN, INFINITY, -INFINITY, -0.0, 0.0, 1e200, 5e-324, 3.0};
  std::vector<double> v(n);
  for (auto& x : v) x = u(rng);
  if (specials)
    for (size_t i = 0; i < n; i += 7) v[i] = special[(i / 7) % 8];
  return v;
}

template <int N>
StridedView<N> view(std::vector<double>& v, std::initializer_list<ssize> shape) {
  StridedView<N> s;
  s.data = reinterpret_cast<char*>(v.data());
  ssize stride = 8;
  for (int k = N - 1; k >= 0; --k) {
    s.shape[k] = shape.begin()[k];
    s.strides[k] = stride;
    stride *= s.shape[k];
  }
  return s;
}

template <class Metric>
double reference_distance(const double* x, const double* y, ssize d) {
  double acc = 0.0;
  for (ssize k = 0; k < d; ++k) acc += Metric::term(x[k] - y[k]);
  return Metric::finish(acc);
}

template <class Metric>
void check_distances(const char* name) {
  const ssize shapes[][3] = {{1, 1, 1}, {7, 9, 3}, {13, 21, 8}, {6, 33, 64}, {5, 17, 600}, {13, 300, 600}};
  for_each_path([&](auto path) {
    // Both widths of the AVX-512 path's sums, whichever this processor takes.
    for (int L : {path.width, path.width == 8 ? 4 : 0})
      for (auto& s : shapes) {
        if (L == 0) break;
        const ssize n = s[0], m = s[1], d = s[2];
        auto x = values(n * d + 1, true), y = values(m * d + 1, true);
        std::vector<double> out(n * m), ref(n * m);
        std::vector<double> pack(blocking::col_block(d) * blocking::pack_panels(d, L) * L + 1);
        for (ssize i = 0; i < n; ++i)
          for (ssize j = 0; j < m; ++j) ref[i * m + j] = reference_distance<Metric>(&x[i * d], &y[j * d], d);
        pairwise_lanes<Metric>(path, view<2>(x, {n, d}), view<2>(y, {m, d}), view<2>(out, {n, m}), pack.data(), L);
        check(same(out, ref), name, L, (int)d);
      }
  });
}

// Root pass against pow: sums of rounded data, values spread over every
// exponent the certificate covers and past it, and the edges of its range.
void check_roots() {
  std::uniform_real_distribution<double> u(0, 1e6), ex(-300, 300);
  std::vector<double> a(40000);
  for (size_t i = 0; i < a.size(); ++i) a[i] = i % 2 ? std::floor(u(rng)) + 0.25 * (rng() % 4) : std::exp2(ex(rng));
  const double edges[] = {0.0,
                          -0.0,
                          INFINITY,
                          -INFINITY,
                          NAN,
                          4.0,
                          0x1p-256,
                          0x1p256,
                          5e-324,
                          1e300,
                          -1.0,
                          0x1.0000000000001p256,
                          0x1.fffffffffffffp-257};
  for (size_t i = 0; i < std::size(edges); ++i) a[3 * i] = edges[i];
  for (size_t i = 0; i < 64; ++i)
    a[1000 + i] = std::nextafter(std::ldexp(1.0, (int)i - 32), 0.0);  // just below powers of two
  // Sums whose root lies so close to the midpoint between two doubles that
  // pow returns the neighbour sqrt does not: the certificate must leave
  // every one of them to pow.
  size_t hard = 2000;
  std::uniform_int_distribution<int> half_exp(-128, 127);
  for (size_t tries = 0; hard < 2200 && tries < 2000000; ++tries) {
    const double r = std::ldexp(1.0 + u(rng) * 1e-6, half_exp(rng)), ulp = std::nextafter(r, INFINITY) - r;
    const long double mid = (long double)r + 0.5L * (long double)ulp;
    double s = std::nextafter((double)(mid * mid), 0.0);
    for (int k = 0; k < 3; ++k, s = std::nextafter(s, INFINITY))
      if (std::pow(s, 0.5) != std::sqrt(s)) a[hard++] = s;
  }
  check(hard > 2000 || !pow_half_bound_known(), "roots: sums whose pow differs from sqrt", 0);
  std::vector<double> ref(a.size());
  for (size_t i = 0; i < a.size(); ++i) ref[i] = std::pow(a[i], 0.5);
  for_each_path([&](auto path) {
    auto v = a;
    roots(path, v.data(), (ssize)v.size() - 3);  // a tail shorter than a vector
    check(same(std::vector<double>(v.begin(), v.end() - 3), std::vector<double>(ref.begin(), ref.end() - 3)), "roots",
          path.width);
  });
}

void check_patches() {
  const ssize N = 2, H = 7, Wd = 6, C = 3, kh = 3, kw = 2, s = 2;
  const ssize OH = (H - kh) / s + 1, OW = (Wd - kw) / s + 1, rows = N * OH * OW, cols_n = kh * kw * C;
  auto x = values(N * H * Wd * C, false);
  std::vector<double> cols(rows * cols_n), ref(rows * cols_n), back(x.size(), 0.0), back_ref(x.size(), 0.0);
  const Windows g{N, C, OH, OW, kh, kw, s};
  im2col(view<4>(x, {N, H, Wd, C}), view<2>(cols, {rows, cols_n}), g);
  col2im(view<2>(cols, {rows, cols_n}), view<4>(back, {N, H, Wd, C}), g);
  for (ssize n = 0; n < N; ++n)
    for (ssize oh = 0; oh < OH; ++oh)
      for (ssize ow = 0; ow < OW; ++ow)
        for (ssize i = 0; i < kh; ++i)
          for (ssize j = 0; j < kw; ++j)
            for (ssize c = 0; c < C; ++c) {
              const ssize src = ((n * H + oh * s + i) * Wd + ow * s + j) * C + c;
              const ssize row = (n * OH + oh) * OW + ow, col = (i * kw + j) * C + c;
              ref[row * cols_n + col] = x[src];
              back_ref[src] += x[src];
            }
  check(same(cols, ref), "im2col");
  check(same(back, back_ref), "col2im");
}

void check_pooling() {
  const ssize N = 2, H = 9, Wd = 8, C = 11;
  // k = 0: windows of 3 made only of NaN, -0, +0 and 1, so that every order
  // of them meets in some window; 6: the window size read at run time.
  for (ssize kk : {2, 3, 4, 6, 0})
    for_each_path([&](auto path) {
      const int W = path.width;
      const ssize k = kk ? kk : 3, s = k == 4 ? 4 : 2, OH = (H - k) / s + 1, OW = (Wd - k) / s + 1;
      auto x = values(N * H * Wd * C, true);
      for (size_t i = 0; i < x.size(); i += 5) x[i] = std::round(x[i]);  // ties
      const double few[] = {NAN, -0.0, 0.0, 1.0};
      if (kk == 0)
        for (auto& v : x) v = few[rng() % 4];
      std::vector<double> out(N * OH * OW * C), ref(out.size());
      std::vector<double> arg(out.size()), arg_ref(out.size());  // int64 in double-sized cells
      const Windows g{N, C, OH, OW, k, k, s};
      auto xv = view<4>(x, {N, H, Wd, C});
      auto av = view<4>(arg, {N, OH, OW, C});
      maxpool_forward_lanes(path, x.data(), out.data(), (int64_t*)arg.data(), H, Wd, g);
      maxpool_forward_strided(xv, view<4>(ref, {N, OH, OW, C}), view<4>(arg_ref, {N, OH, OW, C}), g);
      check(same(out, ref) && std::memcmp(arg.data(), arg_ref.data(), arg.size() * 8) == 0, "maxpool_forward", W,
            (int)k);
      // Backward: a plain scatter as reference.
      auto grad = values(out.size(), false);
      std::vector<double> dx(x.size(), 0.0), dx_ref(x.size(), 0.0);
      maxpool_backward(view<4>(grad, {N, OH, OW, C}), av, view<4>(dx, {N, H, Wd, C}), g, Decoder(k));
      for (ssize n = 0; n < N; ++n)
        for (ssize oh = 0; oh < OH; ++oh)
          for (ssize ow = 0; ow < OW; ++ow)
            for (ssize c = 0; c < C; ++c) {
              const ssize o = ((n * OH + oh) * OW + ow) * C + c;
              int64_t idx;
              std::memcpy(&idx, &arg[o], 8);
              dx_ref[((n * H + oh * s + idx / k) * Wd + ow * s + idx % k) * C + c] += grad[o];
            }
      check(same(dx, dx_ref), "maxpool_backward", W, (int)k);
    });
}

// The split sweep against a direct evaluation of every boundary.
void check_split() {
  const ssize n = 40;
  std::vector<double> vals(n), ys(n);
  std::vector<ssize> cls(n);
  for (ssize i = 0; i < n; ++i) {
    vals[i] = (double)(i / 3);  // sorted, with ties
    ys[i] = std::round(values(1, false)[0]);
    cls[i] = (ssize)(rng() % 3);
  }
  double total[3] = {0, 0, 0}, left[3] = {0, 0, 0}, sy = 0, sy2 = 0;
  for (ssize i = 0; i < n; ++i) total[cls[i]] += 1.0, sy += ys[i], sy2 += ys[i] * ys[i];
  Gini gini{cls.data(), {(char*)total, 8}, {(char*)left, 8}, 3, (double)n};
  Variance var{ys.data(), sy, sy2, (double)n};
  Best bg, bv;
  sweep(vals.data(), n, gini, 2.0, 0, bg);
  sweep(vals.data(), n, var, 2.0, 0, bv);
  Best rg, rv;
  for (ssize i = 0; i + 1 < n; ++i) {
    if (vals[i] == vals[i + 1] || i + 1 < 2 || n - i - 1 < 2) continue;
    double l[3] = {0, 0, 0}, ly = 0, ly2 = 0;
    for (ssize t = 0; t <= i; ++t) l[cls[t]] += 1.0, ly += ys[t], ly2 += ys[t] * ys[t];
    const double ln = (double)(i + 1), rn = (double)n - ln;
    double lg = 1.0, rgini = 1.0;
    for (int c = 0; c < 3; ++c)
      lg -= (l[c] / ln) * (l[c] / ln), rgini -= ((total[c] - l[c]) / rn) * ((total[c] - l[c]) / rn);
    const double g = (ln / n) * lg + (rn / n) * rgini;
    const double v = (ln / n) * (ly2 / ln - (ly / ln) * (ly / ln)) +
                     (rn / n) * ((sy2 - ly2) / rn - ((sy - ly) / rn) * ((sy - ly) / rn));
    if (g < rg.score) rg = {0, (vals[i] + vals[i + 1]) * 0.5, g};
    if (v < rv.score) rv = {0, (vals[i] + vals[i + 1]) * 0.5, v};
  }
  check(bits(bg.score) == bits(rg.score) && bg.thr == rg.thr, "gini sweep");
  check(bits(bv.score) == bits(rv.score) && bv.thr == rv.thr, "variance sweep");
}

// Query results against brute force (random data: distinct distances).
void check_kdtree() {
  for (ssize d : {1, 2, 3, 5, 8}) {
    const ssize n = 500, nq = 40, k = 7;
    auto x = values(n * d, false), q = values(nq * d, false);
    kdtree::Tree t;
    t.n = n;
    t.d = d;
    kdtree::Builder(t, view<2>(x, {n, d})).run();
    std::vector<int32_t> idx(nq * k);
    std::vector<double> dst(nq * k);
    kdtree::query(t, view<2>(q, {nq, d}), k, idx.data(), dst.data());
    bool ok = true;
    for (ssize i = 0; i < nq; ++i) {
      std::vector<std::pair<double, int32_t>> all;
      for (ssize r = 0; r < n; ++r) all.push_back({kdtree::sq(&q[i * d], &x[r * d], d), (int32_t)r});
      std::sort(all.begin(), all.end());
      for (ssize j = 0; j < k; ++j) ok &= idx[i * k + j] == all[j].second && bits(dst[i * k + j]) == bits(all[j].first);
    }
    check(ok, "kdtree query", (int)d);
  }
  // The direct search must refuse a tie at the k-th distance wherever it
  // finds the second row: distinct integer distances but for one row
  // mirrored through the query onto the k-th nearest (exact in integers).
  constexpr ssize n = 1500, d = 3, k = 10;
  bool refused = true;
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<double> x(n * d + d), q(d), off(d);
    for (auto& v : x) v = (double)(rng() % 1000000);
    for (auto& v : q) v = (double)(rng() % 1000000);
    std::vector<std::pair<double, ssize>> by(n);
    for (ssize r = 0; r < n; ++r) by[r] = {kdtree::sq(q.data(), &x[r * d], d), r};
    std::nth_element(by.begin(), by.begin() + (k - 1), by.end());
    for (ssize c = 0; c < d; ++c) x[n * d + c] = 2 * q[c] - x[by[k - 1].second * d + c];
    kdtree::Tree t;
    t.n = n + 1;
    t.d = d;
    kdtree::Builder(t, view<2>(x, {n + 1, d})).run();
    kdtree::SmallTop top(k);
    int32_t idx[k];
    double dst[k];
    refused &= !kdtree::UniqueSearch<d, kdtree::SmallTop>(t, q.data(), top, off.data(), kdtree::bucket_scan<d>())
                    .run(idx, dst);
  }
  check(refused, "kdtree direct search: a tie at the k-th distance");
}

// The bucket scan of every path against sq, and its rows below a bound,
// for buckets below and above the vector width, at compile-time and
// run-time column counts.
template <int D>
void check_bucket_scan(ssize d) {
  for_each_path([&](auto path) {
    for (int32_t m = 1; m <= kdtree::kBucket; ++m) {
      auto q = values(d, true), blk = values(m * d, true);
      std::vector<double> out(m), ref(m), row(d);
      for (int32_t r = 0; r < m; ++r) {
        for (ssize c = 0; c < d; ++c) row[c] = blk[c * m + r];
        ref[r] = kdtree::sq(q.data(), row.data(), d);
      }
      const double top = ref[rng() % m];  // some rows below it, one at it
      uint64_t below = 0;
      for (int32_t r = 0; r < m; ++r) below |= uint64_t{ref[r] < top} << r;
      const uint64_t got = bucket_distances<D>(path, q.data(), blk.data(), m, d, top, out.data());
      check(same(out, ref) && got == below, "kdtree bucket scan", path.width, (int)(m * 100 + d));
    }
  });
}

// The build's sort leaves every range exactly as std::sort does, ties
// included (few distinct keys, organ pipes that exhaust the depth limit,
// sizes around the block and insertion thresholds); the selection puts the
// sorted element at nth with nothing greater before it, nothing less after.
void check_kdtree_sort() {
  using kdtree::KeyIdx;
  const auto less = [](const KeyIdx& a, const KeyIdx& b) { return a.key < b.key; };
  const kdtree::packed::Less pless;
  bool sorted = true, selected = true, scanned = true, packed = true;
  for (int trial = 0; trial < 3000; ++trial) {
    const size_t n = trial < 400 ? trial : 400 + rng() % (trial % 50 == 0 ? 40000 : 3000);
    const uint64_t kinds = 1 + rng() % (trial % 3 == 0 ? 3 : trial % 3 == 1 ? 40 : 1u << 30);
    std::vector<KeyIdx> a(n);
    for (size_t i = 0; i < n; ++i) {  // floats of both signs, the zeros and infinities among them
      const int64_t v = trial % 7 == 0 ? int64_t(std::min(i, n - 1 - i)) : int64_t(rng() % kinds) - int64_t(kinds / 2);
      const double x = trial % 5  ? double(float(v))
                       : v == 0   ? (i % 2 ? -0.0 : 0.0)
                       : v > 100  ? HUGE_VAL
                       : v < -100 ? -HUGE_VAL
                                  : v * 0.25;
      a[i] = {x, int32_t(i)};
    }
    std::vector<int64_t> pk(n);  // the packed elements of a
    for (size_t i = 0; i < n; ++i) {
      packed &= kdtree::packed::is_float(a[i].key);
      pk[i] = kdtree::packed::pack(kdtree::packed::key_of(a[i].key), int32_t(i));
      packed &= a[i].key == 0 || kdtree::packed::value_of(pk[i]) == a[i].key;
    }
    auto b = a, c = a;
    std::sort(a.begin(), a.end(), less);
    kdtree::exact_sort(b.data(), b.data() + n, less);
    for (size_t i = 0; i < n; ++i) sorted &= a[i].idx == b[i].idx;
    const size_t nth = n ? rng() % n : 0;
    auto unselected = c;
    if (n) kdtree::select_nth(c.data(), c.data() + nth, c.data() + n, less);
    for_each_path([&](auto path) {  // the block scan of each path: the same moves, with either element
      auto v = unselected, w = unselected;
      kdtree::exact_sort(v.data(), v.data() + n, less, kdtree::KeyScan<KeyIdx>(path));
      if (n) kdtree::select_nth(w.data(), w.data() + nth, w.data() + n, less, kdtree::KeyScan<KeyIdx>(path));
      for (size_t i = 0; i < n; ++i) scanned &= a[i].idx == v[i].idx && c[i].idx == w[i].idx;
      auto pv = pk, pw = pk;
      kdtree::exact_sort(pv.data(), pv.data() + n, pless, kdtree::KeyScan<int64_t>(path));
      if (n) kdtree::select_nth(pw.data(), pw.data() + nth, pw.data() + n, pless, kdtree::KeyScan<int64_t>(path));
      for (size_t i = 0; i < n; ++i)
        packed &= a[i].idx == kdtree::packed::idx_of(pv[i]) && c[i].idx == kdtree::packed::idx_of(pw[i]);
    });
    if (n == 0) continue;
    selected &= c[nth].key == a[nth].key;
    for (size_t i = 0; i < n; ++i) selected &= i < nth ? !less(c[nth], c[i]) : !less(c[i], c[nth]);
  }
  packed &= !kdtree::packed::is_float(0.1) && !kdtree::packed::is_float(NAN) && !kdtree::packed::is_float(1e300);
  check(sorted, "kdtree exact sort");
  check(scanned, "kdtree exact sort and selection, block scan of every path");
  check(selected, "kdtree median selection");
  check(packed, "kdtree packed keys: order, values, sort and selection of every path");
}

// The query's own heap against std::priority_queue on many ties (the same
// moves, so the same pop order), and its ordering sort against a stable
// sort, for few pairs and for cell counts taking one to three passes.
void check_kdtree_order() {
  bool heap_ok = true, sort_ok = true;
  for (size_t k : {1, 2, 5, 16, 33}) {
    kdtree::Heap h(k);
    std::priority_queue<kdtree::HeapItem> ref;
    for (int32_t i = 0; i < 400; ++i) {
      const double dist = double(rng() % 6);
      h.offer(dist, i);
      if (ref.size() < k)
        ref.push({dist, i});
      else if (dist < ref.top().dist)
        ref.pop(), ref.push({dist, i});
    }
    std::vector<int32_t> idx(k);
    std::vector<double> dst(k);
    h.drain(idx.data(), dst.data());
    for (size_t pos = k; pos-- > 0; ref.pop()) heap_ok &= ref.top().idx == idx[pos] && ref.top().dist == dst[pos];
  }
  for (int64_t n : {1, 5, 3000, 1 << 23})
    for (int64_t m : {7, 5000}) {
      std::vector<std::pair<int32_t, int32_t>> a(m), spare(m);
      for (int64_t i = 0; i < m; ++i) a[i] = {int32_t(rng() % n), int32_t(i)};
      auto ref = a;
      std::stable_sort(ref.begin(), ref.end(), [](auto x, auto y) { return x.first < y.first; });
      kdtree::sort_by_cell(a.data(), spare.data(), m, n);
      sort_ok &= a == ref;
    }
  check(heap_ok, "kdtree heap: pop order of ties");
  check(sort_ok, "kdtree query ordering sort");
}

}  // namespace

int main() {
  check_distances<SqEuclidean>("squared euclidean");
  check_distances<Euclidean>("euclidean");
  check_distances<Manhattan>("manhattan");
  check_roots();
  check_patches();
  check_pooling();
  check_split();
  check_kdtree();
  check_bucket_scan<3>(3);
  check_bucket_scan<8>(8);
  check_bucket_scan<0>(1);
  check_bucket_scan<0>(11);
  check_kdtree_sort();
  check_kdtree_order();
  std::printf("%s: %d failed check(s); paths:", failures ? "FAILED" : "ok", failures);
  for_each_path([](auto path) { std::printf(" %s", path.name); });
  std::printf(" (runs %s)\n", simd_path_name());
  return failures;
}
