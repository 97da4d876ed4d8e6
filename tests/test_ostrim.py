"""KDTree: worked examples, a plain-Python model of the build and the heap,
brute-force differential tests, argument conversion and lifetime."""

import gc
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kelpwise.accel._ostrim import KDTree


# --------------------------------------------------------------------------
# Plain-Python model: median-split build, libstdc++ binary heap, the search.


def model_build(data, idxs, depth):
    n, d = len(idxs), data.shape[1]
    if n == 0:
        return None
    if n == 1:
        return (idxs[0], 0, 0.0, None, None)
    dim = depth % d
    idxs = sorted(idxs, key=lambda i: data[i, dim])  # tie-free keys only
    mid = n // 2
    return (idxs[mid], dim, data[idxs[mid], dim],
            model_build(data, idxs[:mid], depth + 1), model_build(data, idxs[mid + 1:], depth + 1))


def heap_push(h, item):
    h.append(item)
    hole = len(h) - 1
    while hole > 0 and h[(hole - 1) // 2][0] < item[0]:
        h[hole] = h[(hole - 1) // 2]
        hole = (hole - 1) // 2
    h[hole] = item


def heap_pop(h):
    value = h.pop()
    if not h:
        return
    n = len(h)
    hole = second = 0
    while second < (n - 1) // 2:
        second = 2 * (second + 1)
        if h[second][0] < h[second - 1][0]:
            second -= 1
        h[hole] = h[second]
        hole = second
    if n % 2 == 0 and second == (n - 2) // 2:
        second = 2 * (second + 1)
        h[hole] = h[second - 1]
        hole = second - 1
    while hole > 0 and h[(hole - 1) // 2][0] < value[0]:
        h[hole] = h[(hole - 1) // 2]
        hole = (hole - 1) // 2
    h[hole] = value


def sq(a, b):
    acc = 0.0
    for x, y in zip(a, b):
        acc += (x - y) * (x - y)
    return acc


def model_knn(node, q, data, k, heap):
    if node is None:
        return
    idx, dim, val, left, right = node
    dist = sq(q, data[idx])
    if len(heap) < k:
        heap_push(heap, (dist, idx))
    elif dist < heap[0][0]:
        heap_pop(heap)
        heap_push(heap, (dist, idx))
    if left is None and right is None:
        return
    diff = q[dim] - val
    near, far = (left, right) if diff <= 0 else (right, left)
    model_knn(near, q, data, k, heap)
    best = heap[0][0] if heap else 1e308
    if diff * diff < best or len(heap) < k:
        model_knn(far, q, data, k, heap)


def model_query(data, Q, k):
    root = model_build(data, list(range(len(data))), 0)
    k = min(k, len(data))
    idx = np.zeros((len(Q), k), np.int32)
    dst = np.zeros((len(Q), k))
    for i, q in enumerate(Q):
        heap = []
        model_knn(root, [float(v) for v in q], data, k, heap)
        for pos in range(len(heap) - 1, -1, -1):
            dst[i, pos], idx[i, pos] = heap[0]
            heap_pop(heap)
    return idx, dst


def brute(data, Q):
    """Strict column-order squared distances, one row per query."""
    acc = np.zeros((len(Q), len(data)))
    for c in range(data.shape[1]):
        diff = Q[:, c, None] - data[None, :, c]
        acc = acc + diff * diff
    return acc


def check_against_brute(data, Q, k, idx, dst):
    full = brute(data, Q)
    k = min(k, len(data))
    assert idx.shape == dst.shape == (len(Q), k)
    assert idx.dtype == np.int32 and dst.dtype == np.float64
    for i in range(len(Q)):
        expected = np.sort(full[i])[:k]
        assert np.array_equal(dst[i].view(np.int64), expected.view(np.int64))
        assert np.array_equal(full[i, idx[i]].view(np.int64), dst[i].view(np.int64))
        assert len(set(idx[i].tolist())) == k


# --------------------------------------------------------------------------


def test_worked_examples():
    tree = KDTree(np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]]))
    idx, dst = tree.query(np.array([[1.0, 0.0]]), 2)
    assert idx.tolist() == [[1, 0]] and dst.tolist() == [[0.0, 1.0]]
    result = KDTree(np.zeros((1, 2))).query(np.array([[3.0, 4.0]]), 1)
    assert type(result) is tuple and len(result) == 2
    assert result[0].tolist() == [[0]] and result[1].tolist() == [[25.0]]
    # two rows: the root stores row 0 (5.0), row 1 is its left leaf
    idx, dst = KDTree(np.array([[5.0], [1.0]])).query(np.array([[5.0], [1.0], [3.0]]), 1)
    # 3.0: the root (row 0) is scored first; row 1, equally far, does not replace it
    assert idx.tolist() == [[0], [1], [0]] and dst.tolist() == [[0.0], [0.0], [4.0]]


def test_tie_free_data_matches_the_model_exactly():
    rng = np.random.default_rng(11)
    for n, d, k in [(1, 1, 1), (2, 3, 2), (17, 2, 4), (64, 3, 7), (100, 5, 10), (33, 1, 40)]:
        data = rng.standard_normal((n, d))
        Q = rng.standard_normal((25, d))
        idx, dst = KDTree(data).query(Q, k)
        m_idx, m_dst = model_query(data, Q, k)
        assert np.array_equal(idx, m_idx)
        assert np.array_equal(dst.view(np.int64), m_dst.view(np.int64))
        check_against_brute(data, Q, k, idx, dst)


def test_heap_tie_order_matches_the_model_on_a_single_axis():
    # distinct keys on the only axis, many equal distances to the queries
    data = np.arange(40.0)[:, None]
    Q = np.array([[19.5], [10.0], [0.0], [39.0], [20.0]])
    for k in (1, 2, 5, 8, 40):
        idx, dst = KDTree(data).query(Q, k)
        m_idx, m_dst = model_query(data, Q, k)
        assert np.array_equal(idx, m_idx) and np.array_equal(dst, m_dst)


@settings(max_examples=80, deadline=None)
@given(
    n=st.integers(0, 40), d=st.integers(1, 4), nq=st.integers(0, 6), k=st.integers(1, 45),
    grid=st.booleans(), data=st.data(),
)
def test_differential_against_brute_force(n, d, nq, k, grid, data):
    elements = st.integers(-2, 2).map(float) if grid else st.floats(-1e3, 1e3, width=64)
    X = data.draw(hnp.arrays(np.float64, (n, d), elements=elements))
    Q = data.draw(hnp.arrays(np.float64, (nq, d), elements=elements))
    idx, dst = KDTree(X).query(Q, k)
    check_against_brute(X, Q, k, idx, dst)


def test_integer_grid_with_many_ties():
    g = np.array([[x, y, z] for x in range(5) for y in range(5) for z in range(4)], dtype=float)
    Q = np.array([[2.0, 2.0, 1.5], [0.0, 0.0, 0.0], [4.5, 4.5, 3.5], [1.0, 3.0, 2.0]])
    for k in (1, 6, 27, 100, 500):
        idx, dst = KDTree(g).query(Q, k)
        check_against_brute(g, Q, k, idx, dst)


def test_non_finite_values_are_neither_checked_nor_fatal():
    data = np.array([[0.0, 1.0], [np.nan, 2.0], [np.inf, 0.0], [3.0, 3.0]])
    idx, dst = KDTree(data).query(np.array([[0.0, 0.0], [np.nan, 0.0]]), 4)
    assert idx.shape == (2, 4) and sorted(idx[0].tolist()) == [0, 1, 2, 3]
    assert dst[0, 0] == 1.0


def test_empty_tree_and_empty_queries():
    tree = KDTree(np.zeros((0, 3)))
    for k in (0, 1, 5):
        idx, dst = tree.query(np.ones((4, 3)), k)
        assert idx.shape == dst.shape == (4, 0)
    idx, dst = KDTree(np.ones((6, 3))).query(np.zeros((0, 3)), 4)
    assert idx.shape == dst.shape == (0, 4) and idx.dtype == np.int32


def test_k_zero_and_k_beyond_n():
    data = np.random.default_rng(1).standard_normal((5, 2))
    tree = KDTree(data)
    idx, dst = tree.query(data, 0)
    assert idx.shape == dst.shape == (5, 0)
    idx, dst = tree.query(data, 50)
    assert idx.shape == (5, 5)
    check_against_brute(data, data, 50, idx, dst)
    assert (dst[:, 0] == 0.0).all() and (idx[:, 0] == np.arange(5)).all()


def test_negative_k_is_numpys_value_error():
    with pytest.raises(ValueError, match="negative dimensions"):
        KDTree(np.ones((3, 2))).query(np.ones((1, 2)), -1)


def test_zero_columns_give_zero_distances():
    idx, dst = KDTree(np.zeros((5, 0))).query(np.zeros((2, 0)), 3)
    assert dst.tolist() == [[0.0] * 3] * 2
    assert all(len(set(r)) == 3 for r in idx.tolist())


@pytest.mark.parametrize(
    "X, message",
    [
        (np.zeros(3), "X must be a 2-D array, got 1 dimension(s)"),
        (np.zeros((2, 2, 2)), "X must be a 2-D array, got 3 dimension(s)"),
        ([], "X must be a 2-D array, got 1 dimension(s)"),
    ],
)
def test_bad_data_shapes_are_refused(X, message):
    with pytest.raises(ValueError) as info:
        KDTree(X)
    assert str(info.value) == message


@pytest.mark.parametrize("Q", [np.zeros(2), np.zeros((1, 3)), np.zeros((1, 1)), np.zeros((1, 2, 1))])
def test_bad_query_shapes_are_refused(Q):
    with pytest.raises(ValueError, match="^Q must be a 2-D array with 2 columns$"):
        KDTree(np.zeros((3, 2))).query(Q, 1)


def test_layouts_and_conversions():
    rng = np.random.default_rng(3)
    data = rng.standard_normal((30, 3))
    Q = rng.standard_normal((7, 3))
    expected = KDTree(data).query(Q, 4)
    variants = [np.asfortranarray(data), data[::-1][::-1], data.tolist(),
                tuple(map(tuple, data))]
    for X in variants:
        got = KDTree(X).query(np.asfortranarray(Q), 4)
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])
    ints = KDTree([[0, 0], [1, 1]]).query(np.array([[1, 1]], dtype=np.int64), 2)
    assert ints[0].tolist() == [[1, 0]] and ints[1].tolist() == [[0.0, 2.0]]


