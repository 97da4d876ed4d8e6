"""Self-check of the kelpwise.accel kernels.

`run_checks` compares every function of the four modules with its plain
NumPy reference (`kelpwise.accel.reference`) on built-in synthetic data (NaN,
infinities, signed zeros, ties, non-contiguous layouts, sizes that are not
multiples of any vector width), bit for bit.  Serves
``python -m kelpwise.accel``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np

from . import reference
from ._machine import FUNCTIONS, MODULES, load_modules


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
    hard = ab[reference.pow_half(sums) != np.sqrt(sums)][:24]
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
    for name, kind in reference.DISTANCE_KINDS.items():

        def cases(name=name, kind=kind):
            f = getattr(T, name)  # here, so that a missing function fails its own check
            for label, A, B in layouts:
                yield (
                    label,
                    lambda A=A, B=B: (
                        None
                        if reference.bits_equal(f(A, B), reference.distances(kind, A, B))
                        else "differs from the strict column-order sum"
                    ),
                )

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
                        want, woh, wow = reference.im2col(A, kh, kw, s, p)
                        return None if (oh, ow) == (woh, wow) and reference.bits_equal(cols, want) else "differs"

                    yield f"C={A.shape[3]} {layout} kh={kh} kw={kw} stride={s} pad={p}", run

    def col2im_cases():
        for img in imgs:
            for kh, kw, s, p in conv:
                rows = reference.im2col(img, kh, kw, s, p)[0].shape
                g = _edgy(rng, rows)
                for layout, G in (("C order", g), ("Fortran order", np.asfortranarray(g))):
                    yield (
                        f"C={img.shape[3]} {layout} kh={kh} kw={kw} stride={s} pad={p}",
                        lambda G=G, sh=img.shape, kh=kh, kw=kw, s=s, p=p: (
                            None
                            if reference.bits_equal(
                                P.col2im(G, sh, kh, kw, s, p), reference.col2im(G, sh, kh, kw, s, p)
                            )
                            else "differs"
                        ),
                    )

    # values rounded to whole numbers: many tied maxima, plus NaN, infinities, signed zeros
    pools = [np.round(_edgy(rng, (2, 11, 10, C)), 0) for C in (3, 8, 19)]
    windows = ((2, 2), (3, 2), (3, 1), (1, 1), (4, 3))

    def forward_cases():
        for img in pools:
            for layout, A in _image_layouts(img):
                for k, s in windows:

                    def run(A=A, k=k, s=s):
                        out, arg = P.maxpool_forward(A, k, s)
                        want, warg = reference.maxpool_forward(A, k, s)
                        if not reference.bits_equal(out, want):
                            return "maxima differ"
                        return None if arg.dtype == np.intp and np.array_equal(arg, warg) else "argmax differs"

                    yield f"C={A.shape[3]} {layout} k={k} stride={s}", run

    def backward_cases():
        for img in pools:
            for k, s in windows:
                arg = reference.maxpool_forward(img, k, s)[1]
                g = _edgy(rng, arg.shape)
                for layout, G, A in (
                    ("C order", g, arg),
                    ("Fortran order", np.asfortranarray(g), np.asfortranarray(arg)),
                ):
                    yield (
                        f"C={img.shape[3]} {layout} k={k} stride={s}",
                        lambda G=G, A=A, sh=img.shape, k=k, s=s: (
                            None
                            if reference.bits_equal(
                                P.maxpool_backward(G, A, sh, k, s), reference.maxpool_backward(G, A, sh, k, s)
                            )
                            else "differs"
                        ),
                    )

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
                        got, want = f(X, y, msl), reference.best_split(X, y, msl, regression)
                        return None if reference.same_split(got, want) else f"{got} != {want}"

                    yield f"{label} min_samples_leaf={msl}", run

        yield name, lambda cases=cases: _first_problem(cases())


def _check_ostrim(K, rng):
    def build_cases():
        base = rng.integers(-5, 6, (40, 3))
        Q = rng.standard_normal((15, 3)) * 3
        want = K.KDTree(base.astype(np.float64)).query(Q, 6)
        for label, arg in (
            ("nested list of ints", base.tolist()),
            ("int64 array", base),
            ("float32 array", base.astype(np.float32)),
        ):
            yield (
                label,
                lambda arg=arg: (
                    None
                    if all(np.array_equal(a, b) for a, b in zip(K.KDTree(arg).query(Q, 6), want, strict=True))
                    else "differs from the tree over the float64 copy"
                ),
            )
        yield "no rows", lambda: reference.knn_problem(np.zeros((0, 3)), Q, 4, *K.KDTree(np.zeros((0, 3))).query(Q, 4))
        yield "one row", lambda: reference.knn_problem(base[:1], Q, 3, *K.KDTree(base[:1].astype(float)).query(Q, 3))

    def query_cases():
        for n, d, k, kind in (
            (200, 3, 7, "normal"),
            (150, 2, 10, "grid ties"),
            (61, 8, 5, "normal"),
            (5, 2, 9, "k above n"),
            (300, 1, 1, "grid ties"),
            (33, 4, 33, "grid ties"),
        ):
            grid = kind == "grid ties"
            X = rng.integers(-3, 4, (n, d)).astype(float) if grid else rng.standard_normal((n, d))
            Q = rng.integers(-3, 4, (40, d)).astype(float) if grid else rng.standard_normal((40, d))
            Q[:5] = X[:5]  # query points that are data rows
            yield (
                f"n={n} d={d} k={k} {kind}",
                lambda X=X, Q=Q, k=k: reference.knn_problem(X, Q, k, *K.KDTree(X).query(Q, k)),
            )

    yield "KDTree", lambda: _first_problem(build_cases())
    yield "KDTree.query", lambda: _first_problem(query_cases())


_CHECKS = {"_tarsine": _check_distances, "_plenvo": _check_plenvo, "_vellard": _check_vellard, "_ostrim": _check_ostrim}


def run_checks(
    step: Callable[[str], None] = lambda _: None, functions=None, loaded: tuple[dict, dict] | None = None
) -> list[Check]:
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
