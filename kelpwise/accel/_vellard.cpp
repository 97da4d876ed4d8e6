// kelpwise.accel._vellard: best (feature, threshold) split of one
// decision-tree node, by weighted Gini impurity (classification) or by
// weighted variance (regression).
#include "_frame.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace kernels {

using ssize = Py_ssize_t;
using kw::mem::load;
using kw::mem::load_i64;


// Best split found so far; best_feat == -1 means none qualified yet.
struct Best {
  ssize feat = -1;
  double thr = 0.0;
  double score = 1e308;
};

// The column values, and what the sweep needs of each sample, gathered in
// sorted order into contiguous scratch: a tight loop of independent loads
// that the processor overlaps, instead of scattered loads inside the
// sweep's dependency chains.
template <class T, class Get>
inline void gather(const int64_t* order, ssize n, T* out, Get get) {
  for (ssize i = 0; i < n; ++i) out[i] = get((ssize)order[i]);
}

// A float64 vector of a NumPy array the caller's np returned (the class
// counts): base address and byte stride, elements read and written in place.
struct Counts {
  char* p;
  ssize s;
  double get(ssize i) const { return load(p + i * s); }
  void set(ssize i, double v) const { kw::mem::store(p + i * s, v); }
};

// Sweep of one feature for classification.
//
// vals: the feature's values in ascending order (n values); cls: the class
// index of the sample at each sorted position; total: class counts of the
// node; left: the left counts, n_classes values each, cleared here.
// Positions i = 0 .. n-2 are visited in order; after position i has been
// added, left holds the class counts of sorted positions 0..i and left_n =
// i + 1.  A candidate between positions i and i+1 needs distinct
// neighbouring values and min_leaf samples on each side; the first strictly
// smaller score wins.
inline void gini_sweep(const double* vals, ssize n, const ssize* cls, const Counts& total, const Counts& left,
                       ssize n_classes, double total_sum, double min_leaf, ssize feat, Best& best) {
  for (ssize c = 0; c < n_classes; ++c) left.set(c, 0.0);
  double left_n = 0.0;
  for (ssize i = 0; i + 1 < n; ++i) {
    left.set(cls[i], left.get(cls[i]) + 1.0);
    const double current_val = vals[i];
    const double next_val = vals[i + 1];
    left_n += 1.0;
    if (current_val == next_val) continue;
    const double right_n = total_sum - left_n;
    if (left_n < min_leaf || right_n < min_leaf) continue;
    double left_gini = 1.0;
    for (ssize c = 0; c < n_classes; ++c) {
      const double p = left.get(c) / left_n;
      left_gini -= p * p;
    }
    double right_gini = 1.0;
    for (ssize c = 0; c < n_classes; ++c) {
      const double p = (total.get(c) - left.get(c)) / right_n;
      right_gini -= p * p;
    }
    const double score = (left_n / total_sum) * left_gini + (right_n / total_sum) * right_gini;
    if (score < best.score) {
      best.thr = (current_val + next_val) * 0.5;
      best.score = score;
      best.feat = feat;
    }
  }
}

// Sweep of one feature for regression: running sums of the target and of
// its square over sorted positions 0..i, accumulated in sorted order; the
// right side is derived from the node totals.  vals and ys: the feature's
// values and the targets in sorted order.
inline void variance_sweep(const double* vals, const double* ys, ssize n, double total_sum_y,
                           double total_sum_y2, double total_n, double min_leaf, ssize feat, Best& best) {
  double left_sum_y = 0.0, left_sum_y2 = 0.0, left_n = 0.0;
  for (ssize i = 0; i + 1 < n; ++i) {
    const double yk = ys[i];
    left_sum_y += yk;
    left_sum_y2 += yk * yk;
    const double current_val = vals[i];
    const double next_val = vals[i + 1];
    left_n += 1.0;
    if (current_val == next_val) continue;
    const double right_n = total_n - left_n;
    if (left_n < min_leaf || right_n < min_leaf) continue;
    const double right_sum_y = total_sum_y - left_sum_y;
    const double right_sum_y2 = total_sum_y2 - left_sum_y2;
    const double left_mean = left_sum_y / left_n;
    const double right_mean = right_sum_y / right_n;
    const double left_var = left_sum_y2 / left_n - left_mean * left_mean;
    const double right_var = right_sum_y2 / right_n - right_mean * right_mean;
    const double score = (left_n / total_n) * left_var + (right_n / total_n) * right_var;
    if (score < best.score) {
      best.thr = (current_val + next_val) * 0.5;
      best.score = score;
      best.feat = feat;
    }
  }
}

}  // namespace kernels

