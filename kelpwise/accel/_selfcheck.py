"""Self-check and benchmark of the kelpwise.accel kernels.

`run_checks` compares every function of the four modules with a plain NumPy
reference on built-in synthetic data (NaN, infinities, signed zeros, ties,
non-contiguous layouts, sizes that are not multiples of any vector width).
`benchmark_cases` and `run_case` time each kernel against the best
alternative installed (NumPy always; SciPy, scikit-learn and PyTorch when
present), side by side in one process with every peer held to one thread, and
check each timed result bit for bit.  All of it serves
``python -m kelpwise.accel`` and the harness in ``benchmarks/``.
"""

from __future__ import annotations

import contextlib
import importlib
import importlib.metadata
import importlib.util
import math
import platform
import statistics
import time
from dataclasses import asdict, dataclass, field
from typing import Callable, Iterator

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

MODULES = {
    "_tarsine": ("pairwise_squared_euclidean", "pairwise_distances", "pairwise_manhattan_distances"),
    "_plenvo": ("im2col", "col2im", "maxpool_forward", "maxpool_backward"),
    "_vellard": ("_best_split_classifier", "_best_split_regressor"),
    "_ostrim": ("KDTree", "KDTree.query"),
}
FUNCTIONS = tuple(f for names in MODULES.values() for f in names)

# --------------------------------------------------------------------------
# Plain NumPy references of the kernels.  They follow the stated algorithms
# and are vectorised only across independent outputs, so every sum keeps the
# order in which the kernels accumulate it.

_pow_half = np.frompyfunc(lambda a: math.pow(a, 0.5), 1, 1)


def pow_half(a) -> np.ndarray:
    """The C library's pow(a, 0.5) elementwise (NumPy's own power and sqrt
    differ from it in the last bit of some entries)."""
    return _pow_half(np.asarray(a, dtype=np.float64)).astype(np.float64)


def ref_distances(kind: str, X: np.ndarray, Y: np.ndarray) -> np.ndarray:
    """One accumulator per pair, columns added in increasing order from +0.0."""
    acc = np.zeros((X.shape[0], Y.shape[0]))
    with np.errstate(all="ignore"):
        for k in range(X.shape[1]):
            diff = X[:, k, None] - Y[None, :, k]
            acc += np.abs(diff) if kind == "manhattan" else diff * diff
    return pow_half(acc) if kind == "euclidean" else acc


def ref_im2col(X, kh, kw, s, p):
    """Zero border, every window as a strided view, copied out in (i, j, c) order."""
    Xp = np.pad(X, ((0, 0), (p, p), (p, p), (0, 0))) if p > 0 else X
    N, C = X.shape[0], X.shape[3]
    win = sliding_window_view(Xp, (kh, kw), axis=(1, 2))[:, ::s, ::s]  # (N, OH, OW, C, kh, kw)
    OH, OW = win.shape[1], win.shape[2]
    cols = np.ascontiguousarray(win.transpose(0, 1, 2, 4, 5, 3)).reshape(N * OH * OW, kh * kw * C)
    return cols, OH, OW


def ref_col2im(cols, shape, kh, kw, s, p):
    """k² strided slice-adds onto a zero-filled bordered buffer.

    An element at bordered row r is reached by the window row oh = (r - i) / s,
    so increasing oh means decreasing i (and likewise ow and j).  Visiting the
    window offsets (i, j) from (kh-1, kw-1) down to (0, 0), i-major, therefore
    hands every element its contributions in increasing `cols` row order, the
    order in which the kernel adds them."""
    N, H, W, C = (int(v) for v in shape[:4])
    Hp, Wp = H + 2 * p, W + 2 * p
    OH, OW = (Hp - kh) // s + 1, (Wp - kw) // s + 1
    d = np.zeros((N, Hp, Wp, C))
    c6 = cols.reshape(N, OH, OW, kh, kw, C)
    with np.errstate(all="ignore"):
        for i in range(kh - 1, -1, -1):
            for j in range(kw - 1, -1, -1):
                d[:, i:i + s * (OH - 1) + 1:s, j:j + s * (OW - 1) + 1:s, :] += c6[:, :, :, i, j, :]
    return d[:, p:-p, p:-p, :] if p > 0 else d


def ref_maxpool_forward(X, k, s):
    """Running maximum over the window in row-major order, replaced only on a
    strict IEEE greater-than (so the first of tied maxima wins and NaN never
    replaces a value)."""
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
    """Unbuffered scatter-add in (n, oh, ow, c) order onto zeros."""
    n, oh, ow, c = np.indices(grad.shape)
    rows = oh * s + argmax // k
    cols = ow * s + argmax % k
    dX = np.zeros(tuple(int(v) for v in shape[:4]))
    with np.errstate(all="ignore"):
        np.add.at(dX, (n.ravel(), rows.ravel(), cols.ravel(), c.ravel()), grad.ravel())
    return dX


