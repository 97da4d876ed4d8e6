"""KDTree of kelpwise.accel._ostrim: exact results against the Python model of
its build and search on libstdc++'s sort and heap (tests/libstdcxx_model.py),
against brute force, ties, NaN and infinities, conversions, lifetime and the
refusals of malformed input."""

import gc
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from kelpwise.accel._ostrim import KDTree
from kelpwise.accel.reference import knn_problem

from libstdcxx_model import heap_pop, heap_push, model_build, model_query
from support import bits_equal


def assert_same(result, expected):
    idx, dst = result
    assert idx.dtype == np.int32 and dst.dtype == np.float64
    assert idx.shape == expected[0].shape == dst.shape
    assert np.array_equal(idx, expected[0])
    assert bits_equal(dst, expected[1])


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
@pytest.mark.parametrize("kind", ["random", "grid", "kth-tie", "late-ties"])
def test_larger_trees_match_model(d, kind):
    """Trees deep enough for the bucket scans of the query, with distinct
    distances (the direct search), ties anywhere (the heap descent), a tie
    exactly at the k-th distance, and ties only among rows past the first
    512 (the build finds them at a median and sorts in full after all)."""
    rng = np.random.default_rng(d)
    n, nq = 700, 40
    if kind in ("random", "late-ties"):
        X, Q = rng.normal(size=(n, d)), rng.normal(size=(nq, d))
        if kind == "late-ties":
            X[600:] = X[rng.integers(0, 512, size=100)]
            Q[:20] = X[600:620]
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


@settings(max_examples=40, deadline=None)
@given(
    data=st.data(),
    n=st.integers(60, 500),
    d=st.integers(1, 3),
    levels=st.sampled_from([1, 2, 5, 40, 2**40]),
    nan=st.booleans(),
)
def test_tied_builds_match_model(data, n, d, levels, nan):
    """Ranges long enough for the block partition and the selection of the
    build's sort, with few distinct values (every range tied), none, or NaN;
    of both signs, floats exactly (the sort's packed keys) up to 2**40."""
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    X = (rng.integers(0, levels, size=(n, d)) - levels // 2).astype(float)
    if nan:
        X.flat[rng.integers(0, X.size, size=X.size // 10 + 1)] = np.nan
    Q = np.concatenate([X[rng.integers(0, n, size=4)], rng.integers(-1, min(levels, 50) + 1, size=(4, d))])
    Q = np.nan_to_num(Q, nan=0.5)
    for k in (7, n):
        assert_same(KDTree(X).query(Q, k), model_query(model_build(X), Q, k))


@pytest.mark.parametrize("kind", ["repeated rows", "distinct", "mixed"])
def test_batch_answers_each_row_alone(kind):
    """More query rows than one chunk, searched in tree order and switching
    between the two searches as they succeed: every row's answer is the one
    it gets on its own."""
    rng = np.random.default_rng(5)
    X = rng.integers(0, 30, size=(3000, 2)).astype(float)
    if kind != "repeated rows":
        X += rng.random(X.shape) * (1.0 if kind == "distinct" else (rng.random(X.shape) < 0.5))
    Q = X[rng.integers(0, len(X), size=9000)] + rng.normal(scale=0.01, size=(9000, 2))
    tree = KDTree(X)
    idx, dst = tree.query(Q, 6)
    alone = [tree.query(Q[i : i + 1], 6) for i in range(len(Q))]
    assert_same((idx, dst), (np.concatenate([a[0] for a in alone]), np.concatenate([a[1] for a in alone])))
    assert_same((idx[:200], dst[:200]), model_query(model_build(X), Q[:200], 6))


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
    assert knn_problem(X, Q, k, *KDTree(X).query(Q, k)) is None


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
    kept = KDTree(X)  # float64: passed without a copy
    from_list = KDTree(X.tolist())  # converted temporary
    from_int = KDTree((X * 1000).astype(np.int64))
    X_saved = X.copy()
    X[:] = 1e9
    del X
    gc.collect()
    for _ in range(3):
        np.ones((200, 3))  # reuse freed memory
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
