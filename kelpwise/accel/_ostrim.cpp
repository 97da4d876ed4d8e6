// kelpwise.accel._ostrim: a static k-d tree over the rows of a float64
// matrix, with an exact k-nearest-neighbour query, bound with pybind11.
//
// Two layers: the tree kernels (namespace kdtree, plain C++ over pointers,
// extents and byte strides, no Python) and the binding (class KDTree), which
// converts arguments, checks shapes and allocates the results.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace kdtree {

// One data row per node. Nodes live in one array in preorder: a node at
// position p has its left child (if any) at p + 1 and its right child after
// the whole left subtree. Links are positions in that array, -1 for none.
struct Node {
    int32_t idx;    // row index in the caller's matrix
    int32_t dim;    // splitting axis, 0 in a leaf
    double val;     // the row's coordinate on dim, 0.0 in a leaf
    int32_t left;
    int32_t right;
};

// A candidate neighbour; ordered by distance only, so equal distances are
// equivalent and the heap's own moves decide their order.
struct HeapItem {
    double dist;
    int32_t idx;
    bool operator<(const HeapItem &o) const { return dist < o.dist; }
};

// Sort element of the build: the key is the row's coordinate on the current
// axis. std::sort decides every move from the comparisons alone, so sorting
// (key, index) pairs by key gives the same permutation as sorting the indices
// with a comparator that reads the keys through them.
struct KeyIdx {
    double key;
    int32_t idx;
};

struct Tree {
    std::vector<Node> nodes;    // preorder, nodes[0] is the root
    std::vector<double> rows;   // row of nodes[p] at rows[p * d], C order
    std::vector<int32_t> end;   // the subtree of nodes[p] is nodes[p .. end[p])
    int64_t n = 0;
    int64_t d = 0;
    bool ordered = true;        // no NaN in the data: the split invariant holds
};

// Squared Euclidean distance of two points of d values: products rounded to
// float64 and added in increasing column order from 0.0 (the build keeps
// -ffp-contract=off, so no fused multiply-add).
// D > 0 fixes the column count at compile time (the loop is unrolled).
template <int D = 0>
static inline double sq(const double *a, const double *b, int64_t d) {
    if (D > 0) d = D;
    double s = 0.0;
    for (int64_t i = 0; i < d; ++i) {
        const double t = a[i] - b[i];
        s += t * t;
    }
    return s;
}

// Build kernel.
//   X: n rows by d columns, element (r, c) at byte offset r*rs + c*cs from X.
//   Preconditions: n < 2^31, n*d < 2^31, d >= 1 when n >= 2.
//   Result: t.nodes in preorder and t.rows holding each node's row.
// Each call sorts its whole range ks[lo, lo+cnt) by the key on axis
// depth mod d with std::sort and a strict less-than, puts the row at
// mid = cnt/2 in the node, and recurses on the positions before mid (left)
// and after it (right). Invariant: ks[lo, lo+cnt) holds exactly the rows of
// the subtree being built, in the order the parent's sort left them.
// When no column has ties (and no NaN), a median selection replaces the full
// sort; distinct_columns says why the tree is the same.
class Builder {
public:
    Builder(Tree &t, const char *X, int64_t rs, int64_t cs)
        : t_(t), X_(X), rs_(rs), cs_(cs) {}

