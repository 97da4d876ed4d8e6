"""im2col/col2im and max pooling against the plain references, bit for bit,
with the refusals of inconsistent arguments and the failure lines."""

import traceback

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from kelpwise.accel import _plenvo as P
from kelpwise.accel import reference as ref

from support import FakeNumpy, bits_equal


def layouts(a):
    yield np.ascontiguousarray(a)
    yield np.asfortranarray(a)
    yield a[::-1, ::-1][::-1, ::-1]
    big = np.zeros(tuple(2 * x + 1 for x in a.shape))
    v = big[tuple(slice(1, None, 2) for _ in a.shape)]
    v[...] = a
    yield v
    ro = np.array(a, order="F")
    ro.flags.writeable = False
    yield ro


# --------------------------------------------------------------------------
# im2col / col2im


def test_worked_examples():
    X = np.arange(9.0).reshape(1, 3, 3, 1)
    cols, OH, OW = P.im2col(X, 2, 2)
    assert (OH, OW) == (2, 2) and cols.shape == (4, 4)
    assert cols[1].tolist() == [1.0, 2.0, 4.0, 5.0]
    X2 = np.arange(18.0).reshape(1, 3, 3, 2)
    assert P.im2col(X2, 2, 2)[0][0].tolist() == [0, 1, 2, 3, 6, 7, 8, 9]
    cols, OH, OW = P.im2col(np.ones((1, 4, 4, 1)), 3, 3, 1, 1)
    assert (OH, OW) == (4, 4) and cols[0].tolist() == [0, 0, 0, 0, 1, 1, 0, 1, 1]
    assert P.col2im(P.im2col(np.ones((1, 3, 3, 1)), 2, 2)[0], (1, 3, 3, 1), 2, 2)[0, :, :, 0].tolist() == [
        [1, 2, 1], [2, 4, 2], [1, 2, 1]]


def test_rows_after_the_last_window_are_never_read():
    X = np.arange(25.0).reshape(1, 5, 5, 1)
    X[0, 4] = np.nan
    cols, OH, OW = P.im2col(X, 2, 2, 2, 0)
    assert OH == 2 and not np.isnan(cols).any()
    back = P.col2im(cols, X.shape, 2, 2, 2, 0)
    assert (back[0, 4] == 0).all()


@pytest.mark.parametrize("k,s,p", [(1, 1, 0), (2, 1, 0), (3, 1, 1), (3, 2, 1), (2, 3, 2), (5, 1, 2), (2, 2, -1)])
def test_im2col_and_col2im_match_references(k, s, p):
    rng = np.random.default_rng(k * 10 + s + p)
    X = rng.standard_normal((2, 7, 6, 3))
    expected, OH, OW = ref.im2col(X, k, k, s, p)
    for Xl in layouts(X):
        cols, oh, ow = P.im2col(Xl, k, k, s, p)
        assert (oh, ow) == (OH, OW) and cols.flags.c_contiguous and bits_equal(cols, expected)
    grads = rng.standard_normal(expected.shape)
    want = ref.col2im(grads, X.shape, k, k, s, p)
    for gl in layouts(grads):
        if not gl.flags.writeable:
            continue
        got = P.col2im(gl, X.shape, k, k, s, p)
        assert bits_equal(got, want)


@settings(deadline=None)
@given(
    N=st.integers(0, 2), H=st.integers(1, 7), W=st.integers(1, 7), C=st.integers(1, 5),
    kh=st.integers(1, 4), kw=st.integers(1, 4), s=st.integers(1, 3), p=st.integers(-1, 2), data=st.data(),
)
def test_property_patch_functions(N, H, W, C, kh, kw, s, p, data):
    if kh > H + 2 * p or kw > W + 2 * p:
        with pytest.raises(ValueError, match="does not fit"):
            P.im2col(np.zeros((N, H, W, C)), kh, kw, s, p)
        return
    X = data.draw(hnp.arrays(np.float64, (N, H, W, C),
                             elements=st.floats(allow_nan=True, allow_infinity=True, width=64)))
    if data.draw(st.booleans()):
        X = np.asfortranarray(X)
    expected, OH, OW = ref.im2col(X, kh, kw, s, p)
    cols, oh, ow = P.im2col(X, kh, kw, s, p)
    assert (oh, ow) == (OH, OW) and bits_equal(cols, expected)
    g = data.draw(hnp.arrays(np.float64, expected.shape, elements=st.floats(-1e3, 1e3, width=64)))
    # a negative pad adds no border: the buffer is the top-left part
    assert bits_equal(P.col2im(g, (N, H, W, C), kh, kw, s, p), ref.col2im(g, (N, H, W, C), kh, kw, s, p))


