"""kelpwise.accel.dask: every kernel over chunked Dask arrays, bit for bit
against one call on the whole arrays; the sharded k-nearest-neighbour merge
against a brute-force model; the refusals; and, on a LocalCluster of two
worker processes, the per-worker tree cache and a worker killed mid-run."""

import logging
import os
import re
import signal
import subprocess
import sys
import types
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from dask.delayed import Delayed  # noqa: E402
from kelpwise.accel import _ostrim, _plenvo, _tarsine, _vellard  # noqa: E402
from kelpwise.accel import dask as kd  # noqa: E402

from support import bits, lets_other_threads_run, tiled  # noqa: E402

METRICS = ["pairwise_squared_euclidean", "pairwise_distances", "pairwise_manhattan_distances"]


@pytest.fixture
def sync():
    with dask.config.set(scheduler="synchronous"):
        yield


# A worker pauses at 80% of its memory limit and is restarted at 95%.  The
# sanitizers' shadow memory and quarantine take more than 400 MB by
# themselves: there the limit is raised, and the tests that need a worker
# smaller than their data are skipped.
SANITIZED = os.environ.get("KW_SANITIZED") == "1"
WORKER_MEMORY = 4e9 if SANITIZED else 400e6
small_workers = pytest.mark.skipif(SANITIZED, reason="needs workers of 400 MB, less than the sanitizers take")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  memory_limit=WORKER_MEMORY, silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def small_blocks():
    with dask.config.set({"array.chunk-size": "64KiB"}):
        yield 64 << 10


