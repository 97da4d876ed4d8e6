"""Self-check and benchmark of the kelpwise.accel kernels.

`run_checks` compares every function of the four modules with a plain NumPy
reference on built-in synthetic data (NaN, infinities, ties, non-contiguous
layouts, sizes that are not multiples of any vector width).  `run_benchmarks`
times each kernel against the best alternative installed (NumPy always;
SciPy, scikit-learn and PyTorch when present), side by side in one process,
single-threaded.  Both are used by ``python -m kelpwise.accel`` and by the
harness in ``benchmarks/``.
"""

from __future__ import annotations

import contextlib
import importlib
import math
import platform
import statistics
import time
from dataclasses import asdict, dataclass, field
from typing import Callable

import numpy as np

# --------------------------------------------------------------------------
# Plain NumPy references of the kernels (the stated algorithms, vectorised
# only across independent outputs, so every sum keeps its order).

_pow_half = np.frompyfunc(lambda a: math.pow(a, 0.5), 1, 1)


def ref_distances(kind: str, X: np.ndarray, Y: np.ndarray) -> np.ndarray:
    acc = np.zeros((X.shape[0], Y.shape[0]))
    with np.errstate(all="ignore"):
        for k in range(X.shape[1]):
            diff = X[:, k, None] - Y[None, :, k]
            acc = acc + (np.abs(diff) if kind == "manhattan" else diff * diff)
    if kind == "euclidean":
        acc = _pow_half(acc).astype(np.float64)
    return acc


def ref_im2col(X, kh, kw, s, p):
    from numpy.lib.stride_tricks import sliding_window_view

    Xp = np.pad(X, ((0, 0), (p, p), (p, p), (0, 0))) if p > 0 else X
    N, _, _, C = X.shape
    win = sliding_window_view(Xp, (kh, kw), axis=(1, 2))[:, ::s, ::s]  # (N, OH, OW, C, kh, kw)
    OH, OW = win.shape[1], win.shape[2]
    cols = np.ascontiguousarray(win.transpose(0, 1, 2, 4, 5, 3)).reshape(N * OH * OW, kh * kw * C)
    return cols, OH, OW


def ref_col2im(cols, shape, kh, kw, s, p):
    """k² strided slice-adds; windows are visited in decreasing (i, j) so that
    each element receives its contributions in increasing row order."""
    N, H, W, C = shape
    Hp, Wp = H + 2 * p, W + 2 * p
    OH, OW = (Hp - kh) // s + 1, (Wp - kw) // s + 1
    d = np.zeros((N, Hp, Wp, C))
    c6 = cols.reshape(N, OH, OW, kh, kw, C)
    for i in range(kh - 1, -1, -1):
        for j in range(kw - 1, -1, -1):
            d[:, i:i + s * (OH - 1) + 1:s, j:j + s * (OW - 1) + 1:s, :] += c6[:, :, :, i, j, :]
    return d[:, p:-p, p:-p, :] if p > 0 else d


def ref_maxpool_forward(X, k, s):
    from numpy.lib.stride_tricks import sliding_window_view

    win = sliding_window_view(X, (k, k), axis=(1, 2))[:, ::s, ::s]  # (N, OH, OW, C, k, k)
    flat = win.reshape(win.shape[:4] + (k * k,))
    best = flat[..., 0].copy()
    idx = np.zeros(best.shape, np.intp)
    for t in range(1, k * k):
        gt = flat[..., t] > best
        best = np.where(gt, flat[..., t], best)
        idx = np.where(gt, t, idx)
    return best, idx


def ref_maxpool_backward(grad, argmax, shape, k, s):
    N, OH, OW, C = grad.shape
    n, oh, ow, c = np.indices(grad.shape)
    rows = oh * s + argmax // k
    cols = ow * s + argmax % k
    dX = np.zeros(shape)
    np.add.at(dX, (n.ravel(), rows.ravel(), cols.ravel(), c.ravel()), grad.ravel())
    return dX


