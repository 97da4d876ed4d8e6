"""Hostile inputs: arbitrary dtypes, ranks, shapes, strides, flags, integers
and `np` replacements thrown at every function.  Each call returns a correct
result or raises a Python exception; it never crashes and never changes its
inputs.  The number of cases follows the hypothesis profile (see conftest)."""

import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from kelpwise.accel import reference
from kelpwise.accel._ostrim import KDTree

from support import FUNCS

DTYPES = [np.float64, np.float32, np.int64, np.int32, np.intp, np.uint64, np.bool_, np.complex128, np.float16,
          np.dtype(">f8"), np.dtype(">i8"), np.longdouble, object]


class Sub(np.ndarray):
    pass


class BadInt:
    def __int__(self):
        raise RuntimeError("bad __int__")


class BadItems:
    def __getitem__(self, i):
        if i >= 2:
            raise RuntimeError("bad __getitem__")
        return 3


@st.composite
def arrays(draw, ndim=None):
    ndim = draw(st.integers(0, 5)) if ndim is None else ndim
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=ndim, max_size=ndim)))
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    size = int(np.prod(shape))
    values = draw(st.lists(st.sampled_from([0.0, 1.0, -1.0, 2.5, np.nan, np.inf, -np.inf, -0.0, 3.0, 7.0]),
                           min_size=size, max_size=size))
    with np.errstate(all="ignore"):
        a = np.array(values, dtype=np.float64).reshape(shape)
        a = a.astype(dtype) if dtype.kind != "O" else a.astype(object)
    layout = draw(st.sampled_from(["c", "f", "reversed", "strided", "broadcast", "unaligned"]))
    if layout == "f":
        a = np.asfortranarray(a)
    elif layout == "reversed" and ndim:
        a = a[(slice(None, None, -1),) * ndim]
    elif layout == "strided" and ndim:
        big = np.zeros(tuple(2 * s for s in shape), dtype=a.dtype)
        view = big[(slice(None, None, 2),) * ndim]
        view[...] = a
        a = view
    elif layout == "broadcast" and ndim and shape[0] > 1:
        a = np.broadcast_to(a[:1], shape)
    elif layout == "unaligned" and dtype.kind != "O" and dtype.itemsize > 1:
        raw = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(shape)
        raw[...] = a
        a = raw
    if draw(st.booleans()) and a.flags.writeable:
        a.flags.writeable = False
    if draw(st.booleans()):
        a = a.view(Sub)
    return a


INTS = st.one_of(st.integers(-3, 6), st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**70), 0]),
                 st.sampled_from([1.5, "3", None, BadInt(), True, np.int64(2)]))
SHAPES = st.one_of(st.lists(st.integers(-2, 6), min_size=0, max_size=5).map(tuple),
                   st.sampled_from([None, BadItems(), "abcd", {0: 1}]))


def snapshot(args):
    return [(a, a.copy(), a.flags.writeable) if isinstance(a, np.ndarray) else (a, None, None) for a in args]


def unchanged(snap):
    for a, copy, writable in snap:
        if copy is None:
            continue
        if a.flags.writeable != writable:
            return False
        if a.dtype.kind == "O":
            if not all(x is y or (x != x and y != y) or x == y for x, y in zip(a.ravel(), copy.ravel(), strict=True)):
                return False
        elif not np.array_equal(np.ascontiguousarray(a).view(np.uint8), np.ascontiguousarray(copy).view(np.uint8)):
            return False
    return True


@st.composite
def call_args(draw, fn):
    v = fn.valid()
    args = []
    for name, kind in fn.params:
        if kind == "a":
            ndim = fn.arrays[name][0]
            choice = draw(st.sampled_from(["valid", "random", "right-rank", "none", "list"]))
            if choice == "valid":
                args.append(v[name])
            elif choice == "random":
                args.append(draw(arrays()))
            elif choice == "right-rank":
                args.append(draw(arrays(ndim)))
            else:
                args.append(None if choice == "none" else [1.0])
        elif kind == "i":
            args.append(draw(st.one_of(st.just(v[name]), INTS)))
        else:
            args.append(draw(st.one_of(st.just(v[name]), SHAPES)))
    return args


