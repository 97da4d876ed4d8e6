// kelpwise.accel._parallel: the lock-free entry points behind
// kelpwise.accel.parallel, bound with pybind11.
//
// Every function checks its arguments and allocates everything it needs
// while it holds the interpreter lock, then releases the lock and runs the
// shared kernels (kernels/*.hpp) over blocks of the work on a few threads
// started for the call.  The blocks are split so that every output element
// is computed by one thread, in the kernel's own order: the results are the
// bits of one call of the typed modules, for any number of threads.
//
// While the lock is released nothing here touches a Python object.  Every
// array a kernel reads or writes is held through a buffer export for the
// whole call (NumPy then refuses to resize it), and every value that decides
// an address (argmax entries, sort orders, class indices) is copied into
// memory the call owns and checked there, so a thread that rewrites the
// inputs meanwhile changes numbers, never addresses.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#include "../kernels/distances.hpp"
#include "../kernels/kdtree_query.hpp"
#include "../kernels/pooling.hpp"
#include "../kernels/split.hpp"
#include "../kernels/windows.hpp"

namespace py = pybind11;

namespace {

using kernels::ssize;
namespace kdtree = kernels::kdtree;

constexpr int kMaxThreads = 256;  // threads started for one call, at most

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list va;
  va_start(va, f);
  std::vsnprintf(buf, sizeof buf, f, va);
  va_end(va);
  return buf;
}

// ---------------------------------------------------------------------------
// Arrays

enum class Elem { F64, I64 };

// A buffer export of one array argument, checked for its number of
// dimensions and element type, held until destruction (which needs the
// interpreter lock).
class Export {
 public:
  Export(py::handle obj, const char* name, int ndim, Elem elem, bool writable = false) {
    const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj.ptr(), &b_, flags) < 0) throw py::error_already_set();
    if (b_.ndim != ndim || b_.itemsize != 8 || !format_ok(b_.format, elem)) {
      PyBuffer_Release(&b_);
      throw py::value_error(fmt("%s must be a %d-D %s array", name, ndim, elem == Elem::F64 ? "float64" : "int64"));
    }
  }
  ~Export() { PyBuffer_Release(&b_); }
  Export(const Export&) = delete;
  Export& operator=(const Export&) = delete;

  ssize shape(int i) const { return b_.shape[i]; }
  template <int N>
  kernels::StridedView<N> view() const {
    kernels::StridedView<N> v;
    v.data = static_cast<char*>(b_.buf);
    for (int i = 0; i < N; ++i) {
      v.shape[i] = b_.shape[i];
      v.strides[i] = b_.strides[i];
    }
    return v;
  }

 private:
  static bool format_ok(const char* f, Elem elem) {
    if (!f) return false;
    if (*f == '@' || *f == '=' || *f == '<') ++f;  // native order, little-endian targets only
    if (elem == Elem::F64) return std::strcmp(f, "d") == 0;
    return std::strcmp(f, "l") == 0 || std::strcmp(f, "q") == 0;
  }
  Py_buffer b_{};
};

// Rows [lo, lo + count) of the leading axis of v.
template <int N>
kernels::StridedView<N> rows(kernels::StridedView<N> v, ssize lo, ssize count) {
  v.data += lo * v.strides[0];
  v.shape[0] = count;
  return v;
}

// A fresh C-ordered array of the given extents, its export held for the
// call (nothing else can reach it before it is returned).
template <class T>
py::array_t<T> fresh(std::vector<ssize> shape) {
  std::vector<py::ssize_t> dims(shape.begin(), shape.end());
  return py::array_t<T>(dims);
}

