// Exact k-nearest-neighbour query of the k-d tree: the bounded heap, the
// depth-first heap descent (plain, or with cell pruning), and a faster
// search for queries whose k nearest rows are unique.
#ifndef KELPWISE_KERNELS_KDTREE_QUERY_HPP
#define KELPWISE_KERNELS_KDTREE_QUERY_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "kdtree_build.hpp"
#include "simd.hpp"
#include "strided.hpp"

#define KW_PATH_FILE "kdtree_lanes.inc"
#include "each_path.inc"
#undef KW_PATH_FILE

namespace kernels::kdtree {

// A candidate neighbour; ordered by distance only, so equal distances are
// equivalent and the heap's own moves decide their order.
struct HeapItem {
  double dist;
  int32_t idx;
  bool operator<(const HeapItem& o) const { return dist < o.dist; }
};

// Bounded max-heap of the k best candidates, with the standard array
// binary-heap moves, which decide the order of equal distances:
//   push: the item goes last and moves up while its parent's dist is
//     strictly less than its own;
//   pop: the hole left at the root sinks, within the heap shortened by its
//     last item, to where the child with the greater dist was (the right
//     one when both are equal) until it has no children; the former last
//     item then fills it and moves up as in push.
// These are the moves of std::push_heap and std::pop_heap in the GNU C++
// library, written out so that no library's choice decides the order.  The
// distances and the row indices are kept in two arrays: a move then copies
// each with one load and one store of its own size, which the processor
// forwards to the next load of the same slot (a 16-byte load of an item
// written as 8 + 4 bytes would wait for both stores to retire).  Storage for
// k items is taken once and reused across query rows.
class Heap {
 public:
  explicit Heap(size_t k) : dist_(k), idx_(k), k_(k) {}
  void clear() { n_ = 0; }
  bool full() const { return n_ >= k_; }
  double top() const { return dist_[0]; }

  // Would a row at distance d enter: the heap is not full, or d is strictly
  // below the current k-th distance.  (For a NaN d only while not full.)
  bool admits(double d) const { return !full() || d < top(); }
  // Could a row at distance d enter or tie the k-th distance.
  bool reaches(double d) const { return !full() || d <= top(); }

  void push(double dist, int32_t idx) { up(n_++, dist, idx); }
  void pop() {
    const size_t m = --n_;  // the heap without its last item, at dist_[m]
    double* const d = dist_.data();
    int32_t* const x = idx_.data();
    size_t hole = 0;
    for (;;) {
      size_t c = 2 * hole + 2;
      if (c < m) {
        c -= d[c] < d[c - 1];
      } else if (c == m) {
        --c;  // a left child only
      } else {
        break;
      }
      d[hole] = d[c];
      x[hole] = x[c];
      hole = c;
    }
    up(hole, d[m], x[m]);
  }
  // Scores one row: taken while the heap is not full, otherwise only if
  // strictly nearer than the current k-th candidate (which it replaces).
  void offer(double dist, int32_t idx) {
    if (!full()) {
      push(dist, idx);
    } else if (dist < top()) {
      pop();
      push(dist, idx);
    }
  }
  // Pops everything, the top first, into positions size-1 down to 0: the
  // output ends sorted by increasing distance, equal distances in pop order.
  void drain(int32_t* idx, double* dst) {
    while (n_ > 0) {
      idx[n_ - 1] = idx_[0];
      dst[n_ - 1] = dist_[0];
      pop();
    }
  }
  // As SmallTop's: a candidate while not full, or in place of the top.
  void insert(double dist, int32_t idx) {
    if (full()) pop();
    push(dist, idx);
  }
  // Sorts the items by increasing distance (the heap is consumed): then
  // dist(i) and idx(i) are the i-th nearest.
  void sort() {
    const size_t n = n_;
    while (n_ > 1) {
      const double d = dist_[0];
      const int32_t x = idx_[0];
      pop();  // frees the slot just past the heap
      dist_[n_] = d;
      idx_[n_] = x;
    }
    n_ = n;
  }
  double dist(size_t i) const { return dist_[i]; }
  int32_t idx(size_t i) const { return idx_[i]; }
  size_t size() const { return n_; }
  size_t k() const { return k_; }

 private:
  // Fills the hole with the item after moving it up from there.
  void up(size_t hole, double dist, int32_t idx) {
    double* const d = dist_.data();
    int32_t* const x = idx_.data();
    while (hole > 0) {
      const size_t parent = (hole - 1) / 2;
      if (!(d[parent] < dist)) break;
      d[hole] = d[parent];
      x[hole] = x[parent];
      hole = parent;
    }
    d[hole] = dist;
    x[hole] = idx;
  }

