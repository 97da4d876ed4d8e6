"""The kernels of kelpwise.accel on Dask arrays.

Install with ``pip install 'kelpwise[dask]'``.  Every function takes Dask
arrays (NumPy arrays and array-likes are wrapped), runs the native kernel on
each block and returns lazy Dask arrays, so the work runs on whatever
scheduler is in use: the local threaded one, a ``distributed.LocalCluster``
or a ``Client`` connected to a remote cluster.  The split search returns a
computed tuple, or a Delayed with ``compute=False``.  Results are
bit-identical to one call of the kernel on the whole arrays and do not
depend on the chunking; k-nearest neighbours returns int64 rows of the
whole `data` with equal distances ordered by the lower row (see
:func:`kneighbors`).

Block sizes.  An array that is not a Dask array yet is chunked here so
that every block of the result (and of the inputs) holds at most Dask's
``array.chunk-size`` bytes (one sample or one column at the least); a Dask
array keeps the chunks it has along the axes the work is split on, and
where that makes a block more than ten times ``array.chunk-size`` a
``dask.array.PerformanceWarning`` says so.  A kernel holds the interpreter
lock for its whole block, so bounded blocks are also what keeps a worker
answering heartbeats and cancellations.

Results stay distributed until you reduce or store them: a 200k x 200k
distance matrix is 320 GB, so reduce it per block
(``pairwise_distances(X, Y).min(axis=1)``), keep it in the cluster's memory
(``client.persist``) or write it out (``.to_zarr(...)``) rather than
calling ``.compute()`` on the whole matrix.

The kernels are called by module-level functions of this module, looked up
when a task runs, so the graphs pickle by reference to them.

An input that a kernel refuses (a float32 array, a ``y`` shorter than
``X``, an ``argmax`` index outside its window) raises the kernel's own
exception when the result is computed, with positions counted in the whole
array.  Shapes that cannot be split as required are refused with
``ValueError`` before any task is built, and so is window geometry that the
output shape depends on (by the kernel itself, run on an empty batch).
"""

from __future__ import annotations

import collections
import hashlib
import math
import operator
import os
import re
import sys
import threading
import warnings
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.utils import format_bytes, parse_bytes

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
    "clear_tree_cache",
    "tree_cache_info",
    "tree_builds",
]

_NO_SPLIT = (None, None, None)

# A block this many times array.chunk-size or larger is worth a warning (the
# factor Dask itself warns at when a rechunk multiplies the chunk count).
_FAR_LARGER = 10


# ---------------------------------------------------------------------------
# Inputs and block sizes


def _block_bytes() -> int:
    """The bytes a block should hold at most: Dask's ``array.chunk-size``."""
    return max(1, parse_bytes(dask.config.get("array.chunk-size")))


