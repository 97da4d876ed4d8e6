// The build's sort: the permutation of libstdc++'s std::sort (introsort),
// computed with a partition that does not branch on the keys.
//
// The tree depends on the order std::sort leaves equal keys in, so the
// build cannot use any other sort where a range has ties. This one makes
// the same decisions as libstdc++'s: median of three of (first + 1, middle,
// last - 1) moved to the front as the pivot, Hoare's unguarded partition of
// the rest, the right part sorted by recursion and the left part by the
// loop, heapsort once the depth limit 2 * floor(log2 n) is spent, and one
// insertion sort over the whole range at the end, the first 16 elements
// guarded. Only the partition is done differently, with the same swaps:
//
// Hoare's partition swaps the k-th element from the left that is not below
// the pivot with the k-th element from the right that is not above it, for
// as long as the former lies left of the latter. Scanning a block of B
// elements from each end and recording the offsets of those elements (a
// store and an add per element, no branch) finds them in that order, and
// while every recorded left position lies left of every recorded right one
// (the blocks never overlap the unscanned middle), the pairs are swapped
// exactly as Hoare swaps them. Positions not yet swapped keep their values,
// so when the middle is too small for another block, the plain loop resumes
// from the next recorded (or unscanned) position on each side in the state
// Hoare's loop would be in, and ends the partition as it does.
#ifndef KELPWISE_KERNELS_KDTREE_SORT_HPP
#define KELPWISE_KERNELS_KDTREE_SORT_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kernels::kdtree {

namespace introsort {

constexpr ptrdiff_t kThreshold = 16;  // libstdc++'s _S_threshold
constexpr int kBlock = 32;            // elements scanned per block and side

// The scan of a block: the offsets i < kBlock, in increasing order, of the
// elements where Hoare's left scan stops (!less(f[i], pivot)) or, from the
// right, where its right scan stops (!less(pivot, l[-1 - i])), written
// from off[0] (which has room for kBlock + 8); returns their count.  This
// one compares element by element; the build has one per vector path.
struct ScalarScan {
  template <class T, class Less>
  int left(const T* f, const T& pivot, uint8_t* off, Less less) const {
    int n = 0;
    for (int i = 0; i < kBlock; ++i) {
      off[n] = static_cast<uint8_t>(i);
      n += !less(f[i], pivot);
    }
    return n;
  }
  template <class T, class Less>
  int right(const T* l, const T& pivot, uint8_t* off, Less less) const {
    int n = 0;
    for (int i = 0; i < kBlock; ++i) {
      off[n] = static_cast<uint8_t>(i);
      n += !less(pivot, l[-1 - i]);
    }
    return n;
  }
};

template <class T, class Less>
void move_median_to_first(T* result, T* a, T* b, T* c, Less less) {
  if (less(*a, *b)) {
    if (less(*b, *c))
      std::iter_swap(result, b);
    else if (less(*a, *c))
      std::iter_swap(result, c);
    else
      std::iter_swap(result, a);
  } else if (less(*a, *c)) {
    std::iter_swap(result, a);
  } else if (less(*b, *c)) {
    std::iter_swap(result, c);
  } else {
    std::iter_swap(result, b);
  }
}

// Hoare's unguarded partition of [first, last) around *pivot (outside the
// range); returns the cut.
template <class T, class Less, class Scan>
T* partition(T* first, T* last, const T* pivot, Less less, const Scan& scan) {
  if (last - first >= 2 * kBlock) {
    const T pv = *pivot;
    uint8_t offl[kBlock + 8], offr[kBlock + 8];
    int nl = 0, sl = 0, nr = 0, sr = 0;
    T* bl = first;  // left stops at bl + offl[i]
    T* br = last;   // right stops at br - 1 - offr[i]
    T* f = first;   // the unscanned middle is [f, l)
    T* l = last;
    for (;;) {
      if (sl == nl) {
        if (l - f < kBlock) break;
        bl = f;
        sl = 0;
        nl = scan.left(f, pv, offl, less);
        f += kBlock;
      }
      if (sr == nr) {
        if (l - f < kBlock) break;
        br = l;
        sr = 0;
        nr = scan.right(l, pv, offr, less);
        l -= kBlock;
      }
      const int m = std::min(nl - sl, nr - sr);
      for (int i = 0; i < m; ++i) std::iter_swap(bl + offl[sl + i], br - 1 - offr[sr + i]);
      sl += m;
      sr += m;
    }
    first = sl < nl ? bl + offl[sl] : f;
    last = sr < nr ? br - offr[sr] : l;
  }
  for (;;) {
    while (less(*first, *pivot)) ++first;
    --last;
    while (less(*pivot, *last)) --last;
    if (!(first < last)) return first;
    std::iter_swap(first, last);
    ++first;
  }
}

template <class T, class Less, class Scan>
void loop(T* first, T* last, int depth, Less less, const Scan& scan) {
  while (last - first > kThreshold) {
    if (depth == 0) {
      std::make_heap(first, last, less);
      std::sort_heap(first, last, less);
      return;
    }
    --depth;
    move_median_to_first(first, first + 1, first + (last - first) / 2, last - 1, less);
    T* cut = partition(first + 1, last, first, less, scan);
    loop(cut, last, depth, less, scan);
    last = cut;
  }
}

template <class T, class Less>
void unguarded_insert(T* i, Less less) {
  T v = std::move(*i);
  for (T* j = i - 1; less(v, *j); --j, --i) *i = std::move(*j);
  *i = std::move(v);
}

template <class T, class Less>
void insertion_sort(T* first, T* last, Less less) {
  if (first == last) return;
  for (T* i = first + 1; i != last; ++i) {
    if (less(*i, *first)) {
      T v = std::move(*i);
      std::move_backward(first, i, i + 1);
      *first = std::move(v);
    } else {
      unguarded_insert(i, less);
    }
  }
}

}  // namespace introsort