  std::vector<double> dist_;
  std::vector<int32_t> idx_;
  size_t n_ = 0, k_;
};

// The k best candidates of the direct search for small k, kept sorted by
// distance in place of a heap: a new candidate moves down past the farther
// ones (at most k - 1 moves, with one branch that is hard to predict where
// a heap's sift takes several).  Only the direct search uses it: its result
// is the set of the k nearest, not the order the heap would leave.
class SmallTop {
 public:
  static constexpr size_t kMaxK = 32;
  explicit SmallTop(size_t k) : k_(k) {}
  void clear() { n_ = 0; }
  bool full() const { return n_ >= k_; }
  double top() const { return c_[k_ - 1].dist; }
  bool reaches(double d) const { return !full() || d <= top(); }
  // Adds a candidate while not full, or replaces the farthest one.
  void insert(double dist, int32_t idx) {
    size_t pos = n_ < k_ ? n_++ : k_ - 1;
    for (; pos > 0 && c_[pos - 1].dist > dist; --pos) c_[pos] = c_[pos - 1];
    c_[pos] = HeapItem{dist, idx};
  }
  void sort() const {}  // kept sorted
  double dist(size_t i) const { return c_[i].dist; }
  int32_t idx(size_t i) const { return c_[i].idx; }
  size_t size() const { return n_; }
  size_t k() const { return k_; }

 private:
  HeapItem c_[kMaxK];
  size_t n_ = 0, k_;
};

// The cell lower bound of the pruning searches, kept incrementally: off[j]
// is the largest |fl(q[j] - v)| over the ancestors' splitting planes v on
// axis j whose far side holds the current subtree (0 if none), and the
// bound is the float64 sum over j = 0..d-1, in that order from 0.0, of
// fl(off[j]^2).
//
// Why bound <= sq(q, x) for every row x of the subtree whose distance is not
// NaN (the data holding no NaN, so every left-subtree row has x[dim] <= val
// and every right-subtree row x[dim] >= val): x lies beyond the plane v as
// seen from q, e.g. x[j] >= v >= q[j], so q[j] - x[j] <= q[j] - v <= 0
// exactly, and rounding to nearest is monotone, hence |fl(q[j] - x[j])| >=
// |fl(q[j] - v)| = off[j] (the other side is symmetric).  Squaring a larger
// magnitude and rounding never gives less, and rounded addition of
// non-negative terms is monotone in each operand, so summing in the same
// column order keeps every partial sum of the bound at or below the
// matching partial sum of sq.  Infinities keep these inequalities, and a
// NaN diff leaves off unchanged, so the bound is never NaN.
template <int D>
struct CellBound {
  int64_t d;
  double* off;

  void reset() const { std::fill(off, off + d, 0.0); }
  double sum() const {
    const int64_t n = D > 0 ? D : d;
    double s = 0.0;
    for (int64_t j = 0; j < n; ++j) s += off[j] * off[j];
    return s;
  }
  // The bound of the far side of a split on dim, q[dim] - v = diff, within
  // a cell of bound `bound`; returns the offset to restore afterwards.
  double enter(int32_t dim, double diff, double bound, double& far_bound) const {
    const double old = off[dim];
    const double ad = std::fabs(diff);
    far_bound = bound;
    if (ad > old) {  // false for NaN: the parent's cell stays valid
      off[dim] = ad;
      far_bound = sum();
    }
    return old;
  }
  void leave(int32_t dim, double old) const { off[dim] = old; }
};

static_assert(kBucket < 64, "the descent's bucket masks hold a bit per node");

// Starts loading every cache line of the bytes [first, last).
inline void prefetch_lines(const void* first, const void* last) {
  for (uintptr_t a = reinterpret_cast<uintptr_t>(first) & ~uintptr_t{63}; a < reinterpret_cast<uintptr_t>(last);
       a += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(a));
}

// The squared distances of q to the m rows of a bucket, and the rows
// strictly nearer than top as bits (the vector path's bucket_distances).
using Scan = uint64_t (*)(const double* q, const double* blk, int32_t m, int64_t d, double top, double* out);

// What the searches share: the tree, the query point and the candidates
// (a Heap, or for the direct search a SmallTop), the bucket scan, the split
// of a node into near and far child, and the prefetch of a node's children.
template <int D, class Best = Heap>
struct SearchBase {
  const Tree& t;
  const double* q;
  Best& h;
  Scan scan;

