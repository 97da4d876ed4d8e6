// kelpwise.accel._vellard: best (feature, threshold) split of one
// decision-tree node, by weighted Gini impurity (classification) or by
// weighted variance (regression).
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "../frame/frame.hpp"
#include "../kernels/split.hpp"

namespace {

using kernels::ssize;
using kw::View;

// Traceback line of each failing statement.
namespace lines {
namespace classifier {
constexpr int args = 12;          // binding, checks and views of X and y; refusals
constexpr int conv = 15;          // conversion of min_samples_leaf
constexpr int unique = 30;        // np.unique and the check of its result
constexpr int class_index = 33;   // the label -> class index lookup
constexpr int total_counts = 36;  // np.zeros for the node's class counts
constexpr int counting = 38;      // counting the labels
constexpr int left_counts = 49;   // np.zeros for the left counts
constexpr int argsort = 56;       // the column and np.argsort
constexpr int read_order = 61;    // reading the sorted order
constexpr int result = 94;
}  // namespace classifier
namespace regressor {
constexpr int args = 97;
constexpr int conv = 100;
constexpr int argsort = 126;
constexpr int read_order = 132;
constexpr int result = 158;
}  // namespace regressor
}  // namespace lines

PyObject* g_no_split = nullptr;  // (None, None, None), created at load

int create_no_split(PyObject*) {
  g_no_split = PyTuple_Pack(3, Py_None, Py_None, Py_None);
  return g_no_split ? 0 : -1;
}

// Column j of X as a read-only 1-D float64 array over the view's memory
// (address and row stride of the view), its base the array X itself.  The
// column is what the view holds, whatever X's own subscription does.
PyObject* column(const View& X, ssize j) {
  npy_intp dims[1] = {(npy_intp)X.shape[0]};
  npy_intp strides[1] = {(npy_intp)X.strides[0]};
  char* data = X.data + j * X.strides[1];
  const bool aligned = (uintptr_t)data % 8 == 0 && X.strides[0] % 8 == 0;
  PyObject* col = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, dims, strides, data,
                                       aligned ? NPY_ARRAY_ALIGNED : 0, nullptr);
  if (!col) return nullptr;
  if (PyArray_SetBaseObject((PyArrayObject*)col, Py_NewRef(X.obj)) < 0) {
    Py_DECREF(col);
    return nullptr;
  }
  return col;
}

