"""KDTree of kelpwise.accel._ostrim: exact results against a Python model of
the build (libstdc++ introsort) and of the search (libstdc++ binary heap),
against brute force, ties, NaN and infinities, conversions, lifetime and the
refusals of malformed input."""

import gc
import math
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kelpwise.accel._ostrim import KDTree

# ---------------------------------------------------------------------------
# Model of std::sort and std::priority_queue as libstdc++ runs them. `less`
# is the strict comparison; every function works on a[first:last] in place.


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
# Model of the tree: node = (idx, dim, val, left, right).


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
    for x, y in zip(a, b):
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


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def assert_same(result, expected):
    idx, dst = result
    assert idx.dtype == np.int32 and dst.dtype == np.float64
    assert idx.shape == expected[0].shape == dst.shape
    assert np.array_equal(idx, expected[0])
    assert np.array_equal(bits(dst), bits(expected[1]))


def brute_sq(X, Q):
    """Strict column-order sum of squared differences, one pair per cell."""
    acc = np.zeros((Q.shape[0], X.shape[0]))
    for c in range(X.shape[1]):
        t = Q[:, c, None] - X[None, :, c]
        acc = acc + t * t
    return acc


# ---------------------------------------------------------------------------
# The worked examples.


def test_model_heap_pops_right_child_on_tie():
    h = []
    for item in [(1.0, 0), (1.0, 1), (1.0, 2), (0.5, 3)]:
        heap_push(h, item)
    heap_pop(h)
    # hole sinks to the right child on equal distances, then the last item fills it
    assert h == [(1.0, 2), (1.0, 1), (0.5, 3)]


def test_equal_distance_keeps_first_found():
    tree = KDTree(np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]]))
    idx, dst = tree.query(np.array([[1.0, 0.0]]), 2)
    assert idx.tolist() == [[1, 0]] and dst.tolist() == [[0.0, 1.0]]


def test_distances_are_squared():
    idx, dst = KDTree(np.zeros((1, 2))).query(np.array([[3.0, 4.0]]), 1)
    assert idx.tolist() == [[0]] and dst.tolist() == [[25.0]]


@pytest.mark.parametrize(
    "X, q, expected",
    [
        # two rows: the root holds row 0 (val 5.0) and row 1 is its left leaf;
        # at 3.0 both tie and the first pushed (row 0) is drained last
        ([[5.0], [1.0]], [[3.0]], [[1, 0]]),
        ([[5.0], [1.0]], [[5.0]], [[0, 1]]),
        # three rows: the middle value is the root
        ([[9.0], [1.0], [5.0]], [[7.0]], [[2, 0, 1]]),
        # one row
        ([[2.0, 3.0]], [[0.0, 0.0]], [[0]]),
    ],
)
def test_small_trees(X, q, expected):
    X = np.array(X)
    idx, dst = KDTree(X).query(np.array(q), 5)
    assert idx.tolist() == expected
    assert_same((idx, dst), model_query(model_build(X), np.array(q), 5))


def test_query_on_split_value_goes_left_first():
    # five equal rows on column 0: the tree spreads them over both subtrees,
    # every distance ties and the result order is the descent's order
    X = np.array([[1.0, 0.0]] * 5)
    Q = np.array([[1.0, 0.0], [1.0, 7.0]])
    assert_same(KDTree(X).query(Q, 3), model_query(model_build(X), Q, 3))