// Scratch of n values owned by the call; std::bad_alloc (MemoryError) when
// it cannot be had.  None is taken for n == 0.
template <class T>
std::unique_ptr<T[]> scratch(ssize n) {
  if (n < 0 || static_cast<size_t>(n) > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  return n ? std::unique_ptr<T[]>(new T[static_cast<size_t>(n)]) : nullptr;
}

// ---------------------------------------------------------------------------
// Threads

void check_workers(int workers) {
  if (workers < 1) throw py::value_error(fmt("workers must be at least 1, got %d", workers));
}

// Threads worth starting for `blocks` blocks of work.
int thread_count(int workers, ssize blocks) {
  ssize t = std::min<ssize>({workers, blocks, kMaxThreads});
  return t < 1 ? 1 : static_cast<int>(t);
}

// The CPUs this thread may run on other than the one it runs on now, where
// there are such; a thread started while its caller computes may otherwise
// be queued behind the caller on the caller's CPU, idle ones
// notwithstanding, until the scheduler balances the load (here 1-5 ms, as
// long as a short call takes).  Linux only; elsewhere the scheduler places
// the threads alone.
struct OtherCpus {
#ifdef __linux__
  cpu_set_t set;
  bool any = false;
  OtherCpus() {
    CPU_ZERO(&set);
    const int here = sched_getcpu();
    if (here < 0 || sched_getaffinity(0, sizeof set, &set) != 0 || !CPU_ISSET(here, &set)) return;
    CPU_CLR(here, &set);
    any = CPU_COUNT(&set) > 0;
  }
  // Starts t there (a hint: nothing is lost if it cannot be given).
  void place(std::thread& t) const {
    if (any) pthread_setaffinity_np(t.native_handle(), sizeof set, &set);
  }
#else
  void place(std::thread&) const {}
#endif
};

// Runs body(thread, block) for every block in [0, blocks), handing the
// blocks out in order to `threads` threads: the caller's and up to
// threads - 1 started here (fewer if the system refuses more; the work is
// then shared by those that run).  `thread` is below `threads`, so that
// per-thread scratch can be indexed by it.  Call without the interpreter
// lock.  Returns false when some block threw (the work is then incomplete).
template <class F>
bool run_blocks(ssize blocks, int threads, const F& body) {
  std::atomic<ssize> next{0};
  std::atomic<bool> failed{false};
  auto loop = [&](int t) noexcept {
    for (ssize b; (b = next.fetch_add(1)) < blocks;) {
      try {
        body(t, b);
      } catch (...) {
        failed = true;
      }
    }
  };
  std::thread pool[kMaxThreads];
  int started = 0;
  const OtherCpus elsewhere;
  for (int t = 1; t < threads && t < kMaxThreads; ++t) {
    try {
      pool[started] = std::thread(loop, t);
    } catch (...) {
      break;
    }
    elsewhere.place(pool[started]);
    ++started;
  }
  loop(0);
  for (int i = 0; i < started; ++i) pool[i].join();
  return !failed;
}

// run_blocks with the interpreter lock released; MemoryError when a block
// could not get its memory.
template <class F>
void run_unlocked(ssize blocks, int threads, const F& body) {
  bool ok;
  {
    py::gil_scoped_release unlocked;
    ok = run_blocks(blocks, threads, body);
  }
  if (!ok) throw std::bad_alloc();
}

// Splits `count` items into blocks of `per` items (the last may be short).
struct Blocks {
  ssize count, per, n;
  Blocks(ssize count_, ssize per_) : count(count_), per(per_ < 1 ? 1 : per_), n((count_ + per - 1) / per) {}
  ssize lo(ssize b) const { return b * per; }
  ssize size(ssize b) const { return std::min(per, count - b * per); }
};

// About `parts` blocks per thread of at least `grain` items, a multiple of
// `grain` each.
Blocks split(ssize count, int workers, ssize parts, ssize grain) {
  const ssize want = static_cast<ssize>(std::min(workers, kMaxThreads)) * parts;
  ssize per = (count + want - 1) / want;
  per = (per + grain - 1) / grain * grain;
  return Blocks(count, per);
}

// ---------------------------------------------------------------------------
// Distances: blocks of rows of X, each against all of Y.

template <class M>
py::array_t<double> pairwise(py::handle Xo, py::handle Yo, int workers) {
  check_workers(workers);
  Export X(Xo, "X", 2, Elem::F64), Y(Yo, "Y", 2, Elem::F64);
  const ssize n = X.shape(0), d = X.shape(1), m = Y.shape(0);
  if (Y.shape(1) < d) throw py::value_error(fmt("Y has %zd columns, fewer than the %zd columns of X", Y.shape(1), d));
  auto out = fresh<double>({n, m});
  Export O(out, "out", 2, Elem::F64, true);
  // Row blocks a multiple of 12 (the vector kernel takes 4 or 6 rows at a
  // time), two per thread: each block packs Y once.
  const Blocks blocks = split(n, workers, 2, 12);
  const int threads = thread_count(workers, blocks.n);
  const ssize pack_size = kernels::pairwise_scratch(n ? 1 : 0, m, d);
  std::vector<std::unique_ptr<double[]>> packs(static_cast<size_t>(threads));
  for (auto& p : packs) p = scratch<double>(pack_size);
  const auto xv = X.view<2>(), yv = Y.view<2>(), ov = O.view<2>();
  run_unlocked(blocks.n, threads, [&](int t, ssize b) {
    kernels::pairwise<M>(rows(xv, blocks.lo(b), blocks.size(b)), yv, rows(ov, blocks.lo(b), blocks.size(b)),
                         packs[t].get());
  });
  return out;
}

// ---------------------------------------------------------------------------
// Patches and pooling: blocks of whole images.

void check_window(ssize kh, ssize kw, ssize stride) {
  if (kh < 1 || kw < 1 || stride < 1)
    throw py::value_error(fmt("kh, kw and stride must be at least 1 (got %zd, %zd, %zd)", kh, kw, stride));
}

// About four blocks of images per thread.
Blocks image_blocks(ssize N, int workers) {
  return split(N, workers, 4, 1);
}

// Patch matrix of an image that already carries its border: (cols, OH, OW).
py::tuple im2col(py::handle Xo, int kh, int kw, int stride, int workers) {
  check_workers(workers);
  check_window(kh, kw, stride);
  Export X(Xo, "X", 4, Elem::F64);
  const ssize N = X.shape(0), H = X.shape(1), W = X.shape(2), C = X.shape(3);
  if (kh > H || kw > W) throw py::value_error(fmt("a %dx%d window does not fit the %zdx%zd image", kh, kw, H, W));
  const ssize OH = (H - kh) / stride + 1, OW = (W - kw) / stride + 1;
  ssize per_image, ncols, rows_total, bytes;
  if (!kernels::checked_product(per_image, {OH, OW}) || !kernels::checked_product(ncols, {kh, kw, C}) ||
      !kernels::checked_product(rows_total, {N, per_image}) || !kernels::checked_product(bytes, {rows_total, ncols, 8}))
    throw py::value_error("the patch matrix is too large");
  auto cols = fresh<double>({rows_total, ncols});
  Export Cx(cols, "cols", 2, Elem::F64, true);
  const auto xv = X.view<4>();
  const auto cv = Cx.view<2>();
  const Blocks blocks = image_blocks(N, workers);
  run_unlocked(blocks.n, thread_count(workers, blocks.n), [&](int, ssize b) {
    const ssize lo = blocks.lo(b), cnt = blocks.size(b);
    kernels::im2col(rows(xv, lo, cnt), rows(cv, lo * per_image, cnt * per_image), {cnt, C, OH, OW, kh, kw, stride});
  });
  return py::make_tuple(std::move(cols), OH, OW);
}

// The bordered gradient (N, H + 2*pad, W + 2*pad, C) of a patch matrix.
py::array_t<double> col2im(py::handle colso, ssize N, ssize H, ssize W, ssize C, int kh, int kw, int stride, int pad,
                           int workers) {
  check_workers(workers);
  check_window(kh, kw, stride);
  if (N < 0 || H < 0 || W < 0 || C < 0 || pad < 0)
    throw py::value_error(fmt("shape and pad must not be negative (got (%zd, %zd, %zd, %zd), %d)", N, H, W, C, pad));
  ssize Hp, Wp;
  if (__builtin_add_overflow(H, 2 * static_cast<ssize>(pad), &Hp) ||
      __builtin_add_overflow(W, 2 * static_cast<ssize>(pad), &Wp))
    throw py::value_error("H + 2*pad or W + 2*pad does not fit in 64 bits");
  if (kh > Hp || kw > Wp)
    throw py::value_error(fmt("a %dx%d window does not fit the %zdx%zd padded image", kh, kw, Hp, Wp));
  const ssize OH = (Hp - kh) / stride + 1, OW = (Wp - kw) / stride + 1;
  ssize per_image, ncols, rows_total, image, bytes;
  if (!kernels::checked_product(per_image, {OH, OW}) || !kernels::checked_product(rows_total, {N, per_image}) ||
      !kernels::checked_product(ncols, {kh, kw, C}) || !kernels::checked_product(image, {Hp, Wp, C}) ||
      !kernels::checked_product(bytes, {N, image, 8}))
    throw py::value_error("the image is too large");
  Export Cx(colso, "cols", 2, Elem::F64);
  if (Cx.shape(0) != rows_total || Cx.shape(1) != ncols)
    throw py::value_error(fmt("cols has shape (%zd, %zd), expected (%zd, %zd) for this shape and window", Cx.shape(0),
                              Cx.shape(1), rows_total, ncols));
  auto dx = fresh<double>({N, Hp, Wp, C});
  Export D(dx, "dx", 4, Elem::F64, true);
  const auto cv = Cx.view<2>();
  const auto dv = D.view<4>();
  const Blocks blocks = image_blocks(N, workers);
  run_unlocked(blocks.n, thread_count(workers, blocks.n), [&](int, ssize b) {
    const ssize lo = blocks.lo(b), cnt = blocks.size(b);
    const auto block = rows(dv, lo, cnt);
    if (cnt * image > 0) std::memset(block.data, 0, static_cast<size_t>(cnt * image) * 8);
    kernels::col2im(rows(cv, lo * per_image, cnt * per_image), block, {cnt, C, OH, OW, kh, kw, stride});
  });
  return dx;
}

py::tuple maxpool_forward(py::handle Xo, int k, int stride, int workers) {
  check_workers(workers);
  if (k < 1 || stride < 1) throw py::value_error(fmt("k and stride must be at least 1 (got %d, %d)", k, stride));
  Export X(Xo, "X", 4, Elem::F64);
  const ssize N = X.shape(0), H = X.shape(1), W = X.shape(2), C = X.shape(3);
  if (k > H || k > W) throw py::value_error(fmt("a %dx%d window does not fit the %zdx%zd image", k, k, H, W));
  const ssize OH = (H - k) / stride + 1, OW = (W - k) / stride + 1;
  ssize bytes;
  if (!kernels::checked_product(bytes, {N, OH, OW, C, 8})) throw py::value_error("the output is too large");
  auto out = fresh<double>({N, OH, OW, C});
  auto arg = fresh<int64_t>({N, OH, OW, C});
  Export O(out, "out", 4, Elem::F64, true), A(arg, "argmax", 4, Elem::I64, true);
  const auto xv = X.view<4>(), ov = O.view<4>(), av = A.view<4>();
  const Blocks blocks = image_blocks(N, workers);
  run_unlocked(blocks.n, thread_count(workers, blocks.n), [&](int, ssize b) {
    const ssize lo = blocks.lo(b), cnt = blocks.size(b);
    kernels::maxpool_forward(rows(xv, lo, cnt), rows(ov, lo, cnt), rows(av, lo, cnt), {cnt, C, OH, OW, k, k, stride});
  });
  return py::make_tuple(std::move(out), std::move(arg));
}

// The first argmax entry of a block that the kernel cannot use, if any.
struct BadIndex {
  bool found = false;
  ssize where[4] = {};
  ssize idx = 0;
};

py::array_t<double> maxpool_backward(py::handle grado, py::handle argo, ssize N, ssize H, ssize W, ssize C, int k,
                                     int stride, int workers) {
  check_workers(workers);
  if (k < 1 || stride < 1) throw py::value_error(fmt("k and stride must be at least 1 (got %d, %d)", k, stride));
  if (N < 0 || H < 0 || W < 0 || C < 0)
    throw py::value_error(fmt("shape must not be negative (got (%zd, %zd, %zd, %zd))", N, H, W, C));
  Export G(grado, "grad", 4, Elem::F64), A(argo, "argmax", 4, Elem::I64);
  const ssize OH = G.shape(1), OW = G.shape(2);
  for (int i = 0; i < 4; ++i)
    if (A.shape(i) != G.shape(i)) throw py::value_error("grad and argmax must have the same shape");
  if (G.shape(0) != N || G.shape(3) != C)
    throw py::value_error(fmt("grad has shape (%zd, %zd, %zd, %zd), inconsistent with shape (%zd, %zd, %zd, %zd)",
                              G.shape(0), OH, OW, G.shape(3), N, H, W, C));
  ssize cells, per_image, entries;
  if (!kernels::checked_product(cells, {N, H, W, C, 8}) || !kernels::checked_product(per_image, {OH, OW, C}) ||
      !kernels::checked_product(entries, {N, per_image, 8}))
    throw py::value_error("the image is too large");
  // The indices are copied, block by block, into memory of this call and
  // checked there before the gradient is routed through them.
  auto idx = scratch<int64_t>(N * per_image);
  auto dx = fresh<double>({N, H, W, C});
  Export D(dx, "dx", 4, Elem::F64, true);
  const auto gv = G.view<4>(), av = A.view<4>(), dv = D.view<4>();
  const Blocks blocks = image_blocks(N, workers);
  std::vector<BadIndex> bad(static_cast<size_t>(blocks.n));
  const kernels::Decoder dec(k);
  const ssize image = H * W * C;
  run_unlocked(blocks.n, thread_count(workers, blocks.n), [&](int, ssize b) {
    const ssize lo = blocks.lo(b), cnt = blocks.size(b);
    const kernels::StridedView<4> own = kernels::c_order_view(idx.get() + lo * per_image, cnt, OH, OW, C);
    kernels::copy_indices(rows(av, lo, cnt), idx.get() + lo * per_image);
    const kernels::Windows g{cnt, C, OH, OW, k, k, stride};
    BadIndex& bi = bad[static_cast<size_t>(b)];
    if (kernels::find_bad_index(own, g, H, W, dec, bi.where)) {
      bi.found = true;
      bi.idx = kernels::load_i64(own.at(bi.where[0], bi.where[1], bi.where[2], bi.where[3]));
      bi.where[0] += lo;
      return;
    }
    const auto block = rows(dv, lo, cnt);
    if (cnt * image > 0) std::memset(block.data, 0, static_cast<size_t>(cnt * image) * 8);
    kernels::maxpool_backward(rows(gv, lo, cnt), own, block, g, dec);
  });
  for (const BadIndex& bi : bad) {
    if (!bi.found) continue;
    const ssize* at = bi.where;
    const ssize kk = static_cast<ssize>(k) * k;
    if (bi.idx < 0 || bi.idx >= kk)
      throw py::value_error(fmt("argmax entry %zd at (%zd, %zd, %zd, %zd) is outside 0..%zd", bi.idx, at[0], at[1],
                                at[2], at[3], kk - 1));
    ssize row, col;
    if (__builtin_mul_overflow(at[1], static_cast<ssize>(stride), &row) ||
        __builtin_add_overflow(row, bi.idx / k, &row) ||
        __builtin_mul_overflow(at[2], static_cast<ssize>(stride), &col) ||
        __builtin_add_overflow(col, bi.idx % k, &col))
      throw py::value_error(fmt("argmax entry %zd at (%zd, %zd, %zd, %zd) routes outside the %zdx%zd image", bi.idx,
                                at[0], at[1], at[2], at[3], H, W));
    throw py::value_error(
        fmt("argmax entry %zd at (%zd, %zd, %zd, %zd) routes to (%zd, %zd), outside the %zdx%zd image", bi.idx, at[0],
            at[1], at[2], at[3], row, col, H, W));
  }
  return dx;
}

// ---------------------------------------------------------------------------
// Split search: the sweep of one feature over a sort order computed by the
// caller (np.argsort, which releases the lock itself), so that callers on
// several threads sweep several features at once.

// order[0 .. n) copied into own and checked to index rows of the node.
bool copy_order(const Export& order, ssize n, int64_t* own, int64_t& bad) {
  const auto ov = order.view<1>();
  for (ssize i = 0; i < n; ++i) {
    const int64_t v = kernels::load_i64(ov.data + i * ov.strides[0]);
    if (v < 0 || v >= n) {
      bad = v;
      return false;
    }
    own[i] = v;
  }
  return true;
}

void check_order(const Export& X, ssize j, const Export& order) {
  const ssize n = X.shape(0);
  if (j < 0 || j >= X.shape(1)) throw py::value_error(fmt("feature %zd out of range for %zd features", j, X.shape(1)));
  if (order.shape(0) < n) throw py::value_error(fmt("argsort returned %zd indices for %zd rows", order.shape(0), n));
}

py::object result(const kernels::Best& best) {
  if (best.feat == -1) return py::none();
  return py::make_tuple(best.thr, best.score);
}

// Best split of feature j by Gini impurity: (thr, score) or None.  cls: the
// class index 0 .. n_classes-1 of every row.
py::object sweep_classifier(py::handle Xo, ssize j, py::handle ordero, py::handle clso, ssize n_classes,
                            int min_samples_leaf) {
  Export X(Xo, "X", 2, Elem::F64), order(ordero, "order", 1, Elem::I64), cls(clso, "cls", 1, Elem::I64);
  check_order(X, j, order);
  const ssize n = X.shape(0);
  if (cls.shape(0) < n)
    throw py::value_error(fmt("cls has %zd entries, fewer than the %zd rows of X", cls.shape(0), n));
  // Every class holds a label of cls: more classes than labels is no node.
  if (n_classes < 0 || n_classes > cls.shape(0))
    throw py::value_error(fmt("n_classes %zd outside 0..%zd, the number of labels", n_classes, cls.shape(0)));
  auto own_order = scratch<int64_t>(n);
  auto own_cls = scratch<ssize>(n), sorted_cls = scratch<ssize>(n);
  auto vals = scratch<double>(n);
  auto counts = scratch<double>(2 * n_classes);
  const auto xv = X.view<2>();
  const auto cv = cls.view<1>();
  int64_t bad_order = 0, bad_cls = 0;
  bool order_ok = true, cls_ok = true;
  kernels::Best best;
  {
    py::gil_scoped_release unlocked;
    order_ok = copy_order(order, n, own_order.get(), bad_order);
    kernels::Counts total{reinterpret_cast<char*>(counts.get()), 8};
    kernels::Counts left{reinterpret_cast<char*>(counts.get() + n_classes), 8};
    for (ssize c = 0; c < n_classes; ++c) total.set(c, 0.0);
    for (ssize i = 0; order_ok && i < n; ++i) {
      const int64_t c = kernels::load_i64(cv.data + i * cv.strides[0]);
      if (c < 0 || c >= n_classes) {
        cls_ok = false;
        bad_cls = c;
        break;
      }
      own_cls[i] = c;
      total.set(c, total.get(c) + 1.0);
    }
    if (order_ok && cls_ok) {
      const char* col = xv.data + j * xv.strides[1];
      const ssize col_s = xv.strides[0];
      const ssize* cl = own_cls.get();
      kernels::gather(own_order.get(), n, vals.get(), [&](ssize r) { return kernels::load(col + r * col_s); });
      kernels::gather(own_order.get(), n, sorted_cls.get(), [&](ssize r) { return cl[r]; });
      kernels::Gini gini{sorted_cls.get(), total, left, n_classes, static_cast<double>(n)};
      kernels::sweep(vals.get(), n, gini, static_cast<double>(min_samples_leaf), j, best);
    }
  }
  if (!order_ok) throw py::index_error(fmt("argsort index %lld out of range for %zd rows", (long long)bad_order, n));
  if (!cls_ok) throw py::value_error(fmt("class index %lld outside 0..%zd", (long long)bad_cls, n_classes - 1));
  return result(best);
}

// The node's sums of y and of its square over rows 0 .. n-1, in row order,
// and the variance the split search compares with its threshold.
py::tuple regressor_totals(py::handle yo, ssize n) {
  Export y(yo, "y", 1, Elem::F64);
  if (n < 0 || y.shape(0) < n) throw py::value_error(fmt("y has %zd entries, fewer than the %zd rows", y.shape(0), n));
  const auto yv = y.view<1>();
  double sum_y = 0.0, sum_y2 = 0.0;
  for (ssize i = 0; i < n; ++i) {
    const double v = kernels::load(yv.data + i * yv.strides[0]);
    sum_y += v;
    sum_y2 += v * v;
  }
  return py::make_tuple(sum_y, sum_y2, kernels::Variance::variance(sum_y, sum_y2, static_cast<double>(n)));
}

// Best split of feature j by variance: (thr, score) or None.
py::object sweep_regressor(py::handle Xo, ssize j, py::handle ordero, py::handle yo, double sum_y, double sum_y2,
                           int min_samples_leaf) {
  Export X(Xo, "X", 2, Elem::F64), order(ordero, "order", 1, Elem::I64), y(yo, "y", 1, Elem::F64);
  check_order(X, j, order);
  const ssize n = X.shape(0);
  if (y.shape(0) < n) throw py::value_error(fmt("y has %zd entries, fewer than the %zd rows of X", y.shape(0), n));
  auto own_order = scratch<int64_t>(n);
  auto vals = scratch<double>(n), ys = scratch<double>(n);
  const auto xv = X.view<2>();
  const auto yv = y.view<1>();
  int64_t bad_order = 0;
  bool order_ok;
  kernels::Best best;
  {
    py::gil_scoped_release unlocked;
    order_ok = copy_order(order, n, own_order.get(), bad_order);
    if (order_ok) {
      const char* col = xv.data + j * xv.strides[1];
      const ssize col_s = xv.strides[0], y_s = yv.strides[0];
      kernels::gather(own_order.get(), n, vals.get(), [&](ssize r) { return kernels::load(col + r * col_s); });
      kernels::gather(own_order.get(), n, ys.get(), [&](ssize r) { return kernels::load(yv.data + r * y_s); });
      kernels::Variance variance{ys.get(), sum_y, sum_y2, static_cast<double>(n)};
      kernels::sweep(vals.get(), n, variance, static_cast<double>(min_samples_leaf), j, best);
    }
  }
  if (!order_ok) throw py::index_error(fmt("argsort index %lld out of range for %zd rows", (long long)bad_order, n));
  return result(best);
}

// ---------------------------------------------------------------------------
// KD-tree: a tree built once and never changed, owned by a capsule; every
// query holds a reference to its capsule, so a tree is freed only when no
// query runs on it.

constexpr const char* kTreeName = "kelpwise.accel._parallel.tree";
constexpr int64_t kLimit = int64_t{1} << 31;  // sizes stay signed 32-bit

using Array = py::array_t<double, py::array::forcecast>;

// obj as a float64 array, converted as pybind11's forcecast arrays are;
// a failed conversion is a TypeError (MemoryError stays MemoryError).
Array as_float64(py::handle obj, const char* what) {
  auto& api = py::detail::npy_api::get();
  PyObject* r = api.PyArray_FromAny_(
      obj.ptr(), py::dtype::of<double>().release().ptr(), 0, 0,
      static_cast<int>(py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_) | static_cast<int>(py::array::forcecast), nullptr);
  if (r) return py::reinterpret_steal<Array>(r);
  py::error_already_set e;
  if (e.matches(PyExc_MemoryError)) throw e;
  py::raise_from(e, PyExc_TypeError, (std::string(what) + " cannot be converted to a float64 array").c_str());
  throw py::error_already_set();
}

const kdtree::Tree& tree_of(py::handle capsule) {
  if (!PyCapsule_IsValid(capsule.ptr(), kTreeName)) throw py::type_error("expected a tree made by tree_build");
  return *static_cast<const kdtree::Tree*>(PyCapsule_GetPointer(capsule.ptr(), kTreeName));
}

void free_tree(PyObject* capsule) {
  delete static_cast<kdtree::Tree*>(PyCapsule_GetPointer(capsule, kTreeName));
}

py::object tree_build(py::handle Xo) {
  Array X = as_float64(Xo, "KDTree data");
  if (X.ndim() != 2)
    throw py::value_error("KDTree data must be a 2-D array, got " + std::to_string(X.ndim()) + " dimensions");
  Export pinned(X, "KDTree data", 2, Elem::F64);
  const int64_t n = pinned.shape(0), d = pinned.shape(1);
  if (n >= kLimit || d >= kLimit || n * d >= kLimit)
    throw py::value_error("KDTree data too large: rows and rows * columns must stay below 2**31");
  if (d == 0 && n >= 2) throw py::value_error("KDTree data with two or more rows needs at least one column");
  auto tree = std::make_unique<kdtree::Tree>();
  tree->n = n;
  tree->d = d;
  {
    py::gil_scoped_release unlocked;
    kdtree::Builder(*tree, pinned.view<2>()).run();
  }
  PyObject* capsule = PyCapsule_New(tree.get(), kTreeName, free_tree);
  if (!capsule) throw py::error_already_set();
  tree.release();
  return py::reinterpret_steal<py::object>(capsule);
}

// The data rows of the tree, in their original order.
py::array_t<double> tree_data(py::handle capsule) {
  const kdtree::Tree& t = tree_of(capsule);
  auto out = fresh<double>({t.n, t.d});
  kdtree::data_rows(t, out.mutable_data());
  return out;
}

std::pair<py::array_t<int32_t>, py::array_t<double>> tree_query(py::handle capsule, py::handle Qo, int k, int workers) {
  check_workers(workers);
  const py::object keep = py::reinterpret_borrow<py::object>(capsule);  // the tree lives through the call
  const kdtree::Tree& t = tree_of(keep);
  Array Q = as_float64(Qo, "query points");
  if (Q.ndim() != 2)
    throw py::value_error("query points must be a 2-D array, got " + std::to_string(Q.ndim()) + " dimensions");
  Export pinned(Q, "query points", 2, Elem::F64);
  const int64_t nq = pinned.shape(0);
  if (pinned.shape(1) != t.d)
    throw py::value_error("query points have " + std::to_string(pinned.shape(1)) + " columns, the tree has " +
                          std::to_string(t.d));
  if (nq >= kLimit || nq * t.d >= kLimit)
    throw py::value_error("too many query points: rows and rows * columns must stay below 2**31");
  const int64_t kk = std::min<int64_t>(k, t.n);
  if (kk > 0 && nq * kk >= kLimit) throw py::value_error("result too large: query rows * k must stay below 2**31");
  // A negative k reaches NumPy here, which refuses the dimension.
  py::array_t<int32_t> idx({static_cast<py::ssize_t>(nq), static_cast<py::ssize_t>(kk)});
  py::array_t<double> dst({static_cast<py::ssize_t>(nq), static_cast<py::ssize_t>(kk)});
  if (kk > 0 && nq > 0) {
    int32_t* ip = idx.mutable_data();
    double* dp = dst.mutable_data();
    const auto qv = pinned.view<2>();
    // A thread for every 512 rows at most, so that a few hundred rows are
    // answered inline.  Blocks are handed out in turn, four per thread (the
    // cost of a query row varies with where it lies), but no smaller than
    // 256 rows and no larger than the kernel's chunk: the kernel answers
    // the rows of a chunk in the order of the tree's cells, so that large
    // blocks find the tree's rows in cache.
    const int threads = thread_count(workers, nq / 512);
    const Blocks blocks(nq, std::clamp<ssize>(split(nq, threads, 4, 256).per, 256, kdtree::kQueryChunk));
    run_unlocked(blocks.n, threads, [&](int, ssize b) {
      const ssize lo = blocks.lo(b);
      kdtree::query(t, rows(qv, lo, blocks.size(b)), kk, ip + lo * kk, dp + lo * kk);
    });
  }
  return {std::move(idx), std::move(dst)};
}

// ---------------------------------------------------------------------------

// The vector path the kernels take on this processor: (name, doubles per
// vector).
py::tuple simd_path() {
  return py::make_tuple(kernels::simd_path_name(), kernels::simd_width());
}

}  // namespace

