// kelpwise.accel._vellard: best (feature, threshold) split of one
// decision-tree node, by weighted Gini impurity (classification) or by
// weighted variance (regression).
#include <algorithm>
#include <cstdint>

#include "../frame/module.hpp"
#include "../kernels/split.hpp"

namespace {

using frame::View;
using kernels::ssize;

// Traceback line of each failing statement: the fixed source lines of the
// module (kelpwise/accel/_vellard).  tests/support.py (FUNCS: binding and
// conversion), tests/test_vellard.py (NumPy failures) and
// tests/test_hostile.py (MemoryError while counting) hold them.
namespace lines {
// The lines of the search over the features: the column and np.argsort,
// reading the sorted order, the result tuple.
struct Sweep {
  int argsort, read_order, result;
};
namespace classifier {
constexpr int args = 12;          // binding, checks and views of X and y; refusals
constexpr int conv = 15;          // conversion of min_samples_leaf
constexpr int unique = 30;        // np.unique and the check of its result
constexpr int class_index = 33;   // the label -> class index lookup
constexpr int total_counts = 36;  // np.zeros for the node's class counts
constexpr int counting = 38;      // counting the labels
constexpr int left_counts = 49;   // np.zeros for the left counts, the sweep's scratch
constexpr Sweep sweep{.argsort = 56, .read_order = 61, .result = 94};
}  // namespace classifier
namespace regressor {
constexpr int args = 97;
constexpr int conv = 100;
constexpr int scratch = 126;  // the sweep's scratch
constexpr Sweep sweep{.argsort = 126, .read_order = 132, .result = 158};
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
// are kept in a buffer reused from feature to feature.  Each step returns
// -1 with an exception set on failure.
class FeatureOrder {
 public:
  ~FeatureOrder() { reset(); }
  void reset() {
    view_.release();
    Py_CLEAR(order_);
  }
  // np.argsort of column j, an ndarray of ITYPE_t.
  int sort(frame::Call& c, const View& X, ssize j) {
    reset();
    PyObject* argsort = frame::np::attr(c, "argsort");  // looked up before the column is made
    if (!argsort) return -1;
    PyObject* col = column(X, j);
    if (col) {
      order_ = PyObject_CallOneArg(argsort, col);
      Py_DECREF(col);
    }
    Py_DECREF(argsort);
    if (!order_ || frame::require_ndarray(order_) < 0) return -1;
    return frame::acquire_view(view_, order_, 1, frame::ITYPE, false);
  }
  // A contiguous copy of the first n indices, each checked to lie inside
  // the node; data() then holds them.
  int read(ssize n) {
    if (view_.shape[0] < n) {
      PyErr_Format(PyExc_ValueError, "argsort returned %zd indices for %zd rows", view_.shape[0], n);
      return -1;
    }
    if (idx_.allocate(n) < 0) return -1;
    for (ssize i = 0; i < n; ++i) {
      int64_t v = kernels::load_i64(view_.data + i * view_.strides[0]);
      if (v < 0 || v >= n) {
        PyErr_Format(PyExc_IndexError, "argsort index %lld out of range for %zd rows", (long long)v, n);
        return -1;
      }
      idx_[i] = v;
    }
    return 0;
  }
  const int64_t* data() const { return idx_.get(); }

