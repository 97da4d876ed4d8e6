// kelpwise.accel._tarsine: dense distance matrices between the rows of two
// float64 matrices (squared Euclidean, Euclidean, Manhattan).
#include "../frame/module.hpp"
#include "../kernels/distances.hpp"

namespace {

using frame::View;
using kernels::ssize;

// Traceback lines of each function, the fixed source lines of the module
// (kelpwise/accel/_tarsine): argument binding and the views of X and Y;
// allocating and viewing the result.  tests/support.py (FUNCS, the args
// lines) and tests/test_tarsine.py (the result lines) hold them.
namespace lines {
struct Distance {
  int args, out;
};
constexpr Distance sq_euclidean{11, 16}, euclidean{30, 35}, manhattan{49, 54};
}  // namespace lines

template <class Metric, const lines::Distance& L>
PyObject* distance_impl(frame::Call& c, const View& X, const View& Y) {
  const ssize n = X.shape[0], d = X.shape[1], m = Y.shape[0];
  if (Y.shape[1] < d)
    return c.raise(L.args, PyExc_ValueError, "Y has %zd columns, fewer than the %zd columns of X", Y.shape[1], d);
  PyObject* out = frame::np::alloc(c, "empty", {n, m}, "float64");
  if (!out) return c.fail(L.out);
  View* ov = c.view(out, 2, frame::DTYPE, true);
  if (!ov) return c.fail(L.out);
  // A rebound np could hand back any array: never write past its end.
  if (!ov->has_shape({n, m}))
    return c.raise(L.out, PyExc_ValueError, "np.empty returned an array of shape (%zd, %zd), expected (%zd, %zd)",
                   ov->shape[0], ov->shape[1], n, m);
  // Scratch for packing Y, bounded, and none when there is no work.
  frame::Scratch<double> pack;
  if (pack.allocate(kernels::pairwise_scratch(n, m, d)) < 0) return c.fail(L.out);
  kernels::pairwise<Metric>(X.strided<2>(), Y.strided<2>(), ov->strided<2>(), pack.get());
  return Py_NewRef(out);
}

constexpr frame::Param kParams[] = {
    {"X", frame::Kind::Array, 2, &frame::DTYPE},
    {"Y", frame::Kind::Array, 2, &frame::DTYPE},
};

template <class Metric, const lines::Distance& L>
consteval frame::FuncDef distance(const char* name) {
  return frame::define<distance_impl<Metric, L>>(kParams,
                                                 {.name = name, .nrequired = 2, .line = L.args, .conv_line = L.args});
}

constexpr frame::FuncDef kFuncs[] = {
    distance<kernels::SqEuclidean, lines::sq_euclidean>("pairwise_squared_euclidean"),
    distance<kernels::Euclidean, lines::euclidean>("pairwise_distances"),
    distance<kernels::Manhattan, lines::manhattan>("pairwise_manhattan_distances"),
};

}  // namespace

PyMODINIT_FUNC PyInit__tarsine(void) {
  return frame::module_init("_tarsine", "Accelerated pairwise distance routines.", kFuncs);
}