def test_col2im_is_the_adjoint_of_im2col():
    rng = np.random.default_rng(7)
    X = rng.standard_normal((2, 6, 5, 3))
    cols, _, _ = P.im2col(X, 3, 2, 2, 1)
    G = rng.standard_normal(cols.shape)
    lhs = np.vdot(P.col2im(G, X.shape, 3, 2, 2, 1), X)
    assert np.isclose(lhs, np.vdot(G, cols), rtol=1e-12)


def test_round_trip_with_non_overlapping_windows():
    X = np.random.default_rng(2).standard_normal((2, 6, 4, 3))
    X[0, 0, 0, 0] = -0.0
    back = P.col2im(P.im2col(X, 2, 2, 2, 0)[0], X.shape, 2, 2, 2, 0)
    Xp = X.copy()
    Xp[0, 0, 0, 0] = 0.0  # -0.0 comes back as +0.0
    assert bits_equal(back, Xp)


def test_col2im_result_layout():
    r = P.col2im(np.ones((2 * 4 * 5, 27)), (2, 4, 5, 3), 3, 3, 1, 1)
    assert r.shape == (2, 4, 5, 3) and not r.flags.c_contiguous and r.base.shape == (2, 6, 7, 3)
    r0 = P.col2im(np.ones((2 * 2 * 3, 27)), (2, 4, 5, 3), 3, 3, 1, 0)
    assert r0.flags.c_contiguous and r0.flags.owndata
    neg = P.col2im(np.ones((4, 4)), (1, 5, 5, 1), 2, 2, 1, -1)
    assert neg.shape == (1, 3, 3, 1)


def test_empty_batch():
    cols, OH, OW = P.im2col(np.zeros((0, 4, 4, 2)), 3, 3)
    assert cols.shape == (0, 18) and (OH, OW) == (2, 2)
    assert P.col2im(np.zeros((0, 18)), (0, 4, 4, 2), 3, 3).shape == (0, 4, 4, 2)


@pytest.mark.parametrize("shape", [[1, 3, 3, 1], (1, 3, 3, 1, 99), np.array([1, 3, 3, 1]),
                                   np.zeros((1, 3, 3, 1)).shape, {0: 1, 1: 3, 2: 3, 3: 1}])
def test_shape_argument_kinds(shape):
    assert P.col2im(np.ones((4, 4)), shape, 2, 2).shape == (1, 3, 3, 1)


def test_inputs_are_not_modified_and_cols_is_a_copy():
    X = np.random.default_rng(3).standard_normal((1, 4, 4, 2))
    keep = X.copy()
    cols, _, _ = P.im2col(X, 2, 2)
    X += 1
    assert bits_equal(cols, ref.im2col(keep, 2, 2, 1, 0)[0])
    c2 = cols.copy()
    P.col2im(cols, (1, 4, 4, 2), 2, 2)
    assert bits_equal(cols, c2)


def test_read_only_rules():
    ro = np.ones((1, 4, 4, 1))
    ro.flags.writeable = False
    for f in (lambda: P.im2col(ro, 2, 2), lambda: P.maxpool_forward(ro, 2, 2)):
        with pytest.raises(ValueError, match="read-only"):
            f()
    assert P.im2col(ro, 2, 2, 1, 1)[0].shape == (25, 4)  # padded: copied first
    assert P.im2col(ro[:, ::-1], 2, 2)[0].shape == (9, 4)  # not C-contiguous: copied
    assert P.maxpool_forward(ro[:, ::-1], 2, 2)[0].shape == (1, 2, 2, 1)
    cols = np.ones((9, 4))
    cols.flags.writeable = False
    with pytest.raises(ValueError, match="read-only") as info:
        P.col2im(cols, (1, 4, 4, 1), 2, 2)
    assert traceback.extract_tb(info.value.__traceback__)[-1].lineno == 59


# --------------------------------------------------------------------------
# max pooling


@pytest.mark.parametrize(
    "window, value, index",
    [
        ([[1, 5], [5, 2]], 5.0, 1),
        ([[3, 3], [3, 3]], 3.0, 0),
        ([[np.nan, 5], [9, 2]], np.nan, 0),
        ([[1, np.nan], [4, 2]], 4.0, 2),
        ([[-np.inf, -np.inf], [-np.inf, -np.inf]], -np.inf, 0),
        ([[-0.0, 0.0], [-1, -2]], -0.0, 0),
        ([[0.0, -0.0], [-1, np.inf]], np.inf, 3),
    ],
)
def test_pooling_window_rules(window, value, index):
    out, arg = P.maxpool_forward(np.array(window, dtype=float).reshape(1, 2, 2, 1), 2, 2)
    assert bits_equal(out.reshape(()), np.float64(value)) and arg.item() == index
    assert arg.dtype == np.intp


