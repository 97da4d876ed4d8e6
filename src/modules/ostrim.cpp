// kelpwise.accel._ostrim: a static k-d tree over the rows of a float64
// matrix, with an exact k-nearest-neighbour query, bound with pybind11.
//
// The tree kernels live in kernels/kdtree_*.hpp (plain C++, no Python);
// this file converts arguments, checks shapes and allocates the results.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "../kernels/kdtree_query.hpp"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::forcecast>;

// An array argument converted to float64 as pybind11 converts Array, but a
// conversion that runs out of memory raises MemoryError (pybind11 would
// clear it and report incompatible arguments).
struct Float64Array : Array {
  using Array::Array;
};

constexpr int64_t kLimit = int64_t{1} << 31;  // sizes stay signed 32-bit

namespace kdtree = kernels::kdtree;

// What the kernels read of a converted 2-D array: its address, extents and
// byte strides.
kernels::StridedView<2> strided(const Float64Array& a) {
  return kernels::StridedView<2>::over(a.data(), a.shape(), a.strides());
}

class KDTree {
 public:
  explicit KDTree(const Float64Array& X) {
    if (X.ndim() != 2)
      throw py::value_error("KDTree data must be a 2-D array, got " + std::to_string(X.ndim()) + " dimensions");
    const int64_t n = X.shape(0), d = X.shape(1);
    if (n >= kLimit || d >= kLimit || n * d >= kLimit)
      throw py::value_error(
          "KDTree data too large: rows and rows * columns "
          "must stay below 2**31");
    if (d == 0 && n >= 2)
      throw py::value_error(
          "KDTree data with two or more rows needs at "
          "least one column");
    tree_.n = n;
    tree_.d = d;
    kdtree::Builder(tree_, strided(X)).run();
  }

  std::pair<py::array_t<int32_t>, py::array_t<double>> query(const Float64Array& Q, int k) {
    if (Q.ndim() != 2)
      throw py::value_error("query points must be a 2-D array, got " + std::to_string(Q.ndim()) + " dimensions");
    const int64_t nq = Q.shape(0);
    if (Q.shape(1) != tree_.d)
      throw py::value_error("query points have " + std::to_string(Q.shape(1)) + " columns, the tree has " +
                            std::to_string(tree_.d));
    if (nq >= kLimit || nq * tree_.d >= kLimit)
      throw py::value_error(
          "too many query points: rows and rows * columns "
          "must stay below 2**31");
    const int64_t kk = std::min<int64_t>(k, tree_.n);
    if (kk > 0 && nq * kk >= kLimit)
      throw py::value_error(
          "result too large: query rows * k must stay "
          "below 2**31");
    // A negative k reaches NumPy here, which refuses the dimension.
    py::array_t<int32_t> idx_arr({static_cast<py::ssize_t>(nq), static_cast<py::ssize_t>(kk)});
    py::array_t<double> dst_arr({static_cast<py::ssize_t>(nq), static_cast<py::ssize_t>(kk)});
    if (kk > 0) kdtree::query(tree_, strided(Q), kk, idx_arr.mutable_data(), dst_arr.mutable_data());
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
  KDTree* tree;
};

}  // namespace

namespace pybind11::detail {
template <>
struct type_caster<Float64Array> {
  PYBIND11_TYPE_CASTER(Float64Array, handle_type_name<Array>::name);
  bool load(handle src, bool convert) {
    if (!convert && !Array::check_(src)) return false;
    PyObject* raw = npy_api::get().PyArray_FromAny_(
        src.ptr(), dtype::of<double>().release().ptr(), 0, 0,
        static_cast<int>(npy_api::NPY_ARRAY_ENSUREARRAY_) | static_cast<int>(py::array::forcecast), nullptr);
    if (!raw) {
      if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw error_already_set();
      PyErr_Clear();
      return false;
    }
    value = reinterpret_steal<Float64Array>(raw);
    return true;
  }
};

template <>
struct type_caster<Built> {
  PYBIND11_TYPE_CASTER(Built, const_name<KDTree>());
  bool load(handle src, bool) {
    if (!isinstance<KDTree>(src)) return false;
    auto* inst = reinterpret_cast<instance*>(src.ptr());
    auto v_h = inst->get_value_and_holder(get_type_info(typeid(KDTree)));
    if (!v_h || !v_h.holder_constructed()) throw pybind11::value_error("KDTree is not built: create it with KDTree(X)");
    value.tree = v_h.value_ptr<KDTree>();
    return true;
  }
};
}  // namespace pybind11::detail

namespace {

// KDTree.__init__ is a thin wrapper of pybind11's, which would construct
// over an instance that is already built (the conversion of X can run
// Python code that calls __init__ on the same instance: __array__, an
// element's __float__) and ignores a second __init__ on a built one.  The
// wrapper builds the tree in a fresh instance that no Python code can
// reach (same conversions, same errors) and only then moves it into self:
// the instance answers for the data of the last __init__ to finish, keeps
// its old tree (or stays unbuilt) if that fails, and holds one tree.
PyObject* g_init = nullptr;  // pybind11's __init__ (a builtin function)

PyObject* init_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs < 1 || !py::isinstance<KDTree>(PyTuple_GET_ITEM(args, 0))) return PyObject_Call(g_init, args, kwargs);
  PyObject* self = PyTuple_GET_ITEM(args, 0);
  try {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(py::type::of<KDTree>().ptr());
    py::tuple no_args;
    py::object fresh = py::reinterpret_steal<py::object>(type->tp_new(type, no_args.ptr(), nullptr));
    if (!fresh) return nullptr;
    py::tuple fresh_args(nargs);
    fresh_args[0] = fresh;
    for (Py_ssize_t i = 1; i < nargs; ++i)
      fresh_args[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    PyObject* r = PyObject_Call(g_init, fresh_args.ptr(), kwargs);
    if (!r) return nullptr;
    Py_DECREF(r);
    KDTree& built = fresh.cast<KDTree&>();
    // Looked up now: Python code has run since the call began.
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(KDTree)));
    if (v_h.holder_constructed()) {
      *v_h.value_ptr<KDTree>() = std::move(built);
    } else {
      // As pybind11's own constructors do: the value, then the instance
      // registered and its holder made.
      v_h.value_ptr() = new KDTree(std::move(built));
      v_h.type->init_instance(inst, nullptr);
    }
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

std::string g_init_doc;
PyMethodDef g_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_wrapper)),
                          METH_VARARGS | METH_KEYWORDS, nullptr};

void wrap_init(py::class_<KDTree>& cls) {
  py::object bound = cls.attr("__dict__")["__init__"];
  g_init = Py_NewRef(PyInstanceMethod_Function(bound.ptr()));
  g_init_doc = py::str(py::getattr(g_init, "__doc__"));
  g_init_def.ml_doc = g_init_doc.c_str();
  py::object self = py::getattr(g_init, "__self__");
  py::object f = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(&g_init_def, self.ptr(), py::getattr(g_init, "__module__").ptr()));
  if (!f) throw py::error_already_set();
  py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(f.ptr()));
  if (!method) throw py::error_already_set();
  py::setattr(cls, "__init__", method);
}

std::pair<py::array_t<int32_t>, py::array_t<double>> query(Built self, const Float64Array& Q, int k) {
  return self.tree->query(Q, k);
}

}  // namespace

PYBIND11_MODULE(_ostrim, m) {
  py::class_<KDTree> cls(m, "KDTree");
  cls.def(py::init<const Float64Array&>()).def("query", &query);
  wrap_init(cls);
}