PYBIND11_MODULE(_parallel, m) {
  m.doc() = "Lock-free entry points of kelpwise.accel.parallel.";
  using py::arg;
  m.def("pairwise_squared_euclidean", &pairwise<kernels::SqEuclidean>, arg("X"), arg("Y"), arg("workers"));
  m.def("pairwise_distances", &pairwise<kernels::Euclidean>, arg("X"), arg("Y"), arg("workers"));
  m.def("pairwise_manhattan_distances", &pairwise<kernels::Manhattan>, arg("X"), arg("Y"), arg("workers"));
  m.def("im2col", &im2col, arg("X"), arg("kh"), arg("kw"), arg("stride"), arg("workers"));
  m.def("col2im", &col2im, arg("cols"), arg("N"), arg("H"), arg("W"), arg("C"), arg("kh"), arg("kw"), arg("stride"),
        arg("pad"), arg("workers"));
  m.def("maxpool_forward", &maxpool_forward, arg("X"), arg("k"), arg("stride"), arg("workers"));
  m.def("maxpool_backward", &maxpool_backward, arg("grad"), arg("argmax"), arg("N"), arg("H"), arg("W"), arg("C"),
        arg("k"), arg("stride"), arg("workers"));
  m.def("sweep_classifier", &sweep_classifier, arg("X"), arg("j"), arg("order"), arg("cls"), arg("n_classes"),
        arg("min_samples_leaf"));
  m.def("regressor_totals", &regressor_totals, arg("y"), arg("n"));
  m.def("sweep_regressor", &sweep_regressor, arg("X"), arg("j"), arg("order"), arg("y"), arg("sum_y"), arg("sum_y2"),
        arg("min_samples_leaf"));
  m.def("tree_build", &tree_build, arg("X"));
  m.def("tree_data", &tree_data, arg("tree"));
  m.def("tree_query", &tree_query, arg("tree"), arg("Q"), arg("k"), arg("workers"));
  m.def("simd_path", &simd_path);
}