@pytest.mark.parametrize("k,s", [(2, 2), (3, 2), (3, 1), (1, 1), (2, 3), (4, 2), (6, 1)])
@pytest.mark.parametrize("C", [1, 3, 8, 13])
def test_pooling_matches_reference(k, s, C):
    rng = np.random.default_rng(k * 100 + s * 10 + C)
    X = rng.integers(-3, 4, (2, 7, 8, C)).astype(float)  # many ties
    X[0, 1, 1, 0] = np.nan
    X[1, 2, 3, -1] = -np.inf
    out_r, arg_r = ref.maxpool_forward(X, k, s)
    for Xl in layouts(X):
        if not Xl.flags.writeable and Xl.flags.c_contiguous:
            continue
        out, arg = P.maxpool_forward(Xl, k, s)
        assert bits_equal(out, out_r) and np.array_equal(arg, arg_r)
    grad = rng.standard_normal(out_r.shape)
    want = ref.maxpool_backward(grad, arg_r, X.shape, k, s)
    for gl in layouts(grad):
        got = P.maxpool_backward(gl, np.asfortranarray(arg_r), list(X.shape), k, s)
        assert bits_equal(got, want)


@pytest.mark.parametrize("C", [8, 9, 16])
@pytest.mark.parametrize("k,s,H,OH", [(2, 2, 5, 3), (3, 2, 6, 3), (2, 1, 4, 4)])
def test_backward_windows_reaching_past_the_image(k, s, H, OH, C):
    """grad may have more windows than fit the image, as long as every index
    routes inside it: only the routed cells are touched."""
    rng = np.random.default_rng(k * 10 + C)
    grad = rng.standard_normal((2, OH, OH, C))
    arg = np.zeros(grad.shape, dtype=np.intp)  # top-left cell of each window: always inside
    arg[:, : OH - 1, : OH - 1] = rng.integers(0, k * k, (2, OH - 1, OH - 1, C))
    shape = (2, H, H, C)
    got = P.maxpool_backward(grad, arg, shape, k, s)
    assert bits_equal(got, ref.maxpool_backward(grad, arg, shape, k, s))


@pytest.mark.parametrize("k,s", [(2, 2), (3, 1), (3, 2)])
def test_backward_keeps_special_values_and_order(k, s):
    """Overlapping windows add to a cell in window order; -0.0, infinities
    and NaN in grad come through as the scalar additions give them."""
    rng = np.random.default_rng(k + s)
    X = rng.integers(-2, 3, (1, 7, 7, 11)).astype(float)
    out, arg = P.maxpool_forward(X, k, s)
    grad = rng.choice([-0.0, 0.0, 1e308, -1e308, np.inf, -np.inf, np.nan, 0.1, 3.0], out.shape)
    with np.errstate(all="ignore"):
        want = ref.maxpool_backward(grad, arg, X.shape, k, s)
    assert bits_equal(P.maxpool_backward(grad, arg, X.shape, k, s), want)


def test_backward_masks_and_counts():
    X = np.random.default_rng(5).standard_normal((1, 4, 4, 2))
    out, arg = P.maxpool_forward(X, 2, 2)
    mask = P.maxpool_backward(np.ones_like(out), arg, X.shape, 2, 2)
    assert mask.sum() == 8 and set(np.unique(mask)) == {0.0, 1.0}
    out, arg = P.maxpool_forward(X, 3, 1)
    counts = P.maxpool_backward(np.ones_like(out), arg, X.shape, 3, 1)
    assert counts.sum() == out.size


def test_pooling_empty():
    out, arg = P.maxpool_forward(np.zeros((0, 4, 4, 3)), 2, 2)
    assert out.shape == arg.shape == (0, 2, 2, 3)
    out, arg = P.maxpool_forward(np.zeros((2, 4, 4, 0)), 2, 2)
    assert out.shape == (2, 2, 2, 0)
    dX = P.maxpool_backward(np.zeros((0, 2, 2, 3)), np.zeros((0, 2, 2, 3), np.intp), (0, 4, 4, 3), 2, 2)
    assert dX.shape == (0, 4, 4, 3)


# --------------------------------------------------------------------------
# Refusals and failure lines


def _line(info):
    return traceback.extract_tb(info.value.__traceback__)[-1].lineno


