// Strided element access shared by every kernel.
//
// The kernels are plain C++ over (base address, extents, byte strides): no
// Python, no NumPy, and nothing that can fail.  An array of N dimensions is a
// StridedView<N>; element (i0, ..., iN-1) lies at data + sum of ik * strides[k]
// bytes.  Strides may be negative or zero, and the data need not be aligned,
// so elements are read and written through memcpy, which compiles to plain
// loads and stores.
#ifndef KELPWISE_KERNELS_STRIDED_HPP
#define KELPWISE_KERNELS_STRIDED_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace kernels {

using ssize = std::ptrdiff_t;  // extents, strides and indices

// The value of type T (double by default) at p, and its store.
template <class T = double>
inline T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void store(char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}
inline int64_t load_i64(const char* p) {
  return load<int64_t>(p);
}

template <int N>
struct StridedView {
  char* data = nullptr;
  ssize shape[N] = {};
  ssize strides[N] = {};

  // The view over data with the given extents and byte strides (of any
  // integer type: Py_buffer's, NumPy's or pybind11's).
  template <class Extent>
  static StridedView over(const void* data, const Extent* shape, const Extent* strides) {
    StridedView v;
    v.data = static_cast<char*>(const_cast<void*>(data));
    for (int k = 0; k < N; ++k) {
      v.shape[k] = static_cast<ssize>(shape[k]);
      v.strides[k] = static_cast<ssize>(strides[k]);
    }
    return v;
  }

  template <class... I>
  char* at(I... idx) const {
    static_assert(sizeof...(I) == N, "one index per dimension");
    const ssize is[N] = {static_cast<ssize>(idx)...};
    char* p = data;
    for (int k = 0; k < N; ++k) p += is[k] * strides[k];
    return p;
  }

  // True when the elements are 8-byte values laid out in C order with no
  // gaps and an aligned base, so that typed pointers may be used.
  bool c_contiguous() const {
    ssize expected = 8;
    for (int k = N - 1; k >= 0; --k) {
      if (shape[k] > 1 && strides[k] != expected) return false;
      expected *= shape[k];
    }
    return reinterpret_cast<uintptr_t>(data) % 8 == 0;
  }
};

// Product of non-negative sizes into out; false, out untouched, when it does
// not fit in 64 bits.
inline bool checked_product(ssize& out, std::initializer_list<ssize> xs) {
  ssize r = 1;
  for (ssize x : xs)
    if (__builtin_mul_overflow(r, x, &r)) return false;
  out = r;
  return true;
}

}  // namespace kernels

#endif  // KELPWISE_KERNELS_STRIDED_HPP
