// Max pooling over k x k windows of channels-last image batches, forward and
// backward.
#ifndef KELPWISE_KERNELS_POOLING_HPP
#define KELPWISE_KERNELS_POOLING_HPP

#include <cstdint>
#include <cstring>

#include "simd.hpp"
#include "strided.hpp"
#include "windows.hpp"

namespace kernels {

// Forward, any strides: out[n, oh, ow, c] = the first maximum of the window
// of channel c (row-major window order, strict IEEE greater-than, so a NaN
// never replaces the running value) and arg[n, oh, ow, c] its window-relative
// index i*k + j.  Precondition: (OH-1)*s + k <= H and (OW-1)*s + k <= W.
inline void maxpool_forward_strided(const StridedView<4>& x, const StridedView<4>& out, const StridedView<4>& arg,
                                    const Windows& g) {
  const ssize k = g.kh;
  plain::for_each_window(g, [&](const Window& w) KW_INLINE_LAMBDA {
    for (ssize c = 0; c < g.C; ++c) {
      double best = load(x.at(w.n, w.top, w.left, c));
      ssize best_idx = 0;
      for (ssize i = 0; i < k; ++i)
        for (ssize j = 0; j < k; ++j) {
          const double v = load(x.at(w.n, w.top + i, w.left + j, c));
          if (v > best) {
            best = v;
            best_idx = i * k + j;
          }
        }
      store(out.at(w.n, w.oh, w.ow, c), best);
      store<int64_t>(arg.at(w.n, w.oh, w.ow, c), best_idx);
    }
  });
}

}  // namespace kernels

#define KW_PATH_FILE "pooling_lanes.inc"
#include "each_path.inc"
#undef KW_PATH_FILE

namespace kernels {

// Forward entry point: x (N, H, W, C), out and arg (N, OH, OW, C).
inline void maxpool_forward(const StridedView<4>& x, const StridedView<4>& out, const StridedView<4>& arg,
                            const Windows& g) {
  if (x.c_contiguous() && out.c_contiguous() && arg.c_contiguous()) {
    dispatch([&](auto path) {
      maxpool_forward_lanes(path, reinterpret_cast<const double*>(x.data), reinterpret_cast<double*>(out.data),
                            reinterpret_cast<int64_t*>(arg.data), x.shape[1], x.shape[2], g);
    });
    return;
  }
  maxpool_forward_strided(x, out, arg, g);
}

// Decodes a window-relative index into its row idx / k and column idx % k
// within the window, from a table for the usual window sizes (the same
// values as one division and remainder per element, without their
// latency).  Valid for 0 <= idx < k*k.  The table lives in the object.
class Decoder {
 public:
  static constexpr ssize kTable = 64;  // windows of up to 8 x 8
  explicit Decoder(ssize k) : k_(k), table_(k * k <= kTable) {
    if (!table_) return;
    for (ssize idx = 0; idx < k * k; ++idx) {
      row_[idx] = idx / k;
      col_[idx] = idx % k;
    }
  }
  ssize row(ssize idx) const { return table_ ? row_[idx] : idx / k_; }
  ssize col(ssize idx) const { return table_ ? col_[idx] : idx % k_; }

