"""Benchmark cases of the kelpwise.accel kernels and their timing.

`benchmark_cases` times each kernel against the best alternative installed
(NumPy always; SciPy, scikit-learn and PyTorch when present), and `run_case`
runs one case side by side in one process with every peer held to one
thread, checks our result bit for bit against the reference, and reports our
throughput (the work of the case over our time) and the SIMD path the kernel
takes.  Serves ``python -m kelpwise.accel`` and ``benchmarks/run.py``.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import importlib.util
import os
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from . import _machine, reference

# Throughput units: work per second times the factor.
UNITS = {
    "pair-cols/ns": 1e-9,  # n*m*d element pairs of a distance matrix
    "GB/s": 1e-9,  # bytes of the arguments read plus bytes of the results written, each once
    "cells/µs": 1e-6,  # n*m values of X swept by a split search
    "rows/µs": 1e-6,  # data rows put into a KD-tree
    "queries/µs": 1e-6,  # query rows answered by a KD-tree
}
UNITS_NOTE = (
    "throughput = work / our time: pair-cols = n·m·d for distances; GB/s = bytes read + bytes written, "
    "each once; cells = n·m values of X for split search; rows or query rows for the KD-tree"
)


@dataclass
class Bench:
    kernel: str
    size: str
    peer: str
    ours_s: float | None
    peer_s: float | None
    ratio: float | None  # peer time / our time: above 1, ours is faster
    exact: bool
    detail: str = ""
    samples: dict = field(default_factory=dict)
    throughput: float | None = None  # in `unit`, from our median time
    unit: str = ""
    simd_path: str = ""
    all_cores_s: float | None = None  # the same case through kelpwise.accel.parallel, every CPU
    cpus: int = 0  # the threads that used


@dataclass
class Case:
    """One timed comparison.  `prepare` builds the data lazily and returns
    (ours, peer or None, check), where check(result of ours) gives None when
    the result is exact, else what is wrong.  `work` in units of `unit` is
    what one run of ours does; `simd_path` is the path the kernel takes."""

    kernel: str
    size: str
    peer: str
    prepare: Callable[[], tuple[Callable, Callable | None, Callable]]
    work: float = 0.0
    unit: str = ""
    simd_path: str = "scalar"


def _sizes(quick: bool) -> dict:
    if quick:
        return {
            "dist": [(300, 200, 16)],
            "conv": [(4, 16, 8, 3, 1, 1), (4, 16, 8, 3, 2, 1)],
            "pool": [(4, 16, 16, 2, 2)],
            "split": (5000, 5),
            "knn": [(5000, 3, "normal", 500, 10)],
        }
    return {
        "dist": [(2000, 2000, 64), (4000, 4000, 8), (1000, 1000, 512)],
        "conv": [(32, 32, 16, 3, 1, 1), (32, 32, 16, 3, 2, 1), (32, 32, 16, 5, 1, 2)],
        "pool": [(32, 64, 32, 2, 2), (32, 64, 32, 3, 2), (32, 64, 32, 4, 4), (32, 64, 32, 5, 3)],
        "split": (100_000, 20),
        # two sets with ties on every axis (and repeated rows): rounded to
        # 0.1, and an integer grid
        "knn": [
            (100_000, 3, "normal", 5000, 10),
            (50_000, 8, "normal", 5000, 10),
            (100_000, 3, "rounded", 5000, 10),
            (200_000, 2, "grid", 5000, 10),
            (1_000_000, 3, "uniform", 5000, 10),
        ],
    }


def _distance_cases(T, sizes, has_scipy):
    for n, m, d in sizes:

        def data(n=n, m=m, d=d):
            rng = np.random.default_rng(n * 7 + d)
            return rng.standard_normal((n, d)), rng.standard_normal((m, d))

        for name, metric in (
            ("pairwise_squared_euclidean", "sqeuclidean"),
            ("pairwise_distances", "euclidean"),
            ("pairwise_manhattan_distances", "cityblock"),
        ):
            kind = reference.DISTANCE_KINDS[name]

            def prepare(name=name, metric=metric, kind=kind, data=data):
                X, Y = data()
                f = getattr(T, name)
                # The Euclidean result is checked as pow(., 0.5) of the squared sums.
                sum_kind = "sqeuclidean" if kind == "euclidean" else kind
                if has_scipy:
                    cdist = importlib.import_module("scipy.spatial.distance").cdist

                    def peer():
                        return cdist(X, Y, metric)

                    def sums():
                        return cdist(X, Y, "sqeuclidean" if kind == "euclidean" else metric)

                else:  # NumPy broadcasting, one column at a time (a full 3-D difference would not fit)

                    def peer():
                        return np.sqrt(sums()) if kind == "euclidean" else sums()

                    def sums():
                        return reference.distances(sum_kind, X, Y)

                def check(out):
                    if kind == "euclidean":
                        return reference.root_problem(out, sums())
                    return None if reference.bits_equal(out, sums()) else "differs from the column-order sum"

                return (lambda: f(X, Y)), peer, check

            peer_name = f"scipy cdist {metric}" if has_scipy else "numpy broadcasting"
            yield Case(name, f"{n}x{m}, d={d}", peer_name, prepare, n * m * d, "pair-cols/ns")


def _conv_cases(P, sizes):
    for N, HW, C, k, s, p in sizes:
        size = f"N={N} H=W={HW} C={C} k={k} s={s} p={p}"
        OH = (HW + 2 * p - k) // s + 1
        image_bytes, cols_bytes = 8 * N * HW * HW * C, 8 * N * OH * OH * k * k * C

        def prepare_im2col(N=N, HW=HW, C=C, k=k, s=s, p=p):
            img = np.random.default_rng(N + k + s).standard_normal((N, HW, HW, C))

            def check(r):
                cols, OH, OW = reference.im2col(img, k, k, s, p)
                return None if r[1:] == (OH, OW) and reference.bits_equal(r[0], cols) else "differs"

            return (lambda: P.im2col(img, k, k, s, p)), (lambda: reference.im2col(img, k, k, s, p)), check

        def prepare_col2im(N=N, HW=HW, C=C, k=k, s=s, p=p):
            shape = (N, HW, HW, C)
            rows = reference.im2col(np.zeros((N, HW, HW, 1)), k, k, s, p)[0].shape[0]
            g = np.random.default_rng(N + k + s).standard_normal((rows, k * k * C))
            return (
                (lambda: P.col2im(g, shape, k, k, s, p)),
                (lambda: reference.col2im(g, shape, k, k, s, p)),
                lambda r: None if reference.bits_equal(r, reference.col2im(g, shape, k, k, s, p)) else "differs",
            )

        work = image_bytes + cols_bytes  # one unfolds the image into cols, the other folds cols back
        yield Case("im2col", size, "numpy pad + sliding_window_view", prepare_im2col, work, "GB/s")
        yield Case("col2im", size, "numpy k² strided slice-adds", prepare_col2im, work, "GB/s")


def _np_maxpool(X, k, s):
    win = sliding_window_view(X, (k, k), axis=(1, 2))[:, ::s, ::s]
    flat = win.reshape(win.shape[:4] + (k * k,))
    arg = flat.argmax(-1)
    return np.take_along_axis(flat, arg[..., None], -1)[..., 0], arg


def _torch():
    import torch

    torch.set_num_threads(1)
    return torch


def _pool_cases(P, sizes, has_torch, vector_path):
    for N, HW, C, k, s in sizes:
        size = f"N={N} H=W={HW} C={C} k={k} s={s}"
        OH = (HW - k) // s + 1
        image_bytes, pooled_bytes = 8 * N * HW * HW * C, 8 * N * OH * OH * C
        # forward: the image read, maxima and indices written; backward: the
        # reverse (float64 and intp entries are both 8 bytes)
        work = image_bytes + 2 * pooled_bytes

        def data(N=N, HW=HW, C=C, k=k, s=s):
            img = np.random.default_rng(HW + k).standard_normal((N, HW, HW, C))
            arg = reference.maxpool_forward(img, k, s)[1]
            g = np.random.default_rng(k).standard_normal(arg.shape)
            return img, arg, g

        def forward_check(img, k, s):
            def check(r):
                want, warg = reference.maxpool_forward(img, k, s)
                return None if reference.bits_equal(r[0], want) and np.array_equal(r[1], warg) else "differs"

            return check

        def backward_check(g, arg, shape, k, s):
            return lambda r: (
                None if reference.bits_equal(r, reference.maxpool_backward(g, arg, shape, k, s)) else "differs"
            )

        def prepare_forward(data=data, k=k, s=s):
            img, _, _ = data()
            return (lambda: P.maxpool_forward(img, k, s)), (lambda: _np_maxpool(img, k, s)), forward_check(img, k, s)

        def prepare_backward(data=data, k=k, s=s):
            img, arg, g = data()
            return (
                (lambda: P.maxpool_backward(g, arg, img.shape, k, s)),
                (lambda: reference.maxpool_backward(g, arg, img.shape, k, s)),
                backward_check(g, arg, img.shape, k, s),
            )

        yield Case(
            "maxpool_forward", size, "numpy sliding_window_view + argmax", prepare_forward, work, "GB/s", vector_path
        )
        yield Case("maxpool_backward", size, "numpy scatter-add (add.at)", prepare_backward, work, "GB/s")
        if not has_torch:
            continue

        def channels_last(a):  # (N, H, W, C) data seen by torch as NCHW in channels-last memory
            return _torch().from_numpy(a).permute(0, 3, 1, 2)

        def prepare_torch_forward(data=data, k=k, s=s):
            img, _, _ = data()
            t, torch = channels_last(img), _torch()
            return (
                (lambda: P.maxpool_forward(img, k, s)),
                (lambda: torch.nn.functional.max_pool2d(t, k, s, return_indices=True)),
                forward_check(img, k, s),
            )

        def prepare_torch_backward(data=data, k=k, s=s):
            img, arg, g = data()
            t, tg, torch = channels_last(img), channels_last(g), _torch()
            _, tidx = torch.nn.functional.max_pool2d(t, k, s, return_indices=True)
            back = torch.ops.aten.max_pool2d_with_indices_backward
            return (
                (lambda: P.maxpool_backward(g, arg, img.shape, k, s)),
                (lambda: back(tg, t, [k, k], [s, s], [0, 0], [1, 1], False, tidx)),
                backward_check(g, arg, img.shape, k, s),
            )

        yield Case(
            "maxpool_forward", size, "torch max_pool2d, channels last", prepare_torch_forward, work, "GB/s", vector_path
        )
        yield Case("maxpool_backward", size, "torch max_pool2d backward", prepare_torch_backward, work, "GB/s")


def _split_cases(V, size, has_sklearn):
    n, m = size
    for name, regression in (("_best_split_classifier", False), ("_best_split_regressor", True)):

        def prepare(name=name, regression=regression):
            rng = np.random.default_rng(n + m)
            X = rng.standard_normal((n, m))
            y = X[:, 0] * 2 + rng.standard_normal(n) if regression else rng.integers(0, 3, n)
            f = getattr(V, name)
            if has_sklearn:
                sk_tree = importlib.import_module("sklearn.tree")
                est = (sk_tree.DecisionTreeRegressor if regression else sk_tree.DecisionTreeClassifier)(max_depth=1)

                def peer():
                    return est.fit(X, y)

            else:

                def peer():
                    return reference.best_split_vectorised(X, y, 1, regression)

            want = reference.best_split_vectorised(X, y, 1, regression)
            return (lambda: f(X, y, 1)), peer, lambda r: None if reference.same_split(r, want) else f"{r} != {want}"

        peer_name = (
            f"sklearn DecisionTree{'Regressor' if regression else 'Classifier'}(max_depth=1)"
            if has_sklearn
            else "numpy argsort + cumsum"
        )
        size_text = f"n={n} m={m}" + ("" if regression else " (3 classes)")
        yield Case(name, size_text, peer_name, prepare, n * m, "cells/µs")


def _np_knn(X, Q, k):
    """Brute force: every squared distance, then the k smallest per row
    (query rows in chunks of about 32 MB of differences)."""
    out = np.empty((len(Q), k), dtype=np.intp)
    step = max(1, 4_000_000 // max(1, X.size))
    for lo in range(0, len(Q), step):
        q = Q[lo : lo + step]
        d = ((q[:, None, :] - X[None, :, :]) ** 2).sum(-1)
        part = np.argpartition(d, k - 1, axis=1)[:, :k]
        out[lo : lo + step] = np.take_along_axis(part, np.argsort(np.take_along_axis(d, part, 1), 1), 1)
    return out


def _knn_data(n, d, kind, nq):
    """n rows of `kind` (standard normal, normal rounded to 0.1, integers
    0..299, uniform on [0, 1)) and nq queries near data rows (a row plus
    normal noise of scale 0.01)."""
    rng = np.random.default_rng(n + d)
    if kind == "grid":
        X = rng.integers(0, 300, size=(n, d)).astype(np.float64)
    elif kind == "uniform":
        X = rng.random((n, d))
    else:
        X = rng.standard_normal((n, d))
        if kind == "rounded":
            X = np.round(X, 1)
    Q = X[rng.integers(0, n, size=nq)] + rng.normal(scale=0.01, size=(nq, d))
    return X, Q


def _knn_cases(K, sizes, has_scipy):
    for n, d, kind, nq, k in sizes:
        data = functools.partial(_knn_data, n, d, kind, nq)

        def prepare_build(data=data):
            X, Q = data()
            spatial = importlib.import_module("scipy.spatial") if has_scipy else None
            peer = (lambda: spatial.cKDTree(X, leafsize=16)) if spatial is not None else None
            return (
                (lambda: K.KDTree(X)),
                peer,
                lambda tree: reference.knn_problem(X, Q[:50], 5, *tree.query(Q[:50], 5)),
            )

        def prepare_query(data=data, k=k):
            X, Q = data()
            spatial = importlib.import_module("scipy.spatial") if has_scipy else None
            if spatial is None:
                Q = Q[:500]  # brute force is too slow for all of them
            tree = K.KDTree(X)
            if spatial is not None:
                ck = spatial.cKDTree(X, leafsize=16)

                def peer():
                    return ck.query(Q, k, workers=1)

            else:

                def peer():
                    return _np_knn(X, Q, k)

            return (
                (lambda: tree.query(Q, k)),
                peer,
                lambda r: reference.knn_problem(X, Q[:100], k, r[0][:100], r[1][:100]),
            )

        q = nq if has_scipy else min(nq, 500)
        build_peer = "scipy cKDTree(leafsize=16)" if has_scipy else "none (SciPy not installed)"
        yield Case("KDTree build", f"n={n} d={d} {kind}", build_peer, prepare_build, n, "rows/µs")
        query_peer = "scipy cKDTree.query(workers=1)" if has_scipy else "numpy brute force"
        yield Case("KDTree.query", f"n={n} d={d} {kind} q={q} k={k}", query_peer, prepare_query, q, "queries/µs")


def _installed(name: str) -> bool:
    """Whether a peer can be imported, without importing it yet (SciPy,
    scikit-learn and PyTorch take seconds to import)."""
    return importlib.util.find_spec(name) is not None


def benchmark_cases(quick: bool, mods: dict, vector_path: str | None = None) -> list[Case]:
    """The timed comparisons for the modules that imported.  Data, peers and
    references are built by each case's `prepare`, when it runs.
    `vector_path` is the name of the path the kernels dispatch to (by
    default the one the native dispatch reports)."""
    if vector_path is None:
        vector_path = _machine.native_path()[0]
    sizes = _sizes(quick)
    cases: list[Case] = []
    if "_tarsine" in mods:
        for case in _distance_cases(mods["_tarsine"], sizes["dist"], _installed("scipy")):
            case.simd_path = vector_path
            cases.append(case)
    if "_plenvo" in mods:
        cases += _conv_cases(mods["_plenvo"], sizes["conv"])
        cases += _pool_cases(mods["_plenvo"], sizes["pool"], _installed("torch"), vector_path)
    if "_vellard" in mods:
        cases += _split_cases(mods["_vellard"], sizes["split"], _installed("sklearn"))
    if "_ostrim" in mods:
        build_vector = _machine.native_path()[1] >= 4  # the build's sorts compare keys per vector from 4 lanes on
        for case in _knn_cases(mods["_ostrim"], sizes["knn"], _installed("scipy")):
            if case.kernel == "KDTree.query" or build_vector:  # the query scores buckets per vector
                case.simd_path = vector_path
            cases.append(case)
    return cases


class _AllCores:
    """Stands in for a module in the cases: its functions are those of
    kelpwise.accel.parallel, on every CPU."""

    def __init__(self, **functions):
        self.__dict__.update(functions)


def all_core_modules(mods: dict) -> dict:
    """The modules of `mods` replaced by kelpwise.accel.parallel, for
    `benchmark_cases`; empty when it does not import."""
    try:
        par = importlib.import_module("kelpwise.accel.parallel")
    except Exception:
        return {}
    names = {
        "_tarsine": ("pairwise_squared_euclidean", "pairwise_distances", "pairwise_manhattan_distances"),
        "_plenvo": ("im2col", "col2im", "maxpool_forward", "maxpool_backward"),
    }
    out = {m: _AllCores(**{f: getattr(par, f) for f in fs}) for m, fs in names.items() if m in mods}
    if "_vellard" in mods:
        out["_vellard"] = _AllCores(
            _best_split_classifier=par.best_split_classifier, _best_split_regressor=par.best_split_regressor
        )
    if "_ostrim" in mods:
        out["_ostrim"] = _AllCores(KDTree=par.KDTree)
    return out


def _time_pair(ours, peer, repeats, all_cores=None, clock=time.perf_counter):
    """Alternate ours, the peer and ours on every CPU so that all see the
    same machine load."""
    samples = {"ours": [], "peer": [], "all_cores": []}
    for _ in range(repeats):
        for key, fn in (("ours", ours), ("peer", peer), ("all_cores", all_cores)):
            if fn is None:
                continue
            t0 = clock()
            fn()
            samples[key].append(clock() - t0)
    return samples


def single_thread():
    """Hold the BLAS and OpenMP pools loaded so far to one thread."""
    try:
        ctl = importlib.import_module("threadpoolctl")
    except Exception:
        return contextlib.nullcontext()
    return ctl.threadpool_limits(1)


def throughput(case: Case, seconds: float | None) -> float | None:
    if not seconds or not case.work or case.unit not in UNITS:
        return None
    return case.work / seconds * UNITS[case.unit]


def format_throughput(value: float | None, unit: str) -> str:
    return "-" if value is None else f"{value:.3g} {unit}"


def run_case(case: Case, repeats: int, all_cores: Case | None = None, clock=time.perf_counter) -> Bench:
    """Prepare, check and time one case (by `clock`: wall time, or
    `time.process_time` for the CPU time of this process on a busy machine),
    and `all_cores`, the same case on every CPU, when given.  A failure of
    ours (or of its reference) makes the case inexact; a failure of the peer
    is reported in `detail` and leaves the peer untimed."""
    extra = {"unit": case.unit, "simd_path": case.simd_path}
    try:
        ours, peer, check = case.prepare()
        problem = check(ours())  # also the warm-up run of ours
        wide = None
        if all_cores is not None:
            wide, _, wide_check = all_cores.prepare()
            wide_problem = wide_check(wide())
            if wide_problem:
                problem = (problem + "; " if problem else "") + f"all cores: {wide_problem}"
    except Exception as e:
        return Bench(case.kernel, case.size, case.peer, None, None, None, False, f"{type(e).__name__}: {e}", **extra)
    detail = problem or ""
    # The peer's own libraries are loaded by now (prepare imports them), so
    # their thread pools are held too.
    with single_thread():
        if peer is not None:
            try:
                peer()
            except Exception as e:
                detail = (detail + "; " if detail else "") + f"peer failed: {type(e).__name__}: {e}"
                peer = None
        samples = _time_pair(ours, peer, repeats, wide, clock)
    t_ours = statistics.median(samples["ours"])
    if wide is not None:
        extra["all_cores_s"] = statistics.median(samples["all_cores"])
        extra["cpus"] = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    t_peer = statistics.median(samples["peer"]) if samples["peer"] else None
    ratio = t_peer / t_ours if t_peer is not None and t_ours > 0 else None
    return Bench(
        case.kernel,
        case.size,
        case.peer,
        t_ours,
        t_peer,
        ratio,
        problem is None,
        detail,
        samples,
        throughput(case, t_ours),
        **extra,
    )