    void run() {
        const int64_t n = t_.n, d = t_.d;
        t_.nodes.resize(static_cast<size_t>(n));
        t_.rows.resize(static_cast<size_t>(n * d));
        ks_.resize(static_cast<size_t>(n));
        // Column-major copy: the keys of one axis are then read from one
        // contiguous column instead of strided rows.
        cols_.resize(static_cast<size_t>(n * d));
        for (int64_t r = 0; r < n; ++r) {
            ks_[r].idx = static_cast<int32_t>(r);
            for (int64_t c = 0; c < d; ++c) {
                const double v = at(r, c);
                if (std::isnan(v)) t_.ordered = false;
                cols_[c * n + r] = v;
            }
        }
        distinct_ = t_.ordered && distinct_columns();
        next_ = 0;
        build(0, n, 0);
        // Copy every row next to its node so the query reads memory in
        // tree order and never touches the caller's array again.
        for (int64_t p = 0; p < n; ++p) {
            double *dst = t_.rows.data() + p * d;
            const int64_t r = t_.nodes[p].idx;
            for (int64_t c = 0; c < d; ++c) dst[c] = cols_[c * n + r];
        }
        // Preorder keeps every subtree contiguous; its end follows from the
        // links, children after their parent.
        t_.end.resize(static_cast<size_t>(n));
        for (int64_t p = n - 1; p >= 0; --p) {
            const Node &nd = t_.nodes[p];
            t_.end[p] = nd.right >= 0 ? t_.end[nd.right] : nd.left >= 0 ? t_.end[nd.left] : static_cast<int32_t>(p + 1);
        }
    }

private:
    // True when no column holds two equal values (-0.0 equals 0.0). Then
    // every range has one sorted order on every axis whatever order it comes
    // in, so each node and the row sets of its two subtrees are fixed by the
    // median alone: std::nth_element builds the same tree as a full sort at
    // every level, without the extra log factor. Called without NaN only.
    bool distinct_columns() const {
        const int64_t n = t_.n;
        std::vector<uint64_t> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
        for (int64_t c = 0; c < t_.d; ++c) {
            for (int64_t r = 0; r < n; ++r) a[r] = order_bits(cols_[c * n + r]);
            radix_sort(a, b);
            for (int64_t i = 1; i < n; ++i)
                if (a[i - 1] == a[i]) return false;
        }
        return true;
    }

    // Maps a non-NaN double to an unsigned integer of the same order, with
    // -0.0 and 0.0 mapped alike (they compare equal).
    static uint64_t order_bits(double v) {
        if (v == 0.0) v = 0.0;
        uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        return (u >> 63) ? ~u : (u | (uint64_t{1} << 63));
    }

    // LSD radix sort of a (scratch b, same size), 11 bits per pass.
    static void radix_sort(std::vector<uint64_t> &a, std::vector<uint64_t> &b) {
        constexpr int kBits = 11;
        constexpr size_t kBuckets = size_t{1} << kBits;
        std::vector<size_t> count(kBuckets);
        for (int shift = 0; shift < 64; shift += kBits) {
            std::fill(count.begin(), count.end(), 0);
            for (uint64_t u : a) ++count[(u >> shift) & (kBuckets - 1)];
            size_t sum = 0;
            for (size_t &c : count) { const size_t t = c; c = sum; sum += t; }
            for (uint64_t u : a) b[count[(u >> shift) & (kBuckets - 1)]++] = u;
            a.swap(b);
        }
    }

    // The caller's array may be misaligned: read through memcpy.
    double at(int64_t r, int64_t c) const {
        double v;
        std::memcpy(&v, X_ + r * rs_ + c * cs_, sizeof v);
        return v;
    }