def ref_split(X, y, msl, regression):
    """The best-split search, step by step in plain Python."""
    n, m = X.shape
    tot = float(n)
    if regression:
        s = s2 = 0.0
        for i in range(n):
            s += float(y[i])
            s2 += float(y[i]) * float(y[i])
        with np.errstate(all="ignore"):
            mean = np.float64(s) / tot
            pure = np.float64(s2) / tot - mean * mean < 1e-15
    else:
        classes = np.unique(y)
        idx = {int(c): i for i, c in enumerate(classes)}
        total = [0.0] * len(classes)
        for i in range(n):
            total[idx[int(y[i])]] += 1.0
        base = 1.0
        for t in total:
            p = t / tot if tot else math.nan
            base -= p * p
        pure = base < 1e-15
    if pure:
        return (None, None, None)
    best = (-1, 0.0, 1e308)
    for j in range(m):
        order = np.argsort(X[:, j])
        ln = ls = ls2 = 0.0
        left = [0.0] * (0 if regression else len(total))
        for i in range(n - 1):
            k = order[i]
            if regression:
                ls += float(y[k])
                ls2 += float(y[k]) * float(y[k])
            else:
                left[idx[int(y[k])]] += 1.0
            cur, nxt = float(X[k, j]), float(X[order[i + 1], j])
            ln += 1.0
            if cur == nxt:
                continue
            rn = tot - ln
            if ln < msl or rn < msl:
                continue
            if regression:
                lm, rm = ls / ln, (s - ls) / rn
                lv, rv = ls2 / ln - lm * lm, (s2 - ls2) / rn - rm * rm
            else:
                lv = rv = 1.0
                for a, t in zip(left, total):
                    lv -= (a / ln) * (a / ln)
                for a, t in zip(left, total):
                    rv -= ((t - a) / rn) * ((t - a) / rn)
            score = (ln / tot) * lv + (rn / tot) * rv
            if score < best[2]:
                best = (j, (cur + nxt) * 0.5, score)
    return (None, None, None) if best[0] == -1 else best


def brute_knn_check(X, Q, k, idx, dst) -> str | None:
    """None when every row holds the k smallest strict column-order squared
    distances, sorted, with indices consistent with their distances."""
    acc = np.zeros((len(Q), len(X)))
    for c in range(X.shape[1]):
        diff = Q[:, c, None] - X[None, :, c]
        acc = acc + diff * diff
    k = min(k, len(X))
    if idx.shape != (len(Q), k) or idx.dtype != np.int32:
        return f"result shape {idx.shape} {idx.dtype}"
    want = np.sort(acc, axis=1)[:, :k]
    if not _bits_equal(dst, want):
        return "distances differ from brute force"
    if not _bits_equal(np.take_along_axis(acc, idx.astype(np.intp), axis=1), dst):
        return "indices inconsistent with distances"
    if any(len(set(r)) != k for r in idx.tolist()):
        return "repeated index"
    return None


