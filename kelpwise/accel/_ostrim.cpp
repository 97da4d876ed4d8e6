// kelpwise.accel._ostrim: a static k-d tree over the rows of a float64
// matrix with an exact k-nearest-neighbour query (squared Euclidean).
//
// One data row per node, splitting axis = depth mod d, median found by fully
// sorting the index range at every level.  The tree copies the rows into
// storage it owns, so it never depends on the caller's array.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <queue>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

struct Node {
  int32_t idx;
  int32_t dim;
  double val;
  Node* left;
  Node* right;
};

struct HeapItem {
  double dist;
  int32_t idx;
  bool operator<(const HeapItem& o) const { return dist < o.dist; }
};

// Squared Euclidean distance of two points of d coordinates, summed in
// increasing coordinate order (no fused multiply-add: the build disables
// contraction).
inline double sq(const double* a, const double* b, int32_t d) {
  double acc = 0.0;
  for (int32_t i = 0; i < d; ++i) {
    const double diff = a[i] - b[i];
    acc += diff * diff;
  }
  return acc;
}

// Builds the subtree over idxs[0 .. n-1] (reordered in place) at the given
// depth.  Axis depth mod d; the range is sorted by its key with std::sort and
// the row at position n/2 becomes the node; positions before it form the left
// subtree and positions after it the right one.  With d == 0 every key is
// taken as 0.0 (there is no coordinate to compare).
Node* build(const double* data, int32_t* idxs, int32_t n, int32_t d, int32_t depth) {
  if (n == 0) return nullptr;
  if (n == 1) return new Node{idxs[0], 0, 0.0, nullptr, nullptr};
  const int32_t dim = d > 0 ? depth % d : 0;
  if (d > 0) {
    std::sort(idxs, idxs + n, [data, d, dim](int32_t a, int32_t b) {
      return data[a * d + dim] < data[b * d + dim];
    });
  } else {
    // All keys are 0.0: the same comparisons, all false.
    std::sort(idxs, idxs + n, [](int32_t, int32_t) { return false; });
  }
  const int32_t mid = n / 2;
  const int32_t idx = idxs[mid];
  std::unique_ptr<Node> node(new Node{idx, dim, d > 0 ? data[idx * d + dim] : 0.0, nullptr, nullptr});
  node->left = build(data, idxs, mid, d, depth + 1);
  try {
    node->right = build(data, idxs + mid + 1, n - mid - 1, d, depth + 1);
  } catch (...) {
    struct Guard {
      static void destroy(Node* x) {
        if (!x) return;
        destroy(x->left);
        destroy(x->right);
        delete x;
      }
    };
    Guard::destroy(node->left);
    throw;
  }
  return node.release();
}

void destroy(Node* node) {
  if (!node) return;
  destroy(node->left);
  destroy(node->right);
  delete node;
}

// std::priority_queue (libstdc++'s push_heap/pop_heap) whose storage is
// kept from one query row to the next.
struct Heap : std::priority_queue<HeapItem> {
  void clear() { c.clear(); }
};

// Depth-first branch and bound: score the node, descend into the near child
// (left when diff <= 0), then into the far child unless the heap is full and
// the splitting plane is at least as far as the current k-th distance.
void knn(const Node* node, const double* q, const double* data, int32_t d, int32_t k, Heap& heap) {
  while (node) {
    const double dist = sq(q, data + (int64_t)node->idx * d, d);
    if ((int32_t)heap.size() < k) {
      heap.push({dist, node->idx});
    } else if (dist < heap.top().dist) {
      heap.pop();
      heap.push({dist, node->idx});
    }
    if (!node->left && !node->right) return;
    const double diff = (d > 0 ? q[node->dim] : 0.0) - node->val;
    const Node* near = diff <= 0 ? node->left : node->right;
    const Node* far = diff <= 0 ? node->right : node->left;
    knn(near, q, data, d, k, heap);
    const double best = heap.empty() ? 1e308 : heap.top().dist;
    if (diff * diff < best || (int32_t)heap.size() < k) {
      node = far;  // tail call on the far child
    } else {
      return;
    }
  }
}

using InArray = py::array_t<double, py::array::forcecast>;

// A C-contiguous float64 copy of a 2-D array-like; refuses other ranks.
std::vector<double> rows_of(const InArray& a, const char* what, int64_t& n, int64_t& d) {
  if (a.ndim() != 2)
    throw py::value_error(std::string(what) + " must be a 2-D array, got " + std::to_string(a.ndim()) +
                          " dimension(s)");
  n = a.shape(0);
  d = a.shape(1);
  if (n > INT32_MAX || d > INT32_MAX || (n > 0 && d > 0 && n * d > (int64_t)INT32_MAX))
    throw py::value_error(std::string(what) + " is too large: rows x columns must stay below 2**31");
  std::vector<double> out((size_t)(n * d));
  auto v = a.unchecked<2>();
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < d; ++j) out[(size_t)(i * d + j)] = v(i, j);
  return out;
}

class KDTree {
 public:
  explicit KDTree(const InArray& X) {
    int64_t n, d;
    data_ = rows_of(X, "X", n, d);
    n_ = (int32_t)n;
    d_ = (int32_t)d;
    std::vector<int32_t> idxs((size_t)n_);
    for (int32_t i = 0; i < n_; ++i) idxs[(size_t)i] = i;
    root_ = build(data_.data(), idxs.data(), n_, d_, 0);
  }
  ~KDTree() { destroy(root_); }
  KDTree(const KDTree&) = delete;
  KDTree& operator=(const KDTree&) = delete;

  std::pair<py::array_t<int32_t>, py::array_t<double>> query(const InArray& Q, int k) {
    int64_t nq64, dq;
    std::vector<double> q;
    if (Q.ndim() != 2 || Q.shape(1) != d_)
      throw py::value_error("Q must be a 2-D array with " + std::to_string(d_) + " columns");
    q = rows_of(Q, "Q", nq64, dq);
    const int32_t nq = (int32_t)nq64;
    if (k > n_) k = n_;
    if (k >= 0 && (int64_t)nq * k > (int64_t)INT32_MAX)
      throw py::value_error("the result is too large: query rows x k must stay below 2**31");
    // NumPy refuses a negative k here, before any search.
    py::array_t<int32_t> idx_arr({(py::ssize_t)nq, (py::ssize_t)k});
    py::array_t<double> dst_arr({(py::ssize_t)nq, (py::ssize_t)k});
    int32_t* ip = idx_arr.mutable_data();
    double* dp = dst_arr.mutable_data();
    if (k == 0) return {idx_arr, dst_arr};
    Heap heap;
    for (int32_t i = 0; i < nq; ++i) {
      heap.clear();
      knn(root_, q.data() + (int64_t)i * d_, data_.data(), d_, k, heap);
      for (int64_t pos = (int64_t)heap.size() - 1; !heap.empty(); --pos) {
        ip[(int64_t)i * k + pos] = heap.top().idx;
        dp[(int64_t)i * k + pos] = heap.top().dist;
        heap.pop();
      }
    }
    return {idx_arr, dst_arr};
  }

 private:
  std::vector<double> data_;
  Node* root_ = nullptr;
  int32_t n_ = 0;
  int32_t d_ = 0;
};

}  // namespace

PYBIND11_MODULE(_ostrim, m) {
  py::class_<KDTree>(m, "KDTree").def(py::init<const InArray&>()).def("query", &KDTree::query);
}
