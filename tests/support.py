"""Helpers shared by the test modules: the bit comparisons of the reference
module, a one-ulp fault, a stand-in for a module's `np`, a check that a call lets
other Python threads run, FUNCS, the table of
the typed modules' functions, and MODULES / FUNCTIONS, every module's
functions in source order."""

import sys
import threading
import time
from dataclasses import dataclass

import numpy as np
import pytest
from kelpwise.accel.reference import bits, bits_equal  # noqa: F401  (shared from here)


def bump_last(a):
    """A copy of `a` with its last entry one ulp higher."""
    a = np.array(a)
    a.flat[-1] = np.nextafter(a.flat[-1], np.inf)
    return a


def lets_other_threads_run(make) -> bool:
    """Whether a pure-Python thread gets work done during a call: at least an
    eighth of the call's time, at the rate it counts at when it runs.  A call
    that holds the interpreter lock leaves it a turn at either end, of one
    switch interval (1 ms here) or, beside busy processes that keep the waiting
    thread from waking, up to about 5 ms; a call that lets go of the lock
    leaves it its share of a core throughout.  Timing the work rather than the
    milliseconds ticked in keeps a turn the system stretches by stopping the
    counting thread from counting more.  make(n) returns a call doing about n
    units of work; n doubles until the call takes 64 ms, so that the two turns
    stay under the eighth.  A call whose threads fill every core, or a burst
    of another process's work, may leave the counting thread little, so it
    gets three tries, a quarter of a second apart: a call that holds the lock
    fails every one of them."""
    for scale in (1, 2, 4, 8, 16, 32, 64):
        call = make(scale)
        verdict = _probe(call)
        if verdict is not None:
            return verdict or any(time.sleep(0.25) or _probe(call) for _ in range(2))
    raise AssertionError("the call is too short to tell")


def tiled(a, n):
    """a's rows n times over (a itself for n = 1)."""
    return np.concatenate([a] * n) if n > 1 else a


def _probe(call):
    ticks, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            for _ in range(1000):
                pass
            ticks.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-3)
    t = threading.Thread(target=count)
    t.start()
    try:
        time.sleep(16e-3)  # ticks enough to time one
        start = time.perf_counter()
        # The result is freed after the end is taken: under the sanitizers
        # the free of a large result took 20 ms, all of it with the lock held.
        result = call()
        end = time.perf_counter()
        del result
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(interval)
    if end - start < 64e-3:
        return None
    # A tick's work: the median gap between ticks.  The gaps in which the
    # system or the call kept the thread waiting are the few long ones.
    per_tick = np.median(np.diff(ticks))
    done = per_tick * sum(start < tick < end for tick in ticks)
    return done >= (end - start) / 8


class FakeNumpy:
    """Stands in for a module's `np`: forwards to NumPy, with some attributes
    replaced."""

    float64 = np.float64
    intp = np.intp

    def __init__(self, **overrides):
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(np, name)


@dataclass
class Fn:
    module: str
    name: str
    params: tuple  # (name, kind): kind "a" array, "i" int32, "o" object
    nrequired: int
    line: int  # binding, type test and view errors
    conv_line: int  # integer conversion errors
    arrays: dict  # name -> (ndim, element type name)
    valid: callable  # () -> dict of valid arguments
    defaults: tuple = ()
    doc: str = None
    result_line: int = None  # allocation and view of the result (distances)

    @property
    def func(self):
        mod = pytest.importorskip("kelpwise.accel." + self.module)
        return getattr(mod, self.name)

    @property
    def qualified(self):
        return f"kelpwise.accel.{self.module}.{self.name}"

    def args(self):
        v = self.valid()
        return [v[p] for p, _ in self.params]

    def __repr__(self):
        return self.name


def _img(*shape):
    return np.arange(np.prod(shape), dtype=np.float64).reshape(shape)


def _dist_args():
    return {"X": _img(3, 2), "Y": _img(4, 2)}