def ref_split(X, y, msl, regression):
    """The best-split search, one sample at a time in plain Python."""
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
        cidx = {int(c): i for i, c in enumerate(classes)}
        total = [0.0] * len(classes)
        for i in range(n):
            total[cidx[int(y[i])]] += 1.0
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
                left[cidx[int(y[k])]] += 1.0
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
                for a in left:
                    lv -= (a / ln) * (a / ln)
                for a, t in zip(left, total):
                    rv -= ((t - a) / rn) * ((t - a) / rn)
            score = (ln / tot) * lv + (rn / tot) * rv
            if score < best[2]:
                best = (j, (cur + nxt) * 0.5, score)
    return (None, None, None) if best[0] == -1 else best


def np_split(X, y, msl, regression):
    """The same search vectorised over the sorted positions of each feature.

    Running counts and sums come from cumulative sums, which NumPy adds
    strictly left to right, and every per-position formula keeps the scalar
    operation order, so the result equals `ref_split` bit for bit.  The first
    minimum (np.argmin) is the first candidate that a strict less-than sweep
    keeps."""
    n, m = X.shape
    tot = float(n)
    with np.errstate(all="ignore"):
        if regression:
            yv = np.asarray(y[:n], dtype=np.float64)
            s = float(np.cumsum(yv)[-1]) if n else 0.0
            s2 = float(np.cumsum(yv * yv)[-1]) if n else 0.0
            mean = np.float64(s) / tot
            if np.float64(s2) / tot - mean * mean < 1e-15:
                return (None, None, None)
        else:
            classes = np.unique(y)
            codes = np.searchsorted(classes, y[:n])
            total = np.bincount(codes, minlength=len(classes)).astype(np.float64)
            base = np.float64(1.0)
            for t in total:
                p = t / np.float64(tot)
                base -= p * p
            if base < 1e-15:
                return (None, None, None)
        best = (-1, 0.0, 1e308)
        ln = np.arange(1, n, dtype=np.float64)
        rn = tot - ln
        for j in range(m):
            order = np.argsort(X[:, j])
            xs = X[order, j]
            cur, nxt = xs[:-1], xs[1:]
            if regression:
                ys = yv[order]
                ls, ls2 = np.cumsum(ys)[:-1], np.cumsum(ys * ys)[:-1]
                lm, rm = ls / ln, (s - ls) / rn
                lv, rv = ls2 / ln - lm * lm, (s2 - ls2) / rn - rm * rm
            else:
                onehot = np.zeros((n, len(classes)))
                onehot[np.arange(n), codes[order]] = 1.0
                left = np.cumsum(onehot, axis=0)[:-1]
                lv = rv = np.float64(1.0)
                for c in range(len(classes)):
                    pl = left[:, c] / ln
                    lv = lv - pl * pl
                for c in range(len(classes)):
                    pr = (total[c] - left[:, c]) / rn
                    rv = rv - pr * pr
            score = (ln / tot) * lv + (rn / tot) * rv
            ok = (cur != nxt) & ~(ln < msl) & ~(rn < msl) & (score < 1e308)
            if ok.any():
                i = int(np.argmin(np.where(ok, score, np.inf)))
                if score[i] < best[2]:
                    best = (j, float((cur[i] + nxt[i]) * 0.5), float(score[i]))
    return (None, None, None) if best[0] == -1 else best


def brute_knn_check(X, Q, k, idx, dst) -> str | None:
    """None when every row holds the k smallest strict column-order squared
    distances, in increasing order, bit for bit, with distinct in-range
    indices whose own distances are the ones listed.  Among equal distances
    any order of the indices is accepted."""
    X = np.asarray(X, dtype=np.float64)
    Q = np.asarray(Q, dtype=np.float64)
    k = max(0, min(k, len(X)))
    idx, dst = np.asarray(idx), np.asarray(dst)
    if idx.shape != (len(Q), k) or dst.shape != (len(Q), k):
        return f"result shapes {idx.shape} and {dst.shape}, expected {(len(Q), k)}"
    if idx.dtype != np.int32 or dst.dtype != np.float64:
        return f"result dtypes {idx.dtype} and {dst.dtype}"
    if idx.size and (idx.min() < 0 or idx.max() >= len(X)):
        return "index out of range"
    acc = np.zeros((len(Q), len(X)))
    for c in range(X.shape[1]):
        diff = Q[:, c, None] - X[None, :, c]
        acc += diff * diff
    if not _bits_equal(dst, np.sort(acc, axis=1)[:, :k]):
        return "distances differ from brute force"
    if not _bits_equal(np.take_along_axis(acc, idx.astype(np.intp), axis=1), dst):
        return "indices inconsistent with their distances"
    if any(len(set(r)) != k for r in idx.tolist()):
        return "an index is listed twice"
    return None