    int32_t build(int64_t lo, int64_t cnt, int32_t depth) {
        if (cnt == 0) return -1;
        const int32_t p = static_cast<int32_t>(next_++);
        Node &nd = t_.nodes[p];
        if (cnt == 1) {
            nd = Node{ks_[lo].idx, 0, 0.0, -1, -1};
            return p;
        }
        const int32_t dim = static_cast<int32_t>(depth % t_.d);
        KeyIdx *first = ks_.data() + lo;
        const double *col = cols_.data() + dim * t_.n;
        for (int64_t i = 0; i < cnt; ++i) first[i].key = col[first[i].idx];
        const auto less = [](const KeyIdx &a, const KeyIdx &b) { return a.key < b.key; };
        // With NaN keys a plain < is not a strict weak ordering, which
        // std::sort requires (its unguarded loops may otherwise leave the
        // range): NaN is then ordered after every number.  Data without NaN
        // makes exactly the same comparisons as with the plain <, so its tree
        // is unchanged; the order of NaN rows is unspecified anyway.
        const auto nan_last = [](const KeyIdx &a, const KeyIdx &b) {
            return a.key < b.key || (std::isnan(b.key) && !std::isnan(a.key));
        };
        if (distinct_)
            std::nth_element(first, first + cnt / 2, first + cnt, less);
        else if (t_.ordered)
            std::sort(first, first + cnt, less);
        else
            std::sort(first, first + cnt, nan_last);
        const int64_t mid = cnt / 2;
        const int32_t idx = first[mid].idx;
        const double val = first[mid].key;
        const int32_t left = build(lo, mid, depth + 1);
        const int32_t right = build(lo + mid + 1, cnt - mid - 1, depth + 1);
        t_.nodes[p] = Node{idx, dim, val, left, right};
        return p;
    }

    Tree &t_;
    const char *X_;
    int64_t rs_, cs_;
    std::vector<KeyIdx> ks_;
    std::vector<double> cols_;  // the data, column after column (build only)
    bool distinct_ = false;     // no ties on any axis: partial selection suffices
    int64_t next_ = 0;
};

// Bounded max-heap of the k best candidates. push and pop are exactly
// std::priority_queue<HeapItem>'s (push_back + push_heap, pop_heap +
// pop_back); the vector is kept across query rows to reuse its storage.
struct Heap {
    std::vector<HeapItem> c;
    size_t k = 0;
    bool full() const { return c.size() >= k; }
    double top() const { return c.front().dist; }
    void push(double dist, int32_t idx) {
        c.push_back(HeapItem{dist, idx});
        std::push_heap(c.begin(), c.end());
    }
    void pop() {
        std::pop_heap(c.begin(), c.end());
        c.pop_back();
    }
    // Score one row: take it while the heap is not full, otherwise only if
    // strictly nearer than the current k-th candidate.
    void offer(double dist, int32_t idx) {
        if (!full()) {
            push(dist, idx);
        } else if (dist < top()) {
            pop();
            push(dist, idx);
        }
    }
};

// Search kernel, the plain descent.
//   q: d contiguous values; heap.k >= 1.
// Scores the node, descends into the near child (left when
// q[dim] - val <= 0), then into the far child only if the heap is not full
// or the squared distance to the splitting plane is strictly below the
// current k-th distance.
class PlainSearch {
public:
    PlainSearch(const Tree &t, const double *q, Heap &h) : t_(t), q_(q), h_(h) {}
    void run() { if (t_.n > 0) visit(0); }

private:
    void visit(int32_t p) {
        if (p < 0) return;
        const Node &nd = t_.nodes[p];
        h_.offer(sq(q_, t_.rows.data() + p * t_.d, t_.d), nd.idx);
        if (nd.left < 0 && nd.right < 0) return;
        const double diff = q_[nd.dim] - nd.val;
        const bool go_left = diff <= 0;
        visit(go_left ? nd.left : nd.right);
        const double best = h_.c.empty() ? 1e308 : h_.top();
        if (diff * diff < best || !h_.full()) visit(go_left ? nd.right : nd.left);
    }

    const Tree &t_;
    const double *q_;
    Heap &h_;
};

// The cell lower bound of both searches below, kept incrementally: off[j]
// is the largest |fl(q[j] - v)| over the ancestors' splitting planes v on
// axis j whose far side holds the current subtree (0 if none), and the
// bound is the float64 sum of fl(off[j]^2) in column order (why it is a
// lower bound: see CellSearch).
template <int D>
struct CellBound {
    int64_t d;
    double *off;

