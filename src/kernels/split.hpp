// Best (feature, threshold) split of one decision-tree node: one sweep over
// the sorted values of a feature, generic over the impurity criterion
// (Gini for classification, variance for regression).
#ifndef KELPWISE_KERNELS_SPLIT_HPP
#define KELPWISE_KERNELS_SPLIT_HPP

#include <cstdint>

#include "strided.hpp"

namespace kernels {

// Best split so far; feat == -1 means that none has qualified yet.
struct Best {
  ssize feat = -1;
  double thr = 0.0;
  double score = 1e308;
};

// out[i] = get(order[i]) for i < n: the feature's values, and what the sweep
// needs of each sample, gathered in sorted order into contiguous scratch (a
// tight loop of independent loads that the processor overlaps, instead of
// scattered loads inside the sweep's dependency chains).
template <class T, class Get>
inline void gather(const int64_t* order, ssize n, T* out, Get get) {
  for (ssize i = 0; i < n; ++i) out[i] = get(static_cast<ssize>(order[i]));
}

// A strided vector of float64 counts, read and written in place.
struct Counts {
  char* p = nullptr;
  ssize s = 0;
  double get(ssize i) const { return load(p + i * s); }
  void set(ssize i, double v) const { store(p + i * s, v); }
};

// Weighted Gini impurity.  cls: the class index of the sample at each
// sorted position; total: the node's class counts; left: the class counts
// of the left side, kept in place.
struct Gini {
  const ssize* cls;
  Counts total, left;
  ssize n_classes;
  double total_n;

  // 1 - sum over classes of (count / n)^2, classes in order.
  static double impurity(const Counts& counts, ssize n_classes, double n) {
    double g = 1.0;
    for (ssize c = 0; c < n_classes; ++c) {
      const double p = counts.get(c) / n;
      g -= p * p;
    }
    return g;
  }
  void reset() const {
    for (ssize c = 0; c < n_classes; ++c) left.set(c, 0.0);
  }
  void add(ssize i) const { left.set(cls[i], left.get(cls[i]) + 1.0); }
  double score(double left_n, double right_n) const {
    const double left_gini = impurity(left, n_classes, left_n);
    double right_gini = 1.0;
    for (ssize c = 0; c < n_classes; ++c) {
      const double p = (total.get(c) - left.get(c)) / right_n;
      right_gini -= p * p;
    }
    return (left_n / total_n) * left_gini + (right_n / total_n) * right_gini;
  }
};

// Weighted variance.  ys: the targets in sorted order; running sums of the
// target and of its square over the left side, accumulated in sorted
// order; the right side derived from the node's totals.
struct Variance {
  const double* ys;
  double total_sum_y, total_sum_y2, total_n;
  double left_sum_y = 0.0, left_sum_y2 = 0.0;

  // mean of squares minus the squared mean, the mean formed first.
  static double variance(double sum_y, double sum_y2, double n) {
    const double mean = sum_y / n;
    return sum_y2 / n - mean * mean;
  }
  void reset() { left_sum_y = left_sum_y2 = 0.0; }
  void add(ssize i) {
    const double y = ys[i];
    left_sum_y += y;
    left_sum_y2 += y * y;
  }
  double score(double left_n, double right_n) const {
    const double right_sum_y = total_sum_y - left_sum_y;
    const double right_sum_y2 = total_sum_y2 - left_sum_y2;
    const double left_var = variance(left_sum_y, left_sum_y2, left_n);
    const double right_var = variance(right_sum_y, right_sum_y2, right_n);
    return (left_n / total_n) * left_var + (right_n / total_n) * right_var;
  }
};

// Sweep of one feature.  vals: the feature's n values in ascending order.
// Positions i = 0 .. n-2 are visited in order; after position i has been
// added, the criterion's left side holds sorted positions 0..i and left_n =
// i + 1.  A candidate between positions i and i+1 needs distinct
// neighbouring values (IEEE equality: NaN equals nothing) and min_leaf
// samples on each side; the first strictly smaller score wins, so among
// equal scores the lowest feature and then the smallest threshold stay.
template <class Criterion>
inline void sweep(const double* vals, ssize n, Criterion& crit, double min_leaf, ssize feat, Best& best) {
  crit.reset();
  double left_n = 0.0;
  for (ssize i = 0; i + 1 < n; ++i) {
    crit.add(i);
    const double current_val = vals[i];
    const double next_val = vals[i + 1];
    left_n += 1.0;
    if (current_val == next_val) continue;
    const double right_n = crit.total_n - left_n;
    if (left_n < min_leaf || right_n < min_leaf) continue;
    const double score = crit.score(left_n, right_n);
    if (score < best.score) {
      best.thr = (current_val + next_val) * 0.5;
      best.score = score;
      best.feat = feat;
    }
  }
}

}  // namespace kernels

#endif  // KELPWISE_KERNELS_SPLIT_HPP
