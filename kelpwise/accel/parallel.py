"""Every core, the same bits: the kernels of kelpwise.accel on several threads.

Each function takes the parameters of the module function of the same name
plus a keyword-only ``workers`` and returns exactly what that function
returns (same values bit for bit, dtypes and shapes) for every number of
workers.  The work is split so that every output element is still computed
by one thread, in the kernel's order: rows of ``X`` for distances, images
of the batch for patches and pooling, features for the split search, query
rows for the KD-tree.  While the kernels run, the interpreter lock is
released, so other Python threads keep running.

``workers`` follows SciPy: None or -1 means every CPU this process may run
on (``os.sched_getaffinity``), a positive int that many threads.

With ``workers=1`` the kernels run on the calling thread, still without
the interpreter lock: that is how :mod:`kelpwise.accel.dask` runs its
blocks, so that the threads of Dask's threaded scheduler (or of a
distributed worker) compute blocks side by side.

Arguments that are not plain NumPy arrays of the kernels' dtypes and Python
(or NumPy) integers, and small inputs, are handed to the module function
itself on the calling thread, so errors have its types and texts.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import _parallel, _plenvo, _tarsine, _vellard

__all__ = [
    "KDTree",
    "best_split_classifier",
    "best_split_regressor",
    "col2im",
    "im2col",
    "maxpool_backward",
    "maxpool_forward",
    "pairwise_distances",
    "pairwise_manhattan_distances",
    "pairwise_squared_euclidean",
    "simd_path",
    "workers_count",
]

_F64 = np.dtype(np.float64)
_I64 = np.dtype(np.int64)
_INTP = np.dtype(np.intp)
_INT32 = (-(2**31), 2**31 - 1)
_INT64 = (-(2**63), 2**63 - 1)

# Below these amounts of work a call is handed to the module function, on
# the calling thread: about 0.2 ms of kernel time, against tens of
# microseconds to start and join a thread.
_INLINE_PAIR_COLS = 1 << 20  # n * m * d of a distance matrix
_INLINE_ELEMENTS = 1 << 17  # values read and written by patches and pooling
_INLINE_CELLS = 1 << 15  # n * m values of X swept by a split search

_NO_SPLIT = (None, None, None)


def simd_path() -> tuple[str, int]:
    """The vector path the kernels take here: (name, doubles per vector)."""
    return _parallel.simd_path()


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not on Linux
        return os.cpu_count() or 1


def workers_count(workers: int | None) -> int:
    """The number of threads `workers` asks for: None or -1 is every CPU this
    process may use; a positive int is itself."""
    if workers is None:
        return _cpus()
    if isinstance(workers, bool) or not isinstance(workers, int | np.integer):
        raise TypeError(f"workers must be an int or None, not {type(workers).__name__}")
    w = int(workers)
    if w == -1:
        return _cpus()
    if w < 1:
        raise ValueError(f"workers must be a positive int, -1 or None, got {w}")
    return w


# --- Arguments the threaded path takes; anything else goes to the module.


def _array(a, dtype, ndim) -> bool:
    return type(a) is np.ndarray and a.dtype == dtype and a.ndim == ndim


def _int(v, bounds=_INT32) -> int | None:
    """v as an int when it is a Python or NumPy integer within bounds."""
    if type(v) is not int and not isinstance(v, np.integer):
        return None
    v = int(v)
    return v if bounds[0] <= v <= bounds[1] else None


def _ints(*vs) -> list[int] | None:
    out = [_int(v) for v in vs]
    return None if None in out else out


def _shape4(shape) -> list[int] | None:
    """N, H, W, C of a plain tuple or list shape, each non-negative."""
    if type(shape) not in (tuple, list) or len(shape) < 4:
        return None
    out = [_int(v, _INT64) for v in shape[:4]]
    return None if None in out or min(out) < 0 else out


# --- Distances


def _distance(module_fn, native_fn, X, Y, workers):
    w = workers_count(workers)
    if _array(X, _F64, 2) and _array(Y, _F64, 2) and Y.shape[1] >= X.shape[1]:
        n, d = X.shape
        if n * Y.shape[0] * max(d, 1) >= _INLINE_PAIR_COLS:
            return native_fn(X, Y, w)
    return module_fn(X, Y)


def pairwise_squared_euclidean(X, Y, *, workers=None):
    """Squared Euclidean distances between the rows of X and of Y, as
    `_tarsine.pairwise_squared_euclidean`, on `workers` threads."""
    return _distance(_tarsine.pairwise_squared_euclidean, _parallel.pairwise_squared_euclidean, X, Y, workers)


def pairwise_distances(X, Y, *, workers=None):
    """Euclidean distances between the rows of X and of Y, as
    `_tarsine.pairwise_distances`, on `workers` threads."""
    return _distance(_tarsine.pairwise_distances, _parallel.pairwise_distances, X, Y, workers)


def pairwise_manhattan_distances(X, Y, *, workers=None):
    """Manhattan distances between the rows of X and of Y, as
    `_tarsine.pairwise_manhattan_distances`, on `workers` threads."""
    return _distance(_tarsine.pairwise_manhattan_distances, _parallel.pairwise_manhattan_distances, X, Y, workers)


# --- Patches and pooling


def _big(N, elements) -> bool:
    return N >= 1 and elements >= _INLINE_ELEMENTS


def im2col(X, kh, kw, stride=1, pad=0, *, workers=None):
    """Patch matrix of a channels-last batch, as `_plenvo.im2col`, images
    shared out among `workers` threads."""
    w = workers_count(workers)
    ints = _ints(kh, kw, stride, pad)
    if ints and _array(X, _F64, 4):
        kh_, kw_, s, p = ints
        N, H, W, C = X.shape
        Hp, Wp = H + 2 * p, W + 2 * p
        if p >= 0 and min(kh_, kw_, s) >= 1 and kh_ <= Hp and kw_ <= Wp:
            OH, OW = (Hp - kh_) // s + 1, (Wp - kw_) // s + 1
            size = N * OH * OW * kh_ * kw_ * C
            if size < 2**60 and _big(N, size):
                if p > 0:
                    X = np.pad(X, ((0, 0), (p, p), (p, p), (0, 0)), mode="constant")
                cols, OH, OW = _parallel.im2col(X, kh_, kw_, s, w)
                return cols, OH, OW
    return _plenvo.im2col(X, kh, kw, stride, pad)


def col2im(cols, shape, kh, kw, stride=1, pad=0, *, workers=None):
    """Folds a patch matrix back onto the image, as `_plenvo.col2im`, whole
    images shared out among `workers` threads."""
    w = workers_count(workers)
    ints = _ints(kh, kw, stride, pad)
    s4 = _shape4(shape)
    if ints and s4 and _array(cols, _F64, 2):
        kh_, kw_, s, p = ints
        N, H, W, C = s4
        Hp, Wp = H + 2 * p, W + 2 * p
        if p >= 0 and min(kh_, kw_, s) >= 1 and kh_ <= Hp and kw_ <= Wp:
            OH, OW = (Hp - kh_) // s + 1, (Wp - kw_) // s + 1
            expected = (N * OH * OW, kh_ * kw_ * C)
            if cols.shape == expected and N * Hp * Wp * C < 2**60 and _big(N, cols.size + N * Hp * Wp * C):
                dx = _parallel.col2im(cols, N, H, W, C, kh_, kw_, s, p, w)
                return dx if p == 0 else dx[:, p:-p, p:-p, :]
    return _plenvo.col2im(cols, shape, kh, kw, stride, pad)


def maxpool_forward(X, k, stride, *, workers=None):
    """Max pooling of a channels-last batch, as `_plenvo.maxpool_forward`,
    images shared out among `workers` threads."""
    w = workers_count(workers)
    ints = _ints(k, stride)
    if ints and _array(X, _F64, 4):
        k_, s = ints
        N, H, W, C = X.shape
        if min(k_, s) >= 1 and k_ <= H and k_ <= W and _big(N, X.size):
            return _parallel.maxpool_forward(np.ascontiguousarray(X), k_, s, w)
    return _plenvo.maxpool_forward(X, k, stride)


def maxpool_backward(grad, argmax, shape, k, stride, *, workers=None):
    """Routes the gradient of max pooling back to the image, as
    `_plenvo.maxpool_backward`, images shared out among `workers` threads."""
    w = workers_count(workers)
    ints = _ints(k, stride)
    s4 = _shape4(shape)
    if ints and s4 and _array(grad, _F64, 4) and _array(argmax, _INTP, 4):
        k_, s = ints
        N, H, W, C = s4
        consistent = argmax.shape == grad.shape and grad.shape[0] == N and grad.shape[3] == C
        if consistent and min(k_, s) >= 1 and N * H * W * C < 2**60 and _big(N, 2 * grad.size + N * H * W * C):
            g, a = np.ascontiguousarray(grad), np.ascontiguousarray(argmax)
            return _parallel.maxpool_backward(g, a, N, H, W, C, k_, s, w)
    return _plenvo.maxpool_backward(grad, argmax, shape, k, stride)


# --- Split search: np.argsort per feature (it releases the lock itself)
# and the sweep without the lock, features shared out among the threads.


def _best_of(results):
    """The winner of the per-feature results, as one call picks it: the
    lowest score, and among equal scores the lowest feature."""
    best = None
    for j, r in enumerate(results):
        if r is not None and (best is None or r[1] < best[2]):
            best = (j, r[0], r[1])
    return best if best is not None else _NO_SPLIT


def _per_feature(fn, m, w):
    if w == 1:
        return [fn(j) for j in range(m)]
    with ThreadPoolExecutor(max_workers=min(w, m)) as pool:
        return list(pool.map(fn, range(m)))


def _split_ready(X, y, y_dtype, min_samples_leaf, w) -> int | None:
    msl = _int(min_samples_leaf)
    if msl is not None and _array(X, _F64, 2) and _array(y, y_dtype, 1):
        n, m = X.shape
        if n * m >= _INLINE_CELLS:
            return msl
    return None


def best_split_classifier(X, y, min_samples_leaf, *, workers=None):
    """Best (feature, threshold) of a classification node by Gini impurity,
    as `_vellard._best_split_classifier`, features shared out among
    `workers` threads."""
    w = workers_count(workers)
    msl = _split_ready(X, y, _I64, min_samples_leaf, w)
    if msl is None or y.shape[0] != X.shape[0]:
        return _vellard._best_split_classifier(X, y, min_samples_leaf)
    n, m = X.shape
    classes = np.unique(y)
    cls = np.searchsorted(classes, y).astype(np.int64, copy=False)
    impurity = 1.0
    for count in np.bincount(cls, minlength=classes.size).tolist():
        p = count / n
        impurity -= p * p
    if impurity < 1e-15:
        return _NO_SPLIT

    def one(j):
        return _parallel.sweep_classifier(X, j, np.argsort(X[:, j]), cls, classes.size, msl)

    return _best_of(_per_feature(one, m, w))


def best_split_regressor(X, y, min_samples_leaf, *, workers=None):
    """Best (feature, threshold) of a regression node by variance, as
    `_vellard._best_split_regressor`, features shared out among `workers`
    threads."""
    w = workers_count(workers)
    msl = _split_ready(X, y, _F64, min_samples_leaf, w)
    if msl is None or y.shape[0] < X.shape[0]:
        return _vellard._best_split_regressor(X, y, min_samples_leaf)
    n, m = X.shape
    sum_y, sum_y2, variance = _parallel.regressor_totals(y, n)
    if variance < 1e-15:
        return _NO_SPLIT

    def one(j):
        return _parallel.sweep_regressor(X, j, np.argsort(X[:, j]), y, sum_y, sum_y2, msl)

    return _best_of(_per_feature(one, m, w))


# --- KD-tree


class KDTree:
    """A k-d tree over the rows of X, as `_ostrim.KDTree(X)`, whose queries
    run on several threads.

    Any number of threads may query one tree at once.  Calling ``__init__``
    again builds a new tree for the queries that start afterwards; queries
    already running finish on the tree they started with.  Pickling carries
    the data, and unpickling builds the same tree again.
    """

    __slots__ = ("_tree", "__weakref__")

    def __init__(self, X):
        self._tree = _parallel.tree_build(X)

    def _built(self):
        try:
            return self._tree
        except AttributeError:
            raise ValueError("KDTree is not built: create it with KDTree(X)") from None

    def query(self, Q, k, *, workers=None):
        """The k nearest rows of every row of Q: (indices int32, squared
        distances float64), each of shape (len(Q), min(k, n)), exactly as
        `_ostrim.KDTree(X).query(Q, k)`."""
        w = workers_count(workers)
        return _parallel.tree_query(self._built(), Q, k, w)

    @property
    def data(self) -> np.ndarray:
        """A copy of the rows the tree was built over, in their order."""
        return _parallel.tree_data(self._built())

    def __reduce__(self):
        return (type(self), (self.data,))