  // The row of a node stored whole (above the buckets); a bucket's rows
  // start at the row(p) of its first node p.
  const double* row(int32_t p) const { return t.rows.data() + p * t.d; }
  double dist(int32_t p) const { return sq<D>(q, row(p), t.d); }

  // The child that holds the query's side of the node's plane (left when
  // q[dim] - val <= 0, so a query on the plane goes left first; right for
  // a NaN diff), the other child, and diff.
  struct Split {
    int32_t near, far;
    double diff;
  };
  Split split(const Node& nd) const {
    const double diff = q[nd.dim] - nd.val;
    return diff <= 0 ? Split{nd.left, nd.right, diff} : Split{nd.right, nd.left, diff};
  }
  // The children are likely next: start loading the right one's node and
  // row while this row is scored (the left child's follow this node's).
  void prefetch(const Node& nd) const {
    if (nd.right >= 0) {
      __builtin_prefetch(&t.nodes[nd.right]);
      __builtin_prefetch(row(nd.right));
    }
  }
  // The same for the heap descent, which is mostly on tied data and reads
  // whole buckets in an order the hardware does not foresee: each child,
  // nodes[p + 1 .. mid) and nodes[mid .. end[p]), is loaded whole (nodes,
  // rows, ends) if it is a bucket, and a larger one's first node and row.
  // (For the direct search, which scans buckets in their stored order,
  // loading them whole was slower.)
  void prefetch_children(int32_t p, const Node& nd) const {
    const int32_t e = t.end[p], mid = nd.right >= 0 ? nd.right : e;
    prefetch_subtree(p + 1, mid);
    prefetch_subtree(mid, e);
  }
  void prefetch_subtree(int32_t b, int32_t e) const {
    if (e <= b) return;
    if (e - b > kBucket) {
      __builtin_prefetch(&t.nodes[b]);
      __builtin_prefetch(row(b));
      return;
    }
    prefetch_lines(t.nodes.data() + b, t.nodes.data() + e);
    prefetch_lines(row(b), t.rows.data() + e * t.d);
    prefetch_lines(t.end.data() + b, t.end.data() + e);
  }
};

// The heap descent: scores the node, descends into the near child, then
// into the far child only if the heap is not full or the squared distance
// to the splitting plane is strictly below the current k-th distance.
// With Cells (the data holds no NaN), a subtree is also skipped when its
// cell bound shows that none of its rows can change a full heap: every row
// then fails "dist < top" now and later (top only decreases), so skipping
// it leaves the heap's sequence of operations, and the result, unchanged.
//   q: d contiguous values; heap.k() >= 1.
template <int D, bool Cells>
class Descent : SearchBase<D> {
 public:
  Descent(const Tree& t, const double* q, Heap& h, double* off, Scan scan)
      : SearchBase<D>{t, q, h, scan}, cell_{t.d, off} {}
  void run() {
    if (this->t.n == 0) return;
    if (Cells) cell_.reset();
    visit(0, 0.0);
  }

 private:
  void visit(int32_t p, double bound) {
    if (p < 0) return;
    if (Cells && !this->h.admits(bound)) return;
    if (Cells && this->t.end[p] - p <= kBucket) return bucket(p, this->t.end[p]);
    const Node& nd = this->t.nodes[p];
    if (Cells) this->prefetch_children(p, nd);
    this->h.offer(this->dist(p), nd.idx);
    if (nd.left < 0 && nd.right < 0) return;
    const auto s = this->split(nd);
    visit(s.near, bound);
    if (!this->h.admits(s.diff * s.diff)) return;
    if (!Cells) return visit(s.far, bound);
    double far_bound;
    const double old = cell_.enter(nd.dim, s.diff, bound, far_bound);
    visit(s.far, far_bound);
    cell_.leave(nd.dim, old);
  }