def test_tree_owns_its_rows():
    data = np.random.default_rng(4).standard_normal((50, 2))
    keep = data.copy()
    tree = KDTree(data)
    expected = KDTree(keep).query(keep, 3)
    data[:] = 1e9  # the caller changes its array afterwards
    del data
    gc.collect()
    got = tree.query(keep, 3)
    assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])
    tree = KDTree(keep.tolist())  # built from a temporary
    gc.collect()
    got = tree.query(keep, 3)
    assert np.array_equal(got[1], expected[1])


def test_argument_conversion_errors_are_pybind11s():
    tree = KDTree(np.zeros((3, 2)))
    Q = np.zeros((1, 2))
    for call in (lambda: tree.query(Q, 2.0), lambda: tree.query(Q, k=2), lambda: tree.query(Q, 2**31),
                 lambda: tree.query(Q), lambda: tree.query(Q, "2"), lambda: KDTree(X=Q),
                 lambda: KDTree(object())):
        with pytest.raises(TypeError, match="incompatible (function|constructor) arguments"):
            call()
    assert tree.query(Q, True)[0].shape == (1, 1)
    assert tree.query(Q, np.int64(2))[0].shape == (1, 2)


def test_module_interface():
    import kelpwise.accel._ostrim as mod

    assert [n for n in vars(mod) if not n.startswith("__")] == ["KDTree"]
    assert mod.__doc__ is None
    assert "arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]" in KDTree.__init__.__doc__
    assert "arg1: typing.SupportsInt" in KDTree.query.__doc__
    assert ("-> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.float64]]"
            in KDTree.query.__doc__)


def test_import_does_not_import_numpy():
    code = "import sys, kelpwise.accel._ostrim; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
