"""kelpwise.accel.parallel: the module functions' results, bit for bit, for
every number of workers; the interpreter lock released while the kernels
run; racing writers and a KD-tree rebuilt under its queries (in a child
interpreter, so that a crash fails the case)."""

import os
import pickle
import subprocess
import sys
import textwrap
from functools import partial

import numpy as np
import pytest
from kelpwise.accel import _ostrim, _plenvo, _tarsine, _vellard
from kelpwise.accel import parallel as P
from kelpwise.accel.reference import bits_equal

from support import lets_other_threads_run, tiled

WORKERS = [1, 2, 3, 8, None]
rng = np.random.default_rng(21)


@pytest.fixture(autouse=True)
def no_inline(monkeypatch):
    """Every input takes the threaded path, however small."""
    for name in ("_INLINE_PAIR_COLS", "_INLINE_ELEMENTS", "_INLINE_CELLS"):
        monkeypatch.setattr(P, name, 0)


def identical(a, b):
    """Same types, dtypes, shapes and bits (every NaN counted as one: the
    sign and payload of a NaN are no part of any result)."""
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(map(identical, a, b))
    if isinstance(a, np.ndarray):
        if type(b) is not np.ndarray or a.dtype != b.dtype or a.shape != b.shape:
            return False
        return bits_equal(a, b) if a.dtype == np.float64 else np.array_equal(a, b)
    return type(a) is type(b) and (a == b or (a != a and b != b))