  // A bucket, nodes[p .. end): its rows are contiguous, so their
  // distances are taken in one scan first.  Once the heap is full, a row
  // at or beyond the current k-th distance changes nothing, now or later
  // in the subtree (that distance only decreases), so only the rows below
  // it need the descent's order: the subtree is walked in that order
  // (node, near child, far child), entering only the subtrees that hold
  // such a row.  Every row the walk leaves out, or the descent would have
  // pruned, is a row that changes nothing when offered.
  void bucket(int32_t p, int32_t end) {
    double dist[kBucket];
    const int32_t m = end - p;
    // bit r: node p + r may change the heap
    uint64_t rows = this->scan(this->q, this->row(p), m, this->t.d, this->h.top(), dist);
    if (!this->h.full()) rows = (uint64_t{1} << m) - 1;
    if (rows == 0) return;
    // The walk reads the bucket's nodes and ends in its own order, which
    // the hardware does not foresee: start loading them all at once.
    prefetch_lines(this->t.nodes.data() + p, this->t.nodes.data() + end);
    prefetch_lines(this->t.end.data() + p, this->t.end.data() + end);
    walk(p, rows, dist);
  }
  // The walk keeps the rows still to offer; once one is left, it is the
  // only row the rest of the walk would offer, so it is offered at once.
  void walk(int32_t base, uint64_t rows, const double* dist) {
    int32_t stack[kBucket];
    int top = 0;
    stack[top++] = base;
    while (top > 0 && rows) {
      if ((rows & (rows - 1)) == 0) {
        const int r = __builtin_ctzll(rows);
        return this->h.offer(dist[r], this->t.nodes[base + r].idx);
      }
      const int32_t p = stack[--top], r = p - base, m = this->t.end[p] - p;
      if ((rows >> r & ((uint64_t{1} << m) - 1)) == 0) continue;  // none in nodes[p .. end[p])
      const Node& nd = this->t.nodes[p];
      if (rows >> r & 1) {
        this->h.offer(dist[r], nd.idx);
        rows &= ~(uint64_t{1} << r);
      }
      if (nd.left < 0 && nd.right < 0) continue;
      const auto s = this->split(nd);
      if (s.far >= 0) stack[top++] = s.far;  // taken after the near subtree
      if (s.near >= 0) stack[top++] = s.near;
    }
  }

  CellBound<D> cell_;
};

// Search for the common case, under a uniqueness check.
//
// When the k nearest rows have k distinct distances and every other row is
// strictly farther, the heap descent's result is fixed: it is exact (a row
// is only ever skipped when it cannot be strictly nearer than the current
// k-th candidate), so it returns those k rows, and draining the heap sorts
// them by distance, which is then a strict order.  Any exact search
// therefore gives the same result, whatever order it visits the rows in.
// This one scores the rows of a subtree of at most kBucket nodes in one scan
// (preorder keeps each subtree contiguous, rows included), visits the near
// subtree before scoring a node (so the first k candidates are close ones
// and pruning starts early), and skips a subtree only when its cell bound is
// strictly above the k-th distance, so that a row at exactly that distance
// is always seen.  It records the smallest distance that was evicted or
// refused at equality; rows never scored lie strictly beyond the k-th
// distance.  The check then needs only the k kept rows and that record.
// When it fails (ties, NaN, infinities), the caller runs the heap descent.
//   Preconditions: the data holds no NaN, heap.k() >= 1, no NaN in q.
template <int D, class Best>
class UniqueSearch : SearchBase<D, Best> {
 public:
  UniqueSearch(const Tree& t, const double* q, Best& h, double* off, Scan scan)
      : SearchBase<D, Best>{t, q, h, scan}, cell_{t.d, off} {}

  // Writes the k neighbours, nearest first, and returns true when the
  // result is unique; returns false (writing nothing) otherwise.
  bool run(int32_t* out_idx, double* out_dst) {
    if (this->t.n == 0) return false;
    cell_.reset();
    out_min_ = std::numeric_limits<double>::infinity();
    visit(0, 0.0);
    const size_t k = this->h.k();
    if (this->h.size() != k) return false;
    Best& c = this->h;
    c.sort();
    for (size_t i = 0; i < k; ++i) {
      const double dist = c.dist(i);
      const bool strictly_next = i + 1 < k ? dist < c.dist(i + 1) : dist < out_min_;
      if (!strictly_next) return false;  // also false for NaN
    }
    for (size_t i = 0; i < k; ++i) {
      out_idx[i] = c.idx(i);
      out_dst[i] = c.dist(i);
    }
    return true;
  }

 private:
  // Scores one row: as Heap::offer, also recording the distances evicted
  // or refused at equality.
  void score(double dist, int32_t idx) {
    Best& h = this->h;
    if (!h.full()) return h.insert(dist, idx);
    const double top = h.top();
    if (!(dist <= top)) return;  // most rows: one test (NaN included)
    if (dist < top) {
      out_min_ = std::min(out_min_, top);
      h.insert(dist, idx);
    } else {
      out_min_ = std::min(out_min_, dist);
    }
  }