    void reset() const { std::fill(off, off + d, 0.0); }
    double sum() const {
        const int64_t n = D > 0 ? D : d;
        double s = 0.0;
        for (int64_t j = 0; j < n; ++j) s += off[j] * off[j];
        return s;
    }
    // The bound of the far side of a split on dim, q[dim] - v = diff, within
    // a cell of bound `bound`; returns the offset to restore afterwards.
    double enter(int32_t dim, double diff, double bound, double &far_bound) const {
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

// Search kernel with cell pruning: the same descent, the same scoring
// order and the same plane test, plus one extra test that skips a subtree
// only when none of its rows can change a full heap.
//   q: d contiguous values; heap.k >= 1; tree.ordered (no NaN in the data,
//   so every left-subtree row has x[dim] <= val and every right-subtree row
//   x[dim] >= val).
// off[j] >= 0 is |fl(q[j] - v)| for a splitting plane v on axis j of an
// ancestor whose far side holds the subtree (0 if none), and bound is the
// float64 sum over j = 0..d-1, in that order from 0.0, of fl(off[j]^2).
//
// Why bound <= sq(q, x) for every row x of the subtree whose distance is not
// NaN: x lies beyond the plane v as seen from q, e.g. x[j] >= v >= q[j], so
// q[j] - x[j] <= q[j] - v <= 0 exactly, and rounding to nearest is monotone,
// hence |fl(q[j] - x[j])| >= |fl(q[j] - v)| = off[j] (the other side is
// symmetric). Squaring a larger magnitude and rounding never gives less,
// and rounded addition of non-negative terms is monotone in each operand,
// so summing in the same column order keeps every partial sum of the bound
// at or below the matching partial sum of sq. Infinities keep these
// inequalities; a NaN distance never enters a full heap anyway.
// So once the heap is full and bound >= top, every row of the subtree fails
// "dist < top" now and later (top only decreases), and skipping the subtree
// leaves the heap's sequence of operations unchanged.
template <int D>
class CellSearch {
public:
    CellSearch(const Tree &t, const double *q, Heap &h, double *off)
        : t_(t), q_(q), h_(h), cell_{t.d, off} {}
    void run() {
        if (t_.n == 0) return;
        cell_.reset();
        visit(0, 0.0);
    }

private:
    void visit(int32_t p, double bound) {
        if (p < 0) return;
        if (h_.full() && bound >= h_.top()) return;
        const Node &nd = t_.nodes[p];
        // The children are likely next: start loading the far one's node
        // and both rows while this row is scored (the near left child
        // follows this node in the array).
        if (nd.right >= 0) {
            __builtin_prefetch(&t_.nodes[nd.right]);
            __builtin_prefetch(t_.rows.data() + nd.right * t_.d);
        }
        if (nd.left >= 0) __builtin_prefetch(t_.rows.data() + nd.left * t_.d);
        h_.offer(sq<D>(q_, t_.rows.data() + p * t_.d, t_.d), nd.idx);
        if (nd.left < 0 && nd.right < 0) return;
        const double diff = q_[nd.dim] - nd.val;
        const bool go_left = diff <= 0;
        visit(go_left ? nd.left : nd.right, bound);
        const double best = h_.c.empty() ? 1e308 : h_.top();
        if (diff * diff < best || !h_.full()) {
            double far_bound;
            const double old = cell_.enter(nd.dim, diff, bound, far_bound);
            visit(go_left ? nd.right : nd.left, far_bound);
            cell_.leave(nd.dim, old);
        }
    }

    const Tree &t_;
    const double *q_;
    Heap &h_;
    CellBound<D> cell_;
};

// Search kernel for the common case, under a uniqueness check.
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
// and pruning starts early), and skips a subtree only when its cell bound
// is strictly above the k-th distance, so that a row at exactly that
// distance is always seen.  It records the smallest
// distance that was evicted or refused at equality; rows never scored lie
// strictly beyond the k-th distance.  The check then needs only the k kept
// rows and that record.  When it fails (ties, NaN, infinities), the caller
// runs the heap descent itself.
//   Preconditions as for CellSearch, heap.k >= 1, no NaN in q.
template <int D>
class FastSearch {
    static constexpr int32_t kBucket = 16;

public:
    FastSearch(const Tree &t, const double *q, Heap &h, double *off)
        : t_(t), q_(q), h_(h), cell_{t.d, off} {}

    // Writes the k neighbours, nearest first, and returns true when the
    // result is unique; returns false (writing nothing) otherwise.
    bool run(int32_t *out_idx, double *out_dst) {
        if (t_.n == 0) return false;
        cell_.reset();
        out_min_ = std::numeric_limits<double>::infinity();
        visit(0, 0.0);
        std::vector<HeapItem> &c = h_.c;
        std::sort_heap(c.begin(), c.end());
        const size_t k = c.size();
        if (k != h_.k) return false;
        for (size_t i = 0; i < k; ++i) {
            const double dist = c[i].dist;
            const bool strictly_next = i + 1 < k ? dist < c[i + 1].dist : dist < out_min_;
            if (!strictly_next) return false;  // also false for NaN
        }
        for (size_t i = 0; i < k; ++i) {
            out_idx[i] = c[i].idx;
            out_dst[i] = c[i].dist;
        }
        return true;
    }

private:
    void score(double dist, int32_t idx) {
        if (!h_.full()) {
            h_.push(dist, idx);
        } else if (dist < h_.top()) {
            out_min_ = std::min(out_min_, h_.top());
            h_.pop();
            h_.push(dist, idx);
        } else if (dist == h_.top()) {
            out_min_ = std::min(out_min_, dist);
        }
    }

    void visit(int32_t p, double bound) {
        if (p < 0) return;
        if (h_.full() && bound > h_.top()) return;
        const int32_t end = t_.end[p];
        if (end - p <= kBucket) {  // a small subtree: its rows in one scan
            const double *row = t_.rows.data() + p * t_.d;
            for (int32_t r = p; r < end; ++r, row += t_.d) score(sq<D>(q_, row, t_.d), t_.nodes[r].idx);
            return;
        }
        const Node &nd = t_.nodes[p];
        if (nd.right >= 0) {
            __builtin_prefetch(&t_.nodes[nd.right]);
            __builtin_prefetch(t_.rows.data() + nd.right * t_.d);
        }
        const double *row = t_.rows.data() + p * t_.d;
        if (nd.left < 0 && nd.right < 0) {
            score(sq<D>(q_, row, t_.d), nd.idx);
            return;
        }
        const double diff = q_[nd.dim] - nd.val;
        const bool go_left = diff <= 0;
        visit(go_left ? nd.left : nd.right, bound);
        // The node's row lies on its plane, inside this cell.
        if (!h_.full() || bound <= h_.top()) score(sq<D>(q_, row, t_.d), nd.idx);
        double far_bound;
        const double old = cell_.enter(nd.dim, diff, bound, far_bound);
        visit(go_left ? nd.right : nd.left, far_bound);
        cell_.leave(nd.dim, old);
    }

    const Tree &t_;
    const double *q_;
    Heap &h_;
    CellBound<D> cell_;
    double out_min_ = 0.0;
};

// Query kernel.
//   Q: nq rows by t.d columns, element (i, c) at byte offset i*rs + c*cs.
//   out_idx, out_dst: nq*k values each, C order. Preconditions: 1 <= k <= t.n.
// Row i is copied to a contiguous buffer, searched with an empty heap, and
// the heap is drained from the back: column k-1 gets the first top, so each
// output row ends sorted by increasing squared distance.
template <int D>
static void query_rows(const Tree &t, const char *Q, int64_t nq, int64_t rs, int64_t cs,
                       int64_t k, int32_t *out_idx, double *out_dst) {
    const int64_t d = t.d;
    std::vector<double> q(static_cast<size_t>(d)), off(static_cast<size_t>(d));
    Heap h;
    h.k = static_cast<size_t>(k);
    h.c.reserve(h.k);
    for (int64_t i = 0; i < nq; ++i) {
        bool q_has_nan = false;
        for (int64_t c = 0; c < d; ++c) {
            std::memcpy(&q[c], Q + i * rs + c * cs, sizeof(double));  // any alignment
            q_has_nan |= std::isnan(q[c]);
        }
        h.c.clear();
        if (t.ordered && k >= 1 && !q_has_nan &&
            FastSearch<D>(t, q.data(), h, off.data()).run(out_idx + i * k, out_dst + i * k))
            continue;
        h.c.clear();
        if (t.ordered)
            CellSearch<D>(t, q.data(), h, off.data()).run();
        else
            PlainSearch(t, q.data(), h).run();
        for (int64_t pos = static_cast<int64_t>(h.c.size()) - 1; !h.c.empty(); --pos) {
            out_idx[i * k + pos] = h.c.front().idx;
            out_dst[i * k + pos] = h.c.front().dist;
            h.pop();
        }
    }
}

static void query(const Tree &t, const char *Q, int64_t nq, int64_t rs, int64_t cs,
                  int64_t k, int32_t *out_idx, double *out_dst) {
    switch (t.d) {  // the common small column counts, unrolled
        case 2: return query_rows<2>(t, Q, nq, rs, cs, k, out_idx, out_dst);
        case 3: return query_rows<3>(t, Q, nq, rs, cs, k, out_idx, out_dst);
        case 4: return query_rows<4>(t, Q, nq, rs, cs, k, out_idx, out_dst);
        case 8: return query_rows<8>(t, Q, nq, rs, cs, k, out_idx, out_dst);
        default: return query_rows<0>(t, Q, nq, rs, cs, k, out_idx, out_dst);
    }
}

}  // namespace kdtree

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::forcecast>;

constexpr int64_t kLimit = int64_t{1} << 31;  // sizes stay signed 32-bit

class KDTree {
public:
    explicit KDTree(const Array &X) {
        if (X.ndim() != 2)
            throw py::value_error("KDTree data must be a 2-D array, got " +
                                  std::to_string(X.ndim()) + " dimensions");
        const int64_t n = X.shape(0), d = X.shape(1);
        if (n >= kLimit || d >= kLimit || n * d >= kLimit)
            throw py::value_error("KDTree data too large: rows and rows * columns "
                                  "must stay below 2**31");
        if (d == 0 && n >= 2)
            throw py::value_error("KDTree data with two or more rows needs at "
                                  "least one column");
        tree_.n = n;
        tree_.d = d;
        kdtree::Builder(tree_, reinterpret_cast<const char *>(X.data()), X.strides(0),
                        X.strides(1))
            .run();
    }