// The sorted order of one feature, np.argsort(column j), validated so that
// the sweep never reads outside X.  Owns its array and view; the indices
// are kept in a buffer reused from feature to feature.
class FeatureOrder {
 public:
  ~FeatureOrder() { reset(); }
  void reset() {
    view_.release();
    Py_CLEAR(order_);
  }
  // Returns false with an exception set, c.line naming the failing
  // statement; on success data() holds the n indices.
  bool compute(kw::Call& c, const View& X, ssize j, int sort_line, int read_line) {
    const ssize n = X.shape[0];
    reset();
    c.line = sort_line;
    PyObject* argsort = kw::np::attr(c, "argsort");  // looked up before the column is made
    if (!argsort) return false;
    PyObject* col = column(X, j);
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
  View view_;
  kw::Scratch<int64_t> idx_;
};

PyObject* result_tuple(kw::Call& c, const kernels::Best& best) {
  if (best.feat == -1) return Py_NewRef(g_no_split);
  PyObject* r = Py_BuildValue("(ndd)", best.feat, best.thr, best.score);
  return r ? r : c.fail();
}

// y must hold at least one entry per row of X.
bool check_y_length(const View& X, const View& y) {
  if (y.shape[0] >= X.shape[0]) return true;
  PyErr_Format(PyExc_ValueError, "y has %zd entries, fewer than the %zd rows of X", y.shape[0], X.shape[0]);
  return false;
}

// A count array of n_classes float64 values from np.zeros(n_classes), viewed
// for writing; the counts live in it.
bool count_array(kw::Call& c, ssize n_classes, kernels::Counts& out) {
  PyObject* arr = kw::np::alloc1(c, "zeros", n_classes, "float64");
  View* v = arr ? c.view(arr, 1, kw::DTYPE, true) : nullptr;
  if (!v) return false;
  if (v->shape[0] != n_classes) {
    PyErr_Format(PyExc_ValueError, "np.zeros returned %zd entries, expected %zd", v->shape[0], n_classes);
    return false;
  }
  out = {v->data, v->strides[0]};
  return true;
}

PyObject* classifier_impl(kw::Call& c, const View& X, const View& y, int32_t min_samples_leaf) {
  namespace L = lines::classifier;
  if (!check_y_length(X, y)) return c.fail();
  const ssize n = X.shape[0], m = X.shape[1];

  c.line = L::unique;
  PyObject* classes = kw::np::checked(c, kw::np::call(c, "unique", PyTuple_Pack(1, y.obj)));
  if (!classes) return c.fail();
  View* cv = c.view(classes, 1, kw::INT, false);
  if (!cv) return c.fail();
  const ssize n_classes = cv->shape[0];

  // Label -> class index, as a dictionary filled in class order would give
  // (a repeated label keeps its last index), searched by binary search.
  c.line = L::class_index;
  std::vector<std::pair<int64_t, ssize>> lookup((size_t)n_classes);
  for (ssize k = 0; k < n_classes; ++k) lookup[(size_t)k] = {kernels::load_i64(cv->data + k * cv->strides[0]), k};
  std::stable_sort(lookup.begin(), lookup.end(), [](const auto& p, const auto& q) { return p.first < q.first; });

  c.line = L::total_counts;
  kernels::Counts total, left;
  if (!count_array(c, n_classes, total)) return c.fail();

  // The class index of every sample is kept privately for the sweeps.
  c.line = L::counting;
  kw::Scratch<ssize> cls;
  if (!cls.allocate(n)) return c.fail();
  for (ssize i = 0; i < n; ++i) {
    const int64_t label = kernels::load_i64(y.data + i * y.strides[0]);
    auto it =
        std::upper_bound(lookup.begin(), lookup.end(), label, [](int64_t v, const auto& p) { return v < p.first; });
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
  const double total_n = (double)n;
  if (kernels::Gini::impurity(total, n_classes, total_n) < 1e-15) return Py_NewRef(g_no_split);

  c.line = L::left_counts;
  if (!count_array(c, n_classes, left)) return c.fail();

  kw::Scratch<double> vals;
  kw::Scratch<ssize> sorted_cls;
  if (!vals.allocate(n) || !sorted_cls.allocate(n)) return c.fail();
  kernels::Gini gini{sorted_cls.get(), total, left, n_classes, total_n};
  kernels::Best best;
  FeatureOrder order;
  for (ssize j = 0; j < m; ++j) {
    if (!order.compute(c, X, j, L::argsort, L::read_order)) return c.fail();
    const char* col = X.data + j * X.strides[1];
    const ssize col_s = X.strides[0];
    kernels::gather(order.data(), n, vals.get(), [&](ssize k) { return kernels::load(col + k * col_s); });
    kernels::gather(order.data(), n, sorted_cls.get(), [&](ssize k) { return cls[k]; });
    kernels::sweep(vals.get(), n, gini, (double)min_samples_leaf, j, best);
  }
  c.line = L::result;
  return result_tuple(c, best);
}

PyObject* regressor_impl(kw::Call& c, const View& X, const View& y, int32_t min_samples_leaf) {
  namespace L = lines::regressor;
  if (!check_y_length(X, y)) return c.fail();
  const ssize n = X.shape[0], m = X.shape[1];

  double total_sum_y = 0.0, total_sum_y2 = 0.0;
  for (ssize i = 0; i < n; ++i) {
    const double v = kernels::load(y.data + i * y.strides[0]);
    total_sum_y += v;
    total_sum_y2 += v * v;
  }
  const double total_n = (double)n;
  if (kernels::Variance::variance(total_sum_y, total_sum_y2, total_n) < 1e-15) return Py_NewRef(g_no_split);

  c.line = L::argsort;
  kw::Scratch<double> vals, ys;
  if (!vals.allocate(n) || !ys.allocate(n)) return c.fail();
  kernels::Variance variance{ys.get(), total_sum_y, total_sum_y2, total_n};
  kernels::Best best;
  FeatureOrder order;
  for (ssize j = 0; j < m; ++j) {
    if (!order.compute(c, X, j, L::argsort, L::read_order)) return c.fail();
    const char* col = X.data + j * X.strides[1];
    const ssize col_s = X.strides[0], y_s = y.strides[0];
    kernels::gather(order.data(), n, vals.get(), [&](ssize k) { return kernels::load(col + k * col_s); });
    kernels::gather(order.data(), n, ys.get(), [&](ssize k) { return kernels::load(y.data + k * y_s); });
    kernels::sweep(vals.get(), n, variance, (double)min_samples_leaf, j, best);
  }
  c.line = L::result;
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

constexpr const char* kClassifierDoc =
    "Find best (feature, threshold) for a classification node.\n"
    "\n"
    "    Returns (best_feat, best_thr, best_score) or (None, None, None).\n"
    "    Uses pre-sorted feature columns and cumulative counts for O(n*m) total.\n"
    "    ";

// clang-format off: one declaration per function
const kw::FuncDef kFuncs[] = {
    {.name = "_best_split_classifier", .params = kClassifierParams, .nparams = 3, .nrequired = 3,
     .doc = kClassifierDoc, .line = lines::classifier::args, .conv_line = lines::classifier::conv,
     .body = kw::typed<classifier_impl>},
    {.name = "_best_split_regressor", .params = kRegressorParams, .nparams = 3, .nrequired = 3,
     .doc = "Find best (feature, threshold) for a regression node (MSE).", .line = lines::regressor::args,
     .conv_line = lines::regressor::conv, .body = kw::typed<regressor_impl>},
};
// clang-format on

}  // namespace

PyMODINIT_FUNC PyInit__vellard(void) {
  return kw::module_init("_vellard", "Accelerated decision tree split search.", kFuncs, create_no_split);
}
