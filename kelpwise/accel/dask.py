"""The kernels of kelpwise.accel on Dask arrays.

Install with ``pip install 'kelpwise[dask]'``.  Every function takes Dask
arrays (NumPy arrays and array-likes are wrapped), runs the native kernel on
each block and returns lazy Dask arrays, so the work runs on whatever
scheduler is in use: the local threaded one, a ``distributed.LocalCluster``
or a ``Client`` connected to a remote cluster.  The split search alone
returns a computed tuple.  Results are bit-identical to one call of the
kernel on the whole arrays; the one exception is k-nearest neighbours over
data split into several row chunks, whose order among equal distances is
the one documented at :func:`kneighbors`.

Results stay distributed until you reduce or store them: a 200k x 200k
distance matrix is 320 GB, so reduce it per block
(``pairwise_distances(X, Y).min(axis=1)``), keep it in the cluster's memory
(``client.persist``) or write it out (``.to_zarr(...)``) rather than
calling ``.compute()`` on the whole matrix.

The kernels are called by module-level functions of this module, looked up
when a task runs, so the graphs pickle by reference to them.

An input that a kernel refuses (a float32 array, a ``y`` shorter than
``X``, an ``argmax`` index outside its window) raises the kernel's own
exception when the result is computed; an error found inside one block
describes that block.  Shapes that cannot be split as required are refused
with ``ValueError`` before any task is built, and so is window geometry
that the output shape depends on (by the kernel itself, run on an empty
batch).
"""

from __future__ import annotations

import collections
import math
import operator
import threading
from typing import Any

import dask
import dask.array as da
import numpy as np

__all__ = [
    "pairwise_squared_euclidean",
    "pairwise_distances",
    "pairwise_manhattan_distances",
    "kneighbors",
    "best_split_classifier",
    "best_split_regressor",
    "im2col",
    "col2im",
    "maxpool_forward",
    "maxpool_backward",
]

_NO_SPLIT = (None, None, None)


def _wrap(x: Any, name: str, ndim: int, chunks: Any = "auto") -> da.Array:
    """`x` as a Dask array of `ndim` dimensions with known chunk sizes; an
    array that is not a Dask array yet gets `chunks`."""
    a = x if isinstance(x, da.Array) else np.asarray(x)
    if a.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimensions, not {a.ndim}")
    if not isinstance(a, da.Array):
        a = da.from_array(a, chunks=chunks if a.size else -1)  # Dask cannot size "auto" chunks of nothing
    if any(math.isnan(s) for s in a.shape):
        raise ValueError(f"{name} has unknown chunk sizes; call {name}.compute_chunk_sizes() first")
    return a


def _rows(x: Any, name: str) -> da.Array:
    """A matrix split along rows only (its columns gathered into one chunk)."""
    return _wrap(x, name, 2, ("auto", -1)).rechunk({1: -1})


def _batch(x: Any, name: str) -> da.Array:
    """An (N, H, W, C) batch split along N only."""
    return _wrap(x, name, 4, ("auto", -1, -1, -1)).rechunk({1: -1, 2: -1, 3: -1})


def _unzip(pairs: da.Array, chunks: tuple, dtypes: tuple[Any, Any]) -> tuple[da.Array, da.Array]:
    """The two arrays of a blockwise result whose blocks are pairs of arrays."""
    extra = tuple(range(pairs.ndim, len(chunks))) or None

    def item(i: int) -> da.Array:
        return da.map_blocks(
            operator.getitem,
            pairs,
            i,
            new_axis=extra,
            chunks=chunks,
            dtype=dtypes[i],
            meta=np.empty((0,) * len(chunks), dtype=dtypes[i]),
        )

    return item(0), item(1)


def _object_meta(ndim: int) -> np.ndarray:
    return np.empty((0,) * ndim, dtype=object)


# ---------------------------------------------------------------------------
# Pairwise distances


def _distance_block(x: np.ndarray, y: np.ndarray, metric: str) -> np.ndarray:
    from kelpwise.accel import _tarsine

    return getattr(_tarsine, metric)(x, y)