namespace {

using kernels::ssize;

PyObject* g_no_split = nullptr;  // (None, None, None), created at load

int create_no_split(PyObject*) {
  g_no_split = PyTuple_Pack(3, Py_None, Py_None, Py_None);
  return g_no_split ? 0 : -1;
}

// Column j of X as a read-only 1-D float64 array over the view's memory
// (address and row stride of the view), its base the array X itself.  The
// column is what the view holds, whatever X's own subscription does.
PyObject* column(PyObject* X, const kw::View& v, ssize j) {
  npy_intp dims[1] = {(npy_intp)v.shape[0]};
  npy_intp strides[1] = {(npy_intp)v.strides[0]};
  char* data = v.data + j * v.strides[1];
  const bool aligned = (uintptr_t)data % 8 == 0 && v.strides[0] % 8 == 0;
  PyObject* col = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, dims, strides, data,
                                       aligned ? NPY_ARRAY_ALIGNED : 0, nullptr);
  if (!col) return nullptr;
  if (PyArray_SetBaseObject((PyArrayObject*)col, Py_NewRef(X)) < 0) {
    Py_DECREF(col);
    return nullptr;
  }
  return col;
}

// The sorted order of one feature: np.argsort(column j), validated so that
// the sweep never reads outside X.  Owns its array and view.
class FeatureOrder {
 public:
  ~FeatureOrder() { reset(); }
  void reset() {
    view_.release();
    Py_CLEAR(order_);
  }
  // Returns false with an exception set, c.line naming the failing
  // statement; on success data() holds the n indices.
  bool compute(kw::Call& c, PyObject* X, const kw::View& Xv, ssize j, ssize n, int sort_line, int read_line) {
    reset();
    c.line = sort_line;
    PyObject* argsort = c.np_attr("argsort");
    if (!argsort) return false;
    PyObject* col = column(X, Xv, j);
    if (col) {
      order_ = PyObject_CallOneArg(argsort, col);
      Py_DECREF(col);
    }
    Py_DECREF(argsort);
    if (!order_) return false;
    if (!PyObject_TypeCheck(order_, kw::g_ndarray)) {
      PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(order_)->tp_name,
                   kw::g_ndarray->tp_name);
      return false;
    }
    if (kw::acquire_view(view_, order_, 1, kw::ITYPE, false) < 0) return false;
    c.line = read_line;
    if (view_.shape[0] < n) {
      PyErr_Format(PyExc_ValueError, "argsort returned %zd indices for %zd rows", view_.shape[0], n);
      return false;
    }
    // Contiguous copy of the indices, each checked to lie inside the node.
    if (!idx_.allocate(n)) return false;
    for (ssize i = 0; i < n; ++i) {
      int64_t v = kernels::load_i64(view_.data + i * view_.strides[0]);
      if (v < 0 || v >= n) {
        PyErr_Format(PyExc_IndexError, "argsort index %lld out of range for %zd rows", (long long)v, n);
        return false;
      }
      idx_[i] = v;
    }
    return true;
  }
  const int64_t* data() const { return idx_.get(); }

 private:
  PyObject* order_ = nullptr;
  kw::View view_;
  kw::Scratch<int64_t> idx_;
};

