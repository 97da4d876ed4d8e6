"""The references of kelpwise.accel.reference are what make "exact" mean
something: each is checked here against a direct loop of its kernel's
algorithm, or against worked examples, and each comparison against the
faults it must catch."""

import numpy as np
import pytest
from kelpwise.accel import reference

from support import bits_equal, bump_last


@pytest.mark.parametrize("kh, kw, s, p", [(3, 3, 1, 1), (3, 2, 2, 1), (2, 2, 2, 0), (5, 5, 1, 2), (2, 3, 1, -1)])
def test_patch_references_follow_the_loops(kh, kw, s, p):
    """im2col copies each window out as a row; col2im adds the rows back in
    row order (n, oh, ow) onto zeros.  A negative pad adds no border and
    works on the top-left part."""
    rng = np.random.default_rng(kh * 10 + kw + s)
    X = rng.standard_normal((2, 7, 6, 3))
    Xp = np.pad(X, ((0, 0), (p, p), (p, p), (0, 0))) if p > 0 else X[:, : 7 + 2 * p, : 6 + 2 * p]
    cols, OH, OW = reference.im2col(X, kh, kw, s, p)
    assert (OH, OW) == ((Xp.shape[1] - kh) // s + 1, (Xp.shape[2] - kw) // s + 1) and len(cols) == 2 * OH * OW
    g = rng.standard_normal(cols.shape) * 10.0 ** rng.integers(-8, 8, cols.shape)
    d = np.zeros(Xp.shape)
    for row, (n, oh, ow) in enumerate(np.ndindex(2, OH, OW)):
        assert bits_equal(cols[row], Xp[n, oh * s : oh * s + kh, ow * s : ow * s + kw].reshape(-1))
        d[n, oh * s : oh * s + kh, ow * s : ow * s + kw] += g[row].reshape(kh, kw, 3)
    want = d[:, p:-p, p:-p, :] if p > 0 else d
    assert bits_equal(reference.col2im(g, X.shape, kh, kw, s, p), want)


@pytest.mark.parametrize("k, s", [(2, 2), (3, 1), (3, 2)])
def test_maxpool_references_follow_the_loops(k, s):
    rng = np.random.default_rng(k + s)
    X = np.round(rng.standard_normal((2, 8, 7, 3)))
    X.flat[rng.choice(X.size, 12, replace=False)] = [np.nan, -np.inf, -0.0, 0.0] * 3
    out, arg = reference.maxpool_forward(X, k, s)
    g = rng.standard_normal(out.shape)
    dX = np.zeros(X.shape)
    for n, oh, ow, c in np.ndindex(out.shape):
        best, bi = X[n, oh * s, ow * s, c], 0
        for t in range(k * k):
            v = X[n, oh * s + t // k, ow * s + t % k, c]
            if v > best:
                best, bi = v, t
        assert bits_equal(out[n, oh, ow, c], best) and arg[n, oh, ow, c] == bi
        dX[n, oh * s + bi // k, ow * s + bi % k, c] += g[n, oh, ow, c]
    assert bits_equal(reference.maxpool_backward(g, arg, X.shape, k, s), dX)


@pytest.mark.parametrize("regression, X, y, msl, want", [
    (False, [[1.0], [2.0], [3.0], [4.0]], [0, 0, 1, 1], 1, (0, 2.5, 0.0)),
    (False, [[1.0], [2.0], [3.0], [4.0]], [0, 0, 1, 1], 3, (None, None, None)),
    (False, [[5.0, 1.0], [6.0, 1.0], [7.0, 2.0], [8.0, 2.0]], [0, 0, 1, 1], 1, (0, 6.5, 0.0)),
    (False, [[1.0], [2.0], [3.0], [np.nan]], [0, 0, 0, 1], 1, (0, np.nan, 0.0)),
    (True, [[1.0], [2.0], [3.0], [4.0], [5.0]], [1.0, 2.0, 3.0, 10.0, 11.0], 2, (0, 3.5, 0.5000000000000002)),
    (True, [[1.0], [2.0], [3.0], [4.0], [5.0]], [1.0, 2.0, 3.0, 10.0, 11.0], 3, (None, None, None)),
    (True, [[1.0], [2.0], [3.0]], [0.1, 0.1, np.nan], 1, (None, None, None)),
])
def test_split_references_on_worked_examples(regression, X, y, msl, want):
    X, y = np.array(X), np.array(y)
    for ref in (reference.best_split, reference.best_split_vectorised):
        assert reference.same_split(ref(X, y, msl, regression), want), ref.__name__


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("regression", [False, True])
def test_vectorised_split_reference_equals_the_plain_one(seed, regression):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 80))
    X = np.round(rng.standard_normal((n, 3)), 1)
    y = np.round(rng.standard_normal(n), 1) * 1e3 if regression else rng.choice([-4, 2, 9, 11], n)
    for msl in (0, 1, 4):
        assert reference.same_split(reference.best_split_vectorised(X, y, msl, regression),
                                     reference.best_split(X, y, msl, regression))


def test_knn_oracle_accepts_tie_orders_and_catches_faults():
    X = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [5.0, 5.0]])
    Q = np.array([[1.0, 0.0]])
    idx, dst = np.array([[1, 0, 2]], np.int32), np.array([[0.0, 1.0, 1.0]])
    assert reference.knn_problem(X, Q, 3, idx, dst) is None
    assert reference.knn_problem(X, Q, 3, idx[:, [0, 2, 1]], dst) is None  # tied rows either way
    assert reference.knn_problem(X, Q, 3, idx[:, [1, 0, 2]], dst) == "indices inconsistent with their distances"
    assert reference.knn_problem(X, Q, 3, idx, bump_last(dst)) == "distances differ from brute force"
    assert reference.knn_problem(X, Q, 3, np.array([[1, 0, 0]], np.int32), dst) == "an index is listed twice"
    assert reference.knn_problem(X, Q, 3, np.array([[1, 0, -2]], np.int32), dst) == "index out of range"
    assert "result dtypes" in reference.knn_problem(X, Q, 3, idx.astype(np.int64), dst)
    assert "result shapes" in reference.knn_problem(X, Q, 9, idx, dst)  # k is clamped to 4 rows


def test_root_check_tells_pow_from_sqrt():
    S = np.random.default_rng(1).random((200, 300)) * 1e3
    pow_root = reference.pow_half(S)
    assert (pow_root != np.sqrt(S)).any()  # the two roots do differ on this matrix
    assert reference.root_problem(pow_root, S) is None
    assert reference.root_problem(np.sqrt(S), S) == "differs from pow(sum, 0.5)"
    late = pow_root.copy()
    i = np.flatnonzero(pow_root == np.sqrt(S))[-1]  # beyond the rows compared in full
    late.flat[i] = np.nextafter(late.flat[i], 0)
    assert reference.root_problem(late, S) == "differs from pow(sum, 0.5)"
