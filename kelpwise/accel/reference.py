"""Plain NumPy references of the kelpwise.accel kernels, and the comparisons
that hold the kernels to them bit for bit.

Each reference follows the loops of its kernel and is vectorised only across
outputs that share no accumulator, so every sum is formed in the order in
which the kernel forms it and the two must agree to the last bit.  The
self-check of ``python -m kelpwise.accel``, the benchmark harness and the
test suite all compare against these functions.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

NONE3 = (None, None, None)

# The distance functions of _tarsine and the reference kind of each.
DISTANCE_KINDS = {
    "pairwise_squared_euclidean": "sqeuclidean",
    "pairwise_distances": "euclidean",
    "pairwise_manhattan_distances": "manhattan",
}

# --------------------------------------------------------------------------
# Comparisons


def bits(a) -> np.ndarray:
    """The 64-bit patterns of the values as int64, every NaN made the same
    NaN (the sign and payload of a NaN such as inf - inf are not part of any
    result)."""
    a = np.array(a, dtype=np.float64)
    a[np.isnan(a)] = np.nan
    return a.view(np.int64)


def bits_equal(a, b) -> bool:
    """Same shape and the same bits in every entry (NaNs all count as one)."""
    a, b = bits(a), bits(b)
    return a.shape == b.shape and bool(np.array_equal(a, b))


def same_split(got, want) -> bool:
    """Split-search results equal: the no-split tuple on both sides, or the
    same feature as a Python int with the same bits of threshold and score."""
    if got[0] is None or want[0] is None:
        return tuple(got) == tuple(want)
    return got[0] == want[0] and type(got[0]) is int and bits_equal(got[1:], want[1:])


# --------------------------------------------------------------------------
# Distances


_pow_half = np.frompyfunc(lambda a: math.pow(a, 0.5), 1, 1)


def pow_half(a) -> np.ndarray:
    """The C library's pow(a, 0.5) elementwise (NumPy's own power and sqrt
    differ from it in the last bit of some entries)."""
    return _pow_half(np.asarray(a, dtype=np.float64)).astype(np.float64)


def distances(kind: str, X, Y) -> np.ndarray:
    """Distance of every row of X to every row of Y over the d columns of X:
    one accumulator per pair, starting at +0.0, columns added in increasing
    order; "euclidean" takes pow(sum, 0.5).  `kind` is "sqeuclidean",
    "euclidean" or "manhattan"."""
    X, Y = np.asarray(X), np.asarray(Y)
    acc = np.zeros((X.shape[0], Y.shape[0]))
    with np.errstate(all="ignore"):
        for k in range(X.shape[1]):
            diff = X[:, k, None] - Y[None, :, k]
            acc += np.abs(diff) if kind == "manhattan" else diff * diff
    return pow_half(acc) if kind == "euclidean" else acc


def root_problem(out, S, full_rows: int = 64) -> str | None:
    """None when `out` is pow(S, 0.5) bit for bit, for a large S.

    pow(x, 0.5) and sqrt(x) differ only in the last bit of a small share of
    entries (about one in a thousand), so every entry must equal sqrt(S) or,
    where it does not, pow(S, 0.5); the first `full_rows` rows are compared
    with pow in full, which tells a kernel that takes pow from one that takes
    sqrt."""
    out, S = np.asarray(out), np.asarray(S)
    if out.shape != S.shape:
        return f"shape {out.shape}, expected {S.shape}"
    if not bits_equal(out[:full_rows], pow_half(S[:full_rows])):
        return "differs from pow(sum, 0.5)"
    with np.errstate(all="ignore"):
        off = ~((out == np.sqrt(S)) | (np.isnan(out) & np.isnan(S)))
    if not bits_equal(out[off], pow_half(S[off])):
        return "differs from pow(sum, 0.5)"
    return None


# --------------------------------------------------------------------------
# Patches and pooling (channels-last image batches)


def im2col(X, kh: int, kw: int, stride: int = 1, pad: int = 0):
    """(cols, OH, OW): every kh x kw window of the zero-bordered batch as one
    row, windows in (n, oh, ow) order, columns in (i, j, c) order.  A
    negative pad adds no border and unfolds the top-left (H + 2*pad) x
    (W + 2*pad) part."""
    X = np.asarray(X)
    if pad > 0:
        X = np.pad(X, ((0, 0), (pad, pad), (pad, pad), (0, 0)))
    elif pad < 0:
        X = X[:, : X.shape[1] + 2 * pad, : X.shape[2] + 2 * pad]
    N, C = X.shape[0], X.shape[3]
    win = sliding_window_view(X, (kh, kw), axis=(1, 2))[:, ::stride, ::stride]  # (N, OH, OW, C, kh, kw)
    OH, OW = win.shape[1], win.shape[2]
    cols = np.ascontiguousarray(win.transpose(0, 1, 2, 4, 5, 3)).reshape(N * OH * OW, kh * kw * C)
    return cols, OH, OW


def col2im(cols, shape, kh: int, kw: int, stride: int = 1, pad: int = 0) -> np.ndarray:
    """The adjoint of im2col: each row of `cols` added onto its window of a
    zero-filled bordered buffer, rows in order; for pad > 0 the interior.

    Done as kh*kw strided slice-adds.  An element at bordered row r is reached
    by the window row oh = (r - i) / stride, so increasing oh means decreasing
    i (and likewise ow and j).  Visiting the window offsets (i, j) from
    (kh-1, kw-1) down to (0, 0), i-major, therefore hands every element its
    contributions in increasing `cols` row order, the order in which the
    kernel adds them."""
    N, H, W, C = (int(v) for v in shape[:4])
    s, p = stride, pad
    Hp, Wp = H + 2 * p, W + 2 * p
    OH, OW = (Hp - kh) // s + 1, (Wp - kw) // s + 1
    d = np.zeros((N, Hp, Wp, C))
    c6 = np.asarray(cols).reshape(N, OH, OW, kh, kw, C)
    with np.errstate(all="ignore"):
        for i in range(kh - 1, -1, -1):
            for j in range(kw - 1, -1, -1):
                d[:, i : i + s * (OH - 1) + 1 : s, j : j + s * (OW - 1) + 1 : s, :] += c6[:, :, :, i, j, :]
    return d[:, p:-p, p:-p, :] if p > 0 else d


def maxpool_forward(X, k: int, stride: int):
    """(out, argmax): the running maximum over each k x k window in row-major
    order, replaced only on a strict IEEE greater-than (so the first of tied
    maxima wins and NaN never replaces a value), and its index i*k + j."""
    win = sliding_window_view(np.asarray(X), (k, k), axis=(1, 2))[:, ::stride, ::stride]  # (N, OH, OW, C, k, k)
    flat = win.reshape(win.shape[:4] + (k * k,))
    best = flat[..., 0].copy()
    idx = np.zeros(best.shape, np.intp)
    for t in range(1, k * k):
        gt = flat[..., t] > best
        best = np.where(gt, flat[..., t], best)
        idx = np.where(gt, t, idx)
    return best, idx


def maxpool_backward(grad, argmax, shape, k: int, stride: int) -> np.ndarray:
    """Each gradient added onto the input cell its window index names, in
    (n, oh, ow, c) order (an unbuffered scatter-add) onto zeros of `shape`."""
    grad, argmax = np.asarray(grad), np.asarray(argmax)
    n, oh, ow, c = np.indices(grad.shape)
    rows = oh * stride + argmax // k
    cols = ow * stride + argmax % k
    dX = np.zeros(tuple(int(v) for v in shape[:4]))
    with np.errstate(all="ignore"):
        np.add.at(dX, (n.ravel(), rows.ravel(), cols.ravel(), c.ravel()), grad.ravel())
    return dX


# --------------------------------------------------------------------------
# Split search of one decision-tree node


def best_split(X, y, min_samples_leaf, regression: bool):
    """(feature, threshold, score) of the best split by weighted Gini impurity
    (int labels) or weighted variance (float targets), or NONE3: the search
    one sample at a time in plain Python."""
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
        return NONE3
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
            if ln < min_samples_leaf or rn < min_samples_leaf:
                continue
            if regression:
                lm, rm = ls / ln, (s - ls) / rn
                lv, rv = ls2 / ln - lm * lm, (s2 - ls2) / rn - rm * rm
            else:
                lv = rv = 1.0
                for a in left:
                    lv -= (a / ln) * (a / ln)
                for a, t in zip(left, total, strict=True):
                    rv -= ((t - a) / rn) * ((t - a) / rn)
            score = (ln / tot) * lv + (rn / tot) * rv
            if score < best[2]:
                best = (j, (cur + nxt) * 0.5, score)
    return NONE3 if best[0] == -1 else best


def best_split_vectorised(X, y, min_samples_leaf, regression: bool):
    """`best_split` vectorised over the sorted positions of each feature, for
    nodes too large for the plain loop.

    Running counts and sums come from cumulative sums, which NumPy adds
    strictly left to right, and every per-position formula keeps the scalar
    operation order, so the result equals `best_split` bit for bit.  The
    first minimum (np.argmin) is the first candidate that a strict less-than
    sweep keeps."""
    n, m = X.shape
    tot = float(n)
    with np.errstate(all="ignore"):
        if regression:
            yv = np.asarray(y[:n], dtype=np.float64)
            s = float(np.cumsum(yv)[-1]) if n else 0.0
            s2 = float(np.cumsum(yv * yv)[-1]) if n else 0.0
            mean = np.float64(s) / tot
            if np.float64(s2) / tot - mean * mean < 1e-15:
                return NONE3
        else:
            classes = np.unique(y)
            codes = np.searchsorted(classes, y[:n])
            total = np.bincount(codes, minlength=len(classes)).astype(np.float64)
            base = np.float64(1.0)
            for t in total:
                p = t / np.float64(tot)
                base -= p * p
            if base < 1e-15:
                return NONE3
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
            ok = (cur != nxt) & ~(ln < min_samples_leaf) & ~(rn < min_samples_leaf) & (score < 1e308)
            if ok.any():
                i = int(np.argmin(np.where(ok, score, np.inf)))
                if score[i] < best[2]:
                    best = (j, float((cur[i] + nxt[i]) * 0.5), float(score[i]))
    return NONE3 if best[0] == -1 else best


# --------------------------------------------------------------------------
# k nearest rows


def knn_problem(X, Q, k, idx, dst) -> str | None:
    """None when every row of (idx, dst) holds the k smallest strict
    column-order squared distances from its query row to the rows of X, in
    increasing order, bit for bit, with distinct in-range int32 indices whose
    own distances are the ones listed (k clamped to the rows of X); else what
    is wrong.  Among equal distances any order of the indices is accepted."""
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
    acc = distances("sqeuclidean", Q, X)
    if not bits_equal(dst, np.sort(acc, axis=1)[:, :k]):
        return "distances differ from brute force"
    if not bits_equal(np.take_along_axis(acc, idx.astype(np.intp), axis=1), dst):
        return "indices inconsistent with their distances"
    if any(len(set(r)) != k for r in idx.tolist()):
        return "an index is listed twice"
    return None
