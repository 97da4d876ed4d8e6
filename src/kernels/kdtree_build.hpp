// k-d tree over the rows of a float64 matrix: the tree, the squared
// distance, and the median-split build.
#ifndef KELPWISE_KERNELS_KDTREE_BUILD_HPP
#define KELPWISE_KERNELS_KDTREE_BUILD_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "kdtree_sort.hpp"
#include "simd.hpp"
#include "strided.hpp"

namespace kernels::kdtree {

// One data row per node. Nodes live in one array in preorder: a node at
// position p has its left child (if any) at p + 1 and its right child after
// the whole left subtree. Links are positions in that array, -1 for none.
struct Node {
  int32_t idx;  // row index in the caller's matrix
  int32_t dim;  // splitting axis, 0 in a leaf
  double val;   // the row's coordinate on dim, 0.0 in a leaf
  int32_t left;
  int32_t right;
};

// Sort element of the build: the key is the row's coordinate on the current
// axis. std::sort decides every move from the comparisons alone, so sorting
// (key, index) pairs by key gives the same permutation as sorting the indices
// with a comparator that reads the keys through them.
struct KeyIdx {
  double key;
  int32_t idx;
};

// The packed element, for data whose every value is a float32 exactly
// (integer grids, pixel values, data that came as float32): the key as a
// 32-bit integer in the high half, the row in the low half.  The key is
// the float's bits, -0.0 taken as 0.0 and the negative ones' magnitude bits
// flipped, so that integer order is float64 order, equal to equal; its less
// then makes the same decisions as KeyIdx's on the same data, so the sort
// the same moves, with elements of half the size and whole-word compares.
namespace packed {
constexpr int64_t kLow = 0xFFFFFFFF;
// Flips the magnitude bits of a negative float's bits, or back.
inline int32_t flip(int32_t b) {
  return b < 0 ? b ^ 0x7FFFFFFF : b;
}
// Whether v is a float32 exactly (NaN is not).
inline bool is_float(double v) {
  return static_cast<double>(static_cast<float>(v)) == v;
}
// The key of a float32 v.
inline int32_t key_of(double v) {
  float f = static_cast<float>(v);
  if (f == 0.0f) f = 0.0f;
  int32_t b;
  std::memcpy(&b, &f, sizeof b);
  return flip(b);
}
inline int64_t pack(int32_t key, int32_t idx) {
  return static_cast<int64_t>(key) * (kLow + 1) + idx;
}
inline int32_t idx_of(int64_t e) {
  return static_cast<int32_t>(e & kLow);
}
// The value of a key other than 0's (whose sign the key does not keep).
inline double value_of(int64_t e) {
  const int32_t b = flip(static_cast<int32_t>(e >> 32));
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}
// key(a) < key(b): a's key with every row bit set is below b exactly then.
struct Less {
  bool operator()(int64_t a, int64_t b) const { return (a | kLow) < b; }
};
}  // namespace packed

// The offsets of the set bits of a W-bit mask, lowest bit first (left) or
// highest first (right), one byte each from the lowest: the block scans'
// table (kdtree_build_lanes.inc).
template <int W>
struct StopOffsets {
  uint64_t left[1 << W] = {}, right[1 << W] = {};
  constexpr StopOffsets() {
    for (int m = 0; m < (1 << W); ++m)
      for (int i = 0, nl = 0, nr = 0; i < W; ++i) {
        if (m >> i & 1) left[m] |= static_cast<uint64_t>(i) << (8 * nl++);
        if (m >> (W - 1 - i) & 1) right[m] |= static_cast<uint64_t>(i) << (8 * nr++);
      }
  }
};
template <int W>
inline constexpr StopOffsets<W> kStopOffsets{};

}  // namespace kernels::kdtree

#define KW_PATH_FILE "kdtree_build_lanes.inc"
#include "each_path.inc"
#undef KW_PATH_FILE