PyObject* result_tuple(kw::Call& c, const kernels::Best& best) {
  if (best.feat == -1) return Py_NewRef(g_no_split);
  PyObject* r = Py_BuildValue("(ndd)", best.feat, best.thr, best.score);
  return r ? r : c.fail();
}

// y must hold at least one entry per row of X.
bool check_y_length(const kw::View& X, const kw::View& y) {
  if (y.shape[0] >= X.shape[0]) return true;
  PyErr_Format(PyExc_ValueError, "y has %zd entries, fewer than the %zd rows of X", y.shape[0],
               X.shape[0]);
  return false;
}

// A zero-filled count array of n_classes float64 values from np.zeros,
// viewed for writing; the counts live in it.
bool count_array(kw::Call& c, ssize n_classes, kernels::Counts& out) {
  PyObject* arr = c.alloc1("zeros", n_classes, "float64");
  kw::View* v = arr ? c.view(arr, 1, kw::DTYPE, true) : nullptr;
  if (!v) return false;
  if (v->shape[0] != n_classes) {
    PyErr_Format(PyExc_ValueError, "np.zeros returned %zd entries, expected %zd", v->shape[0], n_classes);
    return false;
  }
  out = {v->data, v->strides[0]};
  return true;
}

PyObject* classifier_body(kw::Call& c, kw::Args& a) {
  const kw::View& X = *a.view[0];
  const kw::View& y = *a.view[1];
  const double min_leaf = (double)a.i32[2];
  if (!check_y_length(X, y)) return c.fail();
  const ssize n = X.shape[0], m = X.shape[1];

  c.line = 30;
  PyObject* classes = c.check_array(c.np_call("unique", PyTuple_Pack(1, a.obj[1])));
  if (!classes) return c.fail();
  kw::View* cv = c.view(classes, 1, kw::INT, false);
  if (!cv) return c.fail();
  const ssize n_classes = cv->shape[0];

  // Label -> class index, as a dictionary filled in class order would give
  // (a repeated label keeps its last index), searched by binary search.
  c.line = 33;
  std::vector<std::pair<int64_t, ssize>> lookup((size_t)n_classes);
  for (ssize k = 0; k < n_classes; ++k)
    lookup[(size_t)k] = {kernels::load_i64(cv->data + k * cv->strides[0]), k};
  std::stable_sort(lookup.begin(), lookup.end(),
                   [](const auto& p, const auto& q) { return p.first < q.first; });

  c.line = 36;
  kernels::Counts total;
  if (!count_array(c, n_classes, total)) return c.fail();

  // The class index of every sample is kept privately for the sweeps.
  c.line = 38;
  kw::Scratch<ssize> cls;
  if (!cls.allocate(n)) return c.fail();
  for (ssize i = 0; i < n; ++i) {
    const int64_t label = kernels::load_i64(y.data + i * y.strides[0]);
    auto it = std::upper_bound(lookup.begin(), lookup.end(), label,
                               [](int64_t v, const auto& p) { return v < p.first; });
    if (it == lookup.begin() || (it - 1)->first != label) {
      PyObject* key = PyLong_FromLongLong(label);
      if (key) {
        PyErr_SetObject(PyExc_KeyError, key);
        Py_DECREF(key);
      }
      return c.fail();
    }
    cls[i] = (it - 1)->second;
    total.set(cls[i], total.get(cls[i]) + 1.0);
  }

  const double total_sum = (double)n;
  double base_gini = 1.0;
  for (ssize k = 0; k < n_classes; ++k) {
    const double p = total.get(k) / total_sum;
    base_gini -= p * p;
  }
  if (base_gini < 1e-15) return Py_NewRef(g_no_split);

  c.line = 49;
  kernels::Counts left;
  if (!count_array(c, n_classes, left)) return c.fail();

  kernels::Best best;
  FeatureOrder order;
  kw::Scratch<double> vals;
  kw::Scratch<ssize> sorted_cls;
  if (!vals.allocate(n) || !sorted_cls.allocate(n)) return c.fail();
  for (ssize j = 0; j < m; ++j) {
    if (!order.compute(c, a.obj[0], X, j, n, 56, 61)) return c.fail();
    const int64_t* ord = order.data();
    const char* col = X.data + j * X.strides[1];
    const ssize col_s = X.strides[0];
    kernels::gather(ord, n, vals.get(), [&](ssize k) { return kernels::load(col + k * col_s); });
    kernels::gather(ord, n, sorted_cls.get(), [&](ssize k) { return cls[k]; });
    kernels::gini_sweep(vals.get(), n, sorted_cls.get(), total, left, n_classes, total_sum, min_leaf, j, best);
  }
  c.line = 94;
  return result_tuple(c, best);
}

