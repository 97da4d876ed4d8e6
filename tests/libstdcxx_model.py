"""A Python model of GCC's libstdc++ std::sort (introsort: median-of-three
quicksort, heapsort past the depth limit, insertion sort for the last 16
elements) and of std::priority_queue (push_heap and pop_heap, which moves the
hole to the right child when both children are equal), as g++ builds of
kelpwise.accel._ostrim run them; libc++ and other standard libraries order
ties differently.  On top of them, the KD-tree of _ostrim: the median-split
build and the depth-first k-nearest search with its max-heap, so that the
tests can compare results exactly, ties included.
"""

import math

import numpy as np

# ---------------------------------------------------------------------------
# std::sort and the heap algorithms.  `less` is the strict comparison; every
# function works on a[first:last] in place.


def _push_heap(a, first, hole, top, value, less):
    parent = (hole - 1) // 2
    while hole > top and less(a[first + parent], value):
        a[first + hole] = a[first + parent]
        hole = parent
        parent = (hole - 1) // 2
    a[first + hole] = value


def _adjust_heap(a, first, hole, length, value, less):
    top = hole
    child = hole
    while child < (length - 1) // 2:
        child = 2 * (child + 1)
        if less(a[first + child], a[first + child - 1]):
            child -= 1
        a[first + hole] = a[first + child]
        hole = child
    if length % 2 == 0 and child == (length - 2) // 2:
        child = 2 * (child + 1)
        a[first + hole] = a[first + child - 1]
        hole = child - 1
    _push_heap(a, first, hole, top, value, less)


def _pop_heap_into(a, first, last, result, less):
    value = a[result]
    a[result] = a[first]
    _adjust_heap(a, first, 0, last - first, value, less)


def _heapsort(a, first, last, less):
    length = last - first
    if length >= 2:
        parent = (length - 2) // 2
        while True:
            _adjust_heap(a, first, parent, length, a[first + parent], less)
            if parent == 0:
                break
            parent -= 1
    while last - first > 1:
        last -= 1
        _pop_heap_into(a, first, last, last, less)


def _linear_insert(a, i, less):
    value = a[i]
    j = i
    while less(value, a[j - 1]):
        a[j] = a[j - 1]
        j -= 1
    a[j] = value


def _insertion_sort(a, first, last, less):
    for i in range(first + 1, last):
        if less(a[i], a[first]):
            a[first + 1:i + 1], a[first] = a[first:i], a[i]
        else:
            _linear_insert(a, i, less)


def _introsort_loop(a, first, last, depth, less):
    while last - first > 16:
        if depth == 0:
            _heapsort(a, first, last, less)
            return
        depth -= 1
        # median of (second, middle, last) moved to the front as the pivot
        x, y, z = first + 1, first + (last - first) // 2, last - 1
        if less(a[x], a[y]):
            m = y if less(a[y], a[z]) else (z if less(a[x], a[z]) else x)
        elif less(a[x], a[z]):
            m = x
        else:
            m = z if less(a[y], a[z]) else y
        a[first], a[m] = a[m], a[first]
        lo, hi = first + 1, last
        while True:
            while less(a[lo], a[first]):
                lo += 1
            hi -= 1
            while less(a[first], a[hi]):
                hi -= 1
            if lo >= hi:
                break
            a[lo], a[hi] = a[hi], a[lo]
            lo += 1
        _introsort_loop(a, lo, last, depth, less)
        last = lo


def std_sort(a, first, last, less):
    n = last - first
    if n < 2:
        return
    _introsort_loop(a, first, last, 2 * (n.bit_length() - 1), less)
    if n > 16:
        _insertion_sort(a, first, first + 16, less)
        for i in range(first + 16, last):
            _linear_insert(a, i, less)
    else:
        _insertion_sort(a, first, last, less)


def _dist_less(u, v):
    return u[0] < v[0]


def heap_push(h, item):
    h.append(item)
    _push_heap(h, 0, len(h) - 1, 0, item, _dist_less)


def heap_pop(h):
    _pop_heap_into(h, 0, len(h) - 1, len(h) - 1, _dist_less)
    h.pop()


# ---------------------------------------------------------------------------
# The KD-tree built with that sort and searched with that heap: node = (idx,
# dim, val, left, right).


def model_build(X):
    n, d = X.shape
    rows = [[float(v) for v in r] for r in X]
    # Data with NaN is sorted with NaN after every number (a strict weak
    # ordering); without NaN the plain < is used, with the same comparisons.
    has_nan = any(math.isnan(v) for r in rows for v in r)

    def key_less(a, b):
        return a < b or (has_nan and math.isnan(b) and not math.isnan(a))

    def build(idxs, lo, cnt, depth):
        if cnt == 0:
            return None
        if cnt == 1:
            return (idxs[lo], 0, 0.0, None, None)
        dim = depth % d
        std_sort(idxs, lo, lo + cnt, lambda a, b: key_less(rows[a][dim], rows[b][dim]))
        mid = cnt // 2
        idx = idxs[lo + mid]
        left = build(idxs, lo, mid, depth + 1)
        right = build(idxs, lo + mid + 1, cnt - mid - 1, depth + 1)
        return (idx, dim, rows[idx][dim], left, right)

    return build(list(range(n)), 0, n, 0), rows


def sq(a, b):
    s = 0.0
    for x, y in zip(a, b, strict=True):
        t = x - y
        s += t * t
    return s


def model_query(tree, Q, k):
    root, rows = tree
    k = min(k, len(rows))
    idx_out = np.zeros((len(Q), k), np.int32)
    dst_out = np.zeros((len(Q), k))

    def knn(node, q, heap):
        if node is None:
            return
        idx, dim, val, left, right = node
        dist = sq(q, rows[idx])
        if len(heap) < k:
            heap_push(heap, (dist, idx))
        elif dist < heap[0][0]:
            heap_pop(heap)
            heap_push(heap, (dist, idx))
        if left is None and right is None:
            return
        diff = q[dim] - val
        near, far = (left, right) if diff <= 0 else (right, left)
        knn(near, q, heap)
        best = heap[0][0] if heap else 1e308
        if diff * diff < best or len(heap) < k:
            knn(far, q, heap)

    for i, q in enumerate(Q):
        heap = []
        knn(root, [float(v) for v in q], heap)
        for pos in range(len(heap) - 1, -1, -1):
            dst_out[i, pos], idx_out[i, pos] = heap[0]
            heap_pop(heap)
    return idx_out, dst_out