 private:
  PyObject* order_ = nullptr;
  View view_;
  frame::Scratch<int64_t> idx_;
};

// The best split over every feature of X: per column its sorted order, the
// column's values and the targets (gather_targets(order)) in that order,
// then the criterion's sweep.
template <class Criterion, class GatherTargets>
PyObject* best_split(frame::Call& c, const lines::Sweep& L, const View& X, double* vals, Criterion& criterion,
                     int32_t min_samples_leaf, GatherTargets gather_targets) {
  const ssize n = X.shape[0], m = X.shape[1];
  kernels::Best best;
  FeatureOrder order;
  for (ssize j = 0; j < m; ++j) {
    if (order.sort(c, X, j) < 0) return c.fail(L.argsort);
    if (order.read(n) < 0) return c.fail(L.read_order);
    const char* col = X.data + j * X.strides[1];
    const ssize col_s = X.strides[0];
    kernels::gather(order.data(), n, vals, [&](ssize k) { return kernels::load(col + k * col_s); });
    gather_targets(order.data());
    kernels::sweep(vals, n, criterion, (double)min_samples_leaf, j, best);
  }
  if (best.feat == -1) return Py_NewRef(g_no_split);
  PyObject* r = Py_BuildValue("(ndd)", best.feat, best.thr, best.score);
  return r ? r : c.fail(L.result);
}

// y must hold at least one entry per row of X.
int check_y_length(const View& X, const View& y) {
  if (y.shape[0] >= X.shape[0]) return 0;
  PyErr_Format(PyExc_ValueError, "y has %zd entries, fewer than the %zd rows of X", y.shape[0], X.shape[0]);
  return -1;
}

// A count array of n_classes float64 values from np.zeros(n_classes), viewed
// for writing; the counts live in it.
int count_array(frame::Call& c, ssize n_classes, kernels::Counts& out) {
  PyObject* arr = frame::np::alloc1(c, "zeros", n_classes, "float64");
  View* v = arr ? c.view(arr, 1, frame::DTYPE, true) : nullptr;
  if (!v) return -1;
  if (v->shape[0] != n_classes) {
    PyErr_Format(PyExc_ValueError, "np.zeros returned %zd entries, expected %zd", v->shape[0], n_classes);
    return -1;
  }
  out = {v->data, v->strides[0]};
  return 0;
}

// A label and its class index.
struct LabelClass {
  int64_t label;
  ssize index;
};

PyObject* classifier_impl(frame::Call& c, const View& X, const View& y, int32_t min_samples_leaf) {
  namespace L = lines::classifier;
  if (check_y_length(X, y) < 0) return c.fail(L::args);
  const ssize n = X.shape[0];

  PyObject* classes = frame::np::checked(c, frame::np::call(c, "unique", PyTuple_Pack(1, y.obj)));
  if (!classes) return c.fail(L::unique);
  View* cv = c.view(classes, 1, frame::INT, false);
  if (!cv) return c.fail(L::unique);
  const ssize n_classes = cv->shape[0];

  // Label -> class index, as a dictionary filled in class order would give
  // (a repeated label keeps its last index), searched by binary search.
  frame::Scratch<LabelClass> lookup;
  if (lookup.allocate(n_classes) < 0) return c.fail(L::class_index);
  LabelClass* const first = lookup.get();
  LabelClass* const last = first + n_classes;
  for (ssize k = 0; k < n_classes; ++k) lookup[k] = {kernels::load_i64(cv->data + k * cv->strides[0]), k};
  std::stable_sort(first, last, [](const LabelClass& p, const LabelClass& q) { return p.label < q.label; });

  kernels::Counts total, left;
  if (count_array(c, n_classes, total) < 0) return c.fail(L::total_counts);

  // The class index of every sample is kept privately for the sweeps.
  frame::Scratch<ssize> cls;
  if (cls.allocate(n) < 0) return c.fail(L::counting);
  for (ssize i = 0; i < n; ++i) {
    const int64_t label = kernels::load_i64(y.data + i * y.strides[0]);
    const LabelClass* it =
        std::upper_bound(first, last, label, [](int64_t v, const LabelClass& p) { return v < p.label; });
    if (it == first || (it - 1)->label != label) {
      PyObject* key = PyLong_FromLongLong(label);
      if (key) {
        PyErr_SetObject(PyExc_KeyError, key);
        Py_DECREF(key);
      }
      return c.fail(L::counting);
    }
    cls[i] = (it - 1)->index;
    total.set(cls[i], total.get(cls[i]) + 1.0);
  }
  const double total_n = (double)n;
  if (kernels::Gini::impurity(total, n_classes, total_n) < 1e-15) return Py_NewRef(g_no_split);

  if (count_array(c, n_classes, left) < 0) return c.fail(L::left_counts);
  frame::Scratch<double> vals;
  frame::Scratch<ssize> sorted_cls;
  if (vals.allocate(n) < 0 || sorted_cls.allocate(n) < 0) return c.fail(L::left_counts);
  kernels::Gini gini{sorted_cls.get(), total, left, n_classes, total_n};
  return best_split(c, L::sweep, X, vals.get(), gini, min_samples_leaf, [&](const int64_t* order) {
    kernels::gather(order, n, sorted_cls.get(), [&](ssize k) { return cls[k]; });
  });
}

PyObject* regressor_impl(frame::Call& c, const View& X, const View& y, int32_t min_samples_leaf) {
  namespace L = lines::regressor;
  if (check_y_length(X, y) < 0) return c.fail(L::args);
  const ssize n = X.shape[0];

  double total_sum_y = 0.0, total_sum_y2 = 0.0;
  for (ssize i = 0; i < n; ++i) {
    const double v = kernels::load(y.data + i * y.strides[0]);
    total_sum_y += v;
    total_sum_y2 += v * v;
  }
  const double total_n = (double)n;
  if (kernels::Variance::variance(total_sum_y, total_sum_y2, total_n) < 1e-15) return Py_NewRef(g_no_split);

  frame::Scratch<double> vals, ys;
  if (vals.allocate(n) < 0 || ys.allocate(n) < 0) return c.fail(L::scratch);
  kernels::Variance variance{ys.get(), total_sum_y, total_sum_y2, total_n};
  const ssize y_s = y.strides[0];
  return best_split(c, L::sweep, X, vals.get(), variance, min_samples_leaf, [&](const int64_t* order) {
    kernels::gather(order, n, ys.get(), [&](ssize k) { return kernels::load(y.data + k * y_s); });
  });
}

using frame::Kind;

constexpr frame::Param kClassifierParams[] = {
    {"X", Kind::Array, 2, &frame::DTYPE},
    {"y", Kind::Array, 1, &frame::INT},
    {"min_samples_leaf", Kind::Int32},
};
constexpr frame::Param kRegressorParams[] = {
    {"X", Kind::Array, 2, &frame::DTYPE},
    {"y", Kind::Array, 1, &frame::DTYPE},
    {"min_samples_leaf", Kind::Int32},
};

constexpr const char* kClassifierDoc =
    "Find best (feature, threshold) for a classification node.\n"
    "\n"
    "    Returns (best_feat, best_thr, best_score) or (None, None, None).\n"
    "    Uses pre-sorted feature columns and cumulative counts for O(n*m) total.\n"
    "    ";

// clang-format off: one declaration per function
constexpr frame::FuncDef kFuncs[] = {
    frame::define<classifier_impl>(kClassifierParams, {.name = "_best_split_classifier", .nrequired = 3,
                                   .doc = kClassifierDoc, .line = lines::classifier::args,
                                   .conv_line = lines::classifier::conv}),
    frame::define<regressor_impl>(kRegressorParams, {.name = "_best_split_regressor", .nrequired = 3,
                                  .doc = "Find best (feature, threshold) for a regression node (MSE).",
                                  .line = lines::regressor::args, .conv_line = lines::regressor::conv}),
};
// clang-format on

}  // namespace

PyMODINIT_FUNC PyInit__vellard(void) {
  return frame::module_init("_vellard", "Accelerated decision tree split search.", kFuncs, create_no_split);
}