def check_result(fn, args, result):
    """Results of calls that succeed are checked against the references."""
    if fn.module == "_tarsine":
        X, Y = args
        assert reference.bits_equal(result, reference.distances(reference.DISTANCE_KINDS[fn.name], X, Y))
    elif fn.name == "maxpool_forward":
        X, k, s = args
        out, arg = reference.maxpool_forward(np.asarray(X, dtype=np.float64), int(k), int(s))
        assert reference.bits_equal(result[0], out) and np.array_equal(result[1], arg)
    elif fn.name == "im2col":
        assert result[0].shape[0] == np.asarray(args[0]).shape[0] * result[1] * result[2]


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture], deadline=None)
@given(data=st.data())
def test_hostile_arguments(fn, data):
    f = fn.func
    args = data.draw(call_args(fn))
    snap = snapshot(args)
    try:
        with np.errstate(all="ignore"):
            result = f(*args)
    except Exception:
        result = None
    else:
        with np.errstate(all="ignore"):
            check_result(fn, args, result)
    assert unchanged(snap)


class WrongNumpy:
    """An `np` whose functions return arrays of the wrong shape, dtype or rank."""

    float64 = np.float64
    intp = np.intp

    def __init__(self, make):
        self.make = make

    def __getattr__(self, name):
        real = getattr(np, name)
        return lambda *a, **k: self.make(real(*a, **k))


@pytest.mark.parametrize("fn", FUNCS, ids=repr)
@pytest.mark.filterwarnings("ignore:invalid value encountered in cast")  # NaN results recast by the fake np
@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture], deadline=None)
@given(data=st.data())
def test_np_returning_wrong_things(monkeypatch, fn, data):
    f = fn.func
    mod = sys.modules[f.__module__]
    transform = data.draw(st.sampled_from([
        lambda a: a[:1] if getattr(a, "ndim", 0) else a,
        lambda a: a[..., :1] if getattr(a, "ndim", 0) else a,
        lambda a: np.asarray(a).reshape(-1)[:2],
        lambda a: np.asarray(a).astype(np.float32),
        lambda a: np.asarray(a).astype(np.int32),
        lambda a: np.zeros((1,) * 5),
        lambda a: np.asarray(a)[::-1] if np.ndim(a) else a,
        lambda a: np.broadcast_to(np.asarray(a), np.shape(a)),
        lambda a: np.asarray(a) + 10**6 if np.asarray(a).dtype.kind == "i" else a,
        lambda a: np.asarray(a) - 10**6 if np.asarray(a).dtype.kind == "i" else a,
        lambda a: [1, 2, 3],
        lambda a: None,
    ]))
    monkeypatch.setattr(mod, "np", WrongNumpy(transform))
    args = [np.asarray(a).copy() if isinstance(a, np.ndarray) else a for a in fn.args()]
    snap = snapshot(args)
    try:
        f(*args)
    except Exception:
        pass
    assert unchanged(snap)


@pytest.mark.filterwarnings("ignore:Casting complex values to real")  # forced float64 conversion, as NumPy warns
@settings(deadline=None)
@given(X=arrays(), Q=arrays(), k=INTS)
def test_kdtree_hostile_arguments(X, Q, k):
    snap = snapshot([X, Q])
    try:
        tree = KDTree(X)
        idx, dst = tree.query(Q, k)
    except Exception:
        pass
    else:
        Xf, Qf = np.asarray(X, dtype=np.float64), np.asarray(Q, dtype=np.float64)
        if not np.isnan(Xf).any() and not np.isnan(Qf).any() and np.isfinite(Xf).all() and np.isfinite(Qf).all():
            kk = min(int(k), len(Xf))
            if kk > 0:
                assert reference.knn_problem(Xf, Qf, kk, idx, dst) is None
    assert unchanged(snap)
