// kelpwise.accel._tarsine: dense distance matrices between the rows of two
// float64 matrices (squared Euclidean, Euclidean, Manhattan).
#include "../frame/frame.hpp"
#include "../kernels/distances.hpp"

namespace {

using kernels::ssize;
using kw::View;

// Traceback lines of each function: argument binding and the views of X
// and Y; allocating and viewing the result.
namespace lines {
struct Distance {
  int args, out;
};
constexpr Distance sq_euclidean{11, 16}, euclidean{30, 35}, manhattan{49, 54};
}  // namespace lines

template <class M, const lines::Distance& L>
PyObject* distance_impl(kw::Call& c, const View& X, const View& Y) {
  const ssize n = X.shape[0], d = X.shape[1], m = Y.shape[0];
  if (Y.shape[1] < d) {
    PyErr_Format(PyExc_ValueError, "Y has %zd columns, fewer than the %zd columns of X", Y.shape[1], d);
    return c.fail();
  }
  c.line = L.out;
  PyObject* out = kw::np::alloc(c, "empty", {n, m}, "float64");
  if (!out) return c.fail();
  View* ov = c.view(out, 2, kw::DTYPE, true);
  if (!ov) return c.fail();
  // A rebound np could hand back any array: never write past its end.
  if (!ov->has_shape({n, m})) {
    PyErr_Format(PyExc_ValueError, "np.empty returned an array of shape (%zd, %zd), expected (%zd, %zd)", ov->shape[0],
                 ov->shape[1], n, m);
    return c.fail();
  }
  // Scratch for packing Y, bounded, and none when there is no work.
  kw::Scratch<double> pack;
  if (!pack.allocate(kernels::pairwise_scratch(n, m, d))) return c.fail();
  kernels::pairwise<M>(X.strided<2>(), Y.strided<2>(), ov->strided<2>(), pack.get());
  return Py_NewRef(out);
}

constexpr kw::Param kParams[] = {
    {"X", kw::Kind::Array, 2, &kw::DTYPE},
    {"Y", kw::Kind::Array, 2, &kw::DTYPE},
};

template <class M, const lines::Distance& L>
constexpr kw::FuncDef distance(const char* name) {
  // clang-format off
  return {.name = name, .params = kParams, .nparams = 2, .nrequired = 2, .line = L.args, .conv_line = L.args,
          .body = kw::typed<distance_impl<M, L>>};
  // clang-format on
}

const kw::FuncDef kFuncs[] = {
    distance<kernels::SqEuclidean, lines::sq_euclidean>("pairwise_squared_euclidean"),
    distance<kernels::Euclidean, lines::euclidean>("pairwise_distances"),
    distance<kernels::Manhattan, lines::manhattan>("pairwise_manhattan_distances"),
};

}  // namespace

PyMODINIT_FUNC PyInit__tarsine(void) {
  return kw::module_init("_tarsine", "Accelerated pairwise distance routines.", kFuncs);
}