def _distances(metric: str, X: Any, Y: Any) -> da.Array:
    X, Y = _rows(X, "X"), _rows(Y, "Y")
    if X.shape[1] != Y.shape[1]:
        raise ValueError(f"X has {X.shape[1]} columns and Y has {Y.shape[1]}; they must have the same number")
    return da.blockwise(
        _distance_block,
        "ij",
        X,
        "ik",
        Y,
        "jk",
        align_arrays=False,
        concatenate=True,
        dtype=np.float64,
        meta=np.empty((0, 0)),
        token=metric,
        metric=metric,
    )


def pairwise_squared_euclidean(X: Any, Y: Any) -> da.Array:
    """Squared Euclidean distances between the rows of X (n x d) and Y (m x d).

    X and Y are split along rows (their columns are gathered into one chunk);
    the (n, m) result has X's row chunks by Y's row chunks, each block one
    call of ``_tarsine.pairwise_squared_euclidean``, bit-identical to one
    call on the whole arrays.  X and Y must have the same number of columns.
    The result is lazy: reduce it per block, persist it or store it.
    """
    return _distances("pairwise_squared_euclidean", X, Y)


def pairwise_distances(X: Any, Y: Any) -> da.Array:
    """Euclidean distances between the rows of X and Y, block by block with
    ``_tarsine.pairwise_distances``; chunks and exactness as for
    :func:`pairwise_squared_euclidean`."""
    return _distances("pairwise_distances", X, Y)


def pairwise_manhattan_distances(X: Any, Y: Any) -> da.Array:
    """Manhattan distances between the rows of X and Y, block by block with
    ``_tarsine.pairwise_manhattan_distances``; chunks and exactness as for
    :func:`pairwise_squared_euclidean`."""
    return _distances("pairwise_manhattan_distances", X, Y)


# ---------------------------------------------------------------------------
# k nearest neighbours
#
# A KDTree cannot be pickled, so each worker process builds the trees it
# needs from the data blocks it holds and keeps them here, keyed by the
# data's deterministic Dask name.  With the threaded or synchronous
# scheduler this is the caller's process.

TREE_CACHE_BYTES = 1 << 30
"""Trees are dropped, least recently used first, once the data they were
built from exceeds this many bytes in total; the tree in use always stays."""

_trees: collections.OrderedDict[Any, tuple[Any, bool, int]] = collections.OrderedDict()
_tree_builds: collections.Counter[Any] = collections.Counter()
_tree_lock = threading.Lock()


def _tree(key: Any, data: np.ndarray) -> tuple[Any, bool]:
    """The KDTree over `data` and whether all of `data` is finite, built on
    first use in this process and cached under `key`."""
    with _tree_lock:
        entry = _trees.get(key)
        if entry is None:
            from kelpwise.accel import _ostrim

            data = np.asarray(data, dtype=np.float64)
            entry = (_ostrim.KDTree(data), bool(np.isfinite(data).all()), data.nbytes)
            _tree_builds[key] += 1
            _trees[key] = entry
            total = sum(e[2] for e in _trees.values())
            while total > TREE_CACHE_BYTES and len(_trees) > 1:
                total -= _trees.popitem(last=False)[1][2]
        _trees.move_to_end(key)
        return entry[0], entry[1]


def tree_builds() -> dict[Any, int]:
    """How many times this process has built each cached tree's KDTree, by
    cache key (for checking that trees are reused: ``client.run(tree_builds)``)."""
    with _tree_lock:
        return dict(_tree_builds)


def _tree_query(queries: np.ndarray, data: np.ndarray, k: int, key: str) -> tuple[np.ndarray, np.ndarray]:
    return _tree(key, data)[0].query(queries, k)


