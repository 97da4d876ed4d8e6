"""Split search: worked examples, tie-breaks, special values and a
differential test against the plain-Python reference of both searches."""

import traceback

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from kelpwise.accel import _vellard
from kelpwise.accel.reference import NONE3, best_split
from kelpwise.accel.reference import same_split as same

from support import FakeNumpy

C = _vellard._best_split_classifier
R = _vellard._best_split_regressor


COL4 = np.array([[1.0], [2.0], [3.0], [4.0]])


@pytest.mark.parametrize(
    "func, X, y, msl, expected",
    [
        (C, COL4, [0, 0, 1, 1], 1, (0, 2.5, 0.0)),
        (C, COL4, [0, 0, 1, 1], 3, NONE3),
        (C, COL4, [1, 1, 1, 1], 1, NONE3),
        (C, COL4[:1], [1], 1, NONE3),
        (C, np.zeros((0, 3)), [5, 6], 1, NONE3),
        (C, np.zeros((4, 0)), [0, 0, 1, 1], 1, NONE3),
        (C, np.ones((4, 2)), [0, 1, 0, 1], 1, NONE3),
        (C, np.array([[1.0], [1.0], [2.0], [2.0]]), [0, 1, 0, 0], 2, (0, 1.5, 0.25)),
        (C, np.array([[5.0, 1], [6, 1], [7, 2], [8, 2]]), [0, 0, 1, 1], 1, (0, 6.5, 0.0)),
        (C, np.array([[1.0], [2], [3], [np.nan]]), [0, 0, 0, 1], 1, (0, np.nan, 0.0)),
        (C, COL4, [7, 7, -3, -3], 2.9, (0, 2.5, 0.0)),
        (C, COL4, [0, 1, 0, 1], 3, NONE3),
        (R, COL4, [1.0, 1, 3, 3], 1, (0, 2.5, 0.0)),
        (R, np.arange(1.0, 6)[:, None], [1.0, 2, 3, 10, 11], 1, (0, 3.5, 0.5000000000000002)),
        (R, np.arange(1.0, 6)[:, None], [1.0, 2, 3, 10, 11], 2, (0, 3.5, 0.5000000000000002)),
        (R, np.arange(1.0, 6)[:, None], [1.0, 2, 3, 10, 11], 3, NONE3),
        (R, COL4, [2.0, 2, 2, 2], 1, NONE3),
        (R, COL4[:1], [9.0], 1, NONE3),
        (R, np.zeros((0, 2)), [], 1, NONE3),
        (R, COL4, [1.0, np.nan, 3, 3], 1, NONE3),
        (R, COL4, [1e200, -1e200, 1e200, 3], 1, NONE3),
    ],
)
def test_worked_examples(func, X, y, msl, expected):
    y = np.asarray(y, dtype=np.int64 if func is C else np.float64)
    result = func(X, y, msl)
    assert same(result, expected), result
    if expected != NONE3:
        assert type(result[0]) is int and type(result[1]) is float and type(result[2]) is float


def test_rounding_keeps_a_constant_target_from_counting_as_pure():
    feat, thr, score = R(np.array([[1.0], [2.0], [3.0]]), np.array([3.3, 3.3, 3.3]), 1)
    assert (feat, thr) == (0, 1.5) and 1e-15 < score < 1.5e-15


def test_negative_variance_of_an_equal_side_is_not_clamped():
    X = np.arange(6.0)[:, None]
    y = np.array([0.1, 0.1, 0.1, 5.0, 6.0, 7.0])
    assert same(R(X, y, 3), best_split(X, y, 3, True))


@pytest.mark.parametrize("func", [C, R])
def test_no_split_tuple_is_one_constant(func):
    y = np.zeros(3, np.int64 if func is C else np.float64)
    assert func(np.ones((3, 1)), y, 1) is func(np.ones((2, 2)), y, 5) is func(np.ones((3, 0)), y, 0)


@pytest.mark.parametrize("msl", [-5, 0, 1])
def test_small_min_samples_leaf_accepts_every_boundary(msl):
    X = np.array([[3.0], [1.0], [2.0], [4.0]])
    y = np.array([1, 0, 1, 0])
    assert same(C(X, y, msl), best_split(X, y, msl, False))


def test_ties_between_features_and_positions_keep_the_first():
    X = np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0], [4.0, 4.0]])
    assert C(X, np.array([0, 1, 1, 0]), 1)[:2] == (0, 1.5)
    assert R(X, np.array([0.0, 1.0, 1.0, 0.0]), 1)[:2] == (0, 1.5)


def _layouts(X):
    yield X
    yield np.asfortranarray(X)
    yield X[::-1][::-1]
    big = np.zeros((X.shape[0] * 2, X.shape[1] * 3))
    big[::2, ::3] = X
    yield big[::2, ::3]
    ro = X.copy()
    ro.flags.writeable = False
    yield ro


@pytest.mark.parametrize("func", [C, R])
def test_layouts(func):
    rng = np.random.default_rng(5)
    X = np.round(rng.standard_normal((30, 4)), 1)
    y = rng.integers(0, 3, 30) if func is C else np.round(rng.standard_normal(30), 2)
    expected = best_split(X, y, 2, func is R)
    for Xl in _layouts(X):
        for yl in (y, np.repeat(y, 2)[::2], y[::-1].copy()[::-1]):
            assert same(func(Xl, yl, 2), expected)