 private:
  ssize k_;
  bool table_;
  ssize row_[kTable] = {}, col_[kTable] = {};
};

// The indices of arg (N, OH, OW, C), any strides, copied in C order into
// out, N*OH*OW*C values.  The backward pass checks and decodes such a copy,
// owned by the call: the indices steer its writes, and the caller's array
// may be changed under it (by another thread, or by an array that aliases
// the result).
inline void copy_indices(const StridedView<4>& arg, int64_t* out) {
  const ssize N = arg.shape[0], OH = arg.shape[1], OW = arg.shape[2], C = arg.shape[3];
  if (N <= 0 || OH <= 0 || OW <= 0 || C <= 0) return;
  if (arg.c_contiguous()) {
    std::memcpy(out, arg.data, (size_t)(N * OH * OW * C) * 8);
    return;
  }
  for (ssize n = 0; n < N; ++n)
    for (ssize oh = 0; oh < OH; ++oh)
      for (ssize ow = 0; ow < OW; ++ow)
        for (ssize c = 0; c < C; ++c) *out++ = load_i64(arg.at(n, oh, ow, c));
}

// The C-ordered view of count = N*OH*OW*C 8-byte values at p.
inline StridedView<4> c_order_view(void* p, ssize N, ssize OH, ssize OW, ssize C) {
  StridedView<4> v;
  v.data = static_cast<char*>(p);
  const ssize e[4] = {N, OH, OW, C};
  ssize stride = 8;
  for (int k = 3; k >= 0; --k) {
    v.shape[k] = e[k];
    v.strides[k] = stride;
    stride *= e[k];
  }
  return v;
}

// First position (n, oh, ow, c) of arg whose index lies outside 0..k*k-1 or
// routes outside the H x W image; false when every index is usable.
inline bool find_bad_index(const StridedView<4>& arg, const Windows& g, ssize H, ssize W, const Decoder& dec,
                           ssize where[4]) {
  const ssize k = g.kh;
  if (g.C <= 0) return false;
  for (ssize n = 0; n < g.N; ++n)
    for (ssize oh = 0; oh < g.OH; ++oh)
      for (ssize ow = 0; ow < g.OW; ++ow) {
        ssize top = 0, left = 0;  // the window's corner; past int64, surely outside
        const bool far = __builtin_mul_overflow(oh, g.stride, &top) || __builtin_mul_overflow(ow, g.stride, &left);
        for (ssize c = 0; c < g.C; ++c) {
          const ssize idx = load_i64(arg.at(n, oh, ow, c));
          if (idx < 0 || idx >= k * k || far || top + dec.row(idx) >= H || left + dec.col(idx) >= W) {
            where[0] = n, where[1] = oh, where[2] = ow, where[3] = c;
            return true;
          }
        }
      }
  return false;
}

// Backward: dx[n, oh*s + idx/k, ow*s + idx%k, c] += grad[n, oh, ow, c] with
// idx = arg[n, oh, ow, c], in loop order (n, oh, ow, c).  dx starts zeroed;
// every idx has been checked by find_bad_index.
inline void maxpool_backward(const StridedView<4>& grad, const StridedView<4>& arg, const StridedView<4>& dx,
                             const Windows& g, const Decoder& dec) {
  if (grad.c_contiguous() && arg.c_contiguous() && dx.c_contiguous()) {
    // The same additions in the same order, offsets kept incrementally.
    const double* gp = reinterpret_cast<const double*>(grad.data);
    const int64_t* ap = reinterpret_cast<const int64_t*>(arg.data);
    double* dp = reinterpret_cast<double*>(dx.data);
    const ssize H = dx.shape[1], W = dx.shape[2], C = g.C;
    plain::for_each_window(g, [&](const Window& w) KW_INLINE_LAMBDA {
      const ssize o = w.row * C;
      double* base = dp + ((w.n * H + w.top) * W + w.left) * C;
      for (ssize c = 0; c < C; ++c) {
        const ssize idx = ap[o + c];
        base[(dec.row(idx) * W + dec.col(idx)) * C + c] += gp[o + c];
      }
    });
    return;
  }
  plain::for_each_window(g, [&](const Window& w) KW_INLINE_LAMBDA {
    for (ssize c = 0; c < g.C; ++c) {
      const ssize idx = load_i64(arg.at(w.n, w.oh, w.ow, c));
      char* d = dx.at(w.n, w.top + dec.row(idx), w.left + dec.col(idx), c);
      store(d, load(d) + load(grad.at(w.n, w.oh, w.ow, c)));
    }
  });
}

}  // namespace kernels

#endif  // KELPWISE_KERNELS_POOLING_HPP