namespace kernels::kdtree {

// The block scan of the vector path that runs, for the sorts of data
// without NaN by the build's less (see introsort::ScalarScan), of KeyIdx or
// packed elements.  Paths of two lanes scan one by one: two keys a vector
// were slower (the 200k x 2 grid's build 64 -> 81 ms on SSE2).
template <class E>
struct KeyScan {
  using Fn = int (*)(const E*, const E&, uint8_t*);
  Fn left_fn = nullptr, right_fn = nullptr;  // none: one by one
  KeyScan() {
    dispatch([&](auto path) { *this = KeyScan(path); });
  }
  template <class Path>  // that path's (the kernel checks take each)
  explicit KeyScan(Path) {
    if constexpr (Path::width >= 4) {
      left_fn = [](const E* f, const E& pv, uint8_t* off) { return block_stops<true>(Path{}, f, pv, off); };
      right_fn = [](const E* l, const E& pv, uint8_t* off) { return block_stops<false>(Path{}, l, pv, off); };
    }
  }
  template <class Less>
  int left(const E* f, const E& pivot, uint8_t* off, Less less) const {
    return left_fn ? left_fn(f, pivot, off) : introsort::ScalarScan{}.left(f, pivot, off, less);
  }
  template <class Less>
  int right(const E* l, const E& pivot, uint8_t* off, Less less) const {
    return right_fn ? right_fn(l, pivot, off) : introsort::ScalarScan{}.right(l, pivot, off, less);
  }
};

// The searches score a subtree of at most kBucket nodes (a bucket: the
// largest such subtrees, whose parent holds more) in one scan.
constexpr int32_t kBucket = 32;
constexpr int kOrderLevels = 12;

// The rows live in tree order: the row of a node above the buckets at
// rows[p * d]; where the data holds no NaN (ordered), the m rows of a bucket
// nodes[b .. b + m) column after column in rows[b * d .. (b + m) * d), the
// value of node b + r on axis c at rows[b * d + c * m + r], so that one scan
// computes several of its rows at once; without it (the searches then take
// node by node) every row at rows[p * d].
struct Tree {
  std::vector<Node> nodes;   // preorder, nodes[0] is the root
  std::vector<double> rows;  // the rows, see above
  std::vector<int32_t> end;  // the subtree of nodes[p] is nodes[p .. end[p])
  // The split values of the nodes of depth below order_levels breadth first
  // (the children of i at 2i + 1 and 2i + 2; +inf where the tree has no
  // split), which the query reads to put its rows in order of the cell they
  // reach: compact, so read from the first cache level.  order_levels is
  // the number of depths that hold splits (floor(log2 n)), at most
  // kOrderLevels.
  std::vector<double> order;
  int order_levels = 0;
  int64_t n = 0;
  int64_t d = 0;
  bool ordered = true;  // no NaN in the data: the split invariant holds, the buckets are column after column

  // Calls f(p, b, m) for every node p in preorder: a node in a bucket of m
  // nodes starting at b, or (b, m) = (p, 1) where the row is stored whole.
  template <class F>
  void for_each_row(F&& f) const {
    for (int64_t p = 0; p < n;) {
      const int32_t m = end[p] - static_cast<int32_t>(p);
      if (ordered && m <= kBucket) {  // a bucket: preorder reaches its first node before the others
        for (int32_t r = 0; r < m; ++r) f(p + r, p, m);
        p += m;
      } else {
        f(p, p, 1);
        ++p;
      }
    }
  }
  // Where in rows column c of the row of nodes[p] lies, of a bucket of m
  // nodes from b.
  int64_t slot(int64_t p, int64_t b, int64_t m, int64_t c) const { return b * d + c * m + (p - b); }
};

// The data rows in their original order, out[idx * d + c].
inline void data_rows(const Tree& t, double* out) {
  t.for_each_row([&](int64_t p, int64_t b, int64_t m) {
    double* dst = out + static_cast<int64_t>(t.nodes[p].idx) * t.d;
    for (int64_t c = 0; c < t.d; ++c) dst[c] = t.rows[t.slot(p, b, m, c)];
  });
}

// Squared Euclidean distance of two points of d values: products rounded to
// float64 and added in increasing column order from 0.0 (the build keeps
// -ffp-contract=off, so no fused multiply-add).
// D > 0 fixes the column count at compile time (the loop is unrolled).
template <int D = 0>
inline double sq(const double* a, const double* b, int64_t d) {
  if (D > 0) d = D;
  double s = 0.0;
  for (int64_t i = 0; i < d; ++i) {
    const double t = a[i] - b[i];
    s += t * t;
  }
  return s;
}

// Build kernel.
//   X: n rows by d columns, any strides.
//   Preconditions: n < 2^31, n*d < 2^31, d >= 1 when n >= 2.
//   Result: t.nodes in preorder and t.rows holding each node's row.
// Each call sorts its whole range ks[lo, lo+cnt) by the key on axis
// depth mod d with std::sort and a strict less-than, puts the row at
// mid = cnt/2 in the node, and recurses on the positions before mid (left)
// and after it (right). Invariant: ks[lo, lo+cnt) holds exactly the rows of
// the subtree being built, in the order the parent's sort left them.
// Where the data allows, a median selection replaces the full sort; see
// selecting_ for when and why the tree is the same.
class Builder {
 public:
  Builder(Tree& t, const StridedView<2>& X) : t_(t), X_(X) {}