    std::pair<py::array_t<int32_t>, py::array_t<double>> query(const Array &Q, int k) {
        if (Q.ndim() != 2)
            throw py::value_error("query points must be a 2-D array, got " +
                                  std::to_string(Q.ndim()) + " dimensions");
        const int64_t nq = Q.shape(0);
        if (Q.shape(1) != tree_.d)
            throw py::value_error("query points have " + std::to_string(Q.shape(1)) +
                                  " columns, the tree has " + std::to_string(tree_.d));
        if (nq >= kLimit || nq * tree_.d >= kLimit)
            throw py::value_error("too many query points: rows and rows * columns "
                                  "must stay below 2**31");
        const int64_t kk = std::min<int64_t>(k, tree_.n);
        if (kk > 0 && nq * kk >= kLimit)
            throw py::value_error("result too large: query rows * k must stay "
                                  "below 2**31");
        // A negative k reaches NumPy here, which refuses the dimension.
        py::array_t<int32_t> idx_arr({static_cast<py::ssize_t>(nq), static_cast<py::ssize_t>(kk)});
        py::array_t<double> dst_arr({static_cast<py::ssize_t>(nq), static_cast<py::ssize_t>(kk)});
        if (kk > 0)
            kdtree::query(tree_, reinterpret_cast<const char *>(Q.data()), nq, Q.strides(0),
                          Q.strides(1), kk, idx_arr.mutable_data(), dst_arr.mutable_data());
        return {std::move(idx_arr), std::move(dst_arr)};
    }

private:
    kdtree::Tree tree_;
};

// A KDTree argument that must have been built: KDTree.__new__(KDTree) makes
// an instance whose tree was never constructed (pybind11 would hand its
// methods uninitialised memory), and a failed __init__ leaves one behind.
// Shown as the class in signatures.
struct Built {
    KDTree *tree;
};

}  // namespace