// Sorts [first, last) by less, leaving the elements exactly as
// std::sort(first, last, less) of libstdc++ does (scan: see ScalarScan).
template <class T, class Less, class Scan = introsort::ScalarScan>
void exact_sort(T* first, T* last, Less less, const Scan& scan = {}) {
  const ptrdiff_t n = last - first;
  if (n < 2) return;
  int lg = 0;
  while ((ptrdiff_t{1} << (lg + 1)) <= n) ++lg;
  introsort::loop(first, last, 2 * lg, less, scan);
  if (n > introsort::kThreshold) {
    introsort::insertion_sort(first, first + introsort::kThreshold, less);
    for (T* i = first + introsort::kThreshold; i != last; ++i) introsort::unguarded_insert(i, less);
  } else {
    introsort::insertion_sort(first, last, less);
  }
}

// Moves the element that a full sort would put at nth there, with nothing
// above it before it and nothing below it after it (the order within
// either side is left unspecified; where keys are distinct, the two sides
// are therefore fixed as sets). Quickselect on the partition above, the
// pivot as std::sort takes it; past the depth limit std::nth_element
// finishes the range.
template <class T, class Less, class Scan = introsort::ScalarScan>
void select_nth(T* first, T* nth, T* last, Less less, const Scan& scan = {}) {
  int depth = 0;
  for (ptrdiff_t n = last - first; n > 1; n >>= 1) depth += 2;
  while (last - first > introsort::kThreshold) {
    if (depth-- == 0) return std::nth_element(first, nth, last, less);
    introsort::move_median_to_first(first, first + 1, first + (last - first) / 2, last - 1, less);
    T* cut = introsort::partition(first + 1, last, first, less, scan);
    if (cut <= nth)
      first = cut;
    else
      last = cut;
  }
  introsort::insertion_sort(first, last, less);
}

}  // namespace kernels::kdtree

#endif  // KELPWISE_KERNELS_KDTREE_SORT_HPP