  void visit(int32_t p, double bound) {
    if (p < 0 || !this->h.reaches(bound)) return;
    const Tree& t = this->t;
    const int32_t end = t.end[p];
    if (end - p <= kBucket) {  // a bucket (every leaf is in one): its rows in one scan
      double dist[kBucket];
      Best& h = this->h;
      if (!h.full()) {
        this->scan(this->q, this->row(p), end - p, t.d, 0.0, dist);
        for (int32_t r = p; r < end; ++r) score(dist[r - p], t.nodes[r].idx);
        return;
      }
      // With the candidates full, only rows at or below the k-th distance
      // can change them or the record (the scan's bits: the rows strictly
      // below the next double up); that distance only decreases meanwhile,
      // so every other row would be refused, and is not scored.
      const double next = std::nextafter(h.top(), std::numeric_limits<double>::infinity());
      for (uint64_t rows = this->scan(this->q, this->row(p), end - p, t.d, next, dist); rows; rows &= rows - 1) {
        const int r = __builtin_ctzll(rows);
        score(dist[r], t.nodes[p + r].idx);
      }
      return;
    }
    const Node& nd = t.nodes[p];
    this->prefetch(nd);
    const auto s = this->split(nd);
    visit(s.near, bound);
    // The node's row lies on its plane, inside this cell.
    if (this->h.reaches(bound)) score(this->dist(p), nd.idx);
    double far_bound;
    const double old = cell_.enter(nd.dim, s.diff, bound, far_bound);
    visit(s.far, far_bound);
    cell_.leave(nd.dim, old);
  }