namespace pybind11::detail {
template <>
struct type_caster<Built> {
    PYBIND11_TYPE_CASTER(Built, const_name<KDTree>());
    bool load(handle src, bool) {
        if (!isinstance<KDTree>(src)) return false;
        auto *inst = reinterpret_cast<instance *>(src.ptr());
        auto v_h = inst->get_value_and_holder(get_type_info(typeid(KDTree)));
        if (!v_h || !v_h.holder_constructed())
            throw pybind11::value_error("KDTree is not built: create it with KDTree(X)");
        value.tree = v_h.value_ptr<KDTree>();
        return true;
    }
};
}  // namespace pybind11::detail

namespace {

// pybind11 ignores a second __init__ on a built instance, so the old tree
// would keep answering.  KDTree.__init__ is therefore a thin wrapper of
// pybind11's: on an instance that is already built it builds a new tree in
// a fresh instance (same conversions, same errors) and moves it in, so the
// instance answers for its new data, or keeps its old tree if that fails.
PyObject *g_init = nullptr;  // pybind11's __init__ (a builtin function)

PyObject *init_wrapper(PyObject *, PyObject *args, PyObject *kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs < 1 || !py::isinstance<KDTree>(PyTuple_GET_ITEM(args, 0)))
        return PyObject_Call(g_init, args, kwargs);
    PyObject *self = PyTuple_GET_ITEM(args, 0);
    auto *inst = reinterpret_cast<py::detail::instance *>(self);
    auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(KDTree)));
    if (!v_h.holder_constructed()) return PyObject_Call(g_init, args, kwargs);
    try {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(py::type::of<KDTree>().ptr());
        py::tuple no_args;
        py::object fresh = py::reinterpret_steal<py::object>(type->tp_new(type, no_args.ptr(), nullptr));
        if (!fresh) return nullptr;
        py::tuple fresh_args(nargs);
        fresh_args[0] = fresh;
        for (Py_ssize_t i = 1; i < nargs; ++i) fresh_args[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
        PyObject *r = PyObject_Call(g_init, fresh_args.ptr(), kwargs);
        if (!r) return nullptr;
        Py_DECREF(r);
        *v_h.value_ptr<KDTree>() = std::move(fresh.cast<KDTree &>());
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

std::string g_init_doc;
PyMethodDef g_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_wrapper)),
                          METH_VARARGS | METH_KEYWORDS, nullptr};

void wrap_init(py::class_<KDTree> &cls) {
    py::object bound = cls.attr("__dict__")["__init__"];
    g_init = Py_NewRef(PyInstanceMethod_Function(bound.ptr()));
    g_init_doc = py::str(py::getattr(g_init, "__doc__"));
    g_init_def.ml_doc = g_init_doc.c_str();
    py::object self = py::getattr(g_init, "__self__");
    py::object f = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&g_init_def, self.ptr(), py::getattr(g_init, "__module__").ptr()));
    if (!f) throw py::error_already_set();
    py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(f.ptr()));
    if (!method) throw py::error_already_set();
    py::setattr(cls, "__init__", method);
}

std::pair<py::array_t<int32_t>, py::array_t<double>> query(Built self, const Array &Q, int k) {
    return self.tree->query(Q, k);
}

}  // namespace

PYBIND11_MODULE(_ostrim, m) {
    py::class_<KDTree> cls(m, "KDTree");
    cls.def(py::init<const Array &>()).def("query", &query);
    wrap_init(cls);
}
