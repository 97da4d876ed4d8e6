// An allocator for the large buffers that a call fills at once (the
// KD-tree's build): blocks of 2 MB and more come straight from the system,
// aligned to 2 MB, and Linux is asked to back them with huge pages.  A
// fresh buffer then costs one page fault per 2 MB instead of one per 4 KB
// (a microsecond or two each in a virtual machine: 3679 faults took 4-5 ms
// of a 200k-row build whose memory had gone back to the system).  Where
// the system gives no huge pages, the buffer is ordinary memory; smaller
// blocks come from the heap.
#ifndef KELPWISE_KERNELS_PAGES_HPP
#define KELPWISE_KERNELS_PAGES_HPP

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kernels {

template <class T>
struct LargePages {
  using value_type = T;

  LargePages() = default;
  template <class U>
  LargePages(const LargePages<U>&) {}  // NOLINT: rebinding, as std::allocator

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T) - kHuge) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const size_t bytes = n * sizeof(T);
    if (bytes >= kHuge) {
      // 2 MB more than asked for, so that an aligned start lies inside;
      // the slack on either side goes back at once.
      const size_t len = round_up(bytes, page()), span = len + kHuge;
      void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      const uintptr_t at = reinterpret_cast<uintptr_t>(p), start = round_up(at, kHuge);
      if (start > at) munmap(p, start - at);
      if (at + span > start + len) munmap(reinterpret_cast<void*>(start + len), at + span - (start + len));
      madvise(reinterpret_cast<void*>(start), len, MADV_HUGEPAGE);  // a hint: ignored where unsupported
      return reinterpret_cast<T*>(start);
    }
#endif
    return std::allocator<T>().allocate(n);
  }

  void deallocate(T* p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (n * sizeof(T) >= kHuge) {
      munmap(p, round_up(n * sizeof(T), page()));
      return;
    }
#endif
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const LargePages<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const LargePages<U>&) const {
    return false;
  }

 private:
  static constexpr size_t kHuge = size_t{2} << 20;
  static constexpr size_t round_up(size_t v, size_t to) { return (v + to - 1) / to * to; }
#if defined(__linux__)
  static size_t page() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
  }
#endif
};

// A vector in such memory.
template <class T>
using LargeVector = std::vector<T, LargePages<T>>;

}  // namespace kernels

#endif  // KELPWISE_KERNELS_PAGES_HPP