  void run() {
    const int64_t n = t_.n, d = t_.d;
    t_.nodes.resize(static_cast<size_t>(n));
    t_.rows.resize(static_cast<size_t>(n * d));
    // Column-major copy: the keys of one axis are then read from one
    // contiguous column instead of strided rows.
    cols_.resize(static_cast<size_t>(n * d));
    bool float32 = true;
    for (int64_t r = 0; r < n; ++r)
      for (int64_t c = 0; c < d; ++c) {
        const double v = at(r, c);
        if (std::isnan(v)) t_.ordered = false;
        float32 = float32 && packed::is_float(v);
        cols_[c * n + r] = v;
      }
    // Selections first where the data allows; the full sorts if not, or
    // once a median turns out held twice.
    selecting_ = t_.ordered && !head_has_ties();
    if (selecting_) build_from(ks_);
    if (!selecting_ || tied_) {
      selecting_ = tied_ = false;
      if (float32) {
        ks_ = {};
        keys_.resize(static_cast<size_t>(n * d));
        for (int64_t i = 0; i < n * d; ++i) keys_[i] = packed::key_of(cols_[i]);
        build_from(packs_);
      } else {
        build_from(ks_);
      }
    }
    // Preorder keeps every subtree contiguous; its end follows from the
    // links, children after their parent.
    t_.end.resize(static_cast<size_t>(n));
    for (int64_t p = n - 1; p >= 0; --p) {
      const Node& nd = t_.nodes[p];
      t_.end[p] = nd.right >= 0 ? t_.end[nd.right] : nd.left >= 0 ? t_.end[nd.left] : static_cast<int32_t>(p + 1);
    }
    while (t_.order_levels < kOrderLevels && (int64_t{2} << t_.order_levels) <= n) ++t_.order_levels;
    t_.order.assign((size_t{1} << t_.order_levels) - 1, std::numeric_limits<double>::infinity());
    if (n > 0) order_from(0, 0, 0);
    // Copy every row next to its node so the query reads memory in
    // tree order and never touches the caller's array again.
    t_.for_each_row([&](int64_t p, int64_t b, int64_t m) {
      const int64_t r = t_.nodes[p].idx;
      for (int64_t c = 0; c < d; ++c) t_.rows[t_.slot(p, b, m, c)] = cols_[c * n + r];
    });
  }

 private:
  // Whether the first rows of some column hold two equal values (-0.0
  // equals 0.0): tied data usually shows it there already, and is then built
  // by full sorts from the start.  Called without NaN only.
  bool head_has_ties() const {
    const int64_t n = t_.n, head = std::min<int64_t>(n, kHead);
    std::vector<double> a(static_cast<size_t>(head));
    for (int64_t c = 0; c < t_.d; ++c) {
      std::copy(cols_.begin() + c * n, cols_.begin() + c * n + head, a.begin());
      std::sort(a.begin(), a.end());
      if (std::adjacent_find(a.begin(), a.end()) != a.end()) return true;
    }
    return false;
  }

  // The split values of the subtree of nodes[p] from breadth-first place i
  // of depth `level`.
  void order_from(int32_t p, size_t i, int level) {
    const Node& nd = t_.nodes[p];
    if (level == t_.order_levels || (nd.left < 0 && nd.right < 0)) return;
    t_.order[i] = nd.val;
    if (nd.left >= 0) order_from(nd.left, 2 * i + 1, level + 1);
    if (nd.right >= 0) order_from(nd.right, 2 * i + 2, level + 1);
  }

  // The caller's array may be misaligned: read through memcpy.
  double at(int64_t r, int64_t c) const { return load(X_.at(r, c)); }

  // The tree over the elements es, rows 0 .. n-1 in order to start with.
  template <class E>
  void build_from(std::vector<E>& es) {
    const int64_t n = t_.n;
    es.resize(static_cast<size_t>(n));
    for (int64_t r = 0; r < n; ++r) {
      if constexpr (std::is_same_v<E, KeyIdx>)
        es[r].idx = static_cast<int32_t>(r);
      else
        es[r] = r;
    }
    next_ = 0;
    build(es.data(), 0, n, 0);
  }