CLASSIFIER_DOC = (
    "Find best (feature, threshold) for a classification node.\n"
    "\n"
    "    Returns (best_feat, best_thr, best_score) or (None, None, None).\n"
    "    Uses pre-sorted feature columns and cumulative counts for O(n*m) total.\n"
    "    "
)
REGRESSOR_DOC = "Find best (feature, threshold) for a regression node (MSE)."

DIST = (("X", "a"), ("Y", "a"))
DIST_ARRAYS = {"X": (2, "DTYPE_t"), "Y": (2, "DTYPE_t")}

FUNCS = [
    Fn("_tarsine", "pairwise_squared_euclidean", DIST, 2, 11, 11, DIST_ARRAYS, _dist_args, result_line=16),
    Fn("_tarsine", "pairwise_distances", DIST, 2, 30, 30, DIST_ARRAYS, _dist_args, result_line=35),
    Fn("_tarsine", "pairwise_manhattan_distances", DIST, 2, 49, 49, DIST_ARRAYS, _dist_args, result_line=54),
    Fn(
        "_plenvo", "im2col",
        (("X", "a"), ("kh", "i"), ("kw", "i"), ("stride", "i"), ("pad", "i")),
        3, 13, 13, {"X": (4, "DTYPE_t")},
        lambda: {"X": _img(1, 4, 4, 2), "kh": 2, "kw": 2, "stride": 1, "pad": 0},
        defaults=(1, 0),
    ),
    Fn(
        "_plenvo", "col2im",
        (("cols", "a"), ("shape", "o"), ("kh", "i"), ("kw", "i"), ("stride", "i"), ("pad", "i")),
        4, 50, 50, {"cols": (2, "DTYPE_t")},
        lambda: {"cols": _img(9, 8), "shape": (1, 4, 4, 2), "kh": 2, "kw": 2, "stride": 1, "pad": 0},
        defaults=(1, 0),
    ),
    Fn(
        "_plenvo", "maxpool_forward",
        (("X", "a"), ("k", "i"), ("stride", "i")),
        3, 77, 77, {"X": (4, "DTYPE_t")},
        lambda: {"X": _img(1, 4, 4, 2), "k": 2, "stride": 2},
    ),
    Fn(
        "_plenvo", "maxpool_backward",
        (("grad", "a"), ("argmax", "a"), ("shape", "o"), ("k", "i"), ("stride", "i")),
        5, 114, 115, {"grad": (4, "DTYPE_t"), "argmax": (4, "ITYPE_t")},
        lambda: {
            "grad": _img(1, 2, 2, 2),
            "argmax": np.zeros((1, 2, 2, 2), dtype=np.intp),
            "shape": (1, 4, 4, 2),
            "k": 2,
            "stride": 2,
        },
    ),
    Fn(
        "_vellard", "_best_split_classifier",
        (("X", "a"), ("y", "a"), ("min_samples_leaf", "i")),
        3, 12, 15, {"X": (2, "DTYPE_t"), "y": (1, "INT_t")},
        lambda: {"X": _img(4, 1), "y": np.array([0, 0, 1, 1], dtype=np.int64), "min_samples_leaf": 1},
        doc=CLASSIFIER_DOC,
    ),
    Fn(
        "_vellard", "_best_split_regressor",
        (("X", "a"), ("y", "a"), ("min_samples_leaf", "i")),
        3, 97, 100, {"X": (2, "DTYPE_t"), "y": (1, "DTYPE_t")},
        lambda: {"X": _img(4, 1), "y": np.array([1.0, 1.0, 3.0, 3.0]), "min_samples_leaf": 1},
        doc=REGRESSOR_DOC,
    ),
]

MODULES = {}
for _fn in FUNCS:
    MODULES.setdefault(_fn.module, []).append(_fn.name)
MODULES["_ostrim"] = ["KDTree", "KDTree.query"]
FUNCTIONS = [name for names in MODULES.values() for name in names]