def same(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(bits(a), bits(b))


def splits(total):
    """Uneven chunkings of `total` rows, empty chunks included."""
    return st.lists(st.integers(0, total), max_size=3).map(
        lambda cuts: tuple(np.diff([0, *sorted(cuts), total]).tolist()))


def chunked(a, rows):
    return da.from_array(a, chunks=(rows,) + a.shape[1:])


def knn_model(data, queries, k):
    """The k smallest squared distances per query, equal ones by lower row,
    NaN last; the sums strictly in column order."""
    acc = np.zeros((len(queries), len(data)))
    with np.errstate(invalid="ignore"):  # inf - inf
        for c in range(data.shape[1]):
            diff = queries[:, None, c] - data[None, :, c]
            acc = acc + diff * diff
    order = np.argsort(acc, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(acc, order, 1)


def raised_by(f, *args):
    with pytest.raises(Exception) as info:
        f(*args)
    return pytest.raises(info.type, match=re.escape(str(info.value)))


# ---------------------------------------------------------------------------
# Bit for bit against one call, synchronous scheduler

values = st.one_of(st.floats(-1e3, 1e3), st.sampled_from([np.nan, np.inf, -np.inf, 1e200]))


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(METRICS), st.integers(0, 9), st.integers(0, 9), st.integers(0, 4), st.data())
def test_distances_match_one_call(metric, n, m, d, data):
    X = data.draw(hnp.arrays(np.float64, (n, d), elements=values))
    Y = data.draw(hnp.arrays(np.float64, (m, d), elements=values))
    xr, yr = data.draw(splits(n)), data.draw(splits(m))
    got = getattr(kd, metric)(chunked(X, xr), chunked(Y, yr))
    assert got.chunks == (xr, yr)
    assert same(got.compute(scheduler="synchronous"), getattr(_tarsine, metric)(X, Y))


grid = st.sampled_from([0.0, 1.0, 2.0, 3.0, 0.5])  # many equal distances


@settings(max_examples=100, deadline=None)
@given(st.integers(0, 40), st.integers(0, 12), st.integers(1, 3), st.integers(0, 14), st.booleans(), st.data())
def test_kneighbors_take_the_lowest_rows_among_equal_distances_for_any_chunking(n, nq, d, k, wrap, data):
    X = data.draw(hnp.arrays(np.float64, (n, d), elements=grid))
    Q = data.draw(hnp.arrays(np.float64, (nq, d), elements=grid))
    for a in (X, Q):  # now and then a NaN or an infinity
        for i, j, v in data.draw(st.lists(st.tuples(st.integers(0, 99), st.integers(0, d - 1),
                                                   st.sampled_from([np.nan, np.inf, -np.inf])), max_size=1)):
            if len(a):
                a[i % len(a), j] = v
    want_idx, want_dist = knn_model(X, Q, k)
    qr = data.draw(splits(nq))
    idx, dist = kd.kneighbors(chunked(X, data.draw(splits(n))) if wrap else X, chunked(Q, qr), k)
    assert idx.chunks[0] == qr
    idx, dist = dask.compute(idx, dist, scheduler="synchronous")
    assert same(idx, want_idx.astype(np.int64)) and same(dist, want_dist)


def test_sharded_tie_at_the_kth_place_beyond_the_first_k_plus_one():
    # Eleven rows at distance 1 in one shard: its tree returns three of them
    # (not 0 and 1), the answer is rows 0 and 1.
    X = np.array([[1.0, 0.0], [0.0, 1.0], [-1.0, 0.0], [0.0, -1.0]] * 3)[:11]
    idx, dist = dask.compute(*kd.kneighbors(chunked(X, (11, 0)), np.zeros((1, 2)), 2),
                             scheduler="synchronous")
    assert idx.tolist() == [[0, 1]] and dist.tolist() == [[1.0, 1.0]]


@pytest.mark.parametrize("copies, k", [(6, 1), (6, 4), (40, 2), (200, 1)])  # the tree asked for more; past that, a scan
def test_repeated_rows_take_the_lowest_copies(copies, k):
    X = np.tile(np.random.default_rng(copies).integers(0, 3, (30, 2)).astype(float), (copies, 1))
    Q = np.vstack([X[:30] + 0.25, X[:5]])
    idx, dist = dask.compute(*kd.kneighbors(chunked(X, (len(X) - 7, 7)), Q, k), scheduler="synchronous")
    want_idx, want_dist = knn_model(X, Q, k)
    assert same(idx, want_idx.astype(np.int64)) and same(dist, want_dist)


def split_cases():
    rng = np.random.default_rng(5)
    X = rng.integers(0, 4, (60, 9)).astype(float)
    X[:, 6] = X[:, 1]  # the same best score in two chunks: the lower feature wins
    X[::7, 3] = np.nan
    labels = rng.integers(0, 3, 61)
    yield X, labels, 1
    yield X, labels, 25
    yield X, np.ones(60, np.int64), 1
    yield X, labels.astype(float) ** 2, 2
    yield X[:, :0], labels, 1
    yield X[:0], labels[:0], 1


@pytest.mark.parametrize("chunks", [(9,), (2, 1, 4, 2), (1,) * 9])
def test_split_search_matches_one_call(sync, chunks):
    for X, y, leaf in split_cases():
        kind = "_best_split_regressor" if y.dtype == np.float64 else "_best_split_classifier"
        Xd = da.from_array(X, chunks=(-1, chunks if X.shape[1] == 9 else -1))
        got = getattr(kd, kind.lstrip("_"))(Xd, y, leaf)
        assert repr(got) == repr(getattr(_vellard, kind)(X, y, leaf))


@pytest.mark.parametrize("kh, kw, stride, pad", [(3, 3, 1, 1), (2, 3, 2, 0), (3, 2, 2, 2), (2, 2, 1, -1)])
def test_patches_and_pooling_match_one_call(sync, kh, kw, stride, pad):
    rng = np.random.default_rng(kh + 7 * stride)
    X = rng.standard_normal((7, 6, 5, 2)).round(1)  # rounded: ties in pooling windows
    Xd = chunked(X, (2, 0, 4, 1))
    cols, OH, OW = kd.im2col(Xd, kh, kw, stride, pad)
    want_cols, *want_geometry = _plenvo.im2col(X, kh, kw, stride, pad)
    assert [OH, OW] == want_geometry and same(cols.compute(), want_cols)
    want = _plenvo.col2im(want_cols, X.shape, kh, kw, stride, pad)
    for c in (cols, da.from_array(want_cols, chunks=(5, -1))):  # chunks off the sample boundaries
        assert same(kd.col2im(c, X.shape, kh, kw, stride, pad).compute(), want)
    out, argmax = kd.maxpool_forward(Xd, kh, stride)
    want_out, want_argmax = _plenvo.maxpool_forward(X, kh, stride)
    assert same(out.compute(), want_out) and same(argmax.compute(), want_argmax)
    grad = rng.standard_normal(want_out.shape)
    dX = kd.maxpool_backward(chunked(grad, (3, 4)), argmax, X.shape, kh, stride)
    assert same(dX.compute(), _plenvo.maxpool_backward(grad, want_argmax, X.shape, kh, stride))


def test_importing_the_package_loads_neither_dask_nor_numpy():
    code = "import sys, kelpwise.accel; assert not {'dask', 'numpy'} & set(sys.modules), sorted(sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True)


# ---------------------------------------------------------------------------
# Refusals

M, B = np.zeros((4, 3)), np.zeros((2, 5, 5, 1))


@pytest.mark.parametrize("call, message", [
    (lambda: kd.pairwise_distances(M, np.zeros((4, 2))), "X has 3 columns and Y has 2"),
    (lambda: kd.pairwise_squared_euclidean(M[0], M), "X must have 2 dimensions, not 1"),
    (lambda: kd.kneighbors(M, np.zeros((4, 4)), 1), "queries have 4 columns and data has 3"),
    (lambda: kd.col2im(np.zeros((3, 4)), B.shape, 2, 2), r"cols has shape (3, 4), expected (32, 4)"),
    (lambda: kd.maxpool_backward(np.zeros((2, 2, 2, 1)), np.zeros((2, 2, 3, 1), np.intp), B.shape, 2, 2),
     "grad has shape (2, 2, 2, 1) and argmax (2, 2, 3, 1)"),
    (lambda: kd.maxpool_backward(np.zeros((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), B.shape, 2, 2),
     "grad holds 1 samples and shape 2"),
    (lambda: kd.kneighbors(da.ones((4, 3), chunks=2)[da.ones(4, chunks=2) > 0], M, 1),
     "data has unknown chunk sizes"),
])
def test_shapes_that_cannot_be_chunked_are_refused_at_once(call, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        call()


@pytest.mark.parametrize("call, kernel_call", [
    (lambda: kd.im2col(B, 0, 2), lambda: _plenvo.im2col(B, 0, 2)),
    (lambda: kd.col2im(np.zeros((0, 4)), B.shape, 9, 2), lambda: _plenvo.im2col(B, 9, 2)),
    (lambda: kd.maxpool_forward(B, 6, 1), lambda: _plenvo.maxpool_forward(B, 6, 1)),
    (lambda: kd.kneighbors(M, M, -1), lambda: _ostrim.KDTree(M).query(M, -1)),
])
def test_geometry_is_refused_by_the_kernel_itself(call, kernel_call):
    with raised_by(kernel_call):
        call()


def refusals_on_compute():
    f32 = M.astype(np.float32)
    yield lambda: kd.pairwise_distances(f32, M), lambda: _tarsine.pairwise_distances(f32, M)
    yield (lambda: kd.best_split_classifier(M, np.zeros(3, np.int64), 1),
           lambda: _vellard._best_split_classifier(M, np.zeros(3, np.int64), 1))
    bad = np.full((2, 2, 2, 1), 7, np.intp)
    yield (lambda: kd.maxpool_backward(np.zeros((2, 2, 2, 1)), bad, B.shape, 2, 2),
           lambda: _plenvo.maxpool_backward(np.zeros((2, 2, 2, 1)), bad, B.shape, 2, 2))
    yield lambda: kd.kneighbors(np.zeros((3, 0)), np.zeros((1, 0)), 1), lambda: _ostrim.KDTree(np.zeros((3, 0)))


@pytest.mark.parametrize("call, kernel_call", list(refusals_on_compute()))
def test_kernel_refusals_surface_on_compute(sync, call, kernel_call):
    with raised_by(kernel_call):
        dask.compute(call())


# ---------------------------------------------------------------------------
# Block sizes, read-only blocks, positions in messages, the tree cache

rng3 = np.random.default_rng(3)
P, Q = rng3.random((300, 5)), rng3.integers(0, 3, (4000, 5)).astype(float)
IMG = rng3.standard_normal((40, 6, 6, 3)).round(1)
COLS = _plenvo.im2col(IMG, 3, 3, 1, 1)[0]
POOLED, ARGMAX = _plenvo.maxpool_forward(IMG, 2, 2)
GRAD, LABELS = rng3.standard_normal(POOLED.shape), rng3.integers(0, 3, 300)
KNN = tuple(a.astype(a.dtype if a.dtype == float else np.int64) for a in knn_model(P, Q, 4))


def calls(w):
    """Every function on inputs passed through w, and one call's result."""
    yield "distances", lambda: kd.pairwise_squared_euclidean(w(P), w(Q)), _tarsine.pairwise_squared_euclidean(P, Q)
    yield "kneighbors", lambda: kd.kneighbors(w(P), w(Q), 4), KNN
    yield ("split", lambda: kd.best_split_classifier(w(P), w(LABELS), 2, compute=False),
           _vellard._best_split_classifier(P, LABELS, 2))
    yield "im2col", lambda: kd.im2col(w(IMG), 3, 3, 1, 1)[0], COLS
    yield "col2im", lambda: kd.col2im(w(COLS), IMG.shape, 3, 3, 1, 1), _plenvo.col2im(COLS, IMG.shape, 3, 3, 1, 1)
    yield "maxpool_forward", lambda: kd.maxpool_forward(w(IMG), 2, 2), (POOLED, ARGMAX)
    yield ("maxpool_backward", lambda: kd.maxpool_backward(w(GRAD), w(ARGMAX), IMG.shape, 2, 2),
           _plenvo.maxpool_backward(GRAD, ARGMAX, IMG.shape, 2, 2))


def check(got, want):
    got = dask.compute(got, scheduler="synchronous")[0]
    assert all(map(same, got, want)) if isinstance(want, tuple) and isinstance(want[0], np.ndarray) \
        else same(got, want) if isinstance(want, np.ndarray) else got == want


def largest_block(a):
    return int(np.prod([max(c) for c in a.chunks])) * a.dtype.itemsize


@pytest.mark.parametrize("name, call, want", list(calls(lambda a: a)), ids=[c[0] for c in calls(None)])
def test_numpy_inputs_give_blocks_within_twice_the_chunk_size(small_blocks, name, call, want):
    with warnings.catch_warnings():
        warnings.simplefilter("error", da.PerformanceWarning)
        got = call()
    for a in [a for a in (got if isinstance(got, tuple) else (got,)) if isinstance(a, da.Array)]:
        assert largest_block(a) <= 2 * small_blocks, name
    check(got, want)


@pytest.mark.parametrize("call, chunks", [
    (lambda: kd.pairwise_distances(da.from_array(P, -1), da.from_array(Q, -1)), ((300,), (4000,))),
    (lambda: kd.kneighbors(P, da.from_array(Q, -1), 4)[0], ((4000,), (4,))),
    (lambda: kd.im2col(da.from_array(IMG, -1), 3, 3, 1, 1)[0], ((1440,), (27,))),
], ids=["distances", "kneighbors", "im2col"])
def test_given_chunks_are_kept_with_a_warning_when_far_larger(call, chunks):
    with dask.config.set({"array.chunk-size": "16KiB"}), pytest.warns(da.PerformanceWarning, match="far more than"):
        got = call()
    assert got.chunks == chunks


def frozen(block):
    block = block.view()
    block.flags.writeable = False
    return block


def read_only(a):
    return chunked(a, len(a) // 3 or 1).map_blocks(frozen, dtype=a.dtype)


@pytest.mark.parametrize("name, call, want", list(calls(read_only)), ids=[c[0] for c in calls(None)])
def test_read_only_blocks_are_accepted(name, call, want):
    check(call(), want)


def test_constant_blocks_are_accepted(sync):
    assert same(kd.col2im(da.ones((36, 1), chunks=(9, 1)), (4, 3, 3, 1), 1, 1).compute(), np.ones((4, 3, 3, 1)))


def test_positions_in_messages_count_in_the_whole_array():
    bad = ARGMAX.copy()
    bad[5, 1, 1, 0] = 99
    with raised_by(_plenvo.maxpool_backward, GRAD, bad, IMG.shape, 2, 2) as info:
        kd.maxpool_backward(chunked(GRAD, 2), chunked(bad, 2), IMG.shape, 2, 2).compute(scheduler="synchronous")
    assert "at (5, 1, 1, 0)" in str(info.value)


def test_split_search_is_split_by_columns_of_about_the_chunk_size(small_blocks, monkeypatch):
    X, y = np.random.default_rng(4).random((2000, 40)), np.random.default_rng(5).random(2000)
    seen = []
    kernel = kd._split_block
    monkeypatch.setattr(kd, "_split_block", lambda X, *args, **kw: seen.append(X.nbytes) or kernel(X, *args, **kw))
    for Xd in (X, chunked(X, 250)):
        seen.clear()
        lazy = kd.best_split_regressor(Xd, y, 3, compute=False)
        assert isinstance(lazy, Delayed) and not seen
        assert lazy.compute(scheduler="synchronous") == _vellard._best_split_regressor(X, y, 3)
        assert len(seen) > 1 and max(seen) <= 2 * small_blocks


def test_arrays_of_one_name_over_other_data_do_not_share_a_tree(sync):
    a, b = np.zeros((50, 2)), np.arange(100.0).reshape(50, 2)
    for X in (a, b):
        idx, dist = dask.compute(*kd.kneighbors(da.from_array(X, name="points"), X[::-1], 1))
        assert idx[:, 0].tolist() == list(range(49, -1, -1)) if X is b else not dist.any()


def test_tree_cache_keeps_the_last_used_trees_within_its_limit(sync):
    kd.clear_tree_cache()
    sets = {f"set{i}": np.random.default_rng(i).random((1000, 3)) for i in range(3)}
    one = kd._tree_nbytes(1000, 3)

    def use(name):
        kd.kneighbors(da.from_array(sets[name], name=name), P[:10, :3], 2)[0].compute()
        return {key[0]: v for key, v in kd.tree_builds().items() if key[0] in sets}

    with dask.config.set({"kelpwise.tree-cache.limit": 2 * one}):
        for name in ("set0", "set1", "set0", "set2", "set0"):
            use(name)
        assert use("set1") == {"set0": 1, "set1": 2, "set2": 1}  # set1 was the least recently used
        assert kd.tree_cache_info() == {"trees": 2, "bytes": 2 * one, "limit": 2 * one}
    assert kd.clear_tree_cache() == 2 and kd.tree_cache_info()["trees"] == 0
    with dask.config.set({"kelpwise.tree-cache.limit": 0}):
        use("set2")
        assert kd.tree_cache_info()["trees"] == 0 and use("set2")["set2"] == 3
    with dask.config.set({"kelpwise.tree-cache.limit": "lots"}), pytest.raises(ValueError, match="lots"):
        kd.tree_cache_info()
    for i in range(kd._BUILDS_KEPT + 10):  # the build counts stay bounded
        kd._cache.get(("bound", i), np.zeros((1, 1)))
    assert len(kd.tree_builds()) == kd._BUILDS_KEPT and ("bound", 10) in kd.tree_builds()
    kd.clear_tree_cache()


def test_tree_cache_leaves_the_worker_below_its_spill_threshold(sync, monkeypatch):
    # A worker of 100 MB spills at 60 MB; 30 MB are taken besides the trees.
    fractions = {f"memory_{f}_fraction": v for f, v in (("target", 0.6), ("spill", 0.7), ("pause", 0.8))}
    worker = types.SimpleNamespace(memory_manager=types.SimpleNamespace(memory_limit=100e6, **fractions),
                                   periodic_callbacks={kd._WATCH: None})
    monkeypatch.setattr(kd, "_worker", lambda: worker)
    monkeypatch.setattr(kd, "_process_memory", lambda: 30_000_000 + kd._cache.nbytes)
    kd.clear_tree_cache()
    held = []
    with dask.config.set({"kelpwise.tree-cache.limit": "1GB"}):  # only the worker's memory limits it
        for i, rows in enumerate([200_000, 150_000, 150_000, 40_000]):  # trees of 10.4, 7.8, 7.8, 2.1 MB
            kd.kneighbors(np.random.default_rng(i).random((rows, 3)), P[:5, :3], 1)[0].compute()
            held.append(tuple(kd.tree_cache_info()[k] for k in ("trees", "bytes")))
    # A build needs twice its tree: the third one drops the first.
    assert held == [(1, 10400256), (2, 18200512), (2, 15600512), (3, 17680768)]
    monkeypatch.setattr(kd, "_process_memory", lambda: 50_000_000 + kd._cache.nbytes)  # 7.7 MB too much
    kd._cache.relieve(worker)
    assert kd.tree_cache_info()["bytes"] == 2080256 + 7800256
    kd.clear_tree_cache()


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator keeps freed memory")
def test_tree_cache_counts_what_the_trees_hold():
    # A fresh interpreter; freed build scratch goes back to the system.
    code = """if 1:
        import numpy as np, psutil, kelpwise.accel.dask as kd
        data, queries = np.random.default_rng(0).random((1_000_000, 3)), np.zeros((1, 3))
        kd.kneighbors(data, queries, 1)[0].compute(scheduler="synchronous")
        rss = psutil.Process().memory_info().rss
        kd.clear_tree_cache()
        freed = rss - psutil.Process().memory_info().rss
        print(kd.tree_cache_info()["bytes"] == 0, freed / kd._tree_nbytes(10**6, 3))
    """
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    emptied, ratio = out.split()
    assert emptied == "True" and 0.9 < float(ratio) < 1.1, out


# Every block's kernel lets go of the interpreter lock, so that the threads
# of Dask's threaded scheduler (or of a distributed worker) run blocks side
# by side.  These run before the cluster below starts: its worker processes,
# busy after the tests that fill them, would take the cores the probe counts on.
_big = np.random.default_rng(9).standard_normal((1500, 64))
_batch = np.random.default_rng(9).standard_normal((8, 64, 64, 32))


# Each makes a lazy result of about n units of work.
LOCK_FREE_BLOCKS = {
    "distances": lambda n: kd.pairwise_squared_euclidean(tiled(_big, n), _big).sum(axis=1),
    "kneighbors": lambda n: kd.kneighbors(tiled(_big, n).reshape(-1, 2)[:, :2], _big[:, :2], 4)[1],
    "maxpool_forward": lambda n: kd.maxpool_forward(tiled(_batch, n), 3, 2)[0],
}


@pytest.mark.parametrize("name", list(LOCK_FREE_BLOCKS))
def test_blocks_run_without_the_interpreter_lock(name):
    def make(n):
        lazy = LOCK_FREE_BLOCKS[name](n)
        return lambda: lazy.compute(scheduler="sync")
    assert lets_other_threads_run(make)


# ---------------------------------------------------------------------------
# On a LocalCluster of two worker processes


def test_cluster_results_match_one_call(client):
    rng = np.random.default_rng(11)
    X, Y = rng.random((301, 7)), rng.random((157, 7))
    Xd, Yd = chunked(X, (100, 1, 200)), chunked(Y, (50, 107))
    data, queries = rng.integers(0, 5, (400, 3)).astype(float), rng.integers(0, 5, (333, 3)).astype(float)
    qd = chunked(queries, (100, 33, 200))
    batch = rng.standard_normal((9, 8, 8, 3)).round(1)
    bd, grad = chunked(batch, (4, 5)), rng.standard_normal((9, 4, 4, 3))
    cols, pooled = kd.im2col(bd, 3, 3, 1, 1)[0], kd.maxpool_forward(bd, 2, 2)
    want_cols, want_pooled = _plenvo.im2col(batch, 3, 3, 1, 1)[0], _plenvo.maxpool_forward(batch, 2, 2)
    lazy = {m: getattr(kd, m)(Xd, Yd) for m in METRICS}
    want = {m: getattr(_tarsine, m)(X, Y) for m in METRICS}
    want_idx, want_dist = knn_model(data, queries, 6)
    lazy["tree"], want["tree"] = kd.kneighbors(data, qd, 6), (want_idx.astype(np.int64), want_dist)
    lazy["shards"], want["shards"] = kd.kneighbors(chunked(data, (150, 50, 200)), qd, 6), want["tree"]
    lazy["im2col"], want["im2col"] = cols, want_cols
    lazy["col2im"] = kd.col2im(cols, batch.shape, 3, 3, 1, 1)
    want["col2im"] = _plenvo.col2im(want_cols, batch.shape, 3, 3, 1, 1)
    lazy["maxpool_forward"], want["maxpool_forward"] = pooled, want_pooled
    lazy["maxpool_backward"] = kd.maxpool_backward(chunked(grad, (6, 3)), pooled[1], batch.shape, 2, 2)
    want["maxpool_backward"] = _plenvo.maxpool_backward(grad, want_pooled[1], batch.shape, 2, 2)
    got = client.gather(client.compute(lazy))
    for name, w in want.items():
        assert all(map(same, got[name], w)) if isinstance(w, tuple) else same(got[name], w), name
    y, labels = rng.random(301), rng.integers(0, 4, 301)
    Xc = chunked(X.T, (3, 4)).T
    assert kd.best_split_regressor(Xc, y, 3) == _vellard._best_split_regressor(X, y, 3)
    assert kd.best_split_classifier(Xc, labels, 3) == _vellard._best_split_classifier(X, labels, 3)


def test_cluster_builds_each_tree_once_per_worker(client):
    rng = np.random.default_rng(12)
    data, queries = rng.random((2000, 3)), chunked(rng.random((4000, 3)), 250)
    for d in (da.from_array(data, chunks=-1), chunked(data, (700, 1300))):
        client.compute(kd.kneighbors(d, queries, 4), sync=True)
        builds = client.run(kd.tree_builds)
        per_worker = [[v for key, v in b.items() if d.name in str(key)] for b in builds.values()]
        assert all(v == 1 for counts in per_worker for v in counts)  # 16 query blocks per tree
        assert sum(map(len, per_worker)) >= d.numblocks[0]


def die_once(block, flag):
    if not os.path.exists(flag):
        open(flag, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return block


def test_cluster_survives_a_worker_killed_mid_run(client, tmp_path):
    rng = np.random.default_rng(13)
    data, queries = rng.integers(0, 9, (3000, 3)).astype(float), rng.integers(0, 9, (2000, 3)).astype(float)
    flag = str(tmp_path / "killed")
    qd = chunked(queries, 200).map_blocks(die_once, flag, dtype=np.float64, meta=np.empty((0, 0)))
    idx, dist = client.compute(kd.kneighbors(chunked(data, (1000, 2000)), qd, 5), sync=True)
    assert os.path.exists(flag)
    want_idx, want_dist = knn_model(data, queries, 5)
    assert same(idx, want_idx.astype(np.int64)) and same(dist, want_dist)


def test_cluster_raises_the_kernel_error(client):
    f32 = M.astype(np.float32)
    with raised_by(_tarsine.pairwise_distances, f32, M):
        client.compute(kd.pairwise_distances(f32, M), sync=True)


@small_workers
def test_cluster_blocks_fit_the_workers(client):
    X = np.random.default_rng(14).random((7000, 4))  # a 392 MB distance matrix
    with dask.config.set({"array.chunk-size": "16MiB"}):
        nearest = kd.pairwise_distances(X, X).min(axis=1)
    assert same(client.compute(nearest).result(timeout=60), _tarsine.pairwise_distances(X, X).min(axis=1))


@small_workers
def test_cluster_splits_a_row_chunked_X_by_columns(client):
    X = da.random.default_rng(15).random((200_000, 96), chunks=(20_000, -1))  # 154 MB
    y = da.random.default_rng(16).integers(0, 3, 200_000, chunks=-1)
    want = _vellard._best_split_classifier(*dask.compute(X, y, scheduler="threads"), 1)
    X, y = client.persist([X, y])
    distributed.wait([X, y])
    client.rebalance()  # half of X on each worker
    with dask.config.set({"array.chunk-size": "16MiB"}):
        assert client.compute(kd.best_split_classifier(X, y, 1, compute=False)).result(timeout=60) == want


@small_workers
def test_cluster_tree_cache_stays_within_its_limit_on_each_worker(client):
    run = client.run
    info = run(kd.tree_cache_info)
    assert all(i["limit"] == WORKER_MEMORY // 4 for i in info.values())  # the default: a quarter of the worker's
    try:
        run(dask.config.set, {"kelpwise.tree-cache.limit": 0.2})  # read on the workers, not here
        one = next(iter(info))
        built_before = len(run(kd.tree_builds, workers=[one])[one])
        for i in range(10):  # a 34 MB tree each, all on one worker
            data = da.random.default_rng(i).random((660_000, 3), chunks=-1)
            idx, _ = client.compute(kd.kneighbors(data, np.zeros((5, 3)), 1), workers=one, allow_other_workers=False)
            assert idx.result(timeout=30).shape == (5, 1)
        info = run(kd.tree_cache_info)
        # The trees kept stay within the limit (the worker's memory watch may
        # have dropped some more, when freed memory was not yet given back).
        assert info[one]["bytes"] <= info[one]["limit"] == WORKER_MEMORY // 5, info
        assert all(i["limit"] == WORKER_MEMORY // 5 for i in info.values())
        assert len(run(kd.tree_builds, workers=[one])[one]) == built_before + 10
        assert run(lambda dask_worker: (dask_worker.status.name, kd._WATCH in dask_worker.periodic_callbacks),
                   workers=[one]) == {one: ("running", True)}
        run(kd.clear_tree_cache)
        assert not any(i["trees"] for i in run(kd.tree_cache_info).values())
    finally:
        run(dask.config.set, {"kelpwise.tree-cache.limit": kd._DEFAULT_LIMIT})