def _bits_equal(a, b) -> bool:
    a = np.array(a, dtype=np.float64)
    b = np.array(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    a[np.isnan(a)] = np.nan
    b[np.isnan(b)] = np.nan
    return bool(np.array_equal(a.view(np.int64), b.view(np.int64)))


def _same_split(a, b) -> bool:
    if a[0] is None or b[0] is None:
        return tuple(a) == tuple(b)
    return a[0] == b[0] and _bits_equal(a[1:], b[1:])


# --------------------------------------------------------------------------
# Self-check


@dataclass
class Check:
    function: str
    exact: bool
    detail: str = ""


def _modules():
    names = ("_tarsine", "_plenvo", "_vellard", "_ostrim")
    return {n: importlib.import_module("kelpwise.accel." + n) for n in names}


def _edgy(rng, shape):
    a = rng.standard_normal(shape)
    flat = a.reshape(-1)
    if flat.size >= 8:
        flat[rng.choice(flat.size, 4, replace=False)] = [np.nan, np.inf, -np.inf, -0.0]
    return a


def run_checks(step: Callable[[str], None] = lambda _: None) -> list[Check]:
    try:
        mods = _modules()
    except ImportError as e:
        return [Check("import", False, str(e))]
    T, P, V, O = mods["_tarsine"], mods["_plenvo"], mods["_vellard"], mods["_ostrim"]
    rng = np.random.default_rng(2026)
    out: list[Check] = []

    def record(name, fn):
        step(name)
        try:
            problem = fn()
        except Exception as e:  # a crash of the check is a failure too
            problem = f"{type(e).__name__}: {e}"
        out.append(Check(name, problem is None, problem or ""))

    X = _edgy(rng, (37, 13))
    Y = np.asfortranarray(_edgy(rng, (29, 15)))[::-1]
    for name, kind in (("pairwise_squared_euclidean", "sqeuclidean"), ("pairwise_distances", "euclidean"),
                       ("pairwise_manhattan_distances", "manhattan")):
        f = getattr(T, name)
        record(name, lambda f=f, kind=kind: None if _bits_equal(f(X, Y), ref_distances(kind, X, Y[:, :13]))
               else "differs from the strict column-order reference")

    img = _edgy(rng, (2, 9, 7, 5))
    img_f = np.asfortranarray(img)

    def check_im2col():
        for kh, kw, s, p in ((3, 3, 1, 1), (3, 2, 2, 1), (5, 5, 1, 2), (2, 2, 2, 0), (2, 3, 1, -1)):
            cols, oh, ow = P.im2col(img_f, kh, kw, s, p)
            # a negative pad unfolds only the top-left (H + 2p) x (W + 2p) part
            part = img if p >= 0 else img[:, :img.shape[1] + 2 * p, :img.shape[2] + 2 * p]
            want, woh, wow = ref_im2col(part, kh, kw, s, max(p, 0))
            if (oh, ow) != (woh, wow) or not _bits_equal(cols, want):
                return f"kh={kh} kw={kw} stride={s} pad={p}"
        return None

    def check_col2im():
        for kh, kw, s, p in ((3, 3, 1, 1), (3, 2, 2, 1), (5, 5, 1, 2), (2, 2, 2, 0)):
            rows = ref_im2col(img, kh, kw, s, p)[0].shape
            g = rng.standard_normal(rows)
            if not _bits_equal(P.col2im(g.T.copy().T, img.shape, kh, kw, s, p),
                               ref_col2im(g, img.shape, kh, kw, s, p)):
                return f"kh={kh} kw={kw} stride={s} pad={p}"
        return None

    pool_in = np.round(_edgy(rng, (2, 11, 10, 7)), 0)  # many ties

    def check_forward():
        for k, s in ((2, 2), (3, 2), (3, 1)):
            out_, arg = P.maxpool_forward(pool_in[:, ::-1], k, s)
            want, warg = ref_maxpool_forward(pool_in[:, ::-1], k, s)
            if not _bits_equal(out_, want) or not np.array_equal(arg, warg):
                return f"k={k} stride={s}"
        return None

    def check_backward():
        for k, s in ((2, 2), (3, 2), (3, 1)):
            _, arg = P.maxpool_forward(pool_in, k, s)
            g = rng.standard_normal(arg.shape)
            if not _bits_equal(P.maxpool_backward(g, arg, pool_in.shape, k, s),
                               ref_maxpool_backward(g, arg, pool_in.shape, k, s)):
                return f"k={k} stride={s}"
        return None

    record("im2col", check_im2col)
    record("col2im", check_col2im)
    record("maxpool_forward", check_forward)
    record("maxpool_backward", check_backward)

    def check_split(regression):
        f = V._best_split_regressor if regression else V._best_split_classifier
        for trial in range(6):
            Xs = np.round(rng.standard_normal((60 + trial, 4)), 1)
            if trial % 2:
                Xs[rng.integers(0, len(Xs), 3), 1] = np.nan
            ys = (np.round(rng.standard_normal(len(Xs)), 1) if regression
                  else rng.integers(-2, 3, len(Xs)))
            for msl in (1, 3):
                got, want = f(np.asfortranarray(Xs), ys, msl), ref_split(Xs, ys, msl, regression)
                if not _same_split(got, want):
                    return f"{got} != {want}"
        return None

    record("_best_split_classifier", lambda: check_split(False))
    record("_best_split_regressor", lambda: check_split(True))

    def check_kdtree():
        for n, d, k, grid in ((200, 3, 7, False), (150, 2, 10, True), (60, 8, 5, False), (5, 2, 9, False)):
            Xk = (rng.integers(-3, 4, (n, d)).astype(float) if grid else rng.standard_normal((n, d)))
            Qk = (rng.integers(-3, 4, (40, d)).astype(float) if grid else rng.standard_normal((40, d)))
            idx, dst = O.KDTree(Xk).query(Qk, k)
            problem = brute_knn_check(Xk, Qk, k, idx, dst)
            if problem:
                return f"n={n} d={d} k={k}: {problem}"
        return None

    record("KDTree.query", check_kdtree)
    return out


# --------------------------------------------------------------------------
# Benchmarks


@dataclass
class Bench:
    kernel: str
    size: str
    ours_s: float
    peer: str
    peer_s: float | None
    ratio: float | None
    exact: bool | None
    samples: dict = field(default_factory=dict)


def _median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), times