def values(shape, kind):
    a = rng.standard_normal(shape)
    if kind == "ties":
        a = np.round(a * 2) / 2
    elif kind == "special" and a.size:
        flat = a.reshape(-1)
        count = max(1, a.size // 7)
        flat[rng.integers(0, a.size, count)] = rng.choice([np.nan, np.inf, -np.inf, -0.0], count)
    return a


def layout(a, kind):
    """The values of a in another memory layout."""
    if kind == "fortran":
        return np.asfortranarray(a)
    if kind == "strided":  # every other element of a wider last axis
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if kind == "reversed":  # negative strides on the first axis
        return np.ascontiguousarray(a[::-1])[::-1]
    return a


KINDS = ["normal", "ties", "special"]
LAYOUTS = ["c", "fortran", "strided", "reversed"]


def check(parallel_fn, module_fn, *args):
    want = module_fn(*args)
    for w in WORKERS:
        assert identical(parallel_fn(*args, workers=w), want), w


@pytest.mark.parametrize("name", ["pairwise_squared_euclidean", "pairwise_distances", "pairwise_manhattan_distances"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("lay", LAYOUTS)
@pytest.mark.parametrize("n, m, d", [(61, 43, 19), (7, 3, 1), (25, 0, 4), (13, 9, 0), (0, 5, 3)])
def test_distances(name, kind, lay, n, m, d):
    X, Y = layout(values((n, d), kind), lay), layout(values((m, d + 2), kind), lay)
    check(getattr(P, name), getattr(_tarsine, name), X, Y)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("lay", LAYOUTS)
@pytest.mark.parametrize("shape, kh, kw, stride, pad", [
    ((7, 9, 11, 3), 3, 2, 2, 1), ((5, 6, 6, 2), 2, 2, 1, 0), ((3, 4, 5, 0), 2, 3, 1, 2), ((0, 4, 4, 2), 2, 2, 1, 0),
])
def test_patches(kind, lay, shape, kh, kw, stride, pad):
    X = layout(values(shape, kind), lay)
    check(P.im2col, _plenvo.im2col, X, kh, kw, stride, pad)
    cols = layout(values(_plenvo.im2col(X, kh, kw, stride, pad)[0].shape, kind), lay)
    check(P.col2im, _plenvo.col2im, cols, list(shape), kh, kw, stride, pad)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("lay", LAYOUTS)
@pytest.mark.parametrize("shape, k, stride", [((7, 13, 11, 5), 3, 2), ((4, 8, 8, 3), 2, 2), ((3, 5, 5, 0), 2, 1),
                                              ((5, 6, 7, 2), 5, 3), ((0, 4, 4, 1), 2, 2)])
def test_pooling(kind, lay, shape, k, stride):
    X = layout(values(shape, kind), lay)
    check(P.maxpool_forward, _plenvo.maxpool_forward, X, k, stride)
    out, arg = _plenvo.maxpool_forward(X, k, stride)
    check(P.maxpool_backward, _plenvo.maxpool_backward, layout(values(out.shape, kind), lay), layout(arg, lay),
          shape, k, stride)


@pytest.mark.parametrize("regression", [False, True])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("lay", LAYOUTS)
@pytest.mark.parametrize("n, m, leaf", [(301, 7, 1), (40, 3, 5), (9, 2, 20), (0, 3, 1), (50, 1, 1), (2, 4, 1)])
def test_split_search(regression, kind, lay, n, m, leaf):
    X = layout(values((n, m), kind), lay)
    if regression:
        y = layout(values((n, 1), kind if kind != "special" else "ties"), lay)[:, 0]
        check(P.best_split_regressor, _vellard._best_split_regressor, X, y, leaf)
    else:
        y = layout(rng.integers(-3, 4, (n, 1)), lay)[:, 0]
        check(P.best_split_classifier, _vellard._best_split_classifier, X, y, leaf)


def test_split_search_pure_node_and_longer_y():
    X = values((30, 4), "normal")
    check(P.best_split_classifier, _vellard._best_split_classifier, X, np.full(30, 7), 1)
    check(P.best_split_regressor, _vellard._best_split_regressor, X, np.full(30, 0.5), 1)
    check(P.best_split_regressor, _vellard._best_split_regressor, X, values(45, "normal"), 2)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("lay", LAYOUTS)
@pytest.mark.parametrize("n, d, nq, k", [(700, 3, 1031, 10), (90, 8, 77, 5), (50, 2, 40, 80), (5, 4, 9, 0),
                                         (1, 1, 3, 2), (40, 3, 0, 4)])
def test_kdtree(kind, lay, n, d, nq, k):
    X, Q = values((n, d), kind), layout(values((nq, d), kind), lay)
    if kind == "ties":
        X[n // 2:] = X[: n - n // 2]  # duplicate rows: equal distances
    tree, want = P.KDTree(layout(X, lay)), _ostrim.KDTree(X).query(Q, k)
    for w in WORKERS:
        assert identical(tree.query(Q, k, workers=w), want), w
    again = pickle.loads(pickle.dumps(tree))
    assert identical(again.query(Q, k), want) and identical(again.data, X)


# --------------------------------------------------------------------------
# Errors: the module's types and texts.

img = values((3, 6, 6, 2), "normal")
out3, arg3 = _plenvo.maxpool_forward(img, 2, 2)
bad_arg = arg3.copy()
bad_arg[2, 1, 2, 1] = 4
far_arg = arg3.copy()
far_arg[1, 2, 2, 0] = 3

ERRORS = {
    "float32 X": (P.pairwise_squared_euclidean, _tarsine.pairwise_squared_euclidean,
                  (np.ones((3, 2), np.float32), np.ones((3, 2)))),
    "list X": (P.pairwise_distances, _tarsine.pairwise_distances, ([[1.0]], np.ones((1, 1)))),
    "narrow Y": (P.pairwise_manhattan_distances, _tarsine.pairwise_manhattan_distances,
                 (np.ones((3, 4)), np.ones((3, 2)))),
    "window too large": (P.im2col, _plenvo.im2col, (img, 9, 2)),
    "cols shape": (P.col2im, _plenvo.col2im, (np.ones((5, 8)), img.shape, 2, 2)),
    "k = 0": (P.maxpool_forward, _plenvo.maxpool_forward, (img, 0, 1)),
    "argmax outside its window": (P.maxpool_backward, _plenvo.maxpool_backward, (out3, bad_arg, img.shape, 2, 2)),
    "argmax outside the image": (P.maxpool_backward, _plenvo.maxpool_backward, (out3, far_arg, (3, 5, 5, 2), 2, 2)),
    "int32 argmax": (P.maxpool_backward, _plenvo.maxpool_backward, (out3, arg3.astype(np.int32), img.shape, 2, 2)),
    "float labels": (P.best_split_classifier, _vellard._best_split_classifier, (np.ones((4, 2)), np.ones(4), 1)),
    "short y": (P.best_split_regressor, _vellard._best_split_regressor, (np.ones((4, 2)), np.ones(3), 1)),
    "leaf too large": (P.best_split_regressor, _vellard._best_split_regressor, (np.ones((4, 2)), np.ones(4), 2**40)),
}


@pytest.mark.parametrize("name", list(ERRORS))
def test_errors_are_the_modules(name):
    parallel_fn, module_fn, args = ERRORS[name]
    with pytest.raises(Exception) as want:
        module_fn(*args)
    for w in (2, None):
        with pytest.raises(want.type) as got:
            parallel_fn(*args, workers=w)
        assert str(got.value) == str(want.value)


@pytest.mark.parametrize("build, query", [
    (np.ones((3, 2, 1)), None), (np.ones((4, 2)), np.ones((2, 3))), (np.ones((4, 2)), np.ones(2)),
    ("abc", None), (np.ones((4, 2)), "abc"),
])
@pytest.mark.parametrize("k", [3, -1, 2.5, 2**40])
def test_kdtree_errors_keep_their_types(build, query, k):
    def outcome(cls):
        try:
            tree = cls(build)
            return tree.query(np.ones((2, 2)) if query is None else query, k)
        except Exception as e:
            return type(e)

    want = outcome(_ostrim.KDTree)
    got = outcome(P.KDTree)
    assert identical(got, want) if isinstance(want, tuple) else got is want


def test_unbuilt_tree_is_refused():
    with pytest.raises(ValueError, match="not built"):
        P.KDTree.__new__(P.KDTree).query(np.ones((1, 1)), 1)


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError), ("2", TypeError),
                                            (True, TypeError), ([2], TypeError)])
def test_bad_workers(workers, error):
    X = np.ones((4, 3))
    calls = [lambda: P.pairwise_distances(X, X, workers=workers),
             lambda: P.KDTree(X).query(X, 1, workers=workers),
             lambda: P.maxpool_forward(np.ones((2, 2, 2, 1)), 1, 1, workers=workers)]
    for call in calls:
        with pytest.raises(error, match="workers"):
            call()


def test_workers_rule():
    assert P.workers_count(None) == P.workers_count(-1) == len(os.sched_getaffinity(0))
    assert P.workers_count(np.int64(5)) == 5


def test_simd_path():
    name, width = P.simd_path()
    assert (name, width) in {("AVX-512", 8), ("AVX2", 4), ("SSE2", 2), ("NEON", 2), ("generic", 2)}


# --------------------------------------------------------------------------
# The lock is released: a pure-Python thread keeps counting inside a call.

X_big = rng.standard_normal((1500, 64))
tree_big = P.KDTree(rng.standard_normal((100_000, 3)))
Q_big = rng.standard_normal((40_000, 3))
img_big = rng.standard_normal((16, 64, 64, 32))
S_big, y_big = rng.standard_normal((50_000, 8)), rng.integers(0, 3, 50_000)


# Each makes a call doing about n units of work (its inputs made beforehand).
LONG_CALLS = {
    "distances": lambda n: partial(P.pairwise_squared_euclidean, tiled(X_big, n), X_big, workers=2),
    "kdtree query": lambda n: partial(tree_big.query, tiled(Q_big, n), 10, workers=2),
    "maxpool": lambda n: partial(P.maxpool_forward, tiled(img_big, n), 3, 2, workers=2),
    "split search": lambda n: partial(P.best_split_classifier, tiled(S_big, n), tiled(y_big, n), 1, workers=2),
}


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_lock_released(name):
    assert lets_other_threads_run(LONG_CALLS[name])


def test_lock_probe_sees_a_held_lock():  # the module function holds the lock for the whole call
    assert not lets_other_threads_run(lambda n: partial(_tarsine.pairwise_squared_euclidean, tiled(X_big, n), X_big))


# --------------------------------------------------------------------------
# Racing threads, in a child interpreter.

def child(code):
    prelude = "import threading, numpy as np\nfrom kelpwise.accel import parallel as P, _ostrim, _plenvo, _tarsine\n"
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout.split()


def test_inputs_rewritten_during_calls():
    out = child("""
        rng = np.random.default_rng(1)
        X = rng.standard_normal((400, 16)); img = rng.standard_normal((16, 20, 20, 4))
        out, arg = _plenvo.maxpool_forward(img, 2, 2)
        S, y, Q = rng.standard_normal((3000, 6)), rng.integers(0, 3, 3000), rng.standard_normal((3000, 3))
        tree = P.KDTree(rng.standard_normal((2000, 3)))
        stop = threading.Event()
        def scribble():
            r = np.random.default_rng(2)
            while not stop.is_set():
                X[r.integers(400)] = r.standard_normal(16) * 1e300
                arg.reshape(-1)[r.integers(arg.size, size=50)] = r.integers(-2**62, 2**62, 50)
                y[r.integers(3000, size=50)] = r.integers(-5, 5, 50)
                S[r.integers(3000)] = np.nan
                Q[r.integers(3000)] = r.standard_normal(3) * 1e300
                for a in (X, arg, S, y, Q):
                    try:
                        a.resize(3)
                        print("resized")
                    except ValueError:
                        pass
        calls = [lambda: P.pairwise_distances(X, X, workers=3),
                 lambda: P.maxpool_backward(out, arg, img.shape, 2, 2, workers=3),
                 lambda: P.best_split_classifier(S, y, 1, workers=3), lambda: tree.query(Q, 5, workers=3),
                 lambda: P.im2col(img, 3, 3, 1, 1, workers=3)]
        t = threading.Thread(target=scribble); t.start()
        seen = set()
        for i in range(60):
            try:
                calls[i % len(calls)]()
                seen.add("ok")
            except (ValueError, IndexError, KeyError) as e:
                seen.add(type(e).__name__)
        stop.set(); t.join()
        print(*sorted(seen))
    """)
    assert "ok" in out and "resized" not in out


def test_tree_rebuilt_under_running_queries():
    out = child("""
        rng = np.random.default_rng(3)
        A, B, Q = rng.standard_normal((3000, 3)), rng.standard_normal((2000, 3)) + 0.5, rng.standard_normal((2000, 3))
        want = [_ostrim.KDTree(D).query(Q, 4) for D in (A, B)]
        tree = P.KDTree(A)
        stop, bad, done = threading.Event(), [], []
        def query():
            while not stop.is_set():
                i, d = tree.query(Q, 4, workers=2)
                if not any(np.array_equal(i, wi) and np.array_equal(d, wd) for wi, wd in want):
                    bad.append(1)
                done.append(1)
        threads = [threading.Thread(target=query) for _ in range(3)]
        for t in threads: t.start()
        for r in range(40):
            tree.__init__(B if r % 2 == 0 else A)
        stop.set()
        for t in threads: t.join()
        print(len(bad), len(done) > 0)
    """)
    assert out == ["0", "True"]


@pytest.mark.skipif(os.environ.get("KW_SANITIZED") == "1", reason="the sanitizers reserve the address space")
def test_memory_error_is_raised_not_fatal():
    out = child("""
        import resource
        with open("/proc/self/status") as fh:
            vm = next(int(l.split()[1]) for l in fh if l.startswith("VmSize:")) * 1024
        g = np.zeros((64, 64, 64, 64)); a = np.zeros(g.shape, np.intp)
        limit = vm + 3 * g.nbytes
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            P.maxpool_backward(g, a, g.shape, 2, 1, workers=2)
            print("ok")
        except MemoryError:
            print("MemoryError")
    """)
    assert out == ["MemoryError"]