# ---------------------------------------------------------------------------
# Exact agreement with the model (same tree, same heap operations).


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", ["random", "signed-zero", "grid", "special", "infinite"])
def test_matches_model(seed, kind):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 300))
    d = int(rng.integers(1, 5))
    nq = 25
    if kind in ("random", "signed-zero"):
        X, Q = rng.normal(size=(n, d)), rng.normal(size=(nq, d))
        if kind == "signed-zero":  # the only tie: -0.0 equals 0.0
            X[: min(n, 2), d - 1] = [-0.0, 0.0][: min(n, 2)]
            Q[:3, d - 1] = 0.0
    else:
        X = rng.integers(0, 4, size=(n, d)).astype(float)
        Q = rng.integers(-1, 5, size=(nq, d)).astype(float)
        Q[:5] = X[rng.integers(0, n, size=5)]
    if kind in ("special", "infinite"):
        specials = np.array([np.nan, np.inf, -np.inf, -0.0, 1e300, -1e300])
        in_data = specials[1:] if kind == "infinite" else specials
        X.flat[rng.integers(0, X.size, size=max(1, X.size // 20))] = rng.choice(in_data)
        Q.flat[rng.integers(0, Q.size, size=4)] = rng.choice(specials, size=4)
    for k in (1, 4, n, n + 3):
        assert_same(KDTree(X).query(Q, k), model_query(model_build(X), Q, k))


@pytest.mark.parametrize("d", [2, 3, 5, 8])
@pytest.mark.parametrize("kind", ["random", "grid", "kth-tie"])
def test_larger_trees_match_model(d, kind):
    """Trees deep enough for the bucket scans of the query, with distinct
    distances (the direct search), ties anywhere (the heap descent), and a
    tie exactly at the k-th distance."""
    rng = np.random.default_rng(d)
    n, nq = 700, 40
    if kind == "random":
        X, Q = rng.normal(size=(n, d)), rng.normal(size=(nq, d))
    else:
        X = rng.integers(0, 6, size=(n, d)).astype(float)
        Q = rng.integers(-1, 7, size=(nq, d)).astype(float) + (0.5 if kind == "kth-tie" else 0.0)
    tree, model = KDTree(X), model_build(X)
    for k in (1, 10, 40):
        if kind == "kth-tie":  # rows at the k-th distance and beyond it: a point mirrored across the query
            Xt = np.concatenate([X, 2 * Q[:1] - X[:1]])
            assert_same(KDTree(Xt).query(Q, k), model_query(model_build(Xt), Q, k))
        assert_same(tree.query(Q, k), model_query(model, Q, k))


@pytest.mark.parametrize("d", [1, 2, 3])
def test_heapsort_fallback_matches_model(d):
    # an organ pipe (every value twice) on column 0 exhausts the quicksort depth
    # at the root (the model falls back to heapsort there), with ties
    half = np.arange(300.0)
    X = np.zeros((600, d))
    X[:, 0] = np.concatenate([half, half[::-1]])
    if d > 1:
        X[:, 1:] = np.arange(600)[:, None] * 7919 % 13
    Q = np.array([[3.0] * d, [0.5] * d, [299.0] * d])
    assert_same(KDTree(X).query(Q, 9), model_query(model_build(X), Q, 9))


# ---------------------------------------------------------------------------
# Brute force on arbitrary finite data.


@settings(max_examples=60, deadline=None)
@given(
    data=st.data(),
    n=st.integers(1, 60),
    d=st.integers(1, 6),
    k=st.integers(1, 70),
)
def test_against_brute_force(data, n, d, k):
    elems = st.floats(-1e6, 1e6, allow_nan=False, width=64)
    X = data.draw(hnp.arrays(np.float64, (n, d), elements=elems))
    Q = data.draw(hnp.arrays(np.float64, (data.draw(st.integers(0, 8)), d), elements=elems))
    idx, dst = KDTree(X).query(Q, k)
    kk = min(k, n)
    assert idx.shape == dst.shape == (Q.shape[0], kk)
    full = brute_sq(X, Q)
    for i in range(Q.shape[0]):
        assert len(set(idx[i].tolist())) == kk
        assert np.array_equal(bits(dst[i]), bits(full[i, idx[i]]))
        assert np.array_equal(bits(dst[i]), bits(np.sort(full[i])[:kk]))


# ---------------------------------------------------------------------------
# Empty inputs and counts.


@pytest.mark.parametrize(
    "n, nq, k, shape",
    [(0, 3, 5, (3, 0)), (0, 0, 5, (0, 0)), (4, 0, 2, (0, 2)), (4, 3, 0, (3, 0)), (4, 3, 9, (3, 4))],
)
def test_result_shapes(n, nq, k, shape):
    rng = np.random.default_rng(1)
    idx, dst = KDTree(rng.normal(size=(n, 2))).query(rng.normal(size=(nq, 2)), k)
    assert (idx.shape, idx.dtype, dst.shape, dst.dtype) == (shape, np.int32, shape, np.float64)


def test_k_at_least_n_lists_every_row():
    rng = np.random.default_rng(2)
    X, Q = rng.normal(size=(30, 3)), rng.normal(size=(10, 3))
    idx, dst = KDTree(X).query(Q, 31)
    assert all(sorted(r) == list(range(30)) for r in idx.tolist())
    assert np.all(np.diff(dst, axis=1) >= 0)


def test_zero_columns_single_row():
    idx, dst = KDTree(np.zeros((1, 0))).query(np.zeros((2, 0)), 3)
    assert idx.tolist() == [[0], [0]] and dst.tolist() == [[0.0], [0.0]]


# ---------------------------------------------------------------------------
# Conversions and pybind11's argument errors.


def test_conversions():
    tree = KDTree([[0, 0], [1, 1], [3, 3]])
    idx, dst = tree.query([[1, 1]], True)
    assert isinstance(idx, np.ndarray) and idx.tolist() == [[1]] and dst.tolist() == [[0.0]]
    result = tree.query(np.array([[3, 3]], dtype=np.int64), np.int64(2))
    assert type(result) is tuple and len(result) == 2
    assert result[0].tolist() == [[2, 1]] and result[1].tolist() == [[0.0, 8.0]]
    assert tree.query(((0.0, 0.0),), 1)[0].tolist() == [[0]]


@pytest.mark.parametrize(
    "call, head",
    [
        (lambda t, Q: t.query(Q, 2.0), "query(): incompatible function arguments."),
        (lambda t, Q: t.query(Q, 2**31), "query(): incompatible function arguments."),
        (lambda t, Q: t.query(Q, -(2**31) - 1), "query(): incompatible function arguments."),
        (lambda t, Q: t.query(Q, k=3), "query(): incompatible function arguments."),
        (lambda t, Q: t.query(Q), "query(): incompatible function arguments."),
        (lambda t, Q: t.query("abc", 1), "query(): incompatible function arguments."),
        (lambda t, Q: KDTree(X=Q), "__init__(): incompatible constructor arguments."),
        (lambda t, Q: KDTree([[1, 2], [3]]), "__init__(): incompatible constructor arguments."),
    ],
)
def test_argument_mismatch(call, head):
    tree = KDTree(np.zeros((3, 2)))
    with pytest.raises(TypeError) as info:
        call(tree, np.zeros((1, 2)))
    text = str(info.value)
    assert text.startswith(head + " The following argument types are supported:")
    assert "arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]" in text
    assert "Invoked with: " in text


def test_negative_k_is_numpys_error():
    with pytest.raises(ValueError, match="^negative dimensions are not allowed$"):
        KDTree(np.zeros((3, 2))).query(np.zeros((1, 2)), -1)


def test_import_does_not_load_numpy():
    code = (
        "import sys; import kelpwise.accel._ostrim as m; "
        "assert 'numpy' not in sys.modules, 'numpy imported'; "
        "assert m.__doc__ is None and [a for a in dir(m) if not a.startswith('__')] == ['KDTree']"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# ---------------------------------------------------------------------------
# The tree owns its rows.


def test_tree_outlives_and_ignores_caller_arrays():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(200, 3))
    Q = rng.normal(size=(20, 3))
    expected = model_query(model_build(X), Q, 5)
    kept = KDTree(X)                       # float64: passed without a copy
    from_list = KDTree(X.tolist())         # converted temporary
    from_int = KDTree((X * 1000).astype(np.int64))
    X_saved = X.copy()
    X[:] = 1e9
    del X
    gc.collect()
    for _ in range(3):
        np.ones((200, 3))                  # reuse freed memory
    assert_same(kept.query(Q, 5), expected)
    assert_same(from_list.query(Q, 5), expected)
    expected_int = model_query(model_build((X_saved * 1000).astype(np.int64).astype(float)), Q, 5)
    assert_same(from_int.query(Q, 5), expected_int)


# ---------------------------------------------------------------------------
# Layouts and refusals.


@pytest.mark.parametrize(
    "view",
    [
        lambda A: np.asfortranarray(A),
        lambda A: A[::-1][::-1],
        lambda A: np.repeat(A, 2, axis=0)[::2],
        lambda A: np.repeat(A, 3, axis=1)[:, ::3],
        lambda A: A[::-1, ::-1][::-1, ::-1],
        # a float64 array whose buffer is not 8-byte aligned
        lambda A: np.frombuffer(b"\0" + A.tobytes(), dtype=np.float64, offset=1).reshape(A.shape),
    ],
)
def test_strided_inputs(view):
    rng = np.random.default_rng(4)
    X = rng.integers(0, 5, size=(80, 3)).astype(float)
    Q = rng.integers(0, 5, size=(12, 3)).astype(float)
    expected = KDTree(X).query(Q, 6)
    assert_same(KDTree(view(X)).query(view(Q), 6), expected)


def test_broadcast_query():
    X = np.arange(12.0).reshape(6, 2)
    Q = np.broadcast_to(np.array([2.0, 2.5]), (4, 2))
    idx, dst = KDTree(X).query(Q, 2)
    assert idx.tolist() == [[1, 0]] * 4 and dst.tolist() == [[0.25, 6.25]] * 4


@pytest.mark.parametrize(
    "X, message",
    [
        (np.zeros(3), "KDTree data must be a 2-D array, got 1 dimensions"),
        (np.zeros((2, 2, 2)), "KDTree data must be a 2-D array, got 3 dimensions"),
        (5.0, "KDTree data must be a 2-D array, got 0 dimensions"),
        (np.zeros((2, 0)), "KDTree data with two or more rows needs at least one column"),
        (np.broadcast_to(0.0, (2**31, 1)), "KDTree data too large"),
        (np.broadcast_to(0.0, (2**16, 2**15)), "KDTree data too large"),
        (np.zeros((0, 2**31)), "KDTree data too large"),
    ],
)
def test_bad_data_refused(X, message):
    with pytest.raises(ValueError, match="^" + message):
        KDTree(X)


@pytest.mark.parametrize(
    "Q, k, message",
    [
        (np.zeros(2), 1, "query points must be a 2-D array, got 1 dimensions"),
        (np.zeros((1, 1, 2)), 1, "query points must be a 2-D array, got 3 dimensions"),
        (np.zeros((1, 3)), 1, "query points have 3 columns, the tree has 2"),
        (np.zeros((0, 1)), 1, "query points have 1 columns, the tree has 2"),
        (np.broadcast_to(0.0, (2**31, 2)), 1, "too many query points"),
        (np.broadcast_to(0.0, (2**30 - 1, 2)), 3, "result too large"),
    ],
)
def test_bad_query_refused(Q, k, message):
    tree = KDTree(np.arange(6.0).reshape(3, 2))
    with pytest.raises(ValueError, match="^" + message):
        tree.query(Q, k)