def _optional(name):
    try:
        return importlib.import_module(name)
    except Exception:
        return None


def _simd_path(flags) -> str:
    """The distance kernels dispatch at run time on the same CPU features."""
    if "avx512f" in flags:
        return "distances: AVX-512 (8 pairs per vector); other kernels: scalar, compiler-vectorised"
    if "avx2" in flags:
        return "distances: AVX2 (4 pairs per vector); other kernels: scalar, compiler-vectorised"
    return "distances: SSE2 (2 pairs per vector); other kernels: scalar"


def cpu_info() -> dict:
    flags = set()
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("flags") and not flags:
                    flags = set(line.split(":", 1)[1].split())
                elif line.startswith("model name") and model in ("", platform.machine()):
                    model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    wanted = ["sse4_2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512vl"]
    return {"model": model, "features": [f for f in wanted if f in flags],
            "simd_path": _simd_path(flags)}


def benchmark_cases(quick: bool):
    """(kernel, size, ours, peer name, peer, exactness check) tuples, built lazily."""
    mods = _modules()
    T, P, V, O = mods["_tarsine"], mods["_plenvo"], mods["_vellard"], mods["_ostrim"]
    rng = np.random.default_rng(7)
    scipy_dist = _optional("scipy.spatial.distance")
    scipy_spatial = _optional("scipy.spatial")
    sk_tree = _optional("sklearn.tree")
    torch = _optional("torch")
    if torch is not None:
        torch.set_num_threads(1)
    cases = []

    dist_sizes = [(60, 50, 16)] if quick else [(2000, 2000, 64), (4000, 4000, 8), (1000, 1000, 512)]
    for n, m, d in dist_sizes:
        X, Y = rng.standard_normal((n, d)), rng.standard_normal((m, d))
        for name, metric in (("pairwise_squared_euclidean", "sqeuclidean"), ("pairwise_distances", "euclidean"),
                             ("pairwise_manhattan_distances", "cityblock")):
            f = getattr(T, name)
            if scipy_dist is not None:
                peer_name, peer = f"scipy cdist({metric})", (lambda X=X, Y=Y, metric=metric:
                                                           scipy_dist.cdist(X, Y, metric))
            else:
                peer_name, peer = "numpy broadcasting", (lambda X=X, Y=Y, metric=metric: _np_dist(metric, X, Y))

            def exact(out, X=X, Y=Y, metric=metric):
                if scipy_dist is not None and metric != "euclidean":
                    return _bits_equal(out, scipy_dist.cdist(X, Y, metric))
                if scipy_dist is not None:
                    return _bits_equal(out, _pow_half(scipy_dist.cdist(X, Y, "sqeuclidean")).astype(np.float64))
                return _bits_equal(out, ref_distances({"cityblock": "manhattan"}.get(metric, metric), X, Y))

            cases.append((name, f"{n}x{m}, d={d}", lambda f=f, X=X, Y=Y: f(X, Y), peer_name, peer, exact))

    conv = [(4, 16, 8, 3, 1, 1)] if quick else [(32, 32, 16, 3, 1, 1), (32, 32, 16, 3, 2, 1), (32, 32, 16, 5, 1, 2)]
    for N, HW, C, k, s, p in conv:
        img = rng.standard_normal((N, HW, HW, C))
        size = f"N={N} H=W={HW} C={C} k={k} s={s} p={p}"
        cols, _, _ = P.im2col(img, k, k, s, p)
        cases.append(("im2col", size, lambda img=img, k=k, s=s, p=p: P.im2col(img, k, k, s, p)[0],
                      "numpy pad+sliding_window_view", lambda img=img, k=k, s=s, p=p: ref_im2col(img, k, k, s, p)[0],
                      lambda out, img=img, k=k, s=s, p=p: _bits_equal(out, ref_im2col(img, k, k, s, p)[0])))
        g = rng.standard_normal(cols.shape)
        cases.append(("col2im", size, lambda g=g, sh=img.shape, k=k, s=s, p=p: P.col2im(g, sh, k, k, s, p),
                      "numpy k² slice-adds", lambda g=g, sh=img.shape, k=k, s=s, p=p: ref_col2im(g, sh, k, k, s, p),
                      lambda out, g=g, sh=img.shape, k=k, s=s, p=p: _bits_equal(out, ref_col2im(g, sh, k, k, s, p))))

    pools = [(4, 16, 8, 2, 2)] if quick else [(32, 64, 32, 2, 2), (32, 64, 32, 3, 2)]
    for N, HW, C, k, s in pools:
        img = rng.standard_normal((N, HW, HW, C))
        size = f"N={N} H=W={HW} C={C} k={k} s={s}"
        out, arg = P.maxpool_forward(img, k, s)
        g = rng.standard_normal(out.shape)
        cases.append(("maxpool_forward", size, lambda img=img, k=k, s=s: P.maxpool_forward(img, k, s)[0],
                      "numpy sliding_window_view+argmax", lambda img=img, k=k, s=s: _np_pool(img, k, s),
                      lambda o, img=img, k=k, s=s: _bits_equal(o, ref_maxpool_forward(img, k, s)[0])))
        cases.append(("maxpool_backward", size,
                      lambda g=g, arg=arg, sh=img.shape, k=k, s=s: P.maxpool_backward(g, arg, sh, k, s),
                      "numpy add.at scatter",
                      lambda g=g, arg=arg, sh=img.shape, k=k, s=s: ref_maxpool_backward(g, arg, sh, k, s),
                      lambda o, g=g, arg=arg, sh=img.shape, k=k, s=s:
                      _bits_equal(o, ref_maxpool_backward(g, arg, sh, k, s))))
        if torch is not None:
            timg = torch.from_numpy(img).permute(0, 3, 1, 2).contiguous(memory_format=torch.channels_last)

            def t_fwd(timg=timg, k=k, s=s):
                return torch.nn.functional.max_pool2d(timg, k, s, return_indices=True)

            tout, tidx = t_fwd()
            tg = torch.from_numpy(g).permute(0, 3, 1, 2).contiguous(memory_format=torch.channels_last)
            cases.append(("maxpool_forward", size, lambda img=img, k=k, s=s: P.maxpool_forward(img, k, s)[0],
                          "torch max_pool2d (channels_last)", t_fwd,
                          lambda o, tout=tout: _bits_equal(o, tout.permute(0, 2, 3, 1).numpy())))
            cases.append(("maxpool_backward", size,
                          lambda g=g, arg=arg, sh=img.shape, k=k, s=s: P.maxpool_backward(g, arg, sh, k, s),
                          "torch max_pool2d backward",
                          lambda tg=tg, tidx=tidx, timg=timg, k=k, s=s:
                          torch.ops.aten.max_pool2d_with_indices_backward(
                              tg, timg, [k, k], [s, s], [0, 0], [1, 1], False, tidx),
                          None))

    n, m = (3000, 5) if quick else (100_000, 20)
    Xs = rng.standard_normal((n, m))
    yc = rng.integers(0, 3, n)
    yr = Xs[:, 0] * 2 + rng.standard_normal(n)
    sub = slice(0, 400)
    for name, y, regression in (("_best_split_classifier", yc, False), ("_best_split_regressor", yr, True)):
        f = getattr(V, name)
        if sk_tree is not None:
            est = (sk_tree.DecisionTreeRegressor if regression else sk_tree.DecisionTreeClassifier)(max_depth=1)
            peer_name, peer = "sklearn DecisionTree(max_depth=1).fit", (lambda est=est, y=y: est.fit(Xs, y))
        else:
            peer_name, peer = "numpy sort+cumsum", (lambda y=y, r=regression: _np_split(Xs, y, r))
        cases.append((name, f"n={n} m={m}", lambda f=f, y=y: f(Xs, y, 1), peer_name, peer,
                      lambda _, f=f, y=y, r=regression: _same_split(f(Xs[sub], y[sub], 1),
                                                                   ref_split(Xs[sub], y[sub], 1, r))))

    knn = [(2000, 3, 300, 10)] if quick else [(100_000, 3, 10_000, 10), (50_000, 8, 5_000, 10)]
    for n, d, nq, k in knn:
        Xk, Qk = rng.standard_normal((n, d)), rng.standard_normal((nq, d))
        tree = O.KDTree(Xk)
        size = f"n={n} d={d} q={nq} k={k}"
        if scipy_spatial is not None:
            ck = scipy_spatial.cKDTree(Xk, leafsize=16)
            build_peer = ("scipy cKDTree(leafsize=16)", lambda Xk=Xk: scipy_spatial.cKDTree(Xk, leafsize=16))
            query_peer = ("scipy cKDTree.query", lambda ck=ck, Qk=Qk, k=k: ck.query(Qk, k, workers=1))
        else:
            build_peer = ("numpy argsort", lambda Xk=Xk: np.argsort(Xk, axis=0))
            query_peer = ("numpy brute force", lambda Xk=Xk, Qk=Qk[:200], k=k: _np_knn(Xk, Qk, k))
        cases.append(("KDTree build", size, lambda Xk=Xk: O.KDTree(Xk), *build_peer, None))
        cases.append(("KDTree.query", size, lambda tree=tree, Qk=Qk, k=k: tree.query(Qk, k), *query_peer,
                      lambda r, Xk=Xk, Qk=Qk, k=k: brute_knn_check(Xk, Qk[:100], k, r[0][:100], r[1][:100]) is None))
    return cases