PyObject* regressor_body(kw::Call& c, kw::Args& a) {
  const kw::View& X = *a.view[0];
  const kw::View& y = *a.view[1];
  const double min_leaf = (double)a.i32[2];
  if (!check_y_length(X, y)) return c.fail();
  const ssize n = X.shape[0], m = X.shape[1];

  double total_sum_y = 0.0, total_sum_y2 = 0.0;
  for (ssize i = 0; i < n; ++i) {
    const double v = kernels::load(y.data + i * y.strides[0]);
    total_sum_y += v;
    total_sum_y2 += v * v;
  }
  const double total_n = (double)n;
  const double mean = total_sum_y / total_n;
  const double base_var = total_sum_y2 / total_n - mean * mean;
  if (base_var < 1e-15) return Py_NewRef(g_no_split);

  kernels::Best best;
  FeatureOrder order;
  kw::Scratch<double> vals, ys;
  c.line = 126;
  if (!vals.allocate(n) || !ys.allocate(n)) return c.fail();
  for (ssize j = 0; j < m; ++j) {
    if (!order.compute(c, a.obj[0], X, j, n, 126, 132)) return c.fail();
    const int64_t* ord = order.data();
    const char* col = X.data + j * X.strides[1];
    const ssize col_s = X.strides[0], y_s = y.strides[0];
    kernels::gather(ord, n, vals.get(), [&](ssize k) { return kernels::load(col + k * col_s); });
    kernels::gather(ord, n, ys.get(), [&](ssize k) { return kernels::load(y.data + k * y_s); });
    kernels::variance_sweep(vals.get(), ys.get(), n, total_sum_y, total_sum_y2, total_n, min_leaf, j, best);
  }
  c.line = 158;
  return result_tuple(c, best);
}

constexpr kw::Param kClassifierParams[] = {
    {"X", kw::Kind::Array, 2, &kw::DTYPE},
    {"y", kw::Kind::Array, 1, &kw::INT},
    {"min_samples_leaf", kw::Kind::Int32},
};
constexpr kw::Param kRegressorParams[] = {
    {"X", kw::Kind::Array, 2, &kw::DTYPE},
    {"y", kw::Kind::Array, 1, &kw::DTYPE},
    {"min_samples_leaf", kw::Kind::Int32},
};

const kw::FuncDef kFuncs[] = {
    {"_best_split_classifier", kClassifierParams, 3, 3, nullptr,
     "Find best (feature, threshold) for a classification node.\n"
     "\n"
     "    Returns (best_feat, best_thr, best_score) or (None, None, None).\n"
     "    Uses pre-sorted feature columns and cumulative counts for O(n*m) total.\n"
     "    ",
     12, 15, classifier_body},
    {"_best_split_regressor", kRegressorParams, 3, 3, nullptr,
     "Find best (feature, threshold) for a regression node (MSE).", 97, 100, regressor_body},
};

const kw::ModuleDecl kModule = {
    "kelpwise.accel._vellard",
    "_vellard",
    "kelpwise/accel/_vellard",
    "Accelerated decision tree split search.",
    kFuncs,
    2,
    4,
    create_no_split,
};

}  // namespace

PyMODINIT_FUNC PyInit__vellard(void) { return kw::module_init(&kModule); }