def _sorted_rows(idx: np.ndarray, dist: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The first k entries of each row in order of distance, then index
    (NaN distances last)."""
    order = np.lexsort((idx, dist))[:, :k]
    return np.take_along_axis(idx, order, 1), np.take_along_axis(dist, order, 1)


def _scan(data: np.ndarray, queries: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest rows of `data` to each query by an exact scan, equal
    distances in row order, a few MB of distances at a time."""
    from kelpwise.accel import _tarsine

    data = np.asarray(data, dtype=np.float64)
    queries = np.asarray(queries, dtype=np.float64)
    idx = np.empty((len(queries), k), dtype=np.int64)
    dist = np.empty((len(queries), k))
    step = max(1, (1 << 22) // max(1, len(data)))
    for start in range(0, len(queries), step):
        d = _tarsine.pairwise_squared_euclidean(queries[start : start + step], data)
        order = np.argsort(d, axis=1, kind="stable")[:, :k]
        idx[start : start + step] = order
        dist[start : start + step] = np.take_along_axis(d, order, 1)
    return idx, dist


def _shard_query(
    data: np.ndarray, offset: np.ndarray, queries: np.ndarray, k: int, key: str
) -> tuple[np.ndarray, np.ndarray]:
    """The first min(k, rows) rows of one shard for each query, by distance
    then global row index."""
    start = int(offset[0])
    n = data.shape[0]
    kk = min(k, n)
    if kk == 0:
        return np.empty((len(queries), 0), dtype=np.int64), np.empty((len(queries), 0))
    tree, finite = _tree((key, start), data)
    if not finite:  # the tree orders NaN by its heap, not by a rule
        idx, dist = _scan(data, queries, kk)
        return idx + start, dist
    # With k + 1 neighbours a tie at the k-th place shows; such queries, and
    # those with a NaN or an infinity, are answered by a scan of the shard.
    idx, dist = tree.query(queries, kk + 1 if n > k else kk)
    scan = ~np.isfinite(queries).all(axis=1)
    if n > k:
        scan |= dist[:, kk - 1] == dist[:, kk]
    idx, dist = idx[:, :kk].astype(np.int64), dist[:, :kk]
    rows = np.flatnonzero(scan)
    if rows.size:
        idx[rows], dist[rows] = _scan(data, queries[rows], kk)
    idx, dist = _sorted_rows(idx, dist, kk)
    return idx + start, dist


def _merge_shards(parts: list[tuple[np.ndarray, np.ndarray]], k: int) -> tuple[np.ndarray, np.ndarray]:
    return _sorted_rows(np.concatenate([p[0] for p in parts], axis=1), np.concatenate([p[1] for p in parts], axis=1), k)


def kneighbors(data: Any, queries: Any, k: int) -> tuple[da.Array, da.Array]:
    """The k nearest rows of `data` to each row of `queries`:
    ``(indices, squared distances)``, chunked like `queries` along rows.

    `data` that fits one worker (a NumPy array, or a Dask array of one row
    chunk): one ``_ostrim.KDTree`` per worker process, built on first use and
    reused by every task there; the result equals
    ``_ostrim.KDTree(data).query(queries, k)`` bit for bit, int32 indices,
    equal distances in the tree's own order.

    `data` split along rows into several chunks: one tree per chunk, built
    on the worker that holds it, and the answers merged into the k smallest
    squared distances of each query, equal distances ordered by the lower
    row index; indices are int64 rows of the whole `data`.  This tie order
    is the documented one for sharded data, and the result does not depend
    on how `data` is chunked.  Distances are the tree's (and
    ``_tarsine.pairwise_squared_euclidean``'s) to the bit.  Where a chunk's
    k-th and (k+1)-th distances are equal, and for queries or chunks with
    NaN or infinite values (NaN distances sort last), that chunk is scanned
    exactly for the query.

    k is clamped to the number of data rows; a negative or non-integer k
    raises the tree's own error.
    """
    from kelpwise.accel import _ostrim

    queries = _rows(queries, "queries")
    data = _wrap(data, "data", 2, -1).rechunk({1: -1})
    n, d = data.shape
    if queries.shape[1] != d:
        raise ValueError(f"queries have {queries.shape[1]} columns and data has {d}; they must have the same number")
    _ostrim.KDTree(np.empty((0, d))).query(np.empty((0, d)), k)  # the tree's own refusal of k
    k = min(int(k), n)
    chunks = (queries.chunks[0], (k,))
    if data.numblocks[0] == 1:
        pairs = da.blockwise(
            _tree_query,
            "q",
            queries,
            "qd",
            data,
            "nd",
            align_arrays=False,
            concatenate=True,
            dtype=object,
            meta=_object_meta(1),
            token="kneighbors",
            k=k,
            key=data.name,
        )
        return _unzip(pairs, chunks, (np.int32, np.float64))
    offsets = np.cumsum((0,) + data.chunks[0][:-1])
    parts = da.blockwise(
        _shard_query,
        "sq",
        data,
        "sd",
        da.from_array(offsets, chunks=1),
        "s",
        queries,
        "qd",
        align_arrays=False,
        concatenate=True,
        dtype=object,
        meta=_object_meta(2),
        token="kneighbors-shard",
        k=k,
        key=data.name,
    )
    merged = da.blockwise(
        _merge_shards,
        "q",
        parts,
        "sq",
        concatenate=False,
        dtype=object,
        meta=_object_meta(1),
        token="kneighbors-merge",
        k=k,
    )
    return _unzip(merged, chunks, (np.int64, np.float64))


# ---------------------------------------------------------------------------
# Split search


def _split_block(X: np.ndarray, y: np.ndarray, min_samples_leaf: Any, kind: str) -> tuple:
    from kelpwise.accel import _vellard

    return getattr(_vellard, kind)(X, y, min_samples_leaf)


def _best_split(kind: str, X: Any, y: Any, min_samples_leaf: Any) -> tuple:
    X = _wrap(X, "X", 2, (-1, "auto")).rechunk({0: -1})
    y = _wrap(y, "y", 1, -1).rechunk(-1)
    blocks = da.blockwise(
        _split_block,
        "j",
        X,
        "ij",
        y,
        "l",
        align_arrays=False,
        concatenate=True,
        dtype=object,
        meta=_object_meta(1),
        token=kind.lstrip("_"),
        min_samples_leaf=min_samples_leaf,
        kind=kind,
    )
    results = dask.compute(*blocks.to_delayed().ravel())
    # The kernel keeps the first strictly lower score, feature by feature;
    # taking the chunk winners in feature order by the same rule gives its
    # answer.  A winner's score is never NaN.
    best, start = _NO_SPLIT, 0
    for width, (feat, thr, score) in zip(X.chunks[1], results, strict=True):
        if feat is not None and (best[0] is None or score < best[2]):
            best = (start + feat, thr, score)
        start += width
    return best


def best_split_classifier(X: Any, y: Any, min_samples_leaf: Any) -> tuple:
    """``_vellard._best_split_classifier`` with X split along columns
    (features; its rows gathered into one chunk): each chunk searched by the
    kernel, the winners combined by lowest score, then lowest feature.
    Computes now and returns exactly the tuple one call on the whole X
    returns: ``(feature, threshold, score)`` or ``(None, None, None)``."""
    return _best_split("_best_split_classifier", X, y, min_samples_leaf)


def best_split_regressor(X: Any, y: Any, min_samples_leaf: Any) -> tuple:
    """``_vellard._best_split_regressor`` over column chunks of X, as
    :func:`best_split_classifier`."""
    return _best_split("_best_split_regressor", X, y, min_samples_leaf)


# ---------------------------------------------------------------------------
# Patches and pooling, batches split along N


def _geometry(H: int, W: int, C: int, kh: Any, kw: Any, stride: Any, pad: Any) -> tuple[int, int, int]:
    """(OH, OW, columns of cols), or the kernel's own refusal of the window."""
    from kelpwise.accel import _plenvo

    cols, OH, OW = _plenvo.im2col(np.zeros((0, H, W, C)), kh, kw, stride, pad)
    return OH, OW, cols.shape[1]


def _im2col_block(X: np.ndarray, kh: Any, kw: Any, stride: Any, pad: Any) -> np.ndarray:
    from kelpwise.accel import _plenvo

    return _plenvo.im2col(X, kh, kw, stride, pad)[0]


def im2col(X: Any, kh: Any, kw: Any, stride: Any = 1, pad: Any = 0) -> tuple[da.Array, int, int]:
    """``_plenvo.im2col`` over an (N, H, W, C) batch split along N: returns
    ``(cols, OH, OW)``, cols split at sample boundaries (OH*OW rows per
    sample), bit-identical to one call."""
    X = _batch(X, "X")
    N, H, W, C = X.shape
    OH, OW, K = _geometry(H, W, C, kh, kw, stride, pad)
    cols = X.map_blocks(
        _im2col_block,
        kh,
        kw,
        stride,
        pad,
        drop_axis=(2, 3),
        chunks=(tuple(n * OH * OW for n in X.chunks[0]), (K,)),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )
    return cols, OH, OW


def _col2im_block(
    cols: np.ndarray, per_sample: int, H: int, W: int, C: int, kh: Any, kw: Any, stride: Any, pad: Any
) -> np.ndarray:
    from kelpwise.accel import _plenvo

    return _plenvo.col2im(cols, (len(cols) // per_sample, H, W, C), kh, kw, stride, pad)


def col2im(cols: Any, shape: Any, kh: Any, kw: Any, stride: Any = 1, pad: Any = 0) -> da.Array:
    """``_plenvo.col2im`` with `cols` split by whole samples (its row chunks
    are moved to the nearest sample boundaries when they are not there):
    the (N, H, W, C) result is split along N and equal to one call bit for
    bit.  For pad > 0 one call returns a view into a bordered buffer; the
    blocks here hold the same values, in arrays of their own."""
    from kelpwise.accel import _plenvo

    N, H, W, C = (int(shape[i]) for i in range(4))
    OH, OW, K = _geometry(H, W, C, kh, kw, stride, pad)
    out_shape = _plenvo.col2im(np.zeros((0, K)), (0, H, W, C), kh, kw, stride, pad).shape
    cols = _wrap(cols, "cols", 2, ("auto", -1))
    per_sample = OH * OW
    if cols.shape != (N * per_sample, K):
        raise ValueError(f"cols has shape {cols.shape}, expected {(N * per_sample, K)} for this shape and window")
    ends = sorted({round(e / per_sample) for e in np.cumsum(cols.chunks[0])} - {0} | {N})
    samples = tuple(np.diff((0, *ends)).tolist()) if N else (0,)
    cols = cols.rechunk((tuple(s * per_sample for s in samples), -1))
    return cols.map_blocks(
        _col2im_block,
        per_sample,
        H,
        W,
        C,
        kh,
        kw,
        stride,
        pad,
        new_axis=(2, 3),
        chunks=(samples, *((s,) for s in out_shape[1:])),
        dtype=np.float64,
        meta=np.empty((0, 0, 0, 0)),
    )


def _maxpool_forward_block(X: np.ndarray, k: Any, stride: Any) -> tuple[np.ndarray, np.ndarray]:
    from kelpwise.accel import _plenvo

    return _plenvo.maxpool_forward(X, k, stride)


def maxpool_forward(X: Any, k: Any, stride: Any) -> tuple[da.Array, da.Array]:
    """``_plenvo.maxpool_forward`` over a batch split along N: ``(out,
    argmax)``, both split like X along N, bit-identical to one call."""
    from kelpwise.accel import _plenvo

    X = _batch(X, "X")
    N, H, W, C = X.shape
    _, OH, OW, _ = _plenvo.maxpool_forward(np.zeros((0, H, W, C)), k, stride)[0].shape
    pairs = X.map_blocks(
        _maxpool_forward_block, k, stride, dtype=object, meta=_object_meta(4), chunks=(X.chunks[0], (OH,), (OW,), (C,))
    )
    return _unzip(pairs, pairs.chunks, (np.float64, np.intp))


def _maxpool_backward_block(
    grad: np.ndarray, argmax: np.ndarray, H: int, W: int, C: int, k: Any, stride: Any
) -> np.ndarray:
    from kelpwise.accel import _plenvo

    return _plenvo.maxpool_backward(grad, argmax, (len(grad), H, W, C), k, stride)


def maxpool_backward(grad: Any, argmax: Any, shape: Any, k: Any, stride: Any) -> da.Array:
    """``_plenvo.maxpool_backward`` over `grad` and `argmax` split along N
    (argmax is rechunked like grad): the (N, H, W, C) input gradient, split
    along N, bit-identical to one call."""
    grad = _batch(grad, "grad")
    argmax = _wrap(argmax, "argmax", 4)
    N, H, W, C = (int(shape[i]) for i in range(4))
    if argmax.shape != grad.shape:
        raise ValueError(f"grad has shape {grad.shape} and argmax {argmax.shape}; they must be equal")
    if grad.shape[0] != N:
        raise ValueError(f"grad holds {grad.shape[0]} samples and shape {N}; they must be equal")
    return da.map_blocks(
        _maxpool_backward_block,
        grad,
        argmax.rechunk(grad.chunks),
        H,
        W,
        C,
        k,
        stride,
        chunks=(grad.chunks[0], (H,), (W,), (C,)),
        dtype=np.float64,
        meta=np.empty((0, 0, 0, 0)),
    )