  static int32_t idx_of(const KeyIdx& e) { return e.idx; }
  static int32_t idx_of(int64_t e) { return packed::idx_of(e); }
  // The key's value, the element's row's on axis dim.
  double value_of(const KeyIdx& e, int32_t) const { return e.key; }
  double value_of(int64_t e, int32_t dim) const {
    return e >> 32 == 0 ? cols_[dim * t_.n + packed::idx_of(e)] : packed::value_of(e);
  }
  // The range's elements with their keys on axis dim.
  void gather(KeyIdx* first, int64_t cnt, int32_t dim) const {
    const double* col = cols_.data() + dim * t_.n;
    for (int64_t i = 0; i < cnt; ++i) first[i].key = col[first[i].idx];
  }
  void gather(int64_t* first, int64_t cnt, int32_t dim) const {
    const int32_t* col = keys_.data() + dim * t_.n;
    for (int64_t i = 0; i < cnt; ++i) {
      const int32_t r = packed::idx_of(first[i]);
      first[i] = packed::pack(col[r], r);
    }
  }

  template <class E>
  int32_t build(E* ks, int64_t lo, int64_t cnt, int32_t depth) {
    if (cnt == 0) return -1;
    const int32_t p = static_cast<int32_t>(next_++);
    Node& nd = t_.nodes[p];
    if (cnt == 1) {
      nd = Node{idx_of(ks[lo]), 0, 0.0, -1, -1};
      return p;
    }
    const int32_t dim = static_cast<int32_t>(depth % t_.d);
    E* first = ks + lo;
    gather(first, cnt, dim);
    const int64_t mid = cnt / 2;
    if constexpr (std::is_same_v<E, int64_t>) {  // full sorts only (selections gained nothing)
      exact_sort(first, first + cnt, packed::Less{}, pscan_);
    } else {
      const auto less = [](const KeyIdx& a, const KeyIdx& b) { return a.key < b.key; };
      // With NaN keys a plain < is not a strict weak ordering, which
      // std::sort requires (its unguarded loops may otherwise leave the
      // range): NaN is then ordered after every number.  Data without NaN
      // makes exactly the same comparisons as with the plain <, so its tree
      // is unchanged; the order of NaN rows is unspecified anyway.
      const auto nan_last = [](const KeyIdx& a, const KeyIdx& b) {
        return a.key < b.key || (std::isnan(b.key) && !std::isnan(a.key));
      };
      if (selecting_) {
        select_nth(first, first + mid, first + cnt, less, scan_);
        if (twin(first, cnt)) {
          tied_ = true;
          return -1;
        }
      } else if (t_.ordered) {
        exact_sort(first, first + cnt, less, scan_);
      } else {
        exact_sort(first, first + cnt, nan_last);
      }
    }
    const int32_t idx = idx_of(first[mid]);
    const double val = value_of(first[mid], dim);
    const int32_t left = build(ks, lo, mid, depth + 1);
    if (tied_) return -1;
    const int32_t right = build(ks, lo + mid + 1, cnt - mid - 1, depth + 1);
    if (tied_) return -1;
    t_.nodes[p] = Node{idx, dim, val, left, right};
    return p;
  }

  // Whether the range's median key is held by one more of its rows.
  static bool twin(const KeyIdx* first, int64_t cnt) {
    const double m = first[cnt / 2].key;
    int64_t equal = 0;
    for (int64_t i = 0; i < cnt; ++i) equal += first[i].key == m;
    return equal > 1;
  }

  static constexpr int64_t kHead = 512;
  KeyScan<KeyIdx> scan_;
  KeyScan<int64_t> pscan_;
  Tree& t_;
  StridedView<2> X_;
  std::vector<KeyIdx> ks_;      // the sort's elements, or
  std::vector<int64_t> packs_;  // where every value is a float32 (packed)
  std::vector<double> cols_;    // the data, column after column (build only)
  std::vector<int32_t> keys_;   // their packed keys, where every value is a float32
  // A range's sort decides its node and its subtrees' rows; where the range
  // holds its median key once, the median alone decides them: the node is
  // the median's row, the left subtree the rows of smaller keys, the right
  // one those of greater keys, whatever order the range came in.  So a tree
  // in which every range holds its median key once is the same whether
  // each range is sorted in full or its median selected.  The build tries
  // selections first (data without NaN whose first rows show no ties); at
  // the first median held twice (tied_) it stops and builds the tree again
  // with the full sorts.
  bool selecting_ = false;
  bool tied_ = false;
  int64_t next_ = 0;
};

}  // namespace kernels::kdtree

#endif  // KELPWISE_KERNELS_KDTREE_BUILD_HPP