@pytest.mark.parametrize("func", [C, R])
def test_y_shorter_than_x_is_refused(func):
    y = np.zeros(2, np.int64 if func is C else np.float64)
    with pytest.raises(ValueError, match=r"^y has 2 entries, fewer than the 3 rows of X$"):
        func(np.ones((3, 1)), y, 1)


def test_y_longer_than_x_uses_the_first_rows_but_all_labels():
    X = COL4
    y = np.array([0, 0, 1, 1, 9, 9, 9])
    assert C(X, y, 1) == (0, 2.5, 0.0)


@settings(deadline=None)
@given(
    n=st.integers(0, 12), m=st.integers(0, 3), msl=st.integers(-1, 5), data=st.data(),
    regression=st.booleans(),
)
def test_differential_against_reference(n, m, msl, data, regression):
    value = st.one_of(st.sampled_from([0.0, 1.0, 2.0, -1.0, np.nan, np.inf, -np.inf]),
                      st.floats(-10, 10, width=64))
    X = data.draw(hnp.arrays(np.float64, (n, m), elements=value))
    if regression:
        y = data.draw(hnp.arrays(np.float64, n, elements=st.floats(-5, 5, width=64)))
        expected, got = best_split(X, y, msl, True), R(X, y, msl)
    else:
        y = data.draw(hnp.arrays(np.int64, n, elements=st.integers(-3, 3)))
        expected, got = best_split(X, y, msl, False), C(X, y, msl)
    assert same(got, expected), (got, expected)


def test_larger_random_nodes_match_reference():
    rng = np.random.default_rng(9)
    for _ in range(5):
        X = np.round(rng.standard_normal((200, 3)), 1)
        y = rng.integers(0, 4, 200)
        assert same(C(X, y, 3), best_split(X, y, 3, False))
        yr = rng.standard_normal(200)
        assert same(R(X, yr, 3), best_split(X, yr, 3, True))


def _bad():
    def f(*a, **k):
        raise RuntimeError("boom")
    return f


@pytest.mark.parametrize(
    "func, fake, exc, line",
    [
        (C, dict(unique=_bad()), RuntimeError, 30),
        (C, dict(unique=lambda y: list(y)), TypeError, 30),
        (C, dict(unique=lambda y: np.unique(y).astype(np.int32)), ValueError, 30),
        (C, dict(unique=lambda y: np.array([0])), KeyError, 38),
        (C, dict(zeros=_bad()), RuntimeError, 36),
        (C, dict(zeros=lambda *a, **k: None), TypeError, 36),
        (C, dict(argsort=_bad()), RuntimeError, 56),
        (C, dict(argsort=lambda col: np.argsort(col).astype(np.int32)), ValueError, 56),
        (C, dict(argsort=lambda col: np.arange(len(col))[:1]), ValueError, 61),
        (C, dict(argsort=lambda col: np.arange(len(col)) + 1), IndexError, 61),
        (R, dict(argsort=_bad()), RuntimeError, 126),
        (R, dict(argsort=lambda col: np.arange(len(col)) - 1), IndexError, 132),
    ],
)
def test_numpy_failures_and_their_lines(monkeypatch, func, fake, exc, line):
    monkeypatch.setattr(_vellard, "np", FakeNumpy(**fake))
    y = np.array([0, 0, 1, 1]) if func is C else np.array([0.0, 0.0, 1.0, 1.0])
    with pytest.raises(exc) as info:
        func(COL4, y, 1)
    # an exception raised by a Python callback keeps its frames after ours
    ours = [(e.name, e.lineno) for e in traceback.extract_tb(info.value.__traceback__)
            if e.filename == "kelpwise/accel/_vellard"]
    assert ours == [(f"kelpwise.accel._vellard.{func.__name__}", line)]


def test_left_counts_are_created_after_the_purity_test(monkeypatch):
    calls = []

    def zeros(*a, **k):
        calls.append(a)
        return np.zeros(*a, **k)

    monkeypatch.setattr(_vellard, "np", FakeNumpy(zeros=zeros))
    C(COL4, np.array([1, 1, 1, 1]), 1)
    assert calls == [(1,)]  # n_classes itself, not a shape tuple
    C(COL4, np.array([0, 1, 1, 1]), 1)
    assert calls == [(1,), (2,), (2,)]


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("func", [C, R])
def test_matrix_columns_come_from_the_view(func):
    """np.matrix's column slice is 2-D; the search reads the view of X, so the
    matrix gives the result of its C-contiguous copy."""
    rng = np.random.default_rng(3)
    X = rng.random((12, 3))
    y = rng.integers(0, 3, 12) if func is C else rng.random(12)
    assert same(func(np.asmatrix(X), y, 1), func(X, y, 1))


def test_class_counts_live_in_the_arrays_np_zeros_returned(monkeypatch):
    made = []

    def zeros(n, dtype):
        made.append(np.zeros(n, dtype))
        return made[-1]

    monkeypatch.setattr(_vellard, "np", FakeNumpy(zeros=zeros))
    X = np.array([[1.0, 4.0], [2.0, 3.0], [3.0, 2.0], [4.0, 1.0], [5.0, 0.0]])
    C(X, np.array([7, 7, -3, 7, -3]), 1)
    total, left = made
    assert total.tolist() == [2.0, 3.0]
    # after the last feature's sweep: all samples but the last in its sorted
    # order (row 0, label 7)
    assert left.tolist() == [2.0, 2.0]