def _bits_equal(a, b) -> bool:
    """Same shape and the same 64-bit patterns (all NaNs count as one)."""
    a = np.array(a, dtype=np.float64)
    b = np.array(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    a[np.isnan(a)] = np.nan
    b[np.isnan(b)] = np.nan
    return bool(np.array_equal(a.view(np.int64), b.view(np.int64)))


def root_problem(out, S, full_rows: int = 64) -> str | None:
    """Whether `out` is pow(S, 0.5) bit for bit, for a large S.

    pow(x, 0.5) and sqrt(x) differ only in the last bit of a small share of
    entries (about one in a thousand), so every entry must equal sqrt(S) or,
    where it does not, pow(S, 0.5); the first `full_rows` rows are compared
    with pow in full, which tells a kernel that takes pow from one that takes
    sqrt."""
    out, S = np.asarray(out), np.asarray(S)
    if out.shape != S.shape:
        return f"shape {out.shape}, expected {S.shape}"
    if not _bits_equal(out[:full_rows], pow_half(S[:full_rows])):
        return "differs from pow(sum, 0.5)"
    with np.errstate(all="ignore"):
        off = ~((out == np.sqrt(S)) | (np.isnan(out) & np.isnan(S)))
    if not _bits_equal(out[off], pow_half(S[off])):
        return "differs from pow(sum, 0.5)"
    return None


def same_split(a, b) -> bool:
    if a[0] is None or b[0] is None:
        return tuple(a) == tuple(b)
    return a[0] == b[0] and type(a[0]) is int and _bits_equal(a[1:], b[1:])


# --------------------------------------------------------------------------
# Modules and machine


def load_modules(importer: Callable[[str], object] = importlib.import_module) -> tuple[dict, dict]:
    """(modules that import, {name: error text} for those that do not)."""
    mods, errors = {}, {}
    for name in MODULES:
        try:
            mods[name] = importer("kelpwise.accel." + name)
        except Exception as e:  # ImportError, or anything a broken build raises
            errors[name] = f"{type(e).__name__}: {e}"
    return mods, errors


def _optional(name):
    try:
        return importlib.import_module(name)
    except Exception:
        return None


def dispatched_paths(flags) -> dict:
    """The vector paths the kernels choose at run time: they test the same
    CPU features (AVX-512F, then AVX2, else the SSE2 baseline)."""
    width = "AVX-512 (8 lanes)" if "avx512f" in flags else "AVX2 (4 lanes)" if "avx2" in flags else "SSE2 (2 lanes)"
    return {
        "_tarsine": f"{width}, one pair per lane"
                    + ("" if width.startswith("SSE2") else "; root: sqrt where it provably equals glibc's pow, else pow"),
        "_plenvo": f"max pooling {width.split(' ')[0]}, 8 channels per step, 2x2 and 3x3 windows unrolled; "
                   "patches: block copies",
        "_vellard": "scalar sweep over values gathered in sorted order (NumPy argsort per column)",
        "_ostrim": "scalar; bucket scans when the k nearest are unique, else the heap descent (cell-bound pruning)",
    }


def simd_paths(mods: dict, flags=()) -> dict:
    """The SIMD path of each module: what it reports through an optional
    `_simd_path`, else the path its run-time dispatch picks on this CPU."""
    paths = dispatched_paths(flags)
    for name, mod in mods.items():
        probe = getattr(mod, "_simd_path", None)
        if probe is None:
            continue
        try:
            paths[name] = str(probe() if callable(probe) else probe)
        except Exception as e:
            paths[name] = f"unknown ({type(e).__name__})"
    return paths


CPU_FLAGS = ("sse2", "sse4_2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512bw", "avx512vl")


def machine_info(mods: dict, cpuinfo: str = "/proc/cpuinfo") -> dict:
    flags: set[str] = set()
    model = platform.machine()
    try:
        with open(cpuinfo) as fh:
            for line in fh:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "flags" and not flags:
                    flags = set(value.split())
                elif key == "model name" and model == platform.machine():
                    model = value.strip()
    except OSError:
        pass
    peers = {}
    for name, dist in (("scipy", "scipy"), ("sklearn", "scikit-learn"), ("torch", "torch"),
                       ("threadpoolctl", "threadpoolctl")):
        try:  # read from the installed metadata: importing the peers here would cost seconds
            peers[name] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            peers[name] = None
    return {
        "cpu": model,
        "features": [f for f in CPU_FLAGS if f in flags],
        "simd_path": simd_paths(mods, flags),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "peers": peers,
    }


# --------------------------------------------------------------------------
# Self-check


@dataclass
class Check:
    function: str
    exact: bool
    detail: str = ""


def _edgy(rng, shape, specials=(np.nan, np.inf, -np.inf, -0.0, 0.0, 1e200)):
    """Normal values with the special values scattered in (when it has room)."""
    a = rng.standard_normal(shape)
    flat = a.reshape(-1)
    if flat.size >= 2 * len(specials):
        flat[rng.choice(flat.size, len(specials), replace=False)] = specials
    return a


def _first_problem(cases: Iterator[tuple[str, Callable[[], str | None]]]) -> str | None:
    for label, run in cases:
        problem = run()
        if problem:
            return f"{label}: {problem}"
    return None


def _check_distances(T, rng):
    X = _edgy(rng, (37, 13))
    Yf = np.asfortranarray(_edgy(rng, (29, 15)))[::-1]  # wider than X, Fortran order, reversed rows
    big = _edgy(rng, (40, 22))
    # Sums whose pow(., 0.5) and sqrt differ in the last bit: a kernel that
    # takes the square root another way fails here for certain.
    ab = rng.uniform(0.5, 2.0, (40000, 2))
    sums = 0.0 + ab[:, 0] * ab[:, 0] + ab[:, 1] * ab[:, 1]
    hard = ab[pow_half(sums) != np.sqrt(sums)][:24]
    layouts = [
        ("C x reversed Fortran", X, Yf),
        ("strided x C", big[::3, 1::2], _edgy(rng, (19, 11))),
        ("same array", X, X),
        ("broadcast Y", X[:9], np.broadcast_to(_edgy(rng, (1, 13)), (17, 13))),
        ("m below one vector", X, X[:5]),
        ("d = 1", X[:, :1], Yf[:, :1]),
        ("d = 0", X[:, :0], Yf[:, :0]),
        ("n = 0", X[:0], Yf),
        ("roots where pow and sqrt differ", hard, np.zeros((3, 2))),
    ]
    for name, kind in (("pairwise_squared_euclidean", "sqeuclidean"), ("pairwise_distances", "euclidean"),
                       ("pairwise_manhattan_distances", "manhattan")):
        def cases(name=name, kind=kind):
            f = getattr(T, name)  # here, so that a missing function fails its own check
            for label, A, B in layouts:
                yield label, lambda A=A, B=B: (None if _bits_equal(f(A, B), ref_distances(kind, A, B[:, :A.shape[1]]))
                                               else "differs from the strict column-order sum")
        yield name, lambda cases=cases: _first_problem(cases())


def _image_layouts(img):
    return (("C order", img), ("Fortran order", np.asfortranarray(img)), ("reversed rows", img[:, ::-1]))


def _check_plenvo(P, rng):
    imgs = [_edgy(rng, (2, 9, 7, C)) for C in (3, 8, 19)]
    conv = ((3, 3, 1, 1), (3, 2, 2, 1), (5, 5, 1, 2), (2, 2, 2, 0), (1, 1, 1, 0), (2, 3, 1, -1))

    def im2col_cases():
        for img in imgs:
            for layout, A in _image_layouts(img):
                for kh, kw, s, p in conv:
                    def run(A=A, kh=kh, kw=kw, s=s, p=p):
                        cols, oh, ow = P.im2col(A, kh, kw, s, p)
                        # a negative pad unfolds only the top-left (H + 2p) x (W + 2p) part
                        part = A if p >= 0 else A[:, :A.shape[1] + 2 * p, :A.shape[2] + 2 * p]
                        want, woh, wow = ref_im2col(part, kh, kw, s, max(p, 0))
                        return None if (oh, ow) == (woh, wow) and _bits_equal(cols, want) else "differs"
                    yield f"C={A.shape[3]} {layout} kh={kh} kw={kw} stride={s} pad={p}", run

    def col2im_cases():
        for img in imgs:
            for kh, kw, s, p in conv:
                H, W = img.shape[1] + 2 * min(p, 0), img.shape[2] + 2 * min(p, 0)
                rows = ref_im2col(img[:, :H, :W], kh, kw, s, max(p, 0))[0].shape
                g = _edgy(rng, rows)
                for layout, G in (("C order", g), ("Fortran order", np.asfortranarray(g))):
                    yield (f"C={img.shape[3]} {layout} kh={kh} kw={kw} stride={s} pad={p}",
                           lambda G=G, sh=img.shape, kh=kh, kw=kw, s=s, p=p:
                           None if _bits_equal(P.col2im(G, sh, kh, kw, s, p), ref_col2im(G, sh, kh, kw, s, p))
                           else "differs")

    # values rounded to whole numbers: many tied maxima, plus NaN, infinities, signed zeros
    pools = [np.round(_edgy(rng, (2, 11, 10, C)), 0) for C in (3, 8, 19)]
    windows = ((2, 2), (3, 2), (3, 1), (1, 1), (4, 3))

    def forward_cases():
        for img in pools:
            for layout, A in _image_layouts(img):
                for k, s in windows:
                    def run(A=A, k=k, s=s):
                        out, arg = P.maxpool_forward(A, k, s)
                        want, warg = ref_maxpool_forward(A, k, s)
                        if not _bits_equal(out, want):
                            return "maxima differ"
                        return None if arg.dtype == np.intp and np.array_equal(arg, warg) else "argmax differs"
                    yield f"C={A.shape[3]} {layout} k={k} stride={s}", run

    def backward_cases():
        for img in pools:
            for k, s in windows:
                arg = ref_maxpool_forward(img, k, s)[1]
                g = _edgy(rng, arg.shape)
                for layout, G, A in (("C order", g, arg), ("Fortran order", np.asfortranarray(g),
                                                           np.asfortranarray(arg))):
                    yield (f"C={img.shape[3]} {layout} k={k} stride={s}",
                           lambda G=G, A=A, sh=img.shape, k=k, s=s:
                           None if _bits_equal(P.maxpool_backward(G, A, sh, k, s),
                                              ref_maxpool_backward(G, A, sh, k, s)) else "differs")

    yield "im2col", lambda: _first_problem(im2col_cases())
    yield "col2im", lambda: _first_problem(col2im_cases())
    yield "maxpool_forward", lambda: _first_problem(forward_cases())
    yield "maxpool_backward", lambda: _first_problem(backward_cases())


def _split_nodes(rng, regression):
    """Small nodes with ties (values rounded to 0.1), NaN and infinities in
    some columns, a constant column, non-consecutive negative labels, a
    perfectly separating feature, Fortran order, and the degenerate nodes."""
    for trial in range(6):
        n = 60 + trial
        X = np.round(rng.standard_normal((n, 5)), 1)
        X[:, 4] = 1.5  # constant: never a candidate
        if trial % 2:
            X[rng.choice(n, 3, replace=False), 1] = np.nan
            X[rng.choice(n, 2, replace=False), 2] = [np.inf, -np.inf]
        y = np.round(rng.standard_normal(n), 1) if regression else rng.choice([-3, 0, 7], n)
        if trial == 2:
            X[:, 3] = (y > 0) if regression else (y == 7)
        if trial == 4 and regression:
            y[5] = np.nan
        yield f"node {trial}", np.asfortranarray(X) if trial % 3 == 0 else X, y
    y = np.arange(4.0) if regression else np.arange(4)
    yield "no rows", np.zeros((0, 2)), y
    yield "no columns", np.zeros((4, 0)), y
    yield "one row", np.ones((1, 2)), y[:1]


def _check_vellard(V, rng):
    for name, regression in (("_best_split_classifier", False), ("_best_split_regressor", True)):
        def cases(name=name, regression=regression):
            f = getattr(V, name)
            for label, X, y in _split_nodes(rng, regression):
                for msl in (1, 3, 0, len(X) // 2):
                    def run(X=X, y=y, msl=msl):
                        got, want = f(X, y, msl), ref_split(X, y, msl, regression)
                        return None if same_split(got, want) else f"{got} != {want}"
                    yield f"{label} min_samples_leaf={msl}", run
        yield name, lambda cases=cases: _first_problem(cases())


def _check_ostrim(O, rng):
    def build_cases():
        base = rng.integers(-5, 6, (40, 3))
        Q = rng.standard_normal((15, 3)) * 3
        want = O.KDTree(base.astype(np.float64)).query(Q, 6)
        for label, arg in (("nested list of ints", base.tolist()), ("int64 array", base),
                           ("float32 array", base.astype(np.float32))):
            yield (label, lambda arg=arg: None if all(np.array_equal(a, b) for a, b in
                                                      zip(O.KDTree(arg).query(Q, 6), want))
                   else "differs from the tree over the float64 copy")
        yield "no rows", lambda: brute_knn_check(np.zeros((0, 3)), Q, 4, *O.KDTree(np.zeros((0, 3))).query(Q, 4))
        yield "one row", lambda: brute_knn_check(base[:1], Q, 3, *O.KDTree(base[:1].astype(float)).query(Q, 3))

    def query_cases():
        for n, d, k, kind in ((200, 3, 7, "normal"), (150, 2, 10, "grid ties"), (61, 8, 5, "normal"),
                              (5, 2, 9, "k above n"), (300, 1, 1, "grid ties"), (33, 4, 33, "grid ties")):
            grid = kind == "grid ties"
            X = rng.integers(-3, 4, (n, d)).astype(float) if grid else rng.standard_normal((n, d))
            Q = rng.integers(-3, 4, (40, d)).astype(float) if grid else rng.standard_normal((40, d))
            Q[:5] = X[:5]  # query points that are data rows
            yield (f"n={n} d={d} k={k} {kind}",
                   lambda X=X, Q=Q, k=k: brute_knn_check(X, Q, k, *O.KDTree(X).query(Q, k)))

    yield "KDTree", lambda: _first_problem(build_cases())
    yield "KDTree.query", lambda: _first_problem(query_cases())


_CHECKS = {"_tarsine": _check_distances, "_plenvo": _check_plenvo, "_vellard": _check_vellard,
           "_ostrim": _check_ostrim}


def run_checks(step: Callable[[str], None] = lambda _: None, functions=None,
               loaded: tuple[dict, dict] | None = None) -> list[Check]:
    """One Check per function (all of them, or those named in `functions`);
    a function whose module does not import, or whose check raises, fails."""
    mods, errors = loaded or load_modules()
    wanted = set(functions or FUNCTIONS)
    out = []
    for module, names in MODULES.items():
        if module in errors:
            for name in names:
                if name in wanted:
                    step(name)
                    out.append(Check(name, False, f"kelpwise.accel.{module} did not import: {errors[module]}"))
            continue
        rng = np.random.default_rng(2026)
        for name, run in _CHECKS[module](mods[module], rng):
            if name not in wanted:
                continue
            step(name)
            try:
                problem = run()
            except Exception as e:  # a crash of a kernel during its check is a failure too
                problem = f"{type(e).__name__}: {e}"
            out.append(Check(name, problem is None, problem or ""))
    return out


# --------------------------------------------------------------------------
# Benchmarks


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


@dataclass
class Case:
    """One timed comparison.  `prepare` builds the data lazily and returns
    (ours, peer or None, check), where check(result of ours) gives None when
    the result is exact, else what is wrong."""
    kernel: str
    size: str
    peer: str
    prepare: Callable[[], tuple[Callable, Callable | None, Callable]]


def _sizes(quick: bool) -> dict:
    if quick:
        return {"dist": [(300, 200, 16)], "conv": [(4, 16, 8, 3, 1, 1), (4, 16, 8, 3, 2, 1)],
                "pool": [(4, 16, 16, 2, 2)], "split": (5000, 5), "knn": [(5000, 3, 500, 10)]}
    return {"dist": [(2000, 2000, 64), (4000, 4000, 8), (1000, 1000, 512)],
            "conv": [(32, 32, 16, 3, 1, 1), (32, 32, 16, 3, 2, 1), (32, 32, 16, 5, 1, 2)],
            "pool": [(32, 64, 32, 2, 2), (32, 64, 32, 3, 2)], "split": (100_000, 20),
            "knn": [(100_000, 3, 10_000, 10), (50_000, 8, 5_000, 10)]}


def _distance_cases(T, sizes, has_scipy):
    for n, m, d in sizes:
        def data(n=n, m=m, d=d):
            rng = np.random.default_rng(n * 7 + d)
            return rng.standard_normal((n, d)), rng.standard_normal((m, d))
        for name, metric in (("pairwise_squared_euclidean", "sqeuclidean"), ("pairwise_distances", "euclidean"),
                             ("pairwise_manhattan_distances", "cityblock")):
            kind = {"sqeuclidean": "sqeuclidean", "euclidean": "euclidean", "cityblock": "manhattan"}[metric]

            def prepare(name=name, metric=metric, kind=kind, data=data):
                X, Y = data()
                f = getattr(T, name)
                if has_scipy:
                    scipy_dist = importlib.import_module("scipy.spatial.distance")
                    peer = lambda: scipy_dist.cdist(X, Y, metric)  # noqa: E731
                    sums = lambda k: scipy_dist.cdist(X, Y, k)  # noqa: E731
                else:  # NumPy broadcasting, one column at a time (a full 3-D difference would not fit)
                    peer = lambda: (np.sqrt(ref_distances("sqeuclidean", X, Y)) if kind == "euclidean"  # noqa: E731
                                    else ref_distances(kind, X, Y))
                    sums = lambda k: ref_distances("manhattan" if k == "cityblock" else k, X, Y)  # noqa: E731

                def check(out):
                    if kind == "euclidean":
                        return root_problem(out, sums("sqeuclidean"))
                    return None if _bits_equal(out, sums(metric)) else "differs from the column-order sum"
                return (lambda: f(X, Y)), peer, check
            peer_name = f"scipy cdist {metric}" if has_scipy else "numpy broadcasting"
            yield Case(name, f"{n}x{m}, d={d}", peer_name, prepare)


def _conv_cases(P, sizes):
    for N, HW, C, k, s, p in sizes:
        size = f"N={N} H=W={HW} C={C} k={k} s={s} p={p}"

        def prepare_im2col(N=N, HW=HW, C=C, k=k, s=s, p=p):
            img = np.random.default_rng(N + k + s).standard_normal((N, HW, HW, C))

            def check(r):
                cols, OH, OW = ref_im2col(img, k, k, s, p)
                return None if r[1:] == (OH, OW) and _bits_equal(r[0], cols) else "differs"
            return (lambda: P.im2col(img, k, k, s, p)), (lambda: ref_im2col(img, k, k, s, p)), check

        def prepare_col2im(N=N, HW=HW, C=C, k=k, s=s, p=p):
            shape = (N, HW, HW, C)
            rows = ref_im2col(np.zeros((N, HW, HW, 1)), k, k, s, p)[0].shape[0]
            g = np.random.default_rng(N + k + s).standard_normal((rows, k * k * C))
            return ((lambda: P.col2im(g, shape, k, k, s, p)), (lambda: ref_col2im(g, shape, k, k, s, p)),
                    lambda r: None if _bits_equal(r, ref_col2im(g, shape, k, k, s, p)) else "differs")

        yield Case("im2col", size, "numpy pad + sliding_window_view", prepare_im2col)
        yield Case("col2im", size, "numpy k² strided slice-adds", prepare_col2im)


def _np_maxpool(X, k, s):
    win = sliding_window_view(X, (k, k), axis=(1, 2))[:, ::s, ::s]
    flat = win.reshape(win.shape[:4] + (k * k,))
    arg = flat.argmax(-1)
    return np.take_along_axis(flat, arg[..., None], -1)[..., 0], arg


def _pool_cases(P, sizes, has_torch):
    for N, HW, C, k, s in sizes:
        size = f"N={N} H=W={HW} C={C} k={k} s={s}"

        def data(N=N, HW=HW, C=C, k=k, s=s):
            img = np.random.default_rng(HW + k).standard_normal((N, HW, HW, C))
            arg = ref_maxpool_forward(img, k, s)[1]
            g = np.random.default_rng(k).standard_normal(arg.shape)
            return img, arg, g

        def forward_check(img, k, s):
            def check(r):
                want, warg = ref_maxpool_forward(img, k, s)
                return None if _bits_equal(r[0], want) and np.array_equal(r[1], warg) else "differs"
            return check

        def backward_check(g, arg, shape, k, s):
            return lambda r: None if _bits_equal(r, ref_maxpool_backward(g, arg, shape, k, s)) else "differs"

        def prepare_forward(data=data, k=k, s=s):
            img, _, _ = data()
            return (lambda: P.maxpool_forward(img, k, s)), (lambda: _np_maxpool(img, k, s)), forward_check(img, k, s)

        def prepare_backward(data=data, k=k, s=s):
            img, arg, g = data()
            return ((lambda: P.maxpool_backward(g, arg, img.shape, k, s)),
                    (lambda: ref_maxpool_backward(g, arg, img.shape, k, s)), backward_check(g, arg, img.shape, k, s))

        yield Case("maxpool_forward", size, "numpy sliding_window_view + argmax", prepare_forward)
        yield Case("maxpool_backward", size, "numpy scatter-add (add.at)", prepare_backward)
        if not has_torch:
            continue

        def channels_last(a):  # (N, H, W, C) data seen by torch as NCHW in channels-last memory
            return _torch().from_numpy(a).permute(0, 3, 1, 2)

        def prepare_torch_forward(data=data, k=k, s=s):
            img, _, _ = data()
            t, torch = channels_last(img), _torch()
            return ((lambda: P.maxpool_forward(img, k, s)),
                    (lambda: torch.nn.functional.max_pool2d(t, k, s, return_indices=True)), forward_check(img, k, s))

        def prepare_torch_backward(data=data, k=k, s=s):
            img, arg, g = data()
            t, tg, torch = channels_last(img), channels_last(g), _torch()
            _, tidx = torch.nn.functional.max_pool2d(t, k, s, return_indices=True)
            back = torch.ops.aten.max_pool2d_with_indices_backward
            return ((lambda: P.maxpool_backward(g, arg, img.shape, k, s)),
                    (lambda: back(tg, t, [k, k], [s, s], [0, 0], [1, 1], False, tidx)),
                    backward_check(g, arg, img.shape, k, s))

        yield Case("maxpool_forward", size, "torch max_pool2d, channels last", prepare_torch_forward)
        yield Case("maxpool_backward", size, "torch max_pool2d backward", prepare_torch_backward)


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
                peer = lambda: est.fit(X, y)  # noqa: E731
            else:
                peer = lambda: np_split(X, y, 1, regression)  # noqa: E731
            want = np_split(X, y, 1, regression)
            return ((lambda: f(X, y, 1)), peer,
                    lambda r: None if same_split(r, want) else f"{r} != {want}")
        peer_name = (f"sklearn DecisionTree{'Regressor' if regression else 'Classifier'}(max_depth=1)"
                     if has_sklearn else "numpy argsort + cumsum")
        yield Case(name, f"n={n} m={m}" + ("" if regression else " (3 classes)"), peer_name, prepare)


def _np_knn(X, Q, k):
    """Brute force: every squared distance, then the k smallest per row."""
    out = np.empty((len(Q), k), dtype=np.intp)
    for lo in range(0, len(Q), 256):
        q = Q[lo:lo + 256]
        d = ((q[:, None, :] - X[None, :, :]) ** 2).sum(-1)
        part = np.argpartition(d, k - 1, axis=1)[:, :k]
        out[lo:lo + 256] = np.take_along_axis(part, np.argsort(np.take_along_axis(d, part, 1), 1), 1)
    return out


def _knn_cases(O, sizes, has_scipy):
    for n, d, nq, k in sizes:
        def data(n=n, d=d, nq=nq):
            rng = np.random.default_rng(n + d)
            return rng.standard_normal((n, d)), rng.standard_normal((nq, d))

        def prepare_build(data=data):
            X, Q = data()
            spatial = importlib.import_module("scipy.spatial") if has_scipy else None
            peer = (lambda: spatial.cKDTree(X, leafsize=16)) if spatial is not None else None
            return ((lambda: O.KDTree(X)), peer,
                    lambda tree: brute_knn_check(X, Q[:50], 5, *tree.query(Q[:50], 5)))

        def prepare_query(data=data, k=k):
            X, Q = data()
            spatial = importlib.import_module("scipy.spatial") if has_scipy else None
            if spatial is None:
                Q = Q[:500]  # brute force is too slow for all of them
            tree = O.KDTree(X)
            if spatial is not None:
                ck = spatial.cKDTree(X, leafsize=16)
                peer = lambda: ck.query(Q, k, workers=1)  # noqa: E731
            else:
                peer = lambda: _np_knn(X, Q, k)  # noqa: E731
            return ((lambda: tree.query(Q, k)), peer,
                    lambda r: brute_knn_check(X, Q[:100], k, r[0][:100], r[1][:100]))

        q = nq if has_scipy else min(nq, 500)
        yield Case("KDTree build", f"n={n} d={d}",
                   "scipy cKDTree(leafsize=16)" if has_scipy else "none (SciPy not installed)",
                   prepare_build)
        yield Case("KDTree.query", f"n={n} d={d} q={q} k={k}",
                   "scipy cKDTree.query(workers=1)" if has_scipy else "numpy brute force",
                   prepare_query)


def _installed(name: str) -> bool:
    """Whether a peer can be imported, without importing it yet (SciPy,
    scikit-learn and PyTorch take seconds to import)."""
    return importlib.util.find_spec(name) is not None


def _torch():
    import torch

    torch.set_num_threads(1)
    return torch


def benchmark_cases(quick: bool, mods: dict) -> list[Case]:
    """The timed comparisons for the modules that imported.  Data, peers and
    references are built by each case's `prepare`, when it runs."""
    sizes = _sizes(quick)
    cases: list[Case] = []
    if "_tarsine" in mods:
        cases += _distance_cases(mods["_tarsine"], sizes["dist"], _installed("scipy"))
    if "_plenvo" in mods:
        cases += _conv_cases(mods["_plenvo"], sizes["conv"])
        cases += _pool_cases(mods["_plenvo"], sizes["pool"], _installed("torch"))
    if "_vellard" in mods:
        cases += _split_cases(mods["_vellard"], sizes["split"], _installed("sklearn"))
    if "_ostrim" in mods:
        cases += _knn_cases(mods["_ostrim"], sizes["knn"], _installed("scipy"))
    return cases


def _time_pair(ours, peer, repeats):
    """Alternate ours and the peer so that both see the same machine load."""
    samples = {"ours": [], "peer": []}
    for _ in range(repeats):
        for key, fn in (("ours", ours), ("peer", peer)):
            if fn is None:
                continue
            t0 = time.perf_counter()
            fn()
            samples[key].append(time.perf_counter() - t0)
    return samples


def single_thread():
    """Hold the BLAS and OpenMP pools loaded so far to one thread."""
    ctl = _optional("threadpoolctl")
    return ctl.threadpool_limits(1) if ctl is not None else contextlib.nullcontext()


def run_case(case: Case, repeats: int) -> Bench:
    """Prepare, check and time one case.  A failure of ours (or of its
    reference) makes the case inexact; a failure of the peer is reported in
    `detail` and leaves the peer untimed."""
    try:
        ours, peer, check = case.prepare()
        problem = check(ours())  # also the warm-up run of ours
    except Exception as e:
        return Bench(case.kernel, case.size, case.peer, None, None, None, False, f"{type(e).__name__}: {e}")
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
        samples = _time_pair(ours, peer, repeats)
    t_ours = statistics.median(samples["ours"])
    t_peer = statistics.median(samples["peer"]) if samples["peer"] else None
    ratio = t_peer / t_ours if t_peer is not None and t_ours > 0 else None
    return Bench(case.kernel, case.size, case.peer, t_ours, t_peer, ratio, problem is None, detail, samples)


def as_json(checks: list[Check], benches: list[Bench], machine: dict, quick: bool) -> dict:
    return {
        "ok": all(c.exact for c in checks) and all(b.exact for b in benches),
        "quick": quick,
        "machine": machine,
        "checks": [asdict(c) for c in checks],
        "benchmarks": [asdict(b) for b in benches],
    }