  CellBound<D> cell_;
  double out_min_ = 0.0;
};

// Query rows of Q (nq x t.d, any strides) for their k nearest rows;
// out_idx and out_dst hold nq*k values each, C order.  Preconditions:
// 1 <= k <= t.n.  Each row is copied to a contiguous buffer and searched
// with an empty heap; each output row ends sorted by increasing squared
// distance.
//
// Every query row's answer depends on that row alone, so the rows may be
// searched in any order: chunk by chunk, in the order of the cell each
// one reaches t.order_levels levels down (queries close in space then follow
// each other and find the same nodes and rows in cache).  Both searches
// are exact, so which one answers is a matter of speed: after each failure
// of the direct search (ties among the nearest, as on data with repeated
// rows) the rows that skip it double, up to kMaxSkip, until one succeeds.
constexpr int64_t kQueryChunk = 65536;
constexpr int kOrderLanes = 8, kMaxSkip = 31;

// Sorts the m pairs (cell, row) of a by cell, rows in their given order
// among equal cells (so, the rows coming in increasing order, as sorting
// the pairs would): a stable counting sort on 11 bits of the cell at a
// time, the low ones first, through `spare` (m pairs).  Cells lie in
// [0, n).  Much faster than a comparison sort, whose branches follow the
// cells' random order, except on few pairs, where the passes' 2048
// counters would cost more than the rows (about 2 us a call, as much as
// searching a row): up to kFewPairs the pairs are compared, which gives the
// same order, rows being distinct.
inline void sort_by_cell(std::pair<int32_t, int32_t>* a, std::pair<int32_t, int32_t>* spare, int64_t m, int64_t n) {
  constexpr int64_t kFewPairs = 512;
  if (m <= kFewPairs) return std::sort(a, a + m);
  constexpr int kBits = 11;
  constexpr uint32_t kMask = (1u << kBits) - 1;
  std::pair<int32_t, int32_t>* from = a;
  std::pair<int32_t, int32_t>* to = spare;
  const uint64_t last = n > 1 ? static_cast<uint64_t>(n - 1) : 0;
  for (int shift = 0; (last >> shift) > 0; shift += kBits) {
    int64_t start[kMask + 2] = {};
    for (int64_t i = 0; i < m; ++i) ++start[(static_cast<uint32_t>(from[i].first) >> shift & kMask) + 1];
    for (uint32_t b = 0; b <= kMask; ++b) start[b + 1] += start[b];
    for (int64_t i = 0; i < m; ++i) to[start[static_cast<uint32_t>(from[i].first) >> shift & kMask]++] = from[i];
    std::swap(from, to);
  }
  if (from != a) std::copy(from, from + m, a);
}

template <int D>
void query_rows(const Tree& t, const StridedView<2>& Q, int64_t k, int32_t* out_idx, double* out_dst, Scan scan) {
  const int64_t d = t.d, nq = Q.shape[0];
  std::vector<double> q(static_cast<size_t>(d)), off(static_cast<size_t>(d));
  std::vector<std::pair<int32_t, int32_t>> order(static_cast<size_t>(std::min(nq, kQueryChunk))), spare(order.size());
  Heap h(static_cast<size_t>(k));
  SmallTop top(static_cast<size_t>(std::min<int64_t>(k, SmallTop::kMaxK)));
  const bool small = k <= static_cast<int64_t>(SmallTop::kMaxK);
  int skip = 0, skipping = 0;  // rows to skip after a failure; left to skip
  for (int64_t lo = 0; lo < nq; lo += kQueryChunk) {
    const int64_t m = std::min(kQueryChunk, nq - lo);
    // The cell of each row, as its breadth-first place in t.order (a row
    // goes left where q[dim] - val <= 0, as the searches do; the cells of
    // one depth are then in the order of their nodes), kOrderLanes rows
    // at a time, level by level, so that their chains of loads overlap.
    for (int64_t j0 = 0; j0 < m; j0 += kOrderLanes) {
      const int lanes = static_cast<int>(std::min<int64_t>(kOrderLanes, m - j0));
      int32_t cell[kOrderLanes] = {};
      for (int level = 0, c = 0; level < t.order_levels; ++level, c = c + 1 == d ? 0 : c + 1)
        for (int u = 0; u < lanes; ++u)
          cell[u] = 2 * cell[u] + 1 + !(load(Q.at(lo + j0 + u, c)) - t.order[cell[u]] <= 0);
      for (int u = 0; u < lanes; ++u) order[j0 + u] = {cell[u], static_cast<int32_t>(j0 + u)};
    }
    sort_by_cell(order.data(), spare.data(), m, int64_t{2} << t.order_levels);
    for (int64_t j = 0; j < m; ++j) {
      const int64_t i = lo + order[j].second;
      bool q_has_nan = false;
      for (int64_t c = 0; c < d; ++c) {
        q[c] = load(Q.at(i, c));  // any alignment
        q_has_nan |= std::isnan(q[c]);
      }
      int32_t* idx = out_idx + i * k;
      double* dst = out_dst + i * k;
      h.clear();
      if (t.ordered && !q_has_nan && skipping-- == 0) {
        top.clear();
        if (small ? UniqueSearch<D, SmallTop>(t, q.data(), top, off.data(), scan).run(idx, dst)
                  : UniqueSearch<D, Heap>(t, q.data(), h, off.data(), scan).run(idx, dst)) {
          skip = skipping = 0;
          continue;
        }
        skipping = skip = std::min(2 * skip + 1, kMaxSkip);
        h.clear();
      }
      if (t.ordered)
        Descent<D, true>(t, q.data(), h, off.data(), scan).run();
      else
        Descent<D, false>(t, q.data(), h, off.data(), scan).run();
      h.drain(idx, dst);
    }
  }
}

// The bucket scan of the vector path that runs, for D columns.
template <int D>
Scan bucket_scan() {
  Scan scan = nullptr;
  dispatch([&](auto path) {
    using Path = decltype(path);
    scan = [](const double* q, const double* blk, int32_t m, int64_t d, double top, double* out) {
      return bucket_distances<D>(Path{}, q, blk, m, d, top, out);
    };
  });
  return scan;
}

template <int D>
void query_rows(const Tree& t, const StridedView<2>& Q, int64_t k, int32_t* out_idx, double* out_dst) {
  query_rows<D>(t, Q, k, out_idx, out_dst, bucket_scan<D>());
}

inline void query(const Tree& t, const StridedView<2>& Q, int64_t k, int32_t* out_idx, double* out_dst) {
  switch (t.d) {  // the common small column counts, unrolled
    case 2: return query_rows<2>(t, Q, k, out_idx, out_dst);
    case 3: return query_rows<3>(t, Q, k, out_idx, out_dst);
    case 4: return query_rows<4>(t, Q, k, out_idx, out_dst);
    case 8: return query_rows<8>(t, Q, k, out_idx, out_dst);
    default: return query_rows<0>(t, Q, k, out_idx, out_dst);
  }
}

}  // namespace kernels::kdtree

#endif  // KELPWISE_KERNELS_KDTREE_QUERY_HPP