@pytest.mark.parametrize(
    "call, match, line",
    [
        (lambda: P.im2col(np.ones((1, 4, 4, 1)), 0, 2), "at least 1", 13),
        (lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2, 0), "at least 1", 13),
        (lambda: P.im2col(np.ones((1, 4, 4, 1)), 5, 2), "does not fit", 13),
        (lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2, 1, -2), "does not fit", 13),
        (lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2**30, 1, 2**30), "too large", 13),
        (lambda: P.col2im(np.ones((9, 4)), (1, 4, 4, 1), 2, 2, -1), "at least 1", 50),
        (lambda: P.col2im(np.ones((9, 4)), (1, 4, 4, 1), 5, 2), "does not fit", 50),
        (lambda: P.col2im(np.ones((8, 4)), (1, 4, 4, 1), 2, 2), r"expected \(9, 4\)", 50),
        (lambda: P.col2im(np.ones((9, 5)), (1, 4, 4, 1), 2, 2), r"expected \(9, 4\)", 50),
        (lambda: P.maxpool_forward(np.ones((1, 4, 4, 1)), 0, 1), "at least 1", 77),
        (lambda: P.maxpool_forward(np.ones((1, 4, 4, 1)), 2, -1), "at least 1", 77),
        (lambda: P.maxpool_forward(np.ones((1, 4, 3, 1)), 4, 1), "does not fit", 77),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), (1, 4, 4, 1), 0, 2),
         "at least 1", 114),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.zeros((1, 2, 3, 1), np.intp), (1, 4, 4, 1), 2, 2),
         "same shape", 114),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), (2, 4, 4, 1), 2, 2),
         "inconsistent", 114),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.full((1, 2, 2, 1), 4, np.intp), (1, 4, 4, 1), 2, 2),
         "outside 0..3", 124),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.full((1, 2, 2, 1), -1, np.intp), (1, 4, 4, 1), 2, 2),
         "outside 0..3", 124),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.full((1, 2, 2, 1), 3, np.intp), (1, 3, 4, 1), 2, 2),
         "outside the 3x4 image", 124),
    ],
)
def test_refusals(call, match, line):
    with pytest.raises(ValueError, match=match) as info:
        call()
    assert _line(info) == line


@pytest.mark.parametrize(
    "call, exc, line",
    [
        (lambda: P.col2im(np.ones((9, 4)), (1, 4, 4), 2, 2), IndexError, 54),
        (lambda: P.col2im(np.ones((9, 4)), (1, "4", 4, 1), 2, 2), TypeError, 52),
        (lambda: P.col2im(np.ones((9, 4)), (1, 4, 4, 2**70), 2, 2), OverflowError, 54),
        (lambda: P.col2im(np.ones((9, 4)), (-1, 4, 4, 1), 2, 2), ValueError, 57),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), [1, 4], 2, 2),
         IndexError, 118),
        (lambda: P.maxpool_backward(np.ones((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), (1, 4, 4, 1), "2", 2),
         TypeError, 115),
    ],
)
def test_shape_and_conversion_failures(call, exc, line):
    with pytest.raises(exc) as info:
        call()
    assert _line(info) == line


def _raise(*a, **k):
    raise RuntimeError("boom")


@pytest.mark.parametrize(
    "fake, call, line",
    [
        (dict(pad=_raise), lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2, 1, 1), 27),
        (dict(pad=lambda *a, **k: [1.0]), lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2, 1, 1), 27),
        (dict(ascontiguousarray=_raise), lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2), 31),
        (dict(ascontiguousarray=lambda x, dtype: np.ones((1, 2, 2, 1))),
         lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2), 34),
        (dict(empty=_raise), lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2), 33),
        (dict(empty=lambda shape, dtype: np.broadcast_to(0.0, shape)),
         lambda: P.im2col(np.ones((1, 4, 4, 1)), 2, 2), 35),
        (dict(zeros=_raise), lambda: P.col2im(np.ones((9, 4)), (1, 4, 4, 1), 2, 2), 57),
        (dict(zeros=lambda shape, dtype: np.broadcast_to(0.0, shape)),
         lambda: P.col2im(np.ones((9, 4)), (1, 4, 4, 1), 2, 2), 58),
        (dict(empty=_raise), lambda: P.maxpool_forward(np.ones((1, 4, 4, 1)), 2, 2), 84),
        (dict(empty=lambda shape, dtype: np.empty(shape, np.float64)),
         lambda: P.maxpool_forward(np.ones((1, 4, 4, 1)), 2, 2), 85),
        (dict(ascontiguousarray=_raise), lambda: P.maxpool_forward(np.ones((1, 4, 4, 1)), 2, 2), 86),
        (dict(zeros=_raise), lambda: P.maxpool_backward(
            np.ones((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), (1, 4, 4, 1), 2, 2), 122),
        (dict(ascontiguousarray=lambda x, dtype: np.ones((1, 1, 1, 1), dtype)), lambda: P.maxpool_backward(
            np.ones((1, 2, 2, 1)), np.zeros((1, 2, 2, 1), np.intp), (1, 4, 4, 1), 2, 2), 123),
    ],
)
def test_numpy_failures_never_touch_memory_outside(monkeypatch, fake, call, line):
    monkeypatch.setattr(P, "np", FakeNumpy(**fake))
    with pytest.raises(Exception) as info:
        call()
    ours = [e for e in traceback.extract_tb(info.value.__traceback__) if e.filename == "kelpwise/accel/_plenvo"]
    assert len(ours) == 1 and ours[0].lineno == line
