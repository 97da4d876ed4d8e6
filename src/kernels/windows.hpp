// Windows over channels-last image batches (N, H, W, C), and the patch
// kernels im2col and col2im built on them.
#ifndef KELPWISE_KERNELS_WINDOWS_HPP
#define KELPWISE_KERNELS_WINDOWS_HPP

#include <cstring>

#include "simd.hpp"
#include "strided.hpp"

namespace kernels {

// OH x OW windows of kh x kw per image, the window at (oh, ow) starting at
// row oh*stride and column ow*stride.
struct Windows {
  ssize N, C, OH, OW, kh, kw, stride;
};

// One window position: its row in a patch matrix (or its output position)
// row = (n*OH + oh)*OW + ow, and its first image row and column.
struct Window {
  ssize row, n, oh, ow, top, left;
};

}  // namespace kernels

// The one traversal of every windowed kernel, for_each_window, compiled
// once per vector path and once more, for no particular one, for the plain
// loops (kernels::plain::for_each_window).
#define KW_PATH_FILE "windows_traversal.inc"
#include "each_path.inc"
#undef KW_PATH_FILE
#define KW_NS plain
#include "windows_traversal.inc"
#undef KW_NS

namespace kernels {

// The per-element operations of the patch kernels, between an element of
// the image (img) and the element of the patch matrix that holds it (col).
struct CopyToCols {  // im2col: col = img
  static KW_INLINE void apply(char* img, char* col) { std::memcpy(col, img, 8); }
  static KW_INLINE void run(char* img, char* col, ssize count) { std::memcpy(col, img, (size_t)count * 8); }
};
struct AddToImage {  // col2im: img += col
  static KW_INLINE void apply(char* img, char* col) { store(img, load(img) + load(col)); }
  static KW_INLINE void run(char* img, char* col, ssize count) {
    for (ssize t = 0; t < count; ++t) apply(img + 8 * t, col + 8 * t);
  }
};

// Pairs every element of every window with its element of the patch matrix:
//   cols[(n*OH + oh)*OW + ow, (i*kw + j)*C + c]  <->  img[n, oh*s + i, ow*s + j, c]
// and applies Op to each pair, windows in loop order and, within a window,
// i, j, c in increasing order.
//
// img is the (bordered) image (N, Hp, Wp, C) and cols (N*OH*OW, kh*kw*C).
// Preconditions: (OH-1)*s + kh <= Hp and (OW-1)*s + kw <= Wp.  When the
// channel and column axes of img and the column axis of cols are
// contiguous, each window row is kw*C consecutive values in both and is
// handled as one run.  With Op = AddToImage every image element receives its
// contributions in increasing row order of cols; one window reaches an
// element at most once.
template <class Op>
void patches(const StridedView<4>& img, const StridedView<2>& cols, const Windows& g) {
  const ssize run = g.kw * g.C;
  const bool runs = img.strides[3] == 8 && img.strides[2] == 8 * g.C && cols.strides[1] == 8;
  plain::for_each_window(g, [&](const Window& w) KW_INLINE_LAMBDA {
    for (ssize i = 0; i < g.kh; ++i) {
      if (runs) {
        Op::run(img.at(w.n, w.top + i, w.left, 0), cols.at(w.row, i * run), run);
        continue;
      }
      for (ssize j = 0; j < g.kw; ++j)
        for (ssize c = 0; c < g.C; ++c)
          Op::apply(img.at(w.n, w.top + i, w.left + j, c), cols.at(w.row, (i * g.kw + j) * g.C + c));
    }
  });
}

inline void im2col(const StridedView<4>& x, const StridedView<2>& cols, const Windows& g) {
  patches<CopyToCols>(x, cols, g);
}
inline void col2im(const StridedView<2>& cols, const StridedView<4>& dx, const Windows& g) {
  patches<AddToImage>(dx, cols, g);
}

}  // namespace kernels

#endif  // KELPWISE_KERNELS_WINDOWS_HPP