def _np_dist(metric, X, Y):
    diff = X[:, None, :] - Y[None, :, :]
    if metric == "cityblock":
        return np.abs(diff).sum(-1)
    sq = (diff * diff).sum(-1)
    return np.sqrt(sq) if metric == "euclidean" else sq


def _np_pool(img, k, s):
    from numpy.lib.stride_tricks import sliding_window_view

    win = sliding_window_view(img, (k, k), axis=(1, 2))[:, ::s, ::s]
    flat = win.reshape(win.shape[:4] + (k * k,))
    arg = flat.argmax(-1)
    return np.take_along_axis(flat, arg[..., None], -1)[..., 0]


def _np_split(X, y, regression):
    best = None
    for j in range(X.shape[1]):
        order = np.argsort(X[:, j])
        ys = y[order].astype(float)
        if regression:
            c1, c2 = np.cumsum(ys), np.cumsum(ys * ys)
            n = np.arange(1, len(ys) + 1)
            score = c2 - c1 * c1 / n
        else:
            score = np.cumsum(ys)
        cand = score[:-1].argmin()
        best = (j, cand) if best is None else best
    return best


def _np_knn(X, Q, k):
    d = ((Q[:, None, :] - X[None, :, :]) ** 2).sum(-1)
    return np.argpartition(d, k, axis=1)[:, :k]


def run_benchmarks(quick: bool, repeats: int | None = None,
                   step: Callable[[str], None] = lambda _: None) -> list[Bench]:
    ctl = _optional("threadpoolctl")
    single_thread = ctl.threadpool_limits(1) if ctl is not None else contextlib.nullcontext()
    repeats = repeats or (3 if quick else 5)
    results = []
    with single_thread:
        for kernel, size, ours, peer_name, peer, exact in benchmark_cases(quick):
            step(f"{kernel} {size}")
            result = ours()
            ok = None if exact is None else bool(exact(result))
            t_ours, s_ours = _median_time(ours, repeats)
            t_peer, s_peer = _median_time(peer, repeats)
            results.append(Bench(kernel, size, t_ours, peer_name, t_peer, t_peer / t_ours if t_ours else None, ok,
                                 {"ours": s_ours, "peer": s_peer}))
    return results


def as_json(checks, benches, cpu) -> dict:
    return {
        "ok": all(c.exact for c in checks) and all(b.exact is not False for b in benches),
        "cpu": cpu,
        "checks": [asdict(c) for c in checks],
        "benchmarks": [asdict(b) for b in benches],
    }