def _split(total: int, most: int) -> tuple[int, ...]:
    """`total` in as few about-equal parts as keep each at most `most`
    (at least 1); ``(0,)`` for nothing."""
    parts = max(1, -(-total // max(1, most)))
    base, extra = divmod(total, parts)
    return (base + 1,) * extra + (base,) * (parts - extra)


def _warn_if_far_larger(nbytes: int, what: str, stacklevel: int = 4) -> None:
    """A PerformanceWarning, shown at the caller of the public function
    `stacklevel` - 1 frames up, for blocks of `nbytes` or more."""
    limit = _block_bytes()
    if nbytes >= _FAR_LARGER * limit:
        warnings.warn(
            f"the chunks given make {what} blocks of up to {format_bytes(nbytes)}, far more than "
            f"array.chunk-size ({format_bytes(limit)}); rechunk the input, or pass a NumPy array to have it "
            "chunked to fit",
            da.PerformanceWarning,
            stacklevel=stacklevel,
        )


def _array(x: Any, name: str, ndim: int) -> Any:
    """`x` as a Dask array with known chunk sizes, or as a NumPy array, of
    `ndim` dimensions."""
    a = x if isinstance(x, da.Array) else np.asarray(x)
    if a.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimensions, not {a.ndim}")
    if isinstance(a, da.Array) and any(math.isnan(s) for s in a.shape):
        raise ValueError(f"{name} has unknown chunk sizes; call {name}.compute_chunk_sizes() first")
    return a


def _given(a: Any) -> bool:
    return isinstance(a, da.Array)


def _split_along_0(a: Any, chunks: tuple[int, ...]) -> da.Array:
    """`a` split along its first axis into `chunks`, whole along the others
    (a Dask array keeps its own first-axis chunks)."""
    if _given(a):
        return a.rechunk({i: -1 for i in range(1, a.ndim)})
    return da.from_array(a, chunks=(chunks,) + a.shape[1:])


def _batch(a: Any, per_sample: int, what: str) -> da.Array:
    """An (N, ...) array split along N only: a NumPy array in blocks of at
    most array.chunk-size by `per_sample` bytes of the largest array a block
    of the work holds per sample."""
    a = _split_along_0(a, _split(a.shape[0], _block_bytes() // max(1, per_sample)))
    _warn_if_far_larger(max(a.chunks[0]) * per_sample, what)
    return a


def _writable(a: np.ndarray) -> np.ndarray:
    """`a`, or a copy of it when it is read-only.  The pooling and patch
    kernels take a writable view of their inputs (they never write them),
    which NumPy refuses for read-only arrays, and Dask hands out read-only
    blocks of constant, broadcast and empty arrays."""
    return a if a.flags.writeable else np.array(a)


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


_POSITION = re.compile(r" at \((\d+),")


def _at_sample(exc: BaseException, start: int) -> None:
    """Counts the sample of a position ``at (n, ...)`` in the kernel's
    message from `start`, the block's first sample in the whole array."""
    if start and exc.args and isinstance(exc.args[0], str):
        text = _POSITION.sub(lambda m: f" at ({int(m[1]) + start},", exc.args[0], count=1)
        exc.args = (text, *exc.args[1:])


# ---------------------------------------------------------------------------
# Pairwise distances


def _distance_block(x: np.ndarray, y: np.ndarray, metric: str) -> np.ndarray:
    from kelpwise.accel import parallel

    return getattr(parallel, metric)(x, y, workers=1)


def _distance_rows(n: int, m: int, d: int, x_rows: Any, y_rows: Any) -> tuple[tuple[int, ...], tuple[int, ...]]:
    """Row chunks of X and Y (those of a Dask array kept) such that a block
    of the (n, m) result and a block of each input stay within
    array.chunk-size."""
    limit = _block_bytes()
    cells, most = max(1, limit // 8), max(1, limit // (8 * max(d, 1)))
    if x_rows is None and y_rows is None:
        side = max(1, math.isqrt(cells))
        if min(n, m) <= side:  # the short side whole, the long one cut
            short = max(1, min(n, m))
            rx, ry = (short, cells // short) if n <= m else (cells // short, short)
        else:
            rx = ry = side
        return _split(n, min(rx, most)), _split(m, min(ry, most))
    if x_rows is None:
        return _split(n, min(most, cells // max(1, *y_rows))), y_rows
    if y_rows is None:
        return x_rows, _split(m, min(most, cells // max(1, *x_rows)))
    return x_rows, y_rows


def _distances(metric: str, X: Any, Y: Any) -> da.Array:
    X, Y = _array(X, "X", 2), _array(Y, "Y", 2)
    if X.shape[1] != Y.shape[1]:
        raise ValueError(f"X has {X.shape[1]} columns and Y has {Y.shape[1]}; they must have the same number")
    x_rows, y_rows = _distance_rows(
        X.shape[0], Y.shape[0], X.shape[1], X.chunks[0] if _given(X) else None, Y.chunks[0] if _given(Y) else None
    )
    X, Y = _split_along_0(X, x_rows), _split_along_0(Y, y_rows)
    _warn_if_far_larger(8 * max(x_rows) * max(y_rows), "distance")
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
    call on the whole arrays.  The row chunks of a Dask array are kept; a
    NumPy array is split so that each result block stays within
    ``array.chunk-size``.  X and Y must have the same number of columns.
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
# The per-process tree cache
#
# A KDTree cannot be pickled, so each worker process builds the trees it
# needs from the data blocks it holds and keeps them here.  With the
# threaded or synchronous scheduler this is the caller's process.

_LIMIT_KEY = "kelpwise.tree-cache.limit"
_DEFAULT_LIMIT = 0.25
_BUILDS_KEPT = 1024  # keys whose builds are counted, most recent first
_WATCH = "kelpwise-tree-cache"  # the worker's periodic callback that relieves memory pressure


def _tree_nbytes(n: int, d: int) -> int:
    """What a KDTree over n rows of d columns holds: a 24-byte node and a
    4-byte subtree end per row, its own copy of the rows, and the object."""
    return n * (28 + 8 * d) + 256


def _worker() -> Any:
    """The distributed Worker of this process, or None."""
    if "distributed" not in sys.modules:
        return None
    import distributed

    try:
        return distributed.get_worker()
    except ValueError:  # not in a task (``client.run``): the one worker of the process
        workers = list(getattr(distributed.Worker, "_instances", ()))
        return workers[0] if len(workers) == 1 else None


def _memory_limit(worker: Any) -> int:
    """The worker's memory limit, or the machine's memory."""
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    if limit:
        return int(limit)
    try:
        from distributed.system import MEMORY_LIMIT

        return int(MEMORY_LIMIT)
    except ImportError:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def _cache_limit(worker: Any) -> int:
    """The cache's cap in bytes, from this process's Dask configuration."""
    value = dask.config.get(_LIMIT_KEY, _DEFAULT_LIMIT)
    if isinstance(value, str):
        value = parse_bytes(value)
    if isinstance(value, bool) or not isinstance(value, int | float) or not value >= 0 or math.isinf(value):
        raise ValueError(
            f"{_LIMIT_KEY} must be a fraction of the memory limit (0 to 1) or a number of bytes, not {value!r}"
        )
    return int(value * _memory_limit(worker)) if value <= 1 else int(value)


def _room(worker: Any) -> int | None:
    """Bytes the worker process may still take before its memory manager
    starts spilling or pausing (None outside a worker with a limit)."""
    manager = getattr(worker, "memory_manager", None)
    limit = getattr(manager, "memory_limit", None)
    if not limit:
        return None
    fractions = [getattr(manager, f"memory_{f}_fraction", False) for f in ("target", "spill", "pause")]
    fraction = min((f for f in fractions if f), default=0.6)
    return int(fraction * limit) - _process_memory()


def _process_memory() -> int:
    """This process's resident memory, as the worker's memory manager
    measures it."""
    import psutil

    return psutil.Process().memory_info().rss


class _TreeCache:
    """KDTrees by key, least recently used dropped first, within the cap of
    :func:`tree_cache_info` and within what the worker's memory manager
    leaves, at each build and, on a worker, as often as its memory monitor
    runs; a tree that does not fit is used once and not kept."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.trees: collections.OrderedDict[Any, tuple[Any, bool, int]] = collections.OrderedDict()
        self.nbytes = 0
        self.builds: collections.OrderedDict[Any, int] = collections.OrderedDict()

    def drop_oldest(self) -> int:
        nbytes = self.trees.popitem(last=False)[1][2]
        self.nbytes -= nbytes
        return nbytes

    def get(self, key: Any, data: np.ndarray) -> tuple[Any, bool]:
        with self.lock:
            entry = self.trees.get(key)
            if entry is not None:
                self.trees.move_to_end(key)
                return entry[0], entry[1]
            from kelpwise.accel import parallel

            worker = _worker()
            nbytes, limit, room = _tree_nbytes(*data.shape), _cache_limit(worker), _room(worker)
            # The build takes about as much again for its sorts while it runs.
            needed = 2 * nbytes
            while self.trees and (self.nbytes + nbytes > limit or (room is not None and needed > room)):
                freed = self.drop_oldest()
                room = None if room is None else room + freed
            entry = (parallel.KDTree(data), bool(np.isfinite(data).all()), nbytes)
            self.builds[key] = self.builds.pop(key, 0) + 1
            while len(self.builds) > _BUILDS_KEPT:
                self.builds.popitem(last=False)
            if nbytes <= limit and (room is None or needed <= room):
                self.trees[key] = entry
                self.nbytes += nbytes
                if room is not None:
                    self.watch(worker)
            return entry[0], entry[1]

    def relieve(self, worker: Any) -> None:
        """Drops the least recently used trees while the worker's process
        is above the fraction of its memory limit where spilling starts
        (run by the worker's event loop; skipped while a task holds the
        cache, which then checks for itself)."""
        if not self.lock.acquire(blocking=False):
            return
        try:
            room = _room(worker)
            while self.trees and room is not None and room < 0:
                room += self.drop_oldest()
        finally:
            self.lock.release()

    def watch(self, worker: Any) -> None:
        """Has the worker's event loop call :meth:`relieve` as often as its
        memory monitor runs, from the first tree it keeps until it closes."""
        callbacks = getattr(worker, "periodic_callbacks", None)
        if callbacks is None or _WATCH in callbacks:
            return
        from tornado.ioloop import PeriodicCallback

        interval = getattr(worker.memory_manager, "memory_monitor_interval", None) or 0.1
        callbacks[_WATCH] = watch = PeriodicCallback(lambda: self.relieve(worker), 1000 * interval)
        worker.loop.add_callback(watch.start)

    def clear(self) -> int:
        with self.lock:
            count = len(self.trees)
            self.trees.clear()
            self.nbytes = 0
            return count


_cache = _TreeCache()


def clear_tree_cache() -> int:
    """Drops every KDTree this process keeps and returns how many there
    were; on a cluster: ``client.run(clear_tree_cache)``."""
    return _cache.clear()


def tree_cache_info() -> dict[str, int]:
    """This process's tree cache: ``{"trees": count, "bytes": held,
    "limit": cap}``, the cap read from the Dask configuration here
    (``client.run(tree_cache_info)`` for the workers)."""
    limit = _cache_limit(_worker())
    with _cache.lock:
        return {"trees": len(_cache.trees), "bytes": _cache.nbytes, "limit": limit}


def tree_builds() -> dict[Any, int]:
    """How many times this process has built the KDTree of each of the
    last 1024 keys it built (for checking that trees are reused:
    ``client.run(tree_builds)``); a key is (Dask name, first row, shape,
    SHA-256 of the block's bytes)."""
    with _cache.lock:
        return dict(_cache.builds)


# ---------------------------------------------------------------------------
# k nearest neighbours


def _sorted_rows(idx: np.ndarray, dist: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The first k entries of each row in order of distance, then index
    (NaN distances last)."""
    order = np.lexsort((idx, dist))[:, :k]
    return np.take_along_axis(idx, order, 1), np.take_along_axis(dist, order, 1)


def _scan(data: np.ndarray, queries: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest rows of `data` to each query by an exact scan, equal
    distances in row order, a few MB of distances at a time."""
    from kelpwise.accel import parallel

    idx = np.empty((len(queries), k), dtype=np.int64)
    dist = np.empty((len(queries), k))
    step = max(1, (1 << 22) // max(1, len(data)))
    for start in range(0, len(queries), step):
        d = parallel.pairwise_squared_euclidean(queries[start : start + step], data, workers=1)
        order = _first_k(d, k)
        idx[start : start + step] = order
        dist[start : start + step] = np.take_along_axis(d, order, 1)
    return idx, dist


def _first_k(d: np.ndarray, k: int) -> np.ndarray:
    """The columns of the k smallest entries of each row of `d`, by value then
    column (NaN last), in linear time: the entries below the k-th value, then
    the first columns that equal it, sorted stably."""
    kth = np.partition(d, k - 1, axis=1)[:, k - 1 : k]  # NaN goes last
    short = np.isnan(kth)  # rows with fewer than k numbers: all of them, then NaN
    below = np.where(short, ~np.isnan(d), d < kth)
    equal = np.where(short, np.isnan(d), d == kth)
    room = k - np.count_nonzero(below, axis=1, keepdims=True)
    cols = np.nonzero(below | (equal & (np.cumsum(equal, axis=1, dtype=np.int32) <= room)))[1].reshape(len(d), k)
    return np.take_along_axis(cols, np.argsort(np.take_along_axis(d, cols, 1), axis=1, kind="stable"), 1)


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
    # The tree is keyed by the bytes it is built from, next to the name:
    # arrays of the same name over other data never share a tree.
    data = np.ascontiguousarray(data, dtype=np.float64)
    queries = np.asarray(queries, dtype=np.float64)
    tree, finite = _cache.get((key, start, data.shape, hashlib.sha256(data).hexdigest()), data)
    if not finite:  # the tree orders NaN by its heap, not by a rule
        idx, dist = _scan(data, queries, kk)
        return idx + start, dist
    # With k + 1 neighbours a tie at the k-th place shows.  Such queries ask
    # the tree for more, until the last is farther than the k-th, so that
    # every row as near as the k-th is among them (repeated rows tie a few
    # at a time); past 32 (k + 1), and for queries with a NaN or an
    # infinity, a scan of the shard answers.
    idx, dist = tree.query(queries, kk + 1 if n > k else kk, workers=1)
    scan = ~np.isfinite(queries).all(axis=1)
    idx = idx.astype(np.int64)
    tied = np.flatnonzero(~scan & (dist[:, kk - 1] == dist[:, -1])) if n > k else np.empty(0, np.intp)
    more = kk + 1
    while tied.size and more < min(n, 32 * (kk + 1)):
        more = min(2 * more, n)
        step = max(1, len(queries) * (kk + 1) // more)  # no more memory than the first answers
        left = []
        for part in np.split(tied, range(step, tied.size, step)):
            i, d = tree.query(queries[part], more, workers=1)
            done = (d[:, -1] > dist[part, kk - 1]) | (more == n)
            idx[part[done], :kk], dist[part[done], :kk] = _sorted_rows(i[done].astype(np.int64), d[done], kk)
            left.append(part[~done])
        tied = np.concatenate(left)
    scan[tied] = True
    idx, dist = idx[:, :kk], dist[:, :kk]
    rows = np.flatnonzero(scan)
    if rows.size:
        idx[rows], dist[rows] = _scan(data, queries[rows], kk)
    idx, dist = _sorted_rows(idx, dist, kk)
    return idx + start, dist


def _merge_shards(parts: list[tuple[np.ndarray, np.ndarray]], k: int) -> tuple[np.ndarray, np.ndarray]:
    if len(parts) == 1:  # one shard's answer is in order already
        return parts[0]
    return _sorted_rows(np.concatenate([p[0] for p in parts], axis=1), np.concatenate([p[1] for p in parts], axis=1), k)


def kneighbors(data: Any, queries: Any, k: int) -> tuple[da.Array, da.Array]:
    """The k nearest rows of `data` to each row of `queries`:
    ``(indices, squared distances)``, chunked like `queries` along rows.

    Each row of the result holds the k smallest squared distances of the
    query in increasing order, equal distances ordered by the lower row
    (NaN distances last), and the int64 indices of those rows in the whole
    `data`; the result is the same for any chunking of `data` and of
    `queries`.  Distances are the tree's (and
    ``_tarsine.pairwise_squared_euclidean``'s) to the bit.

    One ``_ostrim.KDTree`` is built per row chunk of `data`, on a worker
    that holds the chunk, and kept there for the tasks that follow (see
    :func:`tree_cache_info`); the answers of the chunks are merged.  A NumPy
    `data` is one chunk up to ``array.chunk-size`` bytes; NumPy `queries`
    are split so that each block and its answers stay within it.  Where a
    chunk's k-th and (k+1)-th distances are equal, its tree is asked for
    twice as many until the last is farther than the k-th; past 32 (k + 1),
    and for queries or chunks with NaN or infinite values, that chunk is
    scanned exactly for the query.

    k is clamped to the number of data rows; a negative or non-integer k
    raises the tree's own error.
    """
    from kelpwise.accel import _ostrim

    queries, data = _array(queries, "queries", 2), _array(data, "data", 2)
    n, d = data.shape
    if queries.shape[1] != d:
        raise ValueError(f"queries have {queries.shape[1]} columns and data has {d}; they must have the same number")
    _ostrim.KDTree(np.empty((0, d))).query(np.empty((0, d)), k)  # the tree's own refusal of k
    k = min(int(k), n)
    limit = _block_bytes()
    data = _split_along_0(data, _split(n, limit // (8 * max(d, 1))))
    # A block of queries, and its answers from every shard merged.
    per_query = max(8 * d, 16 * (k + 1) * data.numblocks[0])
    queries = _split_along_0(queries, _split(queries.shape[0], limit // per_query))
    _warn_if_far_larger(max(queries.chunks[0]) * per_query, "k-nearest-neighbour", 3)
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
    return _unzip(merged, (queries.chunks[0], (k,)), (np.int64, np.float64))


# ---------------------------------------------------------------------------
# Split search


def _split_block(X: np.ndarray, y: np.ndarray, min_samples_leaf: Any, kind: str) -> tuple:
    from kelpwise.accel import parallel

    return getattr(parallel, kind.lstrip("_"))(X, y, min_samples_leaf, workers=1)


def _best_of(results: list[tuple], widths: tuple[int, ...]) -> tuple:
    """The kernel keeps the first strictly lower score, feature by feature;
    taking the chunk winners in feature order by the same rule gives its
    answer.  A winner's score is never NaN."""
    best, start = _NO_SPLIT, 0
    for width, (feat, thr, score) in zip(widths, results, strict=True):
        if feat is not None and (best[0] is None or score < best[2]):
            best = (start + feat, thr, score)
        start += width
    return best


def _best_split(kind: str, X: Any, y: Any, min_samples_leaf: Any, compute: bool) -> Any:
    X, y = _array(X, "X", 2), _array(y, "y", 1)
    n, features = X.shape
    column = n * X.dtype.itemsize
    if _given(X) and X.numblocks[0] == 1:
        _warn_if_far_larger(column * max(X.chunks[1]), "split search")
    else:
        # Whole columns, about array.chunk-size of them per task.  Dask's
        # task-based rechunk moves row chunks into column blocks piece by
        # piece; its P2P one has been seen to exhaust workers doing it.
        columns = (n,), _split(features, _block_bytes() // max(1, column))
        X = X.rechunk(columns, method="tasks") if _given(X) else da.from_array(X, chunks=columns)
    y = y.rechunk(-1) if _given(y) else da.from_array(y, chunks=-1)
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
    best = dask.delayed(_best_of, pure=True)(blocks.to_delayed().ravel().tolist(), X.chunks[1])
    return best.compute() if compute else best


def best_split_classifier(X: Any, y: Any, min_samples_leaf: Any, compute: bool = True) -> Any:
    """``_vellard._best_split_classifier`` with X split along columns
    (features, whole columns of about ``array.chunk-size`` per task; the
    column chunks of an X already in one row chunk are kept): each chunk
    searched by the kernel, the winners combined by lowest score, then
    lowest feature.  Returns exactly the tuple one call on the whole X
    returns, ``(feature, threshold, score)`` or ``(None, None, None)``;
    with ``compute=False``, a Delayed that computes it."""
    return _best_split("_best_split_classifier", X, y, min_samples_leaf, compute)


def best_split_regressor(X: Any, y: Any, min_samples_leaf: Any, compute: bool = True) -> Any:
    """``_vellard._best_split_regressor`` over column chunks of X, as
    :func:`best_split_classifier`."""
    return _best_split("_best_split_regressor", X, y, min_samples_leaf, compute)


# ---------------------------------------------------------------------------
# Patches and pooling, batches split along N


def _geometry(H: int, W: int, C: int, kh: Any, kw: Any, stride: Any, pad: Any) -> tuple[int, int, int]:
    """(OH, OW, columns of cols), or the kernel's own refusal of the window."""
    from kelpwise.accel import _plenvo

    cols, OH, OW = _plenvo.im2col(np.zeros((0, H, W, C)), kh, kw, stride, pad)
    return OH, OW, cols.shape[1]


def _im2col_block(X: np.ndarray, kh: Any, kw: Any, stride: Any, pad: Any) -> np.ndarray:
    from kelpwise.accel import parallel

    return parallel.im2col(_writable(X), kh, kw, stride, pad, workers=1)[0]


def im2col(X: Any, kh: Any, kw: Any, stride: Any = 1, pad: Any = 0) -> tuple[da.Array, int, int]:
    """``_plenvo.im2col`` over an (N, H, W, C) batch split along N: returns
    ``(cols, OH, OW)``, cols split at sample boundaries (OH*OW rows per
    sample), bit-identical to one call.  A NumPy X is split so that each
    block of cols stays within ``array.chunk-size``."""
    X = _array(X, "X", 4)
    N, H, W, C = X.shape
    OH, OW, K = _geometry(H, W, C, kh, kw, stride, pad)
    X = _batch(X, 8 * max(H * W * C, OH * OW * K), "patch")
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
    from kelpwise.accel import parallel

    return parallel.col2im(_writable(cols), (len(cols) // per_sample, H, W, C), kh, kw, stride, pad, workers=1)


def col2im(cols: Any, shape: Any, kh: Any, kw: Any, stride: Any = 1, pad: Any = 0) -> da.Array:
    """``_plenvo.col2im`` with `cols` split by whole samples (the row chunks
    of a Dask `cols` are moved to the nearest sample boundaries when they
    are not there; a NumPy `cols` is split so that each block stays within
    ``array.chunk-size``): the (N, H, W, C) result is split along N and
    equal to one call bit for bit.  For pad > 0 one call returns a view
    into a bordered buffer; the blocks here hold the same values, in arrays
    of their own."""
    from kelpwise.accel import _plenvo

    N, H, W, C = (int(shape[i]) for i in range(4))
    OH, OW, K = _geometry(H, W, C, kh, kw, stride, pad)
    out_shape = _plenvo.col2im(np.zeros((0, K)), (0, H, W, C), kh, kw, stride, pad).shape
    cols = _array(cols, "cols", 2)
    per_sample = OH * OW
    if cols.shape != (N * per_sample, K):
        raise ValueError(f"cols has shape {cols.shape}, expected {(N * per_sample, K)} for this shape and window")
    Hp, Wp = H + 2 * max(int(pad), 0), W + 2 * max(int(pad), 0)
    sample_bytes = 8 * max(per_sample * K, Hp * Wp * C)  # the bordered image the kernel adds into
    if _given(cols):
        ends = sorted({round(e / per_sample) for e in np.cumsum(cols.chunks[0])} - {0} | {N})
        samples = tuple(np.diff((0, *ends)).tolist()) if N else (0,)
        cols = cols.rechunk((tuple(s * per_sample for s in samples), -1))
        _warn_if_far_larger(max(samples) * sample_bytes, "col2im", 3)
    else:
        samples = _split(N, _block_bytes() // max(1, sample_bytes))
        cols = da.from_array(cols, chunks=(tuple(s * per_sample for s in samples), -1))
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
    from kelpwise.accel import parallel

    return parallel.maxpool_forward(_writable(X), k, stride, workers=1)


def maxpool_forward(X: Any, k: Any, stride: Any) -> tuple[da.Array, da.Array]:
    """``_plenvo.maxpool_forward`` over a batch split along N: ``(out,
    argmax)``, both split like X along N, bit-identical to one call.  A
    NumPy X is split so that each block stays within ``array.chunk-size``."""
    from kelpwise.accel import _plenvo

    X = _array(X, "X", 4)
    N, H, W, C = X.shape
    _, OH, OW, _ = _plenvo.maxpool_forward(np.zeros((0, H, W, C)), k, stride)[0].shape
    X = _batch(X, 8 * max(H * W * C, 2 * OH * OW * C), "pooling")
    pairs = X.map_blocks(
        _maxpool_forward_block, k, stride, dtype=object, meta=_object_meta(4), chunks=(X.chunks[0], (OH,), (OW,), (C,))
    )
    return _unzip(pairs, pairs.chunks, (np.float64, np.intp))


def _maxpool_backward_block(
    grad: np.ndarray,
    argmax: np.ndarray,
    H: int,
    W: int,
    C: int,
    k: Any,
    stride: Any,
    starts: tuple[int, ...],
    block_id: tuple[int, ...] = (0,),
) -> np.ndarray:
    from kelpwise.accel import parallel

    try:
        return parallel.maxpool_backward(_writable(grad), _writable(argmax), (len(grad), H, W, C), k, stride, workers=1)
    except Exception as exc:
        _at_sample(exc, starts[block_id[0]])
        raise


def maxpool_backward(grad: Any, argmax: Any, shape: Any, k: Any, stride: Any) -> da.Array:
    """``_plenvo.maxpool_backward`` over `grad` and `argmax` split along N
    (argmax is rechunked like grad; a NumPy grad is split so that each
    block stays within ``array.chunk-size``): the (N, H, W, C) input
    gradient, split along N, bit-identical to one call."""
    grad, argmax = _array(grad, "grad", 4), _array(argmax, "argmax", 4)
    N, H, W, C = (int(shape[i]) for i in range(4))
    if argmax.shape != grad.shape:
        raise ValueError(f"grad has shape {grad.shape} and argmax {argmax.shape}; they must be equal")
    if grad.shape[0] != N:
        raise ValueError(f"grad holds {grad.shape[0]} samples and shape {N}; they must be equal")
    grad = _batch(grad, 8 * max(H * W * C, 2 * math.prod(grad.shape[1:])), "pooling gradient")
    argmax = argmax.rechunk(grad.chunks) if _given(argmax) else da.from_array(argmax, chunks=grad.chunks)
    starts = tuple(np.cumsum((0,) + grad.chunks[0][:-1]).tolist())
    return da.map_blocks(
        _maxpool_backward_block,
        grad,
        argmax,
        H,
        W,
        C,
        k,
        stride,
        starts,
        chunks=(grad.chunks[0], (H,), (W,), (C,)),
        dtype=np.float64,
        meta=np.empty((0, 0, 0, 0)),
    )
